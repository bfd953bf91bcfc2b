// `kivo-webapi services`: what the platform runs under this root, `--start`
// to start what its settings ask for, and `--stop-all` to stop it. The
// daemons belong to the platform, not to the host: init starts none and
// serve leaves them running when it exits (scripts/run.sh starts and stops
// them around its serve).

#include <cstdio>
#include <string>

#include "daemons/httpd/webdav_daemon.h"
#include "daemons/radicale/caldav_daemon.h"
#include "daemons/service_effects.h"
#include "host/cli/cli.h"
#include "host/webapi/service_status.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "service_commands";

}  // namespace

namespace host {

namespace {

// The processes of their own: the WebDAV daemon and the CalDAV daemon.
void SayRunning(const char* verb) {
  bool any = false;
  for (const ServiceRow& row : ServiceRows()) {
    if (!row.running || row.pid <= 0 ||
        (row.service != "webdav-httpd" && row.service != "caldav")) {
      continue;
    }
    std::printf("%s %s (pid %d, ports %s)\n", verb, row.service.c_str(), static_cast<int>(row.pid),
                row.ports.c_str());
    any = true;
  }
  if (!any) std::printf("no daemon runs under this root\n");
}

int StopAll() {
  // Only the processes: the recorded settings stay, so the next start
  // (--start, or a restart through the module) brings the daemons back.
  // Stopping the WebDAV daemon stops the CalDAV daemon behind it; asked
  // again, so that one left running by a failed or interrupted start goes
  // too.
  const pid_t webdav = kivo::daemons::WebDAVDaemonPid();
  const kivo::daemons::CalDAVDaemonState caldav = kivo::daemons::CalDAVDaemonStatus();
  const bool webdav_stopped = kivo::daemons::WebDAVDaemonEffect(kivo::daemons::ServiceOp::kStop);
  // Its reason is logged where it was found.
  const bool caldav_stopped = kivo::daemons::StopCalDAVDaemon();
  if (!caldav_stopped) KIVO_LOG(LOG_ERR, "cannot stop the CalDAV daemon");
  if (webdav > 0) {
    std::printf("%s webdav-httpd (pid %d)\n", webdav_stopped ? "stopped" : "could not stop",
                static_cast<int>(webdav));
  }
  if (caldav.running) {
    std::printf("%s caldav (pid %d)\n", caldav_stopped ? "stopped" : "could not stop",
                static_cast<int>(caldav.pid));
  }
  if (webdav <= 0 && !caldav.running) std::printf("nothing was running\n");
  return webdav_stopped && caldav_stopped ? kExitOk : kExitFailed;
}

}  // namespace

int RunServices(const Args& args) {
  ParsedArgs parsed;
  if (!ParseArgs(args, {}, {"--stop-all", "--start"}, &parsed) || !parsed.positional.empty() ||
      (parsed.Has("--stop-all") && parsed.Has("--start"))) {
    return Usage("services [--start | --stop-all]");
  }
  if (parsed.Has("--stop-all")) return StopAll();
  if (parsed.Has("--start")) {
    // With no variant marked running the daemon stays down; with the CalDAV
    // switch on, the CalDAV daemon starts behind it.
    const bool started = kivo::daemons::WebDAVDaemonEffect(kivo::daemons::ServiceOp::kStart);
    SayRunning("runs:");
    return started ? kExitOk : kExitFailed;
  }
  std::printf("%-18s %-4s %-8s %-8s %s\n", "SERVICE", "RUN", "RUNNING", "PID", "PORTS");
  for (const ServiceRow& row : ServiceRows()) {
    std::printf("%-18s %-4s %-8s %-8s %s\n", row.service.c_str(),
                row.run < 0 ? "-" : std::to_string(row.run).c_str(), row.running ? "yes" : "no",
                row.pid > 0 ? std::to_string(row.pid).c_str() : "-", row.ports.c_str());
  }
  return kExitOk;
}

}  // namespace host
