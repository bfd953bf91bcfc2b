#!/usr/bin/env python3
"""The rooms' includes against the drawing in docs/ARCHITECTURE.md.

The drawing's table (between "<!-- rooms -->" and "<!-- /rooms -->") names
each room and the rooms it may include ("A -> B C"), and includes a room must
not make inside another ("A !-> B"). Every `#include "x/..."` of a C or C++
file in a room must name its own room or one it may include; a file belongs
to the longest room its path starts with ("kivo/" is include/kivo/). The
table itself must hold no circle, and every folder of C or C++ files inside
a room must be named in it, so that the drawing cannot fall behind the
folders.

The host knows the module only through its API table: no file of host/
(sources and build files) names an API of the module ("KIVO.Core..." in
quotes, other than the module's file name), nor a source file of caldav/.
Prints each offending line; fails on any.
"""
import os
import re
import sys

src = sys.argv[1]
doc = open(os.path.join(src, "docs", "ARCHITECTURE.md"), encoding="utf-8").read()
table = doc.split("<!-- rooms -->")[1].split("<!-- /rooms -->")[0]
allowed, forbidden, named = {}, set(), set()
for line in table.splitlines():
    m = re.match(r"\s*(\S+/)\s+(!?->)\s*(.*)", line)
    if not m:
        continue
    room, arrow, rest = m.groups()
    named.add(room)
    targets = [t for t in rest.split() if t.endswith("/")]
    if arrow == "->":
        allowed[room] = set(targets)
    else:
        forbidden.update((room, t) for t in targets)


def room_of(path):
    rooms = [r for r in allowed if path.startswith(r)]
    return max(rooms, key=len) if rooms else None


faults = []
unnamed = set()
seen = set()
def circle(room, path):
    if room in path:
        faults.append("the drawing has a circle: " + " -> ".join(path + [room]))
        return
    if room in seen:
        return
    seen.add(room)
    for target in allowed.get(room, ()):
        if target != room:
            circle(target, path + [room])
for room in allowed:
    circle(room, [])

for top, dirs, files in os.walk(src):
    dirs[:] = [d for d in dirs if not d.startswith(".") and not d.startswith("build")]
    for name in files:
        if not name.endswith((".c", ".cc", ".h")):
            continue
        path = os.path.relpath(os.path.join(top, name), src)
        own = room_of(path[len("include/"):] if path.startswith("include/kivo/") else path)
        if own is None:
            continue  # tests, benchmarks, the fuzzer: not rooms
        folder = os.path.dirname(path) + "/"
        if folder.startswith("include/kivo/"):
            folder = folder[len("include/"):]
        if folder not in named and folder not in unnamed:
            unnamed.add(folder)
            faults.append(f"{folder}: a folder of the room {own} that the drawing does not name")
        for number, line in enumerate(open(os.path.join(src, path), encoding="utf-8"), 1):
            m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            target = room_of(m.group(1)) if m else None
            if target is None:
                continue
            if any(path.startswith(a) and m.group(1).startswith(b) for a, b in forbidden) or (
                    target != own and target not in allowed[own]):
                faults.append(f"{path}:{number}: {own} includes {m.group(1)}")

for top, dirs, files in os.walk(os.path.join(src, "host")):
    for name in files:
        if not name.endswith((".c", ".cc", ".h", ".txt", ".cmake")):
            continue
        path = os.path.relpath(os.path.join(top, name), src)
        for number, line in enumerate(open(os.path.join(src, path), encoding="utf-8"), 1):
            if any(not m.group(0).endswith(".so") for m in re.finditer(r'"KIVO\.Core[\w.]*', line)):
                faults.append(f"{path}:{number}: the host names a module API")
            if re.search(r"\bcaldav/\w+\.cc", line):
                faults.append(f"{path}:{number}: the host builds the module's calendar code")

for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
