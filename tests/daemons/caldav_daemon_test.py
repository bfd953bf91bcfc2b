#!/usr/bin/python3
"""The CalDAV daemon with real clients (python3-caldav, vdirsyncer, curl) on loopback, in
one root: alice, bob and carol (alice and carol in "team"), calendars made through `call`.
Clients go through the door, the platform's WebDAV daemon (/caldav/ on PORT), as they do in
production; the daemon's own port (DAEMON_PORT) takes the door's login alone.

  caldav_daemon_test.py --ctl PATH --webapi PATH [--root-prefix /tmp/NAME-] [unittest options]
"""

import argparse
import base64
import collections
import concurrent.futures
import datetime
import http.client
import json
import os
import pwd
import random
import re
import selectors
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import caldav

CTL = WEBAPI = ""
ROOT_PREFIX = "/tmp/kivo-caldav-"
ROOT = ""
PORT = DAEMON_PORT = 0
PASSWORDS = {"admin": "admin-pw", "alice": "alice-pw", "bob": "bob-pass", "carol": "carol-pw"}
TEAM_GID = 2000
CALENDAR_API = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar"
SWITCH_API, WEBDAV_API = "KIVO.Core.FileServ.WebDAV.CalDAV", "KIVO.Core.FileServ.WebDAV"
DAEMONS = {"KIVO_DAEMONS": "on", "KIVO_WEBDAV_ADDRESS": "127.0.0.1"}
REPORT = ('<?xml version="1.0"?><C:calendar-query xmlns:D="DAV:" '
          'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><D:getetag/></D:prop>'
          '<C:filter><C:comp-filter name="VCALENDAR"/></C:filter></C:calendar-query>')
ICS = {"Content-Type": "text/calendar"}


def run(*args, check=True, env=None, stdin=None):
    done = subprocess.run(args, env=dict(os.environ, KIVO_ROOT=ROOT, **(env or {})), input=stdin,
                          capture_output=True, text=True, timeout=60)
    if check and done.returncode != 0:
        raise AssertionError("%s: %s %s" % (args, done.stdout, done.stderr))
    return done


def webapi_call(method, params, user="admin", api=CALENDAR_API, env=None):
    done = run(WEBAPI, "call", "--user", user, api, "1", method, json.dumps(params), check=False,
               env=env)
    answer = json.loads(done.stdout)
    if not answer.get("success"):
        raise AssertionError("%s %s as %s: %s %s" % (method, params, user, done.stdout, done.stderr))
    return answer.get("data")


def path(relative):
    return os.path.join(ROOT, relative)


def read_file(relative):
    with open(path(relative)) as f:
        return f.read()


def write_file(name, text):
    with open(name, "w") as f:
        f.write(text)


def ics_files(relative):
    return [n for n in os.listdir(path(relative)) if n.endswith(".ics")]


def uid_of(user):
    return next(int(line.split(":")[2]) for line in read_file("etc/passwd").splitlines()
                if line.split(":")[0] == user)


def create_in_public(name):
    return webapi_call("create", {"share": "public", "destination": "public",
                                  "fullpath": path("volume1/public"), "calendarname": name})["id"]


def move(calendar_id, destination, name):  # answers the calendar's new id
    return webapi_call("set", {"id": calendar_id, "share": "public", "destination": destination,
                               "calendarname": name, "fullpath": ""})["id"]


def daemon_status():
    running, pid, port = run(CTL, "status").stdout.split()
    return running == "1", int(pid), int(port)


def restart_daemon():  # behind the running WebDAV daemon
    global DAEMON_PORT
    run(CTL, "webdav-up", env=DAEMONS)
    running, _, DAEMON_PORT = daemon_status()
    assert running and DAEMON_PORT > 0


def serve_behind_apache(https_port=0, anonymous=False, env=None):
    """(Re)starts the platform's WebDAV daemon on a free port with the CalDAV daemon behind
    it, as the web API does (`env` besides DAEMONS): answers the door's port, kept in PORT."""
    global PORT
    port = free_port()
    run(WEBAPI, "services", "--stop-all")
    assert not daemon_status()[0]
    settings = {"enable_http": True, "http_port_num": port, "enable_https": bool(https_port),
                "anonymouslogin_enable": anonymous}
    if https_port:
        settings["https_port_num"] = https_port
    for api, params in ((WEBDAV_API, settings), (SWITCH_API, {"enable": True})):
        webapi_call("set", params, api=api, env=dict(DAEMONS, **(env or {})))
    PORT = port
    restart_daemon()  # running already: its port
    return port


def door_token():
    return read_file("var/lib/kivo/caldav/door-token").strip()


def free_port():
    """A port free on any address (as the settings' port check binds), below the kernel's
    range for the local ends of outgoing connections, which a client of a test running
    beside this one could take before the daemon binds it."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    for _ in range(1000):
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", random.randint(10000, low - 1) if low > 10100 else 0))
            except OSError:
                continue
            return s.getsockname()[1]
    raise RuntimeError("no free port")


def proxied_to():
    found = re.search(r"^ProxyPass /caldav/ (\S+)", read_file("var/lib/kivo/webdav/httpd.conf"),
                      re.M)
    return found and found.group(1)


def root_processes():
    """The processes that name something in the root: "PID COMMAND LINE" each."""
    return run("pgrep", "-af", re.escape(ROOT + "/"), check=False).stdout.splitlines()


def services():
    return [line.split() for line in run(WEBAPI, "services").stdout.splitlines()]


def caldav_ops():
    """The CalDAV daemon's starts and stops the platform logged, in order."""
    return [op for op in (json.loads(line) for line in
                          read_file("var/log/kivo/platform.jsonl").splitlines())
            if op.get("op", "").startswith("caldav.")]


def make_root(name=""):
    """A root of its own (ROOT_PREFIX, then `name`) with the accounts of PASSWORDS and the team,
    its daemons stopped and the root removed at the module's end."""
    global ROOT
    if os.geteuid() != 0:
        raise unittest.SkipTest("the CalDAV daemon switches identities: run as root")
    try:
        pwd.getpwnam("radicale")
    except KeyError:
        raise unittest.SkipTest("no system account radicale (Debian's radicale package)")
    # Processes left behind are stopped and reported by the suite's no_leftover_processes.
    ROOT = tempfile.mkdtemp(prefix=os.path.basename(ROOT_PREFIX) + name,
                            dir=os.path.dirname(ROOT_PREFIX))
    unittest.addModuleCleanup(shutil.rmtree, ROOT, ignore_errors=True)
    os.chmod(ROOT, 0o755)
    write_file(path(".pw"), PASSWORDS["admin"] + "\n")
    run(WEBAPI, "init", "--admin-password-file", path(".pw"))
    for user, password in PASSWORDS.items():
        if user != "admin":
            run(WEBAPI, "useradd", user)
        run(WEBAPI, "passwd", user, stdin=password + "\n")
    with open(path("etc/group"), "a") as f:
        f.write("team:x:%d:alice,carol\n" % TEAM_GID)
    unittest.addModuleCleanup(run, CTL, "stop", check=False)
    unittest.addModuleCleanup(run, WEBAPI, "services", "--stop-all", check=False)


