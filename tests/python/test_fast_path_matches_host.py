"""quadlite against the stand-in host's own drawing, byte for byte.

Each case is drawn twice from the same pre-filled buffer: once through
quadlite.draw_quad_mesh, which must draw it itself (return None, never call
the host method), and once by the host method. The two buffers, padding
included, must be identical.
"""
import itertools
import math
import threading
import time
import types

import numpy as np
import pytest

import quadlite
from mesh_cases import (GEOMETRIES, large_mesh_case, mesh_case, pool_sized_case, reaches_pool,
                        stacked_mesh_case)
from standin_host import Renderer, mesh_args


def fast_draw(case):
    """The case drawn by quadlite, which must not hand it to the host."""
    r = case.renderer()
    result = quadlite.draw_quad_mesh(r.draw_quad_mesh, *case.args(r))
    assert result is None, case
    assert r.host_calls == [], case
    return r


def host_draw(case):
    r = case.renderer()
    assert r.draw_quad_mesh(*case.args(r)) == "host drew"
    return r


def memory(renderer):
    """All bytes of the allocation behind the renderer, padding included."""
    return np.asarray(renderer.base).copy()


def assert_same_image(fast, host, case):
    if not np.array_equal(memory(fast), memory(host)):
        differ = np.argwhere((fast.pixels != host.pixels).any(axis=-1))
        raise AssertionError(f"{case}: {len(differ)} pixels differ, first (row, col) "
                             f"{differ[:5].tolist()}")


# --- differential -------------------------------------------------------------

@pytest.mark.parametrize("geometry", sorted(GEOMETRIES))
def test_fast_path_draws_what_the_host_draws(geometry):
    for seed in range(50):
        case = mesh_case(100 * seed + 11, geometry=geometry)
        assert_same_image(fast_draw(case), host_draw(case), case)


def test_fast_path_draws_what_the_host_draws_on_mixed_cases():
    for seed in range(5000, 5300):
        case = mesh_case(seed)
        assert_same_image(fast_draw(case), host_draw(case), case)


def _pool_sized_cases(geometry, count):
    """The first `count` cases of the geometry, on images of 512 to 640 pixels a
    side, whose clip makes the call reach the pool."""
    found = 0
    for seed in itertools.count():
        case = mesh_case(100 * seed + 17, geometry=geometry, max_mesh=16,
                         image=(512 + 37 * seed % 129, 512 + 53 * seed % 129))
        if reaches_pool(case):
            yield case
            found += 1
            if found == count:
                return


@pytest.mark.parametrize("geometry", sorted(GEOMETRIES))
def test_fast_path_draws_what_the_host_draws_on_pool_sized_cases(geometry):
    # Several workers (where the pool has them) split the rows into bands.
    for case in _pool_sized_cases(geometry, 4):
        assert_same_image(fast_draw(case), host_draw(case), case)


def test_fast_path_draws_a_large_curvilinear_mesh_like_the_host():
    # Enough cells for the pool by their number alone.
    case = large_mesh_case(7, rows=240, cols=320, W=130, H=110)
    assert reaches_pool(case)
    assert_same_image(fast_draw(case), host_draw(case), case)


# --- all or nothing ---------------------------------------------------------------

def _snapshotting_host(renderer):
    """The renderer's host method, bound to it, that also keeps a copy of the
    buffer as it was when the host was called."""
    snapshots = []

    def draw_quad_mesh(self, *args):
        snapshots.append(memory(self))
        return Renderer.draw_quad_mesh(self, *args)

    return types.MethodType(draw_quad_mesh, renderer), snapshots


def _opaque(case):
    case.facecolors[:, 3] = 1.0
    return case


def _nan_node(case, value=math.nan, axis=0):
    # node (0, 0) belongs to quad 0 only
    case.coordinates[0, 0, axis] = value
    return case


def _outside_quad(case):
    # quad 0 far outside the clip box, with one node NaN
    case.coordinates[0, 0] = (math.nan, -1e6)
    case.coordinates[1, 0] = (-1e6, -1e6)
    case.coordinates[1, 1] = (-1e6 + 1, -1e6)
    case.coordinates[0, 1] = (-1e6 + 1, -1e6 + 1)
    return case


def _bad_matrix(value, row, col):
    def change(case):
        case.matrix[row, col] = value
        return case
    return change


def _overflow(case):
    # finite nodes whose device position overflows to infinity
    case.coordinates[0, 0] = (1e300, 1e300)
    case.matrix[0, 0] = 1e10
    return case


FALLBACKS = {
    "nan x": lambda c: _nan_node(c),
    "nan y": lambda c: _nan_node(c, axis=1),
    "inf": lambda c: _nan_node(c, math.inf),
    "-inf": lambda c: _nan_node(c, -math.inf, axis=1),
    "outside the clip": _outside_quad,
    "nan in matrix": _bad_matrix(math.nan, 0, 1),
    "inf translation": _bad_matrix(math.inf, 1, 2),
    "overflow": _overflow,
}


