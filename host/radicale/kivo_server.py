"""Entry point of the CalDAV daemon: Radicale's own main, with its
application given one addition.

A calendar client asks for the principal's calendars (PROPFIND Depth 1 on
/<user>/) every time it looks for changes, and Radicale spends half a
millisecond per calendar building that answer. The answer is kept per user,
path prefix and request body, and given again while everything it was built
from is unchanged (kivo_storage.Service.listing_token: the calendars the
user may read and write, and the stamps of their folders, property files and
items). The credentials are checked on every request, as Radicale would.

Owns: the kept answers, in memory. Run as `python3 -m kivo_server --config
FILE` with this folder on PYTHONPATH.
"""

import base64
import binascii
import collections
import io
import threading

import radicale
import radicale.__main__
import radicale.server
from radicale import pathutils

import kivo_storage

KEPT_ANSWERS = 64


class Application(radicale.Application):

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = kivo_storage.Service.of(configuration)
        self._lock = threading.Lock()
        self._kept = collections.OrderedDict()

    @staticmethod
    def _credentials(environ):
        header = environ.get("HTTP_AUTHORIZATION", "")
        if not header.startswith("Basic "):
            return None
        try:
            login, password = base64.b64decode(header[6:].strip()).decode("utf-8").split(":", 1)
        except (binascii.Error, UnicodeDecodeError, ValueError):
            return None
        return login, password

    def _listing_key(self, environ):
        """(user, key) for a principal's PROPFIND Depth 1 by that user with
        valid credentials; None for every other request."""
        if environ.get("REQUEST_METHOD") != "PROPFIND" or environ.get("HTTP_DEPTH") != "1":
            return None
        credentials = self._credentials(environ)
        if credentials is None:
            return None
        login, password = credentials
        path = pathutils.sanitize_path(environ.get("PATH_INFO", ""))
        if path.strip("/") != login or not pathutils.is_safe_path_component(login):
            return None
        try:
            length = int(environ.get("CONTENT_LENGTH") or 0)
        except ValueError:
            return None
        if not 0 <= length <= 65536:
            return None
        body = environ["wsgi.input"].read(length) if length else b""
        # Radicale reads the body again on a miss.
        environ["wsgi.input"] = io.BytesIO(body)
        environ["CONTENT_LENGTH"] = str(len(body))
        if self._auth.login(login, password) != login:
            return None
        prefix = environ.get("HTTP_X_SCRIPT_NAME", environ.get("SCRIPT_NAME", ""))
        return login, (login, prefix, body)

    def __call__(self, environ, start_response):
        listing = self._listing_key(environ)
        if listing is None:
            return super().__call__(environ, start_response)
        user, key = listing
        token = self._service.listing_token(user)
        if token is not None:
            with self._lock:
                kept = self._kept.get(key)
            if kept is not None and kept[0] == token:
                start_response(kept[1], kept[2])
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


if __name__ == "__main__":
    # radicale.server builds its application from this name.
    radicale.server.Application = Application
    radicale.__main__.run()
