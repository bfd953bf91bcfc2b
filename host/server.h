// `kivo-webapi serve`: the web API over HTTP.
//
//   POST   /webapi/auth   {"account","password"}  log in (session cookie)
//   DELETE /webapi/auth                           log out
//   POST   /webapi/entry  {"api","version","method","params"}
//
// The module is loaded once; every entry call runs under one mutex, since a
// calendar create switches the whole process's credentials and umask. The
// login name the module sees is always the session's account. Who may call
// which method comes from the permission descriptor beside the module.
// Refusals by the host itself are listed in host/refusals.h.

#ifndef KIVO_HOST_SERVER_H_
#define KIVO_HOST_SERVER_H_

#include <chrono>
#include <string>

namespace host {

struct ServeOptions {
  std::string address = "127.0.0.1";
  int port = 5000;  // 0: any free port (announced on stdout)
  std::string module_path;
  std::string descriptor_path;
  std::chrono::seconds session_idle{15 * 60};
  size_t max_body = 64 * 1024;
  int max_login_failures = 5;
  std::chrono::seconds lockout{5 * 60};
  int max_pending_logins = 4;
};

// Serves until SIGINT or SIGTERM. Prints "listening on ADDR:PORT" on stdout
// once it accepts connections. 0 after a clean stop, 1 when it cannot start.
int Serve(const ServeOptions& options);

}  // namespace host

#endif  // KIVO_HOST_SERVER_H_
