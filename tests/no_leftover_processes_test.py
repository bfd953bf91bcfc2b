#!/usr/bin/python3
"""no_leftover_processes.py beside a compile of the tests: the compile's
command line holds the roots' prefix (as -DKIVO_TEST_ROOTS="PREFIX" and a
test's --root-prefix PREFIX) and must be left running and unreported, while
the processes a test left in its root (named in their command line, working
in it, or carrying it as KIVO_ROOT) are each reported and stopped. A prefix
of its own keeps the real roots and the suite's own check out of it.

  no_leftover_processes_test.py PATH-OF-no_leftover_processes.py
"""

import os
import shutil
import subprocess
import sys
import tempfile

SLEEP = [sys.executable, "-c", "import time; time.sleep(600)"]


def main():
    check = sys.argv[1]
    prefix = tempfile.mkdtemp(prefix="kivo-leftover-check-") + "/root-"
    root = tempfile.mkdtemp(prefix="root-", dir=os.path.dirname(prefix))
    env = {k: v for k, v in os.environ.items() if k != "KIVO_ROOT"}
    started = []

    def start(args, cwd="/", extra=None):
        started.append(subprocess.Popen(args, cwd=cwd, env=dict(env, **(extra or {})),
                                        start_new_session=True))
        return started[-1]

    try:
        compile_like = start(SLEEP + ['-DKIVO_TEST_ROOTS="%s"' % prefix, "-c", "e2e.cc",
                                      "--root-prefix", prefix], cwd=os.path.dirname(prefix))
        leftovers = [start(SLEEP + ["--root", root]), start(SLEEP, cwd=root),
                     start(SLEEP, extra={"KIVO_ROOT": root + "/sub"})]
        out = subprocess.run([sys.executable, check, prefix], capture_output=True, text=True,
                             timeout=60)
        failures = []
        if out.returncode != 1:
            failures.append("status %d, not 1" % out.returncode)
        reported = {int(line.split()[2]) for line in out.stdout.splitlines()
                    if line.startswith("still running: ")}
        if reported != {p.pid for p in leftovers}:
            failures.append("reported %s, not the leftovers %s"
                            % (sorted(reported), [p.pid for p in leftovers]))
        for p in leftovers:
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                failures.append("leftover %d still runs" % p.pid)
        if compile_like.poll() is not None:
            failures.append("the compile-like process was stopped")
        print(out.stdout, end="")
        for failure in failures:
            print("FAILED:", failure)
        return 1 if failures else 0
    finally:
        for p in started:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(os.path.dirname(prefix), ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
