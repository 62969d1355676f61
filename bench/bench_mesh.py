"""End-to-end benchmark: quadlite.draw_quad_mesh against what a user would do instead.

Each workload is drawn, on the same data in the same run, by
  quadlite     quadlite.draw_quad_mesh (the fast path; checked to have drawn),
  PIL loop     a Python loop over Pillow's ImageDraw.polygon,
  OpenCV loop  a Python loop over cv2.fillConvexPoly,
  numpy host   the stand-in host's own method (the numpy reference drawing),
and compared with the bandwidth bound, a numpy fill of the same image.
Alternatives that would take long on a big mesh are timed on a contiguous
block of mesh rows and scaled per quad; such numbers are marked "est.".
Times are medians of several runs.

Then the scaling section (see "Scaling" below): the model's prediction of
the speed-up on many workers, and, through a get_nprocs preload shim, the
speed-up measured at the worker counts this machine's cores allow.

    python bench/bench_mesh.py [--runs N] [--out DIR] [--only NAME ...]
        [--scaling-only] [--scaling-tool PATH] [--shim PATH] [--sweep 1,2,4,8,16]

Writes DIR/bench.json and the chart DIR/bench.svg, with a PNG copy
DIR/bench.png where cairosvg is installed (DIR defaults to out/).
"""
import argparse
import json
import os
import platform
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests", "python"))

import quadlite  # noqa: E402
import standin_host  # noqa: E402

# Seconds one run of a slow alternative may take before it is run on a subset.
SUBSET_BUDGET = 0.4
# The reference host is compared on the full mesh only up to this many quads.
FULL_COMPARE_QUADS = 300_000


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


# --- The ways to draw ------------------------------------------------------------------

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


# --- Timing ----------------------------------------------------------------------------

def median_time(fn, runs, repeat=1):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        for _ in range(repeat):
            fn()
        times.append((time.perf_counter() - start) / repeat)
    return statistics.median(times), times


