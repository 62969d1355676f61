"""Property tests of draw_quad_mesh over arbitrary argument objects.

Whatever the ten arguments and the renderer are, a call does one of three
things:
  * draws: returns None without calling the host, and the memory behind the
    renderer (padding and guard bytes included) is what the reference
    drawing makes of it (for an empty mesh: unchanged);
  * declines: calls the host once with the very same objects and returns its
    result, and the memory is as the host left it (the recording host here
    draws nothing, so: unchanged);
  * raises one of the errors the module can raise (the binding library's
    conversions, the buffer request, or the host objects' own errors), with
    the host not called and the memory unchanged.

The examples start from an eligible call and replace a few of its arguments
(or the renderer) with odd objects, so that every outcome is common.
Deterministic: derandomized, a fixed number of examples, no example database.
"""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import quadlite
import reference_draw
import standin_host
from mesh_cases import mesh_case
from raw_exporter import RawExporter

SETTINGS = settings(max_examples=600, derandomize=True, database=None, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class HostObjectError(Exception):
    """Raised by the odd host objects below; must come out unchanged."""


def _raise(*args, **kwargs):
    raise HostObjectError("raised by a host object")


# The module's own errors (the binding library's conversions, the buffer
# request) and the host objects'.
ALLOWED_ERRORS = (TypeError, RuntimeError, AttributeError, IndexError, ValueError, BufferError,
                  HostObjectError)

# --- values ----------------------------------------------------------------------------

ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)
ODD_FLOATS = st.sampled_from([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-300, 5e-324,
                              1e300, -1e300, 2.0 ** 31, -2.0 ** 31, 3e9, 0.5, 1e-12, -1e-13])
ALPHAS = st.sampled_from([0.0, -0.0, 1.0, 1e-13, -1e-13, 1.0 - 1e-13, 1.0 + 1e-13, np.nan,
                          0.5, 1e-11, 2.0, -1.0])
DTYPES = st.sampled_from([np.float64, np.float32, np.float16, np.int64, np.int8, np.uint8,
                          np.bool_, np.complex128, object, "U4", "S4", "M8[s]"])


def _as_dtype(values, dtype):
    with np.errstate(all="ignore"):
        try:
            return np.asarray(values).astype(dtype)
        except (TypeError, ValueError, OverflowError):
            return np.asarray(values).astype(object)


@st.composite
def reshaped(draw, values):
    """The same values in another container: other dtype, non-contiguous,
    masked, a list, a subclass, another shape."""
    values = np.asarray(values, dtype=np.float64)
    kind = draw(st.sampled_from(["as is", "dtype", "fortran", "strided", "reversed", "masked",
                                 "masked some", "list", "subclass", "reshaped", "scalar",
                                 "empty", "string", "none"]))
    if kind == "as is":
        return values
    if kind == "dtype":
        return _as_dtype(values, draw(DTYPES))
    if kind == "fortran":
        return np.asfortranarray(values)
    if kind == "strided":
        wide = np.repeat(values, 2, axis=-1) if values.ndim else values
        return wide[..., ::2] if values.ndim else wide
    if kind == "reversed":
        return values[::-1].copy()[::-1] if values.ndim else values
    if kind == "masked":
        return np.ma.masked_array(values, mask=False)
    if kind == "masked some":
        mask = np.zeros(values.shape, bool)
        if mask.size:
            mask.flat[draw(st.integers(0, mask.size - 1))] = True
        return np.ma.masked_array(values, mask=mask)
    if kind == "list":
        return values.tolist()
    if kind == "subclass":
        return values.view(standin_host.TracingMask)
    if kind == "reshaped":
        return values.reshape(-1) if values.ndim != 1 else values.reshape(1, -1)
    if kind == "scalar":
        return float(values.flat[0]) if values.size else 0.0
    if kind == "empty":
        return np.zeros((0,) + values.shape[1:])
    if kind == "string":
        return "not an array"
    return None


class Raising:
    """Every attribute lookup and every call raises."""

    def __getattr__(self, name):
        raise HostObjectError(name)

    __call__ = _raise
    __bool__ = _raise
    __index__ = _raise
    __int__ = _raise
    __float__ = _raise
    __len__ = _raise
    __iter__ = _raise
    __array__ = _raise


class MaskOnSecondLook(np.ndarray):
    """Coordinates whose `mask` is there when asked for, but raises when read."""

    def __array_finalize__(self, obj):
        self.looks = 0

    @property
    def mask(self):
        self.looks += 1
        if self.looks > 1:
            raise HostObjectError("mask")
        return np.zeros(self.shape, bool)


