// Passwords of the platform's user accounts.
//
// Accounts live in the root's etc/passwd, etc/group and etc/shadow in their
// standard formats. The host checks a login against the shadow hash and sets
// new passwords through these two calls; account lookups for the module are
// the KIVOUserGet / KLIBGroupIsAdminGroupMem operations.

#ifndef KIVO_PLATFORM_ACCOUNTS_H_
#define KIVO_PLATFORM_ACCOUNTS_H_

#include <string>

namespace kivo {

// True when `password` matches the hash of `user` in etc/shadow. False for
// an unknown user, a locked or empty hash, or a file that cannot be read.
bool VerifyPassword(const std::string& user, const std::string& password);

// Replaces the hash of `user` (an account of etc/passwd) in etc/shadow with
// a fresh yescrypt (or, where unavailable, SHA-512) hash of `password`; adds
// the user's shadow line when there is none. Every other line is kept.
// 0 on success, -1 on failure.
int SetPassword(const std::string& user, const std::string& password);

}  // namespace kivo

#endif  // KIVO_PLATFORM_ACCOUNTS_H_
