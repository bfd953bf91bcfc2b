#!/usr/bin/python3
"""The suite's last test: no process of any of this build's test roots still
runs. A process belongs to a root when its command line, its working folder
or its KIVO_ROOT names a root: one of the prefixes given followed by a root's
own name (mkdtemp's letters and digits). The prefix alone is no root: a
compile of the tests in the same tree while they run has it in its command
line (-DKIVO_TEST_ROOTS="PREFIX"), and so has a test's own --root-prefix.
Each one found is listed, stopped with its process group, and fails the test.

  no_leftover_processes.py PREFIX...
"""

import os
import re
import signal
import sys
import time


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def leftovers(prefixes):
    found = {}
    root = re.compile("|".join(re.escape(p) + "[A-Za-z0-9_]" for p in prefixes))
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        args = read("/proc/%s/cmdline" % pid).replace("\0", " ")
        try:
            cwd = os.readlink("/proc/%s/cwd" % pid)
        except OSError:
            cwd = ""
        roots = [v[len("KIVO_ROOT="):] for v in read("/proc/%s/environ" % pid).split("\0")
                 if v.startswith("KIVO_ROOT=")]
        if any(root.search(text) for text in [args, cwd] + roots):
            found[int(pid)] = args
    return found


def main():
    prefixes = sys.argv[1:]
    if not prefixes:
        sys.exit("usage: no_leftover_processes.py PREFIX...")
    found = leftovers(prefixes)
    if not found:
        return 0
    # A process left in ctest's group (or ours) is stopped alone.
    ours = {os.getpgrp(), os.getpgid(os.getppid())}
    groups, alone = set(), set()
    for pid, args in sorted(found.items()):
        try:
            group = os.getpgid(pid)
        except OSError:
            continue
        print("still running: %d (group %d): %s" % (pid, group, args))
        (alone if group in ours else groups).add(pid if group in ours else group)
    for sig, pause in ((signal.SIGTERM, 2), (signal.SIGKILL, 0)):
        for kill, ids in ((os.killpg, groups), (os.kill, alone)):
            for i in ids:
                try:
                    kill(i, sig)
                except OSError:
                    pass
        time.sleep(pause)
    return 1


if __name__ == "__main__":
    sys.exit(main())
