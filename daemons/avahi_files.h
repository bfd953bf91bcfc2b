// DNS-SD announcements of the WebDAV variants, in the service-file format
// avahi-daemon reads from etc/avahi/services/, and the announcement daemon
// of this root. Touches nothing but its two files and a SIGHUP to that
// daemon. Errors as everywhere in daemons/ (supervisor.h).

#ifndef KIVO_DAEMONS_AVAHI_FILES_H_
#define KIVO_DAEMONS_AVAHI_FILES_H_

#include <string>
#include <vector>

#include "base/kivo_conf.h"

namespace kivo {
namespace daemons {

// One announcement file under etc/avahi/services/.
struct Announcement {
  const char* service;     // "webdav-avahi", "webdavs-avahi"
  const char* type;        // "_webdav._tcp", "_webdavs._tcp"
  base::PortSetting port;  // the variant's stored port
  const char* file;        // below the root
};
const std::vector<Announcement>& Announcements();
std::string AnnouncementText(const Announcement& announcement, int port);

// The pid of an avahi-daemon running for this root, or 0.
int AvahiDaemonPid();

// The announcement file of a "webdav-avahi"-like service, written with the
// stored port or removed; "avahi": the files rewritten with the ports as they
// are now and the daemon of this root told.
bool WriteAnnouncement(const std::string& service);
bool RemoveAnnouncement(const std::string& service);
bool RestartAvahi();

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_AVAHI_FILES_H_