def block_for(wl, make_drawing, runs):
    """Times make_drawing(workload)() on the whole mesh or on a block of its rows.

    Returns (seconds for the whole mesh, estimated?, rows used, run times).
    """
    h = wl.mesh_height
    probe_rows = max(1, min(h, 2000 // max(1, wl.mesh_width)))
    probe = wl.row_block((h - probe_rows) // 2, probe_rows)
    draw = make_drawing(probe)
    start = time.perf_counter()
    draw()
    per_quad = (time.perf_counter() - start) / probe.quads
    rows = int(min(h, max(probe_rows, SUBSET_BUDGET / max(per_quad, 1e-12) / wl.mesh_width)))
    if rows >= h:
        seconds, times = median_time(make_drawing(wl), runs)
        return seconds, False, h, times
    block = wl.row_block((h - rows) // 2, rows)
    seconds, times = median_time(make_drawing(block), runs)
    factor = wl.quads / block.quads
    return seconds * factor, True, rows, [t * factor for t in times]


def bandwidth_bound(wl, runs):
    image = np.zeros((wl.rows, wl.cols, 4), np.uint8)
    words = image.reshape(wl.rows, wl.cols * 4).view(np.uint32)
    value = np.uint32(0xFF336699)
    repeat = max(1, wl.calls)
    seconds, _ = median_time(lambda: words.fill(value), runs, repeat)
    return seconds


def write_read_bound(wl, runs):
    """Writing every pixel of the image plus reading the mesh's nodes and colours once,
    as numpy does them at its fastest (a fill, a maximum over the bytes)."""
    image = np.zeros((wl.rows, wl.cols, 4), np.uint8)
    words = image.reshape(wl.rows, wl.cols * 4).view(np.uint32)
    value = np.uint32(0xFF336699)
    arrays = [a.reshape(-1).view(np.uint8) for a in (wl.coords, wl.colours)]

    def run():
        words.fill(value)
        for a in arrays:
            a.max()
    seconds, _ = median_time(run, runs, max(1, wl.calls))
    return seconds


def compare_with_host(wl):
    """Whether quadlite and the reference host draw the same bytes; on a row block if big."""
    subject = wl
    scope = "full mesh"
    if wl.quads > FULL_COMPARE_QUADS:
        rows = max(1, FULL_COMPARE_QUADS // wl.mesh_width)
        first = (wl.mesh_height - rows) // 2
        subject = wl.row_block(first, rows)
        scope = f"mesh rows {first}..{first + rows - 1}"
    ours = new_renderer(subject)
    draw_quadlite(ours, call_args(ours, subject))
    theirs = new_renderer(subject)
    draw_host(theirs, call_args(theirs, subject))
    same = np.array_equal(ours.pixels, theirs.pixels)
    differing = int(np.count_nonzero(np.any(ours.pixels != theirs.pixels, axis=-1)))
    return {"identical": bool(same), "scope": scope, "differing_pixels": differing}


def run_workload(wl, runs):
    result = {"name": wl.name, "title": wl.title, "quads": wl.quads,
              "image": [wl.rows, wl.cols], "calls_per_run": wl.calls}

    renderer = new_renderer(wl)
    args = call_args(renderer, wl)
    draw_quadlite(renderer, args)  # warm-up: builds the pool, and the served check
    painted = int(np.count_nonzero(renderer.pixels[..., 3] == 255))
    result["painted_pixels"] = painted
    result["fast_path_drew"] = True

    seconds, times = median_time(lambda: draw_quadlite(renderer, args), runs, wl.calls)
    result["quadlite"] = {"ms": seconds * 1e3, "runs_ms": [t * 1e3 for t in times]}

    alternatives = {
        "pil": pil_loop,
        "opencv": opencv_loop,
        "numpy_host": host_method,
    }
    if rectilinear(wl):
        alternatives["numpy_grid"] = numpy_grid
    slow_runs = max(3, runs // 2)
    for key, make_drawing in alternatives.items():
        # The numpy grid drawing costs per pixel, not per quad: never scaled
        # up from a row block.
        if wl.calls > 1 or key == "numpy_grid":
            s, times = median_time(make_drawing(wl), slow_runs, wl.calls)
            est, rows = False, wl.mesh_height
        else:
            s, est, rows, times = block_for(wl, make_drawing, slow_runs)
        result[key] = {"ms": s * 1e3, "estimated": est, "mesh_rows_timed": rows,
                       "runs_ms": [t * 1e3 for t in times]}

    result["bandwidth_bound"] = {"ms": bandwidth_bound(wl, runs) * 1e3}
    result["write_read_bound"] = {"ms": write_read_bound(wl, runs) * 1e3}
    result["reference_check"] = compare_with_host(wl)

    ms = result["quadlite"]["ms"]
    result["ns_per_quad"] = ms * 1e6 / wl.quads
    result["ns_per_painted_pixel"] = ms * 1e6 / painted if painted else None
    result["speedup"] = {key: result[key]["ms"] / ms for key in alternatives}
    best = min(alternatives, key=lambda k: result[k]["ms"])
    result["best_alternative"] = best
    result["speedup"]["best_alternative"] = result[best]["ms"] / ms
    result["fraction_of_bound"] = result["bandwidth_bound"]["ms"] / ms
    result["times_write_read_bound"] = ms / result["write_read_bound"]["ms"]
    return result


# --- Output ----------------------------------------------------------------------------

# What each workload should reach with one worker: (description, test).
TARGETS = {
    "cells64": ("within 2x of the bandwidth bound",
                lambda r: r["fraction_of_bound"] >= 0.5),
    "heatmap": ("at least 10x the best alternative",
                lambda r: r["speedup"]["best_alternative"] >= 10),
    "subpixel": ("at least 8x the numpy grid drawing",
                 lambda r: r["speedup"]["numpy_grid"] >= 8),
    "curvilinear": ("at least 35x the OpenCV loop", lambda r: r["speedup"]["opencv"] >= 35),
    "small": ("at most 10 us per call", lambda r: r["quadlite"]["ms"] <= 0.010),
}
TARGETS.update({
    "fig400": ("at least 6x the numpy grid drawing, within 4x of writing the image and "
               "reading the mesh",
               lambda r: r["speedup"]["numpy_grid"] >= 6 and r["times_write_read_bound"] <= 4),
    "fig800": ("at least 8x the numpy grid drawing", lambda r: r["speedup"]["numpy_grid"] >= 8),
    "spectrogram": ("at least 12x the numpy grid drawing",
                    lambda r: r["speedup"]["numpy_grid"] >= 12),
})
for _cell in (7, 14, 28, 56):
    for _degrees in (10, 30, 45):
        TARGETS[f"rot{_cell}_{_degrees}"] = (
            "at least 5x the OpenCV loop" + (", within 4x of the bound" if _cell >= 28 else ""),
            lambda r, c=_cell: r["speedup"]["opencv"] >= 5 and
            (c < 28 or r["fraction_of_bound"] >= 0.25))


def check_targets(results):
    for r in results:
        if r["name"] in TARGETS:
            text, test = TARGETS[r["name"]]
            r["target"] = {"text": text, "met": bool(test(r))}


def fmt_ms(entry):
    text = f"{entry['ms']:.3f}" if entry["ms"] < 1 else f"{entry['ms']:.1f}"
    return text + (" est." if entry.get("estimated") else "")


def print_table(results):
    head = (f"{'workload':<12}{'quads':>10}{'painted px':>12}{'quadlite ms':>13}{'ns/quad':>9}"
            f"{'ns/px':>8}{'PIL ms':>14}{'OpenCV ms':>14}{'numpy host ms':>16}{'bound ms':>10}"
            f"{'xPIL':>8}{'xOpenCV':>9}{'xhost':>8}{'xbest':>8}{'of bound':>10}")
    print(head)
    print("-" * len(head))
    for r in results:
        ns_px = f"{r['ns_per_painted_pixel']:.2f}" if r["ns_per_painted_pixel"] else "-"
        sp = r["speedup"]
        print(f"{r['name']:<12}{r['quads']:>10}{r['painted_pixels']:>12}"
              f"{fmt_ms(r['quadlite']):>13}{r['ns_per_quad']:>9.1f}{ns_px:>8}"
              f"{fmt_ms(r['pil']):>14}{fmt_ms(r['opencv']):>14}{fmt_ms(r['numpy_host']):>16}"
              f"{r['bandwidth_bound']['ms']:>10.3f}"
              f"{sp['pil']:>8.1f}{sp['opencv']:>9.1f}{sp['numpy_host']:>8.1f}"
              f"{sp['best_alternative']:>8.1f}{r['fraction_of_bound']:>10.2f}")
    print()
    for r in results:
        if "numpy_grid" in r:
            print(f"{r['name']:<12} {r['quadlite']['ms']:.3f} ms: x{r['speedup']['numpy_grid']:.1f} "
                  f"the numpy grid drawing ({fmt_ms(r['numpy_grid'])} ms), "
                  f"{r['times_write_read_bound']:.2f}x writing the image and reading the mesh "
                  f"({r['write_read_bound']['ms']:.3f} ms)")
    print()
    for r in results:
        check = r["reference_check"]
        verdict = "identical" if check["identical"] else \
            f"DIFFERENT ({check['differing_pixels']} pixels)"
        print(f"{r['name']:<12} fast path drew: {r['fast_path_drew']}; "
              f"vs numpy host ({check['scope']}): {verdict}")
    print()
    for r in results:
        if "target" in r:
            met = "met" if r["target"]["met"] else "NOT met"
            print(f"{r['name']:<12} target ({r['target']['text']}): {met}")


# The peers in the speed-up panel; the numpy grid drawing only where the mesh
# is rectilinear (a gap elsewhere), but always in the legend.
CHART_SERIES = [("pil", "Pillow loop"), ("opencv", "OpenCV loop"), ("numpy_host", "numpy host"),
                ("numpy_grid", "numpy grid")]
CHART_HEIGHT = 450
# The names under the narrow panel stand upright, so that they never overlap.
BOUND_LABEL_ROTATION = 90


def draw_chart(results, path, scaling=None):
    """Writes the chart as SVG to path: the speed-ups (log scale) beside the
    fraction of the bandwidth bound, two pygal charts side by side; below them,
    with `scaling`, the speed-up against workers."""
    import math

    import pygal
    from pygal.colors import lighten

    names = [r["name"] for r in results]
    style = pygal.style.CleanStyle
    # No script: pygal's default one is fetched from the web.
    common = dict(height=CHART_HEIGHT, js=[], legend_at_bottom=True, x_label_rotation=30,
                  style=style)
    rows = []
    if results:
        speedups = [r["speedup"][key] for key, _ in CHART_SERIES for r in results
                    if key in r["speedup"]]
        decades = [10.0 ** k for k in range(math.floor(math.log10(min(min(speedups), 1))),
                                            math.ceil(math.log10(max(speedups) * 1.2)) + 1)]
        speed = pygal.Bar(width=760, logarithmic=True, **common,
                          range=(decades[0], decades[-1]), zero=1, y_labels=decades,
                          title="quadlite against the alternatives, one run "
                                "(pale: estimated)",
                          y_title="speed-up of quadlite (x, log scale)")
        speed.x_labels = names
        for (key, label), colour in zip(CHART_SERIES, style.colors):
            speed.add(label, [None if key not in r else
                              {"value": r["speedup"][key],
                               "label": "estimated" if r[key]["estimated"] else "whole mesh",
                               "color": lighten(colour, 35) if r[key]["estimated"] else colour}
                              for r in results])
        fractions = [r["fraction_of_bound"] for r in results]
        bound = pygal.Bar(width=340, range=(0, max(1.0, *fractions) * 1.05),
                          **dict(common, x_label_rotation=BOUND_LABEL_ROTATION),
                          title="fraction of the bandwidth bound",
                          y_title="bandwidth bound / quadlite time")
        bound.x_labels = names
        bound.add("quadlite", fractions)
        rows.append([speed, bound])
    if scaling is not None:
        rows.append([draw_scaling_panel(scaling, 1100)])

    panels, width, y = [], 0, 0
    for row in rows:
        x = 0
        for chart in row:
            inner = chart.render(disable_xml_declaration=True)
            size = f'x="{x}" y="{y}" width="{chart.config.width}" height="{chart.config.height}" '
            panels.append(inner.replace("<svg ", "<svg " + size, 1))
            x += chart.config.width
        width = max(width, x)
        y += row[0].config.height
    with open(path, "w") as out:
        out.write(f'<svg xmlns="http://www.w3.org/2000/svg" '
                  f'xmlns:xlink="http://www.w3.org/1999/xlink" width="{width}" '
                  f'height="{y}" viewBox="0 0 {width} {y}">'
                  f'{"".join(panels)}</svg>\n')


def svg_to_png(svg_path, png_path):
    """A PNG copy through cairosvg; False where cairosvg or cairo is missing."""
    try:
        import cairosvg
        cairosvg.svg2png(url=svg_path, write_to=png_path)
    except (ImportError, OSError):
        return False
    return True


# --- Scaling -------------------------------------------------------------------------
#
# Where this machine has fewer cores than the pool may have workers elsewhere,
# the scaling model predicts the speed-up (bench/scaling_bench.cpp, the
# quadlite_scaling tool): the one-worker time split into the serial part and
# the passes, every task timed at 2 to 16 shares one after another on one
# thread, and the hand-off of an empty parallel_for. Here the intake's own
# time (a one-cell call) is added to the serial part. With a preload shim
# that answers get_nprocs, the real sweep is measured too, at the worker
# counts the cores allow.

SCALING_WORKLOADS = ("curvilinear", "rot14_10", "heatmap", "subpixel", "cells64")
# Predicted speed-up at 8 workers each should reach.
SCALING_TARGETS = {"curvilinear": 6.5, "rot14_10": 6.5, "heatmap": 6.5, "cells64": 5.0,
                   "subpixel": 4.5}
# Two workers against one, measured.
TWO_WORKER_TARGET = 1.8
SWEEP = (1, 2, 4, 8, 16)
REPO = os.path.normpath(os.path.join(HERE, os.pardir))


def find_built(name):
    """The first file called `name` under build/, or None."""
    for root, _, files in sorted(os.walk(os.path.join(REPO, "build"))):
        if name in files:
            return os.path.join(root, name)
    return None


def intake_ms(repeat=2000):
    """The per-call time of a one-cell call: the intake, with almost no job."""
    wl = Workload("intake", "one cell", grid(1, 1), np.ones((1, 4)), scale(1.0), 1)
    renderer = new_renderer(wl)
    args = call_args(renderer, wl)
    draw_quadlite(renderer, args)
    best, _ = min(median_time(lambda: draw_quadlite(renderer, args), 1, repeat)
                  for _ in range(5))
    return best * 1e3


def scaling_model(tool, runs, names):
    """The tool's findings (see scaling_bench.cpp) for the named workloads."""
    import subprocess
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "scaling.json")
        subprocess.run([tool, "--runs", str(runs), "--json", path, "--only", *names],
                       check=True, stdout=subprocess.DEVNULL)
        with open(path) as f:
            return json.load(f)


def time_scaling_workloads(names, runs):
    """Best time in ms of each named workload through quadlite, in this process."""
    out = {}
    for wl in workloads():
        if wl.name not in names:
            continue
        renderer = new_renderer(wl)
        args = call_args(renderer, wl)
        draw_quadlite(renderer, args)
        _, times = median_time(lambda: draw_quadlite(renderer, args), runs, wl.calls)
        out[wl.name] = min(times) * 1e3
    return out


def measured_sweep(shim, workers, names, runs, rounds=3):
    """Best of `runs` calls per workload at each worker count, forced through the
    shim in a process of its own; the counts take turns, `rounds` times."""
    import subprocess
    best = {}
    for _ in range(rounds):
        for k in workers:
            env = dict(os.environ, LD_PRELOAD=shim, SHIM_NPROCS=str(2 * k))
            text = subprocess.run([sys.executable, os.path.abspath(__file__),
                                   "--time-workloads", str(runs), "--only", *names],
                                  env=env, check=True, capture_output=True, text=True).stdout
            for name, ms in json.loads(text.splitlines()[-1]).items():
                best.setdefault(name, {})
                best[name][k] = min(best[name].get(k, float("inf")), ms)
    return best


def scaling_report(model, intake, sweep):
    """Per workload: the model's figures with the intake added, and the sweep."""
    rows = []
    for w in model["workloads"]:
        one = w["one_worker_ms"] + intake
        row = {"name": w["name"], "grid_path": w["grid_path"], "one_worker_ms": one,
               "serial_ms": w["serial_ms"] + intake,
               "passes_ms": {p["name"]: sum(p["task_ms"]) for p in w["passes"]},
               "shares": {}, "predicted": {1: 1.0}, "measured": {}}
        for shares, s in w["shares"].items():
            fill = next(p for p in s["passes"] if p["name"] == "fill")["task_ms"]
            row["shares"][int(shares)] = {
                "serial_ms": s["serial_ms"] + intake, "hand_off_ms": s["hand_off_ms"],
                "slowest_ms": {p["name"]: max(p["task_ms"]) for p in s["passes"]},
                "task_ms": {p["name"]: p["task_ms"] for p in s["passes"]},
                "band_max_over_mean": max(fill) / (sum(fill) / len(fill))}
            row["predicted"][int(shares)] = one / (s["predicted_ms"] + intake)
        times = (sweep or {}).get(w["name"], {})
        if 1 in times:
            row["measured"] = {k: times[1] / t for k, t in sorted(times.items())}
            row["measured_ms"] = times
        rows.append(row)
    return {"intake_ms": intake, "hand_off_ms": model["hand_off_ms"], "workloads": rows}


def print_scaling(report):
    hand_offs = ", ".join(f"{k} workers {v * 1e3:.1f} us"
                          for k, v in report["hand_off_ms"].items())
    print("\nScaling. Model: the one-worker time (thread CPU time) split into the serial "
          "part\n(intake %.3f ms included) and the passes; each task timed at 8 and 16 shares "
          "one\nafter another on one thread; predicted = 1 worker / (serial + slowest task of "
          "each\npass + one hand-off per pass). Hand-off: %s." % (report["intake_ms"], hand_offs))
    head = (f"{'workload':<12}{'1 worker ms':>12}{'serial %':>10}  {'passes ms':<44}"
            f"{'band max/mean 8|16':>20}{'predicted 8|16':>16}{'measured':>22}")
    print(head)
    print("-" * len(head))
    for r in report["workloads"]:
        passes = ", ".join(f"{k} {v:.2f}" for k, v in r["passes_ms"].items())
        bands = "%.2f | %.2f" % (r["shares"][8]["band_max_over_mean"],
                                 r["shares"][16]["band_max_over_mean"])
        predicted = "%.2fx | %.2fx" % (r["predicted"][8], r["predicted"][16])
        measured = ", ".join(f"{k}: {v:.2f}x" for k, v in r["measured"].items() if k > 1) or "-"
        print(f"{r['name']:<12}{r['one_worker_ms']:>12.2f}"
              f"{100 * r['serial_ms'] / r['one_worker_ms']:>10.2f}  {passes:<44}"
              f"{bands:>20}{predicted:>16}{measured:>22}")
    print()
    for r in report["workloads"]:
        for shares in (8, 16):
            s = r["shares"][shares]
            tasks = "; ".join(f"{name} " + " ".join(f"{t:.2f}" for t in times)
                              for name, times in s["task_ms"].items())
            print(f"{r['name']:<12}{shares:>3} shares, ms per task: {tasks}")
    print()
    for r in report["workloads"]:
        want = SCALING_TARGETS.get(r["name"])
        checks = [("serial part <= 3 %", r["serial_ms"] <= 0.03 * r["one_worker_ms"]),
                  ("slowest band <= 1.15x mean at 8 and 16",
                   max(r["shares"][k]["band_max_over_mean"] for k in (8, 16)) <= 1.15)]
        if want is not None:
            checks.append((f"predicted >= {want}x at 8", r["predicted"][8] >= want))
        if 2 in r["measured"]:
            checks.append((f"2 workers >= {TWO_WORKER_TARGET}x measured",
                           r["measured"][2] >= TWO_WORKER_TARGET))
        print(f"{r['name']:<12} " + "; ".join(f"{text}: {'met' if ok else 'NOT met'}"
                                               for text, ok in checks))


def run_scaling(opts):
    """The scaling section, or None where the tool has not been built."""
    names = [n for n in SCALING_WORKLOADS if not opts.only or n in opts.only]
    tool = opts.scaling_tool or find_built("quadlite_scaling")
    if not names:
        return None
    if tool is None:
        print("\nScaling: no quadlite_scaling tool (make native builds it); section left out.")
        return None
    print("scaling model ...", file=sys.stderr, flush=True)
    model = scaling_model(tool, max(3, opts.runs), names)
    intake = intake_ms()
    shim = opts.shim or find_built("libnprocs_shim.so")
    sweep = None
    if shim is not None:
        workers = [k for k in opts.sweep if k <= max(1, os.cpu_count() or 1)]
        print(f"measured sweep at {workers} workers ...", file=sys.stderr, flush=True)
        sweep = measured_sweep(shim, workers, names, 9)
    report = scaling_report(model, intake, sweep)
    print_scaling(report)
    if shim is None:
        print("(no get_nprocs preload shim found under build/: no measured sweep)")
    return report


SCALING_PANEL_HEIGHT = CHART_HEIGHT


def draw_scaling_panel(report, width):
    """The speed-up against the number of workers: lines as the model predicts,
    dots as measured, a workload's both in its colour."""
    import pygal
    from pygal.style import CleanStyle, Style

    rows = report["workloads"]
    measured = any(r["measured"] for r in rows)
    colours = ["#999999"]
    for r, colour in zip(rows, CleanStyle.colors[1:]):
        colours += [colour, colour] if measured else [colour]
    style = Style(**dict(CleanStyle.__dict__, colors=tuple(colours)))
    chart = pygal.XY(width=width, height=SCALING_PANEL_HEIGHT, js=[], style=style,
                     legend_at_bottom=False, truncate_legend=-1,
                     logarithmic=True, x_labels=list(SWEEP), y_labels=list(SWEEP),
                     range=(1, SWEEP[-1] * 1.05), xrange=(1, SWEEP[-1]),
                     title="speed-up against workers: lines as the model predicts, "
                           "dots as measured here",
                     x_title="workers", y_title="speed-up over one worker")
    chart.add("ideal", [(k, k) for k in SWEEP], stroke_style={"dasharray": "3, 6"},
              show_dots=False)
    for r in rows:
        chart.add(f"{r['name']}, model", sorted(r["predicted"].items()),
                  stroke_style={"width": 2}, show_dots=False)
        if measured:
            chart.add(f"{r['name']}, measured", sorted(r["measured"].items()), stroke=False,
                      dots_size=5)
    return chart


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--out", default=os.path.normpath(os.path.join(HERE, os.pardir, "out")))
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--scaling-only", action="store_true",
                        help="only the scaling section")
    parser.add_argument("--scaling-tool", default=None,
                        help="the quadlite_scaling tool (default: found under build/)")
    parser.add_argument("--shim", default=None,
                        help="a get_nprocs preload shim (default: libnprocs_shim.so under "
                             "build/); without one there is no measured sweep")
    parser.add_argument("--sweep", type=lambda t: [int(v) for v in t.split(",")],
                        default=list(SWEEP), help="worker counts to measure, as the cores allow")
    parser.add_argument("--time-workloads", type=int, default=None, metavar="RUNS",
                        help=argparse.SUPPRESS)  # a sweep's child process
    opts = parser.parse_args(argv[1:])
    if opts.time_workloads is not None:
        print(json.dumps(time_scaling_workloads(opts.only or SCALING_WORKLOADS,
                                                opts.time_workloads)))
        return 0

    os.makedirs(opts.out, exist_ok=True)
    load_before = os.getloadavg()
    results = []
    for wl in workloads():
        if opts.scaling_only or (opts.only and wl.name not in opts.only):
            continue
        print(f"{wl.name}: {wl.title} ...", file=sys.stderr, flush=True)
        results.append(run_workload(wl, opts.runs))
    load_after = os.getloadavg()

    check_targets(results)
    if results:
        print_table(results)
    scaling = run_scaling(opts)
    report = {
        "machine": {"cpus": os.cpu_count(), "platform": platform.platform(),
                    "python": platform.python_version(), "numpy": np.__version__,
                    "load_average_before": load_before, "load_average_after": load_after},
        "runs": opts.runs,
        "workloads": results,
        "scaling": scaling,
    }
    json_path = os.path.join(opts.out, "bench.json")
    with open(json_path, "w") as out:
        json.dump(report, out, indent=2)
    svg_path = os.path.join(opts.out, "bench.svg")
    draw_chart(results, svg_path, scaling)
    written = [json_path, svg_path]
    png_path = os.path.join(opts.out, "bench.png")
    if svg_to_png(svg_path, png_path):
        written.append(png_path)
    print(f"\nload average {load_before[0]:.2f} before, {load_after[0]:.2f} after; "
          f"wrote {', '.join(written)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
