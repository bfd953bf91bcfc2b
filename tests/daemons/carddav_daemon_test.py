#!/usr/bin/python3
"""Address books served by the CalDAV daemon behind the WebDAV daemon's /carddav/, with real
clients on loopback (a phone's discovery, vdirsyncer, khard), in one root: alice, bob and
carol (alice and carol in "team"). The address-book registry, its folders and the "runCardDav"
switch are written as the web API writes them. The helpers are the CalDAV suite's.

  carddav_daemon_test.py --ctl PATH --webapi PATH [--root-prefix /tmp/NAME-] [unittest options]
"""

import glob
import json
import os
import pathlib
import re
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import caldav_daemon_test as c  # noqa: E402  (its helpers act on its globals, set below)
from caldav_daemon_test import path, request, run, status, write_file  # noqa: E402

CONTACTS = int(os.environ.get("KIVO_CARDDAV_CONTACTS", "250"))
VCARD = {"Content-Type": "text/vcard; charset=utf-8"}
NS = {"D": "DAV:", "CR": "urn:ietf:params:xml:ns:carddav"}
# Each account's address books by registry name, and the folder each lies in.
BOOKS = [("Contacts", "homes/alice", "homes", "volume1/homes/alice/Contacts", "alice", 0o700),
         ("Private", "homes/bob", "homes", "volume1/homes/bob/Private", "bob", 0o700),
         ("Team", "public", "public", "volume1/public/Team", "root", 0o2770)]


def vcard(uid, name, version="3.0"):
    # Written as clients write them, folded and with parameters vobject would write otherwise.
    return ("BEGIN:VCARD\r\nVERSION:%s\r\nUID:%s\r\nFN:%s\r\nN:%s;;;;\r\n"
            "EMAIL;TYPE=work:%s@example.org\r\nNOTE:a note long enough to be folded by a writer "
            "that\r\n  folds at seventy-five octets, kept as sent\r\nEND:VCARD\r\n"
            % (version, uid, name, name, uid))


def switches(caldav, carddav):
    """Writes both switches as the web API does and restarts the daemons as its switch does."""
    conf = path("etc/kivoinfo.conf")
    lines = [line for line in c.read_file("etc/kivoinfo.conf").splitlines()
             if not re.match(r"run(CalDav|CardDav)=", line)]
    lines += ['runCalDav="%s"' % ("yes" if caldav else "no"),
              'runCardDav="%s"' % ("yes" if carddav else "no")]
    write_file(conf, "\n".join(lines) + "\n")
    run(c.WEBAPI, "services", "--stop-all")
    run(c.WEBAPI, "services", "--start", env=c.DAEMONS)


def multistatus(method, where, user, body, depth="0"):
    answer, data = request(method, where, user=user, headers={"Depth": depth}, body=body)
    assert answer == 207, (method, where, user, answer, data)
    return ET.fromstring(data)


def hrefs(tree):
    return sorted(r.findtext("D:href", namespaces=NS) for r in tree.findall("D:response", NS))


def prop_body(*props):
    return ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:" '
            'xmlns:CR="urn:ietf:params:xml:ns:carddav"><D:prop>%s</D:prop></D:propfind>'
            % "".join("<%s/>" % p for p in props))


def books(user):
    """The address books the user's home lists: display name -> href."""
    tree = multistatus("PROPFIND", "/carddav/%s/" % user, user,
                       prop_body("D:resourcetype", "D:displayname"), "1")
    found = {}
    for response in tree.findall("D:response", NS):
        if response.find(".//D:resourcetype/CR:addressbook", NS) is not None:
            found[response.findtext(".//D:displayname", namespaces=NS)] = \
                response.findtext("D:href", namespaces=NS)
    return found


def account(user, share="homes"):
    """The uid and the group of `user`; the team's group in the share "public"."""
    fields = next(line.split(":") for line in c.read_file("etc/passwd").splitlines()
                  if line.split(":")[0] == user)
    return int(fields[2]), c.TEAM_GID if share == "public" else int(fields[3])


def setUpModule():
    c.make_root("card-")
    registry = []
    for name, destination, share, folder, owner, mode in BOOKS:
        os.makedirs(path(folder + "/.DAV"))
        for where in (folder, folder + "/.DAV"):
            os.chown(path(where), *account(owner, share))
            os.chmod(path(where), mode)
        registry.append({"addressbookname": name, "destination": destination, "share": share})
    for home in ("alice", "bob"):
        os.chmod(path("volume1/homes/" + home), 0o700)
    write_file(path("usr/kivo/etc/addressbook.info"), json.dumps(registry))
    c.PORT = c.free_port()
    c.webapi_call("set", {"enable_http": True, "http_port_num": c.PORT, "enable_https": False},
                  api=c.WEBDAV_API, env=c.DAEMONS)
    switches(caldav=False, carddav=True)


