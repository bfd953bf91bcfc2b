// Locking, unlocking and removing accounts, for the page and the command
// line alike: who may be changed is judged in one place (JudgeAccountChange),
// then the account files and the home are changed the way useradd made them.
//
// The judgement reads the account files as they are when the change is made;
// callers that take changes from several clients at once run them one at a
// time, so that two administrators locking each other cannot both pass the
// last-administrator rule. Functions may be called from any thread.

#ifndef KIVO_HOST_ACCOUNT_CHANGES_H_
#define KIVO_HOST_ACCOUNT_CHANGES_H_

#include <string>
#include <vector>

#include "host/accounts/accounts.h"

namespace host {

// What the rules need to know of one account.
struct AccountStanding {
  std::string name;
  bool admin = false;
  AccountBar bar = AccountBar::kNone;  // kNone: it logs in
};

// Every account of the root's etc/passwd, as its standing.
std::vector<AccountStanding> AccountStandings(const std::string& root);

enum class AccountChange { kLock, kUnlock, kRemove };

// Why a change is refused, kNone when it may be made.
enum class ChangeBar {
  kNone,
  kNoSuchAccount,
  kGuest,              // guest serves anonymous requests: nothing to lock, never removed
  kSystemAccount,      // uid below 1000, nobody's or root's group: the system's
  kOwnAccount,         // an administrator neither locks nor removes their own account
  kLastAdministrator,  // no other administrator who can log in would be left
  kFailed,             // the change itself failed (logged)
};

// The rules, over `accounts`: `actor` is the administrator asking ("" for
// root at the command line, who has no account here to lose).
ChangeBar JudgeAccountChange(const std::vector<AccountStanding>& accounts, const std::string& actor,
                             const std::string& target, AccountChange change);

// Judges and locks or unlocks `target`'s password (SetPasswordLocked; in
// the system's root the system's usermod).
ChangeBar LockAccount(const std::string& root, const std::string& actor, const std::string& target,
                      bool locked);

// What became of a removed account's home folder in the homes share.
enum class HomeFate { kKept, kRemoved, kMissing, kNotTheAccounts };
// "kept", "removed", "missing", "not_the_accounts" (a link, a file or a
// folder another account owns stands at its name: kept).
const char* HomeFateName(HomeFate fate);

// Judges and removes `target`: its account lines (RemoveAccountLines; in the
// system's root the system's userdel), and with `remove_home` its home
// folder. The home is opened without following a link, checked to be a
// folder the account owns, and only that very folder is removed
// (base/pinned_dir.h RemoveTree), whatever is put at its name meanwhile.
ChangeBar RemoveAccount(const std::string& root, const std::string& actor,
                        const std::string& target, bool remove_home, HomeFate* home);

}  // namespace host

#endif  // KIVO_HOST_ACCOUNT_CHANGES_H_
