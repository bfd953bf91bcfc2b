#!/usr/bin/python3
"""Mutation runs with generated faults: where tests/mutants.sh plants the
faults someone thought of, this tool makes the plain ones nobody named, by
standard operators, in the security- and data-critical sources, and says
which of them the tests let through.

  tests/mutate.py list [--since REV] [--seed S --sample N] [FILE...]
  tests/mutate.py run  [--since REV] [--seed S --sample N | --id ID,...] [--report OUT.tsv]
                       [--scratch DIR] [--timeout SECONDS] [-j N] [--patch P...] [--background]
                       [FILE...]                                              (as root)
  tests/mutate.py score [--since REV] [--seed S --sample N] [--scratch DIR] [FILE...]

The list is deterministic: every mutant of every file, in file, line and
column order, one a line (id, file, line, operator, before, after). A sample
is drawn from it with the seed, so that the same seed names the same mutants
while the sources stay the same; the mutants on lines changed since REV
(committed or not) are always in, on top of the N drawn from the rest.

Operators: comparison flips (< <= > >= == !=), integer literals +-1, && and
|| (and, or) swapped (in a chain that then mixes them, grouped as the chain
reads left to right), conditions of if and while negated, a statement that is
a bare call dropped, a check "if (...) return ...;" (and "if ...: return" or
"raise") dropped, one flag left out of a |-joined set (O_NOFOLLOW | O_CLOEXEC),
returned values swapped (0 and -1, true and false, True, False and None).
Comments, strings, log lines and includes are never mutated.

"run" copies the source once into a scratch folder (kept and reused with
--scratch; by default build-mutate/ beside the source, so that ccache finds
the objects of the other builds), builds it, then for each mutant: writes it
in, builds the targets the file is part of, runs the tests that cover the
file (the COVERAGE table below, in the spirit of the Tests: headers of
tests/mutants/) in a private network namespace with a time limit, and puts
the file back. A mutant is
  killed    when a test fails,
  survived  when every test passes,
  unbuilt   when the source does not build with it,
  timeout   when its tests outlast --timeout (counted as killed: a fault
            that hangs a test is seen),
  stale     when its line is no longer in the source as listed.
--patch judges faults of tests/mutants/ the same way, by their Tests: line,
in the same scratch copy (tests/mutants.sh builds a fresh one under /tmp).
The report (TSV) gets a line per mutant as it is judged, with the seconds it
took; the kill rate counts the mutants that built; the survivors are listed
at the end. Each verdict is also kept in the scratch folder (verdicts/, by
mutant id) and in tests/mutants/verdicts.tsv, committed with the source,
and a later run of the same selection takes it from there, on this machine
or another: a run stopped midway goes on where it stopped (--id judges
again, say a survivor once its test is written). "score" prints the score and the
survivors of a selection from the kept verdicts alone, with how many are
still to judge. Slow: a build and a test run per mutant; a run lowers its
own priority (nice 10), and --background detaches it, its output in the
scratch folder's run.out.
"""

import argparse
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)

# The files mutated: where a fault costs data or lets one user reach
# another's files, or a guesser in.
FILES = [
    "daemons/apache/*.c",
    "daemons/radicale/plugins/*.py",
    "base/*.cc",
    "base/*.c",
    "host/hosting/module_call.cc",
    "caldav/*.cc",
    "host/webapi/*login*.cc",
    "host/webapi/sessions.cc",
    "host/accounts/*.cc",
    "host/hosting/account_changes.cc",
    "host/webapi/account*_endpoints.cc",
    "host/cli/account_commands.cc",
]

