#!/usr/bin/python3
"""The CalDAV daemon with real clients (python3-caldav, vdirsyncer, curl) on loopback,
in one root for the run: alice, bob and carol (alice and carol in "team"), calendars
made through `call`, the daemon driven through the platform and always stopped.

  caldav_daemon_test.py --ctl PATH --webapi PATH [--root-prefix /tmp/NAME-]
                        [unittest options]
"""

import argparse
import base64
import collections
import datetime
import http.client
import json
import os
import pwd
import re
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import uuid

import caldav

CTL = WEBAPI = ""
ROOT_PREFIX = "/tmp/kivo-caldav-"
ROOT = ""
PORT = 0
PASSWORDS = {"admin": "admin-pw", "alice": "alice-pw", "bob": "bob-pw", "carol": "carol-pw"}
TEAM_GID = 2000
CALENDAR_API = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar"


def run(*args, check=True, env=None):
    env = dict(os.environ, KIVO_ROOT=ROOT, **(env or {}))
    done = subprocess.run(args, env=env, capture_output=True, text=True, timeout=60)
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


def uid_of(user):
    with open(path("etc/passwd")) as f:
        for line in f:
            fields = line.split(":")
            if fields[0] == user:
                return int(fields[2])
    raise KeyError(user)


def create_in_public(name):
    return webapi_call("create", {"share": "public", "destination": "public",
                                  "fullpath": path("volume1/public"), "calendarname": name})["id"]


def daemon_status():
    running, pid, port = run(CTL, "status").stdout.split()
    return running == "1", int(pid), int(port)


def stop_daemon():
    if ROOT:
        run(CTL, "stop", check=False)


def read_file(relative):
    with open(path(relative)) as f:
        return f.read()


def write_file(name, text):
    with open(name, "w") as f:
        f.write(text)


def free_port():
    # Any address, as the settings' port check binds (nothing listens here).
    with socket.socket() as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def proxied_to():
    """Where the WebDAV daemon's configuration sends /caldav/, or None."""
    found = re.search(r"^ProxyPass /caldav/ (\S+)", read_file("var/lib/kivo/webdav/httpd.conf"),
                      re.M)
    return found and found.group(1)


def services_row(service):
    for line in run(WEBAPI, "services").stdout.splitlines():
        if line.split()[0] == service:
            return line.split()
    return None


def root_processes(with_pids=False):
    """The command lines of the processes that name something in the root."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                args = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if ROOT + "/" in args:
            found.append((int(pid), args) if with_pids else args)
    return found


def stop_leftovers():
    """Whatever of the root still runs at the end is stopped, and fails the run."""
    for _ in range(20):
        left = root_processes(with_pids=True)
        if not left:
            return
        time.sleep(0.1)
    groups = set()
    for pid, _ in left:
        try:
            groups.add(os.getpgid(pid))
        except OSError:
            pass
    groups -= {os.getpgrp(), os.getpgid(os.getppid())}  # never the runner's own
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for group in groups:
            try:
                os.killpg(group, sig)
            except OSError:
                pass
        time.sleep(2 if sig == signal.SIGTERM else 0)
    raise AssertionError("still running after the tests: %s" % left)


def setUpModule():
    global ROOT, PORT
    if os.geteuid() != 0:
        raise unittest.SkipTest("the CalDAV daemon switches identities: run as root")
    try:
        pwd.getpwnam("radicale")
    except KeyError:
        raise unittest.SkipTest("no system account radicale (Debian's radicale package)")
    ROOT = tempfile.mkdtemp(prefix=os.path.basename(ROOT_PREFIX),
                            dir=os.path.dirname(ROOT_PREFIX))
    unittest.addModuleCleanup(shutil.rmtree, ROOT, ignore_errors=True)
    unittest.addModuleCleanup(stop_leftovers)
    os.chmod(ROOT, 0o755)
    with open(path(".pw"), "w") as f:
        f.write(PASSWORDS["admin"] + "\n")
    run(WEBAPI, "init", "--admin-password-file", path(".pw"))
    for user in ("alice", "bob", "carol"):
        run(WEBAPI, "useradd", user)
    for user, password in PASSWORDS.items():
        subprocess.run([WEBAPI, "passwd", user], input=password + "\n", text=True, check=True,
                       env=dict(os.environ, KIVO_ROOT=ROOT), capture_output=True)
    with open(path("etc/group"), "a") as f:
        f.write("team:x:%d:alice,carol\n" % TEAM_GID)

    # alice's and bob's own calendars, in homes only they may enter.
    webapi_call("create", {"share": "home", "destination": "home", "calendarname": "Mine",
                           "fullpath": path("volume1/homes/alice")}, user="alice")
    webapi_call("create", {"share": "home", "destination": "home", "calendarname": "Bobs",
                           "fullpath": path("volume1/homes/bob")}, user="bob")
    for user in ("alice", "bob"):
        os.chmod(path("volume1/homes/" + user), 0o700)
    # The team's calendar; one all read but only admin writes; one whose folder is gone.
    create_in_public("Team")
    os.chown(path("volume1/public/Team"), -1, TEAM_GID)
    os.chmod(path("volume1/public/Team"), 0o2770)
    create_in_public("Notice")
    os.chmod(path("volume1/public/Notice"), 0o755)
    create_in_public("Gone")
    shutil.rmtree(path("volume1/public/Gone"))

    webapi_call("set", {"enable": True}, api="KIVO.Core.FileServ.WebDAV.CalDAV")
    unittest.addModuleCleanup(stop_daemon)
    run(CTL, "webdav-up")
    running, _, PORT = daemon_status()
    assert running and PORT > 0


def client(user):
    return caldav.DAVClient(url="http://127.0.0.1:%d/" % PORT, username=user,
                            password=PASSWORDS[user])


def calendars(user):
    return {c.name: str(c.url) for c in client(user).principal().calendars()}


def request(method, target, user=None, password=None, body="", headers=None, port=None):
    conn = http.client.HTTPConnection("127.0.0.1", port or PORT, timeout=10)
    headers = dict(headers or {})
    if user is not None:
        token = "%s:%s" % (user, PASSWORDS[user] if password is None else password)
        headers["Authorization"] = "Basic " + base64.b64encode(token.encode()).decode()
    conn.request(method, target, body=body.encode(), headers=headers)
    response = conn.getresponse()
    data = response.read()
    conn.close()
    return response.status, data


def bare_request(method, target, port):
    """The response (headers and status) to a request without credentials."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.request(method, target, headers={"Depth": "0"})
    response = conn.getresponse()
    response.read()
    conn.close()
    return response


