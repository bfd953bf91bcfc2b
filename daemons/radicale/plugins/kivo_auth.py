"""The auth plug-in of the CalDAV daemon ([auth] type = kivo_auth): the
account the WebDAV daemon's door verified, and nothing else.

Every client reaches the daemon through the WebDAV daemon's proxy, whose
mod_kivo_dav checks the credentials (one reader, the brake every door
shares, the accounts as they are now) and hands the request on with the
field X-Kivo-Login: "<token> <account>". The token is the secret of the
file [auth] kivo_door_token, root's and readable by this daemon's group
alone; the loopback port is open to every local process, so a field
without it, or credentials of any other kind, log in no one. The account
must still be one the services serve (kivo_service.Service.identity): not
root, not guest, a name the platform accepts, and one whose etc/shadow
hash is a crypt(3) one ("!", "*", empty: locked accounts log in nowhere).

The file is read again whenever it changed, so a token made anew while the
daemon runs counts at once, and the old one no more.

Owns: the token as last read, in memory only.
"""

import hmac
import os
import threading

from radicale import auth, pathutils
from radicale.log import logger

import kivo_service
from kivo_service import Service

LOGIN_FIELD = "HTTP_X_KIVO_LOGIN"


class _Token:
    """The door's token, read from its file again whenever the file
    changed (a stat per request)."""

    def __init__(self, path: str) -> None:
        self._path = path
        self._lock = threading.Lock()
        self._stamp = None
        self._token = b""

    @staticmethod
    def _stamp_of(st):
        return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns

    def _refresh(self) -> None:
        try:
            if self._stamp_of(os.stat(self._path, follow_symlinks=False)) == self._stamp:
                return
            fd = os.open(self._path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
            try:
                stamp = self._stamp_of(os.fstat(fd))
                text = os.read(fd, 256).strip()
            finally:
                os.close(fd)
        except OSError as e:
            if self._stamp is not None or self._token:
                logger.error("Cannot read the door's token %s: %s", self._path, e)
            self._stamp, self._token = None, b""
            return
        # Shorter than 32 hex digits is no secret: nothing matches it.
        self._stamp = stamp
        self._token = text if len(text) >= 32 and not text.strip(b"0123456789abcdef") else b""

    def matches(self, presented: bytes) -> bool:
        with self._lock:
            self._refresh()
            token = self._token
        return bool(token) and hmac.compare_digest(presented, token)


class Auth(auth.BaseAuth):

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = Service.of(configuration)
        self._token = _Token(configuration.get("auth", "kivo_door_token"))

    def door_login(self, environ) -> str:
        """The account the door verified for this request; "" for none."""
        field = environ.get(LOGIN_FIELD, "")
        token, _, login = field.partition(" ")
        if not login or not token.isascii() or not self._token.matches(token.encode()):
            return ""
        if not pathutils.is_safe_path_component(login) or self._service.identity(login) is None:
            return ""
        return login if self._service.root.password_hash(login).startswith("$") else ""

    def get_external_login(self, environ):
        # The first thing Radicale asks per request: what the other
        # plug-ins need to know of it starts here. Radicale's own reading
        # of the Authorization field is never reached with a door's login,
        # and without one login() refuses whatever it read.
        kivo_service.begin_request(environ, environ.get("REQUEST_METHOD", "").upper(),
                                   pathutils.sanitize_path(environ.get("PATH_INFO", "")))
        login = self.door_login(environ)
        kivo_service.set_door_login(login)
        return (login, "") if login else ()

    def login(self, login: str, password: str) -> str:
        return login if login and login == kivo_service.door_login() else ""
