"""Draws a sample curvilinear mesh through quadlite.draw_quad_mesh and writes a PNG.

The renderer is the test suite's stand-in host: quadlite draws into its pixel
buffer when it can, otherwise the stand-in's own method draws. The script then
draws the same call with the stand-in host's method (a numpy reference
drawing, slow on purpose) and compares the two images byte for byte. It also
times what a user would pick without quadlite, a loop of OpenCV's
fillConvexPoly over the cells (installed by `pip install .[demo]`), which
follows its own pixel rule and so differs at cell edges. quadlite's time is
the median of several calls after the first.

    python examples/demo.py [output.png]
"""
import os
import struct
import sys
import time
import zlib

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests", "python"))

import quadlite  # noqa: E402
import standin_host  # noqa: E402

IMAGE_ROWS, IMAGE_COLS = 600, 800
MESH_WIDTH, MESH_HEIGHT = 720, 360  # 259 200 cells
BACKGROUND = (250, 250, 245, 255)
RUNS = 5


def sample_mesh(width=MESH_WIDTH, height=MESH_HEIGHT):
    """A wavy annulus in unit coordinates, coloured by angle and radius.

    Returns (coordinates of shape (height+1, width+1, 2), face colours of
    shape (height*width, 4)); a band of spokes is transparent (alpha 0).
    """
    theta = np.linspace(0.0, 2.0 * np.pi, width + 1)
    radius = np.linspace(0.25, 1.0, height + 1)
    t, r = np.meshgrid(theta, radius)
    r = r * (1.0 + 0.06 * np.sin(7.0 * t + 5.0 * r))
    coords = np.stack([r * np.cos(t + 0.6 * r), r * np.sin(t + 0.6 * r)], axis=-1)

    tc = 0.5 * (theta[:-1] + theta[1:])
    rc = 0.5 * (radius[:-1] + radius[1:])
    tt, rr = np.meshgrid(tc, rc)
    red = 0.5 + 0.5 * np.cos(tt)
    green = 0.5 + 0.5 * np.cos(tt - 2.1)
    blue = rr
    alpha = np.where((np.floor(tt * 24 / (2 * np.pi)) % 6 == 0) & (rr > 0.6), 0.0, 1.0)
    colours = np.stack([red, green, blue, alpha], axis=-1).reshape(-1, 4)
    return coords, colours


def mesh_matrix():
    """Data to device pixels: the unit mesh scaled into the middle of the image."""
    scale = 0.44 * min(IMAGE_ROWS, IMAGE_COLS)
    return np.array([[scale, 0.0, IMAGE_COLS / 2.0],
                     [0.0, scale, IMAGE_ROWS / 2.0],
                     [0.0, 0.0, 1.0]])


def drawing_call(renderer, coords, colours):
    """The ten drawing arguments."""
    return standin_host.mesh_args(renderer, coords, colours, matrix=mesh_matrix())


def new_renderer():
    return standin_host.Renderer.new(IMAGE_ROWS, IMAGE_COLS, fill=BACKGROUND)


