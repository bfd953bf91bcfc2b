#include "host/webapi/service_status.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/kivo_conf.h"
#include "base/service_states.h"
#include "daemons/avahi_files.h"
#include "daemons/httpd/webdav_daemon.h"
#include "daemons/radicale/caldav_daemon.h"
#include "host/accounts/accounts.h"
#include "host/hosting/module_call.h"
#include "host/webapi/share_choices.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"

namespace host {

namespace {

// The two variants of the WebDAV daemon: service, port key and default,
// the name the page knows them by.
const struct Variant {
  const char* service;
  kivo::base::PortSetting port;
  const char* name;
} kVariants[] = {{"webdav-httpd-pure", kivo::base::kHttpPort, "http"},
                 {"webdav-httpd-ssl", kivo::base::kHttpsPort, "https"}};

int ConfPort(const kivo::base::PortSetting& port) {
  KivoConf conf;
  return kivo::base::ServedPort(&conf, port);
}

Json::Value ServiceStates() {
  Json::Value states;
  bool missing = false;
  if (!kivo::base::ReadServiceStates(&states, &missing)) return Json::Value();
  return states;
}

std::string PortsText(const std::vector<int>& ports) {
  std::string text;
  for (int port : ports) text += (text.empty() ? "" : ",") + std::to_string(port);
  return text.empty() ? "-" : text;
}

}  // namespace

namespace {

// One kind of collection the CalDAV daemon serves, as the page's status
// names it: the module's row that lists them, the list item's member that
// names one, the daemon's names for their folders, the status's members.
struct CollectionKind {
  APICallFlag lists;
  const char* name_member;
  bool (*read_url_names)(kivo::daemons::CalDAVUrlNames*);
  const char* named;
  const char* closed;
};

const CollectionKind kCalendarKind = {kAPIListsCalendars, "calendarname",
                                      kivo::daemons::ReadCalDAVUrlNames, "calendars", "closed"};
const CollectionKind kAddressBookKind = {kAPIListsAddressBooks, "addressbookname",
                                         kivo::daemons::ReadCardDAVUrlNames, "addressbooks",
                                         "addressbooks_closed"};

Json::Value Listed(const ModuleTable& module, const CollectionKind& kind,
                   const std::string& account, bool is_admin) {
  for (const ModuleRow& row : module.rows()) {
    if (!row.Has(kind.lists)) continue;
    if (!MayCall(row, is_admin)) return Json::Value();
    Json::Value data;
    const ModuleCallResult result = RunModuleCall(
        row.function, account, is_admin ? KIVO::Standing::kAdministrator : KIVO::Standing::kUser,
        Json::Value(Json::objectValue), &data);
    if (!result.success || !data.isObject() || !data["item"].isArray()) return Json::Value();
    return data["item"];
  }
  return Json::Value();
}

bool ListedFolder(const Json::Value& item, const CollectionKind& kind, std::string* folder) {
  if (!item.isObject()) return false;
  const Json::Value& share = item["share"];
  const Json::Value& destination = item["destination"];
  const Json::Value& name = item[kind.name_member];
  std::string dir;
  if (!share.isString() || !destination.isString() || !name.isString() ||
      !ShareDirectory(share.asString(), &dir)) {
    return false;
  }
  // Only the part after the first "/" locates the folder; the part before
  // it stands for the share and is not compared with it.
  const std::string place = destination.asString();
  const size_t slash = place.find('/');
  *folder = dir + "/";
  if (place.size() != share.asString().size() && slash != std::string::npos) {
    *folder += place.substr(slash + 1) + "/";
  }
  *folder += name.asString();
  return true;
}

// Id -> the name the CalDAV daemon keeps for its folder's identity, for the
// collections of `kind` it has named and the account may open; the ids of
// the others go to *closed.
Json::Value UrlNames(const ModuleTable& module, const CollectionKind& kind,
                     const std::string& account, bool is_admin, Json::Value* closed) {
  Account who;
  Json::Value names(Json::objectValue);
  if (!LookupAccount(account, &who)) return names;
  const std::vector<gid_t> groups = GroupsOf(kivo::Root(), who);
  kivo::daemons::CalDAVUrlNames url_names;
  if (!kind.read_url_names(&url_names)) return names;
  for (const Json::Value& item : Listed(module, kind, account, is_admin)) {
    std::string folder;
    struct stat st;
    if (!item["id"].isString() || !ListedFolder(item, kind, &folder) ||
        stat(folder.c_str(), &st) != 0) {
      continue;
    }
    const auto url_name = url_names.find({st.st_dev, st.st_ino});
    if (!MayOpenFolder(folder, who, groups)) {
      closed->append(item["id"]);
    } else if (url_name != url_names.end()) {
      names[item["id"].asString()] = url_name->second;
    }
  }
  return names;
}

void AddCollections(const ModuleTable& module, const CollectionKind& kind,
                    const std::string& account, bool is_admin, Json::Value* status) {
  Json::Value& closed = (*status)[kind.closed] = Json::Value(Json::arrayValue);
  (*status)[kind.named] = UrlNames(module, kind, account, is_admin, &closed);
}

}  // namespace

Json::Value ListedCalendars(const ModuleTable& module, const std::string& account, bool is_admin) {
  return Listed(module, kCalendarKind, account, is_admin);
}

std::vector<ServiceRow> ServiceRows() {
  const Json::Value states = ServiceStates();
  const pid_t daemon = kivo::daemons::WebDAVDaemonPid();
  std::vector<ServiceRow> rows;
  rows.push_back({"webdav-httpd", kivo::base::ServiceRun(states, "webdav-httpd"), daemon > 0,
                  daemon, daemon > 0 ? PortsText(kivo::daemons::WebDAVDaemonPorts()) : "-"});
  for (const Variant& v : kVariants) {
    const bool on = daemon > 0 && kivo::base::ServiceRunning(states, v.service);
    rows.push_back({v.service, kivo::base::ServiceRun(states, v.service), on, on ? daemon : 0,
                    std::to_string(ConfPort(v.port))});
  }
  // An announcement file left behind by a daemon that was stopped announces
  // nothing that runs, and one nobody reads (no avahi-daemon of the root)
  // announces nothing at all: either way the row says it is not served.
  const int avahi = kivo::daemons::AvahiDaemonPid();
  for (const kivo::daemons::Announcement& a : kivo::daemons::Announcements()) {
    bool variant_on = false;
    for (const Variant& v : kVariants) {
      if (std::strcmp(v.port.key, a.port.key) == 0) {
        variant_on = daemon > 0 && kivo::base::ServiceRunning(states, v.service);
      }
    }
    const bool on = variant_on && avahi > 0 && access(kivo::RootedPath(a.file).c_str(), F_OK) == 0;
    rows.push_back({a.service, kivo::base::ServiceRun(states, a.service), on, 0,
                    std::to_string(ConfPort(a.port))});
  }
  rows.push_back({"avahi", kivo::base::ServiceRun(states, "avahi"), avahi > 0, avahi,
                  avahi > 0 ? "5353/udp" : "-"});
  // Its run setting is the CalDAV and CardDAV switches, not a service's
  // entry; its port is on loopback and reached only through the WebDAV
  // daemon's /caldav/ and /carddav/.
  const kivo::daemons::CalDAVDaemonState caldav = kivo::daemons::CalDAVDaemonStatus();
  rows.push_back({"caldav", kivo::daemons::CalDAVDaemonWanted() ? 1 : 0, caldav.running,
                  caldav.running ? caldav.pid : 0,
                  caldav.running ? std::to_string(caldav.port) : "-"});
  return rows;
}

bool ListedCalendarFolder(const Json::Value& item, std::string* folder) {
  return ListedFolder(item, kCalendarKind, folder);
}

Json::Value ListedAddressBooks(const ModuleTable& module, const std::string& account,
                               bool is_admin) {
  return Listed(module, kAddressBookKind, account, is_admin);
}

bool ListedAddressBookFolder(const Json::Value& item, std::string* folder) {
  return ListedFolder(item, kAddressBookKind, folder);
}

Json::Value ServiceStatusJson(const ModuleTable& module, const std::string& account,
                              bool is_admin) {
  const Json::Value states = ServiceStates();
  const bool daemon = kivo::daemons::WebDAVDaemonPid() > 0;
  Json::Value status(Json::objectValue);
  Json::Value& webdav = status["webdav"] = Json::Value(Json::objectValue);
  webdav["running"] = daemon;
  for (const Variant& v : kVariants) {
    Json::Value& variant = webdav[v.name] = Json::Value(Json::objectValue);
    variant["enabled"] = kivo::base::ServiceRun(states, v.service) == 1;
    variant["running"] = daemon && kivo::base::ServiceRunning(states, v.service);
    variant["port"] = ConfPort(v.port);
  }
  Json::Value& caldav = status["caldav"] = Json::Value(Json::objectValue);
  caldav["enabled"] = kivo::daemons::CalDAVSwitchedOn();
  caldav["running"] = kivo::daemons::CalDAVDaemonStatus().running;
  // The same daemon serves the address books, while the CardDAV switch is on.
  Json::Value& carddav = status["carddav"] = Json::Value(Json::objectValue);
  carddav["enabled"] = kivo::daemons::CardDAVSwitchedOn();
  carddav["running"] = carddav["enabled"].asBool() && caldav["running"].asBool();
  AddCollections(module, kCalendarKind, account, is_admin, &status);
  AddCollections(module, kAddressBookKind, account, is_admin, &status);
  return status;
}

}  // namespace host
