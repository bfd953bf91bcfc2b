#!/usr/bin/python3
"""Runs the examples of README.md and docs/API.md as a reader would: in ```sh blocks, lines
starting "$ " are commands ("\\" at the end goes on), the lines up to the next one the answer it
must print (as JSON where they parse); without one it must succeed. Each file runs in a fresh
folder with a root `devroot` and `build`, daemons on, on loopback, default ports (so in a network
namespace of its own). HOST is 127.0.0.1; `curl -u NAME` and `passwd NAME` get NAME's password.

  doc_examples_test.py --build DIR FILE...
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = ""
FILES = []
PASSWORDS = {"admin": "admin-password", "alice": "alice-password"}


def examples(text):
    """[(line number, command, [answer lines])] of the ```sh blocks."""
    found = []
    fence = None
    current = None  # the command whose answer the block goes on with
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        stripped = line.strip()
        if fence is None:
            if stripped.startswith("```"):
                fence = (stripped[3:].strip(), len(line) - len(line.lstrip()))
                current = None
            i += 1
            continue
        if stripped.startswith("```"):
            fence = None
            i += 1
            continue
        body = line[fence[1]:]
        if fence[0] == "sh" and body.startswith("$ "):
            start = i + 1
            command = body[2:]
            while command.endswith("\\"):
                i += 1
                command += "\n" + lines[i][fence[1]:]
            current = (start, command, [])
            found.append(current)
        elif current is not None and body.strip():
            current[2].append(body)
        i += 1
    return found


def reader_stand_ins(command):
    command = re.sub(r"\bHOST\b", "127.0.0.1", command)
    command = re.sub(r"\bcurl -u (\w+)\b",
                     lambda m: "curl --silent --show-error --fail -o /dev/null -u %s:%s" % (
                         m.group(1), PASSWORDS[m.group(1)]), command)
    user = re.search(r"kivo-webapi passwd (\w+)", command)
    return command, (PASSWORDS[user.group(1)] + "\n") if user else ""


def same_answer(printed, expected):
    try:
        return [json.loads(l) for l in printed] == [json.loads(l) for l in expected]
    except ValueError:
        return printed == expected


class DocExamplesTest(unittest.TestCase):
    def test_examples(self):
        for name in FILES:
            self.run_file(name)

    def run_file(self, name):
        with open(name, encoding="utf-8") as f:
            text = f.read()
        # Every command shown to a reader is in a block this test reads.
        for number, line in enumerate(text.splitlines(), 1):
            self.assertIsNone(re.match(r"^ {4,}(\./build/|curl )", line),
                              "%s:%d: an example outside a ```sh block" % (name, number))
        found = examples(text)
        self.assertTrue(found, "%s has no examples" % name)
        place = tempfile.mkdtemp(prefix="kivo-doc-")
        os.chmod(place, 0o755)  # the daemons' accounts reach the root
        root = os.path.join(place, "devroot")
        env = dict(os.environ, KIVO_ROOT=root, KIVO_DAEMONS="on",
                   KIVO_WEBDAV_ADDRESS="127.0.0.1")
        webapi = os.path.join(BUILD, "kivo-webapi")
        try:
            os.symlink(BUILD, os.path.join(place, "build"))
            os.mkdir(root, 0o755)
            password_file = os.path.join(root, "admin-password")
            with open(os.open(password_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
                f.write(PASSWORDS["admin"] + "\n")
            subprocess.run([webapi, "init", "--admin-password-file", password_file], env=env,
                           check=True, capture_output=True)
            for line, command, expected in found:
                shell, stdin = reader_stand_ins(command)
                with self.subTest("%s:%d" % (os.path.basename(name), line)):
                    done = subprocess.run(["bash", "-c", shell], cwd=place, env=env, input=stdin,
                                          capture_output=True, text=True, timeout=60)
                    said = "%s:%d: %s\nstdout: %s\nstderr: %s" % (
                        name, line, command, done.stdout, done.stderr)
                    if expected:
                        self.assertTrue(same_answer(done.stdout.splitlines(), expected), said)
                    else:
                        self.assertEqual(0, done.returncode, said)
        finally:
            subprocess.run([webapi, "services", "--stop-all"], env=env, capture_output=True)
            shutil.rmtree(place, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("files", nargs="+")
    args, rest = parser.parse_known_args()
    BUILD = os.path.realpath(args.build)
    FILES = args.files
    unittest.main(argv=[sys.argv[0]] + rest)
