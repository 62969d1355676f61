"""The numpy reference drawing against a plain per-pixel reading of the rule.

`naive_draw` below is written from the rule alone, one pixel at a time with
Python floats, and shares no code with reference_draw: if the two agree
byte for byte on many random meshes, the numpy version states the rule.
"""
import functools
import math
from fractions import Fraction

import numpy as np
import pytest

import reference_draw
from mesh_cases import GEOMETRIES, mesh_case
from standin_host import Renderer, mesh_args

INT32_MIN, INT32_MAX = -2 ** 31, 2 ** 31 - 1
EDGE_TOLERANCE = 1e-12


# --- the rule, one pixel at a time -------------------------------------------

def _bound(v):
    """Saturated 32-bit pixel bound of an integral (or non-finite) float."""
    if math.isnan(v) or v < -2.0 ** 31:
        return INT32_MIN
    if v >= 2.0 ** 31:
        return INT32_MAX
    return int(v)


def _lower(v):
    return _bound(float(math.floor(v)) if math.isfinite(v) else v)


def _upper(v):
    return _bound(float(math.ceil(v)) if math.isfinite(v) else v)


def _byte(component):
    if math.isnan(component):
        return 0
    t = min(max(component, 0.0), 1.0) * 255.0
    return math.floor(Fraction(t) + Fraction(1, 2))   # halves away from zero (t >= 0)


def _convex(p):
    longest = 0.0
    for k in range(4):
        dx, dy = p[(k + 1) % 4][0] - p[k][0], p[(k + 1) % 4][1] - p[k][1]
        longest = max(longest, dx * dx + dy * dy)
    tau = longest * 2.0 ** -20
    turns = []
    for k in range(4):
        (xa, ya), (xb, yb), (xc, yc) = p[k - 1], p[k], p[(k + 1) % 4]
        turns.append((xb - xa) * (yc - ya) - (yb - ya) * (xc - xa))
    return not (any(t > tau for t in turns) and any(t < -tau for t in turns))


def _hull_order(p):
    cx = (((p[0][0] + p[1][0]) + p[2][0]) + p[3][0]) * 0.25
    cy = (((p[0][1] + p[1][1]) + p[2][1]) + p[3][1]) * 0.25

    def compare(a, b):
        angle_a = math.atan2(a[1] - cy, a[0] - cx)
        angle_b = math.atan2(b[1] - cy, b[0] - cx)
        if angle_a != angle_b:
            return -1 if angle_a < angle_b else 1
        da = (a[1] - cy) * (a[1] - cy) + (a[0] - cx) * (a[0] - cx)
        db = (b[1] - cy) * (b[1] - cy) + (b[0] - cx) * (b[0] - cx)
        return (da > db) - (da < db)

    return sorted(p, key=functools.cmp_to_key(compare))


def _covers(p, X, Y):
    above = below = False
    for k in range(4):
        (xa, ya), (xb, yb) = p[k], p[(k + 1) % 4]
        e = (xb - xa) * (Y - ya) - (yb - ya) * (X - xa)
        above = above or e > EDGE_TOLERANCE
        below = below or e < -EDGE_TOLERANCE
    return not (above and below)


def naive_draw(image, W, H, coordinates, facecolors, matrix, extents):
    rows, cols = image.shape[0], image.shape[1]
    m = [[float(v) for v in row] for row in np.asarray(matrix)]
    e = [float(v) for v in np.asarray(extents, dtype=float).ravel()]
    clip_x0, clip_y0 = max(0, _lower(e[0])), max(0, _lower(e[1]))
    clip_x1, clip_y1 = min(_upper(e[2]), cols), min(_upper(e[3]), rows)
    colours = [[float(v) for v in row] for row in facecolors]
    for i in range(W * H):
        r, c = i // W, i % W
        red, green, blue, alpha = colours[i % len(colours)]
        if abs(alpha) <= 1e-12:
            continue
        p = []
        for nr, nc in ((r, c), (r + 1, c), (r + 1, c + 1), (r, c + 1)):
            x, y = float(coordinates[nr, nc, 0]), float(coordinates[nr, nc, 1])
            p.append(((m[0][0] * x + m[0][1] * y) + m[0][2],
                      (m[1][0] * x + m[1][1] * y) + m[1][2]))
        if not all(math.isfinite(v) for point in p for v in point):
            continue
        if not _convex(p):
            p = _hull_order(p)
            if not _convex(p):
                continue
        x0 = max(clip_x0, _lower(min(v[0] for v in p)))
        x1 = min(_upper(max(v[0] for v in p)), clip_x1)
        y0 = max(clip_y0, _lower(min(v[1] for v in p)))
        y1 = min(_upper(max(v[1] for v in p)), clip_y1)
        rgba = [_byte(red), _byte(green), _byte(blue), 255]
        for py in range(y0, y1):
            for px in range(x0, x1):
                if _covers(p, px + 0.5, py + 0.5):
                    image[rows - 1 - py, px] = rgba


