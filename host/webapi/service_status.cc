#include "host/webapi/service_status.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/kivo_conf.h"
#include "base/service_states.h"
#include "caldav/calendar_location.h"
#include "caldav/calendar_registry.h"
#include "daemons/avahi_files.h"
#include "daemons/httpd/webdav_daemon.h"
#include "daemons/radicale/caldav_daemon.h"
#include "host/accounts/accounts.h"
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

// Calendar id -> the name the CalDAV daemon keeps for its folder's identity,
// for the calendars it has named. The entries, their ids and folders are
// the module's list's (CalendarRegistry::ReadOnly: the homes upgrade, the
// one id; CalendarLocation: the folder's path), read without the registry's
// lock, which a module call may hold. With an account, only the calendars it
// may open; the ids of the others go to *closed.
Json::Value CalendarUrlNames(const std::string& account, Json::Value* closed) {
  Account who;
  std::vector<gid_t> groups;
  const bool judged = !account.empty();
  if (judged) {
    if (!LookupAccount(account, &who)) return Json::Value(Json::objectValue);
    groups = GroupsOf(kivo::Root(), who);
  }
  Json::Value names(Json::objectValue);
  kivo::daemons::CalDAVUrlNames url_names;
  caldav::CalendarLocation location("", nullptr);
  std::vector<caldav::CalendarRegistry::Calendar> calendars;
  if (!kivo::daemons::ReadCalDAVUrlNames(&url_names) ||
      !caldav::CalendarRegistry::ReadOnly(location, &calendars)) {
    return names;
  }
  for (const caldav::CalendarRegistry::Calendar& calendar : calendars) {
    std::string folder;
    struct stat st;
    if (!location.FullPath(calendar.entry, folder) || stat(folder.c_str(), &st) != 0) continue;
    const auto url_name = url_names.find({st.st_dev, st.st_ino});
    if (judged && !MayOpenFolder(folder, who, groups)) {
      closed->append(calendar.id);
    } else if (url_name != url_names.end()) {
      names[calendar.id] = url_name->second;
    }
  }
  return names;
}

}  // namespace

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
  // nothing that runs.
  for (const kivo::daemons::Announcement& a : kivo::daemons::Announcements()) {
    bool variant_on = false;
    for (const Variant& v : kVariants) {
      if (std::strcmp(v.port.key, a.port.key) == 0) {
        variant_on = daemon > 0 && kivo::base::ServiceRunning(states, v.service);
      }
    }
    const bool on = variant_on && access(kivo::RootedPath(a.file).c_str(), F_OK) == 0;
    rows.push_back({a.service, kivo::base::ServiceRun(states, a.service), on, 0,
                    std::to_string(ConfPort(a.port))});
  }
  const int avahi = kivo::daemons::AvahiDaemonPid();
  rows.push_back({"avahi", kivo::base::ServiceRun(states, "avahi"), avahi > 0, avahi,
                  avahi > 0 ? "5353/udp" : "-"});
  // Its run setting is the CalDAV switch, not a service's entry; its port is
  // on loopback and reached only through the WebDAV daemon's /caldav/.
  const kivo::daemons::CalDAVDaemonState caldav = kivo::daemons::CalDAVDaemonStatus();
  rows.push_back({"caldav", kivo::daemons::CalDAVSwitchedOn() ? 1 : 0, caldav.running,
                  caldav.running ? caldav.pid : 0,
                  caldav.running ? std::to_string(caldav.port) : "-"});
  return rows;
}

Json::Value ServiceStatusJson(const std::string& account) {
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
  Json::Value& closed = status["closed"] = Json::Value(Json::arrayValue);
  status["calendars"] = CalendarUrlNames(account, &closed);
  return status;
}

}  // namespace host
