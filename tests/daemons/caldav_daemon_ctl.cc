// The CalDAV daemon's platform side for the daemon tests: `webdav-up`, `webdav-down`, `section`,
// `status` ("running pid port"), `stop`. Exit 0 or 1; the platform's reasons on stderr.

#include <syslog.h>

#include <cstdio>
#include <string>

#include "daemons/radicale/caldav_daemon.h"
#include "daemons/radicale/caldav_proxy.h"
#include "daemons/service_effects.h"

namespace daemons = kivo::daemons;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: caldav_daemon_ctl webdav-up|webdav-down|section|status|stop\n");
    return 2;
  }
  openlog("caldav_daemon_ctl", LOG_PERROR, LOG_USER);
  const std::string command = argv[1];
  bool ok = true;
  if (command == "webdav-up" || command == "webdav-down") {
    ok = daemons::CalDAVFollowsWebDAV(command == "webdav-up");
  } else if (command == "section") {
    std::fputs(daemons::CalDAVProxySection().c_str(), stdout);
  } else if (command == "status") {
    const daemons::CalDAVDaemonState state = daemons::CalDAVDaemonStatus();
    std::printf("%d %d %d\n", state.running ? 1 : 0, static_cast<int>(state.pid), state.port);
  } else if (command == "stop") {
    ok = daemons::StopCalDAVDaemon();
  } else {
    std::fprintf(stderr, "unknown command %s\n", argv[1]);
    return 2;
  }
  if (!ok) std::fprintf(stderr, "%s failed\n", argv[1]);
  return ok ? 0 : 1;
}