def setUpModule():
    make_root()
    # alice's and bob's own calendars, in homes only they may enter.
    for user, name in (("alice", "Mine"), ("bob", "Bobs")):
        webapi_call("create", {"share": "home", "destination": "home", "calendarname": name,
                               "fullpath": path("volume1/homes/" + user)}, user=user)
        os.chmod(path("volume1/homes/" + user), 0o700)
    # The team's calendar; one all read but only admin writes; one whose folder is gone.
    create_in_public("Team")
    os.chown(path("volume1/public/Team"), -1, TEAM_GID)
    os.chmod(path("volume1/public/Team"), 0o2770)
    create_in_public("Notice")
    os.chmod(path("volume1/public/Notice"), 0o755)
    create_in_public("Gone")
    shutil.rmtree(path("volume1/public/Gone"))
    serve_behind_apache()


def client(user, url=None):
    return caldav.DAVClient(url=url or "http://127.0.0.1:%d/caldav/" % PORT, username=user,
                            password=PASSWORDS[user])


def calendars(user, url=None):
    return {c.name: str(c.url) for c in client(user, url).principal().calendars()}


def target(url):
    """The path of an absolute URL."""
    return "/" + url.split("/", 3)[3]


def basic(account, password):
    return base64.b64encode(("%s:%s" % (account, password)).encode()).decode()


def request(method, where, user=None, password=None, body="", headers=None, port=None,
            header=None, scheme="http"):
    """Answers the status and the body, or the status and the response's `header`."""
    if scheme == "https":
        conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=10,
                                           context=ssl._create_unverified_context())
    else:
        conn = http.client.HTTPConnection("127.0.0.1", port or PORT, timeout=10)
    headers = dict(headers or {})
    if user is not None:
        headers["Authorization"] = "Basic " + basic(
            user, PASSWORDS[user] if password is None else password)
    conn.request(method, where, body=body.encode(), headers=headers)
    response = conn.getresponse()
    data = response.read()
    conn.close()
    return response.status, response.getheader(header) if header else data


def status(*args, **kwargs):
    return request(*args, **kwargs)[0]


def daemon_request(method, where, login=None, body="", headers=None):
    """A request to the CalDAV daemon's own port as the door sends it: X-Kivo-Login with the
    token and `login` (none without `login`); answers the status and the body."""
    headers = dict(headers or {})
    if login is not None:
        headers["X-Kivo-Login"] = "%s %s" % (door_token(), login)
    return request(method, where, body=body, headers=headers, port=DAEMON_PORT)


def raw_status(port, data, source=None):
    """Sends `data` on a connection of its own (from `source`) and reads to the close: the
    answer's status, or "closed" where the connection was turned away."""
    answer = b""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10,
                                      source_address=source and (source, 0)) as sock:
            sock.sendall(data)
            while chunk := sock.recv(65536):
                answer += chunk
    except OSError:
        pass
    return answer[9:12].decode(errors="replace") or "closed"


def uids(events):
    return [str(e.vobject_instance.vevent.uid.value) for e in events]


def event(uid, start=datetime.datetime(2031, 1, 1)):
    stamp = start.strftime("%Y%m%dT%H%M%SZ")
    end = (start + datetime.timedelta(hours=1)).strftime("%Y%m%dT%H%M%SZ")
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//kivo test//EN\r\n"
            "BEGIN:VEVENT\r\nUID:%s\r\nDTSTAMP:%s\r\nDTSTART:%s\r\nDTEND:%s\r\n"
            "SUMMARY:Meeting %s\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n" % (uid, stamp, stamp, end, uid))


VDIRSYNCER = (
    '[general]\nstatus_path = "%(home)s/status/"\n'
    '[pair %(kind)s]\na = "local"\nb = "server"\ncollections = ["from b"]\n'
    'metadata = ["displayname", "color"]\nconflict_resolution = "a wins"\n'
    '[storage local]\ntype = "filesystem"\npath = "%(home)s/local/"\nfileext = ".%(ext)s"\n'
    '[storage server]\ntype = "%(kind)s"\nurl = "%(url)s"\nusername = "%(user)s"\n'
    'password = "%(password)s"\n')


def vdirsyncer(user, *args, answers="", check=True, url=None, timeout=120, kind="caldav"):
    """vdirsyncer on the user's pair `kind` (every collection listed, name and colour too; the
    local side wins a conflict) against the daemon or `url`, given `timeout` seconds; answers
    its output, and with `check` fails on an error."""
    home = path(".vdirsyncer-" + user + ("-proxied" if url else ""))
    os.makedirs(os.path.join(home, "local"), exist_ok=True)
    write_file(os.path.join(home, "config"), VDIRSYNCER % {
        "home": home, "url": url or "http://127.0.0.1:%d/%s/" % (PORT, kind), "user": user,
        "password": PASSWORDS[user], "kind": kind, "ext": "ics" if kind == "caldav" else "vcf"})
    done = subprocess.run(["vdirsyncer", "-c", os.path.join(home, "config")] + list(args),
                          input=answers, capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, HOME=home))
    output = done.stdout + done.stderr
    if check and (done.returncode or re.search(r"^(error|critical)", output, re.M | re.I)):
        raise AssertionError("vdirsyncer %s as %s: %d\n%s" % (args, user, done.returncode, output))
    return output


def sync_all(user, discover=True, **kwargs):
    if discover:
        vdirsyncer(user, "discover", answers="y\n" * 20, **kwargs)
    vdirsyncer(user, "sync", **kwargs)
    if "url" not in kwargs:
        vdirsyncer(user, "metasync")


def parallel_kept_alive_rounds(port, team, clients=5, rounds=50):
    """`clients` kept-alive connections, each round a PROPFIND, a REPORT and a PUT as carol;
    answers what went wrong."""
    problems = []

    def one_client(index):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
        auth = {"Authorization": "Basic " + basic("carol", PASSWORDS["carol"])}
        steps = [("PROPFIND", "/caldav/carol/", "", {"Depth": "1"}),
                 ("REPORT", "/" + team, REPORT, {"Depth": "1"}),
                 ("PUT", "/%skept-%d.ics" % (team, index),
                  event("kept-%d" % index), ICS)]
        try:
            for _ in range(rounds):
                for method, where, body, headers in steps:
                    conn.request(method, where, body=body.encode(), headers=dict(headers, **auth))
                    response = conn.getresponse()
                    response.read()
                    if response.status >= 500:
                        problems.append("%s %s: %d" % (method, where, response.status))
        except (OSError, http.client.HTTPException) as e:
            problems.append("client %d: %r" % (index, e))
        finally:
            conn.close()

    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        list(pool.map(one_client, range(clients)))
    return problems


