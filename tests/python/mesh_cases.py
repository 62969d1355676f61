"""Seeded random quad-mesh drawing calls that the fast path is meant to draw.

Every case is eligible: no antialiasing, no hatch, no clip path, no edges, a
zero offset, face alphas within 1e-12 of 0 or 1 (or NaN, which is drawn), an
affine matrix and a rectangular clip, and every quad that is drawn has finite
device vertices.
`mesh_case(seed)` picks a geometry, a transform, a clip, colours and a target
layout from the seed alone, so a failing seed can be replayed on its own.
"""
import dataclasses
import math

import numpy as np

import reference_draw
from standin_host import Renderer, mesh_args

LAYOUTS = ("packed", "padded", "flipped")

# Alphas the fast path accepts: within 1e-12 of 0 (not drawn) or of 1 (opaque).
TRANSPARENT_ALPHAS = (0.0, -0.0, 1e-13, -1e-13, 1e-12)
OPAQUE_ALPHAS = (1.0, 1.0 - 1e-13, 1.0 + 1e-13, 1.0 - 1e-12)

# Nudges around exact pixel-centre positions: inside and outside the 1e-12
# edge tolerance.
NUDGES = (0.0, 1e-13, -1e-13, 5e-13, -5e-13, 2e-12, -2e-12, 1e-11, -1e-11)


@dataclasses.dataclass
class MeshCase:
    seed: int
    geometry: str
    rows: int                 # image height in pixels
    cols: int                 # image width in pixels
    layout: str               # Renderer.new layout of the target
    prefill: np.ndarray       # (rows, cols, 4) uint8 start image
    coordinates: np.ndarray   # (H + 1, W + 1, 2) float64 nodes
    facecolors: np.ndarray    # (N, 4) float64
    matrix: np.ndarray        # (3, 3) float64
    extents: tuple            # clip rectangle x0, y0, x1, y1

    @property
    def mesh_width(self):
        return self.coordinates.shape[1] - 1

    @property
    def mesh_height(self):
        return self.coordinates.shape[0] - 1

    def renderer(self):
        """A fresh target holding the pre-fill."""
        return Renderer.new(self.rows, self.cols, fill=self.prefill, layout=self.layout)

    def args(self, renderer):
        """The ten drawing-call arguments, with private copies of the arrays."""
        return mesh_args(renderer, self.coordinates.copy(), self.facecolors.copy(),
                         matrix=self.matrix.copy(), extents=self.extents)

    def __repr__(self):
        return (f"MeshCase(seed={self.seed}, {self.geometry}, image {self.rows}x{self.cols} "
                f"{self.layout}, mesh {self.mesh_width}x{self.mesh_height}, "
                f"N={len(self.facecolors)}, extents={self.extents})")


# Work, in quads plus clip pixels / 16, from which a call hands its passes to
# the pool (kPoolWorthwhile in the render job); smaller calls run on the
# calling thread, however many workers the pool has.
POOL_WORK = 16384


def pool_work(case):
    x0, x1, y0, y1 = reference_draw.clip_box(case.extents, case.cols, case.rows)
    return case.mesh_width * case.mesh_height + max(0, x1 - x0) * max(0, y1 - y0) // 16


def reaches_pool(case):
    return pool_work(case) >= POOL_WORK


def pool_sized_case(seed, rows=520, cols=520, W=16, H=12):
    """A curvilinear mesh over an image large enough that the call reaches the
    pool, with few enough cells that the host's own drawing stays quick."""
    case = large_mesh_case(seed, rows=rows, cols=cols, W=W, H=H)
    assert reaches_pool(case), case
    return case


# --- geometry: nodes in mesh space and the matrix that maps them to pixels ---

def _grid(W, H, rows, cols, margin=0.3):
    """Regular node grid spanning the image and a bit beyond."""
    xs = np.linspace(-margin * cols, (1 + margin) * cols, W + 1)
    ys = np.linspace(-margin * rows, (1 + margin) * rows, H + 1)
    gx, gy = np.meshgrid(xs, ys)
    return np.stack([gx, gy], axis=-1)