# Which build targets a file goes into and which ctest tests cover it, first
# match wins. The regexes name the tests that can see a fault in the file;
# the daemon tests are slow (a daemon per test), so each file names the
# fixtures that exercise it rather than the whole daemon suite.
COVERAGE = [
    ("daemons/apache/kivo_login_brake.c", ["daemons_tests", "mod_kivo_dav", "kivo-webapi"],
     r"^(LoginBrakeTest|HostHttpTest\.LoginsAndTheLoginBrake|"
     r"WebDAVDaemonTest\.(MadeUpNames|OneVerifiedIdentity))"),
    ("daemons/apache/kivo_dav_shared.c", ["daemons_tests", "mod_kivo_dav"],
     r"^(DavSharedTest|WebDAVDaemonTest\.(OneVerifiedIdentity|SlowClients))"),
    ("daemons/apache/kivo_dav_accounts.c", ["daemons_tests", "mod_kivo_dav"],
     r"^(DavAccountsTest|WebDAVDaemonTest\.(OneVerifiedIdentity|EachAccountRuns))"),
    ("daemons/apache/kivo_dav_identity.c", ["daemons_tests", "mod_kivo_dav"],
     r"^(DavIdentityTest|WebDAVDaemonTest\.(EveryRequestActs|EachAccountRuns))"),
    ("daemons/apache/kivo_dav_calendars.c", ["daemons_tests", "mod_kivo_dav"],
     r"^(DavCalendarsTest|WebDAVDaemonTest\.(CalendarFolders|AnotherUsersHome))"),
    ("daemons/apache/kivo_dav_share_access.c", ["daemons_tests", "mod_kivo_dav"],
     r"^(DavShareAccess(Kept)?Test|WebDAVShareAccessTest)\."),
    # The provider: the lock gate's hooks, the property databases opened
    # only where state is kept, a PUT's body gathered into blocks.
    ("daemons/apache/kivo_dav_provider.c", ["mod_kivo_dav"],
     r"^(WebDAVDaemonTest\.(SharesServed|ALockBinds|LocksNeed|LocksNever|FifosSockets)|"
     r"WebDAVTransfersTest\.AnUpload|WebDAVClientsTest\.LitmusPasses)"),
    ("daemons/apache/kivo_dav_space.c", ["daemons_tests", "mod_kivo_dav"],
     r"^(DavSpaceTest|WebDAVQuotaTest)\."),
    ("daemons/apache/kivo_dav_lock_gate.c", ["mod_kivo_dav"],
     r"^(WebDAVDaemonTest\.(ALockBinds|EveryAccountLocks|LocksNeed)|WebDAVClientsTest\.Litmus)"),
    ("daemons/apache/kivo_dav_ical.c", ["daemons_tests", "mod_kivo_dav"],
     r"^(DavIcalTest|WebDAVDaemonTest\.CalendarFolders)"),
    # The CalDAV door (its login, the login field handed over) is in the
    # module too: the CalDAV daemon's suite goes through it; so are the
    # share lists' judgement of a method and the quota figures' reads.
    ("daemons/apache/mod_kivo_dav.c", ["mod_kivo_dav", "caldav_daemon_ctl"],
     r"^(WebDAVDaemonTest|WebDAVTransfersTest|WebDAVShareAccessTest|WebDAVQuotaTest|"
     r"WebDAVClientsTest\.LitmusPasses|caldav_daemon$)"),
    # Copied at configure time: any target has the build look again.
    ("daemons/radicale/plugins/", ["caldav_daemon_ctl"], r"^(caldav_plugins|caldav_daemon)$"),
    # The one identity switch: the WebDAV daemon's threads, the calendar
    # create's own thread and the host's check after each call.
    ("base/thread_identity.c", ["base_tests", "mod_kivo_dav", "kivo-webapi", "kivo_webdav_module"],
     r"(^|/)(ThreadIdentityTest|ModuleCallTest|ModuleCallDeathTest|CalendarCreateTest|"
     r"WebDAVDaemonTest\.(EveryRequestActs|EachAccountRuns))"),
    ("host/hosting/module_call.cc", ["host_tests", "kivo-webapi"],
     r"^(ModuleCallTest|ModuleCallDeathTest|HostCall)"),
    ("base/changes_under_way.cc", ["base_tests", "kivo-webapi", "kivo_webdav_module"],
     r"^(ChangesUnderWayTest|CalendarIdentityTest|"
     r"Changes/(SettingsRecoveryTest|CalendarChangeTest))\."),
    # A base file goes into the platform library, the daemons' and the host's
    # programs: each names the tests of the code that calls it. Parametrized
    # suites are named "Prefix/Suite.Case", hence "(^|/)".
    ("base/pinned_dir.cc", ["base_tests", "unit_tests", "kivo-webapi", "kivo_webdav_module"],
     r"(^|/)(PinnedDirTest|PinnedMoveAcrossTest|CalendarIdentityTest|CalendarChangeTest|"
     r"CalendarCopyFaultTest|Calendar(Set|Create|ListDelete)Test|Hardening(Races|Moves|Paths)Test)\."),
    ("base/process.cc", ["base_tests", "platform_tests", "daemons_tests", "kivo-webapi",
                         "kivo_webdav_module"],
     r"^(FilesTest|PortListeningTest|PortsTest|FirewallTest|SupervisorTest|CalDAVDaemonTest|"
     r"HostInit|ServicesCommandTest|WebDAVDaemonTest\.(PortChange|TakenPort))"),
    ("base/private_log.cc", ["platform_tests", "daemons_tests", "kivo-webapi", "kivo_webdav_module"],
     r"^(PrivateLogTest|CalDAVDaemonTest|WebDAVDaemonTest\.SwitchesTakeEffect)"),
    ("base/file_stamp.cc", ["platform_tests", "daemons_tests", "kivo-webapi", "kivo_webdav_module"],
     r"^(ReadSnapshotTest|SharesTest|AccountsTest|ServicesTest|KivoConfTest|WebDAVConfigTest)\."),
    ("base/share_table.cc", ["base_tests", "platform_tests", "daemons_tests", "host_tests",
                             "kivo-webapi", "kivo_webdav_module"],
     r"^(ShareTableTest|SharesTest|WebDAVConfigTest|StaticFilesTest|CalendarIdentityTest)\."),
    ("base/random_text.cc", ["host_tests", "daemons_tests", "kivo-webapi", "kivo_webdav_module"],
     r"^(SessionsTest|HostInit|CalDAVDaemonTest|HostHttpTest\.HttpsWithTheCertificate)"),
    ("base/", ["base_tests", "platform_tests", "daemons_tests", "kivo-webapi", "kivo_webdav_module"],
     r"(^|/)(PinnedDirTest|ShareTableTest|ReplaceOrderTest|SettingsRecoveryTest|AccountsTest|FilesTest|"
     r"KivoConfTest|PortsTest|ServicesTest|SharesTest|PrivateLogTest|SupervisorTest|FirewallTest|"
     r"CalDAVDaemonTest|WebDAVConfigTest|Hardening(Races|Input)Test|CalendarIdentityTest|HostInit|"
     r"HostCall|WebDAVEndToEndTest)\."),
    # The calendar code runs in the handlers (unit tests on the fake
    # platform), in the module through the host (e2e) and in the host's
    # location rules (host tests).
    ("caldav/caldav.cc", ["unit_tests", "kivo-webapi", "kivo_webdav_module"],
     r"(^|/)(CalDAVSwitchTest|HostCall|SettingsRecoveryTest)\."),
    ("caldav/calendar_location.cc", ["unit_tests", "host_tests", "kivo-webapi", "kivo_webdav_module"],
     r"^(CalendarLocationTest|HostCalendarLocationTest|CreateRuleTest|Calendar(Set|Create)Test|"
     r"Hardening(Paths|Input)Test)\."),
    ("caldav/calendar_registry.cc", ["unit_tests", "host_tests", "kivo-webapi", "kivo_webdav_module"],
     r"^(CalendarRegistryTest|CalendarListDeleteTest|Calendar(Set|Create)Test|HardeningInputTest|"
     r"HostCalendarLocationTest|CalendarEndToEndTest|CalendarIdentityTest)\."),
    ("caldav/", ["unit_tests", "host_tests", "kivo-webapi", "kivo_webdav_module"],
     r"(^|/)(Calendar[A-Za-z]*Test|CalDAVSwitchTest|Hardening[A-Za-z]*Test|HostCalendarLocationTest|"
     r"LogLineTest|"
     r"CreateRuleTest)\."),
    ("host/hosting/account_changes.cc", ["host_tests", "kivo-webapi"],
     r"^(AccountChangeRules|AccountChangesTest|HostAccountsTest)\."),
    # The command line: its own suite runs the program, on a terminal too.
    ("host/cli/", ["host_tests", "kivo-webapi"],
     r"^(HostCommands|HostAccountsTest|HostInit|HostCall)"),
    ("host/", ["host_tests", "kivo-webapi"],
     r"^(SessionsTest|AccountsVersionTest|HostAccountsRuleTest|HostHttpTest|HostAccountsTest|"
     r"ModuleTableRules|HostCalendarLocationTest)\."),
]

