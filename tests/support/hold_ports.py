#!/usr/bin/python3
"""Holds TCP ports on every address, as a server the tests must not mind
would: scripts/test.sh runs it beside the suites to show that none of them
depends on the machine's ports.

  hold_ports.py PORT...

Listens on each port on every IPv6 and IPv4 address; a port some other
program listens on already is held by that one, which proves the same.
Prints one line per port, then "holding", and waits to be killed.
"""

import errno
import signal
import socket
import sys


def listen(family, port, v6only=None):
    sock = socket.socket(family, socket.SOCK_STREAM)
    if v6only is not None:
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, v6only)
    try:
        sock.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", port))
        sock.listen(8)
        return sock
    except OSError as e:
        sock.close()
        if e.errno not in (errno.EADDRINUSE, errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT):
            raise
        return None


def main():
    held = []
    for port in (int(p) for p in sys.argv[1:]):
        # One dual-stack socket covers both families; where another program
        # has one of them, each family is tried on its own.
        both = listen(socket.AF_INET6, port, v6only=0) if socket.has_ipv6 else None
        if both is not None:
            held.append(both)
            print("port %d: held on every address" % port)
            continue
        mine = [s for s in (listen(socket.AF_INET, port),
                            socket.has_ipv6 and listen(socket.AF_INET6, port, v6only=1)) if s]
        held.extend(mine)
        print("port %d: %s" % (port, "held in part, the rest by another program" if mine
                               else "held by another program"))
    print("holding", flush=True)
    signal.sigwait({signal.SIGTERM, signal.SIGINT})


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    main()
