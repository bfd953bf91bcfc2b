// Which service operation does what, and the one place where the CalDAV
// daemon is put in step with the WebDAV daemon in front of it.

#include "daemons/service_effects.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "base/last_error.h"
#include "daemons/avahi_files.h"
#include "daemons/httpd/webdav_daemon.h"
#include "daemons/radicale/caldav_daemon.h"
#include "daemons/radicale/caldav_proxy.h"
#include "kivo/log.h"

namespace kivo {
namespace daemons {

namespace {

constexpr char kLogUnit[] = "service_effects";

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

bool WebDAVOnly(ServiceOp op) {
  switch (op) {
    case ServiceOp::kStart:
      return WebDAVDaemonStart(CalDAVProxySection());
    case ServiceOp::kStop:
      return WebDAVDaemonStop();
    case ServiceOp::kRestart:
      return WebDAVDaemonRestart(CalDAVProxySection());
    case ServiceOp::kReload:
      return WebDAVDaemonReload(CalDAVProxySection());
  }
  return false;
}

// Whether the CalDAV daemon listens where the running WebDAV daemon's
// configuration proxies to.
bool ProxyMeetsCalDAV() {
  return CalDAVDaemonStatus().port == ProxiedCalDAVPort(WebDAVDaemonConf());
}

}  // namespace

bool CalDAVFollowsWebDAV(bool webdav_running) {
  if (!AfterWebDAVDaemonChange(webdav_running)) return false;
  if (!webdav_running || !CalDAVDaemonWanted() || WebDAVDaemonPid() == 0 || ProxyMeetsCalDAV()) {
    return true;
  }
  // The configuration the WebDAV daemon runs with named the port recorded
  // when it was written. Were that port taken since, the CalDAV daemon has
  // started on another, and the proxy would hand the clients' passwords to
  // whoever holds the old one: the WebDAV daemon is reloaded once to name
  // the new port.
  KIVO_LOG(LOG_NOTICE,
           "the CalDAV daemon listens on port %d, not the proxied %d; reloading the WebDAV daemon",
           CalDAVDaemonStatus().port, ProxiedCalDAVPort(WebDAVDaemonConf()));
  if (!WebDAVDaemonReload(CalDAVProxySection())) {
    KIVO_LOG(LOG_ERR, "the WebDAV daemon could not be reloaded for the CalDAV daemon's port");
    return false;
  }
  if (!AfterWebDAVDaemonChange(WebDAVDaemonPid() > 0)) return false;
  if (ProxyMeetsCalDAV()) return true;
  base::SetLastError(EADDRINUSE);
  KIVO_LOG(LOG_WARNING,
           "the WebDAV daemon still proxies /caldav/ elsewhere than the CalDAV daemon's port %d",
           CalDAVDaemonStatus().port);
  return false;
}

bool WebDAVDaemonEffect(ServiceOp op) {
  const bool done = WebDAVOnly(op);
  CalDAVFollowsWebDAV(WebDAVDaemonPid() > 0);  // its failures are logged, not this op's
  return done;
}

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
  if (service == kDaemon) return WebDAVDaemonEffect(op);
  // A variant's start and stop only record it; the module restarts or stops
  // the daemon right after, which then reads what runs. A reload (new port)
  // and a restart (CalDAV switched) reach a running daemon, and start one
  // that is down (stopped with `services --stop-all`, or ended) while a
  // variant is recorded to run: the settings just applied are served, never
  // answered as applied with nothing listening. With no variant to run the
  // start leaves it down.
  if (IsVariant(service)) {
    if (op != ServiceOp::kReload && op != ServiceOp::kRestart) return true;
    return WebDAVDaemonEffect(WebDAVDaemonPid() > 0 ? op : ServiceOp::kStart);
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
  WebDAVDaemonEffect(ServiceOp::kReload);
}

bool MarksRunning(const std::string& service, ServiceOp op) {
  return !(IsVariant(service) && (op == ServiceOp::kRestart || op == ServiceOp::kReload));
}

}  // namespace daemons
}  // namespace kivo
