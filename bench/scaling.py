"""The scaling section.

Where this machine has fewer cores than the pool may have workers elsewhere,
the scaling model predicts the speed-up (bench/scaling_bench.cpp, the
quadlite_scaling tool): the one-worker time split into the serial part and
the passes, every task timed at 2 to 16 shares one after another on one
thread, and the hand-off of an empty parallel_for. Here the intake's own
time (a one-cell call) is added to the serial part. With a preload shim
that answers get_nprocs, the real sweep is measured too, at the worker
counts the cores allow.
"""
import json
import os
import sys

import numpy as np

import peers
from runs import median_time
from workloads import Workload, grid, scale, workloads

SCALING_WORKLOADS = ("curvilinear", "rot14_10", "heatmap", "subpixel", "cells64",
                     "map_quarter_degree", "map_one_degree")
# Predicted speed-up at 8 workers each should reach.
SCALING_TARGETS = {"curvilinear": 6.5, "rot14_10": 6.5, "heatmap": 6.5, "cells64": 5.0,
                   "subpixel": 4.5, "map_quarter_degree": 6.5, "map_one_degree": 6.5}
# Two workers against one, measured.
TWO_WORKER_TARGET = 1.8
SWEEP = (1, 2, 4, 8, 16)
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, os.pardir))
# Runs a sweep's child processes (its --time-workloads).
DRIVER = os.path.join(HERE, "bench_mesh.py")


def find_built(name):
    """The first file called `name` under build/, or None."""
    for root, _, files in sorted(os.walk(os.path.join(REPO, "build"))):
        if name in files:
            return os.path.join(root, name)
    return None


def intake_ms(repeat=2000):
    """The per-call time of a one-cell call: the intake, with almost no job."""
    wl = Workload("intake", "one cell", grid(1, 1), np.ones((1, 4)), scale(1.0), 1)
    renderer = peers.new_renderer(wl)
    args = peers.call_args(renderer, wl)
    peers.draw_quadlite(renderer, args)
    best, _ = min(median_time(lambda: peers.draw_quadlite(renderer, args), 1, repeat)
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
        renderer = peers.new_renderer(wl)
        args = peers.call_args(renderer, wl)
        peers.draw_quadlite(renderer, args)
        _, times = median_time(lambda: peers.draw_quadlite(renderer, args), runs, wl.calls)
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
            text = subprocess.run([sys.executable, DRIVER,
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
