"""Entry point of the CalDAV daemon: Radicale's WSGI application, with two
additions, behind a small threaded HTTP server of its own.

The server, not Radicale's built-in one, because of what clients and the
platform need of it:
  - A client that sends `Expect: 100-continue` (curl -T, and others for
    larger bodies) waits for "100 Continue" before it sends the body, and so
    does the WebDAV daemon's proxy that forwards it. The interim answer goes
    out when the application first reads the body; an answer given without
    reading it (401, 403, 404) lets the client skip the upload.
  - SIGTERM stops it at once: no new connection is taken, requests under
    way get DRAIN_SECONDS to finish (an item write is a rename, so cutting
    one short leaves the old item or the new one), then the process ends,
    well within the time the platform waits before it would kill it.
  - One request per connection (answered with "Connection: close"), each on
    its own thread, at most [server] max_connections at once; every read or
    write on a connection times out after [server] timeout seconds.

The application's additions (Application below):
  - A gate in front of Radicale for what the registry owns
    (kivo_service.Service.refusal): a calendar the user does not see answers
    404 on every method but MKCALENDAR and MKCOL (403), a MOVE or COPY of a
    collection 403, and a PROPPATCH of a property the registry or the folder
    owns a 207 with 403 for those properties and 424 for the rest.
  - A principal's PROPFIND Depth 1, asked by a calendar client every time it
    looks for changes, costs Radicale half a millisecond per calendar. The
    answer is kept per user, path prefix and request body, and given again
    while everything it was built from is unchanged
    (kivo_service.Service.listing_token).
  - Address books: a request the door hands on from /carddav/ is one of
    address books (kivo_kind), served below the prefix as calendars are at
    the root; an address book's PUT body is kept for the storage, which
    stores a vCard as it was sent.
Only the WebDAV daemon's door logs anyone in (kivo_auth): a request
without the login it hands on is refused (403) before Radicale sees it, at
once and without reading anything more of it.

Owns: the listening socket, the connections' threads, the kept answers.
Run as `python3 -m kivo_server --config FILE` with this folder on
PYTHONPATH.
"""

import argparse
import collections
import io
import logging
import os
import signal
import socket
import socketserver
import sys
import threading
import time
import urllib.parse
import wsgiref.simple_server

import radicale
from radicale import config, log, pathutils
from radicale.log import logger

import kivo_auth
import kivo_calendar
import kivo_kind
import kivo_service

KEPT_ANSWERS = 64
DRAIN_SECONDS = 2.5
MAX_PROPPATCH_BYTES = 1 << 20
STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT)


# ---- the application ------------------------------------------------------------