# What the tests above run: their programs, and the daemons' and host's
# builds they start. The scratch copy builds these alone.
TEST_TARGETS = ["base_tests", "platform_tests", "unit_tests", "host_tests", "daemons_tests", "e2e_tests",
                "daemon_tests", "caldav_daemon_ctl", "mod_kivo_dav", "kivo-webapi",
                "kivo_webdav_module", "kivo_replace_shim"]

OPERATORS = ("compare", "boundary", "logic", "negate", "drop-call", "drop-check", "flag", "return")

LOG_WORDS = re.compile(
    r"\b(ap_log_\w+|KIVO_LOG|LOCATION_LOG|kd_log_\w+|logger\.\w+|logging\.\w+|"
    r"fprintf|perror|syslog)\b")


class Mutant:
    __slots__ = ("path", "line", "end", "column", "operator", "before", "after", "since")

    def __init__(self, path, line, column, operator, before, after, end=None):
        self.path, self.line, self.column = path, line, column
        self.end = end if end is not None else line
        self.operator, self.before, self.after = operator, before, after
        self.since = False

    @property
    def ident(self):
        text = "\0".join((self.path, str(self.line), str(self.column), self.operator,
                          self.before, self.after))
        return hashlib.sha1(text.encode()).hexdigest()[:10]

    def key(self):
        return (self.path, self.line, self.column, OPERATORS.index(self.operator), self.after)

    def row(self):
        shown = lambda text: text.strip().replace("\t", " ").replace("\n", " \\n ")
        return "\t".join((self.ident, self.path, str(self.line), self.operator,
                          shown(self.before), shown(self.after)))


# ---------------------------------------------------------------- masking

def mask_c(text):
    """The text with comments, string and character literals blanked (their
    quotes kept), so that operators are looked for in code only; lengths and
    line breaks stay, so columns still match."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            raw = c == '"' and re.search(r'R$', text[max(0, i - 1):i]) and \
                not re.search(r'\w', text[max(0, i - 2):i - 1] or " ")
            if raw:  # C++ raw string R"d(...)d"
                m = re.match(r'"([^(\s]*)\(', text[i:])
                close = ")" + (m.group(1) if m else "") + '"'
                j = text.find(close, i + 1)
                j = n if j < 0 else j + len(close)
            else:
                j = i + 1
                while j < n and text[j] != c and text[j] != "\n":
                    j += 2 if text[j] == "\\" else 1
                j = min(j + 1, n)
            out.append(c + re.sub(r"[^\n]", " ", text[i + 1:j - 1]) + text[j - 1])
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def mask_py(text):
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == "#":
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif c in "\"'":
            quote = text[i:i + 3] if text[i:i + 3] in ('"""', "'''") else c
            j = i + len(quote)
            while j < n and not text.startswith(quote, j):
                if len(quote) == 1 and text[j] == "\n":
                    break
                j += 2 if text[j] == "\\" else 1
            j = min(j + len(quote), n)
            inner = text[i + len(quote):j - len(quote)]
            out.append(quote + re.sub(r"[^\n]", " ", inner) + quote)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


# ---------------------------------------------------------------- operators

def matching_paren(code, start):
    """Index of the parenthesis closing the one at start, or -1."""
    depth = 0
    for j in range(start, len(code)):
        if code[j] == "(":
            depth += 1
        elif code[j] == ")":
            depth -= 1
            if depth == 0:
                return j
    return -1


def skipped(code, original):
    stripped = code.strip()
    return (not stripped or stripped.startswith("#") or LOG_WORDS.search(code) is not None
            or re.match(r"\s*(import|from)\s", code) is not None
            or re.match(r"\s*(static_assert|assert)\b", code) is not None)


C_COMPARE = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}


def line_adder(found, path, number, original):
    """The add(operator, start, end, replacement) of one line's mutants."""
    def add(operator, start, end, replacement):
        after = original[:start] + replacement + original[end:]
        found.append(Mutant(path, number, start, operator, original, after))
    return add


