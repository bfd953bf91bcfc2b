"""Client side of caldav-peer.sh: N calendar creates and one listing, over
one keep-alive connection, against Radicale (CalDAV) or kivo-webapi serve
(web API). Prints one line of JSON: {"create_s": ..., "list_s": ..., "listed": ...}.

  caldav_peer.py radicale PORT N
  caldav_peer.py kivo PORT N PASSWORD PUBLIC_DIR
"""

import base64
import http.client
import json
import re
import sys
import time

RADICALE_USER = "bench"

MKCALENDAR_BODY = """<?xml version="1.0" encoding="utf-8"?>
<C:mkcalendar xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:caldav">
  <D:set><D:prop><D:displayname>{name}</D:displayname></D:prop></D:set>
</C:mkcalendar>
"""

PROPFIND_BODY = """<?xml version="1.0" encoding="utf-8"?>
<D:propfind xmlns:D="DAV:"><D:prop><D:displayname/><D:resourcetype/></D:prop></D:propfind>
"""


def calendar_name(i):
    return "cal-%05d" % i


def fail(message):
    sys.stderr.write("caldav_peer.py: %s\n" % message)
    sys.exit(1)


def request(conn, method, path, body, headers):
    conn.request(method, path, body=body.encode(), headers=headers)
    response = conn.getresponse()
    return response.status, response.read(), response


def run_radicale(port, count):
    conn = http.client.HTTPConnection("127.0.0.1", port)
    token = base64.b64encode(("%s:x" % RADICALE_USER).encode()).decode()
    headers = {"Authorization": "Basic " + token, "Content-Type": "application/xml"}
    start = time.perf_counter()
    for i in range(count):
        name = calendar_name(i)
        status, body, _ = request(conn, "MKCALENDAR", "/%s/%s/" % (RADICALE_USER, name),
                                  MKCALENDAR_BODY.format(name=name), headers)
        if status != 201:
            fail("MKCALENDAR %s: HTTP %d %s" % (name, status, body[:200]))
    created = time.perf_counter()
    status, body, _ = request(conn, "PROPFIND", "/%s/" % RADICALE_USER, PROPFIND_BODY,
                              dict(headers, Depth="1"))
    listed = time.perf_counter()
    if status != 207:
        fail("PROPFIND: HTTP %d" % status)
    # One response for the user's own collection, one per calendar.
    responses = len(re.findall(rb"<(?:\w+:)?response[ >]", body)) - 1
    return created - start, listed - created, responses


def run_kivo(port, count, password, public_dir):
    conn = http.client.HTTPConnection("127.0.0.1", port)
    headers = {"Content-Type": "application/json"}
    status, body, response = request(conn, "POST", "/webapi/auth",
                                     json.dumps({"account": "admin", "password": password}),
                                     headers)
    cookie = response.getheader("Set-Cookie", "").split(";")[0]
    if status != 200 or not cookie:
        fail("login: HTTP %d %s" % (status, body[:200]))
    headers["Cookie"] = cookie

    def entry(method, params):
        call = {"api": "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar", "version": 1,
                "method": method, "params": params}
        status, body, _ = request(conn, "POST", "/webapi/entry", json.dumps(call), headers)
        answer = json.loads(body) if status == 200 else {}
        if not answer.get("success"):
            fail("%s: HTTP %d %s" % (method, status, body[:200]))
        return answer

    start = time.perf_counter()
    for i in range(count):
        entry("create", {"destination": "public", "calendarname": calendar_name(i),
                         "fullpath": public_dir, "share": "public"})
    created = time.perf_counter()
    answer = entry("list", {})
    listed = time.perf_counter()
    return created - start, listed - created, len(answer["data"]["item"])


def main(argv):
    if len(argv) == 4 and argv[1] == "radicale":
        result = run_radicale(int(argv[2]), int(argv[3]))
    elif len(argv) == 6 and argv[1] == "kivo":
        result = run_kivo(int(argv[2]), int(argv[3]), argv[4], argv[5])
    else:
        fail("usage: caldav_peer.py radicale PORT N | kivo PORT N PASSWORD PUBLIC_DIR")
    create_s, list_s, listed = result
    print(json.dumps({"create_s": create_s, "list_s": list_s, "listed": listed}))


if __name__ == "__main__":
    main(sys.argv)
