"""Client side of caldav-peer.sh: one step of one round against one side,
timed; prints one line of JSON {"s": seconds, ...}.

  caldav_peer.py mkcalendar URL FIRST COUNT          Radicale: MKCALENDAR each
  caldav_peer.py create PORT PASSWORD DIR FIRST COUNT  kivo-webapi serve: create each
  caldav_peer.py put URL USER PASSWORD FIRST COUNT   one PUT per event
  caldav_peer.py sync URL USER PASSWORD COUNT WORK   vdirsyncer uploads COUNT events
  caldav_peer.py find URL USER PASSWORD NAME         {"url": the calendar named NAME}

URL is a calendar's (put, sync: PUT and vdirsyncer's remote collection) or
the principal's (mkcalendar). One keep-alive connection per step where the
server keeps it.
"""

import base64
import datetime
import http.client
import json
import os
import subprocess
import sys
import time
import urllib.parse
import xml.etree.ElementTree as ET

MKCALENDAR_BODY = """<?xml version="1.0" encoding="utf-8"?>
<C:mkcalendar xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:caldav">
  <D:set><D:prop><D:displayname>{name}</D:displayname></D:prop></D:set>
</C:mkcalendar>
"""


def calendar_name(i):
    return "cal-%05d" % i


def event(i):
    start = datetime.datetime(2031, 1, 1) + datetime.timedelta(hours=i)
    stamp = start.strftime("%Y%m%dT%H%M%SZ")
    end = (start + datetime.timedelta(minutes=30)).strftime("%Y%m%dT%H%M%SZ")
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//kivo bench//EN\r\n"
            "BEGIN:VEVENT\r\nUID:bench-%06d\r\nDTSTAMP:%s\r\nDTSTART:%s\r\nDTEND:%s\r\n"
            "SUMMARY:Event %d\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n" % (i, stamp, stamp, end, i))


def fail(message):
    sys.stderr.write("caldav_peer.py: %s\n" % message)
    sys.exit(1)


def connect(url, user, password):
    parts = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=60)
    token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    return conn, parts.path, {"Authorization": "Basic " + token}


def request(conn, method, path, body, headers):
    conn.request(method, path, body=body.encode(), headers=headers)
    response = conn.getresponse()
    return response.status, response.read(), response


def mkcalendar(url, first, count):
    conn, base, headers = connect(url, "bench", "x")
    headers["Content-Type"] = "application/xml"
    start = time.perf_counter()
    for i in range(first, first + count):
        name = calendar_name(i)
        status, body, _ = request(conn, "MKCALENDAR", base + name + "/",
                                  MKCALENDAR_BODY.format(name=name), headers)
        if status != 201:
            fail("MKCALENDAR %s: HTTP %d %s" % (name, status, body[:200]))
    return {"s": time.perf_counter() - start}


def create(port, password, public_dir, first, count):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    headers = {"Content-Type": "application/json"}
    status, body, response = request(conn, "POST", "/webapi/auth",
                                     json.dumps({"account": "admin", "password": password}),
                                     headers)
    cookie = response.getheader("Set-Cookie", "").split(";")[0]
    if status != 200 or not cookie:
        fail("login: HTTP %d %s" % (status, body[:200]))
    headers["Cookie"] = cookie
    start = time.perf_counter()
    for i in range(first, first + count):
        call = {"api": "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar", "version": 1,
                "method": "create",
                "params": {"destination": "public", "calendarname": calendar_name(i),
                           "fullpath": public_dir, "share": "public"}}
        status, body, _ = request(conn, "POST", "/webapi/entry", json.dumps(call), headers)
        if status != 200 or not json.loads(body).get("success"):
            fail("create: HTTP %d %s" % (status, body[:200]))
    return {"s": time.perf_counter() - start}


def put(url, user, password, first, count):
    conn, base, headers = connect(url, user, password)
    headers["Content-Type"] = "text/calendar"
    start = time.perf_counter()
    for i in range(first, first + count):
        status, body, _ = request(conn, "PUT", "%sbench-%06d.ics" % (base, i), event(i),
                                  headers)
        if status != 201:
            fail("PUT %d: HTTP %d %s" % (i, status, body[:200]))
    return {"s": time.perf_counter() - start}


def sync(url, user, password, count, work):
    """vdirsyncer uploads `count` events from a fresh local folder into the
    calendar at `url`; only the sync is timed, not the discovery."""
    local = os.path.join(work, "local")
    os.makedirs(os.path.join(local, "up"))
    for i in range(count):
        with open(os.path.join(local, "up", "bench-%06d.ics" % i), "w") as f:
            f.write(event(i))
    parts = urllib.parse.urlsplit(url)
    base = "%s://%s%s" % (parts.scheme, parts.netloc, parts.path.rstrip("/").rsplit("/", 1)[0])
    remote = parts.path.rstrip("/").rsplit("/", 1)[1]
    config = os.path.join(work, "config")
    with open(config, "w") as f:
        f.write("""[general]
status_path = "%(work)s/status/"
[pair up]
a = "local"
b = "server"
collections = [["up", "up", "%(remote)s"]]
[storage local]
type = "filesystem"
path = "%(local)s/"
fileext = ".ics"
[storage server]
type = "caldav"
url = "%(base)s/"
username = "%(user)s"
password = "%(password)s"
""" % {"work": work, "remote": remote, "local": local, "base": base, "user": user,
            "password": password})

    def vdirsyncer(*args):
        done = subprocess.run(["vdirsyncer", "-c", config] + list(args), capture_output=True,
                              text=True, env=dict(os.environ, HOME=work))
        if done.returncode != 0 or "error:" in done.stdout + done.stderr:
            fail("vdirsyncer %s: %s%s" % (args, done.stdout, done.stderr))

    vdirsyncer("discover")
    start = time.perf_counter()
    vdirsyncer("sync")
    return {"s": time.perf_counter() - start}


def find(url, user, password, name):
    """The URL of the principal's calendar whose display name is `name`."""
    conn, base, headers = connect(url, user, password)
    headers["Depth"] = "1"
    body = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop><D:displayname/>'
            '</D:prop></D:propfind>')
    status, answer, _ = request(conn, "PROPFIND", base, body, headers)
    if status != 207:
        fail("PROPFIND %s: HTTP %d" % (url, status))
    for response in ET.fromstring(answer).iter("{DAV:}response"):
        if response.findtext(".//{DAV:}displayname") == name:
            return {"url": urllib.parse.urljoin(url, response.findtext("{DAV:}href"))}
    fail("no calendar %r under %s" % (name, url))


def main(argv):
    commands = {
        "mkcalendar": (mkcalendar, (str, int, int)),
        "create": (create, (int, str, str, int, int)),
        "put": (put, (str, str, str, int, int)),
        "sync": (sync, (str, str, str, int, str)),
        "find": (find, (str, str, str, str)),
    }
    if len(argv) < 2 or argv[1] not in commands or len(argv) - 2 != len(commands[argv[1]][1]):
        fail("usage: see the file's head")
    function, types = commands[argv[1]]
    print(json.dumps(function(*(t(a) for t, a in zip(types, argv[2:])))))


if __name__ == "__main__":
    main(sys.argv)
