"""A registered calendar or address book (kivo_kind) as a Radicale
collection, as seen by one user. What is said here of calendars holds for
address books, with `.vcf` files for `.ics` ones, the registry's
addressbookname for its calendarname, .DAV/carddav.json for
.DAV/caldav.json and a description as the one kept property. An address
book's items are served as their files hold them, byte for byte: a vCard
PUT is stored as the client sent it when Radicale found nothing to add.

Every access to the calendar's folder is made with the user's own
file-system identity (kivo_identity), relative to a descriptor of the
folder whose device and inode are checked against the ones the URL was
given for. An item is one `.ics` file of the folder; what does not parse as
one calendar object, links and special files are skipped. Parsed items are
kept in memory only, keyed by file identity and stamp and dropped on the
change's own notice (kivo_watch), so that a rewrite within one clock tick is
read again: no cache file is ever written. One collection object lives for
one request, and reads the folder's items once in it.

A calendar's name and identity are the registry's and the folder's: its
display name is the registry's calendarname, its type a calendar. A client
may keep only the properties of KEPT_PROPERTIES (colour, order, description,
time zone), stored for everybody who sees the calendar in
.DAV/caldav.json; a PROPPATCH of anything else is refused whole
(proppatch_refusal), and such a property found in the file is ignored.

Sync tokens are the storage's (kivo_storage.SyncedCalendar, which also
filters a calendar-query on the kept parses before it builds an item).

Owns: items (*.ics) and .DAV/caldav.json in registered folders, written as
the requesting user. Never creates, renames or removes a folder.
"""

import contextlib
import functools
import json
import os
import secrets
import stat
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET
from typing import Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple

import defusedxml.ElementTree as DefusedET
import radicale.item as radicale_item
from radicale import pathutils, storage
from radicale.log import logger

import kivo_identity
from kivo_identity import Identity
from kivo_kind import CALENDARS, Kind
from kivo_watch import watcher

PROPS_FILE = CALENDARS.props_file

_DAV = "DAV:"
# What a client may set on a calendar: Radicale's name of the property ->
# its XML name.
KEPT_PROPERTIES = CALENDARS.kept
MAX_ITEM_BYTES = 8 << 20
MAX_PARSED = 200000


class Calendar(NamedTuple):
    name: str    # in the URL
    title: str   # the registry's calendarname
    folder: str
    dev: int
    ino: int
    writable: bool
    kind: Kind = CALENDARS


@functools.lru_cache(maxsize=65536)
def is_item_name(href: str, suffix: str = CALENDARS.suffix) -> bool:
    # A NUL would end the name one layer down: refused here. Asked for every
    # file of a folder on every listing, hence remembered.
    return (href.endswith(suffix) and "\0" not in href and
            pathutils.is_safe_filesystem_path_component(href))


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
# Folder -> how many changes were noticed in it: a parse read while one was
# noticed may be of either content and is not kept.
_changes: Dict[Tuple[int, int], int] = {}


def _noticed(folder: Tuple[int, int], names) -> None:
    with _parsed_lock:
        _changes[folder] = _changes.get(folder, 0) + 1
        if names is None:
            for key in [k for k in _parsed if k[:2] == folder]:
                del _parsed[key]
        else:
            for name in names:
                _parsed.pop(folder + (name,), None)


watcher.listen(_noticed)


def keep_parses(pending) -> None:
    """Keeps the parses `pending` ((folder, name, stamp, parse, changes
    when read)) made but for those of folders changed since they were read."""
    watcher.drain()
    with _parsed_lock:
        for folder, name, stamp, parsed, changes in pending:
            if _changes.get(folder, 0) != changes:
                continue
            if len(_parsed) >= MAX_PARSED:
                _parsed.clear()  # forgets items long deleted too
            _parsed[folder + (name,)] = (stamp, parsed)


def _parse(raw: bytes, collection_path: str, kind: Kind = CALENDARS) -> Optional[_Parsed]:
    try:
        text = raw.decode("utf-8")
        components = radicale_item.read_components(text)
        radicale_item.check_and_sanitize_items(components, tag=kind.tag)
        component, = components
        item = radicale_item.Item(collection_path=collection_path, vobject_item=component,
                                  text=text if kind.verbatim else None)
        return _Parsed(item.etag, item.serialize(), item.uid, item.name,
                       item.component_name, item.time_range)
    except Exception as e:  # whatever a user dropped into the folder
        logger.warning("Skipping %r: not one %s object: %s", collection_path, kind.tag, e)
        return None


