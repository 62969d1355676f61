"""A/B of two builds of the module on every workload of bench_mesh.py.

    python bench/ab_modules.py [--rounds N] [--runs N] [--only NAME ...] DIR_A DIR_B

Each DIR holds a built quadlite extension (e.g. a meson build's src/module,
or an unpacked wheel). The builds run in alternating processes, A B A B ...,
each process timing every workload (best of --runs draws); a workload's time
is then the best over the rounds, which keeps this machine's noise out of
the ratio better than a median. Every drawing must be byte-identical between
the two builds; the image digests are compared.
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def child(module_dir, runs, only):
    sys.path.insert(0, os.path.abspath(module_dir))
    sys.path.insert(1, HERE)
    import bench_mesh
    import quadlite
    if os.path.dirname(os.path.abspath(quadlite.__file__)) != os.path.abspath(module_dir):
        sys.exit(f"ab_modules: quadlite imported from {quadlite.__file__}")
    out = {}
    for wl in bench_mesh.workloads():
        if only and wl.name not in only:
            continue
        renderer = bench_mesh.new_renderer(wl)
        args = bench_mesh.call_args(renderer, wl)
        bench_mesh.draw_quadlite(renderer, args)  # warm-up, and the image to compare
        digest = hashlib.sha256(renderer.pixels.tobytes()).hexdigest()
        best = float("inf")
        for _ in range(runs):
            start = time.perf_counter()
            for _ in range(wl.calls):
                bench_mesh.draw_quadlite(renderer, args)
            best = min(best, (time.perf_counter() - start) / wl.calls)
        out[wl.name] = {"seconds": best, "digest": digest}
    json.dump(out, sys.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dirs", nargs=2, metavar="DIR")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--only", nargs="*", default=[])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.child:
        child(opts.dirs[0], opts.runs, set(opts.only))
        return
    best = [{}, {}]
    digests = [{}, {}]
    for round_ in range(opts.rounds):
        for side in (0, 1):
            cmd = [sys.executable, os.path.abspath(__file__), "--child", "--runs", str(opts.runs),
                   opts.dirs[side], opts.dirs[side]]
            if opts.only:
                cmd += ["--only", *opts.only]
            result = json.loads(subprocess.run(cmd, check=True, capture_output=True,
                                               text=True).stdout)
            for name, entry in result.items():
                best[side][name] = min(best[side].get(name, float("inf")), entry["seconds"])
                digests[side].setdefault(name, entry["digest"])
                if digests[side][name] != entry["digest"]:
                    sys.exit(f"ab_modules: {name} drew differently from one run to the next")
        print(f"round {round_ + 1} of {opts.rounds} done", file=sys.stderr)
    print(f"{'workload':14} {'A ms':>9} {'B ms':>9} {'B/A':>6}  image")
    worst = 0.0
    for name in best[0]:
        a, b = best[0][name] * 1e3, best[1][name] * 1e3
        same = "same" if digests[0][name] == digests[1][name] else "DIFFERS"
        worst = max(worst, b / a)
        print(f"{name:14} {a:9.3f} {b:9.3f} {b / a:6.3f}  {same}")
    print(f"A: {opts.dirs[0]}\nB: {opts.dirs[1]}\nworst B/A: {worst:.3f}")
    if any(digests[0][n] != digests[1][n] for n in best[0]):
        sys.exit("ab_modules: the builds drew different bytes")


if __name__ == "__main__":
    main()
