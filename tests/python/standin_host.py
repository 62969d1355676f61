"""A small stand-in for the host drawing framework.

Just what quadlite reads from a host: a renderer that exports its RGBA8 pixels
through the buffer protocol and owns the quad-mesh drawing method, a graphics
context, a mesh transform and a clip rectangle. The renderer's own drawing
method is the reference drawing (reference_draw.draw_mesh), so whatever the
fast path draws, the host must draw the same bytes.
"""
import numpy as np

import reference_draw


class Renderer(np.ndarray):
    """An RGBA8 image of shape (rows, cols, 4) that is its own pixel buffer."""

    @classmethod
    def new(cls, rows, cols, fill=None, layout="packed", channels=4, dtype=np.uint8):
        """A renderer over fresh memory.

        layout: "packed" (C order), "padded" (rows longer than needed),
        "flipped" (negative row stride), "columns" (column-major pixels),
        "reversed-channels" (channel axis running backwards).
        """
        shape = (rows, cols, channels)
        if layout == "packed":
            base = np.zeros(shape, dtype)
            view = base
        elif layout == "padded":
            base = np.zeros((rows, cols + 3, channels), dtype)
            view = base[:, 1:cols + 1, :]
        elif layout == "flipped":
            base = np.zeros(shape, dtype)
            view = base[::-1]
        elif layout == "columns":
            base = np.zeros((cols, rows, channels), dtype)
            view = base.transpose(1, 0, 2)
        elif layout == "reversed-channels":
            base = np.zeros(shape, dtype)
            view = base[:, :, ::-1]
        else:
            raise ValueError(layout)
        self = np.ndarray.__new__(cls, shape, dtype, buffer=base, offset=_offset(view, base),
                                  strides=view.strides)
        self.host_calls = []
        if fill is not None:
            self.pixels[...] = fill
        return self

    def __array_finalize__(self, obj):
        self.host_calls = getattr(obj, "host_calls", [])

    @property
    def pixels(self):
        """The same memory as a plain ndarray (for tests and the demo)."""
        return self.view(np.ndarray)

    def draw_quad_mesh(self, gc, master_transform, mesh_width, mesh_height, coordinates,
                       offsets, offset_trans, facecolors, antialiased, edgecolors):
        """The host's own (slow) method: records the call and draws the mesh."""
        self.host_calls.append((gc, master_transform, mesh_width, mesh_height, coordinates,
                                offsets, offset_trans, facecolors, antialiased, edgecolors))
        rect = gc.get_clip_rectangle()
        extents = (np.asarray(rect.extents, dtype=float).ravel() if rect is not None
                   else np.array([0.0, 0.0, self.shape[1], self.shape[0]]))
        reference_draw.draw_mesh(self.pixels, int(mesh_width), int(mesh_height),
                                 np.asarray(coordinates, dtype=float),
                                 np.asarray(facecolors, dtype=float),
                                 np.asarray(master_transform.get_matrix(), dtype=float),
                                 extents)
        return "host drew"


def _offset(view, base):
    return view.__array_interface__["data"][0] - base.__array_interface__["data"][0]


class GraphicsContext:
    def __init__(self, clip_rectangle=None, hatch=None, clip_path=(None, None)):
        self.clip_rectangle = clip_rectangle
        self.hatch = hatch
        self.clip_path = clip_path

    def get_hatch(self):
        return self.hatch

    def get_clip_path(self):
        return self.clip_path

    def get_clip_rectangle(self):
        return self.clip_rectangle


class ClipRectangle:
    def __init__(self, extents):
        self.extents = extents


class Affine:
    def __init__(self, matrix=None):
        self.matrix = np.eye(3) if matrix is None else matrix

    def get_matrix(self):
        return self.matrix


