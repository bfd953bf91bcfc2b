#include "platform/daemon_hooks.h"

namespace platform {

std::string CalDAVProxySection() { return ""; }

bool AfterWebDAVDaemonChange(bool webdav_running, std::string* error) {
  (void)webdav_running;
  (void)error;
  return true;  // No CalDAV daemon yet.
}

}  // namespace platform