def _rectilinear(rng, W, H, rows, cols):
    xs = np.sort(rng.uniform(-0.2 * cols, 1.2 * cols, W + 1))
    ys = np.sort(rng.uniform(-0.2 * rows, 1.2 * rows, H + 1))
    if rng.random() < 0.5:  # monotone the other way: clockwise cells
        xs = xs[::-1]
    gx, gy = np.meshgrid(xs, ys)
    matrix = np.eye(3)
    if rng.random() < 0.5:  # scale and translate in mesh units
        s = rng.choice([0.5, 2.0, 1.0])
        matrix = np.array([[s, 0, rng.choice([0.0, 0.5, 3.25])],
                           [0, s, rng.choice([0.0, -0.5, 1.75])], [0, 0, 1]])
        gx, gy = gx / s, gy / s
    return np.stack([gx, gy], axis=-1), matrix


def _rotation_about_centre(angle, rows, cols, scale=1.0):
    c, s = math.cos(angle) * scale, math.sin(angle) * scale
    cx, cy = cols / 2, rows / 2
    return np.array([[c, -s, cx - (c * cx - s * cy)],
                     [s, c, cy - (s * cx + c * cy)], [0, 0, 1]])


def _rotated(rng, W, H, rows, cols):
    angle = rng.choice([rng.uniform(-math.pi, math.pi), math.pi / 2, math.pi / 4, math.pi])
    return _grid(W, H, rows, cols), _rotation_about_centre(angle, rows, cols)


def _sheared(rng, W, H, rows, cols):
    shx, shy = rng.uniform(-1.5, 1.5), rng.uniform(-0.7, 0.7)
    matrix = np.array([[1.0, shx, -shx * rows / 2], [shy, 1.0, -shy * cols / 2], [0, 0, 1]])
    if rng.random() < 0.3:  # a mirror as well
        matrix[0] *= -1
        matrix[0, 2] += cols
    return _grid(W, H, rows, cols), matrix


def _curvilinear(rng, W, H, rows, cols):
    """A polar warp: rings and spokes around a point near the image."""
    r = np.linspace(rng.uniform(0, 3), rng.uniform(0.5, 1.2) * max(rows, cols), H + 1)
    theta = np.linspace(rng.uniform(-math.pi, 0), rng.uniform(0.5, 2 * math.pi), W + 1)
    rr, tt = np.meshgrid(r, theta, indexing="ij")
    centre = rng.uniform(-0.2, 1.2, 2) * (cols, rows)
    nodes = np.stack([centre[0] + rr * np.cos(tt), centre[1] + rr * np.sin(tt)], axis=-1)
    return nodes, np.eye(3)


def _jittered(rng, W, H, rows, cols):
    """Nodes pushed about by up to a cell or more: bow-ties and concave cells."""
    nodes = _grid(W, H, rows, cols, margin=0.1)
    cell = max(cols / W, rows / H)
    nodes = nodes + rng.normal(0, rng.uniform(0.3, 1.2) * cell, nodes.shape)
    return nodes, np.eye(3)


