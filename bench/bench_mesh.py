"""End-to-end benchmark: quadlite.draw_quad_mesh against what a user would do instead.

Each workload is drawn, on the same data in the same run, by
  quadlite     quadlite.draw_quad_mesh (the fast path; checked to have drawn),
  PIL loop     a Python loop over Pillow's ImageDraw.polygon,
  OpenCV loop  a Python loop over cv2.fillConvexPoly,
  numpy host   the stand-in host's own method (the numpy reference drawing),
and compared with the bandwidth bound, a numpy fill of the same image.
Alternatives that would take long on a big mesh are timed on a contiguous
block of mesh rows and scaled per quad; such numbers are marked "est.".
Times are medians of several runs. The two maps are 0.25 and 1 degree global
lon-lat grids in a Hammer projection, as a figure places them.

Then the scaling section (scaling.py): the model's prediction of
the speed-up on many workers, and, through a get_nprocs preload shim, the
speed-up measured at the worker counts this machine's cores allow.

    python bench/bench_mesh.py [--runs N] [--out DIR] [--only NAME ...]
        [--scaling-only] [--scaling-tool PATH] [--shim PATH] [--sweep 1,2,4,8,16]

Writes DIR/bench.json and the chart DIR/bench.svg, with a PNG copy
DIR/bench.png where cairosvg is installed (DIR defaults to out/).

The jobs live beside this driver: workloads.py (the meshes), peers.py (the
ways to draw them), runs.py (one-worker timing, targets, the table),
scaling.py (the scaling section) and chart.py (the SVG). ab.py compares two
builds.
"""
import argparse
import json
import os
import platform
import sys

import numpy as np

from chart import draw_chart, svg_to_png
from runs import check_targets, print_table, run_workload
from scaling import SCALING_WORKLOADS, SWEEP, run_scaling, time_scaling_workloads
from workloads import workloads

HERE = os.path.dirname(os.path.abspath(__file__))


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