def event(uid, start):
    stamp = start.strftime("%Y%m%dT%H%M%SZ")
    end = (start + datetime.timedelta(hours=1)).strftime("%Y%m%dT%H%M%SZ")
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//kivo test//EN\r\n"
            "BEGIN:VEVENT\r\nUID:%s\r\nDTSTAMP:%s\r\nDTSTART:%s\r\nDTEND:%s\r\n"
            "SUMMARY:Meeting %s\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n" % (uid, stamp, stamp, end, uid))


def vdirsyncer(user, *args, answers="", check=True, url=None):
    """Runs vdirsyncer on the user's pair "cal" (every calendar the server
    lists, its name and colour too) against the daemon, or `url`; answers
    its output and, with `check`, fails on an exit code or a logged
    error."""
    home = path(".vdirsyncer-" + user + ("-proxied" if url else ""))
    config = os.path.join(home, "config")
    os.makedirs(os.path.join(home, "local"), exist_ok=True)
    write_file(config, """[general]
status_path = "%(home)s/status/"

[pair cal]
a = "local"
b = "server"
collections = ["from b"]
metadata = ["displayname", "color"]
conflict_resolution = "b wins"

[storage local]
type = "filesystem"
path = "%(home)s/local/"
fileext = ".ics"

[storage server]
type = "caldav"
url = "%(url)s"
username = "%(user)s"
password = "%(password)s"
""" % {"home": home, "url": url or "http://127.0.0.1:%d/" % PORT, "user": user,
       "password": PASSWORDS[user]})
    done = subprocess.run(["vdirsyncer", "-c", config] + list(args), input=answers,
                          capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, HOME=home))
    output = done.stdout + done.stderr
    failed = done.returncode != 0 or re.search(r"^(error|critical)", output, re.M | re.I)
    if check and failed:
        raise AssertionError("vdirsyncer %s as %s: %d\n%s" % (args, user, done.returncode, output))
    return output


def local_collection(user, url):
    return path(".vdirsyncer-%s/local/%s" % (user, url.rstrip("/").rsplit("/", 1)[1]))


def put_expecting_continue(head, body, port):
    """Sends a request head that asks to go on first, and the body only
    after "100 Continue"; answers the interim and the final status lines
    (b"" for no interim answer)."""
    with socket.create_connection(("127.0.0.1", port), timeout=15) as s:
        s.sendall(head)
        answer = s.makefile("rb")
        status = answer.readline()
        if not status.startswith(b"HTTP/1.1 100 "):
            return b"", status
        answer.readline()  # the blank line that ends it
        s.sendall(body)
        return status, answer.readline()


