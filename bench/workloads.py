"""The benchmark's workloads: meshes, colours and the affine map onto the image.

Each has a name (bench_mesh.py's --only, ab.py's workload list); where the C++
benchmarks (bench_scenes.hpp) draw a mesh too, they build it by the same
formula on the same image, with colours from another generator.
"""
import numpy as np


class Workload:
    def __init__(self, name, title, coords, colours, matrix, size, calls=1):
        self.name = name
        self.title = title
        self.coords = coords          # (H+1, W+1, 2) data coordinates
        self.colours = colours        # (H*W, 4)
        self.matrix = matrix          # 3x3 affine, data -> device pixels
        # Target image: size x size, or (rows, cols).
        self.rows, self.cols = (size, size) if np.isscalar(size) else size
        self.calls = calls            # draws per timed run (tiny workloads)

    @property
    def mesh_height(self):
        return self.coords.shape[0] - 1

    @property
    def mesh_width(self):
        return self.coords.shape[1] - 1

    @property
    def quads(self):
        return self.mesh_width * self.mesh_height

    def row_block(self, first, count):
        """The mesh rows [first, first + count) as a workload of their own."""
        w = self.mesh_width
        return Workload(self.name, self.title,
                        np.ascontiguousarray(self.coords[first:first + count + 1]),
                        np.ascontiguousarray(self.colours[first * w:(first + count) * w]),
                        self.matrix, (self.rows, self.cols))


def random_colours(rng, count, transparent_share=0.0):
    colours = rng.uniform(0.0, 1.0, (count, 4))
    colours[:, 3] = np.where(rng.uniform(0.0, 1.0, count) < transparent_share, 0.0, 1.0)
    return colours


def grid(width, height):
    ys, xs = np.mgrid[0:height + 1, 0:width + 1].astype(float)
    return np.ascontiguousarray(np.stack([xs, ys], axis=-1))


def scale(s, tx=0.0, ty=0.0):
    return np.array([[s, 0.0, tx], [0.0, s, ty], [0.0, 0.0, 1.0]])


def workloads():
    rng = np.random.default_rng(6)
    out = [
        Workload("heatmap", "512x512 heat map, 4 px cells, 10% transparent, 2048^2",
                 grid(512, 512), random_colours(rng, 512 * 512, 0.1), scale(4.0), 2048),
        Workload("subpixel", "2000x2000 sub-pixel cells on 1000^2",
                 grid(2000, 2000), random_colours(rng, 2000 * 2000), scale(0.5), 1000),
        Workload("cells64", "64x64 cells of 64x64 px on 4096^2",
                 grid(64, 64), random_colours(rng, 64 * 64), scale(64.0), 4096),
    ]
    n = 1000
    theta = np.linspace(0.0, 2.0 * np.pi, n + 1)
    radius = np.linspace(0.1, 1.0, n + 1)
    t, r = np.meshgrid(theta, radius)
    swirl = t + 1.5 * r
    polar = np.ascontiguousarray(np.stack([r * np.cos(swirl), r * np.sin(swirl)], axis=-1))
    out.append(Workload("curvilinear", "1000x1000 swirled polar mesh on 2000^2",
                        polar, random_colours(rng, n * n), scale(980.0, 1000.0, 1000.0), 2000))
    out.append(Workload("small", "10x10 cells of 10 px on 100^2 (per-call overhead)",
                        grid(10, 10), random_colours(rng, 100), scale(10.0), 100, calls=200))
    out.extend(rotated_grids(rng))
    out.extend(figure_heat_maps(rng))
    out.extend(hammer_maps(rng))
    return out


