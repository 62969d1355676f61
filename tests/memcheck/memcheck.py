#!/usr/bin/env python3
"""Runs Python tests under valgrind's memcheck and fails on quadlite's faults.

Usage: memcheck.py LOG_DIR PYTHON [pytest arguments...]

The interpreter allocates with plain malloc (PYTHONMALLOC=malloc) so that
memcheck sees every object. The interpreter and numpy keep some memory for
the whole process and leave some of it unreachable at exit; that noise is
suppressed (python.supp) or reported only. The run fails when the tests
fail, or when any memcheck error or definite leak has a quadlite frame in
its stack.
"""
import glob
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RECORD_START = re.compile(
    r"^==\d+== (Invalid (read|write|free)|Mismatched free|Conditional jump|Use of uninitialised"
    r"|Syscall param|Source and destination overlap|Argument '.*' of function"
    r"|.* are definitely lost in loss record)")


def records(log_text):
    """The error and leak records of one valgrind log, each as its lines."""
    found, current = [], None
    for line in log_text.splitlines():
        if RECORD_START.match(line):
            current = [line]
            found.append(current)
        elif current is not None:
            if re.match(r"^==\d+== *$", line):
                current = None
            else:
                current.append(line)
    return found


def is_ours(record):
    return any("quadlite" in line for line in record)


def main():
    log_dir, python, pytest_args = sys.argv[1], sys.argv[2], sys.argv[3:]
    os.makedirs(log_dir, exist_ok=True)
    for old in glob.glob(os.path.join(log_dir, "valgrind.*.log")):
        os.remove(old)
    env = dict(os.environ, PYTHONMALLOC="malloc")
    command = ["valgrind", "--tool=memcheck", "--leak-check=full",
               "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
               "--num-callers=50", "--suppressions=" + os.path.join(HERE, "python.supp"),
               "--log-file=" + os.path.join(log_dir, "valgrind.%p.log"),
               python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_args]
    tests = subprocess.run(command, env=env)

    ours, others = [], 0
    for path in sorted(glob.glob(os.path.join(log_dir, "valgrind.*.log"))):
        with open(path) as f:
            for record in records(f.read()):
                if is_ours(record):
                    ours.append((path, record))
                else:
                    others += 1
    for path, record in ours:
        print(f"--- {path}", *record, sep="\n")
    print(f"memcheck: {len(ours)} record(s) from quadlite, {others} from the interpreter or "
          f"numpy (logs in {log_dir})")
    if tests.returncode != 0:
        print(f"memcheck: the tests failed under valgrind (exit status {tests.returncode})")
        return 1
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
