"""The storage plug-in of the CalDAV daemon ([storage] type = kivo_storage):
the registered calendars as Radicale's collections.

Radicale locks the storage for the request's user before it asks for a
collection (acquire_lock); from then on the thread acts with that user's
file-system identity (kivo_identity), and discover answers only what the
user's view holds (kivo_service.Service.view): the root collection, the
user's own principal, the calendars of the view and their items. Another
user's principal, a calendar outside the view and anything deeper than an
item are not there at all.

Options, read by every plug-in of the daemon: kivo_root, the platform's
root, and kivo_state, the daemon's own folder.

Sync tokens: a sync-collection REPORT names the state the client last saw.
The storage keeps the states it gave tokens for (each item's href and etag)
in memory, per calendar folder and per identity that was served them, so
that the next REPORT answers just the items that changed, were added or
were removed since; a user can never ask with a state another user was
given. States are forgotten oldest first beyond MAX_SYNC_ENTRIES hrefs in
all, and with the process: an unknown token is answered as Radicale answers
one (403, valid-sync-token), and the client syncs in full.

A new item's PUT asks whether its UID is taken. The UIDs of each calendar
are kept per identity that asked (href -> UID of the items that user could
open), read whole once and then only the names the folder's watch reports
changed since (kivo_watch), and names with more than one link, which may
change through another folder: a PUT costs the same in a calendar of ten
thousand items as in one of a hundred. A folder that cannot be watched is
read whole for every question.

Owns: the storage lock, the sync states and the kept UIDs. Never makes, renames or removes
a calendar: those requests are refused (create_collection, and a
collection's delete in kivo_calendar).
"""

import collections
import contextlib
import hashlib
import re
import threading
from typing import Callable, Dict, Iterator, List, Optional, Set, Tuple

from radicale import storage, xmlutils
from radicale.item import filter as radicale_filter

import kivo_identity
import kivo_service
from kivo_calendar import CalendarCollection, Plain, is_item_name, keep_parses
from kivo_identity import Identity
from kivo_service import Service, path_parts
from kivo_watch import Folder, watcher


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


SYNC_TOKEN_PREFIX = "http://radicale.org/ns/sync/"
MAX_SYNC_ENTRIES = 200000


class _SyncStates:
    """The states sync tokens were given for, least recently used first:
    (calendar dev, ino, identity, token name) -> {href: etag}."""

    def __init__(self, max_entries: int = MAX_SYNC_ENTRIES) -> None:
        self._lock = threading.Lock()
        self._states: "collections.OrderedDict[tuple, Dict[str, str]]" = \
            collections.OrderedDict()
        self._entries = 0
        self._max_entries = max_entries

    def get(self, key: tuple) -> Optional[Dict[str, str]]:
        with self._lock:
            state = self._states.get(key)
            if state is not None:
                self._states.move_to_end(key)
            return state

    def keep(self, key: tuple, state: Dict[str, str]) -> None:
        with self._lock:
            if key in self._states:
                self._states.move_to_end(key)
                return
            self._states[key] = state
            self._entries += len(state)
            while self._entries > self._max_entries and len(self._states) > 1:
                self._entries -= len(self._states.popitem(last=False)[1])


_sync_states = _SyncStates()

MAX_UIDS = 200000


class _Uids:
    """One calendar's UIDs as one identity opens its items; `stale` names
    are to be read again before the next answer."""

    def __init__(self) -> None:
        self.by_href: Dict[str, str] = {}
        self.held: Dict[str, int] = {}  # UID -> how many items hold it
        self.stale: Set[str] = set()
        self.linked: Set[str] = set()

    def note(self, href: str, loaded) -> None:
        old = self.by_href.pop(href, None)
        if old is not None:
            if self.held[old] == 1:
                del self.held[old]
            else:
                self.held[old] -= 1
        self.linked.discard(href)
        if loaded is None:
            return
        st, parsed = loaded
        self.by_href[href] = parsed.uid
        self.held[parsed.uid] = self.held.get(parsed.uid, 0) + 1
        if st.st_nlink > 1:
            self.linked.add(href)


