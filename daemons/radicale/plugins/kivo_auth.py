"""The auth plug-in of the CalDAV daemon ([auth] type = kivo_auth): the
root's accounts and their crypt(3) hashes in etc/shadow.

An account whose hash is not a crypt(3) one ("!", "*", empty: guest, locked
accounts) never logs in, nor does root (uid 0) or a name the root's
etc/passwd does not know. A success is remembered for a minute while the
stored hash stays the same, so a slow hash is not computed on every request
(clients send their credentials with each one); kivo_server asks it too,
before Radicale does, and both share what is remembered.

Owns: the remembered logins, in memory only.
"""

import hashlib
import hmac
import secrets
import threading
import time
import warnings
from typing import Dict, Tuple

from radicale import auth, pathutils

import kivo_service
from kivo_service import Service

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt  # deprecated from 3.11, still there in 3.11; libcrypt underneath

REMEMBER_LOGIN_SECONDS = 60

# (root, login) -> (digest of the password, stored hash, until). The salt
# keeps the digests of one process from being compared with any other's.
_salt = secrets.token_bytes(16)
_remembered_lock = threading.Lock()
_remembered: Dict[Tuple[str, str], Tuple[bytes, str, float]] = {}


class Auth(auth.BaseAuth):

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = Service.of(configuration)

    def get_external_login(self, environ):
        # The first thing Radicale asks per request: what the other
        # plug-ins need to know of it starts here.
        kivo_service.begin_request(environ, environ.get("REQUEST_METHOD", "").upper(),
                                   pathutils.sanitize_path(environ.get("PATH_INFO", "")))
        return ()

    def login(self, login: str, password: str) -> str:
        return login if self._verify(login, password) else ""

    def _verify(self, login: str, password: str) -> bool:
        if "\0" in login or "\0" in password:
            return False  # crypt(3) and the account files end names there
        root = self._service.root
        stored = root.password_hash(login)
        digest = hashlib.sha256(_salt + login.encode() + b"\0" + password.encode()).digest()
        key = (root.root, login)
        now = time.monotonic()
        with _remembered_lock:
            remembered = _remembered.get(key)
        if (remembered is not None and remembered[1] == stored and remembered[2] > now and
                hmac.compare_digest(remembered[0], digest)):
            return True
        usable = stored.startswith("$") and self._service.identity(login) is not None
        computed = crypt.crypt(password, stored if usable else "$6$kivo$") or ""
        if not usable or not hmac.compare_digest(computed, stored):
            return False
        with _remembered_lock:
            _remembered[key] = (digest, stored, now + REMEMBER_LOGIN_SECONDS)
        return True
