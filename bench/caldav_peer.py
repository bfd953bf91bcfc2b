"""Client side of caldav-peer.sh: one step of one round against one side,
timed; prints one line of JSON {"s": seconds, ...}.

  caldav_peer.py mkcalendar URL FIRST COUNT          Radicale: MKCALENDAR each
  caldav_peer.py create PORT PASSWORD DIR FIRST COUNT  kivo-webapi serve: create each
  caldav_peer.py put URL USER PASSWORD FIRST COUNT   one PUT per event
  caldav_peer.py sync URL USER PASSWORD COUNT WORK   vdirsyncer uploads COUNT events
  caldav_peer.py find URL USER PASSWORD NAME         {"url": the calendar named NAME}
  caldav_peer.py fill URL USER PASSWORD COUNT HOW    COUNT events spread over 2031
  caldav_peer.py query URL USER PASSWORD COUNT RUNS  calendar-query, March 2031
  caldav_peer.py syncreport URL USER PASSWORD COUNT RUNS
                                                     sync-collection after one change
  caldav_peer.py putinto URL USER PASSWORD COUNT RUNS  a new event's PUT into a
                                                     calendar of COUNT (each removed after)
  caldav_peer.py propfind URL USER PASSWORD COUNT RUNS PROPFIND Depth 1 of a
                                                     calendar of COUNT, as clients list one

URL is a calendar's (put, sync, fill, query, syncreport) or the
principal's (mkcalendar). One keep-alive connection per step where the
server keeps it.

fill writes the events a calendar-query and a sync-collection are timed on,
through the server's own write path: HOW "whole" is one PUT of the whole
calendar (Radicale takes that as a new collection with every item), HOW
"items" one PUT per event on THREADS (4) connections at once (the CalDAV
daemon refuses a PUT of a calendar). query and syncreport check every answer
against the events fill wrote, and print the first, median and slowest of
RUNS timed requests after WARM_UP ones.
"""

import base64
import datetime
import http.client
import json
import os
import statistics
import subprocess
import sys
import threading
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


# The events of fill: COUNT spread evenly over 2031, half an hour each; the
# query asks for March, which holds 31/365 of them.
YEAR_START = datetime.datetime(2031, 1, 1)
QUERY_START = datetime.datetime(2031, 3, 1)
QUERY_END = datetime.datetime(2031, 4, 1)
LENGTH = datetime.timedelta(minutes=30)
WARM_UP = int(os.environ.get("WARM_UP", "3"))
THREADS = 4
QUERY_BODY = """<?xml version="1.0" encoding="utf-8"?>
<C:calendar-query xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:caldav">
  <D:prop><D:getetag/></D:prop>
  <C:filter><C:comp-filter name="VCALENDAR"><C:comp-filter name="VEVENT">
    <C:time-range start="%s" end="%s"/>
  </C:comp-filter></C:comp-filter></C:filter>
</C:calendar-query>
""" % (QUERY_START.strftime("%Y%m%dT%H%M%SZ"), QUERY_END.strftime("%Y%m%dT%H%M%SZ"))
SYNC_BODY = """<?xml version="1.0" encoding="utf-8"?>
<D:sync-collection xmlns:D="DAV:">
  <D:sync-token>%s</D:sync-token><D:sync-level>1</D:sync-level>
  <D:prop><D:getetag/></D:prop>
</D:sync-collection>
"""


def spread_start(i, count):
    return YEAR_START + datetime.timedelta(seconds=i * 365 * 86400 // count)


def spread_event(i, count, summary="Event"):
    start = spread_start(i, count)
    stamp = start.strftime("%Y%m%dT%H%M%SZ")
    end = (start + LENGTH).strftime("%Y%m%dT%H%M%SZ")
    return ("BEGIN:VEVENT\r\nUID:query-%06d\r\nDTSTAMP:%s\r\nDTSTART:%s\r\nDTEND:%s\r\n"
            "SUMMARY:%s %d\r\nEND:VEVENT\r\n" % (i, stamp, stamp, end, summary, i))


def spread_calendar(components):
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//kivo bench//EN\r\n%s"
            "END:VCALENDAR\r\n" % "".join(components))


def spread_name(i):
    return "query-%06d.ics" % i