def median_seconds(draw, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        draw()
        times.append(time.perf_counter() - start)
    return sorted(times)[len(times) // 2]


def draw_through_quadlite(args_for):
    """Draws through quadlite; returns (renderer, who drew, median seconds)."""
    renderer = new_renderer()
    args = args_for(renderer)
    result = quadlite.draw_quad_mesh(renderer.draw_quad_mesh, *args)
    who = "stand-in host" if renderer.host_calls else "fast path"
    assert (result is None) == (who == "fast path")
    elapsed = median_seconds(lambda: quadlite.draw_quad_mesh(renderer.draw_quad_mesh, *args),
                             RUNS)
    return renderer, who, elapsed


def draw_with_opencv(coords, colours):
    """The cells drawn by a Python loop over cv2.fillConvexPoly, as a user
    would; returns (image, median seconds), or None without OpenCV."""
    try:
        import cv2
    except ImportError:
        return None
    image = np.empty((IMAGE_ROWS, IMAGE_COLS, 4), np.uint8)
    matrix = mesh_matrix()

    def draw():
        image[...] = BACKGROUND
        x = matrix[0, 0] * coords[..., 0] + matrix[0, 1] * coords[..., 1] + matrix[0, 2]
        y = matrix[1, 0] * coords[..., 0] + matrix[1, 1] * coords[..., 1] + matrix[1, 2]
        # OpenCV puts pixel centres on integers, row 0 at the top.
        nodes = np.stack([x - 0.5, IMAGE_ROWS - 0.5 - y], axis=-1)
        cells = np.stack([nodes[:-1, :-1], nodes[:-1, 1:], nodes[1:, 1:], nodes[1:, :-1]],
                         axis=2).reshape(-1, 4, 2)
        fixed = np.round(cells * 16.0).astype(np.int32)  # 4 fractional bits
        rgb = np.floor(np.clip(colours[:, :3], 0.0, 1.0) * 255.0 + 0.5).astype(int)
        fill = cv2.fillConvexPoly
        for cell, (r, g, b), alpha in zip(fixed, rgb.tolist(), colours[:, 3].tolist()):
            if alpha:
                fill(image, cell, (r, g, b, 255), cv2.LINE_8, 4)
    return image, median_seconds(draw, 3)


def draw_through_host(args_for):
    """Draws once with the stand-in host's method; returns (renderer, seconds)."""
    renderer = new_renderer()
    args = args_for(renderer)
    start = time.perf_counter()
    renderer.draw_quad_mesh(*args)
    return renderer, time.perf_counter() - start


def write_png(path, rgba):
    """Writes a (rows, cols, 4) uint8 image as an 8-bit RGBA PNG."""
    rows, cols, _ = rgba.shape
    raw = b"".join(b"\x00" + rgba[y].tobytes() for y in range(rows))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", cols, rows, 8, 6, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", header))
        out.write(chunk(b"IDAT", zlib.compress(raw, 6)))
        out.write(chunk(b"IEND", b""))


def main(argv):
    output = argv[1] if len(argv) > 1 else os.path.join("out", "demo.png")
    coords, colours = sample_mesh()
    args_for = lambda r: drawing_call(r, coords, colours)  # noqa: E731
    renderer, who, elapsed = draw_through_quadlite(args_for)
    os.makedirs(os.path.dirname(output) or ".", exist_ok=True)
    write_png(output, np.ascontiguousarray(renderer.pixels))
    print(f"{MESH_WIDTH} x {MESH_HEIGHT} cells into {IMAGE_COLS} x {IMAGE_ROWS} pixels")
    print(f"  quadlite.draw_quad_mesh:          {elapsed * 1000:9.1f} ms  (drawn by the {who})")

    opencv = draw_with_opencv(coords, colours)
    if opencv is None:
        print("  OpenCV fillConvexPoly loop:       not installed (pip install .[demo])")
    else:
        image, cv_elapsed = opencv
        edges = int(np.count_nonzero(np.any(image != renderer.pixels, axis=-1)))
        print(f"  OpenCV fillConvexPoly loop:       {cv_elapsed * 1000:9.1f} ms  "
              f"quadlite {cv_elapsed / elapsed:.0f}x faster ({edges} pixels differ: "
              f"OpenCV's own edge rule)")

    host, host_elapsed = draw_through_host(args_for)
    differing = int(np.count_nonzero(np.any(host.pixels != renderer.pixels, axis=-1)))
    print(f"  stand-in host (numpy reference):  {host_elapsed * 1000:9.1f} ms  ", end="")
    if differing:
        print(f"images DIFFER in {differing} pixels")
    else:
        print(f"byte-identical; quadlite {host_elapsed / elapsed:.0f}x faster")
    print(f"  wrote {output}")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
