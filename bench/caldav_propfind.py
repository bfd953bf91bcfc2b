"""Client side of caldav-daemon.sh: the principal's PROPFIND Depth 1, as a
calendar client lists calendars, over one keep-alive connection. A few
warm-up requests, then RUNS timed ones. Prints one line of JSON:
{"first_s": ..., "median_s": ..., "max_s": ..., "listed": ...}
(first_s: the very first request, nothing kept yet).

  caldav_propfind.py PORT PATH USER PASSWORD RUNS
"""

import base64
import http.client
import json
import os
import re
import statistics
import sys
import time

BODY = """<?xml version="1.0" encoding="utf-8"?>
<D:propfind xmlns:D="DAV:" xmlns:CS="http://calendarserver.org/ns/">
  <D:prop><D:displayname/><D:resourcetype/><CS:getctag/></D:prop>
</D:propfind>
"""
WARM_UP = 3


def main(argv):
    if len(argv) != 6:
        sys.exit("usage: caldav_propfind.py PORT PATH USER PASSWORD RUNS")
    port, path, user, password, runs = int(argv[1]), argv[2], argv[3], argv[4], int(argv[5])
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    headers = {"Authorization": "Basic " + token, "Depth": "1",
               "Content-Type": "application/xml"}
    door = os.environ.get("KIVO_DOOR_TOKEN_FILE")
    if door:
        # The CalDAV daemon itself takes the login the WebDAV daemon's door hands on alone.
        with open(door) as f:
            headers["X-Kivo-Login"] = "%s %s" % (f.read().strip(), user)
    times = []
    listed = 0
    for i in range(WARM_UP + runs):
        start = time.perf_counter()
        conn.request("PROPFIND", path, body=BODY.encode(), headers=headers)
        response = conn.getresponse()
        body = response.read()
        elapsed = time.perf_counter() - start
        if response.status != 207:
            sys.exit("PROPFIND %s: HTTP %d %s" % (path, response.status, body[:200]))
        if i == 0:
            first = elapsed
        if i >= WARM_UP:
            times.append(elapsed)
        # One response for the principal, one per calendar.
        listed = len(re.findall(rb"<(?:\w+:)?response[ >]", body)) - 1
    print(json.dumps({"first_s": first, "median_s": statistics.median(times), "max_s": max(times),
                      "listed": listed}))


if __name__ == "__main__":
    main(sys.argv)