def add_comparisons(add, code, table):
    # Comparisons stand between spaces (clang-format spaces binary
    # operators; templates and shifts have none), in Python too.
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
        add("compare", m.start(), m.end(), table[m.group(1)])


def line_mutants_c(path, number, code, original):
    found = []
    add = line_adder(found, path, number, original)
    add_comparisons(add, code, C_COMPARE)
    for m in re.finditer(r"(?<![\w.\]])(\d+)([uUlL]*)\b(?![.xX\w])", code):
        value = int(m.group(1))
        add("boundary", m.start(1), m.end(1), str(value + 1))
        if value > 0:
            add("boundary", m.start(1), m.end(1), str(value - 1))
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        open_at = m.end() - 1
        close_at = matching_paren(code, open_at)
        if close_at < 0:
            continue
        inner = original[open_at + 1:close_at]
        if re.match(r"\s*(const\s+)?[\w:<>]+\s*[*&]?\s*\w+\s*=", code[open_at + 1:close_at]):
            continue  # a declaration in the condition
        add("negate", open_at + 1, close_at, "!(" + inner + ")")
    # A flag left out of a |-joined set of constants.
    for m in re.finditer(r"\b[A-Z][A-Z0-9_]{2,}(?:\s*\|\s*[A-Z][A-Z0-9_]{2,})+\b", code):
        flags = [f for f in re.finditer(r"[A-Z][A-Z0-9_]{2,}", m.group())]
        for f in flags:
            add("flag", m.start(), m.end(), " | ".join(g.group() for g in flags if g is not f))
    m = re.match(r"(\s*)return\s+(0|-1|true|false|NULL|nullptr)\s*;", code)
    if m:
        swap = {"0": "-1", "-1": "0", "true": "false", "false": "true", "NULL": "(void *)1",
                "nullptr": None}[m.group(2)]
        if swap:
            start = code.index(m.group(2), m.end(1))
            add("return", start, start + len(m.group(2)), swap)
    # A statement that is a bare call: f(...); a.b(...); ns::f(...); p->f(...);
    m = re.match(r"(\s*)(?:\(void\)\s*)?[A-Za-z_][\w]*(?:(?:::|\.|->)[A-Za-z_]\w*)*\s*\(", code)
    if m and not re.match(r"\s*(if|while|for|switch|return|sizeof|else)\b", code):
        close_at = matching_paren(code, m.end() - 1)
        if close_at >= 0 and code[close_at + 1:].strip() == ";":
            found.append(Mutant(path, number, len(m.group(1)), "drop-call", original,
                                m.group(1) + ";" + ("\n" if original.endswith("\n") else "")))
    return found


