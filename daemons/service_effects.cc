// Which service operation does what, as one table.

#include "daemons/service_effects.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "daemons/avahi_files.h"
#include "daemons/httpd/webdav_daemon.h"

namespace kivo {
namespace daemons {

namespace {

std::atomic<bool> daemon_effects_skipped{false};

constexpr char kDaemon[] = "webdav-httpd";
constexpr char kHttpVariant[] = "webdav-httpd-pure";
constexpr char kHttpsVariant[] = "webdav-httpd-ssl";

bool IsVariant(const std::string& service) {
  return service == kHttpVariant || service == kHttpsVariant;
}

bool IsAnnouncement(const std::string& service) {
  for (const Announcement& a : Announcements()) {
    if (service == a.service) return true;
  }
  return false;
}

bool DaemonEffect(ServiceOp op) {
  switch (op) {
    case ServiceOp::kStart:
      return WebDAVDaemonStart();
    case ServiceOp::kStop:
      return WebDAVDaemonStop();
    case ServiceOp::kRestart:
      return WebDAVDaemonRestart();
    case ServiceOp::kReload:
      return WebDAVDaemonReload();
  }
  return false;
}

}  // namespace

bool EffectsWanted() {
#ifdef KIVO_ROOT_FROM_ENV
  const char* wanted = getenv("KIVO_DAEMONS");
  return wanted != nullptr && strcmp(wanted, "on") == 0;
#else
  return true;
#endif
}

bool DaemonEffectsSkipped() { return daemon_effects_skipped; }

bool ServiceEffect(const std::string& service, ServiceOp op) {
  if (!EffectsWanted()) {
    if (service == kDaemon || IsVariant(service)) daemon_effects_skipped = true;
    return true;
  }
  if (service == kDaemon) return DaemonEffect(op);
  // A variant's start and stop only record it; the module restarts or stops
  // the daemon right after, which then reads what runs. A reload (new port)
  // and a restart (CalDAV switched) reach a running daemon.
  if (IsVariant(service)) {
    if (op == ServiceOp::kReload) return WebDAVDaemonReload();
    if (op == ServiceOp::kRestart) {
      return WebDAVDaemonPid() > 0 ? WebDAVDaemonRestart() : true;
    }
    return true;
  }
  if (IsAnnouncement(service)) {
    return op == ServiceOp::kStop ? RemoveAnnouncement(service) : WriteAnnouncement(service);
  }
  if (service == "avahi" && op != ServiceOp::kStop) return RestartAvahi();
  return true;
}

void ConfValueChanged(const std::string& key) {
  if (key != "webdavanonymouslogin" && key != "webdavdepthinfinity") return;
  if (!EffectsWanted()) {
    daemon_effects_skipped = true;
    return;
  }
  WebDAVDaemonReload();
}

bool MarksRunning(const std::string& service, ServiceOp op) {
  return !(IsVariant(service) && (op == ServiceOp::kRestart || op == ServiceOp::kReload));
}

}  // namespace daemons
}  // namespace kivo