# --- helpers -------------------------------------------------------------------

def draw(coordinates, facecolors, rows, cols, matrix=None, extents=None, fill=0,
         layout="packed"):
    """Draws one call through the stand-in host; returns its pixels."""
    r = Renderer.new(rows, cols, fill=fill, layout=layout)
    assert r.draw_quad_mesh(*mesh_args(r, np.asarray(coordinates, dtype=float),
                                       np.asarray(facecolors, dtype=float),
                                       matrix=matrix, extents=extents)) == "host drew"
    return r.pixels.copy()


def one_quad(p0, p1, p2, p3):
    """Mesh nodes of a single cell whose device vertices (identity) are P0..P3."""
    return [[p0, p3], [p1, p2]]


def painted(pixels, fill=0):
    """Device (x, y) of every pixel that changed from `fill`, sorted."""
    rows = pixels.shape[0]
    ys, xs = np.nonzero((pixels != fill).any(axis=-1))
    return sorted((int(x), rows - 1 - int(y)) for y, x in zip(ys, xs))


RED = [1.0, 0.0, 0.0, 1.0]
BLUE = [0.0, 0.0, 1.0, 1.0]


# --- the numpy version against the per-pixel one --------------------------------

@pytest.mark.parametrize("geometry", sorted(GEOMETRIES))
def test_numpy_drawing_equals_per_pixel_rule(geometry):
    for seed in range(40):
        case = mesh_case(1000 * seed + 7, geometry=geometry, max_image=14, max_mesh=5)
        r = case.renderer()
        r.draw_quad_mesh(*case.args(r))
        expected = case.prefill.copy()
        naive_draw(expected, case.mesh_width, case.mesh_height, case.coordinates,
                   case.facecolors, case.matrix, case.extents)
        assert np.array_equal(r.pixels, expected), case


def test_random_cases_draw_something():
    # Guards the generator: a differential test over blank results proves little.
    changed = 0
    for seed in range(200):
        case = mesh_case(seed)
        r = case.renderer()
        r.draw_quad_mesh(*case.args(r))
        changed += not np.array_equal(r.pixels, case.prefill)
    assert changed >= 100


# --- worked examples ---------------------------------------------------------------

def test_unit_square_fills_exactly_its_pixel():
    pixels = draw(one_quad((1, 1), (1, 2), (2, 2), (2, 1)), [[0.2, 0.4, 0.6, 1.0]], 3, 4)
    assert painted(pixels) == [(1, 1)]
    assert pixels[1, 1].tolist() == [51, 102, 153, 255]


def test_bow_tie_is_drawn_as_its_convex_hull():
    pixels = draw(one_quad((0, 0), (10, 10), (10, 0), (0, 10)), [RED], 12, 12)
    assert painted(pixels) == sorted((x, y) for x in range(10) for y in range(10))


def test_arrowhead_is_skipped():
    pixels = draw(one_quad((0, 0), (4, 1), (8, 0), (4, 8)), [RED], 10, 10)
    assert painted(pixels) == []


@pytest.mark.parametrize("xs, later_side", [([0.0, 2.5, 5.0], "right"),
                                             ([5.0, 2.5, 0.0], "left")])
