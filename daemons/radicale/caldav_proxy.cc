#include "daemons/radicale/caldav_proxy.h"

#include <errno.h>

#include <cstdlib>
#include <string>

#include "base/last_error.h"
#include "base/root_files.h"
#include "daemons/httpd/webdav_config.h"
#include "daemons/httpd/webdav_daemon.h"
#include "daemons/httpd/webdav_observer.h"
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

// The port the WebDAV daemon's written configuration proxies /caldav/ to;
// 0 when it carries no proxy section.
int ProxiedPort() {
  std::string text;
  bool missing = false;
  if (!base::ReadWholeFile(WebDAVConfPath(), &text, &missing) || missing) return 0;
  const size_t at = text.find(kProxyPassPrefix);
  if (at == std::string::npos) return 0;
  return std::atoi(text.c_str() + at + sizeof kProxyPassPrefix - 1);
}

// What the WebDAV daemon tells and asks the CalDAV side.
class CalDAVBehindWebDAV : public WebDAVDaemonObserver {
 public:
  std::string ServerSection() override { return CalDAVProxySection(); }
  // A failure is logged where it happens and does not fail the WebDAV
  // daemon's operation.
  void WebDAVDaemonChanged(bool running) override { AfterWebDAVDaemonChange(running); }
};

// Registered as libkivo loads, so that every program that can run the
// WebDAV daemon has the CalDAV daemon follow it. libkivo links this unit
// whole (an object library, never an archive member left out). Never
// destroyed: a daemon may be stopped while the program exits.
struct Registration {
  Registration() { AddWebDAVDaemonObserver(new CalDAVBehindWebDAV()); }
} registration;

}  // namespace

std::string CalDAVProxySection() {
  if (!CalDAVSwitchedOn()) return "";
  const int port = CalDAVDaemonPort();
  if (port == 0) {
    KIVO_LOG("no CalDAV proxy: the CalDAV daemon has no port");
    return "";
  }
  const std::string backend = std::to_string(port) + "/";
  // The CalDAV daemon checks the client's credentials itself (the
  // Authorization header passes through untouched), so Apache neither
  // authenticates nor serves WebDAV below /caldav/. X-Script-Name makes
  // every href the daemon writes start with /caldav/; a client's own
  // X-Script-Name or X-Remote-User never reaches it. The client's Host goes
  // through, so that the Destination of a MOVE names the daemon's own
  // server. An `Expect: 100-continue` goes through too: the daemon answers
  // "100 Continue" as it starts reading the body, and the proxy relays it.
  // The daemon answers one request per connection: a connection it closed
  // must never be taken again for the next request (a race Apache loses
  // under parallel clients, as 502), so none is kept.
  return std::string("# CalDAV: the calendars, served by the CalDAV daemon on loopback.\n") +
         kModules +
         "RedirectMatch 301 ^/caldav$ /caldav/\n"
         "Redirect 301 /.well-known/caldav /caldav/\n" +
         kProxyPassPrefix + backend +
         " retry=0 disablereuse=On\n"
         "ProxyPassReverse /caldav/ http://127.0.0.1:" +
         backend +
         "\n"
         "<Location /caldav/>\n"
         "  ProxyPreserveHost On\n"
         "  RequestHeader set X-Script-Name /caldav\n"
         "  RequestHeader unset X-Remote-User\n"
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

bool AfterWebDAVDaemonChange(bool webdav_running) {
  if (!webdav_running || !CalDAVSwitchedOn()) return StopCalDAVDaemon();
  if (!StartCalDAVDaemon()) return false;
  // The configuration the WebDAV daemon runs with named the port recorded
  // when it was written. Were that port taken since, the CalDAV daemon has
  // started on another, and the proxy would hand the clients' passwords to
  // whoever holds the old one: the WebDAV daemon is reloaded once to name
  // the new port (the reload comes back here and finds them agreeing).
  const int port = CalDAVDaemonStatus().port;
  const int proxied = ProxiedPort();
  if (port == proxied || WebDAVDaemonPid() == 0) return true;
  static thread_local bool reloading = false;
  if (reloading) {
    base::SetLastError(EADDRINUSE);
    KIVO_LOG("the WebDAV daemon proxies /caldav/ to port %d, the CalDAV daemon listens on %d",
             proxied, port);
    return false;
  }
  KIVO_LOG("the CalDAV daemon listens on port %d, not %d; reloading the WebDAV daemon", port,
           proxied);
  reloading = true;
  const bool reloaded = WebDAVDaemonReload();
  reloading = false;
  if (!reloaded) KIVO_LOG("the WebDAV daemon could not be reloaded for the CalDAV daemon's port");
  return reloaded;
}

}  // namespace daemons
}  // namespace kivo
