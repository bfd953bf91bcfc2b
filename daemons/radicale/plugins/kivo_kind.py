"""The two kinds of collection the CalDAV daemon serves: calendars at the
door's /caldav/ and address books at its /carddav/.

Both are registered folders, judged, named and served by the same code;
what differs is here: the registry that lists them and the member naming
one, the daemon's map of folder identities to URL names, the items' file
names and type, and the properties a client may keep on one. The WebDAV
daemon's proxy names the prefix a request came in by (X-Script-Name) and
hands /carddav/ on below the daemon's own /carddav/ (its own worker, so
that the answers' Location fields are mapped back to the right prefix),
/caldav/ at the daemon's root; kivo_server strips the address books'
prefix before Radicale sees the path.

Owns nothing. Any thread.
"""

from typing import Dict, NamedTuple, Optional, Tuple

import kivo_paths

_CALDAV = "urn:ietf:params:xml:ns:caldav"
_CARDDAV = "urn:ietf:params:xml:ns:carddav"
_APPLE = "http://apple.com/ns/ical/"


class Kind(NamedTuple):
    prefix: str         # the door's URL prefix, and the daemon's for address books
    registry: str       # the registry (a system path, kivo_paths)
    member: str         # the registry member that names a collection
    ids: Optional[str]  # the map of folder identities to URL names; None: the daemon's state
    id_prefix: str      # how a URL name begins
    tag: str            # Radicale's collection tag
    suffix: str         # an item's file name ends so
    props_file: str     # the client's kept properties, in the folder
    # What a client may set on a collection: Radicale's name -> XML name.
    kept: Dict[str, str]
    # Whether an item is served as its file holds it, byte for byte, rather
    # than as Radicale writes it again.
    verbatim: bool

    def __hash__(self) -> int:  # a key of views and maps; its dict is no key
        return hash(self.prefix)


CALENDARS = Kind(
    "/caldav", kivo_paths.CALENDAR_INFO, "calendarname", None, "cal-", "VCALENDAR", ".ics",
    ".DAV/caldav.json", {
        "ICAL:calendar-color": "{%s}calendar-color" % _APPLE,
        "ICAL:calendar-order": "{%s}calendar-order" % _APPLE,
        "C:calendar-description": "{%s}calendar-description" % _CALDAV,
        "C:calendar-timezone": "{%s}calendar-timezone" % _CALDAV,
    }, False)

ADDRESS_BOOKS = Kind(
    "/carddav", kivo_paths.ADDRESSBOOK_INFO, "addressbookname", kivo_paths.CARDDAV_IDS, "card-",
    "VADDRESSBOOK", ".vcf", ".DAV/carddav.json", {
        "CR:addressbook-description": "{%s}addressbook-description" % _CARDDAV,
    }, True)

KINDS = (CALENDARS, ADDRESS_BOOKS)


def of_request(script_name: str, path: str) -> Tuple[Kind, str]:
    """The kind of a request to the daemon by the prefix the door names
    (X-Script-Name, which the door alone sets), and the request's path
    below the kind's own prefix (calendars have none)."""
    if script_name.rstrip("/") != ADDRESS_BOOKS.prefix:
        return CALENDARS, path
    prefix = ADDRESS_BOOKS.prefix
    if path == prefix or path.startswith(prefix + "/"):
        path = path[len(prefix):] or "/"
    return ADDRESS_BOOKS, path