class Application(radicale.Application):

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = kivo_service.Service.of(configuration)
        # Asked before Radicale asks its own instance.
        self._logins = kivo_auth.Auth(configuration)
        self._max_length = configuration.get("server", "max_content_length")
        self._lock = threading.Lock()
        self._kept = collections.OrderedDict()

    @staticmethod
    def _body(environ, limit):
        """The request body, read whole and put back for Radicale; None
        when it is larger than `limit` or its length is not a number."""
        try:
            length = int(environ.get("CONTENT_LENGTH") or 0)
        except ValueError:
            return None
        if not 0 <= length <= limit:
            return None
        body = environ["wsgi.input"].read(length) if length else b""
        environ["wsgi.input"] = io.BytesIO(body)
        environ["CONTENT_LENGTH"] = str(len(body))
        return body

    @staticmethod
    def _user(login, parts):
        """The account the door verified when the request's path lies under
        its own principal; "" otherwise (Radicale answers those: 403)."""
        return login if parts and parts[0] == login else ""

    def __call__(self, environ, start_response):
        # Radicale's own server checks this before the application runs.
        try:
            too_long = int(environ.get("CONTENT_LENGTH") or 0) > self._max_length > 0
        except ValueError:
            too_long = False
        if too_long:
            start_response("413 Request Entity Too Large", [("Content-Length", "0")])
            return []
        method = environ.get("REQUEST_METHOD", "").upper()
        kind, environ["PATH_INFO"] = kivo_kind.of_request(
            environ.get("HTTP_X_SCRIPT_NAME", ""), environ.get("PATH_INFO", ""))
        path = pathutils.sanitize_path(environ["PATH_INFO"])
        parts = kivo_service.path_parts(path)
        kivo_service.begin_request(environ, method, path, kind)
        kivo_calendar.set_put_body(None)
        login = self._logins.door_login(environ)
        kivo_service.set_door_login(login)
        if not login:
            start_response("403 Forbidden", [("Content-Type", "text/plain"),
                                              ("Content-Length", "0")])
            return []
        user = self._user(login, parts)
        if not user and parts and not parts[0].startswith("."):
            # Below another account's principal every method is refused
            # alike (Radicale would answer OPTIONS, and COPY as unknown).
            start_response("403 Forbidden", [("Content-Type", "text/plain"),
                                              ("Content-Length", "0")])
            return []
        if not user:
            return super().__call__(environ, start_response)
        body = None
        if method == "PUT" and kind.verbatim and len(parts) == 3:
            # Within max_content_length, checked above.
            kivo_calendar.set_put_body(self._body(environ, self._max_length or 1 << 30))
        if method == "PROPPATCH":
            body = self._body(environ, MAX_PROPPATCH_BYTES)
            if body is None:
                start_response("413 Request Entity Too Large", [("Content-Length", "0")])
                return []
        prefix = environ.get("HTTP_X_SCRIPT_NAME", environ.get("SCRIPT_NAME", ""))
        refusal = self._service.refusal(user, method, parts, body, prefix.rstrip("/") + path)
        if refusal is not None:
            status, headers, answer = refusal
            start_response(status, headers + [("Content-Length", str(len(answer)))])
            return [answer] if method != "HEAD" else []
        if method == "PROPFIND" and environ.get("HTTP_DEPTH") == "1" and len(parts) == 1:
            return self._listing(environ, start_response, user, prefix)
        return super().__call__(environ, start_response)

    def _listing(self, environ, start_response, user, prefix):
        body = self._body(environ, 65536)
        if body is None:
            return super().__call__(environ, start_response)
        key = (user, prefix, body)
        token = self._service.listing_token(user)
        if token is not None:
            with self._lock:
                kept = self._kept.get(key)
            if kept is not None and kept[0] == token:
                # A copy: the server adds its own headers to the list.
                start_response(kept[1], list(kept[2]))
                return [kept[3]]
        answer = {}

        def keep_start_response(status, headers, exc_info=None):
            answer["status"], answer["headers"] = status, list(headers)
            return start_response(status, headers, exc_info)

        body = b"".join(super().__call__(environ, keep_start_response))
        if token is not None and answer.get("status", "").startswith("207"):
            with self._lock:
                self._kept[key] = (token, answer["status"], answer["headers"], body)
                self._kept.move_to_end(key)
                while len(self._kept) > KEPT_ANSWERS:
                    self._kept.popitem(last=False)
        return [body]


# ---- the HTTP server --------------------------------------------------------------

class _Body(io.RawIOBase):
    """The request body as the application reads it. The first read sends
    the "100 Continue" the client waits for before it sends the body."""

    def __init__(self, rfile, wfile, expecting: bool) -> None:
        super().__init__()
        self._rfile = rfile
        self._wfile = wfile
        self._expecting = expecting

    def _continue(self) -> None:
        if self._expecting:
            self._expecting = False
            self._wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            self._wfile.flush()

    def readable(self) -> bool:
        return True

    def read(self, size=-1):
        self._continue()
        return self._rfile.read(size)

    def readline(self, size=-1):
        self._continue()
        return self._rfile.readline(size)

    def readinto(self, buffer):
        self._continue()
        return self._rfile.readinto(buffer)


class _ResponseWriter(wsgiref.simple_server.ServerHandler):
    http_version = "1.1"
    os_environ = {}  # the daemon's environment stays out of the requests

    def cleanup_headers(self) -> None:
        super().cleanup_headers()
        self.headers["Connection"] = "close"

    def log_exception(self, exc_info) -> None:
        logger.error("An exception occurred during request: %s", exc_info[1], exc_info=exc_info)