def test_later_quad_wins_on_a_shared_edge(xs, later_side):
    # Column 2's centres lie on the shared edge x = 2.5: both quads cover them.
    nodes = [[[x, 0.0] for x in xs], [[x, 3.0] for x in xs]]
    pixels = draw(nodes, [RED, BLUE], 3, 5)
    first, later = [255, 0, 0, 255], [0, 0, 255, 255]
    left, right = (first, later) if later_side == "right" else (later, first)
    for row in range(3):
        assert [p.tolist() for p in pixels[row]] == [left, left, later, right, right]


@pytest.mark.parametrize("layout", ["packed", "flipped", "padded"])
def test_device_row_zero_is_the_last_buffer_row(layout):
    pixels = draw(one_quad((0, 0), (0, 1), (4, 1), (4, 0)), [RED], 3, 4, layout=layout)
    assert (pixels[2] == [255, 0, 0, 255]).all()
    assert (pixels[:2] == 0).all()


@pytest.mark.parametrize("nudge, covered", [(0.0, True), (1e-13, True), (5e-13, True),
                                            (2e-12, False), (1e-11, False)])
def test_pixel_centres_within_the_edge_tolerance_are_covered(nudge, covered):
    # The right edge at x = 2.5 - nudge: column 2's centres lie `nudge` outside it.
    right = 2.5 - nudge
    pixels = draw(one_quad((0, 0), (0, 1), (right, 1), (right, 0)), [RED], 1, 4)
    assert painted(pixels) == [(0, 0), (1, 0)] + ([(2, 0)] if covered else [])


def test_clockwise_and_counter_clockwise_quads_fill_alike():
    cw = draw(one_quad((0.2, 0.3), (1.1, 3.7), (3.9, 2.6), (3.1, 0.1)), [RED], 4, 4)
    ccw = draw(one_quad((0.2, 0.3), (3.1, 0.1), (3.9, 2.6), (1.1, 3.7)), [RED], 4, 4)
    assert np.array_equal(cw, ccw) and painted(cw)


def test_coincident_vertices_paint_their_one_pixel_off_the_grid_only():
    on_grid = draw(one_quad(*[(2, 1)] * 4), [RED], 4, 4)
    off_grid = draw(one_quad(*[(2.3, 1.6)] * 4), [RED], 4, 4)
    assert painted(on_grid) == []
    assert painted(off_grid) == [(2, 1)]


@pytest.mark.parametrize("x, columns", [(7.0, []), (7.5, [7])])
def test_vertical_sliver(x, columns):
    pixels = draw(one_quad((x, 0), (x, 2), (x, 2), (x, 0)), [RED], 2, 10)
    assert painted(pixels) == [(c, y) for c in columns for y in range(2)]


@pytest.mark.parametrize("component, byte", [(1.5, 255), (-0.2, 0), (0.5, 128), (0.2, 51),
                                             (1.0, 255), (0.0, 0), (-0.0, 0),
                                             (math.nan, 0), (math.inf, 255),
                                             (2.5 / 255, 3), (3.5 / 255, 4)])
def test_colour_bytes(component, byte):
    pixels = draw(one_quad((0, 0), (0, 1), (1, 1), (1, 0)), [[component, 0.0, 1.0, 1.0]], 1, 1)
    assert pixels[0, 0].tolist() == [byte, 0, 255, 255]


@pytest.mark.parametrize("alpha, drawn", [(1.0, True), (1 - 1e-13, True), (math.nan, True),
                                          (0.0, False), (-0.0, False), (1e-13, False),
                                          (1e-12, False), (-1e-12, False)])
def test_alpha_within_tolerance_of_zero_is_not_drawn(alpha, drawn):
    pixels = draw(one_quad((0, 0), (0, 1), (1, 1), (1, 0)), [[0.0, 1.0, 0.0, alpha]], 1, 1,
                  fill=9)
    assert pixels[0, 0].tolist() == ([0, 255, 0, 255] if drawn else [9, 9, 9, 9])


def test_partial_alpha_blends_between_old_and_new():
    pixels = draw(one_quad((0, 0), (0, 1), (1, 1), (1, 0)), [[1.0, 0.0, 0.0, 0.5]], 1, 1,
                  fill=100)
    red, green, _, _ = pixels[0, 0].tolist()
    assert 100 < red < 255 and 0 < green < 100


