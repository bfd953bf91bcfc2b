#include "host/hosting/account_changes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/fd.h"
#include "base/pinned_dir.h"
#include "base/process.h"
#include "host/common/root_paths.h"
#include "kivo/log.h"
#include "platform/accounts.h"

namespace {

constexpr char kLogUnit[] = "account_changes";

}  // namespace

namespace host {

namespace {

const AccountStanding* Find(const std::vector<AccountStanding>& accounts, const std::string& name) {
  for (const AccountStanding& a : accounts) {
    if (a.name == name) return &a;
  }
  return nullptr;
}

// The system's userdel removes the account's lines in the system's root,
// with its own locks, as the system's useradd made them; the home is ours.
bool SystemUserDel(const std::string& name) {
  std::string output;
  const int status = kivo::base::RunCaptured({"/usr/sbin/userdel", name}, &output);
  if (status != 0) {
    KIVO_LOG(LOG_ERR, "userdel %s failed (%d): %s", name.c_str(), status, output.c_str());
  }
  return status == 0;
}

// In the system's root its usermod locks and unlocks, under the system
// tools' own lock, with the same "!" before the hash.
bool SystemUserMod(const std::string& name, bool locked) {
  std::string output;
  const int status =
      kivo::base::RunCaptured({"/usr/sbin/usermod", locked ? "--lock" : "--unlock", name}, &output);
  if (status != 0) {
    KIVO_LOG(LOG_ERR, "usermod %s failed (%d): %s", name.c_str(), status, output.c_str());
  }
  return status == 0;
}

// False on failure (logged), *fate saying what is left.
bool RemoveHome(const std::string& root, const Account& account, HomeFate* fate) {
  namespace pinned = kivo::base::pinned;
  const char* name = account.name.c_str();
  *fate = HomeFate::kMissing;
  const kivo::base::Fd homes(open(InRoot(root, "/volume1/homes").c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!homes.valid() || fstatat(homes.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return true;
    KIVO_LOG(LOG_ERR, "cannot look at the home %s: %s", name, strerror(errno));
    return false;
  }
  // The folder judged is the one removed: a link or another's folder put at
  // the name after the look is never what goes.
  const kivo::base::Fd home = pinned::OpenChild(homes.get(), name);
  if (!home.valid() || fstat(home.get(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      st.st_uid != account.uid) {
    *fate = HomeFate::kNotTheAccounts;
    return true;
  }
  *fate = HomeFate::kKept;
  if (!pinned::RemoveTree(homes.get(), name, home)) {
    KIVO_LOG(LOG_ERR, "cannot remove the home %s: %s", name, strerror(errno));
    return false;
  }
  *fate = HomeFate::kRemoved;
  return true;
}

}  // namespace

std::vector<AccountStanding> AccountStandings(const std::string& root) {
  std::vector<AccountStanding> standings;
  for (const Account& account : ListAccounts(root)) {
    std::string hash;
    if (!kivo::ReadPasswordHash(account.name, &hash)) hash.clear();
    standings.push_back({account.name, IsAdministrator(account.name), BarOf(account, hash)});
  }
  return standings;
}

ChangeBar JudgeAccountChange(const std::vector<AccountStanding>& accounts, const std::string& actor,
                             const std::string& target, AccountChange change) {
  const AccountStanding* who = Find(accounts, target);
  if (who == nullptr) return ChangeBar::kNoSuchAccount;
  // The bar of the first line: the one every door reads.
  if (who->bar == AccountBar::kGuest) return ChangeBar::kGuest;
  if (who->bar == AccountBar::kSystemUid || who->bar == AccountBar::kGroupRoot) {
    return ChangeBar::kSystemAccount;
  }
  if (change == AccountChange::kUnlock) return ChangeBar::kNone;
  if (target == actor) return ChangeBar::kOwnAccount;
  if (!who->admin) return ChangeBar::kNone;
  for (const AccountStanding& other : accounts) {
    if (other.name != target && other.admin && other.bar == AccountBar::kNone) {
      return ChangeBar::kNone;
    }
  }
  return ChangeBar::kLastAdministrator;
}

ChangeBar LockAccount(const std::string& root, const std::string& actor, const std::string& target,
                      bool locked) {
  const ChangeBar bar = JudgeAccountChange(AccountStandings(root), actor, target,
                                           locked ? AccountChange::kLock : AccountChange::kUnlock);
  if (bar != ChangeBar::kNone) return bar;
  const bool done =
      IsSystemRoot(root) ? SystemUserMod(target, locked) : SetPasswordLocked(root, target, locked);
  return done ? ChangeBar::kNone : ChangeBar::kFailed;
}

const char* HomeFateName(HomeFate fate) {
  switch (fate) {
    case HomeFate::kKept:
      return "kept";
    case HomeFate::kRemoved:
      return "removed";
    case HomeFate::kMissing:
      return "missing";
    case HomeFate::kNotTheAccounts:
      return "not_the_accounts";
  }
  return "";
}

ChangeBar RemoveAccount(const std::string& root, const std::string& actor,
                        const std::string& target, bool remove_home, HomeFate* home) {
  *home = HomeFate::kKept;
  const ChangeBar bar =
      JudgeAccountChange(AccountStandings(root), actor, target, AccountChange::kRemove);
  if (bar != ChangeBar::kNone) return bar;
  Account account;
  if (!LookupAccount(target, &account)) return ChangeBar::kNoSuchAccount;
  const bool removed =
      IsSystemRoot(root) ? SystemUserDel(target) : RemoveAccountLines(root, target);
  if (!removed) return ChangeBar::kFailed;
  // Once no door serves the account, its folder goes: never a home emptied
  // under a client still writing in it.
  if (remove_home && !RemoveHome(root, account, home)) return ChangeBar::kFailed;
  return ChangeBar::kNone;
}

}  // namespace host
