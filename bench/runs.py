"""One-worker runs: each workload drawn by quadlite and by its peers, timed,
checked against the host, held to its target and printed as a table."""
import statistics
import time

import numpy as np

import peers

# Seconds one run of a slow alternative may take before it is run on a subset.
SUBSET_BUDGET = 0.4
# The reference host is compared on the full mesh only up to this many quads.
FULL_COMPARE_QUADS = 300_000


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
    seconds, _ = median_time(peers.bandwidth_fill(wl), runs, max(1, wl.calls))
    return seconds


def write_read_bound(wl, runs):
    seconds, _ = median_time(peers.write_read(wl), runs, max(1, wl.calls))
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
    ours = peers.new_renderer(subject)
    peers.draw_quadlite(ours, peers.call_args(ours, subject))
    theirs = peers.new_renderer(subject)
    peers.draw_host(theirs, peers.call_args(theirs, subject))
    same = np.array_equal(ours.pixels, theirs.pixels)
    differing = int(np.count_nonzero(np.any(ours.pixels != theirs.pixels, axis=-1)))
    return {"identical": bool(same), "scope": scope, "differing_pixels": differing}


def run_workload(wl, runs):
    result = {"name": wl.name, "title": wl.title, "quads": wl.quads,
              "image": [wl.rows, wl.cols], "calls_per_run": wl.calls}

    renderer = peers.new_renderer(wl)
    args = peers.call_args(renderer, wl)
    peers.draw_quadlite(renderer, args)  # warm-up: builds the pool, and the served check
    painted = int(np.count_nonzero(renderer.pixels[..., 3] == 255))
    result["painted_pixels"] = painted
    result["fast_path_drew"] = True

    seconds, times = median_time(lambda: peers.draw_quadlite(renderer, args), runs, wl.calls)
    result["quadlite"] = {"ms": seconds * 1e3, "runs_ms": [t * 1e3 for t in times]}

    alternatives = {
        "pil": peers.pil_loop,
        "opencv": peers.opencv_loop,
        "numpy_host": peers.host_method,
    }
    if peers.rectilinear(wl):
        alternatives["numpy_grid"] = peers.numpy_grid
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