class _RequestHandler(wsgiref.simple_server.WSGIRequestHandler):

    def log_request(self, code="-", size="-") -> None:
        pass

    def log_error(self, format_, *args) -> None:
        logger.error("An error occurred during request: %s", format_ % args)

    def get_environ(self):
        environ = super().get_environ()
        # Paths are UTF-8, not the Latin-1 the parent decodes them as.
        environ["PATH_INFO"] = urllib.parse.unquote(self.path.split("?", 1)[0])
        return environ

    def handle(self) -> None:
        self.raw_requestline = self.rfile.readline(65537)
        if len(self.raw_requestline) > 65536:
            self.requestline = self.request_version = self.command = ""
            self.send_error(414)
            return
        if not self.parse_request():
            return
        expecting = (self.request_version == "HTTP/1.1" and
                     self.headers.get("Expect", "").strip().lower() == "100-continue")
        writer = _ResponseWriter(_Body(self.rfile, self.wfile, expecting), self.wfile,
                                 self.get_stderr(), self.get_environ(), multithread=True)
        writer.request_handler = self
        writer.run(self.server.get_app())


class _Server(socketserver.ThreadingMixIn, wsgiref.simple_server.WSGIServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    def __init__(self, address, max_connections: int, timeout: float) -> None:
        self._timeout = timeout
        self._slots = threading.BoundedSemaphore(max_connections) if max_connections > 0 else None
        self._active = 0
        self._idle = threading.Condition()
        self._stopping = threading.Event()
        super().__init__(address, _RequestHandler)

    def server_bind(self) -> None:
        # WSGIServer would look the host's name up; the loopback port is all.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]
        self.setup_environ()

    def get_request(self):
        connection, address = super().get_request()
        if self._timeout > 0:
            connection.settimeout(self._timeout)
        return connection, address

    def process_request(self, request, client_address) -> None:
        # The next accept waits for a free slot, but never past a stop.
        while self._slots is not None and not self._slots.acquire(timeout=0.2):
            if self._stopping.is_set():
                self.shutdown_request(request)
                return
        with self._idle:
            self._active += 1
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._done()
            raise

    def process_request_thread(self, request, client_address) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._done()

    def _done(self) -> None:
        with self._idle:
            self._active -= 1
            self._idle.notify_all()
        if self._slots is not None:
            self._slots.release()

    def stop(self, seconds: float) -> int:
        """Takes no more connections and waits up to `seconds` for the
        requests under way; answers how many are still running."""
        self._stopping.set()
        self.shutdown()
        self.server_close()
        deadline = time.monotonic() + seconds
        with self._idle:
            while self._active > 0 and time.monotonic() < deadline:
                self._idle.wait(deadline - time.monotonic())
            return self._active

    def handle_error(self, request, client_address) -> None:
        if isinstance(sys.exc_info()[1], (socket.timeout, ConnectionError)):
            logger.info("Connection from %s ended early: %s", client_address, sys.exc_info()[1])
        else:
            logger.error("An exception occurred during request from %s", client_address,
                         exc_info=sys.exc_info())


def main() -> None:
    parser = argparse.ArgumentParser(prog="kivo_server")
    parser.add_argument("--config", required=True)
    args = parser.parse_args()
    # Blocked before any thread starts, so every thread inherits it and the
    # main thread alone takes them, with sigwait.
    signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    log.setup()
    try:
        configuration = config.load([(args.config, False)])
        log.set_level(configuration.get("logging", "level"))
        (host, port), = configuration.get("server", "hosts")
        server = _Server((host, port), configuration.get("server", "max_connections"),
                         configuration.get("server", "timeout"))
        server.set_app(Application(configuration))
    except Exception as e:
        logger.critical("Cannot start: %s", e, exc_info=True)
        sys.exit(1)
    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                               name="accept", daemon=True)
    serving.start()
    logger.info("Listening on %s:%d", host, port)
    received = signal.sigwait(STOP_SIGNALS)
    left = server.stop(DRAIN_SECONDS)
    logger.warning("Stopped on signal %d%s", received,
                   "; %d requests cut short" % left if left else "")
    logging.shutdown()
    # Threads still in a request are abandoned with the process.
    os._exit(0)


if __name__ == "__main__":
    main()
