// The accounts of a root, as the host's commands and server need them.
//
// Lookups, administrator membership and passwords are the platform's
// (libkivo, reading kivo::Root()'s etc/passwd, etc/group and etc/shadow);
// this file adapts its C lookups and keeps what only the host does: add the
// lines of new accounts for init and useradd. Those writers lock and replace
// a file whole the way the platform's own writers do, so a reader never sees
// half a file and a concurrent password change is not lost.

#ifndef KIVO_HOST_ACCOUNTS_H_
#define KIVO_HOST_ACCOUNTS_H_

#include <sys/types.h>

#include <string>
#include <vector>

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

// True when the root is the system's own ("" or "/"), whose account files the
// host never edits.
bool IsSystemRoot(const std::string& root);

// Absolute path of a system path inside the root ("/etc/passwd" -> ...).
std::string InRoot(const std::string& root, const std::string& system_path);

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

// Uids used in etc/passwd (empty when the file is missing).
std::vector<uid_t> UsedUids(const std::string& root);

// Appends a line to an account file unless a line for `name` (its first
// field) is there already. *added tells which happened. Creates the file with
// `mode` when missing. False on an I/O error (logged).
bool EnsureEntry(const std::string& path, const std::string& name, const std::string& line,
                 mode_t mode, bool* added);

// Adds `member` to the member list of `group` in etc/group (no-op when it is
// listed). False when the group is missing or on an I/O error.
bool AddGroupMember(const std::string& root, const std::string& group, const std::string& member);

}  // namespace host

#endif  // KIVO_HOST_ACCOUNTS_H_
