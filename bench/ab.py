"""A/B comparison of two builds of quadlite, on bench_mesh.py's workloads.

    python bench/ab.py A B [--only NAME ...] [--rounds N] [--runs N] [--opencv]
        [--workers KA,KB] [--shim PATH]

A and B are each a wheel (installed with pip --no-deps --target into a
temporary folder), a module file (quadlite*.so, copied into one) or a folder
that holds the module. Each side runs in a process of its own with that
folder first on PYTHONPATH; the processes alternate A, B, A, B ... for
--rounds rounds, each drawing every workload --runs times. Printed per
workload: the best time of each side, B/A, and whether the two images are
byte-identical. --opencv adds the OpenCV loop's time (timed once, in A's
first process) and each side's speed-up over it.

--workers KA,KB runs side A with KA workers and side B with KB, through the
get_nprocs preload shim (default build/shim/libnprocs_shim.so, `make bench`
builds it). The same build on both sides gives the speed-up of KB workers
over KA: `ab.py W W --workers 1,2 --only curvilinear map_quarter_degree`.

    python bench/ab.py --cpp A_BENCH B_BENCH [--only SCENE ...] [-- BENCH_ARGS]

compares two quadlite_bench binaries under callgrind (--branch-sim=yes):
instructions and simulated branch misses of render_job/SCENE, one iteration
in a process of its own per scene and binary (default: every scene), per
iteration and per quad. The count covers the benchmark function's body
(a one-worker pool made once, and the job) less its zeroing of the image.
"""
import argparse
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, os.pardir))
DEFAULT_SHIM = os.path.join(REPO, "build", "shim", "libnprocs_shim.so")


# --- The Python module: one side's process ---------------------------------------------

