#include "platform/daemon_hooks.h"

namespace platform {

bool AfterWebDAVDaemonChange(bool webdav_running, std::string* error) {
  (void)webdav_running;
  (void)error;
  return true;  // No CalDAV daemon yet.
}

}  // namespace platform
