// The accounts of a root, as the host's commands and server need them.
//
// Lookups, administrator membership and passwords are the platform's
// (libkivo, reading kivo::Root()'s etc/passwd, etc/group and etc/shadow);
// this file adapts its C lookups and keeps what only the host does: add the
// lines of new accounts for init and useradd. Those writers lock and replace
// a file whole the way the platform's own writers do, so a reader never sees
// half a file and a concurrent password change is not lost.
//
// The one door of the host's accounts room: the other rooms include this
// header and no other of it. Its functions may be called from any thread.

#ifndef KIVO_HOST_ACCOUNTS_H_
#define KIVO_HOST_ACCOUNTS_H_

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/fd.h"

namespace host {

constexpr gid_t kUsersGid = 100;
constexpr gid_t kAdministratorsGid = 101;
constexpr uid_t kFirstUserUid = 1024;
constexpr char kAdministratorsGroup[] = "administrators";
// Who anonymous WebDAV requests run as: no password, never a web API login.
constexpr char kGuestAccount[] = "guest";
constexpr uid_t kGuestUid = 1023;
// The lowest uid the WebDAV and CalDAV daemons serve: below it, the system's.
constexpr uid_t kFirstServedUid = 1000;
// nobody's, above it and never served: the WebDAV daemon idles as nobody.
constexpr uid_t kNobodyUid = 65534;

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

// Why the WebDAV and CalDAV daemons refuse an account, kNone when they serve
// it (given a password). The order is the order they are judged in.
enum class AccountBar { kNone, kGuest, kSystemUid, kGroupRoot, kLocked, kNoPassword };

// The bar of `account` whose etc/shadow hash is `hash` ("" without a line).
// Locked means a hash an administrator disabled ("!$..."); an account that
// never had a password ("!", "*", "") has kNoPassword, and may be given one.
AccountBar BarOf(const Account& account, const std::string& hash);
// The bar's name on the web API: "", "guest", "system_uid", "group_root",
// "locked", "no_password".
const char* BarName(AccountBar bar);

// Login names the host accepts: [a-z_][a-z0-9_.-]*, at most 32 bytes.
bool IsValidUserName(const std::string& name);

// Why `name` may not become an account, or nullptr when it may: the services
// read these names as path segments (the shares "homes" and "public", the
// "caldav" and "carddav" trees, the page's "webapi"; the module reads the
// registry's home entries differently once an account "homes" exists), or
// they belong to the system's own accounts (a fixed list of the
// distribution's, and any of the machine's below uid 1000 or "nobody").
const char* ReservedNameReason(const std::string& name);

// The rules a new password must meet, which the page states before it is
// sent: 8 to 256 characters (UTF-8), no control characters, not the
// account's name.
constexpr int kMinPasswordChars = 8;
constexpr int kMaxPasswordChars = 256;
bool MeetsPasswordRules(const std::string& password, const std::string& account);

// Looks `name` up in etc/passwd. False when absent or unreadable.
bool LookupAccount(const std::string& name, Account* account);

// True when `name` is listed in the group "administrators" of etc/group, or
// has it as primary group.
bool IsAdministrator(const std::string& name);

// Every account of etc/passwd, in the file's order (none when unreadable).
std::vector<Account> ListAccounts(const std::string& root);

// The groups `account` acts with, as the WebDAV and CalDAV daemons give
// them: its primary group, then every group of etc/group listing it; root's
// group never.
std::vector<gid_t> GroupsOf(const std::string& root, const Account& account);

// True when `account` with `groups` may list the folder `path`: read and
// search on it, search on every folder above it, by the permission bits
// (owner, group, others; access control lists are not read).
bool MayOpenFolder(const std::string& path, const Account& account,
                   const std::vector<gid_t>& groups);

// The account files' lines of a new root, each only where its file lacks
// it: the groups root, users and administrators (admin a member), the
// accounts root, admin and guest, and the locked shadow lines of root and
// guest. False on an I/O error (logged).
bool WriteFirstAccounts(const std::string& root);

// The lines of a new account: etc/passwd (primary group "users", its home in
// the homes share), a locked etc/shadow line, and with `admin` its place in
// "administrators". `uid` 0 picks the next free uid from 1024 up. False when
// `uid` is taken or on an I/O error (logged).
bool WriteNewAccount(const std::string& root, const std::string& name, uid_t uid, bool admin);

// Puts a "!" before the etc/shadow hash of `name`, or takes it away: the
// locked form every door already refuses (BarOf). The hash itself stays, so
// unlocking gives the account back its password. An account without a
// password ("!", "*", "") is left as it is, refused either way. False when
// `name` has no shadow line, or on an I/O error (logged).
bool SetPasswordLocked(const std::string& root, const std::string& name, bool locked);

// Removes the lines of `name` from the account files: its etc/shadow line,
// then its place in every group's member list, then its etc/passwd line.
// In that order a removal cut short leaves an account without a password,
// never lines a later account of the same name would inherit (a password,
// "administrators"). False on an I/O error (logged).
bool RemoveAccountLines(const std::string& root, const std::string& name);

// A number that changes whenever one of the root's account files (etc/passwd,
// etc/shadow, etc/group) is written, replaced or removed: sessions compare it
// with the one their grant was confirmed at, and look again when it moved.
//
// The number comes from an inotify watch on the root's etc folder, read
// without waiting on every question: the kernel queues an event before the
// write that caused it returns, so a change made before a request came in is
// always counted. Where no watch can be set, each question stats the three
// files instead. Thread-safe; owns its inotify descriptor and nothing else.
class AccountsVersion {
 public:
  explicit AccountsVersion(const std::string& root);
  ~AccountsVersion();
  AccountsVersion(const AccountsVersion&) = delete;
  AccountsVersion& operator=(const AccountsVersion&) = delete;

  uint64_t Current();

 private:
  bool DrainEvents();  // false once the watch can no longer be trusted
  uint64_t FromStats() const;

  const std::string etc_;
  std::mutex mu_;
  kivo::base::Fd fd_;  // the inotify descriptor; none: stat the files
  uint64_t changes_ = 0;
};

}  // namespace host

#endif  // KIVO_HOST_ACCOUNTS_H_