class CardDAVTest(unittest.TestCase):

    def test_a_phone_discovers_and_syncs_its_address_books(self):
        # As a phone's sync app starts (DAVx5's documented discovery): the well-known address,
        # the principal, its address-book home, the home's collections.
        answer, location = request("PROPFIND", "/.well-known/carddav", user="alice",
                                   headers={"Depth": "0"}, header="Location")
        self.assertEqual((301, "http://127.0.0.1:%d/carddav/" % c.PORT), (answer, location))
        tree = multistatus("PROPFIND", "/carddav/", "alice", prop_body("D:current-user-principal"))
        principal = tree.findtext(".//D:current-user-principal/D:href", namespaces=NS)
        self.assertEqual("/carddav/alice/", principal)
        tree = multistatus("PROPFIND", principal, "alice", prop_body("CR:addressbook-home-set"))
        self.assertEqual("/carddav/alice/",
                         tree.findtext(".//CR:addressbook-home-set/D:href", namespaces=NS))
        listed = books("alice")
        self.assertEqual({"Contacts", "Team"}, set(listed))
        self.assertEqual({"Private"}, set(books("bob")))
        self.assertEqual({"Team"}, set(books("carol")))
        contacts = listed["Contacts"]

        # vCards 3.0 and 4.0 are stored and read back as sent.
        cards = {"v3.vcf": vcard("v3", "Three"), "v4.vcf": vcard("v4", "Four", "4.0")}
        for name, card in cards.items():
            self.assertEqual(201, status("PUT", contacts + name, user="alice", headers=VCARD,
                                         body=card))
            with open(path("volume1/homes/alice/Contacts/" + name), newline="") as f:
                self.assertEqual(card, f.read())
            self.assertEqual((200, card.encode()), request("GET", contacts + name, user="alice"))

        # sync-collection: everything at first, then only what changed since the token.
        def sync(token=""):
            tree = multistatus("REPORT", contacts, "alice",
                               '<?xml version="1.0"?><D:sync-collection xmlns:D="DAV:">'
                               '<D:sync-token>%s</D:sync-token><D:sync-level>1</D:sync-level>'
                               '<D:prop><D:getetag/></D:prop></D:sync-collection>' % token)
            return tree.findtext("D:sync-token", namespaces=NS), hrefs(tree)
        token, everything = sync()
        self.assertEqual([contacts + "v3.vcf", contacts + "v4.vcf"], everything)
        self.assertEqual(201, status("PUT", contacts + "v3.vcf", user="alice", headers=VCARD,
                                     body=vcard("v3", "Three Again")))
        self.assertEqual([contacts + "v3.vcf"], sync(token)[1])

        # addressbook-multiget and addressbook-query answer the cards themselves.
        multiget = ('<?xml version="1.0"?><CR:addressbook-multiget xmlns:D="DAV:" '
                    'xmlns:CR="urn:ietf:params:xml:ns:carddav"><D:prop><D:getetag/>'
                    '<CR:address-data/></D:prop><D:href>%sv4.vcf</D:href>'
                    '</CR:addressbook-multiget>' % contacts)
        self.assertEqual(cards["v4.vcf"].replace("\r\n", "\n"), multistatus(
            "REPORT", contacts, "alice", multiget, "1").findtext(
                ".//CR:address-data", namespaces=NS).replace("\r\n", "\n"))
        query = ('<?xml version="1.0"?><CR:addressbook-query xmlns:D="DAV:" '
                 'xmlns:CR="urn:ietf:params:xml:ns:carddav"><D:prop><D:getetag/></D:prop>'
                 '<CR:filter><CR:prop-filter name="FN"><CR:text-match collation="i;unicode-casemap"'
                 ' match-type="contains">again</CR:text-match></CR:prop-filter></CR:filter>'
                 '</CR:addressbook-query>')
        self.assertEqual([contacts + "v3.vcf"],
                         hrefs(multistatus("REPORT", contacts, "alice", query, "1")))

    def test_no_account_reaches_anothers_address_book(self):
        alice = books("alice")["Contacts"]
        bob = books("bob")["Private"]
        self.assertEqual(201, status("PUT", bob + "secret.vcf", user="bob", headers=VCARD,
                                     body=vcard("secret", "Secret")))
        before = sorted(os.listdir(path("volume1/homes/bob/Private")))
        # Each other's book under their own home and under the other's, and the book's item.
        for user, theirs in (("alice", bob), ("bob", alice)):
            name = theirs.strip("/").split("/")[-1]
            for where in (theirs, "/carddav/%s/%s/" % (user, name), theirs + "secret.vcf",
                          "/carddav/%s/%s/secret.vcf" % (user, name)):
                for method in ("PROPFIND", "REPORT", "GET", "HEAD", "PUT", "DELETE", "PROPPATCH",
                               "MKCOL", "MOVE", "COPY", "OPTIONS"):
                    with self.subTest(user=user, where=where, method=method):
                        answer, data = request(
                            method, where, user=user, body=vcard("evil", "Evil"),
                            headers=dict(VCARD, Depth="1", Destination="http://127.0.0.1:%d"
                                         "/carddav/%s/%s/stolen.vcf" % (c.PORT, user, name)))
                        self.assertIn(answer, (403, 404), data)
                        self.assertNotIn(b"Secret", data)
        self.assertEqual(before, sorted(os.listdir(path("volume1/homes/bob/Private"))))

    def test_a_file_manager_never_moves_or_deletes_an_address_books_folder(self):
        # Over the WebDAV daemon's shares the folder moves and goes through the web API alone.
        destination = {"Destination": "http://127.0.0.1:%d/public/Moved" % c.PORT}
        for method, where, headers in (("MOVE", "/public/Team", destination),
                                       ("DELETE", "/public/Team", {}),
                                       ("MOVE", "/homes/alice/Contacts", destination),
                                       ("DELETE", "/homes/alice", {})):
            with self.subTest(method=method, where=where):
                self.assertEqual(403, status(method, where, user="alice", headers=headers))
        self.assertTrue(os.path.isdir(path("volume1/public/Team")))
        self.assertTrue(os.path.isdir(path("volume1/homes/alice/Contacts")))

    def test_vdirsyncer_both_ways_twice_with_a_conflict_and_khard_reads_it(self):
        team = books("carol")["Team"]
        name = team.strip("/").split("/")[-1]
        home = path(".vdirsyncer-carol")
        local = os.path.join(home, "local")
        os.makedirs(os.path.join(local, name))
        # Half the contacts are carol's phone's, half are on the server already.
        half = CONTACTS // 2
        folder = path("volume1/public/Team")
        for i in range(CONTACTS):
            card = vcard("c%04d" % i, "Person %04d" % i, ("3.0", "4.0")[i % 2])
            where = os.path.join(local, name) if i < half else folder
            write_file(os.path.join(where, "c%04d.vcf" % i), card)
            if i >= half:
                os.chown(os.path.join(folder, "c%04d.vcf" % i), *account("carol", "public"))

        def vdirsyncer(*args):  # the phone's side wins a conflict
            return c.vdirsyncer("carol", *args, answers="y\n" * 5, kind="carddav")

        def cards(where):
            # By UID, line ends as read: a REPORT's XML carries a CR LF as a LF (the server's
            # files keep them as sent, test_a_phone_discovers_and_syncs_its_address_books).
            texts = [pathlib.Path(f).read_text() for f in glob.glob(os.path.join(where, "*.vcf"))]
            return {re.search(r"UID:(\S+)", text).group(1): text for text in texts}

        vdirsyncer("discover")
        vdirsyncer("sync")
        self.assertEqual(CONTACTS, len(cards(folder)))
        self.assertEqual(cards(folder), cards(os.path.join(local, name)))
        # Both sides change one contact: the phone's wins, as configured; then nothing moves.
        write_file(os.path.join(local, name, "c0001.vcf"), vcard("c0001", "Phone Wins"))
        self.assertEqual(201, status("PUT", team + "c0001.vcf", user="carol", headers=VCARD,
                                     body=vcard("c0001", "Server Loses")))
        vdirsyncer("sync")
        self.assertEqual(vcard("c0001", "Phone Wins").replace("\r\n", "\n"),
                         cards(folder)["c0001"])
        self.assertEqual(cards(folder), cards(os.path.join(local, name)))
        self.assertNotIn("Copying", vdirsyncer("sync"))

        # khard reads the synced folder.
        write_file(os.path.join(home, "khard.conf"),
                   "[addressbooks]\n[[team]]\npath = %s/%s/\n[general]\ndefault_action = list\n"
                   % (local, name))
        done = subprocess.run(["khard", "-c", os.path.join(home, "khard.conf"), "list",
                               "--parsable"], capture_output=True, text=True, timeout=60,
                              env=dict(os.environ, HOME=home))
        self.assertEqual(0, done.returncode, done.stderr)
        self.assertEqual(CONTACTS, len(done.stdout.splitlines()))
        self.assertIn("Phone Wins", done.stdout)

    def test_zz_the_daemon_runs_while_either_switch_is_on(self):
        # (Last: it switches.) CardDAV off answers 404 at both of its addresses; CalDAV alone
        # keeps the daemon; both off stop it.
        for caldav, carddav, running in ((True, False, True), (False, False, False),
                                         (False, True, True)):
            with self.subTest(caldav=caldav, carddav=carddav):
                switches(caldav, carddav)
                self.assertEqual(running, c.daemon_status()[0])
                self.assertEqual(207 if carddav else 404,
                                 status("PROPFIND", "/carddav/alice/", user="alice",
                                        headers={"Depth": "0"}))
                self.assertEqual(301 if carddav else 404,
                                 status("GET", "/.well-known/carddav", user="alice"))
                self.assertEqual(207 if caldav else 404,
                                 status("PROPFIND", "/caldav/alice/", user="alice",
                                        headers={"Depth": "0"}))


if __name__ == "__main__":
    c.main()