class OddMask(np.ndarray):
    """Coordinates with an arbitrary object as their mask."""

    odd_mask = None

    @property
    def mask(self):
        return self.odd_mask


def odd_objects():
    return st.sampled_from([None, 0, 1, -1, 2 ** 64, 1.5, np.nan, "x", b"", [], (), {}, [[0.0]],
                            object(), Raising(), np.float64(0), np.zeros(0), np.uint64(3),
                            np.int8(-1), np.bool_(True), True, False, 1 + 2j, slice(1),
                            np.ma.masked])


# --- the eligible call and its variations ------------------------------------------------

@st.composite
def eligible_parts(draw):
    """An eligible call as plain values: a seeded mesh case (geometry, colours,
    matrix, clip, image size and start bytes come from the seed, so they are
    spread evenly rather than leaning to hypothesis's simplest values), with
    odd values sprinkled over coordinates, alphas, matrix and extents."""
    case = mesh_case(draw(st.integers(0, 2 ** 32 - 1)), max_image=16, max_mesh=5)
    coords, colours, matrix = case.coordinates, case.facecolors, case.matrix
    H, W = coords.shape[0] - 1, coords.shape[1] - 1
    for _ in range(draw(st.sampled_from([0, 0, 0, 1, 2]))):
        coords[draw(st.integers(0, H)), draw(st.integers(0, W)),
               draw(st.integers(0, 1))] = draw(st.one_of(ODD_FLOATS, ANY_FLOAT))
    if draw(st.sampled_from([False, True])):
        colours[draw(st.integers(0, len(colours) - 1)), 3] = draw(ALPHAS)
    if draw(st.sampled_from([False, True])):
        colours[draw(st.integers(0, len(colours) - 1)), draw(st.integers(0, 2))] = draw(
            st.one_of(ODD_FLOATS, ANY_FLOAT))
    if draw(st.sampled_from([False, False, True])):
        matrix[draw(st.integers(0, 2)), draw(st.integers(0, 2))] = draw(
            st.one_of(ODD_FLOATS, ANY_FLOAT))
    extents = case.extents
    if draw(st.sampled_from([False, False, False, True])):
        extents = draw(st.lists(st.one_of(st.floats(-3, 20), ODD_FLOATS), min_size=4,
                                max_size=4))
    return case, extents


@st.composite
def renderers(draw, prefill, drawable=False):
    """A renderer holding `prefill` (rows x cols x 4 bytes), the memory behind
    it, and the function that lays the same view over a copy of that memory
    (None where the call can never draw into it). drawable: only RGBA8
    images with packed channels."""
    rows, cols = prefill.shape[:2]
    kinds = ["standin", "strided", "raw"]
    if not drawable:
        kinds = ["standin"] * 6 + ["strided"] * 5 + ["raw", "readonly", "bytearray", "bytes",
                                                     "none"]
    kind = draw(st.sampled_from(kinds))
    if kind == "standin":
        layouts = ["packed", "padded", "flipped", "columns"]
        layout = draw(st.sampled_from(layouts if drawable else layouts + ["reversed-channels"]))
        channels = 4 if drawable else draw(st.sampled_from([4] * 8 + [3, 1]))
        dtype = np.uint8 if drawable else draw(st.sampled_from([np.uint8] * 8 + [np.uint16]))
        r = standin_host.Renderer.new(rows, cols, layout=layout, channels=channels, dtype=dtype)
        r.pixels[...] = prefill[..., :channels]
        base = r.base
        offset = r.__array_interface__["data"][0] - base.__array_interface__["data"][0]
        block = base.view(np.uint8).reshape(-1)
        return r, block, _relayout(r, offset)
    if kind == "strided":
        gap, pad = draw(st.integers(0, 5)), draw(st.integers(0, 9))
        channel_step = 1 if drawable else draw(st.sampled_from([1] * 6 + [-1, 2, 0]))
        step = 4 * abs(channel_step) + gap if channel_step else 4 + gap
        row_bytes = max(cols, 1) * step + pad
        guard = 64
        block = np.full(2 * guard + rows * row_bytes, draw(st.integers(0, 255)), np.uint8)
        offset = guard
        strides = [row_bytes, step, channel_step]
        if draw(st.booleans()) and rows:
            offset += (rows - 1) * row_bytes
            strides[0] = -row_bytes
        if draw(st.booleans()) and cols:
            offset += (cols - 1) * step
            strides[1] = -step
        if channel_step < 0:
            offset += 3
        view = np.lib.stride_tricks.as_strided(block[offset:], (rows, cols, 4), strides)
        if channel_step:
            view[...] = prefill
        return view, block, _relayout(view, offset)
    if kind == "raw":
        fields = [{}, {"fmt": None}, {"strides": None}, {"fmt": None, "strides": None}]
        if not drawable:
            fields += [{"shape": None}, {"itemsize": 2}, {"ndim": 2, "shape": None}]
        exporter = RawExporter(rows, cols, **draw(st.sampled_from(fields)))
        exporter.pixels()[...] = prefill
        block = np.frombuffer(exporter.memory, np.uint8)
        return exporter, block, (lambda copy: copy[:rows * cols * 4].reshape(rows, cols, 4))
    if kind == "readonly":
        target = prefill.copy()
        target.flags.writeable = False
        return target, target.reshape(-1), None
    if kind == "bytearray":
        target = bytearray(prefill.tobytes())
        return target, np.frombuffer(target, np.uint8), None
    if kind == "bytes":
        target = prefill.tobytes()
        return target, np.frombuffer(target, np.uint8), None
    return object(), np.zeros(0, np.uint8), None