def logic_swap(code, original, at):
    """The text with the && or || at `at` swapped; None when that cannot be
    written plainly. In a chain that then mixes them, what stood before the
    operator is grouped with its right operand, as the chain read left to
    right: "a || b || c" gives "((a || b) && c)", never "a || b && c" (which
    means another thing, and -Wparentheses refuses under -Werror)."""
    swapped = "||" if code.startswith("&&", at) else "&&"
    depth, start = 0, 0
    for j in range(at - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(code[j], 0)
        if depth < 0:
            start = j + 1
            break
    else:
        # No parenthesis: the expression a return or an assignment gives.
        heads = list(re.finditer(r"\breturn\s+|(?<![=!<>+\-*/%&|^])=(?!=)\s*", code[:at]))
        start = heads[-1].end() if heads else -1  # else it starts before the text
    depth, end, chain = 0, len(code.rstrip()), []
    j = max(start, 0)
    while j < len(code):
        depth += {"(": 1, ")": -1}.get(code[j], 0)
        if (depth < 0 or (depth == 0 and code[j] in ";,")) and j > at:
            end = j
            break
        if depth == 0 and code.startswith(("&&", "||"), j):
            chain.append(j)
            j += 2
            continue
        j += 1
    if not any(code[o:o + 2] != swapped for o in chain if o != at):
        return original[:at] + swapped + original[at + 2:]
    later = [o for o in chain if o > at]
    right_end = later[0] if later else end
    right = original[at + 2:right_end].strip()
    if start < 0 or not right:
        return None
    left = original[start:at].strip()
    return (original[:start] + "((%s) %s %s)" % (left, swapped, right)
            + (" " if later else "") + original[right_end:])


def logic_mutants_c(path, lines, codes, i):
    """&& and || swapped, over the whole chain a line is part of (the lines
    joined by a trailing or leading operator)."""
    joined = lambda k: (codes[k].rstrip().endswith(("&&", "||"))
                        or codes[k + 1].lstrip().startswith(("&&", "||")))
    first, last = i, i
    while first > 0 and joined(first - 1):
        first -= 1
    while last + 1 < len(codes) and joined(last):
        last += 1
    code, original = "".join(codes[first:last + 1]), "".join(lines[first:last + 1])
    offset = sum(len(codes[k]) for k in range(first, i))
    found = []
    for m in re.finditer(r"&&|\|\|", codes[i]):
        after = logic_swap(code, original, offset + m.start())
        if after is not None:
            found.append(Mutant(path, first + 1, offset + m.start(), "logic", original, after,
                                end=last + 1))
    return found


def check_mutants_c(path, lines, codes, i):
    """A check that returns: if (...) return ...; on one line, on two, or in
    braces over three."""
    code = codes[i]
    m = re.match(r"\s*if\s*\(", code)
    if not m:
        return []
    close_at = matching_paren(code, m.end() - 1)
    if close_at < 0:
        return []
    rest = code[close_at + 1:].strip()
    indent = re.match(r"\s*", lines[i]).group()
    if re.match(r"return\b.*;$", rest):
        end = i
    elif rest == "" and i + 1 < len(codes) and re.match(r"\s*return\b.*;\s*$", codes[i + 1]):
        end = i + 1
    elif (rest == "{" and i + 2 < len(codes) and re.match(r"\s*return\b.*;\s*$", codes[i + 1])
          and codes[i + 2].strip() == "}"):
        end = i + 2
    else:
        return []
    if i > 0 and re.match(r"\s*else\b", codes[i]) or (end + 1 < len(codes) and
                                                      re.match(r"\s*else\b", codes[end + 1])):
        return []
    before = "".join(lines[i:end + 1])
    return [Mutant(path, i + 1, len(indent), "drop-check", before, indent + ";\n", end=end + 1)]


PY_COMPARE = dict(C_COMPARE)


def line_mutants_py(path, number, code, original):
    found = []
    add = line_adder(found, path, number, original)
    add_comparisons(add, code, PY_COMPARE)
    # Membership and identity: "in" and "not in", "is" and "is not" (an
    # "in" after a "for" may be the loop's own).
    for m in re.finditer(r"(?<=\s)(not\s+in|in|is\s+not|is)(?=\s)", code):
        word = m.group(1)
        if word == "in" and (code[:m.start()].rstrip().endswith("not")
                             or re.search(r"\bfor\b", code[:m.start()])):
            continue
        flipped = {"in": "not in", "is": "is not"}.get(word, word.split()[0])
        add("compare", m.start(), m.end(), flipped)
    for m in re.finditer(r"(?<![\w.\]])(\d+)\b(?![.xX\w])", code):
        value = int(m.group(1))
        add("boundary", m.start(1), m.end(1), str(value + 1))
        if value > 0:
            add("boundary", m.start(1), m.end(1), str(value - 1))
    for m in re.finditer(r"\b(and|or)\b", code):
        add("logic", m.start(), m.end(), "or" if m.group() == "and" else "and")
    m = re.match(r"(\s*(?:if|elif|while)\s+)(.*):\s*$", code)
    if m:
        add("negate", m.start(2), m.end(2), "not (" + original[m.start(2):m.end(2)] + ")")
    for m in re.finditer(r"\b(?:os\.)?[A-Z][A-Z0-9_]{2,}(?:\s*\|\s*(?:os\.)?[A-Z][A-Z0-9_]{2,})+",
                         code):
        flags = list(re.finditer(r"(?:os\.)?[A-Z][A-Z0-9_]{2,}", m.group()))
        for f in flags:
            add("flag", m.start(), m.end(), " | ".join(g.group() for g in flags if g is not f))
    m = re.match(r"(\s*)return\s+(True|False|None|0|-1)\s*$", code)
    if m:
        swap = {"True": "False", "False": "True", "None": "True", "0": "-1", "-1": "0"}
        start = code.index(m.group(2), m.end(1))
        add("return", start, start + len(m.group(2)), swap[m.group(2)])
    m = re.match(r"(\s*)[A-Za-z_][\w]*(?:\.[A-Za-z_]\w*)*\s*\(", code)
    if m and not re.match(r"\s*(if|elif|while|for|return|print|assert|raise|del|with)\b", code):
        close_at = matching_paren(code, m.end() - 1)
        if close_at >= 0 and code[close_at + 1:].strip() == "":
            found.append(Mutant(path, number, len(m.group(1)), "drop-call", original,
                                m.group(1) + "pass\n"))
    return found


def check_mutants_py(path, lines, codes, i):
    code = codes[i]
    m = re.match(r"(\s*)if\s.*:\s*(return\b|raise\b)?", code)
    if not m:
        return []
    indent = m.group(1)
    if m.group(2):
        end = i
    elif (i + 1 < len(codes) and re.match(r"\s*(return|raise)\b", codes[i + 1])
          and (i + 2 >= len(codes) or not codes[i + 2].strip()
               or len(re.match(r"\s*", codes[i + 2]).group()) <= len(indent))
          and not re.match(r"\s*(elif|else)\b", codes[i + 2] if i + 2 < len(codes) else "")):
        end = i + 1
    else:
        return []
    if not code.rstrip().endswith(":") and not m.group(2):
        return []
    before = "".join(lines[i:end + 1])
    return [Mutant(path, i + 1, len(indent), "drop-check", before, indent + "pass\n", end=end + 1)]


def mutants_of(path):
    with open(os.path.join(SOURCE, path), encoding="utf-8") as f:
        text = f.read()
    python = path.endswith(".py")
    masked = (mask_py if python else mask_c)(text)
    lines = text.splitlines(keepends=True)
    codes = masked.splitlines(keepends=True)
    found = []
    continued = False  # a preprocessor line continued with a backslash
    for i, (line, code) in enumerate(zip(lines, codes)):
        directive = not python and (continued or code.lstrip().startswith("#"))
        continued = directive and code.rstrip().endswith("\\")
        if directive or skipped(code, line):
            continue
        if python:
            found += line_mutants_py(path, i + 1, code, line)
            found += check_mutants_py(path, lines, codes, i)
        else:
            found += line_mutants_c(path, i + 1, code, line)
            found += logic_mutants_c(path, lines, codes, i)
            found += check_mutants_c(path, lines, codes, i)
    # A multi-line check whose inner lines are log lines still drops them;
    # a check whose body is a log call is kept (the return is not a log).
    return found


def source_files(only):
    import glob
    paths = []
    for pattern in FILES:
        paths += sorted(os.path.relpath(p, SOURCE) for p in glob.glob(os.path.join(SOURCE, pattern)))
    if only:
        wanted = {os.path.normpath(p) for p in only}
        paths = [p for p in paths if p in wanted]
    return [p for p in paths if not os.path.basename(p).startswith("__")]


def changed_lines(rev, paths):
    """The lines of paths changed since rev, working tree included."""
    out = subprocess.run(["git", "-C", SOURCE, "diff", "-U0", rev, "--"] + paths,
                         check=True, capture_output=True, text=True).stdout
    changed, path = {}, None
    for line in out.splitlines():
        if line.startswith("+++ "):
            path = line[6:] if line.startswith("+++ b/") else None
        m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", line)
        if m and path:
            first, count = int(m.group(1)), int(m.group(2) or 1)
            changed.setdefault(path, set()).update(range(first, first + count))
    return changed


def select(args):
    paths = source_files(args.files)
    mutants = []
    for path in paths:
        mutants += mutants_of(path)
    mutants.sort(key=Mutant.key)
    if args.operator:
        mutants = [m for m in mutants if m.operator in args.operator]
    if args.id:
        # A survivor judged again once its test is written: the ids of a
        # report, whatever sample drew them.
        wanted = {i for arg in args.id for i in arg.split(",") if i}
        return [m for m in mutants if m.ident in wanted]
    if args.since:
        changed = changed_lines(args.since, paths)
        for m in mutants:
            m.since = bool(changed.get(m.path, set()) & set(range(m.line, m.end + 1)))
    if args.sample is None:
        return mutants
    chosen = [m for m in mutants if m.since]
    rest = [m for m in mutants if not m.since]
    drawn = random.Random(args.seed).sample(rest, min(args.sample, len(rest)))
    return sorted(chosen + drawn, key=Mutant.key)


def coverage_of(path):
    for prefix, targets, regex in COVERAGE:
        if path.startswith(prefix):
            return targets, regex
    raise SystemExit(f"no coverage for {path}: add it to COVERAGE in {__file__}")


# ---------------------------------------------------------------- running

def run_bounded(command, log, timeout, cwd=None):
    """Runs command in a process group of its own; returns its exit status,
    or None when it outlasted timeout (the group is ended then)."""
    proc = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, cwd=cwd,
                            start_new_session=True)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        end_group(proc)
        return None
    except BaseException:  # stopped meanwhile: nothing of the run outlives it
        end_group(proc)
        raise


