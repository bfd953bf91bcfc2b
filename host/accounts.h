// The account files of a root: etc/passwd, etc/group and etc/shadow.
//
// The host reads them to log users in and to tell administrators (members of
// the group "administrators") from other users; its commands init, useradd
// and passwd write them. Writers rewrite a file whole through a temporary
// file and rename(2), so a reader never sees half a file. Every operation
// takes the root as its first argument (kivo::Root() in the program), so tests
// can work on a temporary root.

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

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

// True when the root is the system's own ("" or "/"), whose account files the
// host never edits.
bool IsSystemRoot(const std::string& root);

// Absolute path of a system path inside the root ("/etc/passwd" -> ...).
std::string InRoot(const std::string& root, const std::string& system_path);

// Login names the host accepts: [a-z_][a-z0-9_.-]*, at most 32 bytes.
bool IsValidUserName(const std::string& name);

// Looks `name` up in etc/passwd. False when absent or unreadable.
bool LookupAccount(const std::string& root, const std::string& name, Account* account);

// True when `name` is listed in the group "administrators" of etc/group, or
// has it as primary group.
bool IsAdministrator(const std::string& root, const std::string& name);

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

// A fresh hash of `password` (yescrypt, random salt). Empty on failure.
std::string HashPassword(const std::string& password);

// Replaces the hash of `name` in etc/shadow, adding the line when the user has
// none. False on an I/O error or when hashing fails.
bool SetPassword(const std::string& root, const std::string& name, const std::string& password);

// The stored hash of `name` from etc/shadow. False when absent or unreadable.
bool ReadPasswordHash(const std::string& root, const std::string& name, std::string* hash);

// True when `password` matches `hash`. A locked or empty hash ("!", "*", "")
// never matches. Costs one hashing whatever the outcome.
bool CheckPassword(const std::string& password, const std::string& hash);

// A random password of `length` characters from [A-Za-z0-9_-]. Empty when
// the kernel's random source fails.
std::string RandomPassword(size_t length);

}  // namespace host

#endif  // KIVO_HOST_ACCOUNTS_H_
