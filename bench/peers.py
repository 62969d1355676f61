"""The ways to draw a workload: quadlite, and the peers it is measured against.

  quadlite     quadlite.draw_quad_mesh (the fast path; checked to have drawn),
  PIL loop     a Python loop over Pillow's ImageDraw.polygon,
  OpenCV loop  a Python loop over cv2.fillConvexPoly,
  numpy host   the stand-in host's own method (the numpy reference drawing),
  numpy grid   a searchsorted lookup, on rectilinear meshes only,
and the bounds: a numpy fill of the same image, and that fill plus one read
of the mesh. Each `make` function returns a drawing ready to run.
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "tests", "python"))

import quadlite  # noqa: E402
import standin_host  # noqa: E402


def call_args(renderer, wl):
    return standin_host.mesh_args(renderer, wl.coords, wl.colours, matrix=wl.matrix)


def device_quads(wl):
    """Vertices of every drawn cell in image coordinates (row 0 at the top), and colours."""
    c = wl.coords
    m = wl.matrix
    x = m[0, 0] * c[..., 0] + m[0, 1] * c[..., 1] + m[0, 2]
    y = (wl.rows - (m[1, 0] * c[..., 0] + m[1, 1] * c[..., 1] + m[1, 2]))
    nodes = np.stack([x, y], axis=-1)
    quads = np.stack([nodes[:-1, :-1], nodes[1:, :-1], nodes[1:, 1:], nodes[:-1, 1:]], axis=2)
    quads = quads.reshape(-1, 4, 2)
    rgb = np.round(np.clip(wl.colours[:, :3], 0.0, 1.0) * 255.0).astype(np.uint8)
    visible = wl.colours[:, 3] != 0.0
    return quads[visible], rgb[visible]


def pil_loop(wl):
    """A drawing of the workload by Pillow, ready to run: ImageDraw.polygon per cell."""
    from PIL import Image, ImageDraw
    image = Image.new("RGBA", (wl.cols, wl.rows))
    polygon = ImageDraw.Draw(image).polygon

    def run():
        quads, rgb = device_quads(wl)
        for q, (r, g, b) in zip(quads.tolist(), rgb.tolist()):
            polygon([tuple(v) for v in q], fill=(r, g, b, 255))
    return run


def opencv_loop(wl):
    """A drawing of the workload by OpenCV, ready to run: fillConvexPoly per cell."""
    import cv2
    image = np.zeros((wl.rows, wl.cols, 4), np.uint8)
    fill = cv2.fillConvexPoly

    def run():
        quads, rgb = device_quads(wl)
        fixed = np.round(quads * 16.0).astype(np.int32)  # 4 fractional bits
        for q, (r, g, b) in zip(fixed, rgb.tolist()):
            fill(image, q, (r, g, b, 255), cv2.LINE_8, 4)
    return run


def rectilinear(wl):
    """Whether every cell is an axis-aligned rectangle, with x from the first row's nodes
    and y from the first column's."""
    m, c = wl.matrix, wl.coords
    return (m[0, 1] == 0 and m[1, 0] == 0 and np.all(c[..., 0] == c[:1, :, 0])
            and np.all(c[..., 1] == c[:, :1, 1]))


def numpy_grid(wl):
    """What a numpy user writes for a heat map, ready to run: each pixel centre looked up
    in the cell edges with searchsorted, the packed colours gathered with one fancy index
    (a centre on a shared edge goes to the later cell). Rectilinear meshes only."""
    image = np.zeros((wl.rows, wl.cols, 4), np.uint8)
    words = image.reshape(wl.rows, wl.cols * 4).view(np.uint32)

    def run():
        m, c = wl.matrix, wl.coords
        xs = m[0, 0] * c[0, :, 0] + m[0, 2]
        ys = m[1, 1] * c[:, 0, 1] + m[1, 2]
        rgb = np.round(np.clip(wl.colours[:, :3], 0.0, 1.0) * 255.0).astype(np.uint32)
        packed = rgb[:, 0] | rgb[:, 1] << 8 | rgb[:, 2] << 16 | np.uint32(0xFF000000)
        packed = np.resize(packed, wl.quads)
        visible = np.resize(wl.colours[:, 3] != 0.0, wl.quads)
        col = np.searchsorted(xs, np.arange(wl.cols) + 0.5, side="right") - 1
        row = np.searchsorted(ys, np.arange(wl.rows) + 0.5, side="right") - 1
        col_ok = (col >= 0) & (col < wl.mesh_width)
        row_ok = (row >= 0) & (row < wl.mesh_height)
        cell = np.clip(row, 0, wl.mesh_height - 1)[:, None] * wl.mesh_width + \
            np.clip(col, 0, wl.mesh_width - 1)[None, :]
        drawn = row_ok[:, None] & col_ok[None, :] & visible[cell]
        device = words[::-1]  # device row 0 is the last buffer row
        device[drawn] = packed[cell[drawn]]
    return run


def host_method(wl):
    """A drawing by the stand-in host's own method (the numpy reference), ready to run."""
    renderer = new_renderer(wl)
    args = call_args(renderer, wl)
    return lambda: renderer.draw_quad_mesh(*args)


def new_renderer(wl):
    return standin_host.Renderer.new(wl.rows, wl.cols)


def draw_quadlite(renderer, args):
    result = quadlite.draw_quad_mesh(renderer.draw_quad_mesh, *args)
    if result is not None or renderer.host_calls:
        raise RuntimeError("the fast path declined: the host drew")


def draw_host(renderer, args):
    renderer.draw_quad_mesh(*args)


def bandwidth_fill(wl):
    """The bandwidth bound, ready to run: a numpy fill of the whole image."""
    image = np.zeros((wl.rows, wl.cols, 4), np.uint8)
    words = image.reshape(wl.rows, wl.cols * 4).view(np.uint32)
    value = np.uint32(0xFF336699)
    return lambda: words.fill(value)


def write_read(wl):
    """Writing every pixel of the image plus reading the mesh's nodes and colours once,
    as numpy does them at its fastest (a fill, a maximum over the bytes), ready to run."""
    image = np.zeros((wl.rows, wl.cols, 4), np.uint8)
    words = image.reshape(wl.rows, wl.cols * 4).view(np.uint32)
    value = np.uint32(0xFF336699)
    arrays = [a.reshape(-1).view(np.uint8) for a in (wl.coords, wl.colours)]

    def run():
        words.fill(value)
        for a in arrays:
            a.max()
    return run