def mesh_args(renderer, coordinates, facecolors, matrix=None, extents=None,
              antialiased=False, offsets=None, edgecolors=None, hatch=None,
              clip_path=(None, None), mesh_width=None, mesh_height=None):
    """The ten positional arguments of one drawing call, eligible by default."""
    coordinates = np.asarray(coordinates) if not hasattr(coordinates, "mask") else coordinates
    if mesh_height is None:
        mesh_height = coordinates.shape[0] - 1
    if mesh_width is None:
        mesh_width = coordinates.shape[1] - 1
    if extents is None:
        extents = (0.0, 0.0, float(renderer.shape[1]), float(renderer.shape[0]))
    gc = GraphicsContext(ClipRectangle(np.asarray(extents, dtype=float)), hatch, clip_path)
    return (gc, Affine(matrix), mesh_width, mesh_height, coordinates,
            np.zeros((1, 2)) if offsets is None else offsets, Affine(),
            facecolors, antialiased,
            np.zeros((0, 4)) if edgecolors is None else edgecolors)


# --- Recording stand-ins: they log, in order, every call quadlite makes on them.

class HostMethod:
    """A host method that records its calls and draws nothing.

    Anything with a `__self__` serves as the bound host method; this one lets a
    test pick the renderer freely (read-only, odd layouts, foreign exporters).
    """

    def __init__(self, renderer, result="host drew", error=None):
        self.__self__ = renderer
        self.calls = []
        self.result = result
        self.error = error

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.result


class TracingGraphicsContext(GraphicsContext):
    def __init__(self, log, clip_rectangle=None, hatch=None, clip_path=(None, None)):
        super().__init__(clip_rectangle, hatch, clip_path)
        self.log = log

    def get_hatch(self):
        self.log.append("get_hatch")
        return super().get_hatch()

    def get_clip_path(self):
        self.log.append("get_clip_path")
        return super().get_clip_path()

    def get_clip_rectangle(self):
        self.log.append("get_clip_rectangle")
        return super().get_clip_rectangle()


class TracingClipRectangle:
    def __init__(self, log, extents):
        self.log = log
        self._extents = extents

    @property
    def extents(self):
        self.log.append("extents")
        return self._extents


class TracingAffine(Affine):
    def __init__(self, log, matrix=None):
        super().__init__(matrix)
        self.log = log

    def get_matrix(self):
        self.log.append("get_matrix")
        return super().get_matrix()


class TracingMask(np.ndarray):
    """A boolean mask array whose any() is logged."""

    def any(self, *args, **kwargs):
        log = getattr(self, "log", None)
        if log is not None:
            log.append("any")
        return np.ndarray.any(self.view(np.ndarray), *args, **kwargs)


class TracedCoordinates(np.ndarray):
    """Coordinates whose `mask` reads are logged (the mask may be any object)."""

    def __new__(cls, values, log, mask):
        self = np.asarray(values).view(cls)
        self.log = log
        self._mask = mask
        return self

    def __array_finalize__(self, obj):
        self.log = getattr(obj, "log", None)
        self._mask = getattr(obj, "_mask", None)

    @property
    def mask(self):
        self.log.append("mask")
        return self._mask


def traced_mask(log, values):
    mask = np.asarray(values, dtype=bool).view(TracingMask)
    mask.log = log
    return mask


def traced_mesh_args(renderer, coordinates, facecolors, log, matrix=None, extents=None,
                     mask=None, **kwargs):
    """mesh_args with tracing host objects; `log` receives every call in order.

    With `mask` given, the coordinates carry it as their `mask` attribute.
    """
    args = list(mesh_args(renderer, coordinates, facecolors, **kwargs))
    if extents is None:
        extents = (0.0, 0.0, float(renderer.shape[1]), float(renderer.shape[0]))
    old_gc = args[0]
    args[0] = TracingGraphicsContext(log, TracingClipRectangle(log, np.asarray(extents, float)),
                                     old_gc.hatch, old_gc.clip_path)
    args[1] = TracingAffine(log, matrix)
    if mask is not None:
        args[4] = TracedCoordinates(args[4], log, mask)
    return tuple(args)