@pytest.mark.parametrize("extents, size, box", [
    ((0.5, 0.5, 10.5, 10.5), (100, 100), (0, 11, 0, 11)),
    ((-5, -5, 1000, 1000), (480, 640), (0, 640, 0, 480)),
    ((20.2, 30.7, 10.1, 40.0), (100, 100), (20, 11, 30, 40)),
    ((0, 0, 3e9, 2147483647.5), (7, 9), (0, 9, 0, 7)),
    ((-3e9, -math.inf, math.inf, 1e300), (7, 9), (0, 9, 0, 7)),
    ((math.nan,) * 4, (7, 9), (0, INT32_MIN, 0, INT32_MIN)),
])
def test_clip_box(extents, size, box):
    rows, cols = size
    assert reference_draw.clip_box(extents, cols, rows) == box


@pytest.mark.parametrize("v, bound", [(math.floor(3.7), 3), (math.ceil(3.2), 4),
                                      (math.floor(-0.5), -1), (2147483648.0, INT32_MAX),
                                      (2147483647.0, INT32_MAX), (-2147483648.0, INT32_MIN),
                                      (-2147483649.0, INT32_MIN), (math.nan, INT32_MIN),
                                      (math.inf, INT32_MAX), (-math.inf, INT32_MIN),
                                      (-0.0, 0)])
def test_pixel_bound(v, bound):
    assert int(reference_draw.pixel_bound(v)) == bound == _bound(v)


def test_clip_rectangle_bounds_every_write():
    full = [[-1, -1], [9, -1]], [[-1, 9], [9, 9]]
    pixels = draw(full, [RED], 8, 8, extents=(2.5, 1.0, 5.0, 3.2))
    assert painted(pixels) == sorted((x, y) for x in range(2, 5) for y in range(1, 4))


def test_cell_beyond_two_to_the_31_covering_the_image_is_drawn():
    far = 3e9
    pixels = draw(one_quad((-far, -far), (-far, far), (far, far), (far, -far)), [RED], 5, 6)
    assert (pixels == [255, 0, 0, 255]).all()


def test_quad_with_a_non_finite_vertex_is_skipped_and_the_rest_drawn():
    nodes = np.array([[[0, 0], [1, 0], [2, 0]], [[0, 1], [1, 1], [2, 1]]], dtype=float)
    nodes[0, 0, 0] = math.nan
    pixels = draw(nodes, [RED, BLUE], 1, 2)
    assert pixels[0].tolist() == [[0, 0, 0, 0], [0, 0, 255, 255]]


def test_colour_rows_repeat_with_period_n():
    xs = np.arange(6.0)
    nodes = np.stack([np.stack([xs, np.zeros(6)], -1), np.stack([xs, np.ones(6)], -1)])
    colours = [[0.0, 0.0, k / 255.0 * 10, 1.0] for k in range(3)]
    pixels = draw(nodes, colours, 1, 5)
    assert pixels[0, :, 2].tolist() == [0, 10, 20, 0, 10]


@pytest.mark.parametrize("layout", ["padded", "flipped", "columns", "reversed-channels"])
def test_any_buffer_layout_gives_the_same_image(layout):
    case = mesh_case(4242, geometry="jittered")
    packed = Renderer.new(case.rows, case.cols, fill=case.prefill)
    packed.draw_quad_mesh(*case.args(packed))
    other = Renderer.new(case.rows, case.cols, fill=case.prefill, layout=layout)
    other.draw_quad_mesh(*case.args(other))
    assert np.array_equal(other.pixels, packed.pixels)
    # The memory around the view is left alone.
    view_bytes = np.zeros(other.base.size, dtype=bool)
    start = other.__array_interface__["data"][0] - other.base.__array_interface__["data"][0]
    idx = np.indices(other.shape).reshape(3, -1)
    view_bytes[start + (idx * np.array(other.strides)[:, None]).sum(axis=0)] = True
    assert (other.base.reshape(-1)[~view_bytes] == 0).all()