def rotated_grids(rng, size=4096):
    """Square cells of `cell` px turned by `degrees` about the image centre, covering it."""
    out = []
    for cell in (7, 14, 28, 56):
        n = size // cell
        for degrees in (10, 30, 45):
            t = np.radians(degrees)
            c, s = np.cos(t) * cell, np.sin(t) * cell
            half = n / 2.0
            matrix = np.array([[c, -s, size / 2 - (c - s) * half],
                               [s, c, size / 2 - (s + c) * half], [0.0, 0.0, 1.0]])
            out.append(Workload(f"rot{cell}_{degrees}",
                                f"{n}x{n} cells of {cell} px turned {degrees} deg on {size}^2",
                                grid(n, n), random_colours(rng, n * n), matrix, size))
    return out


def figure_heat_maps(rng, rows=1200, cols=1600, box=((0.125, 0.9), (0.11, 0.88))):
    """Heat maps as a figure places them: cells between the edges xs and ys (data units)
    mapped into the axes box (fractions of the image across and up), so that nearly every
    cell edge falls between pixel centres."""
    (left, right), (bottom, top) = box

    def placed(name, title, xs, ys):
        sx = (right - left) * cols / (xs[-1] - xs[0])
        sy = (top - bottom) * rows / (ys[-1] - ys[0])
        matrix = np.array([[sx, 0.0, left * cols - sx * xs[0]],
                           [0.0, sy, bottom * rows - sy * ys[0]], [0.0, 0.0, 1.0]])
        coords = np.ascontiguousarray(np.stack(np.meshgrid(xs, ys), axis=-1))
        colours = random_colours(rng, (len(xs) - 1) * (len(ys) - 1))
        return Workload(name, title, coords, colours, matrix, (rows, cols))

    return [
        placed("fig400", f"400x300 heat map in a {cols}x{rows} figure, cells of ~3.1 px",
               np.arange(401.0), np.arange(301.0)),
        placed("fig800", f"800x600 heat map in a {cols}x{rows} figure, cells of ~1.55 px",
               np.arange(801.0), np.arange(601.0)),
        # A log frequency axis: the host hands over log10 of the bin edges.
        placed("spectrogram", f"spectrogram, 4000 time bins x 512 log-spaced bins (20 Hz-20 kHz) "
               f"on a log axis, {cols}x{rows} figure",
               np.linspace(0.0, 10.0, 4001), np.log10(np.geomspace(20.0, 20000.0, 513))),
    ]


def hammer_maps(rng, rows=1200, cols=1600, box=((200.0, 1440.0), (132.0, 1056.0))):
    """Global lon-lat grids of 0.25 and 1 degree in a Hammer projection, as a figure
    places a map: x = +-2.83 and y = +-1.42 span the axes box (device pixels, y up).
    bench_scenes.hpp's hammer_map builds the same nodes."""
    (left, right), (bottom, top) = box
    sx, sy = (right - left) / 5.66, (top - bottom) / 2.84
    matrix = np.array([[sx, 0.0, left + 2.83 * sx], [0.0, sy, bottom + 1.42 * sy],
                       [0.0, 0.0, 1.0]])
    degree = np.pi / 180.0
    out = []
    for name, step in (("map_quarter_degree", 0.25), ("map_one_degree", 1.0)):
        w, h = round(360.0 / step), round(180.0 / step)
        phi = (-90.0 + 180.0 * np.arange(h + 1.0) / h) * degree
        lam = (-180.0 + 360.0 * np.arange(w + 1.0) / w) * degree
        lam, phi = np.meshgrid(lam, phi)
        z = np.sqrt(1.0 + np.cos(phi) * np.cos(lam / 2))
        x = 2.0 * np.sqrt(2.0) * np.cos(phi) * np.sin(lam / 2) / z
        y = np.sqrt(2.0) * np.sin(phi) / z
        out.append(Workload(name, f"{step:g} deg global lon-lat grid ({w}x{h}) in a Hammer "
                            f"projection, {cols}x{rows} figure",
                            np.ascontiguousarray(np.stack([x, y], axis=-1)),
                            random_colours(rng, w * h), matrix, (rows, cols)))
    return out
