"""Radicale plug-ins that serve the platform's registered calendars.

Configured as the storage, rights and auth type "kivo_storage", with
[storage] kivo_root naming the platform's root and kivo_state the daemon's
own folder (var/lib/kivo/caldav under the root).

  /                     the root collection
  /<user>/              the user's principal: exactly the registered
                        calendars whose folder the user may read
  /<user>/<name>/       one calendar; <name> is kept per folder identity, so
                        a rename or move through the web API keeps the URL
  /<user>/<name>/x.ics  one event, the file x.ics in the calendar's folder

Which calendars a user sees, and whether the user may change them, is
judged with the user's own file-system identity (kivo_identity), so the
kernel decides with the folders' modes and ACLs and those of their parents.
The calendars themselves, their items and properties, are kivo_calendar's.

Calendars are made, renamed and removed through the web API alone: a client
never gets write access to a collection itself (MKCALENDAR, MKCOL, DELETE,
MOVE, COPY or PUT aimed at a calendar are answered 403), and the storage
refuses such changes too should a request get that far. A calendar the user
does not see (never registered, deleted, or not readable for the user)
answers 404 to every other method, so that a client drops it
(Service.refusal, asked by kivo_server before Radicale).

Owns: the URL of each calendar (through kivo_root's id map) and the
judgement of who may read and write it. Never writes a calendar folder
itself.
"""

import contextlib
import hashlib
import hmac
import os
import secrets
import stat
import threading
import time
import warnings
from typing import Dict, Iterator, Optional, Tuple

from radicale import auth, pathutils, rights, storage

import kivo_identity
from kivo_identity import Identity
from kivo_calendar import (PROPS_FILE, Calendar, CalendarCollection, Plain,
                           is_item_name, proppatch_refusal)
from kivo_root import IdMap, Root

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt  # deprecated from 3.11, still there in 3.11; libcrypt underneath

REMEMBER_LOGIN_SECONDS = 60

# What the current request is about: set by kivo_server as a request comes
# in, else when Radicale asks the auth plug-in for an external login, the
# first thing it does per request.
_request = threading.local()


def path_parts(path: str) -> list:
    stripped = path.strip("/")
    return stripped.split("/") if stripped else []


def begin_request(environ, method: str, path: str) -> None:
    """Starts what this thread knows of a request; once per request."""
    if getattr(_request, "environ", None) is environ:
        return
    _request.environ = environ
    _request.method = method
    _request.path = path
    _request.user = ""
    _request.views = {}


def _answer(status: str, body: bytes = b"", content_type: str = "text/plain"):
    return status, [("Content-Type", content_type)], body


