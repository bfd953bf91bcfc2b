#!/usr/bin/env python3
"""One WebDAV method, COUNT times on one kept-alive connection, and the CPU
time the server spent on them: the time on a CPU of every thread of every
process of the server (its CPU clock, user and system alike, threads that
ended included; a child that ended is counted by its parent's children's
times). Prints "<CPU us a request> <requests/s> <errors>".

  webdav_cpu.py SERVER_PID URL NAME:PASSWORD|- OP COUNT [SIZE]

SERVER_PID is the server's first process (its children are found anew at
both ends). URL is a folder's (http:// or https://; TLS 1.3 only, the
certificate not checked). OP:
  get:NAME        GET of the file NAME in the folder
  propfind:NAME   PROPFIND Depth 1 (allprop) of the subfolder NAME
  put:PREFIX      PUT of SIZE bytes to PREFIX00000 ... (new files)
  move:PREFIX     MOVE of each PREFIXnnnnn (put: above) to PREFIXnnnnn.m
  delete:PREFIX   DELETE of each PREFIXnnnnn.m (move: above)
  replace:NAME    PUT of SIZE bytes over NAME, COUNT times
Any status but 2xx counts as an error."""

import base64
import http.client
import os
import ssl
import sys
import time
import urllib.parse

TICK = os.sysconf("SC_CLK_TCK")


def times(pid):
    """(ppid, own ticks, ended children's ticks) of a process, or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    # fields[0] is the state; ppid 1, utime 11, stime 12, cutime 13, cstime 14
    return int(fields[1]), int(fields[11]) + int(fields[12]), int(fields[13]) + int(fields[14])


def run_ns(pid):
    """The time on a CPU of every thread of a process, those that ended
    too, in ns: the process's CPU clock (finer than the ticks of
    /proc/PID/stat), else the schedstat of its living threads."""
    try:
        # MAKE_PROCESS_CPUCLOCK(pid, CPUCLOCK_SCHED) of the kernel's ABI.
        return time.clock_gettime_ns(((~pid) << 3) | 2)
    except OSError:
        pass
    total = 0
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass
    except OSError:
        pass
    return total


def server_ns(root):
    """The CPU time of `root` and all its living descendants, plus what its
    ended children left in it, in ns."""
    stats = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            t = times(int(name))
            if t is not None:
                stats[int(name)] = t
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        if pid not in stats:
            continue
        total += run_ns(pid) + (stats[pid][2] * 1e9 / TICK if pid == root else 0)
        todo.extend(p for p, t in stats.items() if t[0] == pid)
    return total


def main():
    root, url, cred, op, count = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
    size = int(sys.argv[6]) if len(sys.argv) > 6 else 4096
    parts = urllib.parse.urlsplit(url.rstrip("/") + "/")
    if parts.scheme == "https":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        context.minimum_version = ssl.TLSVersion.TLSv1_3
        connect = lambda: http.client.HTTPSConnection(parts.hostname, parts.port, context=context)
    else:
        connect = lambda: http.client.HTTPConnection(parts.hostname, parts.port)
    headers = {}
    if cred != "-":
        headers["Authorization"] = "Basic " + base64.b64encode(cred.encode()).decode()
    kind, name = op.split(":", 1)
    body = os.urandom(size) if kind in ("put", "replace") else None
    base = parts.path

    def request(i):
        extra = {}
        if kind == "get":
            return "GET", base + name, None, extra
        if kind == "propfind":
            extra["Depth"] = "1"
            return "PROPFIND", base + name + "/", None, extra
        if kind == "put":
            return "PUT", base + "%s%05d" % (name, i), body, extra
        if kind == "replace":
            return "PUT", base + name, body, extra
        if kind == "move":
            extra["Destination"] = "%s://%s%s%s%05d.m" % (parts.scheme, parts.netloc, base, name, i)
            extra["Overwrite"] = "T"
            return "MOVE", base + "%s%05d" % (name, i), None, extra
        if kind == "delete":
            return "DELETE", base + "%s%05d.m" % (name, i), None, extra
        raise SystemExit("unknown op " + op)

    conn = connect()
    errors = 0
    # The connection (and its TLS handshake) made before the count starts.
    conn.request("OPTIONS", base, headers=headers)
    conn.getresponse().read()
    before, start = server_ns(root), time.monotonic()
    for i in range(count):
        method, path, data, extra = request(i)
        extra.update(headers)
        try:
            conn.request(method, path, body=data, headers=extra)
            response = conn.getresponse()
            response.read()
            if response.status // 100 != 2:
                errors += 1
            if response.will_close:
                conn.close()
                conn = connect()
        except (OSError, http.client.HTTPException):
            errors += 1
            conn.close()
            conn = connect()
    took = time.monotonic() - start
    after = server_ns(root)
    conn.close()
    print("%.1f %.1f %d" % ((after - before) / 1e3 / count, count / took, errors))


if __name__ == "__main__":
    main()