class _UidTable:
    """The kept UIDs: folder -> identity -> _Uids, least recently used
    folder first, at most MAX_UIDS hrefs in all."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._folders: "collections.OrderedDict[Folder, Dict[Identity, _Uids]]" = \
            collections.OrderedDict()
        watcher.listen(self._noticed)

    def _noticed(self, folder: Folder, names: Optional[Set[str]]) -> None:
        with self._lock:
            if names is None:
                self._folders.pop(folder, None)
                return
            for uids in self._folders.get(folder, {}).values():
                uids.stale |= names

    def get(self, folder: Folder, identity: Identity) -> Tuple[_Uids, bool]:
        """The folder's UIDs for `identity`, and whether they are new (to be
        read whole); changes from here on are noted in them."""
        with self._lock:
            identities = self._folders.setdefault(folder, {})
            self._folders.move_to_end(folder)
            uids = identities.get(identity)
            if uids is not None:
                return uids, False
            uids = identities[identity] = _Uids()
            total = sum(len(u.by_href) for i in self._folders.values() for u in i.values())
            while total > MAX_UIDS and len(self._folders) > 1:
                total -= sum(len(u.by_href)
                             for u in self._folders.popitem(last=False)[1].values())
            return uids, True

    def drop(self, folder: Folder, identity: Identity) -> None:
        with self._lock:
            self._folders.get(folder, {}).pop(identity, None)

    def take_stale(self, uids: _Uids) -> Set[str]:
        with self._lock:
            stale, uids.stale = uids.stale, set()
        return stale | uids.linked


_uid_table = _UidTable()


# A text-match needle with none of these stands in a vCard's text as in the
# value vobject reads from it, but for folding: vobject reads the escapes
# backslash-backslash, -semicolon, -comma, -quote and -n as one character,
# ends lines at CR or LF, and a sigma's lower case depends on what follows.
_UNSAFE_NEEDLE = frozenset('\\;,"\r\nσςΣ')
# Properties vobject reads into objects or bytes: Radicale cannot match text
# against them, and fails for every item that has one; no item is left out
# for them here, so that it still does.
_STRUCTURED = frozenset(("n", "adr", "org", "photo"))
_MATCH_TYPES = frozenset(("equals", "contains", "starts-with", "ends-with"))
_UNFOLD = re.compile(r"(?:\r\n|\r|\n)[\t ]")


def card_prefilter(filters) -> Optional[Callable[[str], bool]]:
    """For an addressbook-query's `filters`: a test of an item's text that
    is False only for an item they cannot match (Radicale needs every value
    a text-match compares lowered to hold the needle lowered, and such a
    value lies in the unfolded text as it is), so that Radicale parses only
    the others. None when the filters give no such test, or are of a form
    Radicale refuses (as it then refuses them)."""
    prop_filter, text_match, param_filter, not_defined = (
        xmlutils.make_clark("CR:" + tag)
        for tag in ("prop-filter", "text-match", "param-filter", "is-not-defined"))
    required = []  # (any or all, the needles of each prop-filter it takes)
    for filter_ in filters:
        test = filter_.get("test", "anyof")
        if test not in ("anyof", "allof"):
            return None
        alternatives = []
        for prop in filter_:
            if prop.tag != prop_filter:
                return None
            needles = []
            for child in prop:
                if child.tag == param_filter or (child.tag == not_defined and len(prop) == 1):
                    continue
                text = next(child.itertext(), None)
                if (child.tag != text_match or text is None or
                        child.get("match-type", "contains") not in _MATCH_TYPES):
                    return None
                needle = text.lower()
                if (needle and child.get("negate-condition") != "yes" and
                        prop.get("name", "").lower() not in _STRUCTURED and
                        _UNSAFE_NEEDLE.isdisjoint(needle)):
                    needles.append(needle)
            alternatives.append(needles)
        if test == "anyof" and alternatives and all(alternatives):
            required.append((any, alternatives))
        elif test == "allof" and any(alternatives):
            required.append((all, [needles for needles in alternatives if needles]))
    if not required:
        return None

    def candidate(text: str) -> bool:
        text = _UNFOLD.sub("", text).lower()
        return all(combine(all(n in text for n in needles) for needles in alternatives)
                   for combine, alternatives in required)
    return candidate


class SyncedCalendar(CalendarCollection):
    """A calendar that answers a sync-collection with the changes since the
    client's token. It also answers a calendar-query with the items of its
    time range, an addressbook-query with the items whose text holds what
    its text-matches ask for (card_prefilter), and a new item's PUT whether
    its UID is taken, judged on the kept parses: an item is built, and
    Radicale parses it, only for what may match. Every item is still opened
    as the user, as get_all opens it."""

    def get_filtered(self, filters):
        if not self.tag:
            return
        tag, start, end, simple = radicale_filter.simplify_prefilters(filters, self.tag)
        candidate = card_prefilter(filters) if self.tag == "VADDRESSBOOK" else None
        for href, st, parsed in self._loaded():
            if tag is not None and tag != parsed.component:
                continue
            if candidate is not None and not candidate(parsed.text):
                continue
            item_start, item_end = parsed.time_range
            if item_start >= end or item_end <= start:
                continue
            yield (self._item(href, st, parsed),
                   simple and (start <= item_start or item_end <= end))

    def has_uid(self, uid: str) -> bool:
        # Asked by every PUT of a new item, under the storage's write lock:
        # one question at a time changes the kept UIDs.
        with self._folder() as fd:
            if not self._watched:
                return any(parsed.uid == uid for _, _, parsed in self._loaded())
            folder = (self._calendar.dev, self._calendar.ino)
            uids, new = _uid_table.get(folder, self._identity)
            if new:
                pending: List[tuple] = []
                try:
                    for href in list(self._names(fd)):
                        uids.note(href, self._load(fd, href, pending))
                except BaseException:
                    _uid_table.drop(folder, self._identity)  # never kept half read
                    raise
                keep_parses(pending)
            for href in _uid_table.take_stale(uids):
                uids.note(href, self._load(fd, href)
                          if is_item_name(href, self._kind.suffix) else None)
            return uid in uids.held

    def sync(self, old_token: str = ""):
        old_name = ""
        if old_token:
            if not old_token.startswith(SYNC_TOKEN_PREFIX):
                raise ValueError("Malformed token: %r" % old_token)
            old_name = old_token[len(SYNC_TOKEN_PREFIX):]
        state = {href: parsed.etag for href, _, parsed in self._loaded()}
        digest = hashlib.sha256()
        for href in sorted(state):
            digest.update(("%s/%s\0" % (href, state[href])).encode())
        name = digest.hexdigest()
        token = SYNC_TOKEN_PREFIX + name
        calendar: Tuple[int, int, object] = (self._calendar.dev, self._calendar.ino,
                                             self._identity)
        if old_name == name:
            return token, []
        old_state: Dict[str, str] = {}
        if old_name:
            found = _sync_states.get(calendar + (old_name,))
            if found is None:
                raise ValueError("Token not found: %r" % old_token)
            old_state = found
        _sync_states.keep(calendar + (name,), state)
        changed = [href for href, etag in state.items() if old_state.get(href) != etag]
        changed.extend(href for href in old_state if href not in state)
        return token, changed


class Storage(storage.BaseStorage):

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = Service.of(configuration)
        self._lock = _RWLock()
        kivo_identity.check_capabilities()

    @contextlib.contextmanager
    def acquire_lock(self, mode: str, user: str = "") -> Iterator[None]:
        with self._lock.hold(mode):
            kivo_service.set_user(user)
            identity = self._service.identity(user) if user else None
            if identity is None:
                yield
                return
            with kivo_identity.acting_as(identity):
                yield

    def discover(self, path: str, depth: str = "0"):
        user = kivo_service.request_user()
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
                    yield SyncedCalendar(user, calendar, identity)
            return
        identity = self._service.identity(user)
        calendar = self._service.view(user).get(parts[1])
        if calendar is None:
            return
        collection = SyncedCalendar(user, calendar, identity)
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
