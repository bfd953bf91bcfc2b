// `kivo-webapi serve`: the web API over HTTP and HTTPS.
//
//   POST   /webapi/auth   {"account","password"}  log in (session cookie)
//   DELETE /webapi/auth                           log out
//   POST   /webapi/entry  {"api","version","method","params"}
//   GET    anything else                          the administration page's files
//
// The event loop (host/http/http_daemon.h) never waits: module calls go to one
// module thread in arrival order, password checks to a small pool that
// takes turns between client networks and their addresses (names that are
// no account are refused after a hash's time, without hashing). HTTPS
// speaks TLS 1.2 and 1.3 with AEAD ciphers unless told otherwise. The login
// name the module sees is always the session's account. Who may call which
// method comes from the module's API table. Refusals by
// the host itself are listed in host/webapi/refusals.h.

#ifndef KIVO_HOST_SERVER_H_
#define KIVO_HOST_SERVER_H_

#include <chrono>
#include <string>
#include <vector>

#include "host/http/http_daemon.h"

namespace host {

struct ServeOptions {
  std::vector<Listen> listens;  // none given: 127.0.0.1:5000, https 127.0.0.1:5001
  std::string tls_cert, tls_key;
  std::vector<std::string> server_names;  // Host names accepted besides ours
  std::vector<std::string> module_paths;  // each module with its descriptor beside it
  std::string www_dir;
  std::chrono::seconds session_idle{15 * 60};
  std::chrono::seconds session_lifetime{12 * 60 * 60};
  HttpLimits limits;
};

// Access-log form of a text: every control byte, space, backslash and byte
// beyond ASCII as \xHH, so that a field never spans or forges a line.
std::string LogEscape(const std::string& text);

}  // namespace host

#endif  // KIVO_HOST_SERVER_H_