# The body of the PUT this thread serves, when it is an address book's
# (set by kivo_server for every request).
_put = threading.local()


def set_put_body(body: Optional[bytes]) -> None:
    _put.body = body


def _verbatim(item: radicale_item.Item) -> Optional[bytes]:
    """The body of the PUT being served when it is `item` as the client
    sent it: one object of the same UID, whose UID Radicale had not to add."""
    body = getattr(_put, "body", None)
    if body is None:
        return None
    try:
        components = radicale_item.read_components(body.decode("utf-8"))
        component, = components
        if radicale_item.get_uid(component) != item.uid:
            return None
    except Exception:  # Radicale parsed it; anything else leaves its own text
        return None
    return body


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

class Plain(storage.BaseCollection):
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
        self._kind = calendar.kind
        self._identity = identity
        self._meta: Optional[dict] = None
        # This request's reading of the folder; dropped by its own writes.
        self._read: Optional[List[Tuple[str, os.stat_result, _Parsed]]] = None
        self._items: Optional[List[radicale_item.Item]] = None
        self._watched = False

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
                # Before anything is read: what changes after is noticed.
                self._watched = watcher.watch(fd, (st.st_dev, st.st_ino))
                yield fd
            finally:
                os.close(fd)

    # -- reading

    def _names(self, fd: int) -> Iterator[str]:
        with os.scandir(fd) as entries:
            for entry in entries:
                if (is_item_name(entry.name, self._kind.suffix) and
                        entry.is_file(follow_symlinks=False)):
                    yield entry.name

    def _load(self, fd: int, href: str,
              pending: Optional[list] = None) -> Optional[Tuple[os.stat_result, _Parsed]]:
        """The item file `href` as the user opens it: its stat and its parse
        (kept by file stamp); None when it is gone, a link, not for this
        user, not a file, too large or not one calendar object. A new parse
        is kept at once, or added to `pending` for keep_parses."""
        try:
            item_fd = os.open(href, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                              dir_fd=fd)
        except OSError:
            return None
        try:
            st = os.fstat(item_fd)
            if not stat.S_ISREG(st.st_mode) or st.st_size > MAX_ITEM_BYTES:
                return None
            folder = (self._calendar.dev, self._calendar.ino)
            stamp = (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
            with _parsed_lock:
                cached = _parsed.get(folder + (href,))
                changes = _changes.get(folder, 0)
            if cached is not None and cached[0] == stamp:
                parsed = cached[1]
            else:
                with os.fdopen(item_fd, "rb", closefd=False) as f:
                    parsed = _parse(f.read(MAX_ITEM_BYTES), "%s/%s" % (self._path, href),
                                    self._kind)
                if self._watched:
                    new = (folder, href, stamp, parsed, changes)
                    if pending is None:
                        keep_parses([new])
                    else:
                        pending.append(new)
        finally:
            os.close(item_fd)
        return None if parsed is None else (st, parsed)

    def _item(self, href: str, st: os.stat_result, parsed: _Parsed) -> radicale_item.Item:
        return radicale_item.Item(
            collection=self, href=href, last_modified=_http_date(st.st_mtime),
            etag=parsed.etag, text=parsed.text, uid=parsed.uid, name=parsed.name,
            component_name=parsed.component, time_range=parsed.time_range)

    def _get(self, fd: int, href: str) -> Optional[radicale_item.Item]:
        loaded = self._load(fd, href)
        return None if loaded is None else self._item(href, *loaded)

    def get_one(self, href: str) -> Optional[radicale_item.Item]:
        if not is_item_name(href, self._kind.suffix):
            return None
        with self._folder() as fd:
            return self._get(fd, href)

    # These answer lists, not generators: a generator suspended inside
    # _folder() would keep the user's identity on the thread until the
    # garbage collector closes it, at whatever point that is.

    def get_multi(self, hrefs: Iterable[str]):
        with self._folder() as fd:
            return [(href, self._get(fd, href) if is_item_name(href, self._kind.suffix) else None)
                    for href in hrefs]

    def _loaded(self) -> List[Tuple[str, os.stat_result, _Parsed]]:
        """(href, stat, parse) of every item the user can open, read once
        per request: Radicale asks for them up to four times in one."""
        if self._read is not None:
            return self._read
        found = []
        pending: list = []
        try:
            with self._folder() as fd:
                for href in list(self._names(fd)):
                    loaded = self._load(fd, href, pending)
                    if loaded is not None:
                        found.append((href,) + loaded)
        except OSError as e:
            logger.warning("Cannot list %r: %s", self._path, e)
            return found
        keep_parses(pending)
        self._read = found
        return found

    def get_all(self) -> Iterator[radicale_item.Item]:
        if self._items is None:
            self._items = [self._item(href, st, parsed) for href, st, parsed in self._loaded()]
        return iter(self._items)

    def _written(self) -> None:
        self._read = self._items = None

    def get_meta(self, key=None):
        if self._meta is None:
            meta = {"tag": self._kind.tag, "D:displayname": self._calendar.title}
            try:
                with self._folder() as fd:
                    stored = json.loads(_read_small(fd, self._kind.props_file).decode("utf-8"))
                if isinstance(stored, dict):
                    meta.update((k, v) for k, v in stored.items()
                                if k in self._kind.kept and isinstance(v, str))
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
        if not is_item_name(href, self._kind.suffix):
            raise ValueError("items are files named *%s: %r" % (self._kind.suffix, href))
        data = (self._kind.verbatim and _verbatim(item)) or item.serialize().encode("utf-8")
        with self._folder() as fd:
            try:
                self._replace(fd, href, data)
            except PermissionError as e:
                raise ValueError("not writable for this user: %s" % e) from e
            uploaded = self._get(fd, href)
        self._written()
        if uploaded is None:
            raise ValueError("%r vanished while it was written" % href)
        return uploaded

    def delete(self, href: Optional[str] = None) -> None:
        if href is None:
            raise ValueError("calendars are removed through the web API")
        if not is_item_name(href, self._kind.suffix):
            raise storage.ComponentNotFoundError(href)
        with self._folder() as fd:
            try:
                os.unlink(href, dir_fd=fd)
            except FileNotFoundError as e:
                raise storage.ComponentNotFoundError(href) from e
        self._written()

    def set_meta(self, props) -> None:
        # Radicale passes every property, the ones it read from get_meta
        # too: those the registry owns must come back unchanged.
        kept = self._kind.kept
        owned = {k: v for k, v in self.get_meta().items() if k not in kept}
        if {k: v for k, v in props.items() if k not in kept} != owned:
            raise ValueError("the collection's name and type are the registry's")
        stored = {k: v for k, v in props.items() if k in kept}
        with self._folder() as fd:
            try:
                self._replace(fd, self._kind.props_file,
                              json.dumps(stored, sort_keys=True).encode())
            except (FileNotFoundError, PermissionError) as e:
                raise ValueError("properties not writable: %s" % e) from e
        self._meta = None


# ---- PROPPATCH --------------------------------------------------------------------

def _element(tag: str, parent: Optional[ET.Element] = None, text: str = "") -> ET.Element:
    element = ET.Element(tag) if parent is None else ET.SubElement(parent, tag)
    if text:
        element.text = text
    return element


def proppatch_refusal(body: bytes, href: str, kind: Kind = CALENDARS) -> Optional[bytes]:
    """The multistatus answer to a PROPPATCH body that sets or removes a
    property outside `kind`'s kept ones: 403 for each of those, 424 for the
    others (a PROPPATCH is all or nothing). None for a body that touches
    kept properties only, or that does not parse (Radicale answers it)."""
    try:
        request = DefusedET.fromstring(body) if body else None
    except Exception:  # malformed or hostile XML
        return None
    if request is None or request.tag != "{%s}propertyupdate" % _DAV:
        return None
    tags = [prop.tag for change in request
            if change.tag in ("{%s}set" % _DAV, "{%s}remove" % _DAV)
            for prop in change.findall("{%s}prop/*" % _DAV)]
    kept = set(kind.kept.values())
    refused = [t for t in tags if t not in kept]
    if not refused:
        return None
    multistatus = _element("{%s}multistatus" % _DAV)
    response = _element("{%s}response" % _DAV, multistatus)
    _element("{%s}href" % _DAV, response, urllib.parse.quote(href))
    for status, group in (("403 Forbidden", refused),
                          ("424 Failed Dependency", [t for t in tags if t in kept])):
        if not group:
            continue
        propstat = _element("{%s}propstat" % _DAV, response)
        prop = _element("{%s}prop" % _DAV, propstat)
        for tag in dict.fromkeys(group):
            _element(tag, prop)
        _element("{%s}status" % _DAV, propstat, "HTTP/1.1 " + status)
        if status.startswith("403"):
            error = _element("{%s}error" % _DAV, propstat)
            _element("{%s}cannot-modify-protected-property" % _DAV, error)
    return ET.tostring(multistatus, encoding="utf-8", xml_declaration=True)
