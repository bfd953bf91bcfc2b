// `kivo-webapi services`: what the platform runs under this root, and
// `--stop-all` to stop it. The daemons belong to the platform, not to the
// host: init starts none and serve leaves them running when it exits.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/cli.h"
#include "host/host_log.h"
#include "module/kivo_paths.h"
#include "module/kivo_platform.h"
#include "platform/caldav_daemon.h"
#include "platform/json_file.h"
#include "platform/service_effects.h"
#include "platform/webdav_daemon.h"

namespace host {
namespace {

std::string PortsText(const std::vector<int>& ports) {
  std::string text;
  for (int port : ports) text += (text.empty() ? "" : ",") + std::to_string(port);
  return text.empty() ? "-" : text;
}

int ConfPort(const char* key, int fallback) {
  KivoConf conf;
  const std::string text = conf.Info(key, "");
  long port = 0;
  return ParseDecimal(text, &port) && port >= 1 && port <= 65535 ? static_cast<int>(port)
                                                                 : fallback;
}

struct Row {
  std::string service, run, running, pid, ports;
};

std::string RunText(const Json::Value& states, const std::string& service) {
  const Json::Value& run = states[service]["run"];
  return run.isInt() ? std::to_string(run.asInt()) : "-";
}

bool MarkedRunning(const Json::Value& states, const std::string& service) {
  const Json::Value& running = states[service]["running"];
  return running.isBool() && running.asBool();
}

std::vector<Row> Rows() {
  Json::Value states;
  bool missing = false;
  if (!kivo::ReadJsonFile(kivo::RootedPath("/var/lib/kivo/services.json"), &states, &missing) ||
      !states.isObject()) {
    states = Json::Value(Json::objectValue);
  }
  const pid_t daemon = kivo::WebDAVDaemonPid();
  const std::string daemon_pid = daemon > 0 ? std::to_string(daemon) : "-";
  std::vector<Row> rows;
  rows.push_back({"webdav-httpd", RunText(states, "webdav-httpd"), daemon > 0 ? "yes" : "no",
                  daemon_pid, daemon > 0 ? PortsText(kivo::WebDAVDaemonPorts()) : "-"});
  const struct {
    const char* service;
    const char* key;
    int port;
  } variants[] = {{"webdav-httpd-pure", "WebDavPort", 5005},
                  {"webdav-httpd-ssl", "secure_WebDavPort", 5006}};
  for (const auto& v : variants) {
    const bool on = daemon > 0 && MarkedRunning(states, v.service);
    rows.push_back({v.service, RunText(states, v.service), on ? "yes" : "no", on ? daemon_pid : "-",
                    std::to_string(ConfPort(v.key, v.port))});
  }
  for (const kivo::Announcement& a : kivo::Announcements()) {
    const bool on = access(kivo::RootedPath(a.file).c_str(), F_OK) == 0;
    rows.push_back({a.service, RunText(states, a.service), on ? "yes" : "no", "-",
                    std::to_string(ConfPort(a.port_key, a.default_port))});
  }
  const int avahi = kivo::AvahiDaemonPid();
  rows.push_back({"avahi", RunText(states, "avahi"), avahi > 0 ? "yes" : "no",
                  avahi > 0 ? std::to_string(avahi) : "-", avahi > 0 ? "5353/udp" : "-"});
  // Its run setting is the CalDAV switch, not a service's entry; its port is
  // on loopback and reached only through the WebDAV daemon's /caldav/.
  const platform::CalDAVDaemonState caldav = platform::CalDAVDaemonStatus();
  KivoConf conf;
  rows.push_back({"caldav", std::string(conf.Info("runCalDav", "")) == "yes" ? "1" : "0",
                  caldav.running ? "yes" : "no", caldav.running ? std::to_string(caldav.pid) : "-",
                  caldav.running ? std::to_string(caldav.port) : "-"});
  return rows;
}

}  // namespace

int RunServices(const Args& args) {
  ParsedArgs parsed;
  if (!ParseArgs(args, {}, {"--stop-all"}, &parsed) || !parsed.positional.empty()) {
    HOST_LOG("usage: kivo-webapi services [--stop-all]");
    return kExitUsage;
  }
  if (parsed.Has("--stop-all")) {
    // Only the processes: the recorded settings stay, so the next restart
    // through the module brings the daemons back. Stopping the WebDAV daemon
    // stops the CalDAV daemon behind it; asked again, so that one left
    // running by a failed or interrupted start goes too.
    const bool webdav_stopped = kivo::WebDAVDaemonStop() == 0;
    std::string error;
    const bool caldav_stopped = platform::StopCalDAVDaemon(&error);
    if (!caldav_stopped) HOST_LOG("cannot stop the CalDAV daemon: %s", error.c_str());
    return webdav_stopped && caldav_stopped ? kExitOk : kExitFailed;
  }
  std::printf("%-18s %-4s %-8s %-8s %s\n", "SERVICE", "RUN", "RUNNING", "PID", "PORTS");
  for (const Row& row : Rows()) {
    std::printf("%-18s %-4s %-8s %-8s %s\n", row.service.c_str(), row.run.c_str(),
                row.running.c_str(), row.pid.c_str(), row.ports.c_str());
  }
  return kExitOk;
}

}  // namespace host
