#!/usr/bin/python3
"""The CalDAV daemon's plug-ins, loaded as the daemon loads them, without a daemon: logins,
each user's calendars and rights, discovery, against a temporary root of plain files. As root.
"""

import json
import mmap
import os
import shutil
import signal
import socket
import stat
import sys
import tempfile
import unittest
import urllib.parse
from unittest import mock
import warnings
import xml.etree.ElementTree as ET

from radicale import auth, config, pathutils, rights, storage, xmlutils

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "daemons", "radicale", "plugins"))
# What the build makes beside the plug-ins (kivo_paths.py, from include/kivo/kivo_paths.h).
sys.path.append(os.environ.get("KIVO_PLUGINS_BUILT") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build-test", "radicale"))

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt

ROOT = ""
AUTH = RIGHTS = STORAGE = None
TOKEN = "5e" * 32  # the door's, in var/lib/kivo/caldav/door-token
ACCOUNTS = {"root": 0, "guest": 1023, "admin": 1024, "alice": 1025, "bob": 1026, "carol": 1027,
            "dave": 1028}
TEAM = 2000  # alice and carol
# Each user's principal: title -> rights on its items (homes closed but dave's; Team the
# group's; Notice and Open their owners'; Everyone all's).
VIEWS = {
    "alice": {"Mine": "rw", "Team": "rw", "Notice": "r", "Everyone": "rw", "Open": "r",
              "Réunion %2F": "rw"},
    "bob": {"Bobs": "rw", "Notice": "r", "Everyone": "rw", "Open": "r", "Réunion %2F": "rw"},
    "carol": {"Team": "rw", "Notice": "r", "Everyone": "rw", "Open": "r", "Réunion %2F": "rw"},
    "dave": {"Open": "rw", "Notice": "r", "Everyone": "rw", "Réunion %2F": "rw"},
    "admin": {"Admins": "rw", "Notice": "rw", "Everyone": "rw", "Open": "r",
              "Réunion %2F": "rw"},
    "root": {},     # the daemon never acts as uid 0
    "mallory": {},  # no such account
}


def path(relative):
    return os.path.join(ROOT, relative)


def write(relative, text, mode=0o644):
    with open(path(relative), "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path(relative), mode)


def folder(relative, owner, mode, group=100):
    os.makedirs(path(relative), exist_ok=True)
    os.chown(path(relative), ACCOUNTS[owner], group)
    os.chmod(path(relative), mode)


def write_shadow(**passwords):
    """Each account's password NAME-pw but those given; guest has none."""
    write("etc/shadow", "".join("%s:%s:0:0:99999:7:::\n" % (
        name, "!" if name == "guest" else crypt.crypt(passwords.get(name, name + "-pw")))
        for name in ACCOUNTS), 0o600)


def vectors(name):
    """A table every reader of a platform file runs (tests/vectors/)."""
    with open(os.path.join(os.path.dirname(__file__), "..", "vectors", name), "rb") as f:
        return json.load(f)


def ics(uid, component="VEVENT", summary=""):
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//t//EN\r\nBEGIN:%s\r\nUID:%s\r\n"
            "DTSTAMP:20310101T000000Z\r\nDTSTART:20310101T100000Z\r\n%sEND:%s\r\n"
            "END:VCALENDAR\r\n" % (component, uid, summary and "SUMMARY:%s\r\n" % summary,
                                     component))


def entry(name, destination, share="public"):
    return json.dumps({"calendarname": name, "destination": destination, "share": share},
                      ensure_ascii=False)


def set_registry(entries):
    # As hand edits may leave it: comments and all.
    write("usr/kivo/etc/calendar.info", "// registry\n[\n" + ",\n".join(entries) + "\n]\n")


REGISTRY = [entry(n, "homes/" + u, "homes") for n, u in (("Mine", "alice"), ("Bobs", "bob"),
                                                            ("Admins", "admin"), ("Open", "dave"))]
REGISTRY += [entry(n, "public") for n in ("Team", "Notice", "Everyone", "Réunion %2F")] + [
    entry("Gone", "public"),                          # its folder was removed
    entry("Team", "public/"),                         # the same folder again
    entry("Mine", "homes/bob/../alice", "homes"),     # alice's, through bob's home
    entry("Link", "homes/bob", "homes"),              # a link to alice's calendar
    entry("Lost", "nowhere", "nosuch"),               # an unknown share
    '{"calendarname": 7, "destination": "public", "share": "public"}',
]


def setUpModule():
    global ROOT, AUTH, RIGHTS, STORAGE
    if os.geteuid() != 0:
        raise unittest.SkipTest("the plug-ins switch file-system identities: run as root")
    ROOT = tempfile.mkdtemp(prefix="kivo-caldav-plugins-")
    unittest.addModuleCleanup(shutil.rmtree, ROOT, ignore_errors=True)
    os.chmod(ROOT, 0o755)
    for d in ("etc/kivo", "usr/kivo/etc", "var/lib/kivo/caldav", "volume1/homes"):
        os.makedirs(path(d))
    write("etc/passwd", "".join("%s:x:%d:%d:%s:%s:/bin/sh\n" % (
        name, uid, 0 if uid == 0 else 100, name, path("volume1/homes/" + name))
        for name, uid in ACCOUNTS.items()))
    write("etc/group", "root:x:0:\nusers:x:100:\nadministrators:x:101:admin\n"
                       "team:x:%d:alice,carol\n" % TEAM)
    write_shadow()
    write("var/lib/kivo/caldav/door-token", TOKEN + "\n", 0o640)
    write("etc/kivo/shares.json", '{"homes": "%s", "public": "%s"}' % (
        path("volume1/homes"), path("volume1/public")))
    # Homes closed but dave's; calendars made as the web API makes them (0777, their user's).
    for relative, *owner_mode_group in (
            [("public", "root", 0o1777)] +
            [("homes/" + u, u, 0o755 if u == "dave" else 0o700)
             for u in ("admin", "alice", "bob", "carol", "dave")] +
            [("homes/alice/Mine", "alice", 0o777), ("homes/bob/Bobs", "bob", 0o777),
             ("homes/admin/Admins", "admin", 0o777), ("homes/dave/Open", "dave", 0o755),
             ("public/Team", "root", 0o2770, TEAM), ("public/Notice", "admin", 0o755),
             ("public/Everyone", "admin", 0o777), ("public/Réunion %2F", "bob", 0o777)]):
        folder("volume1/" + relative, *owner_mode_group)
    os.symlink(path("volume1/homes/alice/Mine"), path("volume1/homes/bob/Link"))
    set_registry(REGISTRY)
    write("radicale.conf", "[auth]\ntype = kivo_auth\nkivo_door_token = %s\n"
                           "[rights]\ntype = kivo_rights\n"
                           "[storage]\ntype = kivo_storage\nfilesystem_folder = %s\n"
                           "kivo_root = %s\nkivo_state = %s\n" % (
                               path("var/lib/kivo/caldav/door-token"),
                               path("var/lib/kivo/caldav/collections"), ROOT,
                               path("var/lib/kivo/caldav")))
    configuration = config.load([(path("radicale.conf"), False)])
    AUTH = auth.load(configuration)
    RIGHTS = rights.load(configuration)
    STORAGE = storage.load(configuration)


def begin(method, raw_path):
    """Starts a request as Radicale does; answers the path the plug-ins get."""
    decoded = urllib.parse.unquote(raw_path)
    AUTH.get_external_login({"REQUEST_METHOD": method, "PATH_INFO": decoded})
    return pathutils.sanitize_path(decoded)


def door_login(logins, field, authorization=None):
    """The account `logins` (an Auth) takes from a request whose X-Kivo-Login is `field`, as
    Radicale asks it: its external login, then login() with what that gave or with what
    Radicale read of the Authorization field itself (`authorization`)."""
    environ = {"REQUEST_METHOD": "PROPFIND", "PATH_INFO": "/"}
    if field is not None:
        environ["HTTP_X_KIVO_LOGIN"] = field
    external = logins.get_external_login(environ)
    login, password = external or (authorization or ("", ""))
    return logins.login(login, password) if login else ""


def discover(user, raw_path, depth="1"):
    """The paths discovery answers for `user`, with the calendars' titles."""
    sanitized = begin("PROPFIND", raw_path)
    with STORAGE.acquire_lock("r", user):
        return {c.path: c.get_meta("D:displayname")
                for c in STORAGE.discover(sanitized, depth)
                if isinstance(c, storage.BaseCollection)}


def authorization(user, method, raw_path, asked=None):
    """The rights on `asked` (by default the path) during `user`'s `method` of `raw_path`."""
    sanitized = begin(method, raw_path)
    return RIGHTS.authorization(user, sanitized if asked is None else asked)


def rights_of(user, url):  # a PUT of an item: Radicale asks about its calendar
    return authorization(user, "PUT", url + "x.ics", asked=url)


def urls(user):
    """The user's calendars: title -> URL path; each title once."""
    found = [(title, "/%s/" % p) for p, title in discover(user, "/%s/" % user).items() if title]
    assert len(found) == len(dict(found)), found
    return dict(found)


class Stalled(BaseException):
    """Raised by a test's alarm: no `except Exception` of the plug-ins swallows it."""


class PluginsTest(unittest.TestCase):

    def assertViews(self, views):
        """Each user's principal lists the calendars of `views` with their rights."""
        for user, expected in views.items():
            with self.subTest(user=user):
                self.assertEqual(expected, {t: rights_of(user, u) for t, u in urls(user).items()})

    def test_each_user_sees_and_writes_what_the_kernel_allows(self):
        self.assertViews(VIEWS)
        # One calendar keeps one URL, whoever asks and however it is reached.
        self.assertEqual(urls("alice")["Everyone"], urls("bob")["Everyone"].replace(
            "/bob/", "/alice/", 1))

    def test_requests_outside_the_own_view_get_nothing(self):
        mine = urls("alice")["Mine"].split("/")[2]
        bobs = urls("bob")["Bobs"].split("/")[2]
        # user, method, path: rights on the path, and what discovery (Depth 1) answers there.
        cases = [
            ("alice", "PROPFIND", "/", "R", {"": None, "alice": None}),
            ("", "PROPFIND", "/", "", None),
            ("alice", "PROPFIND", "/alice/", "R", None),
            ("alice", "PROPFIND", "/bob/", "", {}),
            ("", "PROPFIND", "/alice/", "", {}),
            ("alice", "PROPFIND", "/alice/%s/" % mine, "r", {"alice/" + mine: "Mine"}),
            ("alice", "PROPPATCH", "/alice/%s/" % mine, "rw", None),
            # A calendar as the request's target is never written ...
            ("alice", "DELETE", "/alice/%s/" % mine, "r", None),
            ("alice", "PUT", "/alice/%s/" % mine, "r", None),
            ("alice", "MKCALENDAR", "/alice/cal-0000000000/", "", {}),
            # ... an item has no rights of its own.
            ("alice", "GET", "/alice/%s/x.ics" % mine, "", {}),
            # Another's calendar under the own principal or under theirs.
            ("bob", "PROPFIND", "/bob/%s/" % mine, "", {}),
            ("bob", "PUT", "/alice/%s/x.ics" % mine, "", {}),
            ("alice", "PROPFIND", "/alice/%s/" % bobs, "", {}),
            # Registry names, unknown names, climbing and encoded climbing.
            ("alice", "PROPFIND", "/alice/Mine/", "", {}),
            ("alice", "PROPFIND", "/alice/Link/", "", {}),
            ("alice", "PROPFIND", "/alice/../bob/%s/" % bobs, "", {}),
            ("alice", "PROPFIND", "/alice/%%2e%%2e/bob/%s/" % bobs, "", {}),
            ("alice", "PROPFIND", "/alice/%s/..%%2F..%%2Fbob/" % mine, "", {}),
            ("alice", "PROPFIND", "/alice/%s%%2F..%%2F%s/" % (mine, bobs), "", {}),
            ("alice", "PROPFIND", "/alice/%s/a/b/" % mine, "", {}),
        ]
        for user, method, raw, expected_rights, expected_found in cases:
            with self.subTest(user=user, method=method, path=raw):
                self.assertEqual(expected_rights, authorization(user, method, raw))
                if expected_found is not None:
                    self.assertEqual(expected_found, discover(user, raw))

    def test_a_calendar_gone_from_the_registry_is_gone_at_once_and_back_at_its_url(self):
        url = urls("bob")["Everyone"]

        def gone():
            return ({}, "") == (discover("bob", url), rights_of("bob", url))

        set_registry([e for e in REGISTRY if '"Everyone"' not in e])
        self.addCleanup(set_registry, REGISTRY)
        self.assertTrue(gone())
        set_registry(REGISTRY)
        self.assertEqual(url, urls("bob")["Everyone"])
        # A share table that breaks after it was read is none, as the platform reads it: no
        # calendar in any share, never the table read before.
        with open(path("etc/kivo/shares.json"), encoding="utf-8") as f:
            shares = f.read()

        def put_back():
            if os.path.isdir(path("etc/kivo/shares.json")):
                os.rmdir(path("etc/kivo/shares.json"))
            write("etc/kivo/shares.json", shares)

        self.addCleanup(put_back)
        write("etc/kivo/shares.json", shares[:-1])
        self.assertTrue(gone(), "a share table that does not parse")
        os.remove(path("etc/kivo/shares.json"))
        os.mkdir(path("etc/kivo/shares.json"))
        self.assertTrue(gone(), "a share table that cannot be read")
        put_back()
        self.assertEqual(url, urls("bob")["Everyone"])

    def test_only_the_doors_login_with_its_token_logs_in(self):
        # The door verified the password; the daemon takes its account with the token alone
        # (which accounts the services serve: test_accounts_follow_the_table_every_reader_runs).
        other = "ab" * 32
        cases = [
            ("the door's login", TOKEN + " alice", None, "alice"),
            ("another token", other + " alice", None, ""),
            ("the token's prefix", TOKEN[:32] + " alice", None, ""),
            ("the token in capitals", TOKEN.upper() + " alice", None, ""),
            ("no token", "alice", None, ""),
            ("an empty token", " alice", None, ""),
            ("the token, no account", TOKEN + " ", None, ""),
            ("a second login joined on", TOKEN + " alice," + TOKEN + " bob", None, ""),
            ("an upper-case name", TOKEN + " ALICE", None, ""),
            ("a path in the name", TOKEN + " alice/x", None, ""),
            ("Basic credentials alone", None, ("alice", "alice-pw"), ""),
            ("Basic with the token as password", None, ("alice", TOKEN), ""),
            ("a wrong token, Basic right", other + " alice", ("alice", "alice-pw"), ""),
        ]
        for label, field, authorization, expected in cases:
            with self.subTest(label):
                self.assertEqual(expected, door_login(AUTH, field, authorization))
        # A token made anew while the daemon runs counts at once, the old one no more.
        self.addCleanup(write, "var/lib/kivo/caldav/door-token", TOKEN + "\n", 0o640)
        os.remove(path("var/lib/kivo/caldav/door-token"))
        write("var/lib/kivo/caldav/door-token", other + "\n", 0o640)
        self.assertEqual(("bob", ""), (door_login(AUTH, other + " bob"),
                                       door_login(AUTH, TOKEN + " bob")))
        # Without its file, or with one too short to be a secret, no one logs in.
        os.remove(path("var/lib/kivo/caldav/door-token"))
        self.assertEqual("", door_login(AUTH, other + " bob"))
        write("var/lib/kivo/caldav/door-token", "ab\n", 0o640)
        self.assertEqual("", door_login(AUTH, "ab bob"))
        for token, expected in (("cd" * 16, "bob"), ("cd" * 15 + "c", "")):  # 32 hex digits, 31
            write("var/lib/kivo/caldav/door-token", token + "\n", 0o640)
            self.assertEqual(expected, door_login(AUTH, token + " bob"), token)

    def test_a_body_past_the_servers_limit_is_refused_before_the_login(self):
        import kivo_server
        configuration = config.load([(path("radicale.conf"), False)])
        limit = configuration.get("server", "max_content_length")
        application = kivo_server.Application(configuration)
        for length, expected in ((limit, "403"), (limit + 1, "413")):  # no login: 403
            answered = []
            application({"REQUEST_METHOD": "PUT", "PATH_INFO": "/alice/Mine/x.ics",
                         "CONTENT_LENGTH": str(length)},
                        lambda status, headers: answered.append(status[:3]))
            self.assertEqual([expected], answered, length)

    def test_a_sync_token_answers_the_changes_since_to_its_user_alone(self):
        team = path("volume1/public/Team")
        url = urls("alice")["Team"]

        def put(name, summary):
            # As a client's PUT lands: a new file renamed over the old one.
            write("volume1/public/Team/.tmp", ics(name, summary=summary), 0o660)
            os.chown(path("volume1/public/Team/.tmp"), ACCOUNTS["alice"], TEAM)
            os.rename(path("volume1/public/Team/.tmp"), os.path.join(team, name + ".ics"))

        self.addCleanup(lambda: [os.remove(os.path.join(team, n)) for n in os.listdir(team)
                                 if n.endswith(".ics")])

        def ask(user, question, *args):
            sanitized = begin("REPORT", url.replace("/alice/", "/%s/" % user, 1))
            with STORAGE.acquire_lock("r", user):
                calendar, = STORAGE.discover(sanitized, "0")
                return getattr(calendar, question)(*args)

        def sync(user, token=""):
            new, changed = ask(user, "sync", token)
            return new, sorted(changed)

        for name in ("a", "b", "c"):
            put(name, "first")
        first, everything = sync("alice")
        self.assertEqual(["a.ics", "b.ics", "c.ics"], everything)
        self.assertEqual((first, []), sync("alice", first))
        put("a", "changed")
        put("d", "new")
        os.remove(os.path.join(team, "c.ics"))
        second, changed = sync("alice", first)
        self.assertEqual(["a.ics", "c.ics", "d.ics"], changed)
        self.assertEqual((second, []), sync("alice", second))
        self.assertEqual((second, ["a.ics", "c.ics", "d.ics"]), sync("alice", first))
        # carol sees the same calendar, but was never given alice's states; an unknown or
        # malformed token is refused as Radicale refuses it (403, valid-sync-token).
        unknown = first.rsplit("/", 1)[0] + "/" + "0" * 64
        for user, token in (("carol", first), ("alice", unknown), ("alice", "x")):
            with self.subTest(user=user, token=token):
                self.assertRaises(ValueError, sync, user, token)
        self.assertEqual(["a.ics", "b.ics", "d.ics"], sync("carol")[1])
        # A new item's PUT is refused when its UID is taken (409, no-uid-conflict).
        self.assertEqual([True, False], [ask("alice", "has_uid", uid) for uid in ("d", "c")])
        # A calendar-query for one kind of component answers no item of another kind as
        # matching (Radicale trusts an item given as matching and filters it no further).
        write("volume1/public/Team/t.ics", ics("t", "VTODO", "todo"), 0o660)
        os.chown(os.path.join(team, "t.ics"), ACCOUNTS["alice"], TEAM)

        def matching(component):
            query = ET.Element(xmlutils.make_clark("C:filter"))
            calendar = ET.SubElement(query, xmlutils.make_clark("C:comp-filter"), name="VCALENDAR")
            ET.SubElement(calendar, xmlutils.make_clark("C:comp-filter"), name=component)
            return sorted(item.href for item, matched in ask("alice", "get_filtered", [query])
                          if matched)

        self.assertEqual(["t.ics"], matching("VTODO"))
        self.assertEqual(["a.ics", "b.ics", "d.ics"], matching("VEVENT"))

    def test_a_new_uid_is_judged_without_reading_the_calendar_and_sees_every_change(self):
        # A calendar of many items, some of them bob's alone; every change below is made
        # behind the daemon's back, several within one clock tick and keeping size and
        # modification time, as a WebDAV client or a shell may make them.
        folder = path("volume1/public/Réunion %2F")
        self.addCleanup(lambda: [os.remove(os.path.join(folder, n)) for n in os.listdir(folder)
                                 if n.endswith(".ics")])

        def put(name, uid, owner="alice", mode=0o644, where=folder):
            write(os.path.join(where, name), ics(uid), mode)
            os.chown(os.path.join(where, name), ACCOUNTS[owner], 100)

        def rewrite_in_place(name, uid):
            # Same inode, same size, same modification time.
            target = os.path.join(folder, name)
            before = os.stat(target)
            with open(target, "r+", encoding="utf-8") as f:
                f.write(ics(uid))
            os.utime(target, ns=(before.st_atime_ns, before.st_mtime_ns))

        for i in range(300):
            put("e%03d.ics" % i, "e%03d" % i)
        put("secret.ics", "secret", "bob", 0o600)
        url = urls("alice")["Réunion %2F"]

        def taken(user, uid):
            sanitized = begin("PUT", url.replace("/alice/", "/%s/" % user, 1) + "new.ics")
            with STORAGE.acquire_lock("w", user):
                calendar, = STORAGE.discover(sanitized.rsplit("/", 1)[0] + "/", "0")
                return calendar.has_uid(uid)

        self.assertEqual((True, False, True), (taken("alice", "e150"), taken("alice", "secret"),
                                               taken("bob", "secret")))
        opened = self.enterContext(mock.patch.object(os, "open", wraps=os.open))
        put("e000.ics", "renamed-000")                 # replaced whole, by name
        rewrite_in_place("e001.ics", "x001")            # one tick, one size, one stamp
        rewrite_in_place("e001.ics", "y001")
        # Written through a shared mapping, no write call: the writer's close tells.
        with open(os.path.join(folder, "e004.ics"), "r+b") as f, mmap.mmap(f.fileno(), 0) as m:
            at = m.find(b"UID:e004")
            m[at:at + 8] = b"UID:m004"
        os.remove(os.path.join(folder, "e002.ics"))
        os.rename(os.path.join(folder, "e003.ics"), os.path.join(folder, "e003.txt"))
        os.chmod(os.path.join(folder, "secret.ics"), 0o644)
        put("outside.ics", "linked-1", where=path("volume1/public"))
        os.link(path("volume1/public/outside.ics"), os.path.join(folder, "linked.ics"))
        self.addCleanup(os.remove, path("volume1/public/outside.ics"))
        cases = [("alice", "renamed-000", True), ("alice", "e000", False),
                 ("alice", "y001", True), ("alice", "x001", False),
                 ("alice", "e001", False), ("alice", "e002", False), ("alice", "e003", False),
                 ("alice", "m004", True), ("alice", "e004", False),
                 ("alice", "e299", True), ("alice", "secret", True), ("alice", "linked-1", True),
                 ("carol", "e150", True), ("dave", "unheard-of", False)]
        for user, uid, expected in cases:
            with self.subTest(user=user, uid=uid):
                self.assertEqual(expected, taken(user, uid))
        # Written through its other name, in place: no change is reported in this folder.
        with open(path("volume1/public/outside.ics"), "r+", encoding="utf-8") as f:
            f.write(ics("linked-2"))
        self.assertEqual((False, True), (taken("alice", "linked-1"), taken("alice", "linked-2")))
        # Items were read again for the users who had asked before, and whole once for
        # carol and dave: never once per question.
        self.assertLess(opened.call_count, 2 * 300 + 60, opened.call_args_list[:5])
        opened.reset_mock()
        for uid in ("e100", "e200", "unheard-of"):
            taken("alice", uid)
        self.assertLess(opened.call_count, 3 * 5, opened.call_args_list)
        # A parse is kept by its file's stamp: the calendar listed again is parsed no more.
        import kivo_calendar
        parses = self.enterContext(
            mock.patch.object(kivo_calendar, "_parse", wraps=kivo_calendar._parse))

        def listed():
            sanitized = begin("PROPFIND", url)
            with STORAGE.acquire_lock("r", "alice"):
                return len(list(STORAGE.discover(sanitized, "1")))

        first = listed()
        parses.reset_mock()
        self.assertEqual((first, 0), (listed(), parses.call_count))

    def test_accounts_follow_the_table_every_reader_runs(self):
        # The WebDAV daemon's reader runs the same table (dav_accounts_test.cc).
        import kivo_service
        table = vectors("accounts.json")
        root = path("accounts")  # a root of its own
        os.makedirs(os.path.join(root, "etc"))
        for name in ("passwd", "group", "shadow"):
            write(os.path.join(root, "etc", name), table[name])
        write(os.path.join(root, "door-token"), TOKEN + "\n", 0o640)
        write(os.path.join(root, "radicale.conf"), "[auth]\ntype = kivo_auth\n"
              "kivo_door_token = %s\n[storage]\ntype = kivo_storage\nkivo_root = %s\n"
              "kivo_state = %s\n" % (os.path.join(root, "door-token"), root, root))
        configuration = config.load([(os.path.join(root, "radicale.conf"), False)])
        logins = auth.load(configuration)
        service = kivo_service.Service.of(configuration)
        for account in table["accounts"]:
            name = account["name"]
            with self.subTest(name, why=account.get("why")):
                self.assertEqual(name if account["served"] else "",
                                 door_login(logins, TOKEN + " " + name))
                if account["served"]:
                    identity = service.identity(name)
                    self.assertEqual((account["uid"], account["gid"], tuple(account["groups"])),
                                     (identity.uid, identity.gid, tuple(sorted(identity.groups))))
        # Beyond every reader's limit an account file is not read (its end sparse NULs).
        import kivo_paths
        served = next(a["name"] for a in table["accounts"] if a["served"])
        os.truncate(os.path.join(root, "etc", "shadow"), kivo_paths.ACCOUNT_FILE_MAX + 1)
        self.assertEqual("", door_login(logins, TOKEN + " " + served))

    def test_items_follow_the_table_the_webdav_check_runs(self):
        # The WebDAV daemon's check of a file put into a calendar's folder runs the same
        # table (tests/daemons/dav_ical_test.cc): what it lets in is served here.
        import logging
        import kivo_calendar
        logging.disable(logging.WARNING)
        self.addCleanup(logging.disable, logging.NOTSET)
        for vector in vectors("ical.json")["cases"]:
            raw = (bytes.fromhex(vector["hex"]) if "hex" in vector
                   else vector["text"].encode("utf-8"))
            with self.subTest(vector["why"]):
                served = kivo_calendar._parse(raw, "alice/cal/x.ics") is not None
                self.assertEqual(vector.get("served", vector["result"] == "item"), served)

    def test_fifos_sockets_devices_and_links_in_a_calendar_are_no_items(self):
        # Anyone may make them in a 0777 calendar folder; an open of the FIFO without
        # O_NONBLOCK would wait for a writer for good (the alarm ends the test then), and a
        # link would serve a file from outside the calendar as one of its items.
        url = urls("bob")["Everyone"]
        folder_path = path("volume1/public/Everyone")
        names = ("pipe.ics", "null.ics", "sock.ics", "link.ics")
        made = [os.path.join(folder_path, n) for n in names]
        os.mkfifo(made[0], 0o666)
        os.mknod(made[1], 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(made[2])
        item = next(v["text"] for v in vectors("ical.json")["cases"] if v["result"] == "item")
        write("volume1/public/outside.ics", item)
        self.addCleanup(os.unlink, path("volume1/public/outside.ics"))
        os.symlink(path("volume1/public/outside.ics"), made[3])
        for name in made:
            self.addCleanup(os.unlink, name)
            os.lchown(name, ACCOUNTS["alice"], 100)

        stalls = []

        def stalled(*_):
            stalls.append(1)  # counted, whatever the plug-ins catch
            raise Stalled("the plug-ins blocked on a FIFO, socket or device")

        signal.signal(signal.SIGALRM, stalled)
        self.addCleanup(signal.signal, signal.SIGALRM, signal.SIG_DFL)
        signal.alarm(20)
        try:
            sanitized = begin("PROPFIND", url)
            with STORAGE.acquire_lock("r", "bob"):
                found = list(STORAGE.discover(sanitized, "1"))
                calendar = found[0]
                hrefs = [getattr(item, "href", None) for item in found[1:]]
                fetched = [item for _, item in calendar.get_multi(names)]
                tag = calendar.etag
        finally:
            signal.alarm(0)
        self.assertEqual([], stalls)
        self.assertEqual([], [h for h in hrefs if h in names])
        self.assertEqual([None] * len(names), fetched)
        self.assertTrue(tag)

    def test_the_group_switch_is_the_kernels_setgroups_on_each_machine(self):
        # A wrong number there is another system call, made as root, on that machine alone:
        # checked against the kernel's own tables where this machine has them.
        import re
        import kivo_identity
        tables = {"x86_64": ("/usr/include/x86_64-linux-gnu/asm/unistd_64.h", "setgroups"),
                  "i686": ("/usr/include/x86_64-linux-gnu/asm/unistd_32.h", "setgroups32"),
                  "aarch64": ("/usr/include/asm-generic/unistd.h", "setgroups")}
        for machine, (header, name) in tables.items():
            with self.subTest(machine):
                if not os.path.exists(header):
                    self.skipTest("no " + header)
                with open(header) as f:
                    number = re.search(r"#define __NR_%s (\d+)" % name, f.read())
                self.assertEqual(int(number.group(1)), kivo_identity._SYS_SETGROUPS[machine])

    def test_share_access_follows_the_table_every_reader_runs(self):
        # The WebDAV daemon runs the same table (dav_share_access_test.cc).
        import kivo_share_access
        for vector in vectors("share_access.json")["cases"]:
            with self.subTest(vector["why"]):
                text = vector["text"]
                table = kivo_share_access.parse(None if text is None else text.encode("utf-8"))
                # The account's groups first, then others sharing their prefixes.
                lines = [["nocolon"], ["one", "field"], ["empty", "x", ""]]
                lines += [[g, "x", str(9 * (1 + i))] for i, g in enumerate(vector["groups"])]
                lines += [["tea", "x", "5000"], ["staff", "x", "7000"], ["team", "x", "7001"]]
                gids = tuple(9 * (1 + i) for i in range(len(vector["groups"])))
                self.assertEqual(vector["expect"], kivo_share_access.judge(
                    table, vector["share"], vector["account"], gids,
                    kivo_share_access.group_ids(lines), vector["access"] == "write"))

    def test_share_lists_leave_readers_read_only_and_hide_the_rest(self):
        # bob reads public, the team group writes it; homes ignore the lists.
        write("etc/kivo/share-access.json", json.dumps({"version": 1, "shares": {
            "public": {"read": ["bob"], "write": ["@team"]}, "homes": {"read": ["bob"]}}}))
        self.addCleanup(os.remove, path("etc/kivo/share-access.json"))
        listed = {
            "alice": {"Mine": "rw", "Team": "rw", "Notice": "r", "Everyone": "rw", "Open": "r",
                      "Réunion %2F": "rw"},
            "bob": {"Bobs": "rw", "Notice": "r", "Everyone": "r", "Open": "r", "Réunion %2F": "r"},
            "dave": {"Open": "rw"},
            "admin": {"Admins": "rw", "Open": "r"},
        }
        self.assertViews(listed)
        everyone = urls("alice")["Everyone"].replace("/alice/", "/dave/", 1)
        self.assertEqual("", authorization("dave", "PROPFIND", everyone))
        # A store anybody could have written refuses every share but the homes, said once a
        # version.
        os.chmod(path("etc/kivo/share-access.json"), 0o666)
        with self.assertLogs("radicale", "ERROR") as logged:
            for _ in range(2):
                self.assertEqual({"Mine", "Open"}, set(urls("alice")))
        self.assertEqual(1, sum("every share but the homes" in line for line in logged.output))

    def test_share_table_follows_the_table_every_reader_runs(self):
        # The C++ reader runs the same table (tests/base/share_table_test.cc).
        import kivo_root
        for vector in vectors("shares.json")["cases"]:
            text = vector.get("text", "")
            if "nest" in vector:
                text = '{"deep": %s%s%s, "public": "/v/p"}' % (
                    "[" * vector["nest"], vector.get("leaf", ""), "]" * vector["nest"])
            with self.subTest(vector["why"]):
                try:
                    shares = kivo_root.share_table(text.encode("utf-8"))
                    read = "not a table" if shares is None else "table"
                except ValueError:
                    read, shares = "unreadable", None
                self.assertEqual(vector["read"], read)
                self.assertEqual(vector["shares"], shares or {})

    def test_calendars_lie_where_the_table_every_reader_runs_says(self):
        # The module and the WebDAV daemon's guard run the same table (calendar_location_test.cc,
        # dav_calendars_test.cc).
        import kivo_root
        table = vectors("calendar_paths.json")
        for number, vector in enumerate(table["cases"]):
            with self.subTest(vector["why"]):
                root = path("paths-%d" % number)  # a root of its own: nothing read is kept
                for made in ("etc/kivo", "usr/kivo/etc"):
                    os.makedirs(os.path.join(root, made))
                shares = {name: os.path.join(root, "v", name) for name in table["shares"]}
                files = {"etc/kivo/shares.json": json.dumps(shares),
                         "etc/passwd": "bob:x:1025:100::/nonexistent:/bin/sh\n" + (
                             "homes:x:1026:100::/:/bin/sh\n" if vector["homes_account"] else ""),
                         "usr/kivo/etc/calendar.info": json.dumps([vector["entry"]])}
                for name, text in files.items():
                    write(os.path.join(root, name), text)
                folders = [e.folder for e in kivo_root.Root(root).calendars()]
                self.assertEqual([os.path.join(root, "v", vector["at"])],
                                 [os.path.normpath(f) for f in folders])

    def test_an_addressbook_query_leaves_out_only_cards_radicale_would_not_match(self):
        # The prefilter may keep cards Radicale then rejects, never drop one it matches, and
        # refuses (None) every form Radicale refuses, so that Radicale still answers those.
        import radicale.item as radicale_item
        from radicale.app.report import test_filter
        import kivo_storage

        def card(*lines, version="3.0"):
            return "".join(line + "\r\n" for line in (
                ["BEGIN:VCARD", "VERSION:" + version, "UID:u"] + list(lines) + ["END:VCARD"]))
        cards = {
            "plain": card("FN:Ana Berg", "N:Berg;Ana;;;",
                          "EMAIL;TYPE=work:ana@Kestrel-Systems.example"),
            "folded across the needle": card("FN:Bo", "N:Bo;;;;", "EMAIL;TYPE=work:bo@kestrel-sys"
                                             "\r\n tems.exa\r\n\tmple", version="4.0"),
            "grouped": card("FN:Cy", "item1.EMAIL:cy@kestrel-systems.example"),
            "upper case, accents": card("FN:ÉLODIE BERG", "EMAIL:E@MAIL.EXAMPLE", version="4.0"),
            "escapes": card("FN:Berg\\, Ana", "NOTE:one\\nkestrel-systems.example \\\\ ana"),
            "only in a note": card("FN:Dee", "NOTE:ask ana@kestrel-systems.example"),
            "no email": card("FN:Ann"),
        }

        def query(props, test="anyof"):
            return ET.fromstring('<CR:filter xmlns:CR="urn:ietf:params:xml:ns:carddav" test="%s">'
                                 '%s</CR:filter>' % (test, props))

        def prop(name, *children):
            return '<CR:prop-filter name="%s">%s</CR:prop-filter>' % (name, "".join(children))

        def match(text, kind="contains", negate="no"):
            return ('<CR:text-match match-type="%s" negate-condition="%s">%s</CR:text-match>'
                    % (kind, negate, text))
        email = query(prop("EMAIL", match("@kestrel-systems.example")))
        filters = {
            "contains": email,
            "equals": query(prop("EMAIL", match("ANA@kestrel-systems.example", "equals"))),
            "starts-with, accents": query(prop("FN", match("élodie", "starts-with"))),
            "ends-with": query(prop("FN", match("berg", "ends-with"))),
            "negated": query(prop("EMAIL", match("kestrel", negate="yes"))),
            "anyof with an undefined property": query(
                prop("FN", match("ana")) + prop("EMAIL", "<CR:is-not-defined/>")),
            "allof": query(prop("FN", match("ana")) + prop("EMAIL", match("kestrel")), "allof"),
            "with a param-filter": query(prop("EMAIL", '<CR:param-filter name="TYPE"/>',
                                              match("kestrel"))),
            "a needle with an escaped character": query(prop("FN", match("berg, ana"))),
            "a structured property": query(prop("N", match("berg"))),
        }
        refused = {"test": query(prop("FN", match("a")), "oneof"),
                   "match-type": query(prop("FN", match("a", "regex"))),
                   "child": query('<CR:comp-filter name="VCARD"/>')}
        for why, filter_ in refused.items():
            with self.subTest(refused=why):
                self.assertIsNone(kivo_storage.card_prefilter([filter_]))
        for why, filter_ in filters.items():
            candidate = kivo_storage.card_prefilter([filter_])
            for name, text in cards.items():
                with self.subTest(filter=why, card=name):
                    try:
                        matched = test_filter("VADDRESSBOOK", radicale_item.Item(
                            collection_path="alice/book", text=text), filter_)
                    except Exception:  # Radicale's failure must stay Radicale's
                        matched = True
                    if matched and candidate is not None:
                        self.assertTrue(candidate(text))
        # Where the needle lies in the email alone, exactly Radicale's cards are parsed.
        candidate = kivo_storage.card_prefilter([email])
        self.assertEqual({"plain", "folded across the needle", "grouped", "only in a note"},
                         {name for name, text in cards.items() if candidate(text)})


if __name__ == "__main__":
    unittest.main()
