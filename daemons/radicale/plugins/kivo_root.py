"""What the CalDAV daemon reads from the platform's root.

The accounts (etc/passwd, etc/group, etc/shadow), the share table
(etc/kivo/shares.json) and the registries of calendars
(usr/kivo/etc/calendar.info) and address books (addressbook.info beside it,
of the same form, kivo_kind) are read as their owner, root, and kept while
their file is unchanged (same device, inode, size and modification time), so
a collection created, renamed or deleted through the web API shows on the
next request without a restart. The daemon's own maps from a folder's
identity (device and inode) to the name in its URL live in
var/lib/kivo/caldav/ids.json and var/lib/kivo/carddav/ids.json. The paths are the system's own
(kivo_paths, which the build makes from include/kivo/kivo_paths.h) under
the root; the share table is read by the rule of its C++ reader
(base/share_table.h, the vectors tests/vectors/shares.json).

Owns: the ids.json files. Reads, never writes, every other file named here; never
touches a calendar folder.
"""

import contextlib
import json
import os
import secrets
import stat
import threading
import time
from typing import Callable, Dict, List, NamedTuple, Optional, Tuple

from radicale.log import logger

import kivo_identity
import kivo_paths
import kivo_share_access
from kivo_identity import Identity
from kivo_kind import CALENDARS, KINDS, Kind

# A file changed within this many seconds may change again within one
# timestamp tick without its stamp showing it: read it again next time.
_SETTLE_SECONDS = 2


class _Stamped:
    """One file's parsed content, kept while the file's stamp holds.

    A file that exists but cannot be read, is larger than `limit` bytes or
    does not parse gives no content, as the platform's readers give none
    (base/share_table.h, the registry's reader, the accounts'): never what
    was read before it broke."""

    def __init__(self, path: str, parse: Callable[[bytes], object],
                 limit: Optional[int] = None) -> None:
        self._path = path
        self._parse = parse
        self._limit = limit
        self._lock = threading.Lock()
        self._stamp: Optional[tuple] = None
        self._value: object = None
        self._refused: Optional[tuple] = None  # the stamp last logged as refused

    def get(self) -> object:
        """The parsed content; None for a missing file and for one refused
        (logged once per version)."""
        with kivo_identity.acting_as(kivo_identity.PLATFORM):
            try:
                st = os.stat(self._path)
            except FileNotFoundError:
                return None
            except OSError as e:
                return self._refuse(None, e)
            stamp = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
            with self._lock:
                if stamp == self._stamp:
                    return self._value
            try:
                if not stat.S_ISREG(st.st_mode):
                    raise OSError("no regular file")
                if self._limit is not None and st.st_size > self._limit:
                    raise OSError("larger than %d bytes" % self._limit)
                with open(self._path, "rb") as f:
                    data = f.read() if self._limit is None else f.read(self._limit + 1)
                if self._limit is not None and len(data) > self._limit:
                    raise OSError("larger than %d bytes" % self._limit)
            except FileNotFoundError:
                return None
            except OSError as e:
                # Not kept: a failure of the moment (no descriptor left)
                # must not outlive it.
                return self._refuse(stamp, e)
        try:
            value = self._parse(data)
        except ValueError as e:
            # Kept like a table: the same text never parses later.
            value = self._refuse(stamp, e)
        with self._lock:
            settled = time.time() - st.st_mtime > _SETTLE_SECONDS
            self._stamp = stamp if settled else None
            self._value = value
        return value

    def _refuse(self, stamp: Optional[tuple], why: Exception) -> None:
        with self._lock:
            logged, self._refused = self._refused == stamp and stamp is not None, stamp
        if not logged:
            logger.warning("Cannot read %s, so it counts as missing: %s", self._path, why)
        return None


