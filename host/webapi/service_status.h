// What the platform runs under the root, as `kivo-webapi services` prints it
// and the page shows it (GET /webapi/services): the WebDAV daemon and its two
// variants, the DNS-SD announcements, avahi, the CalDAV daemon, and the name
// the CalDAV daemon gave each calendar and address book in its URLs.
//
// Reads services.json, kivoinfo.conf, the daemons' pid files, the share
// table and the CalDAV daemon's two ids.json, each through its owner's
// reader, with the process's identity (root for the daemons' files); changes
// nothing itself. The calendars and address books are the modules': their
// lists (the rows marked kAPIListsCalendars and kAPIListsAddressBooks),
// called for the page's account like any other call of them. ServiceRows is callable from any
// thread; ServiceStatusJson only where module calls run (one at a time).

#ifndef KIVO_HOST_SERVICE_STATUS_H_
#define KIVO_HOST_SERVICE_STATUS_H_

#include <json/json.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "host/hosting/module_table.h"

namespace host {

struct ServiceRow {
  std::string service;
  int run = -1;          // its run setting: 1 enabled, 2 disabled, -1 none recorded;
                         // for caldav the switch, 1 on or 0 off
  bool running = false;  // a process serves it now
  pid_t pid = 0;         // 0 unless a process of its own is known
  std::string ports;     // "-" when none applies
};

// One row per service, in the order `services` prints them. A variant
// counts as running only while the WebDAV daemon serves it; an announcement
// only while its file is written for a served variant and the root's
// avahi-daemon runs to read it.
std::vector<ServiceRow> ServiceRows();

// For the page:
//   {"webdav": {"running": bool,
//               "http":  {"enabled": bool, "running": bool, "port": int},
//               "https": {"enabled": bool, "running": bool, "port": int}},
//    "caldav": {"enabled": bool, "running": bool},
//    "carddav": {"enabled": bool, "running": bool},
//    "calendars": {"<calendar id>": "<name in the calendar's URL>", ...},
//    "closed": ["<calendar id>", ...],
//    "addressbooks": {"<address book id>": "<name in its URL>", ...},
//    "addressbooks_closed": ["<address book id>", ...]}
// CardDAV runs while the CalDAV daemon does and its own switch is on.
// The calendars are those `module`'s list answers `account` (with the
// standing `is_admin` gives it; none when the account may not call it). A
// calendar is in "calendars" once the CalDAV daemon has named it (it does
// when a client first lists an account that holds it) and when that account
// may open it: its folder is one the CalDAV daemon lists for the account
// (host/accounts/accounts.h MayOpenFolder), so that the page never offers an address
// that answers 404 to the one who reads it; "closed" lists the calendars the
// account may not open. The address books likewise, by their own list and
// the daemon's names for them.
Json::Value ServiceStatusJson(const ModuleTable& module, const std::string& account, bool is_admin);

// The module's calendar list as `account` gets it: the items of its answer,
// null when there is no such row, the account may not call it or it fails.
// Only where module calls run.
Json::Value ListedCalendars(const ModuleTable& module, const std::string& account, bool is_admin);

// The folder a listed calendar's entry names: its share's directory, "/",
// the destination's part after its first "/" (none when the destination is
// as long as the share's name), "/", the calendarname. False when a member
// is not a string or the share is unknown.
bool ListedCalendarFolder(const Json::Value& item, std::string* folder);

// The same for the address books: the list row marked
// kAPIListsAddressBooks, and a listed item's folder (its addressbookname).
Json::Value ListedAddressBooks(const ModuleTable& module, const std::string& account,
                               bool is_admin);
bool ListedAddressBookFolder(const Json::Value& item, std::string* folder);

}  // namespace host

#endif  // KIVO_HOST_SERVICE_STATUS_H_
