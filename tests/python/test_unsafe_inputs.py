"""Inputs that would let the drawing reach memory it does not own: all go to the host."""
import numpy as np
import pytest

import quadlite
import standin_host
from conftest import DECLINED, REACHED_BUFFER, readonly_target
from mesh_cases import POOL_WORK

MAX_U64 = 2**64 - 1


def eligible(target, coords=None, width=None, height=None):
    if coords is None:
        coords = np.stack(np.meshgrid(np.arange(4.0), np.arange(3.0)), axis=-1)
    colours = np.array([[0.1, 0.5, 0.9, 1.0]])
    return standin_host.mesh_args(target, coords, colours, mesh_width=width,
                                  mesh_height=height,
                                  extents=(0.0, 0.0, float(target.shape[1]),
                                           float(target.shape[0])))


class TestMeshSizeWrap:
    """A size of 2**64 - 1 would make the node count W + 1 wrap to 0."""

    @pytest.mark.parametrize("width, height, coord_shape", [
        (MAX_U64, 2, (3, 0, 2)),
        (3, MAX_U64, (0, 4, 2)),
        (MAX_U64, MAX_U64, (0, 0, 2)),
    ], ids=["width", "height", "both"])
    def test_declined_before_the_buffer(self, width, height, coord_shape, classify_call):
        # Read-only target: a call that got past the shape test would raise.
        args = eligible(readonly_target(), np.zeros(coord_shape), width, height)
        assert classify_call(args) == DECLINED

    @pytest.mark.parametrize("width, height, coord_shape", [
        (MAX_U64, 2, (3, 0, 2)), (3, MAX_U64, (0, 4, 2)),
    ], ids=["width", "height"])
    def test_host_draws_and_pixels_stay(self, width, height, coord_shape):
        target = np.full((6, 5, 4), 77, np.uint8)
        host = standin_host.HostMethod(target)
        args = eligible(target, np.zeros(coord_shape), width, height)
        assert quadlite.draw_quad_mesh(host, *args) == "host drew"
        assert len(host.calls) == 1
        assert (target == 77).all()

    def test_one_below_the_wrap_is_still_a_size(self, classify_call):
        # 2**64 - 2 converts fine; it just cannot match any real array.
        args = eligible(readonly_target(), np.zeros((3, 0, 2)), 2**64 - 2, 2)
        assert classify_call(args) == DECLINED

    def test_sound_sizes_still_reach_the_buffer(self, classify_call):
        assert classify_call(eligible(readonly_target())) == REACHED_BUFFER


def _guarded(shape, strides, offset=0, size=None):
    """A writable view into a larger block filled with a guard value."""
    size = size or 4096
    block = np.full(size, 0xA5, np.uint8)
    view = np.lib.stride_tricks.as_strided(block[offset:], shape, strides)
    return block, view


CHANNEL_LAYOUTS = {
    # channel axis running backwards: the fill would write below the pixel
    "reversed": lambda: _guarded((6, 5, 4), (20, 4, -1), offset=3),
    "every other byte": lambda: _guarded((6, 5, 4), (40, 8, 2)),
    "broadcast": lambda: _guarded((6, 5, 4), (5, 1, 0)),
    "planar": lambda: _guarded((6, 5, 4), (5, 1, 30)),
    "planar reversed": lambda: _guarded((6, 5, 4), (5, 1, -30), offset=90),
}


class TestChannelStride:
    @pytest.mark.parametrize("make", CHANNEL_LAYOUTS.values(), ids=CHANNEL_LAYOUTS.keys())
    def test_declined_and_memory_untouched(self, make):
        block, target = make()
        assert target.flags.writeable
        host = standin_host.HostMethod(target)
        before = block.copy()
        assert quadlite.draw_quad_mesh(host, *eligible(target)) == "host drew"
        assert len(host.calls) == 1
        assert np.array_equal(block, before)

    def test_standin_reversed_layout(self):
        target = standin_host.Renderer.new(6, 5, layout="reversed-channels")
        args = eligible(target)
        assert quadlite.draw_quad_mesh(target.draw_quad_mesh, *args) == "host drew"
        assert len(target.host_calls) == 1


HUGE = {
    "2**31 rows": ((2**31, 5, 4), (0, 4, 1)),
    "2**31 columns": ((6, 2**31, 4), (20, 0, 1)),
    "2**32 + 6 rows": ((2**32 + 6, 5, 4), (0, 4, 1)),
    "2**32 + 5 columns": ((6, 2**32 + 5, 4), (20, 0, 1)),
    "2**60 rows": ((2**60, 1, 4), (0, 4, 1)),
}