class CalDAVDaemonTest(unittest.TestCase):

    def test_event_is_a_file_of_its_writer_in_the_registered_folder(self):
        team = client("alice").calendar(url=calendars("alice")["Team"])
        start = datetime.datetime(2031, 3, 4, 10, 0, tzinfo=datetime.timezone.utc)
        team.save_event(event("team-1", start))
        day = datetime.timedelta(days=1)
        found = team.date_search(start - day, start + day)
        self.assertEqual((["team-1"], []), (uids(found), team.date_search(start + 30 * day,
                                                                          start + 31 * day)))
        files = ics_files("volume1/public/Team")
        self.assertEqual([uid_of("alice")],
                         [os.stat(path("volume1/public/Team/" + f)).st_uid for f in files])
        # carol, in the team, sees alice's event; a sync from her token finds nothing new,
        # and after alice's next event exactly that one.
        carols = client("carol").calendar(url=calendars("carol")["Team"])
        synced = carols.objects_by_sync_token()
        self.assertEqual((1, 1, 0), (len(carols.events()), len(list(synced)), len(list(
            carols.objects_by_sync_token(synced.sync_token)))))
        second = team.save_event(event("team-2", start + day))
        changed = carols.objects_by_sync_token(synced.sync_token)
        self.assertEqual([str(second.url).rsplit("/", 1)[1]],
                         [str(o.url).rsplit("/", 1)[1] for o in changed])
        found[0].delete()
        second.delete()
        self.assertEqual([], ics_files("volume1/public/Team"))

    def test_daemon_runs_as_its_account_with_two_capabilities_on_loopback(self):
        running, pid, port = daemon_status()
        self.assertTrue(running)
        with open("/proc/%d/status" % pid) as f:
            status = dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)
        self.assertEqual([str(pwd.getpwnam("radicale").pw_uid)] * 4, status["Uid"].split())
        for capability_set in ("CapPrm", "CapEff", "CapBnd"):  # CAP_SETGID and CAP_SETUID
            self.assertEqual("%016x" % (1 << 6 | 1 << 7), status[capability_set], capability_set)
        self.assertEqual(("1", ""), (status["NoNewPrivs"].strip(), status["Groups"].strip()))
        listening = run("ss", "-ltnH", "sport = :%d" % port).stdout.split()
        self.assertEqual(5, len(listening), listening)  # one socket, on loopback only
        self.assertEqual("127.0.0.1:%d" % port, listening[3], listening)

    def test_each_user_lists_the_calendars_the_kernel_lets_them_read_and_write(self):
        body = ('<?xml version="1.0"?><propfind xmlns="DAV:"><prop>'
                '<current-user-privilege-set/></prop></propfind>')
        # Every user's view is the plug-ins' table (caldav_plugins_test.py); here what reaches a
        # client: alice's home, group and all-read calendars; bob's never alice's (below).
        expected = {"Mine": True, "Team": True, "Notice": False}
        listed = calendars("alice")
        self.assertEqual(set(expected), set(listed))
        # Write offered only where the kernel allows it, so that clients show the rest read-only.
        answer, data = request("PROPFIND", "/caldav/alice/", user="alice", body=body,
                               headers={"Depth": "1", "Content-Type": "application/xml"})
        self.assertEqual(207, answer, data)
        for name, url in listed.items():
            found = [r for r in re.split(rb"<(?:\w+:)?response>", data)
                     if target(url).encode() + b"<" in r]
            self.assertEqual(1, len(found), data)
            privileges = [p.split(b":")[-1] for p in
                          re.findall(rb"<(?:\w+:)?privilege>\s*<([\w:-]+)", found[0])]
            self.assertEqual((True, expected[name]), (b"read" in privileges,
                                                      b"write" in privileges), found[0])
        bobs = calendars("bob")
        self.assertEqual({"Bobs", "Notice"}, set(bobs))  # never alice's
        self.assertEqual(403, status("PUT", target(bobs["Notice"]) + "x.ics", user="bob",
                                     headers=ICS, body=event("ro-1")))
        self.assertEqual([".DAV"], os.listdir(path("volume1/public/Notice")))

    def test_refusals(self):
        mine = target(calendars("alice")["Mine"])
        name = mine.strip("/").split("/")[1]
        folder = path("volume1/homes/alice/Mine")
        private = os.path.join(folder, "private.ics")
        self.addCleanup(lambda: os.path.exists(private) and os.remove(private))
        self.assertEqual(201, status("PUT", mine + "private.ics", user="alice", headers=ICS,
                                     body=event("private")))
        home = path("volume1/homes/alice")
        before = sorted(os.listdir(folder)), sorted(os.listdir(home))
        unknown = "/caldav/alice/cal-0000000000/"
        # One request per kind of refusal; the plug-ins' rights table holds the whole matrix.
        cases = [
            ("another's calendar under the own principal", "GET",
             "/caldav/bob/%s/private.ics" % name, "bob", None, 404),
            ("another's calendar under theirs", "PUT", "/caldav/alice/%s/bob.ics" % name, "bob",
             None, 403),
            ("another user's principal", "PROPFIND", "/caldav/bob/", "alice", None, 403),
            # The door's bad logins (unreadable ones, a NUL in the password among them:
            # test_unreadable_credentials_are_braked_as_wrong_passwords).
            ("anonymous", "PROPFIND", "/caldav/alice/", None, None, 401),
            ("wrong password", "PROPFIND", "/caldav/alice/", "alice", "nope", 401),
            ("wrong password, unknown calendar", "DELETE", unknown, "alice", "nope", 401),
            ("MKCALENDAR of a new calendar", "MKCALENDAR", "/caldav/alice/new/", "alice", None,
             403),
            ("MKCOL", "MKCOL", "/caldav/alice/other/", "alice", None, 403),
            ("DELETE of a principal", "DELETE", "/caldav/alice/", "alice", None, 403),
            ("MOVE of a calendar", "MOVE", mine, "alice", None, 403),
            ("PUT of a calendar", "PUT", mine, "alice", None, 403),
        ]
        # A calendar the user does not see answers 404 to every method (a client drops it).
        cases += [("%s of an unknown calendar" % m, m, unknown, "alice", None, 404)
                  for m in ("PROPFIND", "REPORT", "GET", "PROPPATCH", "DELETE", "OPTIONS", "MOVE",
                            "COPY")]
        cases += [("%s of an item of an unknown calendar" % m, m, unknown + "x.ics", "alice", None,
                   404) for m in ("GET", "PUT")]
        # Hostile item names: refused as the client's error (any 4xx), nothing made anywhere.
        cases += [("PUT as " + n, "PUT", mine + n, "alice", None, range(400, 500))
                  for n in ("..%2Fescape.ics", "%2E%2E/escape.ics", ".hidden.ics", "notes.txt",
                            "a%00b.ics", "x.ics%2F..%2F..%2Fescape.ics")]
        for label, method, where, user, password, expected in cases:
            with self.subTest(label):
                headers = dict(ICS, Depth="1",
                               Destination="http://127.0.0.1:%d/caldav/alice/moved/" % PORT)
                body = {"PUT": event("refused"), "REPORT": REPORT}.get(method, "")
                answer = request(method, where, user=user, password=password, headers=headers,
                                 body=body)
                self.assertIn(answer[0], expected if isinstance(expected, range) else [expected])
                self.assertNotIn(b"BEGIN:VEVENT", answer[1])
        self.assertEqual(before, (sorted(os.listdir(folder)), sorted(os.listdir(home))))
        # A request line of 65,537 bytes is refused as too long, on the daemon's own port too
        # (sent whole, so that nothing is left unread when the daemon closes).
        self.assertEqual("414", raw_status(DAEMON_PORT, b"GET /caldav/alice/" + b"a" * 65519))

    def test_the_access_log_names_the_doors_login_as_the_shares_do(self):
        # One kept connection: its next answer comes only once the line before it is written.
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=10)
        self.addCleanup(conn.close)
        cases = [("/caldav/carol/", None, "carol"), ("/public/", None, "carol"),
                 ("/caldav/carol/", "wrong", "-"), ("/public/", "wrong", "-"), ("/", None, None)]
        for mark, (where, password, _) in enumerate(cases):
            conn.request("PROPFIND", "%s?mark=%d" % (where, mark), headers={
                "Depth": "0", "Authorization": "Basic " + basic(
                    "carol", password or PASSWORDS["carol"])})
            response = conn.getresponse()
            response.read()
            self.assertEqual((password is None, False), (response.status < 400,
                                                         response.will_close), where)
        logged = {}
        for line in read_file("var/log/kivo/webdav-access.log").splitlines():
            found = re.match(r'\S+ (\S+) \[[^]]*\] "PROPFIND \S+\?mark=(\d+) ', line)
            if found:
                logged[int(found.group(2))] = found.group(1)
        self.assertEqual({mark: user for mark, (_, _, user) in enumerate(cases) if user},
                         {mark: user for mark, user in logged.items() if mark < len(cases) - 1})

    def test_the_daemon_takes_logins_from_the_door_alone(self):
        # Any local process reaches the daemon's loopback port: only the door's token logs in
        # (every spelling of it and the account: the plug-ins' table; on that port the door's
        # login served and none refused: test_kept_listing..., test_expect_100_continue...).
        # The token is root's and radicale's.
        token = door_token()
        st = os.stat(path("var/lib/kivo/caldav/door-token"))
        self.assertEqual((0, pwd.getpwnam("radicale").pw_gid, 0o640),
                         (st.st_uid, st.st_gid, st.st_mode & 0o7777))
        # Through the door a client's own X-Kivo-Login, however spelt and even with the token,
        # is dropped: the login the door verified alone names the account.
        for name in ("X-Kivo-Login", "x-kivo-login", "X_Kivo_Login"):
            with self.subTest(name):
                forged = {name: "%s alice" % token, "Depth": "0"}
                self.assertEqual((401, 403, 207), (
                    status("PROPFIND", "/caldav/alice/", headers=forged),
                    status("PROPFIND", "/caldav/alice/", user="bob", headers=forged),
                    status("PROPFIND", "/caldav/bob/", user="bob", headers=forged)))

    def test_unreadable_credentials_are_braked_as_wrong_passwords(self):
        # Each spelling a lenient reader takes and the door's does not, and well-formed wrong
        # passwords beside them: 40 guesses from a network of their own for one name each.
        def b64(raw):
            return base64.b64encode(raw if isinstance(raw, bytes) else raw.encode()).decode()

        forms = [
            ("well-formed", lambda n, p: ["Basic " + b64(n + ":" + p)]),
            ("a stray dot", lambda n, p: ["Basic " + b64(n + ":" + p)[:4] + "." +
                                          b64(n + ":" + p)[4:]]),
            ("a tab after Basic", lambda n, p: ["Basic\t" + b64(n + ":" + p)]),
            ("a trailing space", lambda n, p: ["Basic " + b64(n + ":" + p) + " "]),
            ("a lower-case scheme", lambda n, p: ["basic " + b64(n + ":" + p)]),
            ("a double space", lambda n, p: ["Basic  " + b64(n + ":" + p)]),
            ("no colon", lambda n, p: ["Basic " + b64(n)]),
            ("an empty name", lambda n, p: ["Basic " + b64(":" + p)]),
            ("a NUL in the password", lambda n, p: ["Basic " + b64(n + ":" + p + "\0x")]),
            ("a password not UTF-8", lambda n, p: ["Basic " + b64(n.encode() + b":\xff\xfe")]),
            ("an overlong name", lambda n, p: ["Basic " + b64("a" * 300 + ":" + p)]),
            ("an overlong password", lambda n, p: ["Basic " + b64(n + ":" + p * 400)]),
            ("two fields", lambda n, p: ["Basic " + b64(n + ":" + p)] * 2),
        ]

        def guess(source, name, fields):  # "closed": turned away, its network keeps guessing
            return raw_status(PORT, ("PROPFIND /caldav/%s/ HTTP/1.1\r\nHost: x\r\nConnection: "
                                     "close\r\nDepth: 0\r\n%s\r\n" % (name, "".join(
                                         "Authorization: %s\r\n" % f for f in fields))).encode(),
                              source)

        for index, (label, form) in enumerate(forms):
            with self.subTest(label):
                answers = collections.Counter(guess("127.50.%d.1" % index, "guess%d" % index,
                                                    form("guess%d" % index, "wrong-%d" % n))
                                              for n in range(40))
                # The brake lets 3 to 5 through, then 1 s doubling: a few more on a slow machine.
                let_through = answers["401"] + answers["400"] + answers["207"]
                self.assertLessEqual(let_through, 10, answers)
                self.assertEqual(40, let_through + answers["429"] + answers["closed"], answers)
                self.assertGreater(answers["429"], 0, answers)
        # Spread over networks, one guess each, unreadable guesses still brake the account
        # they name: a well-formed guess for it from yet another network waits.
        spread = [guess("127.52.%d.1" % n, "spread", forms[2][1]("spread", "wrong-%d" % n))
                  for n in range(12)]
        self.assertEqual("429", guess("127.53.0.1", "spread", forms[0][1]("spread", "wrong")),
                         spread)
        # The owner, who logged in from this network before, still gets in at once after
        # unreadable guesses from elsewhere, as after well-formed ones.
        for owner, network, (_, form) in (("alice", "127.51.0.1", forms[2]),
                                          ("bob", "127.51.1.1", forms[0])):
            with self.subTest(owner=owner):
                self.assertEqual(207, status("PROPFIND", "/caldav/%s/" % owner, user=owner,
                                             headers={"Depth": "0"}))
                guessed = collections.Counter(guess(network, owner, form(owner, "wrong-%d" % n))
                                              for n in range(40))
                self.assertGreater(guessed["429"], 0, guessed)
                self.assertEqual(207, status("PROPFIND", "/caldav/%s/" % owner, user=owner,
                                             headers={"Depth": "0"}))

    def test_clients_keep_colour_and_order_but_never_rename(self):
        props = path("volume1/homes/alice/Mine/.DAV/caldav.json")
        self.addCleanup(lambda: os.path.exists(props) and os.remove(props))
        mine = calendars("alice")["Mine"]
        registry = read_file("usr/kivo/etc/calendar.info")

        def proppatch(props_xml):
            body = ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" '
                    'xmlns:C="urn:ietf:params:xml:ns:caldav" xmlns:A="http://apple.com/ns/ical/">'
                    '<D:set><D:prop>%s</D:prop></D:set></D:propertyupdate>' % props_xml)
            answer, data = request("PROPPATCH", target(mine), user="alice", body=body)
            self.assertEqual(207, answer)
            return re.findall(r"<[^>]*status>HTTP/1.1 (\d+)", data.decode())

        color = "<A:calendar-color>#%s</A:calendar-color>"
        self.assertEqual(["200"], proppatch(color % "ff0000ff" +
                                            "<A:calendar-order>3</A:calendar-order>"))
        self.assertEqual({"ICAL:calendar-color": "#ff0000ff", "ICAL:calendar-order": "3"},
                         json.loads(read_file(props)))
        self.assertEqual(uid_of("alice"), os.stat(props).st_uid)
        # A name or type of the registry's is refused whole: 403, and 424 for what came with it.
        name = "<D:displayname>Holidays</D:displayname>"
        cases = [
            ("name and colour", name + color % "00ff00ff", ["403", "424"]),
            ("type", "<D:resourcetype><D:collection/></D:resourcetype>", ["403"]),
            ("components", '<C:supported-calendar-component-set><C:comp name="VTODO"/>'
             "</C:supported-calendar-component-set>", ["403"]),
        ]
        for label, props_xml, expected in cases:
            with self.subTest(label):
                self.assertEqual(expected, proppatch(props_xml))
        self.assertEqual("#ff0000ff", json.loads(read_file(props))["ICAL:calendar-color"])
        self.assertEqual(registry, read_file("usr/kivo/etc/calendar.info"))
        # A name written into the folder's file by hand never shows: the registry names it.
        write_file(props, json.dumps({"D:displayname": "Holidays",
                                      "ICAL:calendar-color": "#0000ffff"}))
        self.assertEqual(mine, calendars("alice").get("Mine"))

    def test_what_users_drop_into_a_calendars_folder_is_skipped(self):
        mine = calendars("alice")["Mine"]
        folder = path("volume1/homes/alice/Mine")
        write_file(os.path.join(folder, "notes.txt"), "not a calendar\n")
        write_file(os.path.join(folder, "broken.ics"), "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\n"
                                                       "DTSTART:garbage\r\n")
        os.symlink("/etc/passwd", os.path.join(folder, "link.ics"))
        calendar = client("alice").calendar(url=mine)
        calendar.save_event(event("good-1"))
        self.assertEqual(["good-1"], uids(calendar.events()))

    def test_kept_listing_follows_access_and_prefix(self):
        # A principal's listing is kept while its sources are unchanged, never within 2 s of one.
        time.sleep(2.1)
        body = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop><D:displayname/>'
                '</D:prop></D:propfind>')

        def listing(**prefix):  # from the daemon itself: the door sets X-Script-Name
            answer = daemon_request("PROPFIND", "/carol/", login="carol", body=body,
                                    headers=dict(prefix, Depth="1"))
            self.assertEqual(207, answer[0])
            return answer[1].decode()

        first = listing()
        self.assertEqual(first, listing())
        self.assertIn(">Team<", first)
        self.assertIn("<href>/caldav/carol/</href>", listing(**{"X-Script-Name": "/caldav"}))
        self.assertNotIn("/caldav/", listing())
        os.chmod(path("volume1/public/Team"), 0o2700)  # a mode change leaves the mtime alone
        try:
            self.assertNotIn(">Team<", listing())
        finally:
            os.chmod(path("volume1/public/Team"), 0o2770)
        self.assertIn(">Team<", listing())

    def test_clients_follow_what_the_web_api_does(self):
        sync_id = create_in_public("Sync")
        folder = path("volume1/public/Sync")
        os.chown(folder, uid_of("alice"), -1)
        url = calendars("alice")["Sync"]
        local = path(".vdirsyncer-alice/local/" + url.rstrip("/").rsplit("/", 1)[1])
        sync_all("alice")
        self.assertEqual("Sync", read_file(os.path.join(local, "displayname")).strip())
        # An event and a colour made on the client's side go up.
        write_file(os.path.join(local, "local-1.ics"), event("local-1"))
        write_file(os.path.join(local, "color"), "#00aa00")
        sync_all("alice", discover=False)
        uploaded = ics_files(folder)
        item = os.path.join(folder, uploaded[0])
        self.assertEqual((1, uid_of("alice"), True), (len(uploaded), os.stat(item).st_uid,
                                                      "UID:local-1" in read_file(item)))
        self.assertEqual("#00aa00", json.loads(read_file(os.path.join(
            folder, ".DAV/caldav.json"))).get("ICAL:calendar-color"))

        # Renamed, then moved: the same URL under its new name, with its events, no error.
        renamed = move(sync_id, "public", "Synced")
        self.assertEqual({"Synced": url}, {n: u for n, u in calendars("alice").items()
                                           if u == url or n.startswith("Sync")})
        os.makedirs(path("volume1/public/sync-archive"), exist_ok=True)
        moved = move(renamed, "public/sync-archive", "Synced")
        self.assertTrue(os.path.isdir(path("volume1/public/sync-archive/Synced")))
        self.assertEqual(url, calendars("alice").get("Synced"))
        sync_all("alice", discover=False)
        self.assertEqual("Synced", read_file(os.path.join(local, "displayname")).strip())
        self.assertEqual(uploaded, ics_files("volume1/public/sync-archive/Synced"))

        # Deleted, it answers 404 at once, also at its URL: vdirsyncer finds it "Not Found" (a
        # refusal would make it try MKCALENDAR); the next discover and sync drop it quietly.
        webapi_call("delete", {"id": [moved]})
        self.assertNotIn(url, calendars("alice").values())
        for method in ("PROPFIND", "REPORT", "DELETE"):
            with self.subTest(method):
                self.assertEqual(404, status(method, target(url), user="alice",
                                             headers={"Depth": "0"}))
        gone = url.rstrip("/").rsplit("/", 1)[1]
        self.assertIn("error: Unknown error occurred for caldav/%s: Not Found" % gone,
                      vdirsyncer("alice", "sync", check=False))
        vdirsyncer("alice", "discover", answers="n\n" * 20)
        self.assertNotIn(gone, vdirsyncer("alice", "sync"))

    def test_a_locked_account_is_refused_at_both_doors_until_unlocked(self):
        # Each request on a connection of its own, right after the command: the door's
        # remembered login is tied to the stored hash, which the lock changes.
        doors = [("WebDAV", "/homes/carol/"), ("CalDAV", "/caldav/carol/")]
        served = {door: 207 for door, _ in doors}
        def answers():
            return {door: status("PROPFIND", where, user="carol", headers={"Depth": "0"})
                    for door, where in doors}
        self.assertEqual(served, answers())
        self.addCleanup(run, WEBAPI, "usermod", "carol", "--unlock", check=False)
        run(WEBAPI, "usermod", "carol", "--lock")
        self.assertEqual({door: 401 for door, _ in doors}, answers())
        run(WEBAPI, "usermod", "carol", "--unlock")
        self.assertEqual(served, answers())

    def test_expect_100_continue_and_a_stop_with_requests_under_way(self):
        # Without the door's login a PUT is refused before its body: no 100, so none need
        # follow. With it the 100 comes at once; a client stalled there or in its request head
        # never holds up the stop. (curl's uploads: PlatformApacheTest, through the proxy.)
        head = ("PUT %sw.ics HTTP/1.1\r\nHost: x\r\n%sContent-Length: 100\r\n"
                "Expect: 100-continue\r\n\r\n")
        mine = target(calendars("alice")["Mine"])[len("/caldav"):]
        for login, answer in (("", b"HTTP/1.1 403 "), ("X-Kivo-Login: %s alice\r\n" % door_token(),
                                                       b"HTTP/1.1 100 ")):
            waiting = socket.create_connection(("127.0.0.1", DAEMON_PORT), timeout=15)
            self.addCleanup(waiting.close)
            waiting.sendall((head % (mine, login)).encode())
            self.assertTrue(waiting.recv(100).startswith(answer))
        stalled = socket.create_connection(("127.0.0.1", DAEMON_PORT))
        self.addCleanup(stalled.close)
        stalled.sendall(b"PROPFIND /alice/ HTTP/1.1\r\nHost: x\r\n")
        pid = daemon_status()[1]
        self.assertNotIn("SIGTERM", run(CTL, "stop").stderr)
        self.assertFalse([p for p in root_processes() if "kivo_server" in p])
        self.assertEqual(("caldav.stop", pid), (caldav_ops()[-1]["op"], caldav_ops()[-1]["pid"]))
        self.assertIn("Stopped on signal 15", read_file("var/log/kivo/caldav.log"))
        restart_daemon()