def parallel_kept_alive_rounds(port, team, clients=5, rounds=50):
    """`clients` kept-alive connections, each round a PROPFIND, a REPORT and a PUT as
    carol; answers what went wrong."""
    token = base64.b64encode(("carol:" + PASSWORDS["carol"]).encode()).decode()
    report = ('<?xml version="1.0"?><C:calendar-query xmlns:D="DAV:" '
              'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><D:getetag/></D:prop>'
              '<C:filter><C:comp-filter name="VCALENDAR"/></C:filter></C:calendar-query>')
    problems = []

    def one_client(index):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
        try:
            for round_ in range(rounds):
                steps = [("PROPFIND", "/caldav/carol/", "", {"Depth": "1"}),
                         ("REPORT", "/" + team, report, {"Depth": "1"}),
                         ("PUT", "/%skept-%d.ics" % (team, index),
                          event("kept-%d" % index, datetime.datetime(2032, 1, 1 + index)),
                          {"Content-Type": "text/calendar"})]
                for method, target, body, headers in steps:
                    conn.request(method, target, body=body.encode(),
                                 headers=dict(headers, Authorization="Basic " + token))
                    response = conn.getresponse()
                    response.read()
                    if response.status >= 500:
                        problems.append("%s %s: %d" % (method, target, response.status))
        except (OSError, http.client.HTTPException) as e:
            problems.append("client %d: %r" % (index, e))
        finally:
            conn.close()

    threads = [threading.Thread(target=one_client, args=(i,)) for i in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for index in range(clients):
        try:
            os.remove(path("volume1/public/Team/kept-%d.ics" % index))
        except FileNotFoundError:
            pass
    return problems


class CalDAVDaemonTest(unittest.TestCase):

    def test_each_user_lists_exactly_the_calendars_the_kernel_lets_them_read(self):
        cases = [
            ("alice", {"Mine", "Team", "Notice"}),   # home, group, world-readable
            ("bob", {"Bobs", "Notice"}),             # not in team; alice's home closed
            ("carol", {"Team", "Notice"}),           # no calendar of her own
        ]
        for user, expected in cases:
            with self.subTest(user=user):
                self.assertEqual(set(calendars(user)), expected)
        # A registry edited by hand, with comments as its JSON reader allows.
        registry = path("usr/kivo/etc/calendar.info")
        with open(registry) as f:
            text = f.read()
        self.addCleanup(write_file, registry, text)
        entries = [e for e in json.loads(text) if e["calendarname"] != "Notice"]
        with open(registry, "w") as f:
            f.write('// by hand\n[ /* "//" */\n' + json.dumps(entries)[1:])
        self.assertEqual(set(calendars("bob")), {"Bobs"})

    def test_event_is_a_file_of_its_writer_in_the_registered_folder(self):
        team = client("alice").calendar(url=calendars("alice")["Team"])
        start = datetime.datetime(2031, 3, 4, 10, 0, tzinfo=datetime.timezone.utc)
        uid = str(uuid.uuid4())
        team.save_event(event(uid, start))

        found = team.date_search(start - datetime.timedelta(days=1),
                                 start + datetime.timedelta(days=1))
        self.assertEqual([uid], [str(e.vobject_instance.vevent.uid.value) for e in found])
        self.assertEqual([], team.date_search(start + datetime.timedelta(days=30),
                                              start + datetime.timedelta(days=31)))
        files = [n for n in os.listdir(path("volume1/public/Team")) if n.endswith(".ics")]
        self.assertEqual(1, len(files))
        self.assertEqual(uid_of("alice"), os.stat(path("volume1/public/Team/" + files[0])).st_uid)

        # carol, in the team, sees alice's event; a sync from her token finds nothing new.
        carols = client("carol").calendar(url=calendars("carol")["Team"])
        self.assertEqual(1, len(carols.events()))
        synced = carols.objects_by_sync_token()
        self.assertEqual(1, len(list(synced)))
        self.assertEqual(0, len(list(carols.objects_by_sync_token(synced.sync_token))))

        found[0].delete()
        self.assertEqual([], [n for n in os.listdir(path("volume1/public/Team"))
                              if n.endswith(".ics")])

    def test_daemon_runs_as_its_account_with_two_capabilities_on_loopback(self):
        running, pid, port = daemon_status()
        self.assertTrue(running)
        with open("/proc/%d/status" % pid) as f:
            status = dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)
        account = pwd.getpwnam("radicale")
        self.assertEqual([str(account.pw_uid)] * 4, status["Uid"].split())
        cap_setuid_setgid = "%016x" % ((1 << 6) | (1 << 7))
        for capability_set in ("CapPrm", "CapEff", "CapBnd"):
            self.assertEqual(cap_setuid_setgid, status[capability_set], capability_set)
        self.assertEqual("1", status["NoNewPrivs"].strip())
        self.assertEqual("", status["Groups"].strip())
        listening = []
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(table) as f:
                for line in list(f)[1:]:
                    local, state = line.split()[1], line.split()[3]
                    if state == "0A" and int(local.split(":")[1], 16) == port:
                        listening.append(local.split(":")[0])
        self.assertEqual(["0100007F"], listening)  # 127.0.0.1 only

    def test_read_only_folder_refuses_writes_for_that_user(self):
        notice = calendars("bob")["Notice"]
        status, _ = request("PUT", notice + "x.ics", user="bob",
                            body=event("ro-1", datetime.datetime(2031, 1, 1)),
                            headers={"Content-Type": "text/calendar"})
        self.assertEqual(403, status)
        self.assertEqual([".DAV"], os.listdir(path("volume1/public/Notice")))
        # Nor is a write offered, so that clients show it read-only.
        body = ('<?xml version="1.0"?><propfind xmlns="DAV:"><prop>'
                '<current-user-privilege-set/></prop></propfind>')
        status, data = request("PROPFIND", "/bob/", user="bob", body=body,
                               headers={"Depth": "1", "Content-Type": "application/xml"})
        self.assertEqual(207, status, data)
        href = re.sub(r"^https?://[^/]+", "", notice).encode()
        found = [r for r in re.split(rb"<(?:\w+:)?response>", data) if href + b"<" in r]
        self.assertEqual(1, len(found), data)
        privileges = [p.split(b":")[-1] for p in
                      re.findall(rb"<(?:\w+:)?privilege>\s*<([\w:-]+)", found[0])]
        self.assertIn(b"read", privileges, found[0])
        self.assertNotIn(b"write", privileges, found[0])

    def test_calendar_made_renamed_moved_and_removed_through_the_web_api(self):
        old_id = create_in_public("Trip")
        url = calendars("bob").get("Trip")
        self.assertIsNotNone(url)

        new_id = webapi_call("set", {"id": old_id, "share": "public", "destination": "public",
                                     "calendarname": "Voyage", "fullpath": ""})["id"]
        listed = calendars("bob")
        self.assertNotIn("Trip", listed)
        self.assertEqual(url, listed.get("Voyage"))

        os.makedirs(path("volume1/public/archive"), exist_ok=True)
        moved_id = webapi_call("set", {"id": new_id, "share": "public",
                                       "destination": "public/archive",
                                       "calendarname": "Voyage", "fullpath": ""})["id"]
        self.assertTrue(os.path.isdir(path("volume1/public/archive/Voyage")))
        self.assertEqual(url, calendars("bob").get("Voyage"))

        # Deleted, it answers 404 at once, also at its URL (a client drops it).
        webapi_call("delete", {"id": [moved_id]})
        self.assertNotIn(url, calendars("bob").values())
        for method in ("PROPFIND", "REPORT", "DELETE"):
            with self.subTest(method):
                self.assertEqual(404, request(method, "/" + url.split("/", 3)[3], user="bob",
                                              headers={"Depth": "0"})[0])

    def test_refusals(self):
        mine = calendars("alice")["Mine"]
        mine_path = "/" + mine.split("/", 3)[3]
        unknown = "/alice/cal-0000000000/"
        ics = {"Content-Type": "text/calendar"}
        cases = [
            ("another user's principal", "PROPFIND", "/bob/", "alice", None, 403),
            ("anonymous", "PROPFIND", "/alice/", None, None, 401),
            ("wrong password", "PROPFIND", "/alice/", "alice", "nope", 401),
            ("wrong password, unknown calendar", "DELETE", unknown, "alice", "nope", 401),
            ("password with a NUL", "PROPFIND", "/alice/", "alice", "alice-pw\0x", 401),
            ("MKCALENDAR of a new calendar", "MKCALENDAR", "/alice/new/", "alice", None, 403),
            ("MKCALENDAR over a calendar", "MKCALENDAR", mine_path, "alice", None, 403),
            ("MKCOL", "MKCOL", "/alice/other/", "alice", None, 403),
            ("DELETE of a calendar", "DELETE", mine_path, "alice", None, 403),
            ("DELETE of a principal", "DELETE", "/alice/", "alice", None, 403),
            ("MOVE of a calendar", "MOVE", mine_path, "alice", None, 403),
            ("COPY of a calendar", "COPY", mine_path, "alice", None, 403),
            ("MOVE of a principal", "MOVE", "/alice/", "alice", None, 403),
            ("PUT over a calendar", "PUT", mine_path, "alice", None, 403),
        ]
        # A calendar the user does not see answers 404 to every method (a client drops it).
        for method in ("PROPFIND", "REPORT", "GET", "PROPPATCH", "DELETE", "OPTIONS", "MOVE",
                       "COPY"):
            cases.append(("%s of an unknown calendar" % method, method, unknown, "alice",
                          None, 404))
        for method in ("GET", "PUT", "DELETE", "MOVE"):
            cases.append(("%s of an item of an unknown calendar" % method, method,
                          unknown + "x.ics", "alice", None, 404))
        cases.append(("MKCALENDAR of an unknown calendar", "MKCALENDAR", unknown, "alice",
                      None, 403))
        for label, method, target, user, password, expected in cases:
            with self.subTest(label):
                headers = dict(ics, Destination="http://127.0.0.1:%d/alice/moved/" % PORT)
                body = event("refused", datetime.datetime(2031, 1, 1)) if method == "PUT" else ""
                status, _ = request(method, target, user=user, password=password,
                                    headers=headers, body=body)
                self.assertEqual(expected, status)
        self.assertTrue(os.path.isdir(path("volume1/homes/alice/Mine/.DAV")))

    def test_clients_keep_colour_and_order_but_never_rename(self):
        props = path("volume1/homes/alice/Mine/.DAV/caldav.json")
        self.addCleanup(lambda: os.path.exists(props) and os.remove(props))
        mine = client("alice").calendar(url=calendars("alice")["Mine"])
        mine_path = "/" + str(mine.url).split("/", 3)[3]
        registry = read_file("usr/kivo/etc/calendar.info")

        def proppatch(props_xml):
            body = ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" '
                    'xmlns:C="urn:ietf:params:xml:ns:caldav" xmlns:A="http://apple.com/ns/ical/">'
                    '<D:set><D:prop>%s</D:prop></D:set></D:propertyupdate>' % props_xml)
            status, data = request("PROPPATCH", mine_path, user="alice", body=body)
            self.assertEqual(207, status)
            return re.findall(r"<[^>]*status>HTTP/1.1 (\d+)", data.decode())

        self.assertEqual(["200"], proppatch('<A:calendar-color>#ff0000ff</A:calendar-color>'
                                            '<A:calendar-order>3</A:calendar-order>'))
        with open(props) as f:
            self.assertEqual({"ICAL:calendar-color": "#ff0000ff", "ICAL:calendar-order": "3"},
                             json.load(f))
        self.assertEqual(uid_of("alice"), os.stat(props).st_uid)

        # A name or type of the registry's is refused whole: 403, and 424 for what came with it.
        cases = [
            ("name", "<D:displayname>Holidays</D:displayname>", ["403"]),
            ("name and colour", "<D:displayname>Holidays</D:displayname>"
             "<A:calendar-color>#00ff00ff</A:calendar-color>", ["403", "424"]),
            ("type", "<D:resourcetype><D:collection/></D:resourcetype>", ["403"]),
            ("components", '<C:supported-calendar-component-set><C:comp name="VTODO"/>'
             "</C:supported-calendar-component-set>", ["403"]),
        ]
        for label, props_xml, expected in cases:
            with self.subTest(label):
                self.assertEqual(expected, proppatch(props_xml))
        with open(props) as f:
            self.assertEqual("#ff0000ff", json.load(f)["ICAL:calendar-color"])
        self.assertEqual(registry, read_file("usr/kivo/etc/calendar.info"))
        # A name written into the folder's file by hand never shows: the registry names it.
        with open(props, "w") as f:
            json.dump({"D:displayname": "Holidays", "ICAL:calendar-color": "#0000ffff"}, f)
        self.assertEqual(str(mine.url), calendars("alice").get("Mine"))

    def test_hostile_item_names_never_leave_the_folder(self):
        mine = calendars("alice")["Mine"]
        mine_path = "/" + mine.split("/", 3)[3]
        folder = path("volume1/homes/alice/Mine")
        before = set(os.listdir(folder)), set(os.listdir(path("volume1/homes/alice")))
        for name in ("..%2Fescape.ics", "%2E%2E/escape.ics", ".hidden.ics", "notes.txt",
                     "a%00b.ics", "x.ics%2F..%2F..%2Fescape.ics"):
            with self.subTest(name):
                status, _ = request("PUT", mine_path + name, user="alice",
                                    body=event("hostile-" + name, datetime.datetime(2031, 2, 2)),
                                    headers={"Content-Type": "text/calendar"})
                self.assertGreaterEqual(status, 400)
                self.assertLess(status, 500)
        self.assertEqual(before, (set(os.listdir(folder)),
                                  set(os.listdir(path("volume1/homes/alice")))))

    def test_what_users_drop_into_a_calendar_folder_is_skipped(self):
        folder = path("volume1/homes/alice/Mine")
        with open(os.path.join(folder, "notes.txt"), "w") as f:
            f.write("not a calendar\n")
        with open(os.path.join(folder, "broken.ics"), "w") as f:
            f.write("BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nDTSTART:garbage\r\n")
        os.symlink("/etc/passwd", os.path.join(folder, "link.ics"))
        mine = client("alice").calendar(url=calendars("alice")["Mine"])
        start = datetime.datetime(2032, 5, 6, 9, 0, tzinfo=datetime.timezone.utc)
        mine.save_event(event("good-1", start))
        self.assertEqual(["good-1"], [str(e.vobject_instance.vevent.uid.value)
                                      for e in mine.events()])

    def test_kept_listing_follows_access_and_prefix(self):
        # A principal's listing is kept while its sources are unchanged, never within 2 s of one.
        time.sleep(2.1)
        body = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop><D:displayname/>'
                '</D:prop></D:propfind>')

        def listing(prefix=None):
            headers = {"Depth": "1"}
            if prefix:
                headers["X-Script-Name"] = prefix
            status, data = request("PROPFIND", "/carol/", user="carol", body=body,
                                   headers=headers)
            self.assertEqual(207, status)
            return data.decode()

        first = listing()
        self.assertEqual(first, listing())
        self.assertIn(">Team<", first)
        self.assertIn("<href>/caldav/carol/</href>", listing("/caldav"))
        self.assertNotIn("/caldav/", listing())

        team = path("volume1/public/Team")
        os.chmod(team, 0o2700)  # a mode change leaves the folder's mtime alone
        try:
            self.assertNotIn(">Team<", listing())
        finally:
            os.chmod(team, 0o2770)
        self.assertIn(">Team<", listing())

    def test_upload_with_expect_100_continue_goes_on_at_once(self):
        mine = calendars("alice")["Mine"]
        target = "/" + mine.split("/", 3)[3] + "expect-1.ics"
        uploaded = path("volume1/homes/alice/Mine/expect-1.ics")
        self.addCleanup(lambda: os.path.exists(uploaded) and os.remove(uploaded))
        body = event("expect-1", datetime.datetime(2031, 6, 1)).encode()
        token = base64.b64encode(b"alice:" + PASSWORDS["alice"].encode()).decode()
        cases = [
            # The client waits for "100 Continue" (a socket timeout would end a stall).
            ("credentials", "Authorization: Basic %s\r\n" % token, b"100", b" 201 "),
            # Refused before the body is read: no 100, and no body need follow.
            ("no credentials", "", b"", b" 401 "),
        ]
        for label, authorization, interim, final in cases:
            with self.subTest(label):
                head = ("PUT %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s"
                        "Content-Type: text/calendar\r\nContent-Length: %d\r\n"
                        "Expect: 100-continue\r\n\r\n" % (target, PORT, authorization,
                                                            len(body))).encode()
                got_interim, got_final = put_expecting_continue(head, body, PORT)
                self.assertIn(interim, got_interim)
                self.assertIn(final, got_final)
        self.assertTrue(os.path.exists(uploaded))

    def test_sync_client_follows_what_the_web_api_does(self):
        sync_id = create_in_public("Sync")
        folder = path("volume1/public/Sync")
        os.chown(folder, uid_of("alice"), -1)
        url = calendars("alice")["Sync"]
        local = local_collection("alice", url)

        vdirsyncer("alice", "discover", answers="y\n" * 20)
        vdirsyncer("alice", "sync")
        vdirsyncer("alice", "metasync")
        with open(os.path.join(local, "displayname")) as f:
            self.assertEqual("Sync", f.read().strip())

        # An event and a colour made on the client's side go up.
        write_file(os.path.join(local, "local-1.ics"),
                   event("local-1", datetime.datetime(2031, 7, 1, 9, 0)))
        write_file(os.path.join(local, "color"), "#00aa00")
        vdirsyncer("alice", "sync")
        vdirsyncer("alice", "metasync")
        uploaded = [n for n in os.listdir(folder) if n.endswith(".ics")]
        self.assertEqual(1, len(uploaded))
        self.assertEqual(uid_of("alice"), os.stat(os.path.join(folder, uploaded[0])).st_uid)
        with open(os.path.join(folder, uploaded[0])) as f:
            self.assertIn("UID:local-1", f.read())
        with open(os.path.join(folder, ".DAV/caldav.json")) as f:
            self.assertEqual("#00aa00", json.load(f).get("ICAL:calendar-color"))

        # Renamed and moved through the web API: the same collection, its new name, no error.
        renamed = webapi_call("set", {"id": sync_id, "share": "public", "destination": "public",
                                      "calendarname": "Synced", "fullpath": ""})["id"]
        os.makedirs(path("volume1/public/sync-archive"), exist_ok=True)
        moved = webapi_call("set", {"id": renamed, "share": "public",
                                    "destination": "public/sync-archive",
                                    "calendarname": "Synced", "fullpath": ""})["id"]
        vdirsyncer("alice", "sync")
        vdirsyncer("alice", "metasync")
        with open(os.path.join(local, "displayname")) as f:
            self.assertEqual("Synced", f.read().strip())
        self.assertEqual(uploaded, [n for n in os.listdir(path("volume1/public/sync-archive/"
                                                                "Synced")) if n.endswith(".ics")])

        # Deleted through the web API: the next sync finds it gone ("Not Found", not a refusal
        # that would make it try MKCALENDAR); the next discover and sync drop it quietly.
        webapi_call("delete", {"id": [moved]})
        gone = url.rstrip("/").rsplit("/", 1)[1]
        self.assertIn("error: Unknown error occurred for cal/%s: Not Found" % gone,
                      vdirsyncer("alice", "sync", check=False))
        vdirsyncer("alice", "discover", answers="n\n" * 20)
        output = vdirsyncer("alice", "sync")
        self.assertNotIn(gone, output)

    def test_bob_never_reaches_alices_home_calendars(self):
        # Closed homes, whatever the accounts' tools made them.
        for user in ("alice", "bob"):
            os.chmod(path("volume1/homes/" + user), 0o700)
        mine = calendars("alice")["Mine"]
        name = mine.rstrip("/").rsplit("/", 1)[1]
        folder = path("volume1/homes/alice/Mine")
        private = os.path.join(folder, "private.ics")
        self.addCleanup(lambda: os.path.exists(private) and os.remove(private))
        self.assertEqual(201, request("PUT", "/alice/%s/private.ics" % name, user="alice",
                                      body=event("private", datetime.datetime(2031, 8, 1)),
                                      headers={"Content-Type": "text/calendar"})[0])
        before = sorted(os.listdir(folder))
        self.assertNotIn(mine, calendars("bob").values())
        vdirsyncer("bob", "discover", answers="y\n" * 20)
        vdirsyncer("bob", "sync")
        vdirsyncer("bob", "metasync")
        local = path(".vdirsyncer-bob/local")
        names = set()
        for collection in os.listdir(local):
            with open(os.path.join(local, collection, "displayname")) as f:
                names.add(f.read().strip())
        self.assertIn("Bobs", names)
        self.assertNotIn("Mine", names)
        self.assertNotIn(name, os.listdir(local))
        body = event("bobs-intrusion", datetime.datetime(2031, 8, 1))
        report = ('<?xml version="1.0"?><C:calendar-query xmlns:D="DAV:" '
                  'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><D:getetag/></D:prop>'
                  '<C:filter><C:comp-filter name="VCALENDAR"/></C:filter></C:calendar-query>')
        cases = [
            # Through bob's own principal the calendar does not exist ...
            ("PROPFIND", "/bob/%s/" % name, "", 404),
            ("REPORT", "/bob/%s/" % name, report, 404),
            ("GET", "/bob/%s/private.ics" % name, "", 404),
            ("PUT", "/bob/%s/bob.ics" % name, body, 404),
            ("DELETE", "/bob/%s/private.ics" % name, "", 404),
            # ... and alice's principal is not his.
            ("PROPFIND", "/alice/%s/" % name, "", 403),
            ("REPORT", "/alice/%s/" % name, report, 403),
            ("PUT", "/alice/%s/bob.ics" % name, body, 403),
            ("DELETE", "/alice/%s/private.ics" % name, "", 403),
        ]
        for method, target, data, expected in cases:
            with self.subTest(method=method, target=target):
                status, answer = request(method, target, user="bob", body=data,
                                         headers={"Depth": "1",
                                                  "Content-Type": "text/calendar"})
                self.assertEqual(expected, status)
                self.assertNotIn(b"BEGIN:VEVENT", answer)
        self.assertEqual(before, sorted(os.listdir(folder)))

    def test_stop_ends_requests_under_way_in_time(self):
        global PORT
        # One client stalls in its request head, one after 100-continue: neither holds the stop.
        stalled = socket.create_connection(("127.0.0.1", PORT))
        self.addCleanup(stalled.close)
        stalled.sendall(b"PROPFIND /alice/ HTTP/1.1\r\nHost: x\r\n")
        token = base64.b64encode(b"alice:" + PASSWORDS["alice"].encode()).decode()
        waiting = socket.create_connection(("127.0.0.1", PORT), timeout=15)
        self.addCleanup(waiting.close)
        waiting.sendall(("PUT /alice/%s/w.ics HTTP/1.1\r\nHost: x\r\n"
                         "Authorization: Basic %s\r\nContent-Length: 100\r\n"
                         "Expect: 100-continue\r\n\r\n" % (
                             calendars("alice")["Mine"].rstrip("/").rsplit("/", 1)[1],
                             token)).encode())
        self.assertTrue(waiting.recv(100).startswith(b"HTTP/1.1 100 "))
        pid = daemon_status()[1]
        done = run(CTL, "stop")
        self.assertNotIn("SIGTERM", done.stderr)
        self.assertFalse([p for p in root_processes() if "kivo_server" in p])
        with open(path("var/log/kivo/platform.jsonl")) as f:
            last = [json.loads(line) for line in f if "caldav." in line][-1]
        self.assertEqual(("caldav.stop", pid), (last["op"], last["pid"]))
        self.assertIn("Stopped on signal 15", read_file("var/log/kivo/caldav.log"))
        run(CTL, "webdav-up")
        running, _, PORT = daemon_status()
        self.assertTrue(running)