class Service:
    """The root's files and the daemon's id map, shared by the three
    plug-ins of one daemon."""

    _instances: Dict[Tuple[str, str], "Service"] = {}
    _instances_lock = threading.Lock()

    @classmethod
    def of(cls, configuration) -> "Service":
        key = (configuration.get("storage", "kivo_root"),
               configuration.get("storage", "kivo_state"))
        with cls._instances_lock:
            if key not in cls._instances:
                cls._instances[key] = cls(*key)
            return cls._instances[key]

    def __init__(self, root: str, state: str) -> None:
        self.root = Root(root)
        self.ids = IdMap(os.path.join(state, "ids.json"))
        self._salt = secrets.token_bytes(16)
        self._logins_lock = threading.Lock()
        self._remembered: Dict[str, Tuple[bytes, str, float]] = {}

    def login(self, login: str, password: str) -> bool:
        """Whether `password` is the account's, by its crypt(3) hash in
        etc/shadow. A success is remembered for a minute while the stored
        hash stays the same, so a slow hash is not computed on every
        request."""
        if "\0" in login or "\0" in password:
            return False  # crypt(3) and the account files end names there
        stored = self.root.password_hash(login)
        digest = hashlib.sha256(self._salt + login.encode() + b"\0" + password.encode()).digest()
        now = time.monotonic()
        with self._logins_lock:
            remembered = self._remembered.get(login)
        if (remembered is not None and remembered[1] == stored and remembered[2] > now and
                hmac.compare_digest(remembered[0], digest)):
            return True
        usable = stored.startswith("$") and self.identity(login) is not None
        computed = crypt.crypt(password, stored if usable else "$6$kivo$") or ""
        if not usable or not hmac.compare_digest(computed, stored):
            return False
        with self._logins_lock:
            self._remembered[login] = (digest, stored, now + REMEMBER_LOGIN_SECONDS)
        return True

    def refusal(self, user: str, method: str, parts: list, body: Optional[bytes],
                href: str) -> Optional[tuple]:
        """(status, headers, body) for a request of `user` below the
        user's principal that the registry's rules answer; None for one
        Radicale answers."""
        calendar = None
        if len(parts) >= 2 and method not in ("MKCALENDAR", "MKCOL"):
            calendar = self.view(user).get(parts[1])
            if calendar is None:
                return _answer("404 Not Found")
        if len(parts) <= 2 and method in ("MOVE", "COPY"):
            return _answer("403 Forbidden")
        if method == "PROPPATCH" and len(parts) == 2 and calendar.writable:
            answer = proppatch_refusal(body or b"", href)
            if answer is not None:
                return _answer("207 Multi-Status", answer, "text/xml; charset=utf-8")
        return None

    def identity(self, user: str) -> Optional[Identity]:
        identity = self.root.identity(user)
        # Acting as uid 0 would make the daemon the owner of root's files.
        return identity if identity is not None and identity.uid != 0 else None

    def view(self, user: str) -> Dict[str, Calendar]:
        """The calendars `user` may read, by URL name, in registry order;
        judged once per request."""
        views = getattr(_request, "views", None)
        if views is not None and user in views:
            return views[user]
        view = self._build_view(user)
        if views is not None:
            views[user] = view
        return view

    def listing_token(self, user: str) -> Optional[tuple]:
        """Everything a listing of the user's calendars is built from: the
        calendars the user may read and write, and the stamps of their
        folders, property files and items. None when something changed in
        the last seconds (a change within one timestamp tick would not
        show) or the user is unknown."""
        identity = self.identity(user)
        if identity is None:
            return None
        view = self._build_view(user)
        parts = [tuple(view.items())]
        newest = 0
        with kivo_identity.acting_as(identity):
            for calendar in view.values():
                try:
                    folder = os.stat(calendar.folder)
                    with os.scandir(calendar.folder) as entries:
                        items = tuple(sorted(
                            (e.name, e.inode(), st.st_size, st.st_mtime_ns)
                            for e in entries if is_item_name(e.name)
                            for st in (e.stat(follow_symlinks=False),)))
                except OSError:
                    return None
                try:
                    props = os.stat(os.path.join(calendar.folder, PROPS_FILE))
                    props_stamp = (props.st_ino, props.st_size, props.st_mtime_ns)
                except OSError:
                    props_stamp = None
                newest = max([newest, folder.st_mtime_ns] + [i[3] for i in items] +
                             [props_stamp[2] if props_stamp else 0])
                parts.append((folder.st_dev, folder.st_ino, folder.st_mtime_ns, props_stamp,
                              items))
        if time.time_ns() - newest < 2 * 10**9:
            return None
        return tuple(parts)

    def _build_view(self, user: str) -> Dict[str, Calendar]:
        identity = self.identity(user)
        if identity is None:
            return {}
        entries = self.root.calendars()
        found = []
        seen = set()
        with kivo_identity.acting_as(identity):
            for entry in entries:
                try:
                    st = os.stat(entry.folder)
                except OSError:
                    continue  # missing, or a parent the user may not search
                key = (st.st_dev, st.st_ino)
                if not stat.S_ISDIR(st.st_mode) or key in seen:
                    continue
                if not os.access(entry.folder, os.R_OK | os.X_OK, effective_ids=True):
                    continue
                writable = os.access(entry.folder, os.W_OK | os.X_OK, effective_ids=True)
                seen.add(key)
                found.append((entry, key, writable))
        names = self.ids.names([key for _, key, _ in found])
        return {name: Calendar(name, entry.name, entry.folder, key[0], key[1], writable)
                for name, (entry, key, writable) in zip(names, found)}