def fail(message):
    sys.stderr.write("caldav_peer.py: %s\n" % message)
    sys.exit(1)


def connect(url, user, password, timeout=60):
    parts = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
    token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    return conn, parts.path, {"Authorization": "Basic " + token}


def request(conn, method, path, body, headers):
    # A kept connection the server closed as the request went out is opened
    # again once, as clients do (every request here is idempotent).
    for attempt in (1, 2):
        try:
            conn.request(method, path, body=body.encode(), headers=headers)
            response = conn.getresponse()
            return response.status, response.read(), response
        except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
            conn.close()
            if attempt == 2:
                raise


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


def fill(url, user, password, count, how):
    start = time.perf_counter()
    if how == "whole":
        # Radicale writes and syncs each item before it answers.
        conn, base, headers = connect(url, user, password, timeout=3600)
        headers["Content-Type"] = "text/calendar"
        body = spread_calendar(spread_event(i, count) for i in range(count))
        status, answer, _ = request(conn, "PUT", base, body, headers)
        if status not in (200, 201):
            fail("PUT of the calendar: HTTP %d %s" % (status, answer[:200]))
        return {"s": time.perf_counter() - start}
    if how != "items":
        fail("fill: HOW is whole or items")
    errors = []

    def worker(k):
        conn, base, headers = connect(url, user, password)
        headers["Content-Type"] = "text/calendar"
        try:
            for i in range(k, count, THREADS):
                status, answer, _ = request(conn, "PUT", base + spread_name(i),
                                            spread_calendar([spread_event(i, count)]), headers)
                if status != 201:
                    errors.append("PUT %d: HTTP %d %s" % (i, status, answer[:200]))
                    return
        except Exception as e:
            errors.append("PUT: %r" % e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        fail(errors[0])
    return {"s": time.perf_counter() - start}


def names_of(answer, status="200"):
    """The item names a multistatus answers with `status`."""
    names = []
    for response in ET.fromstring(answer).iter("{DAV:}response"):
        href = response.findtext("{DAV:}href")
        code = (response.findtext("{DAV:}status") or
                response.findtext("{DAV:}propstat/{DAV:}status") or "")
        if status in code:
            names.append(urllib.parse.unquote(href.rstrip("/").rsplit("/", 1)[1]))
    return sorted(names)


def timed(conn, method, path, body, headers):
    start = time.perf_counter()
    status, answer, _ = request(conn, method, path, body, headers)
    return time.perf_counter() - start, status, answer


def summary(times, **extra):
    return dict(extra, first_s=times[0], median_s=statistics.median(times[WARM_UP:]),
                max_s=max(times[WARM_UP:]))


def query(url, user, password, count, runs):
    conn, base, headers = connect(url, user, password)
    headers.update({"Content-Type": "application/xml", "Depth": "1"})
    expected = sorted(spread_name(i) for i in range(count)
                      if spread_start(i, count) < QUERY_END and
                      spread_start(i, count) + LENGTH > QUERY_START)
    times = []
    for _ in range(WARM_UP + runs):
        elapsed, status, answer = timed(conn, "REPORT", base, QUERY_BODY, headers)
        if status != 207:
            fail("calendar-query: HTTP %d %s" % (status, answer[:200]))
        found = names_of(answer)
        if found != expected:
            fail("calendar-query: %d hrefs, expected %d" % (len(found), len(expected)))
        times.append(elapsed)
    return summary(times, hrefs=len(expected))


def syncreport(url, user, password, count, runs):
    """Each run changes one event (not timed), then asks for the changes
    since the token of before it: exactly that event must come back."""
    # The first, full sync of 10,000 events takes Radicale over a minute.
    conn, base, headers = connect(url, user, password, timeout=600)
    report = dict(headers, **{"Content-Type": "application/xml", "Depth": "0"})
    put_headers = dict(headers, **{"Content-Type": "text/calendar"})
    status, answer, _ = request(conn, "REPORT", base, SYNC_BODY % "", report)
    if status != 207 or len(names_of(answer)) != count:
        fail("initial sync-collection: HTTP %d, %d items" % (status, len(names_of(answer))))
    token = ET.fromstring(answer).findtext("{DAV:}sync-token")
    times = []
    # A change no earlier round made: the same text again is no change.
    nonce = os.urandom(4).hex()
    for run in range(WARM_UP + runs):
        i = (run * 7919) % count
        status, answer, _ = request(conn, "PUT", base + spread_name(i), spread_calendar(
            [spread_event(i, count, "Changed %s %d" % (nonce, run))]), put_headers)
        if status not in (201, 204):
            fail("PUT %d: HTTP %d %s" % (i, status, answer[:200]))
        elapsed, status, answer = timed(conn, "REPORT", base, SYNC_BODY % token, report)
        if status != 207:
            fail("sync-collection: HTTP %d %s" % (status, answer[:300]))
        found = names_of(answer) + names_of(answer, "404")
        if found != [spread_name(i)]:
            fail("sync-collection after a change of %s: %s" % (spread_name(i), found[:5]))
        token = ET.fromstring(answer).findtext("{DAV:}sync-token")
        times.append(elapsed)
    return summary(times, hrefs=1)


PROPFIND_BODY = """<?xml version="1.0" encoding="utf-8"?>
<D:propfind xmlns:D="DAV:">
  <D:prop><D:resourcetype/><D:getcontenttype/><D:getetag/></D:prop>
</D:propfind>
"""


def putinto(url, user, password, count, runs):
    """A new event's PUT (If-None-Match: *, as clients create) into the
    calendar at `url` of `count` events, timed; each removed after, not
    timed, so that the calendar keeps its size."""
    conn, base, headers = connect(url, user, password, timeout=600)
    put_headers = dict(headers, **{"Content-Type": "text/calendar", "If-None-Match": "*"})
    nonce = os.urandom(4).hex()
    times = []
    for run in range(WARM_UP + runs):
        name = "new-%s-%d.ics" % (nonce, run)
        text = spread_calendar([
            "BEGIN:VEVENT\r\nUID:new-%s-%d\r\nDTSTAMP:20350101T000000Z\r\n"
            "DTSTART:20350101T100000Z\r\nSUMMARY:New\r\nEND:VEVENT\r\n" % (nonce, run)])
        elapsed, status, answer = timed(conn, "PUT", base + name, text, put_headers)
        if status != 201:
            fail("PUT into %d: HTTP %d %s" % (count, status, answer[:200]))
        times.append(elapsed)
        status, answer, _ = request(conn, "DELETE", base + name, "", headers)
        if status not in (200, 204):
            fail("DELETE: HTTP %d %s" % (status, answer[:200]))
    return summary(times)


def propfind(url, user, password, count, runs):
    # Radicale's own storage takes a minute for 10,000 events on a busy machine.
    conn, base, headers = connect(url, user, password, timeout=600)
    headers.update({"Content-Type": "application/xml", "Depth": "1"})
    times = []
    for _ in range(WARM_UP + runs):
        elapsed, status, answer = timed(conn, "PROPFIND", base, PROPFIND_BODY, headers)
        if status != 207:
            fail("PROPFIND: HTTP %d %s" % (status, answer[:200]))
        found = len(names_of(answer)) - 1  # the calendar itself
        if found != count:
            fail("PROPFIND: %d items, expected %d" % (found, count))
        times.append(elapsed)
    return summary(times, hrefs=count)


def main(argv):
    commands = {
        "mkcalendar": (mkcalendar, (str, int, int)),
        "create": (create, (int, str, str, int, int)),
        "put": (put, (str, str, str, int, int)),
        "sync": (sync, (str, str, str, int, str)),
        "find": (find, (str, str, str, str)),
        "fill": (fill, (str, str, str, int, str)),
        "query": (query, (str, str, str, int, int)),
        "syncreport": (syncreport, (str, str, str, int, int)),
        "putinto": (putinto, (str, str, str, int, int)),
        "propfind": (propfind, (str, str, str, int, int)),
    }
    if len(argv) < 2 or argv[1] not in commands or len(argv) - 2 != len(commands[argv[1]][1]):
        fail("usage: see the file's head")
    function, types = commands[argv[1]]
    print(json.dumps(function(*(t(a) for t, a in zip(types, argv[2:])))))


if __name__ == "__main__":
    main(sys.argv)