def end_group(proc):
    os.killpg(proc.pid, signal.SIGTERM)
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


def prepare(scratch, jobs, log):
    src = os.path.join(scratch, "src")
    build = os.path.join(src, "build-test")
    os.makedirs(src, exist_ok=True)
    os.chmod(scratch, 0o755)  # the tests act as other users below it
    files = subprocess.run(["git", "-C", SOURCE, "ls-files", "-z", "--cached", "--others",
                            "--exclude-standard"], check=True, capture_output=True).stdout
    # The source as it stands, uncommitted changes included; a file a
    # mutant left behind (a run that was killed) is put back too.
    for name in files.decode().split("\0"):
        if not name or name.startswith("build") or not os.path.isfile(os.path.join(SOURCE, name)):
            continue
        there = os.path.join(src, name)
        here = os.path.join(SOURCE, name)
        if os.path.exists(there) and open(there, "rb").read() == open(here, "rb").read():
            continue
        os.makedirs(os.path.dirname(there), exist_ok=True)
        shutil.copy2(here, there)
    env_launch = []
    if shutil.which("ccache"):
        env_launch = ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    status = subprocess.run(["cmake", "-S", src, "-B", build, "-DKIVO_ROOT=" + build + "/root",
                             "-DKIVO_ROOT_FROM_ENV=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
                            + env_launch, stdout=log, stderr=subprocess.STDOUT).returncode
    if status == 0:
        status = subprocess.run(build_command(build, jobs, TEST_TARGETS), stdout=log,
                                stderr=subprocess.STDOUT).returncode
    if status != 0:
        raise SystemExit(f"the unchanged source does not build in {src}: see {log.name}")
    return src, build


def test_command(build, regex):
    ctest = ["ctest", "--test-dir", build, "--output-on-failure", "--stop-on-failure",
             "--timeout", "120", "-R", regex]
    if os.getuid() == 0 and shutil.which("unshare"):
        return ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"] + ctest
    return ctest


def count_tests(build, regex):
    out = subprocess.run(["ctest", "--test-dir", build, "-N", "-R", regex],
                         capture_output=True, text=True).stdout
    m = re.search(r"Total Tests: (\d+)", out)
    return int(m.group(1)) if m else 0


def test_names(build, regex=None):
    out = subprocess.run(["ctest", "--test-dir", build, "-N"] + (["-R", regex] if regex else []),
                         capture_output=True, text=True).stdout
    return re.findall(r"^\s*Test\s+#\d+: (\S+)", out, re.M)


def judge(mutant, src, build, jobs, timeout, log):
    path = os.path.join(src, mutant.path)
    with open(path, encoding="utf-8") as f:
        original = f.read()
    lines = original.splitlines(keepends=True)
    if "".join(lines[mutant.line - 1:mutant.end]) != mutant.before:
        return "stale"
    targets, regex = coverage_of(mutant.path)
    mutated = "".join(lines[:mutant.line - 1]) + mutant.after + "".join(lines[mutant.end:])
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(mutated)
        if path.endswith(".py") and run_bounded(
                [sys.executable, "-c", "import ast, sys; ast.parse(open(sys.argv[1]).read())", path],
                log, timeout) != 0:
            return "unbuilt"
        if run_bounded(build_command(build, jobs, targets), log, timeout) != 0:
            return "unbuilt"
        status = run_bounded(test_command(build, regex), log, timeout)
        if status is None:
            return "timeout"
        return "survived" if status == 0 else "killed"
    finally:
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)
        # The targets back as they were, before another mutant's tests use
        # them (ccache has the objects).
        run_bounded(build_command(build, jobs, targets), log, None)


