"""The eligibility chain: which calls go to the host, which raise, which are served.

A read-only target makes the buffer request (the last check) fail with the
exporter's error, so REACHED_BUFFER shows that every earlier check passed,
whatever the render job behind it does.
"""
import decimal
import sys

import numpy as np
import pytest

import cast_error
import quadlite
import standin_host
from conftest import DECLINED, REACHED_BUFFER, SERVED, readonly_target
from raw_exporter import RawExporter

W, H = 3, 2


def base_mesh():
    ys, xs = np.mgrid[0:H + 1, 0:W + 1].astype(float)
    coords = np.stack([xs * 1.5, ys * 2.0], axis=-1)
    colours = np.tile([0.2, 0.4, 0.6, 1.0], (W * H, 1))
    colours[::2, 3] = 0.0
    return coords, colours


# Enough colour rows that the alpha check runs with the interpreter lock
# released, on the pool where it has several workers.
MANY = 40_000


def many_colours(bad_row=None, alpha=0.5):
    """MANY colour rows, opaque and transparent in turn, one alpha set apart."""
    colours = np.tile([0.2, 0.4, 0.6, 1.0], (MANY, 1))
    colours[1::2, 3] = 0.0
    if bad_row is not None:
        colours[bad_row, 3] = alpha
    return colours


def call_args(target=None, **changes):
    """An eligible call with some arguments replaced (keys as in mesh_args)."""
    target = readonly_target() if target is None else target
    coords, colours = base_mesh()
    coords = changes.pop("coordinates", coords)
    colours = changes.pop("facecolors", colours)
    changes.setdefault("mesh_width", W)
    changes.setdefault("mesh_height", H)
    return standin_host.mesh_args(target, coords, colours, **changes)


def replace(args, index, value):
    args = list(args)
    args[index] = value
    return tuple(args)


class Uncastable:
    """Has neither a truth slot of its own nor an integer value."""
    __bool__ = None


class BoolRaises:
    def __bool__(self):
        raise ValueError("no truth here")