# ---- the three plug-ins ---------------------------------------------------------

class _RWLock:
    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._readers = 0
        self._writer = False

    @contextlib.contextmanager
    def hold(self, mode: str) -> Iterator[None]:
        with self._cond:
            if mode == "r":
                self._cond.wait_for(lambda: not self._writer)
                self._readers += 1
            else:
                self._cond.wait_for(lambda: not self._writer and self._readers == 0)
                self._writer = True
        try:
            yield
        finally:
            with self._cond:
                if mode == "r":
                    self._readers -= 1
                else:
                    self._writer = False
                self._cond.notify_all()


class Storage(storage.BaseStorage):

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = Service.of(configuration)
        self._lock = _RWLock()
        kivo_identity.check_capabilities()

    @contextlib.contextmanager
    def acquire_lock(self, mode: str, user: str = "") -> Iterator[None]:
        with self._lock.hold(mode):
            _request.user = user
            identity = self._service.identity(user) if user else None
            if identity is None:
                yield
                return
            with kivo_identity.acting_as(identity):
                yield

    def discover(self, path: str, depth: str = "0"):
        user = getattr(_request, "user", "")
        parts = path_parts(path)
        if not parts:
            yield Plain("")
            if depth != "0" and user:
                yield Plain(user)
            return
        if not user or parts[0] != user or len(parts) > 3:
            return
        if len(parts) == 1:
            # Radicale looks for the principal on every request: answered
            # before anything is judged.
            yield Plain(user)
            if depth != "0":
                identity = self._service.identity(user)
                for calendar in list(self._service.view(user).values()):
                    yield CalendarCollection(user, calendar, identity)
            return
        identity = self._service.identity(user)
        calendar = self._service.view(user).get(parts[1])
        if calendar is None:
            return
        collection = CalendarCollection(user, calendar, identity)
        if len(parts) == 2:
            yield collection
            if depth != "0":
                yield from collection.get_all()
            return
        try:
            item = collection.get_one(parts[2])
        except OSError:
            item = None
        if item is not None:
            yield item

    def move(self, item, to_collection, to_href) -> None:
        if not isinstance(to_collection, CalendarCollection):
            raise ValueError("items move between calendars only")
        to_collection.upload(to_href, item)
        if (item.collection.path, item.href) != (to_collection.path, to_href):
            item.collection.delete(item.href)

    def create_collection(self, href, items=None, props=None):
        raise ValueError("calendars are made through the web API")

    def verify(self) -> bool:
        return True


class Rights(rights.BaseRights):
    """Read and write as the kernel allows the user on the folder; never
    write access to a collection as the target of the request itself,
    except to change its properties."""

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = Service.of(configuration)

    def authorization(self, user: str, path: str) -> str:
        if not user:
            return ""
        parts = path_parts(path)
        if not parts:
            return "R"
        if parts[0] != user or len(parts) > 2:
            return ""  # items take the rights of their calendar
        if len(parts) == 1:
            return "R"
        calendar = self._service.view(user).get(parts[1])
        if calendar is None:
            return ""
        targeted = path_parts(getattr(_request, "path", path)) == parts
        if not calendar.writable or (targeted and getattr(_request, "method", "") != "PROPPATCH"):
            return "r"
        return "rw"


class Auth(auth.BaseAuth):
    """The root's accounts and their crypt(3) hashes in etc/shadow
    (Service.login)."""

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = Service.of(configuration)

    def get_external_login(self, environ):
        begin_request(environ, environ.get("REQUEST_METHOD", "").upper(),
                      pathutils.sanitize_path(environ.get("PATH_INFO", "")))
        return ()

    def login(self, login: str, password: str) -> str:
        return login if self._service.login(login, password) else ""