def build_command(build, jobs, targets):
    command = ["cmake", "--build", build, "-j", str(jobs)]
    for target in targets:
        command += ["--target", target]
    return command


def stop_on_term(signum, frame):
    raise KeyboardInterrupt  # the file under mutation is put back on the way out


class Planted:
    """A fault of tests/mutants/, judged in the same scratch copy: its
    patch, its Tests: line, the targets of the file it changes."""

    def __init__(self, path):
        self.patch = os.path.abspath(path)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        header = text.split("\n---", 1)[0]
        self.what = text.split("\n", 1)[0]
        tests = re.search(r"^Tests: *(.*)$", header, re.M)
        self.regex = tests.group(1).strip() if tests else ""
        self.files = re.findall(r"^\+\+\+ b/(\S+)", text, re.M)
        self.path = self.files[0] if self.files else ""
        self.line, self.operator, self.after = 0, "planted", self.what

    def row(self):
        return "\t".join((os.path.basename(self.patch), self.path, "0", "planted", "", self.what))


def judge_planted(planted, src, build, jobs, timeout, log):
    patch = ["patch", "-d", src, "-p1", "-s", "-f", "--no-backup-if-mismatch", "-i", planted.patch]
    if subprocess.run(patch + ["--dry-run"], stdout=log, stderr=subprocess.STDOUT).returncode:
        return "stale"
    if not planted.regex or count_tests(build, planted.regex) == 0:
        return "untested"
    targets = sorted({t for f in planted.files for t in coverage_of(f)[0]})
    subprocess.run(patch, stdout=log, stderr=subprocess.STDOUT, check=True)
    try:
        if run_bounded(build_command(build, jobs, targets), log, timeout) != 0:
            return "unbuilt"
        status = run_bounded(test_command(build, planted.regex), log, timeout)
        if status is None:
            return "timeout"
        return "survived" if status == 0 else "killed"
    finally:
        subprocess.run(patch + ["-R"], stdout=log, stderr=subprocess.STDOUT, check=True)
        run_bounded(build_command(build, jobs, targets), log, None)


def run(args, mutants):
    signal.signal(signal.SIGTERM, stop_on_term)
    # The machine is shared: every build and test of the run below the
    # others' work.
    if os.nice(0) < 10:
        os.nice(10 - os.nice(0))
    # ccache finds the objects of the other builds of this source when paths
    # are taken relative to it.
    os.environ.setdefault("CCACHE_BASEDIR", SOURCE)
    if os.getuid() != 0:
        print("run as root: the tests switch users and make network namespaces", file=sys.stderr)
    scratch = os.path.abspath(args.scratch or os.path.join(SOURCE, "build-mutate"))
    os.makedirs(scratch, exist_ok=True)
    log_path = os.path.join(scratch, "log")
    report = open(args.report or os.path.join(scratch, "report.tsv"), "w", encoding="utf-8")
    report.write("verdict\tseconds\tid\tfile\tline\toperator\tbefore\tafter\n")
    with open(log_path, "a", encoding="utf-8") as log:
        print(f"building the unchanged source in {scratch}", flush=True)
        src, build = prepare(scratch, args.jobs, log)
        if args.sample is not None:
            # Judged in a seeded random order, so that a run stopped early
            # has judged a sample of every file, not the first files alone.
            mutants = list(mutants)
            random.Random(args.seed).shuffle(mutants)
        mutants = [Planted(p) for p in args.patch or []] + mutants
        names = test_names(build)
        for regex in sorted({coverage_of(m.path)[1] for m in mutants
                             if not isinstance(m, Planted)}):
            if count_tests(build, regex) == 0:
                raise SystemExit(f"COVERAGE regex {regex!r} names no test of the build")
            # ctest's regular expressions know no \w, \d or \b: one that
            # Python reads otherwise would leave out tests it seems to name.
            selected = set(test_names(build, regex))
            left_out = [name for name in names if re.search(regex, name) and name not in selected]
            if left_out:
                raise SystemExit(f"COVERAGE regex {regex!r} leaves out {left_out[0]} in ctest")
        counts, survivors = {}, []
        started = time.monotonic()
        judged = 0
        for mutant in mutants:
            planted = isinstance(mutant, Planted)
            # A mutant judged by an earlier run keeps its verdict (a run
            # stopped midway goes on where it stopped); --id judges again.
            kept = None if planted or args.id else cached(scratch, mutant)
            if kept:
                verdict, seconds = kept
            else:
                since = time.monotonic()
                log.write(f"== {mutant.row()}\n")
                log.flush()
                verdict = (judge_planted if planted else judge)(
                    mutant, src, build, args.jobs, args.timeout, log)
                seconds = int(time.monotonic() - since)
                judged += 1
                if not planted:
                    keep(scratch, mutant, verdict, seconds)
            counts[verdict] = counts.get(verdict, 0) + 1
            if verdict == "survived":
                survivors.append(mutant)
            report.write(f"{verdict}\t{seconds}\t{mutant.row()}\n")
            report.flush()
            print(f"{verdict:9} {seconds:4}s{' (kept)' if kept else ''} {mutant.path}:{mutant.line} "
                  f"{mutant.operator}: {mutant.after.strip()[:90]}", flush=True)
        # Back to the unchanged source, so that the kept build matches it.
        run_bounded(build_command(build, args.jobs, TEST_TARGETS), log, None)
    elapsed = int(time.monotonic() - started)
    print_score(counts, survivors)
    print(f"{judged} judged in this run, {elapsed} s, {elapsed // max(1, judged)} s a mutant; "
          f"report: {report.name}")
    report.close()
    return 0 if counts.get("survived", 0) == 0 else 1