def _relayout(view, offset):
    """Lays `view`'s shape and strides over another byte block at the same
    offset (only byte images can be drawn into)."""
    shape, strides = view.shape, view.strides
    return lambda copy: np.lib.stride_tricks.as_strided(copy[offset:], shape, strides)


GC_CHANGES = ["hatch", "clip path", "no clip rectangle", "extents object", "raising gc",
              "no gc methods"]


@st.composite
def graphics_context(draw, extents):
    gc = standin_host.GraphicsContext(standin_host.ClipRectangle(extents))
    change = draw(st.sampled_from([None] * 2 * len(GC_CHANGES) + GC_CHANGES))
    if change == "hatch":
        gc.hatch = draw(st.sampled_from(["/", "", 0, None]))
    elif change == "clip path":
        gc.clip_path = draw(st.sampled_from([("path", None), [None], (None,), None, (), [],
                                             "xy", iter([None]), Raising(), 5]))
    elif change == "no clip rectangle":
        gc.clip_rectangle = None
    elif change == "extents object":
        gc.clip_rectangle = draw(st.sampled_from([object(), Raising(),
                                                  standin_host.ClipRectangle(
                                                      draw(reshaped(extents)))]))
    elif change == "raising gc":
        name = draw(st.sampled_from(["get_hatch", "get_clip_path", "get_clip_rectangle"]))
        setattr(gc, name, _raise)
    elif change == "no gc methods":
        return draw(st.sampled_from([object(), Raising(), None]))
    return gc


@st.composite
def calls(draw, odd=True):
    """(host, renderer memory, relayout, args): an eligible call (with NaN and
    infinities in its values) into any renderer, with some arguments replaced
    by odd ones; odd=False: only the eligible call, into an RGBA8 image."""
    case, extents = draw(eligible_parts())
    renderer, block, relayout = draw(renderers(case.prefill, drawable=not odd))
    extents = np.array(extents, dtype=float)
    args = list(standin_host.mesh_args(np.zeros((4, 4, 4)), case.coordinates, case.facecolors,
                                       matrix=case.matrix, extents=extents))
    host = standin_host.HostMethod(renderer, result=object())
    if not odd:
        return host, block, relayout, tuple(args)
    args[0] = draw(graphics_context(extents))
    if draw(st.sampled_from([False] * 9 + [True])):  # an empty mesh
        args[draw(st.sampled_from([2, 3]))] = 0
    changed = draw(st.one_of(st.just([]), st.lists(st.integers(1, 10), min_size=1, max_size=3,
                                                   unique=True)))
    for index in changed:
        if index == 10:  # another argument count
            args = args[:draw(st.sampled_from([0, 1, 9]))] if draw(st.booleans()) \
                else args + [None]
            break
        args[index] = draw(_odd_argument(index, args[index]))
    return host, block, relayout, tuple(args)