class TestTargetExtent:
    """Rows and columns are 32-bit in the passes; larger targets go to the host."""

    @pytest.mark.parametrize("shape, strides", HUGE.values(), ids=HUGE.keys())
    def test_declined_and_memory_untouched(self, shape, strides):
        block, target = _guarded(shape, strides)
        host = standin_host.HostMethod(target)
        before = block.copy()
        # Clip to a small corner so that nothing but the size could decline.
        args = eligible(target)
        args[0].clip_rectangle = standin_host.ClipRectangle(np.array([0.0, 0.0, 5.0, 6.0]))
        assert quadlite.draw_quad_mesh(host, *args) == "host drew"
        assert len(host.calls) == 1
        assert np.array_equal(block, before)


class TestCoordinatesSpoiledDuringTheCall:
    """Another thread writes NaN or infinity into the nodes while a call draws.

    The caller's program has a data race, so the picture may mix old and new
    geometry, but no quad may be drawn from a non-finite vertex: such a quad
    would fill out to the image border.
    """

    SIZE = 400
    CELLS = 400

    def _mesh(self):
        # 400 x 400 cells of half a pixel, turned by 3 degrees about the
        # image centre: the mesh covers the middle 200 x 200 pixels or so.
        t = np.linspace(-100.0, 100.0, self.CELLS + 1)
        xs, ys = np.meshgrid(t, t)
        a = np.radians(3.0)
        centre = self.SIZE / 2
        nodes = np.stack([centre + np.cos(a) * xs - np.sin(a) * ys,
                          centre + np.sin(a) * xs + np.cos(a) * ys], axis=-1)
        return np.ascontiguousarray(nodes)

    def _draw(self, target, coords):
        host = standin_host.HostMethod(target)
        args = standin_host.mesh_args(target, coords, np.array([[0.2, 0.6, 0.9, 1.0]]))
        result = quadlite.draw_quad_mesh(host, *args)
        return result, host

    def test_nothing_is_drawn_outside_the_mesh(self):
        import threading
        import time

        assert self.CELLS ** 2 >= POOL_WORK  # the passes run on the pool, where it has workers
        original = self._mesh()
        target = standin_host.Renderer.new(self.SIZE, self.SIZE)
        assert self._draw(target, original.copy())[0] is None
        covered = target.pixels.any(axis=-1)  # every state's quads lie within this
        unspoiled = target.pixels.copy()

        coords = original.copy()
        flat = coords.reshape(-1)  # the very memory the call reads
        start, stop = threading.Event(), threading.Event()
        rng = np.random.default_rng(7)
        spoils = np.array([np.nan, np.inf, -np.inf])

        def spoil():
            while not stop.is_set():
                if not start.wait(0.05):
                    continue
                start.clear()
                time.sleep(rng.uniform(0.0, 0.004))
                for _ in range(20):
                    flat[rng.integers(0, flat.size, 8)] = rng.choice(spoils, 8)
                    time.sleep(0.0002)

        spoiler = threading.Thread(target=spoil, daemon=True)
        spoiler.start()
        changed = declined = 0
        try:
            for call in range(100):
                coords[...] = original
                target.pixels[...] = 0
                start.set()
                result, host = self._draw(target, coords)
                time.sleep(0.008)  # let the spoiler finish its round
                outside = target.pixels[~covered]
                assert not outside.any(), f"call {call} drew outside the mesh"
                declined += result is not None
                changed += not np.array_equal(target.pixels, unspoiled)
        finally:
            stop.set()
            spoiler.join()
        # The race must actually have been run: some calls saw spoiled nodes.
        assert changed + declined > 0


class TestGridSpoiledDuringTheCall(TestCoordinatesSpoiledDuringTheCall):
    """The same race on an exact grid, which is drawn from the axes read when
    the call found it to be one: spoiled nodes read after that change
    nothing, and those read before send the call to the cell-by-cell path."""

    def _mesh(self):
        t = np.linspace(-100.0, 100.0, self.CELLS + 1)
        xs, ys = np.meshgrid(t, t)
        centre = self.SIZE / 2
        return np.ascontiguousarray(np.stack([centre + xs, centre + ys], axis=-1))
