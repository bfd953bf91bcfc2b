#!/usr/bin/python3
"""check_includes.py on small made-up trees: each case is a drawing and a few
files, and what the check must answer. The real tree's run (room_includes)
only shows that today's code passes; these show that the check would fail
the code that breaks the drawing.

  check_includes_test.py PATH-OF-check_includes.py
"""

import os
import subprocess
import sys
import tempfile

DRAWING = """\
host/             -> host/web/ kivo/
host/web/         -> host/low/ kivo/
host/low/         -> kivo/
base/             -> kivo/
kivo/             ->
"""

# name, drawing, {path: text}, expected status, words the output must hold
CASES = [
    ("includes down the drawing", DRAWING,
     {"host/main.cc": '#include "host/web/a.h"\n',
      "host/web/a.h": '#include "host/low/b.h"\n#include "kivo/k.h"\n',
      "host/low/b.h": '#include "host/low/c.h"\n',
      "include/kivo/k.h": ""}, 0, []),
    ("a lower room includes a higher one", DRAWING,
     {"host/low/b.cc": '#include "host/web/a.h"\n', "host/web/a.h": ""}, 1,
     ["host/low/b.cc:1: host/low/ includes host/web/a.h"]),
    ("a room skips one the drawing puts between", DRAWING,
     {"host/main.cc": '\n#include "host/low/b.h"\n', "host/low/b.h": ""}, 1,
     ["host/main.cc:2: host/ includes host/low/b.h"]),
    ("a room includes one beside it", DRAWING,
     {"base/x.h": '#  include "host/low/b.h"\n', "host/low/b.h": ""}, 1,
     ["base/x.h:1: base/ includes host/low/b.h"]),
    ("the contracts include nothing", DRAWING,
     {"include/kivo/k.h": '#include "base/x.h"\n', "base/x.h": ""}, 1,
     ["include/kivo/k.h:1: kivo/ includes base/x.h"]),
    # A folder whose name starts like a room's is no part of it.
    ("a folder the drawing does not name", DRAWING,
     {"host/webx/a.cc": "", "host/web/b/c.h": ""}, 1,
     ["host/webx/: a folder of the room host/", "host/web/b/: a folder of the room host/web/"]),
    ("a folder without C or C++ files needs no name", DRAWING,
     {"host/web/plugins/p.py": "import os\n", "host/main.cc": ""}, 0, []),
    ("tests are no rooms", DRAWING,
     {"tests/host/t.cc": '#include "host/web/a.h"\n', "tests/x/y.h": ""}, 0, []),
    ("a forbidden pair inside an allowed room", DRAWING + "host/web/x/ !-> host/web/y/\n",
     {"host/web/x/a.h": '#include "host/web/y/b.h"\n', "host/web/y/b.h": ""}, 1,
     ["host/web/x/a.h:1: host/web/ includes host/web/y/b.h"]),
    ("a circle in the drawing", DRAWING.replace("host/low/         -> kivo/",
                                                "host/low/         -> host/ kivo/"),
     {}, 1, ["the drawing has a circle"]),
]

# The project's own drawing: the host's rooms each include only those below
# them, and the HTTP and accounts rooms know nothing of each other.
# name, {path: text}, expected status
OWN_CASES = [
    ("the web API reaches into the commands",
     {"host/webapi/a.cc": '#include "host/cli/cli.h"\n'}, 1),
    ("module hosting reaches into the web API",
     {"host/hosting/a.cc": '#include "host/webapi/web_api_server.h"\n'}, 1),
    ("the HTTP room reaches into the accounts",
     {"host/http/a.cc": '#include "host/accounts/accounts.h"\n'}, 1),
    ("the accounts reach into the HTTP room",
     {"host/accounts/a.cc": '#include "host/http/http_daemon.h"\n'}, 1),
    ("the shared room reaches up",
     {"host/common/a.h": '#include "host/accounts/accounts.h"\n'}, 1),
    ("module hosting uses the accounts and the shared room",
     {"host/hosting/a.cc": '#include "host/accounts/accounts.h"\n#include "host/common/decimal.h"\n'},
     0),
]


def run(check, drawing, files):
    with tempfile.TemporaryDirectory() as tree:
        os.makedirs(os.path.join(tree, "docs"))
        with open(os.path.join(tree, "docs", "ARCHITECTURE.md"), "w") as f:
            f.write("# Architecture\n\n<!-- rooms -->\n```\n" + drawing + "```\n<!-- /rooms -->\n")
        for path, text in files.items():
            os.makedirs(os.path.join(tree, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(tree, path), "w") as f:
                f.write(text)
        done = subprocess.run([sys.executable, check, tree], capture_output=True, text=True,
                              timeout=60)
        return done.returncode, done.stdout


def main():
    check = sys.argv[1]
    doc = open(os.path.join(os.path.dirname(os.path.abspath(check)), "..", "docs",
                            "ARCHITECTURE.md"), encoding="utf-8").read()
    own = doc.split("<!-- rooms -->")[1].split("<!-- /rooms -->")[0].replace("```", "")
    cases = CASES + [(name, own, files, status, [next(iter(files)) + ":1: "] if status else [])
                     for name, files, status in OWN_CASES]
    failed = 0
    for name, drawing, files, status, words in cases:
        got, out = run(check, drawing, files)
        missing = [w for w in words if w not in out]
        if got != status or missing:
            failed += 1
            print(f"FAIL {name}: status {got} (want {status}), missing {missing}, output:\n{out}")
        else:
            print(f"ok   {name}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
