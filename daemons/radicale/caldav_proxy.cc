#include "daemons/radicale/caldav_proxy.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "daemons/radicale/caldav_daemon.h"
#include "kivo/log.h"

namespace kivo {
namespace daemons {
namespace {

constexpr char kLogUnit[] = "caldav_proxy";

// Debian's module files, loaded here only when the WebDAV daemon's own
// configuration has not loaded them already.
constexpr char kModules[] =
    "<IfModule !proxy_module>\n"
    "  LoadModule proxy_module /usr/lib/apache2/modules/mod_proxy.so\n"
    "</IfModule>\n"
    "<IfModule !proxy_http_module>\n"
    "  LoadModule proxy_http_module /usr/lib/apache2/modules/mod_proxy_http.so\n"
    "</IfModule>\n"
    "<IfModule !headers_module>\n"
    "  LoadModule headers_module /usr/lib/apache2/modules/mod_headers.so\n"
    "</IfModule>\n"
    "<IfModule !alias_module>\n"
    "  LoadModule alias_module /usr/lib/apache2/modules/mod_alias.so\n"
    "</IfModule>\n";

constexpr char kProxyPassPrefix[] = "ProxyPass /caldav/ http://127.0.0.1:";
constexpr char kCardDAVProxyPassPrefix[] = "ProxyPass /carddav/ http://127.0.0.1:";

// The block below a proxied prefix (caldav or carddav): the daemon's own
// login handling, Apache's WebDAV and authentication off, its Server field
// and a client's X-Remote-User never passed on (see CalDAVProxySection).
std::string ProxiedLocation(const std::string& prefix) {
  return "<Location /" + prefix +
         "/>\n"
         "  ProxyPreserveHost On\n"
         "  RequestHeader set X-Script-Name /" +
         prefix +
         "\n"
         "  RequestHeader unset X-Remote-User\n"
         "  Header unset Server\n"
         "  Header always unset Server\n"
         "  <IfModule dav_module>\n"
         "    Dav Off\n"
         "  </IfModule>\n"
         "  <IfModule authn_core_module>\n"
         "    AuthType None\n"
         "  </IfModule>\n"
         "  <IfModule authz_core_module>\n"
         "    Require all granted\n"
         "  </IfModule>\n"
         "</Location>\n";
}

// The address books, at /carddav/, as the calendars are at /caldav/ (see
// CalDAVProxySection) but for one thing: they go to the daemon's own
// /carddav/, a worker of their own, so that neither prefix's
// ProxyPassReverse maps the other's answers; the daemon strips the prefix
// when X-Script-Name names it.
std::string CardDAVProxyLines(const std::string& backend) {
  return "# CardDAV: the address books, served by the same daemon.\n"
         "RedirectMatch 301 ^/carddav$ /carddav/\n"
         "Redirect 301 /.well-known/carddav /carddav/\n"
         "KivoDavProxied /carddav/\n" +
         std::string(kCardDAVProxyPassPrefix) + backend +
         "carddav/ retry=0 disablereuse=On\n"
         "ProxyPassReverse /carddav/ http://127.0.0.1:" +
         backend + "carddav/\n" + ProxiedLocation("carddav");
}

}  // namespace

int ProxiedCalDAVPort(const std::string& webdav_conf) {
  for (const char* prefix : {kProxyPassPrefix, kCardDAVProxyPassPrefix}) {
    const size_t at = webdav_conf.find(prefix);
    if (at != std::string::npos) return std::atoi(webdav_conf.c_str() + at + strlen(prefix));
  }
  return 0;
}

std::string CalDAVProxySection() {
  if (!CalDAVDaemonWanted()) return "";
  const int port = CalDAVDaemonPort();
  if (port == 0) {
    KIVO_LOG(LOG_ERR, "no CalDAV proxy: the CalDAV daemon has no port");
    return "";
  }
  const std::string token_file = CalDAVDoorTokenFile();
  if (token_file.empty()) {
    KIVO_LOG(LOG_ERR, "no CalDAV proxy: the CalDAV door's token cannot be made");
    return "";
  }
  const std::string backend = std::to_string(port) + "/";
  const std::string token = "KivoDavProxyToken \"" + token_file + "\"\n";
  // mod_kivo_dav checks every /caldav/ login as it checks WebDAV's (the
  // one reader, the brake, no guest) and hands the request on as the
  // verified account, in a field that carries the token only root and the
  // CalDAV daemon read, without the password (KivoDavProxied); the daemon
  // takes logins from nowhere else, so a local process reaching its
  // loopback port gets nothing. Apache's own authentication and WebDAV stay
  // off below /caldav/. The daemon's Server field never reaches a client
  // (Apache names itself instead). X-Script-Name makes
  // every href the daemon writes start with /caldav/; a client's own
  // X-Script-Name or X-Remote-User never reaches it. The client's Host goes
  // through, so that the Destination of a MOVE names the daemon's own
  // server. An `Expect: 100-continue` goes through too: the daemon answers
  // "100 Continue" as it starts reading the body, and the proxy relays it.
  // The daemon answers one request per connection: a connection it closed
  // must never be taken again for the next request (a race Apache loses
  // under parallel clients, as 502), so none is kept.
  const std::string books = CardDAVSwitchedOn() ? CardDAVProxyLines(backend) : "";
  if (!CalDAVSwitchedOn()) return kModules + token + books;
  return std::string("# CalDAV: the calendars, served by the CalDAV daemon on loopback.\n") +
         kModules + token + books +
         "RedirectMatch 301 ^/caldav$ /caldav/\n"
         "Redirect 301 /.well-known/caldav /caldav/\n" +
         "KivoDavProxied /caldav/\n" + kProxyPassPrefix + backend +
         " retry=0 disablereuse=On\n"
         "ProxyPassReverse /caldav/ http://127.0.0.1:" +
         backend + "\n" + ProxiedLocation("caldav");
}

bool AfterWebDAVDaemonChange(bool webdav_running) {
  if (!webdav_running || !CalDAVDaemonWanted()) return StopCalDAVDaemon();
  return StartCalDAVDaemon();
}

}  // namespace daemons
}  // namespace kivo
