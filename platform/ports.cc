// Port conflicts: a port is taken when another platform service is
// configured on it (the WebDAV variants' stored ports, the ports every other
// service declares in etc/kivo/ports.json) or when something already listens
// on it.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "base/fd.h"
#include "base/json_file.h"
#include "base/last_error.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"
#include "kivo/port_text.h"

namespace {

constexpr char kLogUnit[] = "ports";
constexpr char kPortsPath[] = SZF_PORTS_JSON;

// Services whose port lives in kivoinfo.conf.
const struct {
  const char* service;
  const char* key;
  int default_port;
} kConfiguredPorts[] = {
    {"webdav_http", "WebDavPort", 5005},
    {"webdavs_https", "secure_WebDavPort", 5006},
};

// The stored port as the WebDAV settings show it, its default when the key
// is absent or empty, 0 when what is read is no port.
int StoredPort(KivoConf* conf, const char* key, int default_port) {
  const char* text = conf->Info(key, "");
  if (text[0] == '\0') return default_port;
  const int port = port_text::Read(text);
  return port >= 1 && port <= 65535 ? port : 0;
}

// 1 when binding `port` on every address of `family` fails with EADDRINUSE.
bool InUse(int family, int port) {
  const kivo::base::Fd socket_fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int fd = socket_fd.get();
  if (fd < 0) return false;  // e.g. no IPv6 on this machine
  // As the daemons bind: connections of the port's last user waiting out
  // TIME_WAIT do not keep a server from it, a listener does.
  int reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  int rc;
  if (family == AF_INET6) {
    int only = 1;  // the IPv4 side is tested on its own
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    struct sockaddr_in6 addr;
    memset(&addr, 0, sizeof addr);
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(static_cast<uint16_t>(port));
    rc = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  } else {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    rc = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  }
  return rc != 0 && errno == EADDRINUSE;
}

// True when `holder` (a service other than the asking one) lists `port` in
// ports.json.
bool DeclaredByOther(const Json::Value& declared, const std::string& service, int port,
                     std::string* holder) {
  if (!declared.isObject()) return false;
  for (const std::string& name : declared.getMemberNames()) {
    if (name == service) continue;
    const Json::Value& ports = declared[name];
    if (!ports.isArray()) continue;
    for (const Json::Value& listed : ports) {
      if (listed.isInt() && listed.asInt() == port) {
        *holder = name;
        return true;
      }
    }
  }
  return false;
}

bool Conflict(const std::string& service, int port_from, int port_to) {
  if (port_from < 1 || port_to > 65535 || port_from > port_to) {
    KIVO_LOG(LOG_WARNING, "port range %d-%d of %s is not usable", port_from, port_to,
             service.c_str());
    return true;
  }
  Json::Value declared;
  bool missing = false;
  if (!kivo::base::ReadJsonFile(kivo::RootedPath(kPortsPath), &declared, &missing)) {
    // Without the table no port can be known to be free.
    KIVO_LOG(LOG_ERR, "cannot read the port table, %s refused", service.c_str());
    return true;
  }
  KivoConf conf;
  int own_port = 0;
  std::vector<std::pair<const char*, int>> others;  // service, stored port
  for (const auto& entry : kConfiguredPorts) {
    int stored = StoredPort(&conf, entry.key, entry.default_port);
    if (service == entry.service) {
      own_port = stored;
    } else {
      others.emplace_back(entry.service, stored);
    }
  }
  for (int port = port_from; port <= port_to; ++port) {
    for (const auto& other : others) {
      if (other.second == port) {
        KIVO_LOG(LOG_WARNING, "port %d of %s is taken by %s", port, service.c_str(), other.first);
        return true;
      }
    }
    std::string holder;
    if (DeclaredByOther(declared, service, port, &holder)) {
      KIVO_LOG(LOG_WARNING, "port %d of %s is taken by %s", port, service.c_str(), holder.c_str());
      return true;
    }
    // The service itself listens on its own port.
    if (port != own_port && (InUse(AF_INET, port) || InUse(AF_INET6, port))) {
      KIVO_LOG(LOG_WARNING, "port %d of %s is in use", port, service.c_str());
      return true;
    }
  }
  return false;
}

}  // namespace

namespace WebUtils {

bool IsPortConflict(const std::string& service, int port_from, int port_to) {
  return kivo::base::Guarded(true, [&] { return Conflict(service, port_from, port_to); });
}

}  // namespace WebUtils