def child(names, runs, with_opencv):
    """Times each named workload through the module on PYTHONPATH; prints JSON."""
    import peers
    from runs import block_for, median_time
    from workloads import workloads

    out = {"module": peers.quadlite.__file__, "workloads": {}}
    for wl in workloads():
        if wl.name not in names:
            continue
        renderer = peers.new_renderer(wl)
        args = peers.call_args(renderer, wl)
        peers.draw_quadlite(renderer, args)
        digest = hashlib.sha256(renderer.pixels.tobytes()).hexdigest()
        _, times = median_time(lambda: peers.draw_quadlite(renderer, args), runs, wl.calls)
        entry = {"ms": min(times) * 1e3, "sha256": digest}
        if with_opencv:
            entry["opencv_ms"] = block_for(wl, peers.opencv_loop, max(3, runs // 2))[0] * 1e3
        out["workloads"][wl.name] = entry
    print(json.dumps(out))


def module_folder(path, tmp, side):
    """A folder holding the module of `path` (a wheel, a module file or a folder)."""
    path = os.path.abspath(path)
    if os.path.isdir(path):
        return path
    folder = os.path.join(tmp, side)
    os.makedirs(folder)
    if path.endswith(".whl"):
        subprocess.run([sys.executable, "-m", "pip", "-qq", "install", "--no-deps",
                        "--target", folder, path], check=True)
    else:
        shutil.copy(path, folder)
    return folder


def run_side(folder, names, runs, workers, shim, with_opencv):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [folder] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    if workers is not None:
        env.update(LD_PRELOAD=shim, SHIM_NPROCS=str(2 * workers))
    command = [sys.executable, os.path.abspath(__file__), "--child", str(runs),
               "--only", *names] + (["--opencv"] if with_opencv else [])
    text = subprocess.run(command, env=env, check=True, capture_output=True,
                          text=True).stdout
    result = json.loads(text.splitlines()[-1])
    if not os.path.abspath(result["module"]).startswith(folder + os.sep):
        raise RuntimeError(f"the side's process loaded {result['module']}, not from {folder}")
    return result


def compare_modules(opts):
    from workloads import workloads
    known = [wl.name for wl in workloads()]
    names = opts.only or known
    unknown = sorted(set(names) - set(known))
    if unknown:
        sys.exit(f"unknown workloads: {', '.join(unknown)}")
    workers = opts.workers or (None, None)
    if opts.workers and not os.path.exists(opts.shim):
        sys.exit(f"no shim at {opts.shim} (make bench, or make {os.path.relpath(opts.shim)})")

    best = {"A": {}, "B": {}}
    digests = {"A": {}, "B": {}}
    opencv = {}
    with tempfile.TemporaryDirectory() as tmp:
        folders = {"A": module_folder(opts.a, tmp, "A"), "B": module_folder(opts.b, tmp, "B")}
        for rnd in range(opts.rounds):
            for side, k in zip("AB", workers):
                print(f"round {rnd + 1}/{opts.rounds}, {side} ...", file=sys.stderr, flush=True)
                with_opencv = opts.opencv and side == "A" and rnd == 0
                result = run_side(folders[side], names, opts.runs, k, opts.shim, with_opencv)
                for name, entry in result["workloads"].items():
                    best[side][name] = min(best[side].get(name, float("inf")), entry["ms"])
                    digests[side].setdefault(name, set()).add(entry["sha256"])
                    if "opencv_ms" in entry:
                        opencv[name] = entry["opencv_ms"]

    label = {side: side + (f" ({k} w)" if k is not None else "")
             for side, k in zip("AB", workers)}
    print(f"A: {opts.a}\nB: {opts.b}\nbest of {opts.rounds} rounds x {opts.runs} runs, "
          f"processes alternating A, B")
    head = (f"{'workload':<20}{label['A'] + ' ms':>14}{label['B'] + ' ms':>14}{'B/A':>7}"
            f"{'A/B':>7}  {'images':<10}")
    if opencv:
        head += f"{'OpenCV ms':>11}{'x OpenCV A':>11}{'x OpenCV B':>11}"
    print(head)
    print("-" * len(head))
    for name in names:
        a, b = best["A"][name], best["B"][name]
        same = len(digests["A"][name] | digests["B"][name]) == 1
        line = (f"{name:<20}{a:>14.3f}{b:>14.3f}{b / a:>7.3f}{a / b:>7.2f}  "
                f"{'identical' if same else 'DIFFERENT':<10}")
        if name in opencv:
            line += f"{opencv[name]:>11.1f}{opencv[name] / a:>11.1f}{opencv[name] / b:>11.1f}"
        print(line)


# --- The C++ benchmark under callgrind -------------------------------------------------

def callgrind_render_job(binary, scene, tmp, extra):
    """(instructions, branch misses, quads) of one render_job/<scene> iteration."""
    out = os.path.join(tmp, "callgrind.out")
    report = os.path.join(tmp, "bench.json")
    # A tiny minimum time: the first trial, one iteration, is the result.
    subprocess.run(["valgrind", "--tool=callgrind", "--branch-sim=yes",
                    f"--callgrind-out-file={out}", "--toggle-collect=*render_job_one_worker*",
                    binary, f"--benchmark_filter=^render_job/{scene}$",
                    "--benchmark_min_time=1e-9", f"--benchmark_out={report}",
                    "--benchmark_out_format=json", *extra],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(report) as f:
        bench = json.load(f)["benchmarks"]
    if len(bench) != 1:
        raise RuntimeError(f"{binary}: {len(bench)} benchmarks match render_job/{scene}")
    run = bench[0]
    iterations = run["iterations"]
    seconds = run["cpu_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
    quads = round(run["items_per_second"] * seconds)
    counts = collected_less_zeroing(out)
    misses = counts.get("Bcm", 0) + counts.get("Bim", 0)
    for path in glob.glob(out + "*"):
        os.remove(path)
    return counts["Ir"] / iterations, misses / iterations, quads


def collected_less_zeroing(path):
    """The events callgrind collected, less the memset calls the benchmark function
    makes itself: zeroing its image, which valgrind counts at one instruction a
    byte (rep stosb), would otherwise outweigh a fast job on a large image."""
    events, totals, zeroing = None, None, None
    names, fn, cfn, call_cost_next = {}, "", "", False
    with open(path) as f:
        for line in f:
            if call_cost_next:
                call_cost_next = False
                if "render_job_one_worker" in fn and "memset" in cfn:
                    values = [int(v) for v in line.split()[1:]]
                    for k, v in enumerate(values):
                        zeroing[k] += v
            elif line.startswith(("fn=", "cfn=")):
                key, rest = line.rstrip("\n").split("=", 1)
                match = re.match(r"\((\d+)\)(?: (.*))?$", rest)
                if match:
                    if match[2]:
                        names[match[1]] = match[2]
                    rest = names.get(match[1], "")
                if key == "fn":
                    fn = rest
                else:
                    cfn = rest
            elif line.startswith("calls="):
                call_cost_next = True
            elif line.startswith("events:"):
                events = line.split()[1:]
                zeroing = [0] * len(events)
            elif line.startswith("totals:"):
                totals = [int(v) for v in line.split()[1:]]
    return {e: t - z for e, t, z in zip(events, totals, zeroing)}


def scene_names(binary):
    listed = subprocess.run([binary, "--benchmark_list_tests", "--benchmark_filter=^render_job/"],
                            check=True, capture_output=True, text=True).stdout.split()
    return [name.split("/", 1)[1] for name in listed]


def compare_binaries(opts):
    scenes = opts.only or scene_names(opts.a)
    print(f"A: {opts.a}\nB: {opts.b}\ncallgrind --branch-sim=yes, render_job/<scene>, "
          f"one iteration (a one-worker pool), per iteration and per quad")
    head = (f"{'scene':<20}{'quads':>9}{'A Ir':>14}{'B Ir':>14}{'B/A':>7}{'A Ir/q':>9}"
            f"{'B Ir/q':>9}{'A miss':>11}{'B miss':>11}{'A miss/q':>10}{'B miss/q':>10}")
    print(head)
    print("-" * len(head))
    with tempfile.TemporaryDirectory() as tmp:
        for scene in scenes:
            print(f"{scene} ...", file=sys.stderr, flush=True)
            a_ir, a_miss, quads = callgrind_render_job(opts.a, scene, tmp, opts.bench_args)
            b_ir, b_miss, _ = callgrind_render_job(opts.b, scene, tmp, opts.bench_args)
            q = max(1, quads)
            print(f"{scene:<20}{quads:>9}{a_ir:>14.0f}{b_ir:>14.0f}{b_ir / a_ir:>7.3f}"
                  f"{a_ir / q:>9.1f}{b_ir / q:>9.1f}{a_miss:>11.0f}{b_miss:>11.0f}"
                  f"{a_miss / q:>10.3f}{b_miss / q:>10.3f}", flush=True)


def main(argv):
    argv = argv[1:]
    bench_args = []
    if "--" in argv:
        at = argv.index("--")
        argv, bench_args = argv[:at], argv[at + 1:]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a", nargs="?")
    parser.add_argument("b", nargs="?")
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--opencv", action="store_true")
    parser.add_argument("--workers", type=lambda t: tuple(int(v) for v in t.split(",")))
    parser.add_argument("--shim", default=DEFAULT_SHIM)
    parser.add_argument("--cpp", action="store_true")
    parser.add_argument("--child", type=int, default=None, help=argparse.SUPPRESS)
    opts = parser.parse_args(argv)
    opts.bench_args = bench_args
    if opts.child is not None:
        child(opts.only, opts.child, opts.opencv)
        return 0
    if opts.a is None or opts.b is None:
        parser.error("A and B are needed")
    if opts.workers is not None and len(opts.workers) != 2:
        parser.error("--workers takes two counts, KA,KB")
    if opts.cpp:
        compare_binaries(opts)
    else:
        compare_modules(opts)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
