// init, useradd, passwd, usermod and userdel: the commands that lay out a root and manage its
// accounts.

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "host/accounts/accounts.h"
#include "host/cli/cli.h"
#include "host/common/decimal.h"
#include "host/common/root_paths.h"
#include "host/hosting/account_changes.h"
#include "host/hosting/root_layout.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"
#include "platform/accounts.h"

namespace {

constexpr char kLogUnit[] = "account_commands";

}  // namespace

namespace host {

namespace {

// One line of standard input without its line end; false at its end.
bool ReadLine(std::string* line) {
  if (!std::getline(std::cin, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// Standard input's echo off while it lives, restored however the line ends.
class NoEcho {
 public:
  NoEcho() : on_(tcgetattr(STDIN_FILENO, &saved_) == 0) {
    if (!on_) return;
    struct termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    on_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~NoEcho() {
    if (on_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  NoEcho(const NoEcho&) = delete;
  NoEcho& operator=(const NoEcho&) = delete;

 private:
  struct termios saved_;
  bool on_;
};

// The new password: from a terminal asked twice without echo, else the first
// line of standard input (a pipe, a file), as scripts give it.
bool ReadNewPassword(const std::string& name, std::string* password) {
  const auto read = [](std::string* line) {
    if (ReadLine(line)) return true;
    KIVO_LOG(LOG_WARNING, "no password given; nothing changed");
    return false;
  };
  if (!isatty(STDIN_FILENO)) return read(password);
  NoEcho quiet;
  std::fprintf(stderr, "New password for %s: ", name.c_str());
  std::string again;
  if (!read(password)) return false;
  std::fprintf(stderr, "Retype the new password: ");
  if (!read(&again)) return false;
  if (again != *password) {
    KIVO_LOG(LOG_WARNING, "the passwords differ; nothing changed");
    return false;
  }
  return true;
}

}  // namespace

int RunInit(const Args& args) {
  ParsedArgs parsed;
  if (!ParseArgs(args, {"--admin-password-file"}, {}, &parsed) || !parsed.positional.empty()) {
    return Usage("init [--admin-password-file FILE]");
  }
  return InitRoot(kivo::Root(), parsed.Get("--admin-password-file", ""));
}

int RunUserAdd(const Args& args) {
  ParsedArgs parsed;
  long uid = 0;
  if (!ParseArgs(args, {"--uid"}, {"--admin"}, &parsed) || parsed.positional.size() != 1 ||
      (parsed.Has("--uid") &&
       (!ParseDecimal(parsed.Get("--uid", ""), &uid) || uid <= 0 || uid > 2147483647L))) {
    return Usage("useradd NAME [--uid N] [--admin]");
  }
  // A running WebDAV daemon finds the account at its first login.
  return AddUser(kivo::Root(), parsed.positional[0], static_cast<uid_t>(uid),
                 parsed.Has("--admin"));
}

int RunPasswd(const Args& args) {
  ParsedArgs parsed;
  if (!ParseArgs(args, {}, {}, &parsed) || parsed.positional.size() != 1) {
    return Usage("passwd NAME  (new password from a terminal or stdin)");
  }
  const std::string root = kivo::Root();
  const std::string& name = parsed.positional[0];
  if (IsSystemRoot(root)) {
    KIVO_LOG(LOG_WARNING, "refusing to edit the system's account files; use the system's tools");
    return kExitFailed;
  }
  if (name == kGuestAccount) {
    KIVO_LOG(LOG_WARNING, "%s has no password: it serves anonymous WebDAV requests only",
             kGuestAccount);
    return kExitFailed;
  }
  std::string password;
  if (!ReadNewPassword(name, &password)) return kExitFailed;
  // The page's rules: a password set here is one the page would have taken.
  if (!MeetsPasswordRules(password, name)) {
    KIVO_LOG(LOG_WARNING,
             "password refused: %d to %d characters, no control characters, not the name",
             kMinPasswordChars, kMaxPasswordChars);
    return kExitFailed;
  }
  // The platform refuses (and logs) a name that etc/passwd does not know.
  return kivo::SetPassword(name, password) == 0 ? kExitOk : kExitFailed;
}

namespace {

// The refusal in words; kExitOk when there was none.
int ChangeExit(ChangeBar bar, const std::string& name) {
  switch (bar) {
    case ChangeBar::kNone:
      return kExitOk;
    case ChangeBar::kNoSuchAccount:
      KIVO_LOG(LOG_WARNING, "no account %s", name.c_str());
      break;
    case ChangeBar::kGuest:
    case ChangeBar::kSystemAccount:
      KIVO_LOG(LOG_WARNING, "%s is not an account of the services; use the system's tools",
               name.c_str());
      break;
    case ChangeBar::kOwnAccount:  // root has no account here
    case ChangeBar::kLastAdministrator:
      KIVO_LOG(LOG_WARNING,
               "%s is the last administrator who can log in; make or unlock another first",
               name.c_str());
      break;
    case ChangeBar::kFailed:
      break;  // logged where it failed
  }
  return kExitFailed;
}

}  // namespace

int RunUserMod(const Args& args) {
  ParsedArgs parsed;
  if (!ParseArgs(args, {}, {"--lock", "--unlock"}, &parsed) || parsed.positional.size() != 1 ||
      parsed.Has("--lock") == parsed.Has("--unlock")) {
    return Usage("usermod NAME (--lock | --unlock)");
  }
  const std::string& name = parsed.positional[0];
  const bool lock = parsed.Has("--lock");
  // A running WebDAV daemon reads the locked hash at the next login; the
  // page's sessions see the file change at their next request.
  return ChangeExit(LockAccount(kivo::Root(), "", name, lock), name);
}

int RunUserDel(const Args& args) {
  ParsedArgs parsed;
  if (!ParseArgs(args, {}, {"--remove-home"}, &parsed) || parsed.positional.size() != 1) {
    return Usage("userdel NAME [--remove-home]");
  }
  const std::string& name = parsed.positional[0];
  HomeFate home = HomeFate::kKept;
  const int exit =
      ChangeExit(RemoveAccount(kivo::Root(), "", name, parsed.Has("--remove-home"), &home), name);
  if (exit == kExitOk) std::printf("%s removed, home %s\n", name.c_str(), HomeFateName(home));
  return exit;
}

}  // namespace host
