"""One drawing call for every way through draw_quad_mesh.

PATHS maps a name to a function building a fresh call: (host, args,
outcome). The host keeps nothing of its calls, so that reference counts and
memory can be compared across thousands of repetitions. Outcomes: "drawn",
"served" (empty mesh), "declined" (host called) or an exception type.
"""
import math

import numpy as np

import standin_host
from mesh_cases import mesh_case
from raw_exporter import RawExporter


class HostError(Exception):
    pass


class Host:
    """A bound-method stand-in whose calls count and return a fixed object."""

    def __init__(self, renderer, error=None):
        self.__self__ = renderer
        self.error = error
        self.result = object()
        self.calls = 0

    def __call__(self, *args):
        self.calls += 1
        if self.error is not None:
            raise self.error("host failed")
        return self.result


class MaskReadFails(np.ndarray):
    """Coordinates whose `mask` is present but fails when read."""

    def __array_finalize__(self, obj):
        self.reads = 0

    @property
    def mask(self):
        self.reads += 1
        if self.reads % 2 == 0:
            raise HostError("mask")
        return None


class ListMask(np.ndarray):
    """Coordinates whose mask is a list, which has no truth conversion."""

    @property
    def mask(self):
        return [False]


class Raising:
    def __call__(self, *args):
        raise HostError("raised")


def _case():
    case = mesh_case(3, geometry="jittered", max_image=24, max_mesh=6, hidden_nans=False)
    case.facecolors[:, 3] = 1.0
    case.extents = (0.0, 0.0, float(case.cols), float(case.rows))
    return case


def _eligible(renderer=None, **changes):
    """An eligible call into `renderer` (a fresh image by default), with
    keyword changes as standin_host.mesh_args takes them."""
    case = _case()
    if renderer is None:
        renderer = case.renderer()
    coords = changes.pop("coordinates", case.coordinates.copy())
    colours = changes.pop("facecolors", case.facecolors.copy())
    changes.setdefault("matrix", case.matrix.copy())
    changes.setdefault("extents", case.extents)
    return renderer, list(standin_host.mesh_args(renderer, coords, colours, **changes))


def _call(outcome, renderer=None, error=None, edit=None, **changes):
    def build():
        r, args = _eligible(renderer() if renderer else None, **changes)
        if edit is not None:
            edit(args)
        return Host(r, error), tuple(args), outcome
    return build


def _set(index, value):
    def edit(args):
        args[index] = value() if callable(value) else value
    return edit


def _gc_method(name, value):
    def edit(args):
        setattr(args[0], name, value)
    return edit


def _nan_node(args):
    args[4][0, 0, 0] = math.nan


def _masked(args):
    mask = np.zeros(args[4].shape, bool)
    mask[0, 0, 0] = True
    args[4] = np.ma.masked_array(args[4], mask=mask)


def _three_channels():
    return standin_host.Renderer.new(6, 5, channels=3)


def _readonly():
    target = np.zeros((6, 5, 4), np.uint8)
    target.flags.writeable = False
    return target


PATHS = {
    "drawn": _call("drawn"),
    "drawn into a raw exporter": _call("drawn", renderer=lambda: RawExporter(24, 24, fmt=None,
                                                                            strides=None)),
    "served, empty mesh": _call("served", mesh_width=0),
    "declined, 9 arguments": _call("declined", edit=lambda a: a.pop()),
    "declined, antialiased": _call("declined", antialiased=True),
    "declined, hatch": _call("declined", hatch="/"),
    "declined, clip path": _call("declined", clip_path=("path", None)),
    "declined, coordinates unconvertible": _call("declined", edit=_set(4, "abc")),
    "declined, masked coordinate": _call("declined", edit=_masked),
    "declined, coordinate shape": _call("declined", edit=_set(4, lambda: np.zeros((1, 1, 2)))),
    "declined, offset": _call("declined", offsets=np.array([[0.0, 1e-9]])),
    "declined, offsets shape": _call("declined", offsets=np.zeros((2, 2))),
    "declined, edge colours": _call("declined", edgecolors=np.zeros((1, 4))),
    "declined, matrix shape": _call("declined", matrix=np.eye(2)),
    "declined, no clip rectangle": _call("declined",
                                         edit=_gc_method("clip_rectangle", None)),
    "declined, extents shape": _call("declined", extents=(0.0, 1.0, 2.0)),
    "declined, alpha": _call("declined", edit=lambda a: a[7].__setitem__((0, 3), 0.5)),
    "declined, three channels": _call("declined", renderer=_three_channels),
    "declined, no shape in view": _call("declined", renderer=lambda: RawExporter(6, 5,
                                                                                shape=None)),
    "declined, non-finite vertex": _call("declined", edit=_nan_node),
    "raised by the host": _call(HostError, error=HostError, antialiased=True),
    "raised, no __self__": lambda: (lambda *args: None, tuple(_eligible()[1]), AttributeError),
    "raised, no buffer": _call(TypeError, renderer=object),
    "raised, antialiased string": _call(RuntimeError, antialiased="yes"),
    "raised, negative width": _call(RuntimeError, mesh_width=-1),
    "raised, get_hatch raises": _call(HostError, edit=_gc_method("get_hatch", Raising())),
    "raised, clip path None": _call(TypeError, clip_path=None),
    "raised, clip path empty": _call(IndexError, clip_path=()),
    "raised, mask read fails": _call(HostError, edit=lambda a: a.__setitem__(
        4, np.asarray(a[4]).view(MaskReadFails))),
    "raised, mask a list": _call(RuntimeError, edit=lambda a: a.__setitem__(
        4, np.asarray(a[4]).view(ListMask))),
    "raised, no extents": _call(AttributeError, edit=lambda a: setattr(
        a[0], "clip_rectangle", object())),
    "raised, get_matrix raises": _call(HostError, edit=lambda a: setattr(
        a[1], "get_matrix", Raising())),
    "raised, read-only buffer": _call(ValueError, renderer=_readonly),
    "raised, bytes buffer": _call(BufferError, renderer=lambda: bytes(120)),
}


def run(host, args, outcome, quadlite):
    """Makes the call and checks that it took the expected path."""
    calls = getattr(host, "calls", 0)
    if isinstance(outcome, type):
        try:
            quadlite.draw_quad_mesh(host, *args)
        except outcome:
            # only a host that raises itself has been called
            host_raised = getattr(host, "error", None) is outcome
            assert getattr(host, "calls", 0) == calls + host_raised
            return
        raise AssertionError(f"{outcome.__name__} not raised")
    result = quadlite.draw_quad_mesh(host, *args)
    if outcome == "declined":
        assert result is host.result and host.calls == calls + 1
    else:
        assert result is None and host.calls == calls


def tracked_objects(host, args):
    """Every object of the call whose reference count a leak would change:
    the host, the renderer, the arguments and what the module reads from
    them (small ints, None and bools are shared too widely to count)."""
    objects = [host, getattr(host, "__self__", None), getattr(host, "result", None), args]
    for a in args:
        if a is None or isinstance(a, (bool, int)):
            continue
        objects.append(a)
    if args and isinstance(args[0], standin_host.GraphicsContext):
        gc = args[0]
        objects += [gc.clip_path, gc.clip_rectangle]
        if isinstance(gc.clip_rectangle, standin_host.ClipRectangle):
            objects.append(gc.clip_rectangle.extents)
    if len(args) > 1 and isinstance(args[1], standin_host.Affine):
        objects.append(args[1].matrix)
    return [o for o in objects if o is not None and not isinstance(o, (bool, int))]