def strip_json_comments(text: str, strict: bool = False) -> str:
    """JSON with // and /* */ comments (as the registry's writers allow)
    as plain JSON; comment markers inside strings are kept. `strict`: a
    /* without its end raises ValueError."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == '"':
            j = i + 1
            while j < n and text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            if end < 0 and strict:
                raise ValueError("a comment without its end")
            out.append(" ")  # it separates what it stood between
            i = n if end < 0 else end + 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _json(data: bytes) -> object:
    return json.loads(strip_json_comments(data.decode("utf-8")))


# The share table's rule, which its C++ reader (base/share_table.h) follows
# too; both run the vectors of tests/vectors/shares.json.
_SHARES_MAX_NESTING = 512


def _nesting(value: object) -> int:
    """How deep `value` nests, itself counting one; raises ValueError for a
    string holding half a surrogate pair (only an escape makes one)."""
    if isinstance(value, str):
        if any("\ud800" <= c <= "\udbff" for c in value):
            raise ValueError("half a surrogate pair")
        return 1
    if isinstance(value, dict):
        children = [*value.keys(), *value.values()]
    elif isinstance(value, list):
        children = value
    else:
        return 1
    deepest = 0
    for child in children:
        deepest = max(deepest, _nesting(child))
        if deepest >= _SHARES_MAX_NESTING:
            break
    return 1 + deepest


def _usable_share(name: str, folder: object) -> bool:
    if not name or "/" in name or "\0" in name:
        return False
    if not isinstance(folder, str) or not folder.startswith("/") or "\0" in folder:
        return False
    return not any(part in (".", "..") for part in folder.split("/"))


def _no_constant(name: str) -> float:
    raise ValueError("%s is no JSON" % name)


def _finite(text: str) -> float:
    value = float(text)
    if value in (float("inf"), float("-inf")):
        raise ValueError("%s is too large" % text)
    return value


def share_table(data: bytes) -> Optional[Dict[str, str]]:
    """The shares of etc/kivo/shares.json's content: name -> directory as
    written. None for JSON that is no object (no table); ValueError for text
    that is no JSON by the rule. The rule (base/share_table.h): one JSON
    object, comments allowed, a leading byte order mark skipped, nothing
    after it, no trailing comma, no NaN, nested at most 512 deep; the later
    of two members of one name wins. A member is a share when its name is
    not empty and holds no "/" or NUL and its value names an absolute
    directory without a NUL or a "." or ".." component. Bytes that are no
    UTF-8 stand for themselves, as they do in a path."""
    text = data.decode("utf-8", "surrogateescape")
    if text.startswith("\ufeff"):
        text = text[1:]
    try:
        value = json.loads(strip_json_comments(text, strict=True), strict=False,
                           parse_constant=_no_constant, parse_float=_finite)
        if _nesting(value) > _SHARES_MAX_NESTING:
            raise ValueError("nested too deep")
    except RecursionError:
        raise ValueError("nested too deep") from None
    if not isinstance(value, dict):
        return None
    return {name: folder for name, folder in value.items() if _usable_share(name, folder)}


def _colon_lines(data: bytes) -> List[List[str]]:
    lines = data.decode("utf-8", "replace").splitlines()
    return [line.split(":") for line in lines if line and not line.startswith("#")]


class Entry(NamedTuple):
    """A registered calendar or address book: its registry id and its
    folder."""
    key: str
    name: str
    folder: str
    share: str = ""


class Root:
    """The platform's files under one root."""

    def __init__(self, root: str) -> None:
        self.root = root.rstrip("/")
        # Account files have the one limit of every reader of them.
        limit = kivo_paths.ACCOUNT_FILE_MAX
        self._passwd = _Stamped(self.path(kivo_paths.PASSWD), _colon_lines, limit)
        self._group = _Stamped(self.path(kivo_paths.GROUP), _colon_lines, limit)
        self._shadow = _Stamped(self.path(kivo_paths.SHADOW), _colon_lines, limit)
        self._shares = _Stamped(self.path(kivo_paths.SHARES_JSON), share_table)
        self._registries = {kind: _Stamped(self.path(kind.registry), _json) for kind in KINDS}
        self._share_access = kivo_share_access.Store(self.path(kivo_paths.SHARE_ACCESS))

    def path(self, system_path: str) -> str:
        return self.root + system_path

    # ---- accounts --------------------------------------------------------------

    def identity(self, user: str) -> Optional[Identity]:
        """uid, primary gid and supplementary groups of an account of the
        root; None for an unknown user."""
        for fields in self._passwd.get() or []:
            if len(fields) >= 4 and fields[0] == user:
                try:
                    uid, gid = int(fields[2]), int(fields[3])
                except ValueError:
                    return None
                groups = {gid}
                for g in self._group.get() or []:
                    if len(g) >= 4 and user in g[3].split(","):
                        try:
                            groups.add(int(g[2]))
                        except ValueError:
                            continue
                return Identity(uid, gid, tuple(sorted(groups)))
        return None

    def password_hash(self, user: str) -> str:
        for fields in self._shadow.get() or []:
            if len(fields) >= 2 and fields[0] == user:
                return fields[1]
        return ""

    def share_access(self, share: str, user: str, identity: Identity, writing: bool) -> str:
        """What the share access lists say of `user` on `share`
        (kivo_share_access)."""
        if share == kivo_share_access.HOMES:
            return kivo_share_access.NO_LISTS  # not a file read for the homes' calendars
        table = self._share_access.table()
        # etc/group is gone through only for a share whose lists name a group.
        groups = (kivo_share_access.group_ids(self._group.get())
                  if isinstance(table, dict) and any(
                      name.startswith("@") for name, _ in table.get(share) or [])
                  else lambda name: None)
        return kivo_share_access.judge(table, share, user, identity.groups, groups, writing)

    # ---- calendars -------------------------------------------------------------

    def calendars(self) -> List[Entry]:
        return self.entries(CALENDARS)

    def entries(self, kind: Kind) -> List[Entry]:
        """The registered collections of `kind` whose location resolves, in
        registry order. Entries of another form than the web API writes are
        left out."""
        registry = self._registries[kind].get() or []
        shares = self._shares.get() or {}
        if not isinstance(registry, list):
            return []
        homes_user = self.identity("homes") is not None
        entries = []
        for item in registry:
            entry = self._entry(item, kind.member, shares, homes_user)
            if entry is not None:
                entries.append(entry)
        return entries

    @staticmethod
    def _entry(item: object, member: str, shares: dict, homes_user: bool) -> Optional[Entry]:
        if not isinstance(item, dict):
            return None
        name, dest, share = (item.get(k) for k in (member, "destination", "share"))
        if not all(isinstance(v, str) for v in (name, dest, share)) or not name:
            return None
        # The web API's own reading of a home entry written before the
        # "homes/" prefix.
        if share == "homes" and not homes_user and dest[:5].lower() != "homes":
            dest = "homes/" + dest
        base = shares.get(share)
        if base is None:
            return None
        if len(dest) != len(share) and "/" in dest:
            folder = "%s/%s/%s" % (base, dest.split("/", 1)[1], name)
        else:
            folder = "%s/%s" % (base, name)
        return Entry("%s:%s" % (name, dest), name, folder, share)