@pytest.mark.parametrize("change", sorted(FALLBACKS))
def test_non_finite_vertex_of_a_drawn_quad_hands_the_call_to_the_host(change):
    for seed in range(8):
        case = _opaque(mesh_case(seed, geometry="rectilinear", hidden_nans=False))
        case = FALLBACKS[change](case)
        r = case.renderer()
        start = memory(r)
        method, snapshots = _snapshotting_host(r)
        assert quadlite.draw_quad_mesh(method, *case.args(r)) == "host drew"
        assert len(r.host_calls) == 1 and len(snapshots) == 1
        assert np.array_equal(snapshots[0], start), f"{case}: fast path wrote before declining"
        assert_same_image(r, host_draw(case), case)


@pytest.mark.parametrize("alpha", [0.0, -0.0, 1e-13, -1e-13, 1e-12])
def test_non_finite_nodes_of_undrawn_quads_do_not_stop_the_fast_path(alpha):
    for seed in range(8):
        case = _opaque(mesh_case(seed, geometry="jittered", hidden_nans=False))
        case.facecolors = np.repeat(case.facecolors[:1], case.mesh_width * case.mesh_height, 0)
        case.facecolors[0, 3] = alpha
        _nan_node(case, [math.nan, math.inf, -math.inf][seed % 3], axis=seed % 2)
        assert_same_image(fast_draw(case), host_draw(case), case)


def test_non_finite_third_matrix_row_does_not_matter():
    for seed in range(8):
        case = _opaque(mesh_case(seed, geometry="sheared", hidden_nans=False))
        case.matrix[2] = (math.nan, math.inf, -math.inf)
        assert_same_image(fast_draw(case), host_draw(case), case)


# --- huge coordinates ------------------------------------------------------------

@pytest.mark.parametrize("reach", [2.0 ** 31, 3e9, 1e12, 1e18])
def test_cell_beyond_two_to_the_31_covering_the_image_is_drawn(reach):
    rows, cols = 9, 13
    case = mesh_case(3, geometry="rectilinear")
    case.rows, case.cols = rows, cols
    case.prefill = np.full((rows, cols, 4), 17, np.uint8)
    case.coordinates = np.array([[[-reach, -reach], [reach, -reach]],
                                 [[-reach, reach], [reach, reach]]])
    case.facecolors = np.array([[0.0, 0.5, 1.0, 1.0]])
    case.matrix = np.eye(3)
    case.extents = (0.0, 0.0, 3e9, float(rows))
    fast = fast_draw(case)
    assert (fast.pixels == [0, 128, 255, 255]).all()
    assert_same_image(fast, host_draw(case), case)


# --- threads -------------------------------------------------------------------------

def test_threads_drawing_at_once_give_the_images_of_one_after_another():
    threads = 4
    cases = [[pool_sized_case(10 * t + k, W=60, H=50) for k in range(2)] for t in range(threads)]
    one_after_another = [[memory(fast_draw(c)) for c in row] for row in cases]
    at_once = [None] * threads
    errors = []
    barrier = threading.Barrier(threads)

    def draw_all(t):
        try:
            barrier.wait()
            at_once[t] = [memory(fast_draw(c)) for c in cases[t]]
        except BaseException as e:  # reported below, on the test's thread
            errors.append(e)

    workers = [threading.Thread(target=draw_all, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert not errors, errors
    for t in range(threads):
        for k, case in enumerate(cases[t]):
            assert np.array_equal(at_once[t][k], one_after_another[t][k]), case
    # and the images are the host's
    case = cases[0][0]
    assert np.array_equal(one_after_another[0][0], memory(host_draw(case))), case


def _draw_while_counting(case):
    """Draws the case with quadlite while another thread keeps taking time
    stamps; returns the call's start and end and the stamps."""
    r = case.renderer()
    args = case.args(r)
    stamps, stop = [], threading.Event()

    def count():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            for _ in range(100):
                pass

    counter = threading.Thread(target=count, daemon=True)
    counter.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        result = quadlite.draw_quad_mesh(r.draw_quad_mesh, *args)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    assert result is None and r.host_calls == []
    return start, end, stamps


def test_other_python_threads_run_while_a_large_mesh_is_drawn():
    # Had the call held the interpreter lock throughout, the counting thread
    # could have left no stamps in its middle half.
    quads, limit, wanted = 512, 1 << 15, 0.2
    start, end, stamps = _draw_while_counting(stacked_mesh_case(1, quads))
    while end - start < wanted and quads < limit:
        quads *= 4
        start, end, stamps = _draw_while_counting(stacked_mesh_case(1, quads))
    duration = end - start
    assert duration >= wanted, f"{quads} quads took only {duration:.3f} s"
    middle = [s for s in stamps if start + duration / 4 < s < end - duration / 4]
    assert middle, f"no other thread ran during a {duration:.3f} s drawing call"