class PlatformApacheTest(unittest.TestCase):
    """The CalDAV daemon behind the platform's WebDAV daemon, then switched off; the
    module's set-up (the CalDAV daemon alone) holds again afterwards."""

    @classmethod
    def tearDownClass(cls):
        global PORT
        run(WEBAPI, "services", "--stop-all", check=False)
        # The events it put into the team's calendar go with it.
        for name in ("curl-http.ics", "curl-https.ics", "moved.ics"):
            try:
                os.remove(path("volume1/public/Team/" + name))
            except FileNotFoundError:
                pass
        webapi_call("set", {"enable": True}, api="KIVO.Core.FileServ.WebDAV.CalDAV")
        run(CTL, "webdav-up")
        running, _, PORT = daemon_status()
        assert running and PORT > 0

    def test_calendars_behind_the_platforms_apache_until_switched_off(self):
        # The platform's WebDAV daemon through the module; the switch restarts it, rewriting
        # its configuration and then starting or stopping the CalDAV daemon.
        port, https_port = free_port(), free_port()
        self.addCleanup(run, WEBAPI, "services", "--stop-all", check=False)
        # The daemon the module set-up started alone: --stop-all finds it all the same.
        run(WEBAPI, "services", "--stop-all")
        self.assertFalse(daemon_status()[0])
        daemons = {"KIVO_DAEMONS": "on", "KIVO_WEBDAV_ADDRESS": "127.0.0.1"}
        webapi_call("set", {"enable_http": True, "http_port_num": port, "enable_https": True,
                            "https_port_num": https_port, "anonymouslogin_enable": True},
                    api="KIVO.Core.FileServ.WebDAV", env=daemons)
        webapi_call("set", {"enable": True}, api="KIVO.Core.FileServ.WebDAV.CalDAV", env=daemons)
        base = "http://127.0.0.1:%d" % port
        running, pid, caldav_port = daemon_status()
        self.assertTrue(running)
        self.assertEqual(["caldav", "1", "yes", str(pid), str(caldav_port)], services_row("caldav"))
        self.assertEqual("http://127.0.0.1:%d/" % caldav_port, proxied_to())

        response = bare_request("GET", "/.well-known/caldav", port)
        self.assertEqual((301, base + "/caldav/"), (response.status, response.getheader("Location")))
        proxied = caldav.DAVClient(url=base + "/caldav/", username="carol",
                                   password=PASSWORDS["carol"])
        listed = {c.name: str(c.url) for c in proxied.principal().calendars()}
        self.assertEqual({"Team", "Notice"}, set(listed))
        for url in listed.values():
            self.assertTrue(url.startswith(base + "/caldav/carol/"), url)

        # Clients keeping their connections and sending in parallel: never a 5xx or a reset.
        self.assertEqual([], parallel_kept_alive_rounds(port, listed["Team"].split("/", 3)[3]))
        # vdirsyncer syncs again and again in parallel; python3-caldav goes through a session.
        for attempt in range(10):
            vdirsyncer("carol", "discover", answers="y\n" * 8, url=base + "/caldav/")
            vdirsyncer("carol", "sync", url=base + "/caldav/")
        team_calendar = [c for c in proxied.principal().calendars() if c.name == "Team"][0]
        saved = team_calendar.save_event(event("caldav-round", datetime.datetime(2031, 10, 1)))
        found = team_calendar.search(start=datetime.datetime(2031, 9, 30),
                                     end=datetime.datetime(2031, 10, 2), event=True)
        self.assertEqual(["caldav-round"], [e.vobject_instance.vevent.uid.value for e in found])
        saved.delete()
        self.assertFalse(os.path.exists(path("volume1/public/Team/caldav-round.ics")))

        # An upload asking to go on first (Expect: 100-continue, as curl -T) goes through the
        # proxy over HTTP and HTTPS: curl sends the body only on a relayed "100 Continue".
        team = listed["Team"].split("/", 3)[3]
        for scheme, scheme_port in (("http", port), ("https", https_port)):
            with self.subTest(scheme):
                upload = path(".curl-%s.ics" % scheme)
                write_file(upload, event("curl-" + scheme, datetime.datetime(2031, 9, 1)))
                done = subprocess.run(
                    ["curl", "-sS", "-k", "-T", upload, "-u", "carol:" + PASSWORDS["carol"],
                     "-H", "Content-Type: text/calendar", "-H", "Expect: 100-continue",
                     "--expect100-timeout", "60", "--max-time", "15", "-o", "/dev/null",
                     "-w", "%{http_code}",
                     "%s://127.0.0.1:%d/%scurl-%s.ics" % (scheme, scheme_port, team, scheme)],
                    capture_output=True, text=True, timeout=60)
                self.assertEqual("201", done.stdout, done.stderr)
                self.assertTrue(os.path.exists(path("volume1/public/Team/curl-%s.ics" % scheme)))
        # An event moves within what the daemon serves; a calendar never does.
        destination = {"Destination": "%s/%smoved.ics" % (base, team)}
        self.assertEqual(201, request("MOVE", "/%scurl-http.ics" % team, user="carol",
                                      port=port, headers=destination)[0])
        self.assertTrue(os.path.exists(path("volume1/public/Team/moved.ics")))
        self.assertEqual(403, request("MOVE", "/" + team, user="carol", port=port,
                                      headers={"Destination": base + "/caldav/carol/x/"})[0])

        # The daemon judges credentials itself; a client's X-Script-Name never reaches it.
        cases = [
            ("no credentials", None, None, {}, 401),
            ("wrong password", "carol", "nope", {}, 401),
            ("guest, the anonymous account", "guest", "", {}, 401),
            ("another user's principal", "alice", None, {}, 403),
            ("own X-Script-Name", "carol", None, {"X-Script-Name": "/evil"}, 207),
        ]
        for label, user, password, extra, expected in cases:
            with self.subTest(label):
                status, data = request("PROPFIND", "/caldav/carol/", user=user,
                                       password=password, port=port,
                                       headers=dict(extra, Depth="0"))
                self.assertEqual(expected, status)
                if status == 207:
                    self.assertIn(b"<href>/caldav/carol/</href>", data)
                    self.assertNotIn(b"/evil", data)

        # Without anonymous login the shares ask for Apache's login; /caldav/ for the daemon's.
        webapi_call("set", {"enable_http": True, "enable_https": False,
                            "anonymouslogin_enable": False},
                    api="KIVO.Core.FileServ.WebDAV", env=daemons)
        response = bare_request("PROPFIND", "/caldav/carol/", port)
        self.assertEqual((401, 'Basic realm="CalDAV"'),
                         (response.status, response.getheader("WWW-Authenticate")))
        self.assertEqual(207, request("PROPFIND", "/caldav/carol/", user="carol", port=port,
                                      headers={"Depth": "0"})[0])

        # A process taking the CalDAV daemon's port while it is down never sees a password:
        # the daemon starts on another port and the WebDAV daemon proxies there.
        run(CTL, "stop")
        squatter = socket.socket()
        self.addCleanup(squatter.close)
        squatter.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # past TIME_WAIT
        squatter.bind(("127.0.0.1", caldav_port))
        squatter.listen(8)
        squatter.setblocking(False)
        run(CTL, "webdav-up", env=daemons)
        moved = daemon_status()[2]
        self.assertNotEqual(caldav_port, moved)
        self.assertEqual("http://127.0.0.1:%d/" % moved, proxied_to())
        self.assertEqual(207, request("PROPFIND", "/caldav/carol/", user="carol", port=port,
                                      headers={"Depth": "0"})[0])
        with self.assertRaises(BlockingIOError):
            squatter.accept()

        webapi_call("set", {"enable": False}, api="KIVO.Core.FileServ.WebDAV.CalDAV",
                    env=daemons)
        self.assertEqual(404, request("PROPFIND", "/caldav/carol/", user="carol",
                                      port=port, headers={"Depth": "0"})[0])
        self.assertIsNone(proxied_to())
        self.assertEqual((False, 0), daemon_status()[:2])
        self.assertEqual(["caldav", "0", "no", "-", "-"], services_row("caldav"))
        self.assertEqual([], [p for p in root_processes() if "kivo_server" in p])
        self.assertIn("apache2", "".join(root_processes()))
        with open(path("var/log/kivo/platform.jsonl")) as f:
            ops = [json.loads(line).get("op") for line in f]
        ops = [op for op in ops if op and op.startswith("caldav.")]
        self.assertEqual(["caldav.start", "caldav.stop"] * (len(ops) // 2), ops)
        # No request of the whole run ended in a 500.
        with open(path("var/log/kivo/caldav.log")) as f:
            self.assertNotIn("An exception occurred", f.read())
        # Every log names users' paths: root's and the administrators' only.
        for name in os.listdir(path("var/log/kivo")):
            st = os.stat(path("var/log/kivo/" + name))
            self.assertEqual((0o640, 0), (st.st_mode & 0o7777, st.st_uid), name)


class Flood:
    """Wrong-password logins from `networks` /24s (127.N.M.1, never the owner's), `each`
    at once per network, resent as answered, over `doors` (port, request(account, n))
    and ACCOUNTS, in a thread of its own until stopped."""

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
        port, request = self.doors[door]
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
        selector.register(sock, selectors.EVENT_WRITE, [slot, door, request(account, k), b""])

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


def basic(account, password):
    return base64.b64encode(("%s:%s" % (account, password)).encode()).decode()


class OwnerUnderFloodTest(unittest.TestCase):
    """The owner's logins on every door while many networks guess."""

    # Each right login within 2 s under the flood; load beyond the cores adds up to 8 s.
    LIMIT = 2.0

    @classmethod
    def limit(cls):
        excess = os.getloadavg()[0] / (os.cpu_count() or 1) - 1
        return cls.LIMIT + min(8.0, max(0.0, 2.0 * excess))

    @classmethod
    def tearDownClass(cls):
        PlatformApacheTest.tearDownClass.__func__(cls)

    def test_the_administrator_gets_in_on_every_door_under_a_flood(self):
        port = free_port()
        self.addCleanup(run, WEBAPI, "services", "--stop-all", check=False)
        run(WEBAPI, "services", "--stop-all")
        daemons = {"KIVO_DAEMONS": "on", "KIVO_WEBDAV_ADDRESS": "127.0.0.1"}
        webapi_call("set", {"enable_http": True, "http_port_num": port, "enable_https": False,
                            "anonymouslogin_enable": False},
                    api="KIVO.Core.FileServ.WebDAV", env=daemons)
        webapi_call("set", {"enable": True}, api="KIVO.Core.FileServ.WebDAV.CalDAV", env=daemons)
        log = open(path(".serve.log"), "w+")
        self.addCleanup(log.close)
        server = subprocess.Popen([WEBAPI, "serve", "--listen", "127.0.0.1:0"], stdout=log,
                                  stderr=subprocess.STDOUT, start_new_session=True,
                                  env=dict(os.environ, KIVO_ROOT=ROOT))
        self.addCleanup(server.wait, 10)
        self.addCleanup(os.killpg, server.pid, signal.SIGTERM)
        api_port = 0
        for _ in range(100):
            found = re.search(r"listening on .*:(\d+)\n", read_file(".serve.log"))
            if found:
                api_port = int(found.group(1))
                break
            time.sleep(0.1)
        self.assertTrue(api_port, read_file(".serve.log"))

        def api_login(account, password):
            body = json.dumps({"account": account, "password": password})
            return ("POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n"
                    "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
                    % (api_port, len(body), body)).encode()

        def dav_login(target):
            return lambda account, password: (
                "PROPFIND %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n"
                "Depth: 0\r\nAuthorization: Basic %s\r\n\r\n"
                % (target.replace("ACCOUNT", account), port, basic(account, password))).encode()

        doors = {"web API": (api_port, api_login, 200),
                 "WebDAV": (port, dav_login("/public/"), 207),
                 "CalDAV": (port, dav_login("/caldav/ACCOUNT/"), 207)}

        def owner_login(door):
            door_port, request, _ = doors[door]
            start = time.monotonic()
            answer = b""
            try:
                with socket.create_connection(("127.0.0.1", door_port), timeout=10,
                                              source_address=("127.0.0.1", 0)) as sock:
                    sock.sendall(request("admin", PASSWORDS["admin"]))
                    while True:
                        data = sock.recv(65536)
                        if not data:
                            break
                        answer += data
            except OSError as error:
                answer = b"HTTP/1.1 " + type(error).__name__.encode()
            return answer[9:12].decode(errors="replace"), time.monotonic() - start

        # The owner has logged in from this network before.
        for door, (_, _, ok) in doors.items():
            self.assertEqual(str(ok), owner_login(door)[0], door)
        flood_doors = [(p, lambda a, n, r=r: r(a, "wrong-%d" % n)) for p, r, _ in doors.values()]
        with Flood(flood_doors) as flood:
            time.sleep(5)  # every account the flood tries is past its brake
            took = {door: [] for door in doors}
            for _ in range(5):
                for door, (_, _, ok) in doors.items():
                    status, seconds = owner_login(door)
                    took[door].append((status, round(seconds, 2)))
            limit = self.limit()
        answers = dict(flood.answers)
        print("owner's logins (status, s):", took, "flood's answers:", answers, file=sys.stderr)
        for door, (_, _, ok) in doors.items():
            self.assertEqual([str(ok)] * 5, [status for status, _ in took[door]], door)
            self.assertLess(max(seconds for _, seconds in took[door]), limit,
                            "%s (load %.1f)" % (door, os.getloadavg()[0]))
        for index, door in enumerate(doors):
            self.assertGreater(answers.get((index, "429"), 0), 0, "%s: %s" % (door, answers))


def on_signal(signum, _frame):
    # Interrupted (a ctest timeout, ^C): the daemons go first.
    if ROOT:
        run(WEBAPI, "services", "--stop-all", check=False)
    stop_daemon()
    if ROOT:
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