class IdMap:
    """Folder identity (device, inode) -> the name in the collection's URL,
    `prefix` and random hex. A name once given is kept for as long as the
    folder lives, whatever it is renamed to on the same volume."""

    def __init__(self, path: str, prefix: str = CALENDARS.id_prefix) -> None:
        self._path = path
        self._prefix = prefix
        self._lock = threading.Lock()
        self._ids: Optional[Dict[str, str]] = None

    def names(self, identities: List[Tuple[int, int]]) -> List[str]:
        with self._lock, kivo_identity.acting_as(kivo_identity.PLATFORM):
            if self._ids is None:
                self._ids = self._load()
            keys = ["%d:%d" % identity for identity in identities]
            missing = [k for k in keys if k not in self._ids]
            if missing:
                taken = set(self._ids.values())
                for key in missing:
                    name = self._prefix + secrets.token_hex(5)
                    while name in taken:
                        name = self._prefix + secrets.token_hex(5)
                    taken.add(name)
                    self._ids[key] = name
                self._store()
            return [self._ids[k] for k in keys]

    def _load(self) -> Dict[str, str]:
        try:
            with open(self._path, "rb") as f:
                ids = json.loads(f.read().decode("utf-8"))
        except FileNotFoundError:
            return {}
        if not isinstance(ids, dict):
            raise ValueError("%s does not hold an object" % self._path)
        return {k: v for k, v in ids.items() if isinstance(v, str)}

    def _store(self) -> None:
        # The address books' folder is the plug-ins' own, made on first use.
        os.makedirs(os.path.dirname(self._path), 0o755, exist_ok=True)
        tmp = "%s.%s.tmp" % (self._path, secrets.token_hex(4))
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(json.dumps(self._ids, indent=1, sort_keys=True).encode())
                f.flush()
                os.fsync(f.fileno())
            os.rename(tmp, self._path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
            raise
