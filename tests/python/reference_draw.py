"""Reference drawing of a quad mesh in numpy.

This is the drawing rule of the fast path written out for people who read
Python, and the oracle the tests hold quadlite to: for every call that
quadlite draws itself, this module must produce the same bytes.

The rule, in the order it is applied:

* The clip box is the half-open pixel rectangle x0 <= x < x1, y0 <= y < y1
  with x0 = max(0, I(floor(e0))), y0 = max(0, I(floor(e1))),
  x1 = min(I(ceil(e2)), width), y1 = min(I(ceil(e3)), height), where I()
  turns an integral double into a saturated 32-bit bound (NaN and values
  below -2**31 give -2**31, values at or above 2**31 give 2**31 - 1).
* Quad i is the cell in mesh row i // W, column i % W; its colour is face
  colour row i % N. A quad whose alpha is within 1e-12 of zero is skipped.
* Its nodes (r, c), (r+1, c), (r+1, c+1), (r, c+1) are mapped to device
  pixels by X = (m00*x + m01*y) + m02, Y = (m10*x + m11*y) + m12. A quad
  with a non-finite device vertex is skipped (the fast path declines the
  whole call in that case, and this drawing is what the caller then sees).
* A quad whose outline is not convex is reordered by angle around its
  centroid; if it is still not convex it is skipped.
* Its pixel box (floor of the least, ceil of the greatest coordinate) is
  clipped to the clip box; an empty box is skipped.
* Every pixel of the box whose centre the quad covers gets the quad's
  colour: R, G, B clamped to [0, 1], times 255, rounded half away from zero
  (NaN gives 0), and alpha 255. Coverage: the four edge values
  E_k = (x_{k+1}-x_k)*(Y-y_k) - (y_{k+1}-y_k)*(X-x_k) do not include both a
  value above 1e-12 and one below -1e-12.
* Device row y is buffer row height-1-y. Quads are drawn in mesh order, so
  the later quad wins where two overlap.

All arithmetic is float64 with each operation rounded on its own; numpy
never fuses a multiply and an add, so these are the same doubles the C++
code computes.

Face alphas strictly between 0 and 1 are never drawn by the fast path (it
hands such calls back to the host); they are blended source-over here so
that the host still draws something sensible.
"""
import math

import numpy as np

TOLERANCE = 1e-12
CONVEXITY_TOLERANCE = 2.0 ** -20
INT32_MIN = -2 ** 31
INT32_MAX = 2 ** 31 - 1


