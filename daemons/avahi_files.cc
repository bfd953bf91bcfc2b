#include "daemons/avahi_files.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/last_error.h"
#include "base/process.h"
#include "base/root_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace kivo {
namespace daemons {
namespace {

constexpr char kLogUnit[] = "avahi_files";

int StoredPort(const Announcement& a) {
  KivoConf conf;
  return base::ServedPort(&conf, a.port);
}

const Announcement* Find(const std::string& service) {
  for (const Announcement& a : Announcements()) {
    if (service == a.service) return &a;
  }
  return nullptr;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

const std::vector<Announcement>& Announcements() {
  static const std::vector<Announcement> table = {
      {"webdav-avahi", "_webdav._tcp", base::kHttpPort, "/etc/avahi/services/kivo-webdav.service"},
      {"webdavs-avahi", "_webdavs._tcp", base::kHttpsPort,
       "/etc/avahi/services/kivo-webdavs.service"},
  };
  return table;
}

std::string AnnouncementText(const Announcement& a, int port) {
  return std::string(
             "<?xml version=\"1.0\" standalone='no'?>\n"
             "<!DOCTYPE service-group SYSTEM \"avahi-service.dtd\">\n"
             "<!-- Written by libkivo while the WebDAV variant runs. -->\n"
             "<service-group>\n"
             "  <name replace-wildcards=\"yes\">WebDAV on %h</name>\n"
             "  <service>\n"
             "    <type>") +
         a.type + "</type>\n    <port>" + std::to_string(port) +
         "</port>\n"
         "    <txt-record>path=/</txt-record>\n"
         "  </service>\n"
         "</service-group>\n";
}

bool WriteAnnouncement(const std::string& service) {
  const Announcement* a = Find(service);
  if (a == nullptr) return true;
  return base::ReplaceFile(RootedPath(a->file), AnnouncementText(*a, StoredPort(*a)), 0644);
}

bool RemoveAnnouncement(const std::string& service) {
  const Announcement* a = Find(service);
  if (a == nullptr) return true;
  if (unlink(RootedPath(a->file).c_str()) != 0 && errno != ENOENT) {
    base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "cannot remove %s: %s", a->file, strerror(errno));
    return false;
  }
  return true;
}

int AvahiDaemonPid() {
  for (const char* path : {"/run/avahi-daemon/pid", "/var/run/avahi-daemon/pid"}) {
    std::string text, comm;
    bool missing = false;
    if (!base::ReadWholeFile(RootedPath(path), &text, &missing) || missing) continue;
    int pid = atoi(text.c_str());
    if (pid <= 0 || !base::ProcessAlive(pid)) continue;
    if (base::ReadWholeFile("/proc/" + std::to_string(pid) + "/comm", &comm, nullptr) &&
        comm.compare(0, 12, "avahi-daemon") == 0) {
      return pid;
    }
  }
  return 0;
}

// The announcement files carry the ports as they are now; avahi-daemon reads
// its service files again on SIGHUP.
bool RestartAvahi() {
  for (const Announcement& a : Announcements()) {
    if (Exists(RootedPath(a.file)) && !WriteAnnouncement(a.service)) return false;
  }
  int pid = AvahiDaemonPid();
  if (pid > 0 && kill(pid, SIGHUP) != 0) {
    base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "cannot signal avahi-daemon %d: %s", pid, strerror(errno));
    return false;
  }
  return true;
}

}  // namespace daemons
}  // namespace kivo
