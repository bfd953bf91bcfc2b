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

Every access to a calendar folder is made with the user's own file-system
identity (kivo_identity), so the kernel decides with the folder's modes and
ACLs and those of its parents; a new item is owned by the user who wrote
it. A calendar's properties live in .DAV/caldav.json inside its folder.
Parsed items are kept in memory only, keyed by file identity and stamp: no
cache file is ever written.

Calendars are made, renamed and removed through the web API alone: a client
never gets write access to a collection itself (MKCALENDAR, MKCOL, DELETE,
MOVE or PUT aimed at a calendar are answered 403), and the storage refuses
such changes too should a request get that far.

Owns: items (*.ics) and .DAV/caldav.json in registered folders, written as
the requesting user. Never creates, renames or removes a folder.
"""

import contextlib
import hashlib
import hmac
import json
import os
import secrets
import stat
import threading
import time
import warnings
from typing import Dict, Iterable, Iterator, NamedTuple, Optional, Tuple

import radicale.item as radicale_item
from radicale import auth, pathutils, rights, storage
from radicale.log import logger

import kivo_identity
from kivo_identity import Identity
from kivo_root import IdMap, Root

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt  # deprecated from 3.11, still there in 3.11; libcrypt underneath

PROPS_FILE = ".DAV/caldav.json"
MAX_ITEM_BYTES = 8 << 20
REMEMBER_LOGIN_SECONDS = 60

# What the current request is about: set when Radicale asks the auth
# plug-in for an external login, the first thing it does per request.
_request = threading.local()


class Calendar(NamedTuple):
    name: str    # in the URL
    title: str   # the registry's calendarname
    folder: str
    dev: int
    ino: int
    writable: bool


def _parts(path: str) -> list:
    stripped = path.strip("/")
    return stripped.split("/") if stripped else []


def is_item_name(href: str) -> bool:
    # A NUL would end the name one layer down: refused here.
    return (href.endswith(".ics") and "\0" not in href and
            pathutils.is_safe_filesystem_path_component(href))


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


# ---- items ----------------------------------------------------------------------

class _Parsed(NamedTuple):
    etag: str
    text: str
    uid: str
    name: str
    component: str
    time_range: Tuple[int, int]


_parsed_lock = threading.Lock()
# (folder dev, folder ino, file name) -> (file stamp, parsed or None if broken)
_parsed: Dict[Tuple[int, int, str], Tuple[tuple, Optional[_Parsed]]] = {}


def _parse(raw: bytes, collection_path: str) -> Optional[_Parsed]:
    try:
        components = radicale_item.read_components(raw.decode("utf-8"))
        radicale_item.check_and_sanitize_items(components, tag="VCALENDAR")
        component, = components
        item = radicale_item.Item(collection_path=collection_path, vobject_item=component)
        return _Parsed(item.etag, item.serialize(), item.uid, item.name,
                       item.component_name, item.time_range)
    except Exception as e:  # whatever a user dropped into the folder
        logger.warning("Skipping %r: not one calendar object: %s", collection_path, e)
        return None


def _read_small(dir_fd: int, name: str, limit: int = 65536) -> bytes:
    """A regular file's first `limit` bytes; a FIFO or device a user put
    in its place neither blocks nor is read."""
    fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise ValueError("%s is not a file" % name)
        return f.read(limit)


def _http_date(seconds: float) -> str:
    return time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(seconds))


# ---- collections ----------------------------------------------------------------

class _Plain(storage.BaseCollection):
    """The root collection and a principal: no items, no properties."""

    def __init__(self, path: str) -> None:
        self._path = path

    @property
    def path(self) -> str:
        return self._path

    def get_multi(self, hrefs):
        return ((href, None) for href in hrefs)

    def get_all(self):
        return iter(())

    def get_meta(self, key=None):
        return {} if key is None else None

    def set_meta(self, props) -> None:
        raise ValueError("no properties here")

    def upload(self, href, item):
        raise ValueError("calendars are made through the web API")

    def delete(self, href=None) -> None:
        raise ValueError("calendars are removed through the web API")

    @property
    def last_modified(self) -> str:
        return _http_date(0)


class CalendarCollection(storage.BaseCollection):
    """One registered calendar, as seen by one user."""

    def __init__(self, user: str, calendar: Calendar, identity: Identity) -> None:
        self._path = "%s/%s" % (user, calendar.name)
        self._calendar = calendar
        self._identity = identity
        self._meta: Optional[dict] = None

    @property
    def path(self) -> str:
        return self._path

    @contextlib.contextmanager
    def _folder(self) -> Iterator[int]:
        """The folder, opened as the user and checked to be the folder the
        URL names; every item operation works relative to it."""
        with kivo_identity.acting_as(self._identity):
            fd = os.open(self._calendar.folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                st = os.fstat(fd)
                if (st.st_dev, st.st_ino) != (self._calendar.dev, self._calendar.ino):
                    raise storage.ComponentNotFoundError(self._path)
                yield fd
            finally:
                os.close(fd)

    # -- reading

    def _names(self, fd: int) -> Iterator[str]:
        with os.scandir(fd) as entries:
            for entry in entries:
                if is_item_name(entry.name) and entry.is_file(follow_symlinks=False):
                    yield entry.name

    def _get(self, fd: int, href: str) -> Optional[radicale_item.Item]:
        try:
            item_fd = os.open(href, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                              dir_fd=fd)
        except OSError:
            return None  # gone, a link, or not for this user
        with os.fdopen(item_fd, "rb") as f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode) or st.st_size > MAX_ITEM_BYTES:
                return None
            key = (self._calendar.dev, self._calendar.ino, href)
            stamp = (st.st_ino, st.st_size, st.st_mtime_ns)
            with _parsed_lock:
                cached = _parsed.get(key)
            if cached is not None and cached[0] == stamp:
                parsed = cached[1]
            else:
                parsed = _parse(f.read(MAX_ITEM_BYTES), "%s/%s" % (self._path, href))
                with _parsed_lock:
                    _parsed[key] = (stamp, parsed)
        if parsed is None:
            return None
        return radicale_item.Item(
            collection=self, href=href, last_modified=_http_date(st.st_mtime),
            etag=parsed.etag, text=parsed.text, uid=parsed.uid, name=parsed.name,
            component_name=parsed.component, time_range=parsed.time_range)

    def get_one(self, href: str) -> Optional[radicale_item.Item]:
        if not is_item_name(href):
            return None
        with self._folder() as fd:
            return self._get(fd, href)

    # These answer lists, not generators: a generator suspended inside
    # _folder() would keep the user's identity on the thread until the
    # garbage collector closes it, at whatever point that is.

    def get_multi(self, hrefs: Iterable[str]):
        with self._folder() as fd:
            return [(href, self._get(fd, href) if is_item_name(href) else None)
                    for href in hrefs]

    def get_all(self) -> Iterator[radicale_item.Item]:
        items = []
        try:
            with self._folder() as fd:
                for href in list(self._names(fd)):
                    item = self._get(fd, href)
                    if item is not None:
                        items.append(item)
        except OSError as e:
            logger.warning("Cannot list %r: %s", self._path, e)
        return iter(items)

    def get_meta(self, key=None):
        if self._meta is None:
            meta = {"tag": "VCALENDAR", "D:displayname": self._calendar.title}
            try:
                with self._folder() as fd:
                    stored = json.loads(_read_small(fd, PROPS_FILE).decode("utf-8"))
                if isinstance(stored, dict):
                    meta.update((k, v) for k, v in stored.items()
                                if isinstance(k, str) and isinstance(v, str) and k != "tag")
            except FileNotFoundError:
                pass
            except (OSError, ValueError) as e:
                logger.warning("Ignoring the properties of %r: %s", self._path, e)
            self._meta = meta
        return self._meta if key is None else self._meta.get(key)

    @property
    def last_modified(self) -> str:
        with self._folder() as fd:
            return _http_date(os.fstat(fd).st_mtime)

    def sync(self, old_token: str = ""):
        token = "http://radicale.org/ns/sync/%s" % self.etag.strip('"')
        if old_token == token:
            return token, []
        if old_token:
            raise ValueError("sync token not kept")
        return token, (item.href for item in self.get_all())

    # -- writing, as the user

    def _replace(self, fd: int, name: str, data: bytes) -> None:
        """Writes `name` in the folder (or in .DAV) whole: a temporary file
        renamed over it, so that readers never see half an item."""
        directory, base = os.path.split(name)
        tmp = os.path.join(directory, ".%s.%s.tmp" % (base, secrets.token_hex(4)))
        tmp_fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                         0o666, dir_fd=fd)
        try:
            with os.fdopen(tmp_fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
            os.rename(tmp, name, src_dir_fd=fd, dst_dir_fd=fd)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(tmp, dir_fd=fd)
            raise

    def upload(self, href: str, item: radicale_item.Item) -> radicale_item.Item:
        if not is_item_name(href):
            raise ValueError("items are files named *.ics: %r" % href)
        data = item.serialize().encode("utf-8")
        with self._folder() as fd:
            try:
                self._replace(fd, href, data)
            except PermissionError as e:
                raise ValueError("not writable for this user: %s" % e) from e
            uploaded = self._get(fd, href)
        if uploaded is None:
            raise ValueError("%r vanished while it was written" % href)
        return uploaded

    def delete(self, href: Optional[str] = None) -> None:
        if href is None:
            raise ValueError("calendars are removed through the web API")
        if not is_item_name(href):
            raise storage.ComponentNotFoundError(href)
        with self._folder() as fd:
            try:
                os.unlink(href, dir_fd=fd)
            except FileNotFoundError as e:
                raise storage.ComponentNotFoundError(href) from e

    def set_meta(self, props) -> None:
        stored = {k: v for k, v in props.items() if k != "tag"}
        with self._folder() as fd:
            try:
                self._replace(fd, PROPS_FILE, json.dumps(stored, sort_keys=True).encode())
            except (FileNotFoundError, PermissionError) as e:
                raise ValueError("properties not writable: %s" % e) from e
        self._meta = None


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
        parts = _parts(path)
        if not parts:
            yield _Plain("")
            if depth != "0" and user:
                yield _Plain(user)
            return
        if not user or parts[0] != user or len(parts) > 3:
            return
        if len(parts) == 1:
            # Radicale looks for the principal on every request: answered
            # before anything is judged.
            yield _Plain(user)
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
        parts = _parts(path)
        if not parts:
            return "R"
        if parts[0] != user or len(parts) > 2:
            return ""  # items take the rights of their calendar
        if len(parts) == 1:
            return "R"
        calendar = self._service.view(user).get(parts[1])
        if calendar is None:
            return ""
        targeted = _parts(getattr(_request, "path", path)) == parts
        if not calendar.writable or (targeted and getattr(_request, "method", "") != "PROPPATCH"):
            return "r"
        return "rw"


class Auth(auth.BaseAuth):
    """The root's accounts and their crypt(3) hashes in etc/shadow. A
    successful check is remembered for a minute while the stored hash stays
    the same, so a slow hash is not recomputed on every request."""

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = Service.of(configuration)
        self._salt = secrets.token_bytes(16)
        self._lock = threading.Lock()
        self._remembered: Dict[str, Tuple[bytes, str, float]] = {}

    def get_external_login(self, environ):
        _request.method = environ.get("REQUEST_METHOD", "").upper()
        _request.path = pathutils.sanitize_path(environ.get("PATH_INFO", ""))
        _request.user = ""
        _request.views = {}
        return ()

    def login(self, login: str, password: str) -> str:
        if "\0" in login or "\0" in password:
            return ""  # crypt(3) and the account files end names there
        root = self._service.root
        stored = root.password_hash(login)
        digest = hashlib.sha256(self._salt + login.encode() + b"\0" + password.encode()).digest()
        now = time.monotonic()
        with self._lock:
            remembered = self._remembered.get(login)
        if (remembered is not None and remembered[1] == stored and remembered[2] > now and
                hmac.compare_digest(remembered[0], digest)):
            return login
        usable = stored.startswith("$") and self._service.identity(login) is not None
        computed = crypt.crypt(password, stored if usable else "$6$kivo$") or ""
        if not usable or not hmac.compare_digest(computed, stored):
            return ""
        with self._lock:
            self._remembered[login] = (digest, stored, now + REMEMBER_LOGIN_SECONDS)
        return login