def pixel_bound(v):
    """I(v) of an integral double (or an array of them) as int64 values."""
    v = np.asarray(v, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        in_range = (v >= -2.0 ** 31) & (v < 2.0 ** 31)
        saturated = np.where(v >= 2.0 ** 31, INT32_MAX, INT32_MIN)
        return np.where(in_range, np.where(in_range, v, 0.0).astype(np.int64), saturated)


def clip_box(extents, width, height):
    """(x0, x1, y0, y1) of the pixels that may be written; maybe empty."""
    e0, e1, e2, e3 = np.asarray(extents, dtype=np.float64).ravel()[:4]
    x0 = max(0, int(pixel_bound(np.floor(e0))))
    y0 = max(0, int(pixel_bound(np.floor(e1))))
    x1 = min(int(pixel_bound(np.ceil(e2))), width)
    y1 = min(int(pixel_bound(np.ceil(e3))), height)
    return x0, x1, y0, y1


def colour_bytes(rgb):
    """Clamp to [0, 1], scale by 255, round half away from zero; NaN -> 0."""
    rgb = np.asarray(rgb, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        v = np.where(rgb > 1.0, 1.0, np.where(rgb < 0.0, 0.0, rgb))
        t = v * 255.0
        r = np.floor(t)
        r = r + (t - r >= 0.5)
        return np.where(np.isnan(r), 0.0, r).astype(np.uint8)


def device_vertices(coordinates, mesh_width, mesh_height, matrix):
    """Device x and y of P0..P3 of every quad: two (W*H, 4) arrays."""
    nodes = np.asarray(coordinates, dtype=np.float64)[:mesh_height + 1, :mesh_width + 1]
    m = np.asarray(matrix, dtype=np.float64)
    x, y = nodes[..., 0], nodes[..., 1]
    X = (m[0, 0] * x + m[0, 1] * y) + m[0, 2]
    Y = (m[1, 0] * x + m[1, 1] * y) + m[1, 2]

    def corners(a):
        # P0 = (r, c), P1 = (r+1, c), P2 = (r+1, c+1), P3 = (r, c+1)
        return np.stack([a[:-1, :-1], a[1:, :-1], a[1:, 1:], a[:-1, 1:]], axis=-1).reshape(-1, 4)

    return corners(X), corners(Y)


def is_convex(x, y):
    """Convexity test of quads given as (m, 4) vertex arrays, row by row.

    Not convex when one turn exceeds tau and another is below -tau, with tau
    2**-20 times the longest squared edge.
    """
    x_prev, y_prev = np.roll(x, 1, axis=1), np.roll(y, 1, axis=1)
    x_next, y_next = np.roll(x, -1, axis=1), np.roll(y, -1, axis=1)
    dx, dy = x_next - x, y_next - y
    squared_edges = dx * dx + dy * dy
    tau = CONVEXITY_TOLERANCE * np.maximum(squared_edges.max(axis=1), 0.0)
    turns = (x - x_prev) * (y_next - y_prev) - (y - y_prev) * (x_next - x_prev)
    left = (turns > tau[:, None]).any(axis=1)
    right = (turns < -tau[:, None]).any(axis=1)
    return ~(left & right)


def angular_order(points):
    """The four (x, y) points sorted counter-clockwise around their centroid.

    A stable insertion sort by atan2 angle; equal angles put the nearer point
    first; a NaN angle never sorts before anything.
    """
    cx = (((points[0][0] + points[1][0]) + points[2][0]) + points[3][0]) * 0.25
    cy = (((points[0][1] + points[1][1]) + points[2][1]) + points[3][1]) * 0.25

    def before(a, b):
        alpha = math.atan2(a[1] - cy, a[0] - cx)
        beta = math.atan2(b[1] - cy, b[0] - cx)
        if alpha != beta:
            return alpha < beta
        ady, adx, bdy, bdx = a[1] - cy, a[0] - cx, b[1] - cy, b[0] - cx
        return ady * ady + adx * adx < bdy * bdy + bdx * bdx

    order = list(points)
    for i in range(1, 4):
        j = i
        while j > 0 and before(order[j], order[j - 1]):
            order[j - 1], order[j] = order[j], order[j - 1]
            j -= 1
    return order


def coverage(points, x0, x1, y0, y1):
    """Boolean (rows, cols) mask over the box, device row y0 first."""
    X = np.arange(x0, x1, dtype=np.float64)[None, :] + 0.5
    Y = np.arange(y0, y1, dtype=np.float64)[:, None] + 0.5
    positive = np.zeros((y1 - y0, x1 - x0), dtype=bool)
    negative = np.zeros_like(positive)
    with np.errstate(invalid="ignore", over="ignore"):
        for k in range(4):
            xk, yk = points[k]
            xn, yn = points[(k + 1) % 4]
            edge = (xn - xk) * (Y - yk) - (yn - yk) * (X - xk)
            positive |= edge > TOLERANCE
            negative |= edge < -TOLERANCE
    return ~(positive & negative)


def draw_mesh(image, mesh_width, mesh_height, coordinates, facecolors, matrix, extents):
    """Draws the mesh into `image`, a (rows, cols, 4) uint8 array (any strides)."""
    height, width = image.shape[0], image.shape[1]
    W, H = int(mesh_width), int(mesh_height)
    facecolors = np.asarray(facecolors, dtype=np.float64).reshape(-1, 4)
    if W == 0 or H == 0 or len(facecolors) == 0:
        return
    cx0, cx1, cy0, cy1 = clip_box(extents, width, height)

    n = W * H
    colour_rows = facecolors[np.arange(n) % len(facecolors)]
    alpha = colour_rows[:, 3]
    with np.errstate(all="ignore"):
        x, y = device_vertices(coordinates, W, H, matrix)
        drawn = ~(np.abs(alpha) <= TOLERANCE)
        drawn &= np.isfinite(x).all(axis=1) & np.isfinite(y).all(axis=1)
        # The box depends only on the set of vertices, not on their order.
        bx0 = np.maximum(cx0, pixel_bound(np.floor(x.min(axis=1))))
        bx1 = np.minimum(pixel_bound(np.ceil(x.max(axis=1))), cx1)
        by0 = np.maximum(cy0, pixel_bound(np.floor(y.min(axis=1))))
        by1 = np.minimum(pixel_bound(np.ceil(y.max(axis=1))), cy1)
        drawn &= (bx0 < bx1) & (by0 < by1)
        convex = is_convex(x, y)
    colours = np.zeros((n, 4), dtype=np.uint8)
    colours[:, :3] = colour_bytes(colour_rows[:, :3])
    colours[:, 3] = 255

    for i in np.flatnonzero(drawn).tolist():
        points = list(zip(x[i].tolist(), y[i].tolist()))
        if not convex[i]:
            points = angular_order(points)
            if not _outline_is_convex(points):
                continue
        qx0, qx1, qy0, qy1 = int(bx0[i]), int(bx1[i]), int(by0[i]), int(by1[i])
        covered = coverage(points, qx0, qx1, qy0, qy1)
        # Device rows qy0..qy1-1 are buffer rows height-1-qy0 down to height-qy1.
        target = image[height - qy1:height - qy0, qx0:qx1]
        _paint(target, covered[::-1], colours[i], float(alpha[i]))


def _outline_is_convex(points):
    with np.errstate(all="ignore"):
        return bool(is_convex(np.array([[p[0] for p in points]]),
                              np.array([[p[1] for p in points]]))[0])


def _paint(target, mask, rgba, alpha):
    """Opaque store; source-over blend for the alphas the fast path declines."""
    # Buffers of other channel counts (which the fast path declines) get the
    # channels they have.
    target = target[..., :len(rgba)]
    rgba = rgba[:target.shape[-1]]
    if math.isnan(alpha) or abs(alpha - 1.0) <= TOLERANCE or alpha >= 1.0:
        target[mask] = rgba
    elif alpha > 0.0:
        old = target[mask].astype(np.float64)
        target[mask] = np.rint(rgba * alpha + old * (1.0 - alpha)).astype(np.uint8)
