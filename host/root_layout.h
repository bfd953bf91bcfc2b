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

namespace host {

// `kivo-webapi init`. `admin_password_file` (may be empty) holds the admin
// password on its first line; without it a random password is generated and
// printed once on stdout. 0 on success, 1 on failure (logged).
int InitRoot(const std::string& root, const std::string& admin_password_file);

// `kivo-webapi useradd`: a passwd line (primary group "users"), a locked
// shadow line and a home folder owned by the user; `admin` also lists the
// user in "administrators". `uid` 0 picks the next free uid from 1024 up.
// 0 on success, 1 on failure (logged).
int AddUser(const std::string& root, const std::string& name, uid_t uid, bool admin);

}  // namespace host

#endif  // KIVO_HOST_ROOT_LAYOUT_H_
