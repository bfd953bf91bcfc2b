#include "host/service_status.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "caldav/calendar_location.h"
#include "daemons/avahi_files.h"
#include "daemons/radicale/caldav_daemon.h"
#include "daemons/httpd/webdav_daemon.h"
#include "host/accounts.h"
#include "host/cli.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/port_text.h"
#include "base/json_file.h"

namespace host {

namespace {

// The two variants of the WebDAV daemon: service, port key and default,
// the name the page knows them by.
const struct Variant {
  const char* service;
  const char* port_key;
  int default_port;
  const char* name;
} kVariants[] = {{"webdav-httpd-pure", "WebDavPort", 5005, "http"},
                 {"webdav-httpd-ssl", "secure_WebDavPort", 5006, "https"}};

Json::Value ReadJson(const char* system_path) {
  Json::Value value;
  bool missing = false;
  if (!kivo::base::ReadJsonFile(kivo::RootedPath(system_path), &value, &missing)) return Json::Value();
  return value;
}

int ConfPort(const char* key, int fallback) {
  KivoConf conf;
  return port_text::Served(conf.Info(key, ""), fallback);
}

int RunOf(const Json::Value& states, const char* service) {
  const Json::Value& run = states.isObject() ? states[service]["run"] : Json::Value();
  return run.isInt() ? run.asInt() : -1;
}

bool MarkedRunning(const Json::Value& states, const char* service) {
  const Json::Value& running = states.isObject() ? states[service]["running"] : Json::Value();
  return running.isBool() && running.asBool();
}

std::string PortsText(const std::vector<int>& ports) {
  std::string text;
  for (int port : ports) text += (text.empty() ? "" : ",") + std::to_string(port);
  return text.empty() ? "-" : text;
}

// Calendar id -> the name the CalDAV daemon keeps for its folder's identity,
// for the calendars it has named. The folder and the id are the ones the
// module's list gives the entry (CalendarLocation: the homes upgrade, then
// the folder's path). With an account, only the calendars it may open; the
// ids of the others go to *closed.
Json::Value CalendarUrlNames(const std::string& account, Json::Value* closed) {
  Account who;
  std::vector<gid_t> groups;
  const bool judged = !account.empty();
  if (judged) {
    if (!LookupAccount(account, &who)) return Json::Value(Json::objectValue);
    groups = GroupsOf(kivo::Root(), who);
  }
  Json::Value names(Json::objectValue);
  const Json::Value ids = ReadJson("/var/lib/kivo/caldav/ids.json");
  Json::Value registry = ReadJson(SZF_CALENDAR_INFO);
  if (!ids.isObject() || !registry.isArray()) return names;
  caldav::CalendarLocation location("", nullptr);
  for (Json::Value& entry : registry) {
    if (!entry.isObject() || !entry["calendarname"].isString() ||
        !entry["destination"].isString() || !entry["share"].isString()) {
      continue;
    }
    if (entry["share"].asString() == "homes") location.UpgradeHomes(entry);
    std::string folder;
    struct stat st;
    if (!location.FullPath(entry, folder) || stat(folder.c_str(), &st) != 0) continue;
    const Json::Value& url_name = ids[std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)];
    const std::string id = entry["calendarname"].asString() + ":" + entry["destination"].asString();
    if (judged && !MayOpenFolder(folder, who, groups)) {
      closed->append(id);
    } else if (url_name.isString()) {
      names[id] = url_name.asString();
    }
  }
  return names;
}

}  // namespace

std::vector<ServiceRow> ServiceRows() {
  const Json::Value states = ReadJson("/var/lib/kivo/services.json");
  const pid_t daemon = kivo::daemons::WebDAVDaemonPid();
  std::vector<ServiceRow> rows;
  rows.push_back({"webdav-httpd", RunOf(states, "webdav-httpd"), daemon > 0, daemon,
                  daemon > 0 ? PortsText(kivo::daemons::WebDAVDaemonPorts()) : "-"});
  for (const Variant& v : kVariants) {
    const bool on = daemon > 0 && MarkedRunning(states, v.service);
    rows.push_back({v.service, RunOf(states, v.service), on, on ? daemon : 0,
                    std::to_string(ConfPort(v.port_key, v.default_port))});
  }
  // An announcement file left behind by a daemon that was stopped announces
  // nothing that runs.
  for (const kivo::daemons::Announcement& a : kivo::daemons::Announcements()) {
    bool variant_on = false;
    for (const Variant& v : kVariants) {
      if (std::strcmp(v.port_key, a.port_key) == 0) {
        variant_on = daemon > 0 && MarkedRunning(states, v.service);
      }
    }
    const bool on = variant_on && access(kivo::RootedPath(a.file).c_str(), F_OK) == 0;
    rows.push_back({a.service, RunOf(states, a.service), on, 0,
                    std::to_string(ConfPort(a.port_key, a.default_port))});
  }
  const int avahi = kivo::daemons::AvahiDaemonPid();
  rows.push_back({"avahi", RunOf(states, "avahi"), avahi > 0, avahi, avahi > 0 ? "5353/udp" : "-"});
  // Its run setting is the CalDAV switch, not a service's entry; its port is
  // on loopback and reached only through the WebDAV daemon's /caldav/.
  const kivo::daemons::CalDAVDaemonState caldav = kivo::daemons::CalDAVDaemonStatus();
  rows.push_back({"caldav", kivo::daemons::CalDAVSwitchedOn() ? 1 : 0, caldav.running,
                  caldav.running ? caldav.pid : 0,
                  caldav.running ? std::to_string(caldav.port) : "-"});
  return rows;
}

Json::Value ServiceStatusJson(const std::string& account) {
  const Json::Value states = ReadJson("/var/lib/kivo/services.json");
  const bool daemon = kivo::daemons::WebDAVDaemonPid() > 0;
  Json::Value status(Json::objectValue);
  Json::Value& webdav = status["webdav"] = Json::Value(Json::objectValue);
  webdav["running"] = daemon;
  for (const Variant& v : kVariants) {
    Json::Value& variant = webdav[v.name] = Json::Value(Json::objectValue);
    variant["enabled"] = RunOf(states, v.service) == 1;
    variant["running"] = daemon && MarkedRunning(states, v.service);
    variant["port"] = ConfPort(v.port_key, v.default_port);
  }
  Json::Value& caldav = status["caldav"] = Json::Value(Json::objectValue);
  caldav["enabled"] = kivo::daemons::CalDAVSwitchedOn();
  caldav["running"] = kivo::daemons::CalDAVDaemonStatus().running;
  Json::Value& closed = status["closed"] = Json::Value(Json::arrayValue);
  status["calendars"] = CalendarUrlNames(account, &closed);
  return status;
}

}  // namespace host