@st.composite
def _odd_argument(draw, index, value):
    if index == 1:  # mesh transform
        return draw(st.one_of(
            st.builds(standin_host.Affine, reshaped(value.get_matrix())),
            odd_objects(),
            st.just(type("RaisingTransform", (), {"get_matrix": _raise})())))
    if index in (2, 3):  # mesh width, height
        return draw(st.one_of(odd_objects(), st.integers(-2, 6), st.sampled_from(
            [0, False, np.uint64(value), np.int32(value), float(value), 2 ** 64 - 1, True])))
    if index == 4:  # coordinates
        choice = draw(st.sampled_from(["reshaped", "odd", "mask raises", "odd mask"]))
        if choice == "reshaped":
            return draw(reshaped(value))
        if choice == "odd":
            return draw(odd_objects())
        if choice == "mask raises":
            return np.asarray(value).view(MaskOnSecondLook)
        coords = np.asarray(value).view(OddMask)
        coords.odd_mask = draw(st.one_of(odd_objects(), hnp.arrays(np.bool_, st.integers(0, 3))))
        return coords
    if index == 5:  # offsets
        return draw(st.one_of(reshaped(draw(st.sampled_from(
            [[[0.0, 0.0]], [[1e-13, -1e-13]], [[0.0, 1e-9]], [[np.nan, np.nan]],
             [[0.0, 0.0], [0.0, 0.0]], [0.0, 0.0], [[np.inf, 0.0]]]))), odd_objects()))
    if index == 6:  # offset transform: never read
        return draw(odd_objects())
    if index == 7:  # face colours
        return draw(st.one_of(reshaped(value), odd_objects()))
    if index == 8:  # antialiased
        return draw(st.one_of(odd_objects(), st.sampled_from([np.False_, np.zeros(1),
                                                              np.ones(1), 0.0])))
    return draw(st.one_of(  # edge colours
        reshaped(draw(st.sampled_from([np.zeros((0, 4)), np.zeros((0, 0)), np.zeros((1, 4)),
                                       np.zeros((0, 4, 1))]))),
        odd_objects()))


def _reference(host, block, relayout, args):
    """The memory after the reference drawing of a call the fast path drew."""
    expected = block.copy()
    gc, transform, W, H = args[0], args[1], int(args[2]), int(args[3])
    extents = np.asarray(gc.get_clip_rectangle().extents, dtype=float).ravel()
    reference_draw.draw_mesh(relayout(expected), W, H, np.asarray(args[4], dtype=float),
                             np.asarray(args[7], dtype=float),
                             np.asarray(transform.get_matrix(), dtype=float), extents)
    return expected


def check_call(host, block, relayout, args):
    before = block.copy()
    try:
        result = quadlite.draw_quad_mesh(host, *args)
    except ALLOWED_ERRORS:
        assert host.calls == []
        assert np.array_equal(block, before), "a call that raised wrote pixels"
        return "raised"
    if host.calls:
        assert len(host.calls) == 1
        passed, kwargs = host.calls[0]
        assert kwargs == {} and len(passed) == len(args)
        assert all(p is a for p, a in zip(passed, args)), "host got other objects"
        assert result is host.result
        assert np.array_equal(block, before), "a declined call wrote pixels"
        return "declined"
    assert result is None
    if int(args[2]) == 0 or int(args[3]) == 0:  # an empty mesh: served, nothing drawn
        assert np.array_equal(block, before), "an empty mesh wrote pixels"
        return "served"
    assert relayout is not None, "drew into a renderer that cannot be drawn into"
    with np.errstate(all="ignore"):
        expected = _reference(host, block, relayout, args)
    assert np.array_equal(block, expected), "drawn image differs from the reference drawing"
    return "drew"


# Odd arguments make numpy warn while converting them (empty truth values,
# dropped imaginary parts); the warnings are numpy's business. The complex one
# goes by its text: its class moved to numpy.exceptions in numpy 2.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning",
                                        "ignore:Casting complex values to real")


@SETTINGS
@given(calls())
def test_each_call_draws_declines_or_raises(call):
    check_call(*call)


@SETTINGS
@given(calls(odd=False))
def test_eligible_calls_draw_what_the_reference_draws(call):
    assert check_call(*call) in ("drew", "declined")


def test_every_outcome_is_exercised():
    """The strategy reaches all three outcomes, and draws often."""
    outcomes = []

    @settings(SETTINGS, max_examples=300)
    @given(calls())
    def collect(call):
        outcomes.append(check_call(*call))

    collect()
    assert {"drew", "served", "declined", "raised"} <= set(outcomes)
    assert outcomes.count("drew") >= len(outcomes) // 20, outcomes.count("drew")
