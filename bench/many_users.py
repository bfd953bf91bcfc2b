#!/usr/bin/env python3
"""Many users at once against one WebDAV server: one kept-alive connection
per user, each alternating a PROPFIND Depth 1 of its folder and a GET of
one of its files for a fixed time; prints "<requests/s> <errors>".

  many_users.py PORT SECONDS SOURCES USERS_FILE

USERS_FILE has a line per user: "<folder URL path> <file count> [name:password]".
SOURCES: "many" gives each connection its own loopback address (127.0.2.x,
127.0.3.x, ...), "one" sends every connection from 127.0.0.1. A connection
the server closes is opened again (counted as an error only when it closed
mid-answer or answered anything but 2xx).

SECONDS 0: every user sends one request, all at once (their first logins);
prints "<seconds they took> <errors>"."""

import asyncio
import base64
import sys
import time


async def answer(reader):
    """Reads one answer; returns its status."""
    head = await reader.readuntil(b"\r\n\r\n")
    status = int(head[9:12])
    lower = head.lower()
    at = lower.find(b"content-length:")
    if at >= 0:
        length = int(lower[at + 15:lower.index(b"\r\n", at)])
        await reader.readexactly(length)
    elif b"transfer-encoding: chunked" in lower:
        while True:
            size = int((await reader.readuntil(b"\r\n")).split(b";")[0], 16)
            await reader.readexactly(size + 2)
            if size == 0:
                break
    return status


async def user(port, source, folder, files, credential, deadline, counts):
    auth = ""
    if credential:
        auth = "Authorization: Basic %s\r\n" % base64.b64encode(credential.encode()).decode()
    requests = [("PROPFIND %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%sDepth: 1\r\n"
                 "Content-Length: 0\r\n\r\n" % (folder, auth)).encode()]
    for i in range(files):
        requests.append(("GET %sf%04d.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n"
                         % (folder, i, auth)).encode())
    n = 0
    writer = None
    while time.monotonic() < deadline or (deadline == 0 and n == 0):
        try:
            if writer is None:
                reader, writer = await asyncio.open_connection(
                    "127.0.0.1", port, local_addr=(source, 0))
            # PROPFIND, GET, GET, PROPFIND, GET, ...: a file manager's mix.
            request = requests[0] if n % 2 == 0 else requests[1 + (n // 2) % files]
            writer.write(request)
            status = await answer(reader)
            n += 1
            counts[0] += 1
            if status >= 300:
                counts[1] += 1
                if deadline == 0:
                    break
        except (asyncio.IncompleteReadError, ConnectionError, OSError):
            counts[1] += 1
            if writer is not None:
                writer.close()
            writer = None
            if deadline == 0:
                break
            await asyncio.sleep(0.01)
    if writer is not None:
        writer.close()


async def main():
    port, seconds, sources, users_file = (int(sys.argv[1]), float(sys.argv[2]), sys.argv[3],
                                          sys.argv[4])
    users = [line.split() for line in open(users_file) if line.strip()]
    counts = [0, 0]
    start = time.monotonic()
    deadline = start + seconds if seconds > 0 else 0
    tasks = []
    for i, fields in enumerate(users):
        source = "127.0.%d.%d" % (2 + i // 200, 2 + i % 200) if sources == "many" else "127.0.0.1"
        tasks.append(user(port, source, fields[0], int(fields[1]),
                          fields[2] if len(fields) > 2 else "", deadline, counts))
    await asyncio.gather(*tasks)
    elapsed = time.monotonic() - start
    if seconds > 0:
        print("%.1f %d" % (counts[0] / elapsed, counts[1]))
    else:
        print("%.3f %d" % (elapsed, counts[1]))


asyncio.run(main())