class IntLike:
    """Not an int, but converts through the number protocol."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


# --- Served, passed on, or declined: one table per step ------------------------------

PASSING = {
    "baseline": {},
    # antialiased flag
    "antialiased False": dict(antialiased=False),
    "antialiased 0": dict(antialiased=0),
    "antialiased None": dict(antialiased=None),
    "antialiased numpy False": dict(antialiased=np.False_),
    "antialiased 0.0": dict(antialiased=0.0),
    "antialiased empty array": dict(antialiased=np.zeros(1)),
    # clip path: any sequence whose first item is None
    "clip path list": dict(clip_path=[None]),
    "clip path longer tuple": dict(clip_path=(None, "transform", 3)),
    "clip path generator": dict(clip_path=(x for x in [None, 1])),
    # mesh size through the unsigned conversion
    "sizes numpy uint64": dict(mesh_width=np.uint64(W), mesh_height=np.uint64(H)),
    "sizes numpy int8": dict(mesh_width=np.int8(W), mesh_height=np.int8(H)),
    "sizes numpy float32": dict(mesh_width=np.float32(W), mesh_height=np.float32(H)),
    "sizes via __int__": dict(mesh_width=IntLike(W), mesh_height=IntLike(H)),
    "sizes decimal": dict(mesh_width=decimal.Decimal(W), mesh_height=decimal.Decimal("2.7")),
    "sizes bool height": dict(coordinates=base_mesh()[0][:2], mesh_height=True),
    # conversions of coordinates
    "coords nested int lists": dict(coordinates=base_mesh()[0].astype(int).tolist()),
    "coords int array": dict(coordinates=base_mesh()[0].astype(np.int16)),
    "coords float32": dict(coordinates=base_mesh()[0].astype(np.float32)),
    "coords fortran order": dict(coordinates=np.asfortranarray(base_mesh()[0])),
    "coords strided view": dict(coordinates=np.repeat(base_mesh()[0], 2, axis=1)[:, ::2]),
    "coords bool": dict(coordinates=np.ones((H + 1, W + 1, 2), bool)),
    "coords nan": dict(coordinates=np.full((H + 1, W + 1, 2), np.nan)),
    "coords array subclass": dict(coordinates=base_mesh()[0].view(np.recarray)),
    # masked coordinates with nothing masked
    "masked nomask": dict(coordinates=np.ma.array(base_mesh()[0])),
    "masked all false": dict(coordinates=np.ma.array(base_mesh()[0], mask=False)),
    # offsets
    "offsets list": dict(offsets=[[0, 0]]),
    "offsets within tolerance": dict(offsets=np.array([[1e-13, -1e-13]])),
    "offsets at tolerance": dict(offsets=np.array([[1e-12, -1e-12]])),
    "offsets nan": dict(offsets=np.array([[np.nan, np.nan]])),
    "offsets negative zero": dict(offsets=np.array([[-0.0, 0.0]])),
    "offsets int": dict(offsets=np.zeros((1, 2), int)),
    # face colours
    "one colour for all cells": dict(facecolors=np.array([[1.0, 0.0, 0.0, 1.0]])),
    "more colours than cells": dict(facecolors=np.ones((50, 4))),
    "alpha zero": dict(facecolors=np.zeros((4, 4))),
    "alpha just below one": dict(facecolors=np.full((2, 4), 1 - 1e-13)),
    "alpha tolerance above zero": dict(facecolors=np.full((2, 4), 1e-12)),
    "alpha tolerance below zero": dict(facecolors=np.full((2, 4), -1e-12)),
    "alpha nan": dict(facecolors=np.array([[0.1, 0.2, 0.3, np.nan]])),
    "many colours": dict(facecolors=many_colours()),
    "many colours, one alpha nan": dict(facecolors=many_colours(MANY // 3, np.nan)),
    "many colours, one alpha within tolerance of one": dict(
        facecolors=many_colours(MANY - 1, 1 - 1e-12)),
    "many colours, one alpha within tolerance of zero": dict(facecolors=many_colours(0, -1e-12)),
    "colours out of range": dict(facecolors=np.array([[5.0, -3.0, np.inf, 1.0]])),
    "colours nested list": dict(facecolors=[[1, 0, 0, 1], [0, 1, 0, 0]]),
    "colours int": dict(facecolors=np.ones((3, 4), np.uint8)),
    # edge colours
    "edges (0, 4)": dict(edgecolors=np.zeros((0, 4))),
    "edges (0, 0)": dict(edgecolors=np.zeros((0, 0))),
    "edges (0, 7)": dict(edgecolors=np.zeros((0, 7))),
    # transform matrix
    "matrix list": dict(matrix=[[1, 0, 5], [0, 1, 5], [0, 0, 1]]),
    "matrix int": dict(matrix=np.eye(3, dtype=int)),
    "matrix fortran": dict(matrix=np.asfortranarray(np.arange(9.0).reshape(3, 3))),
    "matrix projective row": dict(matrix=np.array([[1, 0, 0], [0, 1, 0], [7, 8, 9.0]])),
    "matrix nan": dict(matrix=np.full((3, 3), np.nan)),
    # clip extents
    "extents (4,)": dict(extents=(0.0, 0.0, 5.0, 6.0)),
    "extents (2, 2)": dict(extents=[[0.0, 0.0], [5.0, 6.0]]),
    "extents (1, 4)": dict(extents=[[0.0, 0.0, 5.0, 6.0]]),
    "extents (4, 1)": dict(extents=[[0.0], [0.0], [5.0], [6.0]]),
    "extents empty box": dict(extents=(20.2, 30.7, 10.1, 40.0)),
    "extents nan": dict(extents=(np.nan,) * 4),
    "extents huge": dict(extents=(-1e300, -1e300, 3e9, 1e300)),
}

DECLINING = {
    # antialiased flag
    "antialiased True": dict(antialiased=True),
    "antialiased 1": dict(antialiased=1),
    "antialiased numpy True": dict(antialiased=np.True_),
    "antialiased 0-d array": dict(antialiased=np.array(2.0)),
    "antialiased nan": dict(antialiased=float("nan")),
    # hatch
    "hatch string": dict(hatch="//"),
    "hatch empty string": dict(hatch=""),
    "hatch false": dict(hatch=False),
    # clip path
    "clip path set": dict(clip_path=("path", "transform")),
    "clip path first item false": dict(clip_path=(0, None)),
    "clip path string": dict(clip_path="path"),
    # coordinates
    "coords 3 components": dict(coordinates=np.zeros((H + 1, W + 1, 3))),
    "coords cell shape": dict(coordinates=np.zeros((H, W, 2))),
    "coords transposed": dict(coordinates=np.zeros((W + 1, H + 1, 2))),
    "coords flat": dict(coordinates=np.zeros(((H + 1) * (W + 1), 2))),
    "coords 4-d": dict(coordinates=np.zeros((1, H + 1, W + 1, 2))),
    "coords too wide": dict(coordinates=np.zeros((H + 1, W + 2, 2))),
    "coords strings": dict(coordinates="not numbers"),
    "coords object": dict(coordinates=object()),
    "coords none": dict(coordinates=None),
    "sizes larger than coords": dict(coordinates=base_mesh()[0], mesh_width=W + 1),
    # masked coordinates
    "masked one element": dict(coordinates=np.ma.array(
        base_mesh()[0], mask=np.arange(base_mesh()[0].size).reshape(H + 1, W + 1, 2) == 5)),
    "masked true scalar": dict(coordinates=np.ma.array(base_mesh()[0], mask=True)),
    # offsets
    "offsets x beyond tolerance": dict(offsets=np.array([[np.nextafter(1e-12, 1), 0.0]])),
    "offsets y beyond tolerance": dict(offsets=np.array([[0.0, -np.nextafter(1e-12, 1)]])),
    "offsets (0, 1e-9)": dict(offsets=np.array([[0.0, 1e-9]])),
    "offsets infinite": dict(offsets=np.array([[np.inf, 0.0]])),
    "offsets two rows of zeros": dict(offsets=np.zeros((2, 2))),
    "offsets no rows": dict(offsets=np.zeros((0, 2))),
    "offsets (2,)": dict(offsets=np.zeros(2)),
    "offsets (1, 3)": dict(offsets=np.zeros((1, 3))),
    "offsets (1, 1, 2)": dict(offsets=np.zeros((1, 1, 2))),
    "offsets unconvertible": dict(offsets=object()),
    # face colours
    "colours (0, 4)": dict(facecolors=np.zeros((0, 4))),
    "colours (2, 3)": dict(facecolors=np.ones((2, 3))),
    "colours (4,)": dict(facecolors=np.ones(4)),
    "colours (1, 1, 4)": dict(facecolors=np.ones((1, 1, 4))),
    "alpha half": dict(facecolors=np.array([[1, 1, 1, 1.0], [1, 1, 1, 0.5]])),
    "alpha beyond tolerance above zero": dict(facecolors=np.array([[0, 0, 0, 1.5e-12]])),
    "alpha beyond tolerance below one": dict(facecolors=np.array([[0, 0, 0, 1 - 1e-11]])),
    "alpha beyond tolerance above one": dict(facecolors=np.array([[0, 0, 0, 1 + 1e-11]])),
    "alpha two": dict(facecolors=np.array([[0, 0, 0, 2.0]])),
    "alpha infinite": dict(facecolors=np.array([[0, 0, 0, np.inf]])),
    "alpha in last row only": dict(facecolors=np.vstack([np.ones((20, 4)), [[0, 0, 0, 0.9]]])),
    "alpha half in the first of many rows": dict(facecolors=many_colours(0)),
    "alpha half in a middle one of many rows": dict(facecolors=many_colours(MANY // 2 + 1)),
    "alpha half in the last of many rows": dict(facecolors=many_colours(MANY - 1)),
    "alpha beyond tolerance in one of many rows": dict(
        facecolors=many_colours(12_345, np.nextafter(1e-12, 1))),
    "alpha infinite in one of many rows": dict(facecolors=many_colours(MANY - 7, np.inf)),
    "many rows, every alpha half": dict(facecolors=np.full((MANY, 4), 0.5)),
    "colours unconvertible": dict(facecolors="red"),
    # edge colours
    "edges one row": dict(edgecolors=np.zeros((1, 4))),
    "edges empty list": dict(edgecolors=[]),
    "edges (0,)": dict(edgecolors=np.zeros(0)),
    "edges (0, 4, 1)": dict(edgecolors=np.zeros((0, 4, 1))),
    "edges unconvertible": dict(edgecolors=object()),
    # transform matrix
    "matrix (2, 3)": dict(matrix=np.zeros((2, 3))),
    "matrix (3, 3, 1)": dict(matrix=np.zeros((3, 3, 1))),
    "matrix (3, 2)": dict(matrix=np.zeros((3, 2))),
    "matrix (9,)": dict(matrix=np.zeros(9)),
    "matrix scalar": dict(matrix=np.float64(1.0)),
    "matrix unconvertible": dict(matrix=object()),
    # clip extents
    "extents (3,)": dict(extents=(0.0, 0.0, 5.0)),
    "extents (5,)": dict(extents=(0.0, 0.0, 5.0, 6.0, 7.0)),
    "extents (2, 3)": dict(extents=np.zeros((2, 3))),
    "extents 0-d": dict(extents=4.0),
    "extents empty": dict(extents=()),
}


@pytest.mark.parametrize("changes", PASSING.values(), ids=PASSING.keys())
def test_calls_that_pass_every_check(changes, classify_call):
    assert classify_call(call_args(**changes)) == REACHED_BUFFER


@pytest.mark.parametrize("changes", DECLINING.values(), ids=DECLINING.keys())
def test_calls_that_are_declined(changes, classify_call):
    assert classify_call(call_args(**changes)) == DECLINED


class TestArgumentObjects:
    """Cases that need a hand-built argument rather than a changed value."""

    def test_clip_rectangle_none_declines(self, classify_call):
        args = call_args()
        args[0].clip_rectangle = None
        assert classify_call(args) == DECLINED

    @pytest.mark.parametrize("extents", ["abcd", object(), [1, "x", 2, 3]])
    def test_unconvertible_extents_decline(self, extents, classify_call):
        args = call_args()
        args[0].clip_rectangle = standin_host.ClipRectangle(extents)
        assert classify_call(args) == DECLINED

    def test_tuple_subclass_clip_path_used_as_is(self, classify_call):
        class Path(tuple):
            def __iter__(self):
                raise AssertionError("a tuple subclass must not be re-iterated")

        assert classify_call(call_args(clip_path=Path((None, 1)))) == REACHED_BUFFER

    @pytest.mark.parametrize("index, value", [
        (4, [[[0, 0], [1, 1]], [[0, 0]]]),
        (5, [[0.0, 0.0], [0.0]]),
        (9, None),
        (7, {"r": 1}),
    ], ids=["ragged coords", "ragged offsets", "edges none", "colours dict"])
    def test_unconvertible_or_shapeless_arguments_decline(self, index, value, classify_call):
        assert classify_call(replace(call_args(), index, value)) == DECLINED

    def test_offset_transform_is_never_read(self, classify_call):
        args = replace(call_args(), 6, object())
        assert classify_call(args) == REACHED_BUFFER

    @pytest.mark.parametrize("nargs", [9, 11])
    def test_wrong_count_declines_even_when_otherwise_eligible(self, nargs, classify_call):
        args = call_args()
        args = args[:9] if nargs == 9 else args + (None,)
        assert classify_call(args) == DECLINED


class TestEmptyMesh:
    @pytest.mark.parametrize("width, height", [(0, H), (W, 0), (0, 0), (0, 2**64 - 1)])
    def test_served_without_host_or_buffer(self, width, height, classify_call):
        # The read-only target proves the buffer is never requested.
        args = call_args(mesh_width=width, mesh_height=height)
        assert classify_call(args) == SERVED

    @pytest.mark.parametrize("unusable", [
        dict(coordinates="junk"), dict(offsets=object()), dict(facecolors=None),
        dict(edgecolors=np.ones((5, 4))), dict(matrix="junk"), dict(offsets=np.ones((3, 3))),
    ], ids=["coords", "offsets", "colours", "edges", "matrix", "offset shape"])
    def test_later_arguments_are_not_looked_at(self, unusable, classify_call):
        args = call_args(mesh_width=0, **unusable)
        assert classify_call(args) == SERVED

    def test_pixels_untouched(self):
        target = standin_host.Renderer.new(6, 5, fill=(9, 8, 7, 6))
        before = target.pixels.copy()
        args = call_args(target, mesh_height=0)
        assert quadlite.draw_quad_mesh(target.draw_quad_mesh, *args) is None
        assert target.host_calls == []
        assert np.array_equal(target.pixels, before)

    def test_earlier_checks_still_apply(self, classify_call):
        assert classify_call(call_args(mesh_width=0, antialiased=True)) == DECLINED
        assert classify_call(call_args(mesh_width=0, hatch="x")) == DECLINED

    def test_height_is_converted_before_the_empty_test(self, classify_call):
        outcome = classify_call(call_args(mesh_width=0, mesh_height=-1))
        assert isinstance(outcome, RuntimeError)


# --- Raised errors --------------------------------------------------------------------

class Raising(Exception):
    pass


def _gc_with(**methods):
    class Context(standin_host.GraphicsContext):
        pass

    for name, method in methods.items():
        setattr(Context, name, method)
    return Context(standin_host.ClipRectangle(np.array([0.0, 0.0, 5.0, 6.0])))


def _raise(*_):
    raise Raising("from the host object")


def bad_flag(value):
    return dict(antialiased=value), RuntimeError, cast_error.messages(value, cast_error.BOOL)


def bad_size(name, value):
    return {name: value}, RuntimeError, cast_error.messages(value, cast_error.UINT64)


def bad_mask(mask):
    coordinates = standin_host.TracedCoordinates(base_mesh()[0], [], mask)
    return dict(coordinates=coordinates), RuntimeError, cast_error.messages(mask, cast_error.BOOL)


RAISING = {
    # truth conversion of the antialiased flag
    "antialiased string": bad_flag("yes"),
    "antialiased list": bad_flag([1]),
    "antialiased object": bad_flag(object()),
    "antialiased no truth slot": bad_flag(Uncastable()),
    "antialiased truth raises": bad_flag(BoolRaises()),
    # unsigned conversion of the mesh size
    "width negative": bad_size("mesh_width", -1),
    "width 2**64": bad_size("mesh_width", 2**64),
    "width float": bad_size("mesh_width", 3.0),
    "width numpy float64": bad_size("mesh_width", np.float64(3)),
    "width string": bad_size("mesh_width", "3"),
    "width negative via __int__": bad_size("mesh_width", IntLike(-2)),
    "height negative": bad_size("mesh_height", -5),
    "height float": bad_size("mesh_height", 2.0),
    # clip path conversion and item access
    "clip path none": (dict(clip_path=None), TypeError, None),
    "clip path int": (dict(clip_path=5), TypeError, None),
    "clip path empty tuple": (dict(clip_path=()), IndexError, None),
    "clip path empty list": (dict(clip_path=[]), IndexError, None),
    # mask truth conversion
    "mask list": bad_mask([False]),
    "mask string": bad_mask("no"),
}


@pytest.mark.parametrize("changes, error_type, message", RAISING.values(), ids=RAISING.keys())
def test_calls_that_raise(changes, error_type, message, classify_call):
    outcome = classify_call(call_args(**changes))
    assert type(outcome) is error_type
    if message is not None:  # the whole text, as pybind11 words it (cast_error.py)
        assert str(outcome) in message


@pytest.mark.parametrize("index", [2, 3], ids=["width", "height"])
def test_none_mesh_size_raises(index, classify_call):
    outcome = classify_call(replace(call_args(), index, None))
    assert type(outcome) is RuntimeError
    assert str(outcome) in cast_error.messages(None, cast_error.UINT64)


def _bad_any(mask_values, result=None, error=None):
    class Mask(np.ndarray):
        def any(self, *args, **kwargs):
            if error is not None:
                raise error
            return result

    return np.asarray(mask_values, bool).view(Mask)


class TestHostObjectErrors:
    """Errors of host objects reach the caller unchanged; the host is not called."""

    @pytest.mark.parametrize("method", ["get_hatch", "get_clip_path", "get_clip_rectangle"])
    def test_graphics_context_method_raising(self, method, classify_call):
        args = replace(call_args(), 0, _gc_with(**{method: _raise}))
        assert isinstance(classify_call(args), Raising)

    @pytest.mark.parametrize("method", ["get_hatch", "get_clip_path", "get_clip_rectangle"])
    def test_graphics_context_method_missing(self, method, classify_call):
        class Context:
            def get_hatch(self):
                return None

            def get_clip_path(self):
                return (None, None)

            def get_clip_rectangle(self):
                return standin_host.ClipRectangle(np.zeros(4))

        delattr(Context, method)
        outcome = classify_call(replace(call_args(), 0, Context()))
        assert isinstance(outcome, AttributeError) and method in str(outcome)

    def test_get_matrix_raising(self, classify_call):
        transform = standin_host.Affine()
        transform.get_matrix = _raise
        assert isinstance(classify_call(replace(call_args(), 1, transform)), Raising)

    def test_get_matrix_missing(self, classify_call):
        outcome = classify_call(replace(call_args(), 1, object()))
        assert isinstance(outcome, AttributeError) and "get_matrix" in str(outcome)

    def test_extents_missing(self, classify_call):
        args = call_args()
        args[0].clip_rectangle = object()
        outcome = classify_call(args)
        assert isinstance(outcome, AttributeError) and "extents" in str(outcome)

    def test_extents_raising(self, classify_call):
        class Rect:
            @property
            def extents(self):
                raise Raising()

        args = call_args()
        args[0].clip_rectangle = Rect()
        assert isinstance(classify_call(args), Raising)

    def test_mask_any_raising(self, classify_call):
        mask = _bad_any(np.zeros((H + 1, W + 1, 2)), error=Raising())
        coords = standin_host.TracedCoordinates(base_mesh()[0], [], mask)
        assert isinstance(classify_call(call_args(coordinates=coords)), Raising)

    @pytest.mark.parametrize("result, expected", [
        (False, REACHED_BUFFER), (np.False_, REACHED_BUFFER), (None, REACHED_BUFFER),
        (0, REACHED_BUFFER), (True, DECLINED), (np.True_, DECLINED), (7, DECLINED),
    ])
    def test_mask_any_result_truth(self, result, expected, classify_call):
        mask = _bad_any(np.zeros(3), result=result)
        coords = standin_host.TracedCoordinates(base_mesh()[0], [], mask)
        assert classify_call(call_args(coordinates=coords)) == expected

    def test_mask_any_result_not_convertible(self, classify_call):
        mask = _bad_any(np.zeros(3), result=[True])
        coords = standin_host.TracedCoordinates(base_mesh()[0], [], mask)
        outcome = classify_call(call_args(coordinates=coords))
        assert isinstance(outcome, RuntimeError)
        assert str(outcome) in cast_error.messages([True], cast_error.BOOL)

    def test_mask_read_raising_after_presence_test(self, classify_call):
        class Coords(np.ndarray):
            reads = 0

            @property
            def mask(self):
                type(self).reads += 1
                if type(self).reads > 1:
                    raise Raising("second read")
                return np.False_

        args = replace(call_args(), 4, base_mesh()[0].view(Coords))
        assert isinstance(classify_call(args), Raising)

    def test_mask_presence_test_raising_means_no_mask(self, classify_call):
        class Coords(np.ndarray):
            @property
            def mask(self):
                raise Raising("never there")

        args = replace(call_args(), 4, base_mesh()[0].view(Coords))
        assert classify_call(args) == REACHED_BUFFER

    # From CPython 3.13 the plain presence test reports what it swallows
    # through sys.unraisablehook (a warning under pytest); nothing may be.
    @pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")
    @pytest.mark.parametrize("error", [Raising, ValueError, AttributeError])
    def test_mask_presence_test_raising_reports_nothing(self, error, classify_call, monkeypatch):
        class Coords(np.ndarray):
            reads = 0

            @property
            def mask(self):
                type(self).reads += 1
                raise error("never there")

        reported = []
        monkeypatch.setattr(sys, "unraisablehook", reported.append)
        args = replace(call_args(), 4, base_mesh()[0].view(Coords))
        assert classify_call(args) == REACHED_BUFFER
        assert Coords.reads == 1 and reported == []
        assert sys.exc_info() == (None, None, None)

    @pytest.mark.parametrize("mask, expected", [
        (np.False_, REACHED_BUFFER), (False, REACHED_BUFFER), (0, REACHED_BUFFER),
        (np.True_, DECLINED), (1, DECLINED),
        (np.zeros((H + 1, W + 1, 2), bool), REACHED_BUFFER),
        (np.eye(1, 24, 23, dtype=bool).reshape(H + 1, W + 1, 2), DECLINED),
        (np.zeros(0, bool), REACHED_BUFFER),
    ], ids=["np false", "false", "zero", "np true", "one", "all false", "last set", "empty"])
    def test_mask_values(self, mask, expected, classify_call):
        coords = standin_host.TracedCoordinates(base_mesh()[0], [], mask)
        assert classify_call(call_args(coordinates=coords)) == expected

    def test_only_coordinates_are_examined_for_a_mask(self, classify_call):
        masked = np.ma.array(np.zeros((1, 2)), mask=True)
        masked_colours = np.ma.array(base_mesh()[1], mask=True)
        args = call_args(offsets=masked, facecolors=masked_colours)
        assert classify_call(args) == REACHED_BUFFER


# --- The order in which host objects are consulted ------------------------------------

FULL_TRACE = ["get_hatch", "get_clip_path", "mask", "mask", "any", "get_matrix",
              "get_clip_rectangle", "extents"]


def _traced(target=None, **changes):
    log = []
    coords, colours = base_mesh()
    coords = changes.pop("coordinates", coords)
    colours = changes.pop("facecolors", colours)
    mask = changes.pop("mask", standin_host.traced_mask(log, np.zeros(coords.shape)))
    if callable(mask):
        mask = mask(log)
    args = standin_host.traced_mesh_args(readonly_target() if target is None else target,
                                         coords, colours, log, mask=mask, **changes)
    return args, log


TRACES = {
    # (changes, outcome, how far the trace gets)
    "eligible": (dict(), REACHED_BUFFER, 8),
    "antialiased": (dict(antialiased=True), DECLINED, 0),
    "hatch": (dict(hatch="x"), DECLINED, 1),
    "clip path": (dict(clip_path=("p", None)), DECLINED, 2),
    "empty mesh": (dict(mesh_width=0), SERVED, 2),
    "unconvertible edges": (dict(edgecolors=object()), DECLINED, 2),
    "masked": (dict(mask=lambda log: standin_host.traced_mask(log, [0, 1])), DECLINED, 5),
    "mask not an array": (dict(mask=np.False_), REACHED_BUFFER, None),
    "coords shape": (dict(coordinates=np.zeros((H + 1, W + 1, 3))), DECLINED, 5),
    "offset": (dict(offsets=np.array([[0.5, 0.0]])), DECLINED, 5),
    "matrix shape": (dict(matrix=np.eye(2)), DECLINED, 6),
    "extents shape": (dict(extents=(0.0, 1.0, 2.0)), DECLINED, 8),
    "alpha": (dict(facecolors=np.full((1, 4), 0.5)), DECLINED, 8),
}


@pytest.mark.parametrize("changes, outcome, reach", TRACES.values(), ids=TRACES.keys())
def test_host_objects_are_consulted_in_chain_order(changes, outcome, reach, classify_call):
    args, log = _traced(**changes)
    assert classify_call(args) == outcome
    if reach is None:  # a mask without any(): read twice, then the rest
        assert log == ["get_hatch", "get_clip_path", "mask", "mask", "get_matrix",
                       "get_clip_rectangle", "extents"]
    else:
        assert log == FULL_TRACE[:reach]


@pytest.mark.parametrize("rows", [2, MANY], ids=["few colours", "many colours"])
class TestAlphaCheckKeepsItsPlace:
    """The alpha check comes after the clip rectangle and before the buffer
    request, however many colours it reads and wherever it reads them."""

    def bad_alphas(self, rows):
        colours = np.ones((rows, 4))
        colours[rows - 1, 3] = 0.5
        return colours

    def test_clip_rectangle_errors_come_first(self, rows, classify_call):
        args = call_args(facecolors=self.bad_alphas(rows))
        args[0].clip_rectangle = object()
        outcome = classify_call(args)
        assert isinstance(outcome, AttributeError) and "extents" in str(outcome)

    def test_extents_decline_comes_first(self, rows, classify_call):
        args, log = _traced(facecolors=self.bad_alphas(rows), extents=(0.0, 1.0, 2.0))
        assert classify_call(args) == DECLINED
        assert log == FULL_TRACE

    def test_declined_before_a_failing_buffer_request(self, rows, classify_call):
        args, log = _traced(facecolors=self.bad_alphas(rows))
        assert classify_call(args) == DECLINED  # not the read-only target's error
        assert log == FULL_TRACE

    def test_declined_without_requesting_the_buffer(self, rows):
        exporter = RawExporter(6, 5)
        host = standin_host.HostMethod(exporter)
        args = call_args(exporter, facecolors=self.bad_alphas(rows), extents=(0.0, 0.0, 5.0, 6.0))
        assert quadlite.draw_quad_mesh(host, *args) == "host drew"
        assert exporter.requests == 0 and exporter.releases == 0

    def test_a_binary_set_reaches_the_buffer(self, rows, classify_call):
        colours = self.bad_alphas(rows)
        colours[rows - 1, 3] = 0.0
        assert classify_call(call_args(facecolors=colours)) == REACHED_BUFFER


def test_clip_rectangle_none_stops_before_extents(classify_call):
    args, log = _traced()
    args[0].clip_rectangle = None
    assert classify_call(args) == DECLINED
    assert log == FULL_TRACE[:7]


# --- The target buffer ----------------------------------------------------------------

def _strided(shape, strides, base_size=64):
    return np.lib.stride_tricks.as_strided(np.zeros(base_size, np.uint8), shape, strides)


TARGETS = {
    "three channels": np.zeros((6, 5, 3), np.uint8),
    "five channels": np.zeros((6, 5, 5), np.uint8),
    "two-byte items": np.zeros((6, 5, 4), np.uint16),
    "float items": np.zeros((6, 5, 4), np.float32),
    "two dimensions": np.zeros((6, 20), np.uint8),
    "four dimensions": np.zeros((1, 6, 5, 4), np.uint8),
    "one dimension": np.zeros(120, np.uint8),
    "bytearray": bytearray(120),
    "memoryview (6, 5, 2)": memoryview(bytearray(60)).cast("B", (6, 5, 2)),
    "memoryview of int32": memoryview(bytearray(480)).cast("i", (6, 5, 4)),
}


@pytest.mark.parametrize("target", TARGETS.values(), ids=TARGETS.keys())
def test_targets_of_the_wrong_kind_are_declined_untouched(target, classify_call):
    before = bytes(memoryview(target).cast("B"))
    assert classify_call(call_args(), target) == DECLINED
    assert bytes(memoryview(target).cast("B")) == before


class TestReadOnlyTarget:
    """A failed writable request raises the exporter's own error."""

    def test_numpy_read_only(self):
        target = readonly_target()
        host = standin_host.HostMethod(target)
        with pytest.raises(ValueError, match="read-only"):
            quadlite.draw_quad_mesh(host, *call_args(target))
        assert host.calls == []

    @pytest.mark.parametrize("target, error, message", [
        (b"\0" * 120, BufferError, "Object is not writable."),
        (memoryview(b"\0" * 120).cast("B", (6, 5, 4)), BufferError,
         "memoryview: underlying buffer is not writable"),
    ], ids=["bytes", "memoryview of bytes"])
    def test_cpython_exporters(self, target, error, message):
        host = standin_host.HostMethod(target)
        with pytest.raises(error) as caught:
            quadlite.draw_quad_mesh(host, *call_args(np.zeros((6, 5, 4))))
        assert str(caught.value) == message
        assert host.calls == []

    def test_read_only_request_happens_only_after_every_other_check(self):
        target = readonly_target()
        host = standin_host.HostMethod(target)
        assert quadlite.draw_quad_mesh(host, *call_args(target, hatch="x")) == "host drew"
