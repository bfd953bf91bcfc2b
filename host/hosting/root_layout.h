// Lays out a root: the directories, configuration files and accounts that
// the module and the platform library expect to find.
//
// Every step only adds what is missing, so running it again on a root in use
// keeps its configuration, passwords and folders. In the system's own root
// ("/") the account files belong to the operating system and are left alone.

#ifndef KIVO_HOST_ROOT_LAYOUT_H_
#define KIVO_HOST_ROOT_LAYOUT_H_

#include <sys/types.h>

#include <string>

#include "host/accounts/accounts.h"

namespace host {

// `kivo-webapi init`. `admin_password_file` (may be empty) holds the admin
// password on its first line; without it a random password is generated and
// printed once on stdout. 0 on success, 1 on failure (logged).
int InitRoot(const std::string& root, const std::string& admin_password_file);

// Why `name` cannot be a new account (kNone when it can), with *why in the
// words useradd logs: the page and the command refuse alike.
enum class NewNameBar { kNone, kInvalid, kReserved, kExists };
NewNameBar JudgeNewAccountName(const std::string& name, std::string* why);

// `kivo-webapi useradd`: a passwd line (primary group "users"), a locked
// shadow line and a home folder in the homes share owned by the user, 0700;
// `admin` also lists the user in "administrators". `uid` 0 picks the next
// free uid from 1024 up. In the system's root the system's useradd writes
// the account files (its uid range, shell nologin). 0 on success, 1 on
// failure (logged).
int AddUser(const std::string& root, const std::string& name, uid_t uid, bool admin);

// An account's home in the homes share (the folder named after it there;
// the home field of etc/passwd plays no part), as the accounts list tells it.
enum class HomeState { kPrivate, kMissing, kReadable, kNotOwned, kNotAFolder };
HomeState HomeStateOf(const std::string& root, const Account& account);
// "private", "missing", "readable", "not_owned", "not_a_folder".
const char* HomeStateName(HomeState state);

// Makes the account's home in the homes share when it is missing and gives
// it to the account, 0700, through descriptors: a link put in its place is
// never followed. False on failure (logged).
bool MakePrivateHome(const std::string& root, const Account& account);

}  // namespace host

#endif  // KIVO_HOST_ROOT_LAYOUT_H_