def _degenerate(rng, W, H, rows, cols):
    """Coincident nodes, collinear nodes, sub-pixel and zero-size cells."""
    nodes = _grid(W, H, rows, cols, margin=0.0)
    nodes = np.round(nodes * 2) / 2
    flat = nodes.reshape(-1, 2)
    for _ in range(rng.integers(1, 1 + flat.shape[0] // 2)):
        i, j = rng.integers(0, flat.shape[0], 2)
        choice = rng.integers(0, 4)
        if choice == 0:
            flat[i] = flat[j]                      # coincident nodes
        elif choice == 1:
            flat[i, 0] = flat[j, 0]                # same column line
        elif choice == 2:
            flat[i] = flat[j] + rng.uniform(-0.4, 0.4, 2)   # sub-pixel
        else:
            flat[i, 1] = flat[j, 1]                # same row line
    if rng.random() < 0.3:  # one whole row of nodes on a single point
        r = rng.integers(0, H + 1)
        nodes[r] = nodes[r, 0]
    return nodes, np.eye(3)


def _sub_pixel(rng, W, H, rows, cols):
    """Many cells per pixel, placed somewhere in the image."""
    origin = rng.uniform(-1, 1, 2) * (cols, rows) * 0.5 + (cols / 2, rows / 2)
    size = rng.uniform(0.1, 0.9)
    nodes = np.stack(np.meshgrid(np.arange(W + 1) * size, np.arange(H + 1) * size), axis=-1)
    nodes = nodes + origin + rng.normal(0, size / 4, nodes.shape)
    return nodes, np.eye(3)


def _snapped(rng, W, H, rows, cols):
    """Nodes on half and quarter pixels, nudged by tiny amounts: edges through
    pixel centres, within and just beyond the coverage tolerance."""
    nodes = _grid(W, H, rows, cols, margin=0.1)
    nodes = nodes + rng.normal(0, 0.4 * max(cols / W, rows / H), nodes.shape)
    nodes = np.round(nodes * 4) / 4
    nodes = nodes + rng.choice(NUDGES, nodes.shape) * (rng.random(nodes.shape) < 0.5)
    matrix = np.eye(3)
    if rng.random() < 0.4:
        matrix = np.array([[0.0, 1.0, 0.0], [1.0, 0.0, 0.0], [0, 0, 1]])  # swap axes
    return nodes, matrix


def _far_origin(rng, W, H, rows, cols):
    """Nodes far from the mesh origin, brought back to the image by the matrix.

    In exact arithmetic the device vertices lie on a grid of half pixels, so
    many edges run through pixel centres; the rounding of the map's products
    and sums decides on which side they fall, and so the operation order of
    the map shows in the image.
    """
    step = rng.choice([0.5, 1.0, 1.5, 2.0])
    xs = rng.integers(-2, max(3, cols // 2)) + 0.5 + step * np.arange(W + 1)
    ys = rng.integers(-2, max(3, rows // 2)) + 0.5 + step * np.arange(H + 1)
    nodes = np.stack(np.meshgrid(xs, ys), axis=-1)
    moved = rng.random(nodes.shape) < 0.2
    nodes[moved] += rng.choice([-0.5, 0.5, 1.0], moved.sum())
    ox, oy = rng.choice([3e6, 1e7 + 0.25, 123456.75]), rng.choice([-5e6, 2e5])
    a, b, c, d = 1.0, 1.0, 1.0, 1.0
    while a * d == b * c:
        a, b = rng.choice([1.0, -1.0, 0.5, 2.0]), rng.choice([1.0, 0.5, -1.0, 0.0])
        c, d = rng.choice([0.0, 1.0, -0.5]), rng.choice([1.0, -2.0])
    # device = M @ local + t with local = M^-1 @ nodes + origin and t = -M @ origin
    local = nodes @ np.linalg.inv([[a, b], [c, d]]).T + (ox, oy)
    matrix = np.array([[a, b, -(a * ox + b * oy)], [c, d, -(c * ox + d * oy)], [0, 0, 1]])
    return local, matrix


def _long_edges(rng, W, H, rows, cols):
    """Cells reaching far beyond the image whose edges run through pixel
    centres: the edge values there are rounding noise of large products, so
    the exact operation order of the coverage test shows."""
    centre = rng.integers(0, max(cols, rows), 2) + 0.5
    u = rng.choice([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0], [2.0, -1.0], [3.0, 1.0]])
    v = np.array([-u[1], u[0]]) * rng.choice([1.0, 0.5, -1.0])
    reach = 10.0 ** rng.uniform(2, 11) / 3.0
    steps_u = (np.arange(W + 1) - W // 2) * reach * rng.uniform(0.5, 1.5)
    steps_v = (np.arange(H + 1) - H // 2) * reach * rng.uniform(0.5, 1.5)
    nodes = centre + steps_u[None, :, None] * u + steps_v[:, None, None] * v
    return nodes, np.eye(3)


def _far_outside(rng, W, H, rows, cols):
    """A grid whose cells mostly lie far away from the image, some cover it."""
    nodes = _grid(W, H, rows, cols, margin=0.0)
    spread = 10.0 ** rng.uniform(3, 9)
    nodes = nodes + rng.choice([-1, 0, 1], nodes.shape) * spread
    return nodes, np.eye(3)


def _huge(rng, W, H, rows, cols):
    """Corners beyond 2**31 device pixels on cells that cover the image."""
    reach = 10.0 ** rng.uniform(9.4, 15)  # 2**31 is about 2.1e9
    xs = np.linspace(-reach, reach + cols, W + 1)
    ys = np.linspace(-reach, reach + rows, H + 1)
    nodes = np.stack(np.meshgrid(xs, ys), axis=-1)
    if rng.random() < 0.5:
        matrix = _rotation_about_centre(rng.uniform(-0.3, 0.3), rows, cols)
    else:
        matrix = np.eye(3)
    return nodes, matrix


def _tensor_grid(rng, W, H, rows, cols):
    """Nodes from one x per mesh column and one y per mesh row, as a host
    builds a heat map: an exact grid in device pixels, with its traps. Edges
    on pixel centres nudged within and beyond the tolerance, zero-width,
    tiny (the other side's tolerance spans pixels), sub-pixel, reversed and
    folded axes; a matrix that scales, mirrors or swaps the axes."""
    def axis(n, size):
        kind = rng.integers(0, 6)
        start = rng.uniform(-0.3, 0.5) * size
        k = np.arange(n + 1)
        if kind == 0:    # pixel edges and centres, nudged
            e = np.round(start * 2) / 2 + 0.5 * rng.integers(0, 9) * k
            e = e + rng.choice(NUDGES, n + 1) * (rng.random(n + 1) < 0.5)
        elif kind == 1:  # zero-width cells among others
            steps = np.where(rng.random(n + 1) < 0.4, 0.0, 0.5 * rng.integers(1, 9, n + 1))
            e = np.round(start * 2) / 2 + np.cumsum(steps)
        elif kind == 2:  # folded
            e = rng.uniform(-0.2, 1.2, n + 1) * size
        elif kind == 3:  # tiny cells around a centre or an edge
            e = np.round(start) + 0.5 * rng.integers(0, 2) + 2.0 ** -rng.integers(38, 46) * (k - n // 2)
        elif kind == 4:  # sub-pixel
            e = start + np.cumsum(rng.uniform(0.1, 0.7, n + 1))
        else:
            e = np.sort(rng.uniform(-0.2, 1.2, n + 1)) * size
        return e[::-1] if rng.random() < 0.3 else e

    xs, ys = axis(W, cols), axis(H, rows)
    gx, gy = np.meshgrid(xs, ys)
    kind = rng.integers(0, 4)
    if kind == 0:    # axes swapped by the matrix: a transposed grid
        return np.stack([gy, gx], axis=-1), np.array([[0.0, 1, 0], [1, 0, 0], [0, 0, 1]])
    if kind == 1:    # scaled (by powers of two, so the nodes map back exactly) and mirrored
        sx, sy = rng.choice([0.5, 2.0, -1.0, -4.0], 2)
        tx, ty = rng.choice([0.0, 0.25, -0.5], 2)
        matrix = np.array([[sx, 0, tx], [0, sy, ty], [0, 0, 1]])
        return np.stack([(gx - tx) / sx, (gy - ty) / sy], axis=-1), matrix
    return np.stack([gx, gy], axis=-1), np.eye(3)


GEOMETRIES = {
    "rectilinear": _rectilinear,
    "rotated": _rotated,
    "sheared": _sheared,
    "curvilinear": _curvilinear,
    "jittered": _jittered,
    "degenerate": _degenerate,
    "sub-pixel": _sub_pixel,
    "snapped": _snapped,
    "far-origin": _far_origin,
    "long-edges": _long_edges,
    "far-outside": _far_outside,
    "huge": _huge,
    "tensor-grid": _tensor_grid,
}


# --- clip, colours, target ---

def _extents(rng, rows, cols):
    kinds = {"image": 6, "inside": 3, "overhang": 3, "integral": 3, "huge": 2, "empty": 1,
             "nan": 1}
    weights = np.array(list(kinds.values()), dtype=float)
    kind = rng.choice(list(kinds), p=weights / weights.sum())
    if kind == "image":
        return (0.0, 0.0, float(cols), float(rows))
    if kind == "inside":
        x = np.sort(rng.uniform(0, cols, 2))
        y = np.sort(rng.uniform(0, rows, 2))
        return (x[0], y[0], x[1], y[1])
    if kind == "overhang":
        x = np.sort(rng.uniform(-0.5, 1.5, 2)) * cols
        y = np.sort(rng.uniform(-0.5, 1.5, 2)) * rows
        return (x[0], y[0], x[1], y[1])
    if kind == "empty":
        x0, y0 = rng.uniform(0, cols), rng.uniform(0, rows)
        return (x0, y0, x0 - rng.uniform(0, 5), y0 + rng.uniform(-5, 5))
    if kind == "nan":
        e = np.array([0.0, 0.0, cols, rows])
        e[rng.random(4) < 0.5] = np.nan
        return tuple(e)
    if kind == "huge":
        big = [3e9, 2147483647.5, 2.0 ** 31, 1e300, math.inf]
        e = [-rng.choice(big), rng.choice([-3e9, -1e300, 2.0, -math.inf]),
             rng.choice(big), rng.choice(big + [rows - 1.5])]
        return tuple(float(v) for v in e)
    x = np.sort(rng.integers(-2, cols + 3, 2))
    y = np.sort(rng.integers(-2, rows + 3, 2))
    return (float(x[0]), float(y[0]), float(x[1]), float(y[1]))


def _facecolors(rng, n_quads):
    kind = rng.choice(["equal", "fewer", "more", "single"])
    if kind == "equal":
        N = n_quads
    elif kind == "fewer":
        N = int(rng.integers(1, max(2, n_quads)))
    elif kind == "more":
        N = n_quads + int(rng.integers(1, 20))
    else:
        N = 1
    rgb = rng.uniform(-0.2, 1.2, (N, 3))
    exact = rng.random((N, 3)) < 0.2   # exact byte levels and exact halves
    rgb[exact] = (rng.integers(0, 256, exact.sum()) + rng.choice([0.0, 0.5], exact.sum())) / 255
    rgb[rng.random((N, 3)) < 0.01] = np.nan
    p_opaque = rng.choice([0.0, 0.3, 0.7, 0.9, 1.0], p=[0.03, 0.12, 0.25, 0.3, 0.3])
    opaque = rng.random(N) < p_opaque
    alpha = np.where(opaque, rng.choice(OPAQUE_ALPHAS, N), rng.choice(TRANSPARENT_ALPHAS, N))
    alpha[rng.random(N) < 0.02] = np.nan   # passes the alpha test, drawn opaque
    return np.column_stack([rgb, alpha])


def _hide_nans(rng, coordinates, facecolors):
    """NaN nodes that only quads left undrawn (alpha within 1e-12 of 0) use."""
    H, W = coordinates.shape[0] - 1, coordinates.shape[1] - 1
    alpha = facecolors[np.arange(W * H) % len(facecolors), 3].reshape(H, W)
    undrawn = np.pad(np.abs(alpha) <= 1e-12, 1, constant_values=True)
    # node (r, c) touches quads (r-1..r, c-1..c)
    free = undrawn[:-1, :-1] & undrawn[:-1, 1:] & undrawn[1:, :-1] & undrawn[1:, 1:]
    rows, cols = np.nonzero(free)
    for k in rng.permutation(len(rows))[:3]:
        coordinates[rows[k], cols[k], rng.integers(0, 2)] = rng.choice([np.nan, np.inf, -np.inf])


def mesh_case(seed, geometry=None, max_image=48, max_mesh=12, hidden_nans=True, image=None):
    """The drawing call of one seed; `geometry` picks a kind, else the seed does.

    hidden_nans=False keeps every node finite (for tests that change alphas).
    image=(rows, cols) sets the image size; the rest of the case is drawn as
    for any other size.
    """
    rng = np.random.default_rng(seed)
    if geometry is None:
        geometry = rng.choice(sorted(GEOMETRIES))
    rows = int(rng.choice([1, 2, rng.integers(3, max_image + 1)], p=[0.1, 0.1, 0.8]))
    cols = int(rng.choice([1, 3, rng.integers(3, max_image + 1)], p=[0.1, 0.1, 0.8]))
    if image is not None:
        rows, cols = image
    W = int(rng.integers(1, max_mesh + 1))
    H = int(rng.integers(1, max_mesh + 1))
    nodes, matrix = GEOMETRIES[geometry](rng, W, H, rows, cols)
    matrix = np.array(matrix, dtype=np.float64)
    if rng.random() < 0.2:  # the third row is never read
        matrix[2] = rng.choice([np.nan, np.inf, 7.0], 3)
    facecolors = _facecolors(rng, W * H)
    coordinates = np.ascontiguousarray(nodes, dtype=np.float64)
    if rng.random() < 0.25 and hidden_nans:
        _hide_nans(rng, coordinates, facecolors)
    prefill = rng.integers(0, 256, (rows, cols, 4), dtype=np.uint8)
    return MeshCase(seed=seed, geometry=str(geometry), rows=rows, cols=cols,
                    layout=str(rng.choice(LAYOUTS)), prefill=prefill,
                    coordinates=coordinates, facecolors=facecolors, matrix=matrix,
                    extents=tuple(float(e) for e in _extents(rng, rows, cols)))


def large_mesh_case(seed, rows=300, cols=400, W=300, H=200):
    """A curvilinear mesh of many cells, for the threading tests."""
    rng = np.random.default_rng(seed)
    xs = np.linspace(-10, cols + 10, W + 1)
    ys = np.linspace(-10, rows + 10, H + 1)
    gx, gy = np.meshgrid(xs, ys)
    warp = np.stack([gx + 6 * np.sin(gy / 23.0) + rng.normal(0, 0.2, gx.shape),
                     gy + 5 * np.cos(gx / 31.0) + rng.normal(0, 0.2, gy.shape)], axis=-1)
    facecolors = np.column_stack([rng.random((W * H, 3)), rng.random(W * H) < 0.9])
    return MeshCase(seed=seed, geometry="warp", rows=rows, cols=cols,
                    layout=str(rng.choice(LAYOUTS)),
                    prefill=rng.integers(0, 256, (rows, cols, 4), dtype=np.uint8),
                    coordinates=np.ascontiguousarray(warp), facecolors=facecolors.astype(float),
                    matrix=np.eye(3), extents=(0.0, 0.0, float(cols), float(rows)))


def stacked_mesh_case(seed, quads, rows=400, cols=400):
    """A one-column mesh whose every cell covers the whole image: the work
    grows with `quads` while the mesh stays small."""
    rng = np.random.default_rng(seed)
    ys = np.where(np.arange(quads + 1) % 2 == 0, -1.0, rows + 1.0)
    ys = ys + rng.uniform(-0.5, 0.0, quads + 1) * np.sign(ys)
    nodes = np.stack([np.column_stack([np.full(quads + 1, -1.0), ys]),
                      np.column_stack([np.full(quads + 1, cols + 1.0), ys])], axis=1)
    facecolors = np.column_stack([rng.random((quads, 3)), np.ones(quads)])
    return MeshCase(seed=seed, geometry="stacked", rows=rows, cols=cols, layout="packed",
                    prefill=np.zeros((rows, cols, 4), np.uint8),
                    coordinates=np.ascontiguousarray(nodes), facecolors=facecolors,
                    matrix=np.eye(3), extents=(0.0, 0.0, float(cols), float(rows)))
