"""Who may read and who may write each share, as the share access lists
(etc/kivo/share-access.json under the root) say, by the WebDAV daemon's rule
(daemons/apache/kivo_dav_share_access.h), both held to the table
tests/vectors/share_access.json:

A share with lists (a non-empty "read" or "write") is read by the accounts
on either list, by name or as "@" and one of their groups, and written by
those on "write"; everybody else is refused everything there. A share
without lists, or no file, leaves access to the file system. The homes
never follow lists. A file that is not such JSON, not a regular file, not
root's or writable by others refuses every share but the homes.

Owns nothing: reads the file as root, kept while its stamp (device, inode,
size, modification and change times) holds and the file was settled when
read. Threading: any thread; the kept table is swapped under a lock.
"""

import json
import os
import stat
import threading
import time
from typing import Callable, Dict, List, Optional, Tuple

from radicale.log import logger

import kivo_identity

ALLOWED, REFUSED, NO_LISTS = "allowed", "refused", "no lists"
HOMES = "homes"
# As large a store as the WebDAV daemon reads.
_MAX_BYTES = 4 * 1024 * 1024
_SETTLE_SECONDS = 2


class _Malformed:
    """A store that refuses every share but the homes."""


MALFORMED = _Malformed()
Table = Dict[str, List[Tuple[str, bool]]]  # share -> (entry, on "write")


def _no_constant(name: str) -> float:
    raise ValueError("%s is no JSON" % name)


def _names(value: object) -> List[str]:
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise ValueError("a list of names")
    for name in value:
        if "\0" in name:
            raise ValueError("a NUL in a name")
        name.encode("utf-8")  # half a surrogate pair is no name
    return value


def parse(data: Optional[bytes]) -> object:
    """The table of a store's text (None: no file), or MALFORMED."""
    if data is None:
        return {}
    try:
        value = json.loads(data.decode("utf-8"), parse_constant=_no_constant)
        if not isinstance(value, dict):
            raise ValueError("no object")
        shares = value.get("shares", {})
        if not isinstance(shares, dict):
            raise ValueError("shares are no object")
        table: Table = {}
        for share, lists in shares.items():
            if not isinstance(lists, dict) or "\0" in share:
                raise ValueError("a share is no object")
            table[share] = ([(n, False) for n in _names(lists.get("read", []))] +
                            [(n, True) for n in _names(lists.get("write", []))])
        return table
    except (ValueError, UnicodeError, RecursionError):
        return MALFORMED


def judge(table: object, share: str, user: str, gids: Tuple[int, ...],
          gid_of: Callable[[str], Optional[int]], writing: bool) -> str:
    """What `table` says of `user` (groups `gids`) on `share`; `gid_of`
    gives a group name's id (None: no such group)."""
    if share == HOMES:
        return NO_LISTS
    if table is MALFORMED:
        return REFUSED
    entries = table.get(share) or []
    if not entries:
        return NO_LISTS
    for name, on_write in entries:
        if writing and not on_write:
            continue
        if name.startswith("@"):
            gid = gid_of(name[1:])
            if gid is not None and gid in gids:
                return ALLOWED
        elif name == user:
            return ALLOWED
    return REFUSED


def group_ids(lines: Optional[list]) -> Callable[[str], Optional[int]]:
    """A group's id by the first line of etc/group (split at colons) that
    names it, as getgrnam finds it."""
    ids: Dict[str, int] = {}
    for fields in lines or []:
        if len(fields) >= 3 and fields[0] not in ids and fields[2].isdigit():
            ids[fields[0]] = int(fields[2])
    return ids.get


class Store:
    """The lists of one root, kept while the file is unchanged."""

    def __init__(self, path: str) -> None:
        self._path = path
        self._lock = threading.Lock()
        self._stamp: Optional[tuple] = None
        self._table: object = None
        self._logged: Optional[tuple] = None

    def table(self) -> object:
        with kivo_identity.acting_as(kivo_identity.PLATFORM):
            try:
                st = os.lstat(self._path)
            except FileNotFoundError:
                return {}
            except OSError as e:
                return self._refuse(None, str(e))
            stamp = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
            with self._lock:
                if stamp == self._stamp:
                    return self._table
            why = None
            if not stat.S_ISREG(st.st_mode):
                why = "not a regular file"
            elif st.st_uid != 0:
                why = "not root's"
            elif st.st_mode & (stat.S_IWOTH | (stat.S_IWGRP if st.st_gid != 0 else 0)):
                why = "writable by others"
            elif st.st_size > _MAX_BYTES:
                why = "too large"
            data = None
            if why is None:
                try:
                    fd = os.open(self._path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
                    with os.fdopen(fd, "rb") as f:
                        data = f.read(_MAX_BYTES + 1)
                except FileNotFoundError:
                    return {}
                except OSError as e:
                    return self._refuse(None, str(e))
        table = self._refuse(stamp, why) if why is not None else parse(data)
        if table is MALFORMED and why is None:
            self._refuse(stamp, "not a share access store")
        with self._lock:
            settled = time.time() - st.st_ctime > _SETTLE_SECONDS
            self._stamp = stamp if settled else None
            self._table = table
        return table

    def _refuse(self, stamp: Optional[tuple], why: str) -> object:
        with self._lock:
            logged, self._logged = self._logged == stamp and stamp is not None, stamp
        if not logged:
            logger.error("%s is %s: every share but the homes is refused", self._path, why)
        return MALFORMED
