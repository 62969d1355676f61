"""What draw_quad_mesh leaves behind in a long-running process.

References and memory over thousands of calls on every path; many threads
drawing at once; drawing after fork; processes that exit while the pool is
idle, right after a thread drew, or while daemon threads are drawing.
"""
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc

import numpy as np
import pytest

import call_paths
import quadlite
from mesh_cases import large_mesh_case, mesh_case, pool_sized_case, reaches_pool

HERE = os.path.dirname(os.path.abspath(__file__))


# --- references and memory ----------------------------------------------------------------

@pytest.mark.parametrize("name", sorted(call_paths.PATHS))
def test_repeated_calls_leave_reference_counts_unchanged(name):
    host, args, outcome = call_paths.PATHS[name]()
    objects = call_paths.tracked_objects(host, args)
    for _ in range(3):  # first-use caches (numpy's API, the pool, pybind11's internals)
        call_paths.run(host, args, outcome, quadlite)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(1000):
        call_paths.run(host, args, outcome, quadlite)
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    changed = [(type(o).__name__, b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed, changed


def _all_paths_once(calls):
    for host, args, outcome in calls:
        call_paths.run(host, args, outcome, quadlite)


def test_python_memory_does_not_grow_over_thousands_of_calls():
    calls = [build() for build in call_paths.PATHS.values()]
    for _ in range(20):
        _all_paths_once(calls)
    tracemalloc.start()
    try:
        for _ in range(200):
            _all_paths_once(calls)
        growth = []
        for _ in range(4):
            gc.collect()
            start, _ = tracemalloc.get_traced_memory()
            for _ in range(1000):
                _all_paths_once(calls)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - start)
    finally:
        tracemalloc.stop()
    # One leaked object of the smallest kind (a float, 24 bytes) on any one
    # path adds 24 kB to every window of 1000 rounds. Caches (numpy keeps
    # small blocks for reuse) may grow in one window or another, not in all.
    assert min(growth) < 12 * 1024, f"grew by {growth} bytes"


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_does_not_grow_over_thousands_of_draws():
    # Many quads per call, enough for the pool: a quad list, a band index or a
    # buffer view kept by any call would add over 100 kB a call, hundreds of
    # MB over the run.
    case = large_mesh_case(5, rows=60, cols=80, W=130, H=130)
    assert reaches_pool(case)
    renderer = case.renderer()
    drawn = case.args(renderer)
    declining = list(case.args(renderer))
    declining[4] = declining[4].copy()
    declining[4][-1, -1, 0] = np.nan  # found by the prepare pass, after the lists are filled
    declining = tuple(declining)
    host = call_paths.Host(renderer)

    def draw_both():
        assert quadlite.draw_quad_mesh(host, *drawn) is None
        assert quadlite.draw_quad_mesh(host, *declining) is host.result

    for _ in range(200):
        draw_both()
    start = _resident_bytes()
    for _ in range(2000):
        draw_both()
    grown = _resident_bytes() - start
    assert grown < 16 * 2 ** 20, f"resident size grew by {grown / 2 ** 20:.1f} MB"


# --- threads ----------------------------------------------------------------------------------

def _memory(renderer):
    return np.asarray(renderer.base).copy()


def _host_image(case):
    r = case.renderer()
    r.draw_quad_mesh(*case.args(r))
    return _memory(r)


def test_many_threads_drawing_at_once_draw_what_the_host_draws():
    threads, seconds = 8, 2.0
    cases = [[mesh_case(1000 * t + k) for k in range(6)] + [pool_sized_case(t)]
             for t in range(threads)]
    expected = [[_host_image(c) for c in row] for row in cases]
    # Calls that decline or raise, interleaved with the drawing; a thread's own.
    others = [[call_paths.PATHS[name]() for name in ("declined, non-finite vertex",
                                                      "raised, read-only buffer",
                                                      "declined, alpha")]
              for _ in range(threads)]
    rounds = [0] * threads
    errors = []
    barrier = threading.Barrier(threads)
    deadline = time.monotonic() + seconds

    def draw(t):
        try:
            barrier.wait()
            while rounds[t] == 0 or time.monotonic() < deadline:
                for case, want in zip(cases[t], expected[t]):
                    r = case.renderer()
                    assert quadlite.draw_quad_mesh(r.draw_quad_mesh, *case.args(r)) is None
                    assert r.host_calls == [], case
                    assert np.array_equal(_memory(r), want), case
                    call_paths.run(*others[t][rounds[t] % len(others[t])], quadlite)
                rounds[t] += 1
        except BaseException as error:  # reported on the test's thread
            errors.append((t, error))

    workers = [threading.Thread(target=draw, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=120)
    assert not any(w.is_alive() for w in workers), "a drawing thread hangs"
    assert not errors, errors
    assert min(rounds) >= 1


# --- process life (each in a fresh interpreter) ------------------------------------------------

PRELUDE = textwrap.dedent("""
    import os, sys, threading, time, warnings
    # From 3.12 fork() warns whenever another thread runs: the drawing threads
    # below, and numpy's own BLAS threads, which some builds start at import.
    warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
    import numpy as np
    import quadlite
    from mesh_cases import pool_sized_case, stacked_mesh_case

    def draws_like_the_host(seed):
        case = pool_sized_case(seed)
        fast, host = case.renderer(), case.renderer()
        if quadlite.draw_quad_mesh(fast.draw_quad_mesh, *case.args(fast)) is not None:
            return False
        host.draw_quad_mesh(*case.args(host))
        return fast.host_calls == [] and np.array_equal(np.asarray(fast.base),
                                                        np.asarray(host.base))

    def keep_drawing(stop=None, started=None):
        # A few cells over a 512 x 512 image: enough pixels for the pool, and
        # the passes end and start again often.
        case = stacked_mesh_case(1, 4, rows=512, cols=512)
        r = case.renderer()
        args = case.args(r)
        while stop is None or not stop.is_set():
            if started is not None:
                started.set()
            assert quadlite.draw_quad_mesh(r.draw_quad_mesh, *args) is None
""")


def run_script(body, timeout=120):
    """Runs PRELUDE + body in a fresh interpreter; returns the finished process."""
    env = dict(os.environ, PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], cwd=HERE,
                          env=env, capture_output=True, text=True, timeout=timeout)


def assert_clean_exit(run, stdout="ok\n"):
    assert run.returncode == 0, (run.returncode, run.stderr[-3000:])
    assert run.stderr == ""
    assert run.stdout == stdout


def _workers_under_the_shim():
    """The pool's worker count where the get_nprocs preload shim (tests/shim)
    sets the hardware threads, as `make test-multiworker` does; else None."""
    nprocs = os.environ.get("SHIM_NPROCS", "")
    if "nprocs_shim" not in os.environ.get("LD_PRELOAD", "") or not nprocs.isdigit():
        return None
    return max(1, int(nprocs) // 2)


@pytest.mark.skipif(_workers_under_the_shim() is None, reason="not under the get_nprocs shim")
def test_pool_sized_calls_run_on_the_workers_the_shim_asks_for():
    # The first pool-sized call starts the workers; each later pass offers
    # work to all but one of them (the caller takes a share), which wakes
    # them: each wake-up ends in a voluntary context switch.
    run = run_script("""
        def sleeps(task):
            with open(f"/proc/self/task/{task}/status") as f:
                return next(int(line.split()[1]) for line in f
                            if line.startswith("voluntary_ctxt_switches"))

        case = pool_sized_case(1)
        host = case.renderer()
        host.draw_quad_mesh(*case.args(host))  # numpy's own threads, if any, start here
        before = set(os.listdir("/proc/self/task"))
        for round in range(5):
            if round == 1:
                workers = sorted(set(os.listdir("/proc/self/task")) - before)
                start = {t: sleeps(t) for t in workers}
            fast = case.renderer()
            assert quadlite.draw_quad_mesh(fast.draw_quad_mesh, *case.args(fast)) is None
            assert np.array_equal(np.asarray(fast.base), np.asarray(host.base))
        print(len(workers), sum(sleeps(t) > start[t] for t in workers))
    """)
    assert run.returncode == 0 and run.stderr == "", run.stderr[-3000:]
    started, woken = map(int, run.stdout.split())
    workers = _workers_under_the_shim()
    assert started == workers
    assert woken >= workers - 1, f"{woken} of {workers} workers ever woken"


FORK = {
    "after the parent drew": """
        assert draws_like_the_host(1)
        pid = os.fork()
        if pid == 0:
            os._exit(0 if all(draws_like_the_host(s) for s in range(2, 12)) else 3)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        assert draws_like_the_host(40)
        print("ok")
    """,
    "child exits normally after drawing": """
        assert draws_like_the_host(1)
        pid = os.fork()
        if pid == 0:
            ok = draws_like_the_host(2)
            sys.stdout.flush()
            sys.exit(0 if ok else 3)  # through atexit: the child's own pool shuts down
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        assert draws_like_the_host(3)
        print("ok")
    """,
    "grandchild": """
        assert draws_like_the_host(1)
        pid = os.fork()
        if pid == 0:
            ok = draws_like_the_host(2)
            grandchild = os.fork()
            if grandchild == 0:
                os._exit(0 if draws_like_the_host(3) else 3)
            status = os.waitstatus_to_exitcode(os.waitpid(grandchild, 0)[1])
            os._exit(0 if ok and status == 0 and draws_like_the_host(4) else 3)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        print("ok")
    """,
    "while other threads draw": """
        stop, started = threading.Event(), threading.Event()
        drawers = [threading.Thread(target=keep_drawing, args=(stop, started)) for _ in range(3)]
        for t in drawers:
            t.start()
        started.wait()
        for k in range(5):
            pid = os.fork()
            if pid == 0:
                os._exit(0 if all(draws_like_the_host(10 * k + s) for s in range(3)) else 3)
            assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0, k
            time.sleep(0.01)
        stop.set()
        for t in drawers:
            t.join()
        print("ok")
    """,
}


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("name", sorted(FORK))
def test_forked_children_draw_like_the_host(name):
    assert_clean_exit(run_script(FORK[name]))


EXIT = {
    "import only": """
        print("ok")
    """,
    "pool idle": """
        assert draws_like_the_host(1)
        time.sleep(0.05)  # workers back to waiting
        print("ok")
    """,
    "sys.exit right after drawing": """
        assert draws_like_the_host(1)
        print("ok")
        sys.exit(0)
    """,
    "last thread ends right after drawing": """
        def draw_then_end():
            assert draws_like_the_host(1)
            print("ok")
        threading.Thread(target=draw_then_end).start()
        # the main thread is done; the process ends with the drawing thread
    """,
    "os._exit from a thread right after drawing": """
        def draw_then_exit():
            ok = draws_like_the_host(1)
            print("ok" if ok else "wrong image")
            sys.stdout.flush()
            os._exit(0)
        threading.Thread(target=draw_then_exit).start()
        time.sleep(60)
    """,
    "daemon threads still drawing": """
        started = threading.Event()
        for _ in range(3):
            threading.Thread(target=keep_drawing, kwargs={"started": started},
                             daemon=True).start()
        started.wait()
        time.sleep(float(sys.argv[1]) if len(sys.argv) > 1 else 0.02)
        print("ok")
    """,
}


@pytest.mark.parametrize("name", sorted(EXIT))
def test_process_exits_cleanly(name):
    assert_clean_exit(run_script(EXIT[name]))


def test_process_exits_cleanly_whenever_daemon_threads_are_caught_drawing():
    # Where the interpreter's finalization meets a drawing thread depends on
    # timing: in a pass, handing over between passes (when the pool's exit
    # hook may have joined the workers), or back in Python.
    for delay in (0.0, 0.001, 0.003, 0.005, 0.011, 0.017, 0.023, 0.037, 0.06, 0.1) * 2:
        run = run_script(EXIT["daemon threads still drawing"].replace(
            'float(sys.argv[1]) if len(sys.argv) > 1 else 0.02', repr(delay)))
        assert_clean_exit(run)
