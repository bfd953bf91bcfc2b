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

Owns: the storage lock. Never makes, renames or removes a calendar: those
requests are refused (create_collection, and a collection's delete in
kivo_calendar).
"""

import contextlib
import threading
from typing import Iterator

from radicale import storage

import kivo_identity
import kivo_service
from kivo_calendar import CalendarCollection, Plain
from kivo_service import Service, path_parts


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
