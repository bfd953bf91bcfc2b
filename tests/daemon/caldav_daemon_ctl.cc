// Drives the CalDAV daemon's platform side for the daemon tests, as the
// WebDAV daemon's life would: `webdav-up` and `webdav-down` run the hook
// the service operations call, `section` prints the proxy section, `status`
// prints "running pid port", `stop` stops. Exit 0 on success, 1 on failure
// (the reason on stderr). The platform's diagnostics show on stderr too.

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/caldav_daemon.h"
#include "platform/daemon_hooks.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: caldav_daemon_ctl webdav-up|webdav-down|section|status|stop\n");
    return 2;
  }
  openlog("caldav_daemon_ctl", LOG_PERROR, LOG_USER);
  const std::string command = argv[1];
  std::string error;
  bool ok = true;
  if (command == "webdav-up" || command == "webdav-down") {
    ok = platform::AfterWebDAVDaemonChange(command == "webdav-up", &error);
  } else if (command == "section") {
    std::fputs(platform::CalDAVProxySection().c_str(), stdout);
  } else if (command == "status") {
    const platform::CalDAVDaemonState state = platform::CalDAVDaemonStatus();
    std::printf("%d %d %d\n", state.running ? 1 : 0, static_cast<int>(state.pid), state.port);
  } else if (command == "stop") {
    ok = platform::StopCalDAVDaemon(&error);
  } else {
    std::fprintf(stderr, "unknown command %s\n", argv[1]);
    return 2;
  }
  if (!ok) std::fprintf(stderr, "%s\n", error.c_str());
  return ok ? 0 : 1;
}
