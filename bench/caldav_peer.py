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
  caldav_peer.py cfill|cquery|csync|cpropfind ...    fill, query, syncreport and
                                                     propfind (same arguments) on an
                                                     address book of COUNT contacts

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

The contacts are vCards 3.0 and 4.0 in turn, of the sizes address books
hold: a name, an organisation, one to three emails and phones, an address
on some, a PHOTO of 2 to 6 KiB on one in ten. The addressbook-query asks
for the work emails of one organisation (a text-match), one contact in 41.

With SERVER_PIDS (pids, comma-separated) set, the reports also print the
median CPU time a request cost those processes and their children
(cpu_us), read as webdav_cpu.py reads it, before and after each timed
request (the creates: their loop's, divided by the calendars made).
"""

import base64
import datetime
import http.client
import json
import os
import random
import statistics
import subprocess
import sys
import threading
import time
import unicodedata
import urllib.parse
import xml.etree.ElementTree as ET
from typing import Callable, NamedTuple

import webdav_cpu

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
CARD_QUERY_BODY = """<?xml version="1.0" encoding="utf-8"?>
<C:addressbook-query xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:carddav">
  <D:prop><D:getetag/></D:prop>
  <C:filter><C:prop-filter name="EMAIL">
    <C:text-match collation="i;unicode-casemap" match-type="contains">%s</C:text-match>
  </C:prop-filter></C:filter>
</C:addressbook-query>
"""
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


# ---- contacts ----------------------------------------------------------------------

FIRST_NAMES = ["Anna", "Bruno", "Chloé", "Dmitri", "Eva", "Farid", "Grace", "Hiro", "Inès",
               "Jonas", "Kara", "Luca", "Maya", "Nils", "Olga", "Pavel", "Rosa", "Sven",
               "Tomás", "Ute", "Vera", "Wen", "Xavier", "Yara", "Zoltán"]
LAST_NAMES = ["Berg", "Costa", "Dubois", "Eriksen", "Fischer", "García", "Hansen", "Ito",
              "Jensen", "Kowalski", "Larsen", "Müller", "Novak", "Okafor", "Petrov", "Quinn",
              "Rossi", "Schmidt", "Tanaka", "Urban", "Varga", "Weber", "Yilmaz", "Zhang"]
TITLES = ["Engineer", "Sales manager", "Accountant", "Designer", "Head of purchasing",
          "Consultant", "Nurse", "Teacher"]
ORGANISATIONS = 41  # the queried one is number 0: one contact in 41
QUERIED_ORGANISATION = "Kestrel Systems"
CARD_QUERY_TEXT = "@kestrel-systems.example"


def organisation(i):
    k = (i * 7) % ORGANISATIONS
    if k == 0:
        return QUERIED_ORGANISATION, "kestrel-systems.example"
    return "Firm %02d GmbH" % k, "firm%02d.example" % k


def folded(line):
    """A content line folded at 75 octets (the base64 of a photo is the
    long one; the rest is ASCII or short)."""
    out, line = [], line.encode("utf-8")
    while len(line) > 75:
        cut = 75 if not out else 74
        while line[cut] & 0xC0 == 0x80:  # never inside a UTF-8 sequence
            cut -= 1
        out.append(line[:cut])
        line = line[cut:]
    out.append(line)
    return b"\r\n ".join(out).decode("utf-8") + "\r\n"


def contact(i, count=0, note=""):
    """Contact `i`: vCard 4.0 for odd, 3.0 for even numbers."""
    four = i % 2 == 1
    first, last = FIRST_NAMES[i % len(FIRST_NAMES)], LAST_NAMES[(i // 7) % len(LAST_NAMES)]
    org, domain = organisation(i)
    local = unicodedata.normalize("NFKD", "%s.%s%d" % (first, last, i)).encode(
        "ascii", "ignore").decode().lower()
    lines = ["BEGIN:VCARD", "VERSION:%s" % ("4.0" if four else "3.0"),
             "PRODID:-//kivo bench//EN", "UID:%s" % contact_uid(i), "FN:%s %s" % (first, last),
             "N:%s;%s;;;" % (last, first), "ORG:%s" % org,
             "TITLE:%s" % TITLES[i % len(TITLES)]]
    kinds = ("work", "home", "other")
    for k in range(1 + i % 3):
        address = "%s@%s" % (local, domain) if k == 0 else "%s@mail%d.example" % (local, k)
        lines.append("EMAIL;TYPE=%s:%s" % (kinds[k] if four else "INTERNET," + kinds[k].upper(),
                                           address))
    for k in range(1 + (i // 3) % 3):
        number = "+49 %d %07d" % (30 + k * 140, (i * 7919 + k) % 10**7)
        if four:
            lines.append("TEL;VALUE=uri;TYPE=%s:tel:%s" % (("work", "cell", "home")[k],
                                                          number.replace(" ", "-")))
        else:
            lines.append("TEL;TYPE=%s:%s" % (("WORK,VOICE", "CELL", "HOME")[k], number))
    if i % 4 == 0:
        lines.append("ADR;TYPE=%s:;;Hauptstraße %d;Berlin;;%05d;Germany" % (
            "work" if four else "WORK", i % 200 + 1, 10115 + i % 900))
    if i % 3 == 0:
        lines.append("BDAY:%s%02d%02d" % ("19%02d" % (50 + i % 50), i % 12 + 1, i % 28 + 1))
    if note:
        lines.append("NOTE:%s" % note)
    if i % 10 == 3:
        photo = base64.b64encode(random.Random(i).randbytes(2048 + (i * 37) % 4096)).decode()
        lines.append("PHOTO:data:image/jpeg;base64," + photo if four else
                     "PHOTO;ENCODING=b;TYPE=JPEG:" + photo)
    lines.extend(["REV:20310101T000000Z", "END:VCARD"])
    return "".join(folded(line) for line in lines)


def contact_uid(i):
    return "contact-%06d" % i


def contact_name(i):
    return contact_uid(i) + ".vcf"


class Kind(NamedTuple):
    """What fill, syncreport and propfind write and expect of one kind of
    collection: its items' names, one item's text (with `change` as a
    changed line) and the whole collection's text."""
    content_type: str
    name: Callable[[int], str]
    item: Callable[[int, int, str], str]
    whole: Callable[[int], str]


EVENTS = Kind("text/calendar", spread_name,
              lambda i, count, change="": spread_calendar([spread_event(i, count, change or
                                                                        "Event")]),
              lambda count: spread_calendar(spread_event(i, count) for i in range(count)))
CONTACTS = Kind("text/vcard", contact_name, contact,
                lambda count: "".join(contact(i) for i in range(count)))


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
    cpu, start = server_ns(), time.perf_counter()
    for i in range(first, first + count):
        name = calendar_name(i)
        status, body, _ = request(conn, "MKCALENDAR", base + name + "/",
                                  MKCALENDAR_BODY.format(name=name), headers)
        if status != 201:
            fail("MKCALENDAR %s: HTTP %d %s" % (name, status, body[:200]))
    return timed_loop(start, cpu, count)


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
    cpu, start = server_ns(), time.perf_counter()
    for i in range(first, first + count):
        call = {"api": "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar", "version": 1,
                "method": "create",
                "params": {"destination": "public", "calendarname": calendar_name(i),
                           "fullpath": public_dir, "share": "public"}}
        status, body, _ = request(conn, "POST", "/webapi/entry", json.dumps(call), headers)
        if status != 200 or not json.loads(body).get("success"):
            fail("create: HTTP %d %s" % (status, body[:200]))
    return timed_loop(start, cpu, count)


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


def fill(url, user, password, count, how, kind=EVENTS):
    start = time.perf_counter()
    if how == "whole":
        # Radicale writes and syncs each item before it answers.
        conn, base, headers = connect(url, user, password, timeout=3600)
        headers["Content-Type"] = kind.content_type
        status, answer, _ = request(conn, "PUT", base, kind.whole(count), headers)
        if status not in (200, 201):
            fail("PUT of the calendar: HTTP %d %s" % (status, answer[:200]))
        return {"s": time.perf_counter() - start}
    if how != "items":
        fail("fill: HOW is whole or items")
    errors = []

    def worker(k):
        conn, base, headers = connect(url, user, password)
        headers["Content-Type"] = kind.content_type
        try:
            for i in range(k, count, THREADS):
                status, answer, _ = request(conn, "PUT", base + kind.name(i), kind.item(i, count),
                                            headers)
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


SERVER_PIDS = [int(p) for p in os.environ.get("SERVER_PIDS", "").split(",") if p]
# The CPU time each timed request cost the servers, in us.
cpu_times = []


def server_ns():
    return sum(webdav_cpu.server_ns(p) for p in SERVER_PIDS)


def timed(conn, method, path, body, headers):
    cpu = server_ns()
    start = time.perf_counter()
    status, answer, _ = request(conn, method, path, body, headers)
    elapsed = time.perf_counter() - start
    cpu_times.append((server_ns() - cpu) / 1e3)
    return elapsed, status, answer


def timed_loop(start, cpu, count):
    """A loop of count requests since start: its seconds, and with
    SERVER_PIDS the servers' CPU a request (us)."""
    result = {"s": time.perf_counter() - start}
    if SERVER_PIDS:
        result["cpu_us"] = (server_ns() - cpu) / 1e3 / max(1, count)
    return result


def summary(times, **extra):
    if SERVER_PIDS:
        extra["cpu_us"] = statistics.median(cpu_times[-len(times):][WARM_UP:])
    return dict(extra, first_s=times[0], median_s=statistics.median(times[WARM_UP:]),
                max_s=max(times[WARM_UP:]))


def query(url, user, password, count, runs):
    conn, base, headers = connect(url, user, password)
    headers.update({"Content-Type": "application/xml", "Depth": "1"})
    expected = sorted(spread_name(i) for i in range(count)
                      if spread_start(i, count) < QUERY_END and
                      spread_start(i, count) + LENGTH > QUERY_START)
    return timed_reports(conn, base, QUERY_BODY, headers, runs, expected, "calendar-query")


def timed_reports(conn, base, body, headers, runs, expected, what):
    """WARM_UP + runs of one REPORT, each answering exactly the hrefs
    `expected`: the summary of their times."""
    times = []
    for _ in range(WARM_UP + runs):
        elapsed, status, answer = timed(conn, "REPORT", base, body, headers)
        if status != 207:
            fail("%s: HTTP %d %s" % (what, status, answer[:200]))
        found = names_of(answer)
        if found != expected:
            fail("%s: %d hrefs, expected %d" % (what, len(found), len(expected)))
        times.append(elapsed)
    return summary(times, hrefs=len(expected))


def card_query(url, user, password, count, runs):
    """An addressbook-query for the work emails of one organisation."""
    conn, base, headers = connect(url, user, password, timeout=600)
    headers.update({"Content-Type": "application/xml", "Depth": "1"})
    expected = sorted(contact_name(i) for i in range(count)
                      if organisation(i)[0] == QUERIED_ORGANISATION)
    return timed_reports(conn, base, CARD_QUERY_BODY % CARD_QUERY_TEXT, headers, runs, expected,
                         "addressbook-query")


def syncreport(url, user, password, count, runs, kind=EVENTS):
    """Each run changes one event (not timed), then asks for the changes
    since the token of before it: exactly that event must come back."""
    # The first, full sync of 10,000 events takes Radicale over a minute.
    conn, base, headers = connect(url, user, password, timeout=600)
    report = dict(headers, **{"Content-Type": "application/xml", "Depth": "0"})
    put_headers = dict(headers, **{"Content-Type": kind.content_type})
    status, answer, _ = request(conn, "REPORT", base, SYNC_BODY % "", report)
    if status != 207 or len(names_of(answer)) != count:
        fail("initial sync-collection: HTTP %d, %d items" % (status, len(names_of(answer))))
    token = ET.fromstring(answer).findtext("{DAV:}sync-token")
    times = []
    # A change no earlier round made: the same text again is no change.
    nonce = os.urandom(4).hex()
    for run in range(WARM_UP + runs):
        i = (run * 7919) % count
        status, answer, _ = request(conn, "PUT", base + kind.name(i),
                                    kind.item(i, count, "Changed %s %d" % (nonce, run)),
                                    put_headers)
        if status not in (201, 204):
            fail("PUT %d: HTTP %d %s" % (i, status, answer[:200]))
        elapsed, status, answer = timed(conn, "REPORT", base, SYNC_BODY % token, report)
        if status != 207:
            fail("sync-collection: HTTP %d %s" % (status, answer[:300]))
        found = names_of(answer) + names_of(answer, "404")
        if found != [kind.name(i)]:
            fail("sync-collection after a change of %s: %s" % (kind.name(i), found[:5]))
        token = ET.fromstring(answer).findtext("{DAV:}sync-token")
        times.append(elapsed)
    return summary(times, hrefs=1)


PROPFIND_BODY = """<?xml version="1.0" encoding="utf-8"?>
<D:propfind xmlns:D="DAV:">
  <D:prop><D:resourcetype/><D:getcontenttype/><D:getetag/></D:prop>
</D:propfind>
"""


CARD_PROPFIND_BODY = """<?xml version="1.0" encoding="utf-8"?>
<D:propfind xmlns:D="DAV:"><D:prop><D:getetag/><D:getcontenttype/></D:prop></D:propfind>
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


def propfind(url, user, password, count, runs, body=PROPFIND_BODY):
    # Radicale's own storage takes a minute for 10,000 events on a busy machine.
    conn, base, headers = connect(url, user, password, timeout=600)
    headers.update({"Content-Type": "application/xml", "Depth": "1"})
    times = []
    for _ in range(WARM_UP + runs):
        elapsed, status, answer = timed(conn, "PROPFIND", base, body, headers)
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
        "cfill": (lambda *a: fill(*a, kind=CONTACTS), (str, str, str, int, str)),
        "cquery": (card_query, (str, str, str, int, int)),
        "csync": (lambda *a: syncreport(*a, kind=CONTACTS), (str, str, str, int, int)),
        "cpropfind": (lambda *a: propfind(*a, body=CARD_PROPFIND_BODY), (str, str, str, int, int)),
    }
    if len(argv) < 2 or argv[1] not in commands or len(argv) - 2 != len(commands[argv[1]][1]):
        fail("usage: see the file's head")
    function, types = commands[argv[1]]
    print(json.dumps(function(*(t(a) for t, a in zip(types, argv[2:])))))


if __name__ == "__main__":
    main(sys.argv)