class Flood:
    """Wrong-password logins from `networks` /24s (127.N.M.1, never the owner's), `each` at once
    per network, resent as answered, over `doors` (port, request(account, n)) and ACCOUNTS, in
    a thread of its own until stopped."""

    ACCOUNTS = ("admin", "alice", "bob", "nosuch")

    def __init__(self, doors, networks=256, each=6):
        self.doors, self.networks, self.each = doors, networks, each
        self.answers = collections.Counter()  # (door, status)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *_):
        self._stop.set()
        self._thread.join(30)

    def _open(self, selector, slot):
        network, k = divmod(slot, self.each)
        door = slot % len(self.doors)
        port, request_of = self.doors[door]
        account = self.ACCOUNTS[(slot // len(self.doors)) % len(self.ACCOUNTS)]
        sock = socket.socket()
        sock.setblocking(False)
        try:
            sock.bind(("127.%d.%d.1" % (1 + network // 128, network % 128), 0))
            sock.connect_ex(("127.0.0.1", port))
        except OSError:
            sock.close()
            self.answers[(door, "error")] += 1
            return
        selector.register(sock, selectors.EVENT_WRITE, [slot, door, request_of(account, k), b""])

    def _run(self):
        selector = selectors.DefaultSelector()
        for slot in range(self.networks * self.each):
            self._open(selector, slot)
        while not self._stop.is_set():
            for key, events in selector.select(0.2):
                sock, state = key.fileobj, key.data
                try:
                    if events & selectors.EVENT_WRITE:
                        sock.send(state[2])
                        selector.modify(sock, selectors.EVENT_READ, state)
                        continue
                    data = sock.recv(65536)
                    if data:
                        state[3] += data
                        continue
                    status = state[3][9:12].decode(errors="replace") or "closed"
                except OSError:
                    status = "error"
                self.answers[(state[1], status)] += 1
                selector.unregister(sock)
                sock.close()
                self._open(selector, state[0])
        for key in list(selector.get_map().values()):
            key.fileobj.close()


class PlatformApacheTest(unittest.TestCase):
    """The CalDAV daemon behind the platform's WebDAV daemon as the settings and the switch
    change; the module's set-up holds again afterwards."""

    # Each right login within 2 s under the flood; load beyond the cores adds up to 8 s.
    LIMIT = 2.0

    @classmethod
    def tearDownClass(cls):
        run(WEBAPI, "services", "--stop-all", check=False)
        for name in ics_files("volume1/public/Team"):  # what its clients put there
            os.remove(path("volume1/public/Team/" + name))
        webapi_call("set", {"enable": True}, api=SWITCH_API)
        serve_behind_apache()

    def behind_apache(self, https_port=0, anonymous=True, env=None):  # stopped after the test
        self.addCleanup(run, WEBAPI, "services", "--stop-all", check=False)
        return serve_behind_apache(https_port, anonymous, env)

    def test_a_long_sync_behind_the_platforms_apache_past_the_logins_recheck(self):
        # Every request on a kept-alive connection comes after its login's re-check is due (0 s):
        # vdirsyncer's one sync (600 events, the large run's 10,000), then a python3-caldav
        # session on its kept connection; none of their requests dropped unanswered.
        count = int(os.environ.get("KIVO_LONG_SYNC_EVENTS", "600"))
        port = self.behind_apache(env={"KIVO_WEBDAV_LOGIN_RECHECK": "0"})
        self.assertIn("KivoDavLoginRecheck 0", read_file("var/lib/kivo/webdav/httpd.conf"))
        base = "http://127.0.0.1:%d/caldav/" % port
        long_id = create_in_public("Long")
        self.addCleanup(webapi_call, "delete", {"id": [long_id]})  # the others list the share's
        folder = path("volume1/public/Long")
        os.chown(folder, uid_of("alice"), -1)
        url = calendars("alice", base)["Long"]
        sync_all("alice", url=base)
        local = path(".vdirsyncer-alice-proxied/local/" + url.rstrip("/").rsplit("/", 1)[1])
        for i in range(count):
            write_file(os.path.join(local, "long-%d.ics" % i), event("long-%d" % i))
        # About 100 s for 10,000 events on an idle machine; a busy one (the suite beside it) may
        # take several times that, within the test's own bound.
        vdirsyncer("alice", "sync", url=base, timeout=max(120, count // 10))
        self.assertEqual(count, len(ics_files(folder)))

        session = client("alice", base).calendar(url=url)
        for i in range(40):
            when = datetime.datetime(2032, 1, 1) + datetime.timedelta(days=i)
            saved = session.save_event(event("session-%d" % i, when))
            self.assertEqual(["session-%d" % i], uids(session.search(
                start=when - datetime.timedelta(hours=1), end=when + datetime.timedelta(days=1),
                event=True)))
            if i % 2:
                saved.delete()
        self.assertEqual(count + 20, len(ics_files(folder)))

    def test_calendars_behind_the_platforms_apache_until_switched_off(self):
        # The switch restarts the WebDAV daemon, rewriting its configuration and then starting
        # or stopping the CalDAV daemon.
        https_port = free_port()
        port = self.behind_apache(https_port)
        base = "http://127.0.0.1:%d" % port
        running, pid, caldav_port = daemon_status()
        self.assertTrue(running)
        self.assertIn(["caldav", "1", "yes", str(pid), str(caldav_port)], services())
        self.assertEqual("http://127.0.0.1:%d/" % caldav_port, proxied_to())
        self.assertEqual((301, base + "/caldav/"), request("GET", "/.well-known/caldav", port=port,
                                                           header="Location"))
        listed = calendars("carol", base + "/caldav/")
        self.assertEqual({"Team", "Notice"}, set(listed))
        team = listed["Team"].split("/", 3)[3]

        # Clients keeping their connections and sending in parallel: never a 5xx or a reset.
        # (vdirsyncer and a python3-caldav session through the proxy: the long sync below.)
        self.assertEqual([], parallel_kept_alive_rounds(port, team))

        # An upload asking to go on first (Expect: 100-continue, as curl -T) goes through the
        # proxy over HTTP and HTTPS: curl sends the body only on a relayed "100 Continue".
        for scheme, scheme_port in (("http", port), ("https", https_port)):
            with self.subTest(scheme):
                upload = path(".curl-%s.ics" % scheme)
                write_file(upload, event("curl-" + scheme))
                done = run("curl", "-sS", "-k", "-T", upload, "-u", "carol:" + PASSWORDS["carol"],
                           "-H", "Content-Type: text/calendar", "-H", "Expect: 100-continue",
                           "--expect100-timeout", "60", "--max-time", "15", "-o", "/dev/null",
                           "-w", "%{http_code}", "%s://127.0.0.1:%d/%scurl-%s.ics" % (
                               scheme, scheme_port, team, scheme), check=False)
                self.assertEqual("201", done.stdout, done.stderr)
                self.assertTrue(os.path.exists(path("volume1/public/Team/curl-%s.ics" % scheme)))
        # An event moves within what the daemon serves; a calendar never does.
        self.assertEqual(201, status("MOVE", "/%scurl-http.ics" % team, user="carol", port=port,
                                     headers={"Destination": "%s/%smoved.ics" % (base, team)}))
        self.assertTrue(os.path.exists(path("volume1/public/Team/moved.ics")))
        self.assertEqual(403, status("MOVE", "/" + team, user="carol", port=port,
                                     headers={"Destination": base + "/caldav/carol/x/"}))

        # The door judges credentials, with anonymous login on too (the guest never reaches the
        # daemon); a client's X-Script-Name never reaches it.
        cases = [
            ("no credentials", None, None, {}, 401),  # bad logins: test_refusals
            ("guest, the anonymous account", "guest", "", {}, 401),
            ("another user's principal", "alice", None, {}, 403),
            ("own X-Script-Name", "carol", None, {"X-Script-Name": "/evil"}, 207),
        ]
        for label, user, password, extra, expected in cases:
            with self.subTest(label):
                answer, data = request("PROPFIND", "/caldav/carol/", user=user, password=password,
                                       port=port, headers=dict(extra, Depth="0"))
                self.assertEqual(expected, answer)
                if answer == 207:
                    self.assertIn(b"<href>/caldav/carol/</href>", data)
                    self.assertNotIn(b"/evil", data)

        # TRACE is refused on every virtual host and path (it would echo a request back, its
        # credentials with it); no answer shows the daemon's own Server field.
        for scheme, scheme_port in (("http", port), ("https", https_port)):
            for where, user in (("/", None), ("/public/", "carol"), ("/caldav/carol/", "carol")):
                with self.subTest("TRACE", scheme=scheme, where=where):
                    answer, data = request("TRACE", where, user, port=scheme_port,
                                           scheme=scheme, headers={"Depth": "0"})
                    self.assertIn(answer, (401, 403, 405, 501), data)
                    self.assertNotIn(b"TRACE " + where.encode(), data)
            for method, where, expected in (("PROPFIND", "/caldav/carol/", 207),
                                            ("GET", "/caldav/carol/nosuch/", 404),
                                            ("PROPFIND", "/caldav/alice/", 403)):
                with self.subTest("Server", scheme=scheme, method=method, where=where):
                    answer, server = request(method, where, "carol", port=scheme_port,
                                             scheme=scheme, header="Server",
                                             headers={"Depth": "0"})
                    self.assertEqual((expected, "Apache"), (answer, server))

        # Without anonymous login the shares and /caldav/ ask for the one login.
        webapi_call("set", {"enable_http": True, "enable_https": False,
                            "anonymouslogin_enable": False}, api=WEBDAV_API, env=DAEMONS)
        self.assertEqual((401, 'Basic realm="Kivo WebDAV"'),
                         request("PROPFIND", "/caldav/carol/", port=port, headers={"Depth": "0"},
                                 header="WWW-Authenticate"))

        def carol():
            return status("PROPFIND", "/caldav/carol/", user="carol", port=port,
                          headers={"Depth": "0"})
        self.assertEqual(207, carol())

        # A process taking the CalDAV daemon's port while it is down never sees a password:
        # the daemon starts on another port and the WebDAV daemon proxies there.
        run(CTL, "stop")
        squatter = socket.socket()
        self.addCleanup(squatter.close)
        squatter.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # past TIME_WAIT
        squatter.bind(("127.0.0.1", caldav_port))
        squatter.listen(8)
        squatter.setblocking(False)
        run(CTL, "webdav-up", env=DAEMONS)
        moved = daemon_status()[2]
        self.assertNotEqual(caldav_port, moved)
        self.assertEqual("http://127.0.0.1:%d/" % moved, proxied_to())
        self.assertEqual(207, carol())
        with self.assertRaises(BlockingIOError):
            squatter.accept()

        webapi_call("set", {"enable": False}, api=SWITCH_API, env=DAEMONS)
        self.assertEqual(404, carol())
        self.assertIsNone(proxied_to())
        self.assertEqual((False, 0), daemon_status()[:2])
        self.assertIn(["caldav", "0", "no", "-", "-"], services())
        self.assertEqual([], [p for p in root_processes() if "kivo_server" in p])
        self.assertIn("apache2", "".join(root_processes()))
        ops = [op["op"] for op in caldav_ops()]
        self.assertEqual(["caldav.start", "caldav.stop"] * (len(ops) // 2), ops)
        # No request of the whole run ended in a 500.
        self.assertNotIn("An exception occurred", read_file("var/log/kivo/caldav.log"))
        # Every log names users' paths: root's and the administrators' only.
        for name in os.listdir(path("var/log/kivo")):
            st = os.stat(path("var/log/kivo/" + name))
            self.assertEqual((0o640, 0), (st.st_mode & 0o7777, st.st_uid), name)

    def test_the_administrator_gets_in_on_every_door_under_a_flood(self):
        port = self.behind_apache(anonymous=False)
        log = open(path(".serve.log"), "w+")
        self.addCleanup(log.close)
        server = subprocess.Popen([WEBAPI, "serve", "--listen", "127.0.0.1:0"], stdout=log,
                                  stderr=subprocess.STDOUT, start_new_session=True,
                                  env=dict(os.environ, KIVO_ROOT=ROOT))
        self.addCleanup(server.wait, 10)
        self.addCleanup(os.killpg, server.pid, signal.SIGTERM)
        for _ in range(100):
            found = re.search(r"listening on .*:(\d+)\n", read_file(".serve.log"))
            if found:
                break
            time.sleep(0.1)
        self.assertTrue(found, read_file(".serve.log"))
        api_port = int(found.group(1))

        def api_login(account, password):
            body = json.dumps({"account": account, "password": password})
            return ("POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n"
                    "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
                    % (api_port, len(body), body)).encode()

        def dav_login(where, spelling="Basic %s"):
            return lambda account, password: (
                "PROPFIND %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n"
                "Depth: 0\r\nAuthorization: %s\r\n\r\n" % (where.replace(
                    "ACCOUNT", account), port, spelling % basic(account, password))).encode()

        doors = {"web API": (api_port, api_login, "200"),
                 "WebDAV": (port, dav_login("/public/"), "207"),
                 "CalDAV": (port, dav_login("/caldav/ACCOUNT/"), "207")}

        def owner_login(door):
            door_port, request_of, _ = doors[door]
            start = time.monotonic()
            answer = raw_status(door_port, request_of("admin", PASSWORDS["admin"]), "127.0.0.1")
            return answer, time.monotonic() - start

        # The owner has logged in from this network before.
        for door, (_, _, ok) in doors.items():
            self.assertEqual(ok, owner_login(door)[0], door)
        flood_doors = [(p, lambda a, n, r=r: r(a, "wrong-%d" % n)) for p, r, _ in doors.values()]
        # And CalDAV with what a lenient reader would take: braked and answered at the door as
        # the rest, never holding a thread while a daemon behind it pauses.
        spellings = ("Basic\t%s", "Basic %s ", "Basic %s.")
        flood_doors.append((port, lambda a, n: dav_login("/caldav/ACCOUNT/", spellings[n % 3])(
            a, "wrong-%d" % n)))
        with Flood(flood_doors) as flood:
            # Every account the flood tries is past its brake at every door: how long that
            # takes is how long a busy machine takes to hash the first wrong passwords.
            deadline = time.monotonic() + 90
            while time.monotonic() < deadline and not all(
                    flood.answers.get((index, "429"), 0) for index in range(len(flood_doors))):
                time.sleep(0.2)
            took = {door: [owner_login(door) for _ in range(5)] for door in doors}
            excess = os.getloadavg()[0] / (os.cpu_count() or 1) - 1
            limit = self.LIMIT + min(8.0, max(0.0, 2.0 * excess))
        answers = dict(flood.answers)
        print("owner's logins (status, s):", took, "flood's answers:", answers, file=sys.stderr)
        for index, (door, (_, _, ok)) in enumerate(doors.items()):
            self.assertEqual([ok] * 5, [status for status, _ in took[door]], door)
            self.assertLess(max(seconds for _, seconds in took[door]), limit,
                            "%s (load %.1f)" % (door, os.getloadavg()[0]))
            self.assertGreater(answers.get((index, "429"), 0), 0, "%s: %s" % (door, answers))
        self.assertGreater(answers.get((len(doors), "429"), 0), 0, answers)


def on_signal(signum, _frame):
    # Interrupted (a ctest timeout, ^C): the daemons go first.
    if ROOT:
        run(WEBAPI, "services", "--stop-all", check=False)
        run(CTL, "stop", check=False)
        shutil.rmtree(ROOT, ignore_errors=True)
    os._exit(128 + signum)


def main():
    global CTL, WEBAPI, ROOT_PREFIX
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    parser = argparse.ArgumentParser()
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--webapi", required=True)
    parser.add_argument("--root-prefix", default=ROOT_PREFIX)
    args, rest = parser.parse_known_args()
    CTL, WEBAPI, ROOT_PREFIX = args.ctl, args.webapi, args.root_prefix
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
