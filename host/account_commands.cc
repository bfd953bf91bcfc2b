// init, useradd and passwd: the commands that lay out a root and manage its
// accounts.

#include <iostream>
#include <string>

#include "host/accounts.h"
#include "host/cli.h"
#include "host/host_log.h"
#include "host/root_layout.h"
#include "kivo/kivo_paths.h"
#include "platform/accounts.h"

namespace host {

int RunInit(const Args& args) {
  ParsedArgs parsed;
  if (!ParseArgs(args, {"--admin-password-file"}, {}, &parsed) || !parsed.positional.empty()) {
    HOST_LOG("usage: kivo-webapi init [--admin-password-file FILE]");
    return kExitUsage;
  }
  return InitRoot(kivo::Root(), parsed.Get("--admin-password-file", ""));
}

int RunUserAdd(const Args& args) {
  ParsedArgs parsed;
  long uid = 0;
  if (!ParseArgs(args, {"--uid"}, {"--admin"}, &parsed) || parsed.positional.size() != 1 ||
      (parsed.Has("--uid") &&
       (!ParseDecimal(parsed.Get("--uid", ""), &uid) || uid <= 0 || uid > 2147483647L))) {
    HOST_LOG("usage: kivo-webapi useradd NAME [--uid N] [--admin]");
    return kExitUsage;
  }
  // A running WebDAV daemon finds the account at its first login.
  return AddUser(kivo::Root(), parsed.positional[0], static_cast<uid_t>(uid),
                 parsed.Has("--admin"));
}

int RunPasswd(const Args& args) {
  ParsedArgs parsed;
  if (!ParseArgs(args, {}, {}, &parsed) || parsed.positional.size() != 1) {
    HOST_LOG("usage: kivo-webapi passwd NAME  (new password on stdin)");
    return kExitUsage;
  }
  const std::string root = kivo::Root();
  const std::string& name = parsed.positional[0];
  if (IsSystemRoot(root)) {
    HOST_LOG("refusing to edit the system's account files; use the system's tools");
    return kExitFailed;
  }
  if (name == kGuestAccount) {
    HOST_LOG("%s has no password: it serves anonymous WebDAV requests only", kGuestAccount);
    return kExitFailed;
  }
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    HOST_LOG("empty password");
    return kExitFailed;
  }
  // The platform refuses (and logs) a name that etc/passwd does not know.
  return kivo::SetPassword(name, password) == 0 ? kExitOk : kExitFailed;
}

}  // namespace host
