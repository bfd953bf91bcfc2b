#include "platform/daemon_hooks.h"

#include <string>

#include "module/kivo_platform.h"
#include "module/log.h"
#include "platform/caldav_daemon.h"

namespace platform {
namespace {

constexpr char kLogUnit[] = "daemon_hooks";

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

bool CalDAVSwitchedOn() {
  KivoConf conf;
  return std::string(conf.Info("runCalDav", "")) == "yes";
}

}  // namespace

std::string CalDAVProxySection() {
  if (!CalDAVSwitchedOn()) return "";
  std::string error;
  const int port = CalDAVDaemonPort(&error);
  if (port == 0) {
    KIVO_LOG("no CalDAV proxy: %s", error.c_str());
    return "";
  }
  const std::string backend = "http://127.0.0.1:" + std::to_string(port) + "/";
  // The CalDAV daemon checks the client's credentials itself (the
  // Authorization header passes through untouched), so Apache neither
  // authenticates nor serves WebDAV below /caldav/. X-Script-Name makes
  // every href the daemon writes start with /caldav/; a client's own
  // X-Script-Name or X-Remote-User never reaches it.
  return std::string("# CalDAV: the calendars, served by the CalDAV daemon on loopback.\n") +
         kModules +
         "RedirectMatch 301 ^/caldav$ /caldav/\n"
         "Redirect 301 /.well-known/caldav /caldav/\n"
         "ProxyPass /caldav/ " +
         backend +
         " retry=0\n"
         "ProxyPassReverse /caldav/ " +
         backend +
         "\n"
         "<Location /caldav/>\n"
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

bool AfterWebDAVDaemonChange(bool webdav_running, std::string* error) {
  if (webdav_running && CalDAVSwitchedOn()) return StartCalDAVDaemon(error);
  return StopCalDAVDaemon(error);
}

}  // namespace platform
