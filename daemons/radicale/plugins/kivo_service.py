"""What the plug-ins and the server of one CalDAV daemon share: the
platform's root, the daemon's id map, each user's view of the registered
calendars, and what this thread knows of the request it serves.

Radicale loads one plug-in per kind, each from a module of its own:
kivo_auth (Auth), kivo_rights (Rights) and kivo_storage (Storage), as the
daemon's radicale.conf names them; kivo_server runs Radicale's application
with a gate in front (Service.refusal). The storage's options name the
platform's root ([storage] kivo_root) and the daemon's own folder
(kivo_state, var/lib/kivo/caldav under the root); every plug-in finds the
one Service of those two through Service.of.

  /                     the root collection
  /<user>/              the user's principal: exactly the registered
                        calendars whose folder the user may read
  /<user>/<name>/       one calendar; <name> is kept per folder identity, so
                        a rename or move through the web API keeps the URL
  /<user>/<name>/x.ics  one event, the file x.ics in the calendar's folder

Address books are served the same way, by the same code, in requests of
their kind (kivo_kind, told by the door's prefix): /<user>/ is then the
user's address-book home, exactly the registered address books whose
folder the user may read, and /<user>/<name>/x.vcf one contact.

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
judgement of which calendars a user sees and may write. Never writes a
calendar folder itself.
"""

import os
import re
import stat
import threading
import time
from typing import Dict, Optional, Tuple

import kivo_identity
import kivo_share_access
from kivo_identity import Identity
from kivo_calendar import Calendar, is_item_name, proppatch_refusal
from kivo_kind import CALENDARS, KINDS, Kind
from kivo_root import IdMap, Root

# Who may log in, as the WebDAV daemon judges it.
USABLE_NAME = re.compile(r"[a-z_][a-z0-9_.-]{0,31}")
GUEST = "guest"
FIRST_USER_UID = 1000
# nobody: the identity daemons idle at and files of no account belong to.
NOBODY_UID = 65534

# What the current request is about: set by kivo_server as a request comes
# in, else when Radicale asks the auth plug-in for an external login, the
# first thing it does per request; the account the door verified; the user
# once the storage is locked for that user.
_request = threading.local()


def path_parts(path: str) -> list:
    stripped = path.strip("/")
    return stripped.split("/") if stripped else []


def begin_request(environ, method: str, path: str, kind: Kind = CALENDARS) -> None:
    """Starts what this thread knows of a request; once per request."""
    if getattr(_request, "environ", None) is environ:
        return
    _request.environ = environ
    _request.method = method
    _request.path = path
    _request.kind = kind
    _request.user = ""
    _request.views = {}
    _request.door_login = ""


def request_kind() -> Kind:
    """What the request is about: calendars or address books."""
    return getattr(_request, "kind", CALENDARS)


def set_door_login(login: str) -> None:
    """The account the WebDAV daemon's door verified for this request
    (kivo_auth)."""
    _request.door_login = login


def door_login() -> str:
    return getattr(_request, "door_login", "")


def set_user(user: str) -> None:
    _request.user = user


def request_user() -> str:
    return getattr(_request, "user", "")


def request_target(asked: str) -> Tuple[str, str]:
    """The method and the path the request itself names: Radicale asks
    about a target's parent collection too. Before a request is begun,
    `asked` counts as the target."""
    return getattr(_request, "method", ""), getattr(_request, "path", asked)


def _answer(status: str, body: bytes = b"", content_type: str = "text/plain"):
    return status, [("Content-Type", content_type)], body


class Service:
    """The root's files and the daemon's id map, shared by the plug-ins
    and the server of one daemon."""

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
        self._ids = {kind: self.ids if kind.ids is None else
                     IdMap(self.root.path(kind.ids), kind.id_prefix) for kind in KINDS}

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
            answer = proppatch_refusal(body or b"", href, calendar.kind)
            if answer is not None:
                return _answer("207 Multi-Status", answer, "text/xml; charset=utf-8")
        return None

    def identity(self, user: str) -> Optional[Identity]:
        """The identity the daemon acts with for `user`, None for an
        account the services refuse. The rule is the WebDAV daemon's
        (daemons/apache/kivo_dav_accounts.c), run against the same table
        (tests/vectors/accounts.json): a name the host accepts, not guest,
        a user's uid (1000 or more, not nobody's), a primary group other
        than root's; the root group never counts among the others."""
        if not USABLE_NAME.fullmatch(user) or user == GUEST:
            return None
        identity = self.root.identity(user)
        if (identity is None or identity.uid < FIRST_USER_UID or identity.uid == NOBODY_UID
                or identity.gid == 0):
            return None
        return Identity(identity.uid, identity.gid, tuple(g for g in identity.groups if g != 0))

    def view(self, user: str, kind: Optional[Kind] = None) -> Dict[str, Calendar]:
        """The collections of `kind` (the request's) `user` may read, by
        URL name, in registry order; judged once per request."""
        kind = kind or request_kind()
        views = getattr(_request, "views", None)
        if views is not None and (user, kind) in views:
            return views[(user, kind)]
        view = self._build_view(user, kind)
        if views is not None:
            views[(user, kind)] = view
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
        kind = request_kind()
        view = self._build_view(user, kind)
        parts = [tuple(view.items())]
        newest = 0
        with kivo_identity.acting_as(identity):
            for calendar in view.values():
                try:
                    folder = os.stat(calendar.folder)
                    with os.scandir(calendar.folder) as entries:
                        items = tuple(sorted(
                            (e.name, e.inode(), st.st_size, st.st_mtime_ns)
                            for e in entries if is_item_name(e.name, kind.suffix)
                            for st in (e.stat(follow_symlinks=False),)))
                except OSError:
                    return None
                try:
                    props = os.stat(os.path.join(calendar.folder, kind.props_file))
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

    def _share_lists(self, entry, user: str, identity: Identity, writable: bool) -> Optional[bool]:
        """Whether the share access lists let `user` write the calendar
        `entry` the kernel lets it read (`writable`: and write); None when
        they refuse it the calendar altogether."""
        judged = self.root.share_access(entry.share, user, identity, False)
        if judged == kivo_share_access.REFUSED:
            return None
        return writable and self.root.share_access(entry.share, user, identity,
                                                   True) != kivo_share_access.REFUSED

    def _build_view(self, user: str, kind: Kind) -> Dict[str, Calendar]:
        identity = self.identity(user)
        if identity is None:
            return {}
        entries = self.root.entries(kind)
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
                listed = self._share_lists(entry, user, identity, writable)
                if listed is None:
                    continue
                writable = listed
                seen.add(key)
                found.append((entry, key, writable))
        names = self._ids[kind].names([key for _, key, _ in found])
        return {name: Calendar(name, entry.name, entry.folder, key[0], key[1], writable, kind)
                for name, (entry, key, writable) in zip(names, found)}
