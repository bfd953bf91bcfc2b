// What the platform's service operations do beyond their record in
// services.json and the journal: the WebDAV daemon, its DNS-SD announcement
// files, the announcement daemon and the firewall ruleset.
//
// Each effect runs before its record is written, so the journal tells what
// has happened. Test builds run the effects only when KIVO_DAEMONS is "on",
// so suites that only look at the records start no daemon.

#ifndef KIVO_PLATFORM_SERVICE_EFFECTS_H_
#define KIVO_PLATFORM_SERVICE_EFFECTS_H_

#include <string>
#include <vector>

namespace kivo {

enum class ServiceOp { kStart, kStop, kRestart, kReload };

// False in a test build unless KIVO_DAEMONS is "on".
bool EffectsWanted();

// The effect of `op` on `service`: 0, or -1 (logged) when it failed. Services
// without an effect of their own answer 0.
int ServiceEffect(const std::string& service, ServiceOp op);

// A kivoinfo.conf key was written: the behaviour switches reach a running
// daemon at once (a failed reload is logged; the write stands).
void ConfValueChanged(const std::string& key);

// Whether `op` marks `service` running in services.json. A restart or reload
// of a WebDAV variant restarts the daemon without switching the variant on.
bool MarksRunning(const std::string& service, ServiceOp op);

// Writes etc/kivo/firewall.nft and, in the system's root, loads it.
int ReloadFirewall();

// What the firewall lets in beyond loopback, answers and ICMP essentials.
struct FirewallOpenings {
  std::vector<int> ssh;  // etc/kivo/ports.json's "ssh", else 22
  // The web API's ("webapi", else 5000 and 5001) and the enabled WebDAV
  // variants' ports, ascending.
  std::vector<int> tcp;
  bool mdns = false;  // UDP 5353, while a WebDAV announcement is on
};
FirewallOpenings CurrentOpenings();

// The nftables ruleset that lets in `open` and drops the rest.
std::string FirewallRuleset(const FirewallOpenings& open);

// DNS-SD announcement files under etc/avahi/services/.
struct Announcement {
  const char* service;  // "webdav-avahi", "webdavs-avahi"
  const char* type;     // "_webdav._tcp", "_webdavs._tcp"
  const char* port_key;
  int default_port;
  const char* file;  // below the root
};
const std::vector<Announcement>& Announcements();
std::string AnnouncementText(const Announcement& announcement, int port);

// The pid of an avahi-daemon running for this root, or 0.
int AvahiDaemonPid();

// The announcement file of a "webdav-avahi"-like service, written with the
// stored port or removed; "avahi": the files rewritten with the ports as they
// are now and the daemon of this root told. 0 or -1 (logged).
int WriteAnnouncement(const std::string& service);
int RemoveAnnouncement(const std::string& service);
int RestartAvahi();

}  // namespace kivo

#endif  // KIVO_PLATFORM_SERVICE_EFFECTS_H_