def verdict_path(scratch, mutant):
    return os.path.join(scratch, "verdicts", mutant.ident)


# The verdicts of every run, kept with the source (one line a mutant, the
# last line of an id counts), so that a selection judged over days goes on
# from a fresh checkout on another machine. A mutant's id names its file,
# line, column and text: a line that moved or changed is a new mutant.
LEDGER = os.path.join(HERE, "mutants", "verdicts.tsv")
_ledger = None


def ledger():
    global _ledger
    if _ledger is None:
        _ledger = {}
        try:
            with open(LEDGER, encoding="utf-8") as f:
                for line in f:
                    fields = line.rstrip("\n").split("\t")
                    if len(fields) >= 3 and fields[2].isdigit():
                        _ledger[fields[0]] = (fields[1], int(fields[2]))
        except OSError:
            pass
    return _ledger


def cached(scratch, mutant):
    """The verdict and seconds an earlier run kept for mutant, or None."""
    try:
        with open(verdict_path(scratch, mutant), encoding="utf-8") as f:
            verdict, seconds = f.read().split()[:2]
        return verdict, int(seconds)
    except (OSError, ValueError):
        return ledger().get(mutant.ident)


def keep(scratch, mutant, verdict, seconds):
    # A stale verdict says only that the line moved: judged again next time.
    if verdict == "stale":
        return
    path = verdict_path(scratch, mutant)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".new", "w", encoding="utf-8") as f:
        f.write(f"{verdict} {seconds}\n{mutant.row()}\n")
    os.replace(path + ".new", path)
    ident, rest = mutant.row().split("\t", 1)
    with open(LEDGER, "a", encoding="utf-8") as f:
        f.write(f"{ident}\t{verdict}\t{seconds}\t{rest}\n")
    ledger()[ident] = (verdict, seconds)


def print_score(counts, survivors, left=0):
    killed = counts.get("killed", 0) + counts.get("timeout", 0)
    built = killed + counts.get("survived", 0)
    print(f"\nkilled {killed} of {built} that built ({100 * killed // built if built else 0}%), "
          + ", ".join(f"{k} {v}" for k, v in sorted(counts.items()))
          + (f"; {left} not judged yet" if left else ""))
    for mutant in survivors:
        print("survived\t" + mutant.row())


def score(args, mutants):
    """The score of the mutants selected, from the verdicts runs kept."""
    scratch = os.path.abspath(args.scratch or os.path.join(SOURCE, "build-mutate"))
    counts, survivors, left = {}, [], 0
    for mutant in mutants:
        kept = cached(scratch, mutant)
        if not kept:
            left += 1
            continue
        counts[kept[0]] = counts.get(kept[0], 0) + 1
        if kept[0] == "survived":
            survivors.append(mutant)
    print_score(counts, survivors, left)
    return 0 if not left and not survivors else 1


def background(args):
    """Runs this command again detached, at low priority, its output in the
    scratch folder's run.out; returns at once."""
    scratch = os.path.abspath(args.scratch or os.path.join(SOURCE, "build-mutate"))
    os.makedirs(scratch, exist_ok=True)
    out_path = os.path.join(scratch, "run.out")
    argv = [a for a in sys.argv[1:] if a != "--background"]
    with open(out_path, "a", encoding="utf-8") as out:
        proc = subprocess.Popen([sys.executable, os.path.abspath(__file__)] + argv,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
    print(f"running as process {proc.pid}, output in {out_path}; "
          f"the score so far: {sys.argv[0]} score with the same selection")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=("list", "run", "score"))
    parser.add_argument("files", nargs="*", help="only these files (paths from the source top)")
    parser.add_argument("--since", metavar="REV", help="always take the mutants of lines changed since REV")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sample", type=int, metavar="N", help="draw N mutants (and the --since ones)")
    parser.add_argument("--operator", action="append", choices=OPERATORS, help="only these operators")
    parser.add_argument("--id", action="append", metavar="ID[,ID...]",
                        help="only the mutants of these ids (a report's third column)")
    parser.add_argument("--report", metavar="FILE", help="the TSV report (default: in the scratch folder)")
    parser.add_argument("--scratch", metavar="DIR", help="the scratch copy, kept (default build-mutate/)")
    parser.add_argument("--timeout", type=int, default=900, help="seconds for a mutant's build, and its tests")
    parser.add_argument("--patch", action="append", metavar="FILE",
                        help="also judge this fault of tests/mutants/ in the same scratch copy")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    parser.add_argument("--background", action="store_true",
                        help="run detached, the output in the scratch folder's run.out")
    args = parser.parse_intermixed_args()
    mutants = select(args) if args.sample is not None or args.id or not args.patch else []
    if args.command == "list":
        for m in mutants:
            print(m.row() + ("\tsince" if m.since else ""))
        return 0
    if args.command == "score":
        return score(args, mutants)
    if args.background:
        return background(args)
    return run(args, mutants)


if __name__ == "__main__":
    sys.exit(main())
