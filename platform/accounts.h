// Passwords of the platform's user accounts.
//
// Accounts live in the root's etc/passwd, etc/group and etc/shadow in their
// standard formats. The host checks a login against the shadow hash and sets
// new passwords through these calls; account lookups for the module are
// the KIVOUserGet / KLIBGroupIsAdminGroupMem operations.

#ifndef KIVO_PLATFORM_ACCOUNTS_H_
#define KIVO_PLATFORM_ACCOUNTS_H_

#include <string>

namespace kivo {

// True when `password` matches the hash of `user` in etc/shadow. False for
// an unknown user, a locked or empty hash, or a file that cannot be read.
// Costs one hashing whatever the outcome, so a refusal tells nothing about
// why it came.
bool VerifyPassword(const std::string& user, const std::string& password);

// The two halves of VerifyPassword, for a caller that must read etc/shadow
// under a lock of its own but should not hold that lock while hashing.
// ReadPasswordHash: the stored hash of `user`; false when there is no line
// for the user or the file cannot be read.
bool ReadPasswordHash(const std::string& user, std::string* hash);
// PasswordMatches: true when `password` matches `hash`. An empty, locked
// ("!...") or disabled ("*") hash matches nothing, yet costs a hashing.
bool PasswordMatches(const std::string& password, const std::string& hash);

// Replaces the hash of `user` (an account of etc/passwd) in etc/shadow with
// a fresh yescrypt (or, where unavailable, SHA-512) hash of `password`; adds
// the user's shadow line when there is none. Every other line is kept.
// 0 on success, -1 on failure.
int SetPassword(const std::string& user, const std::string& password);

}  // namespace kivo

#endif  // KIVO_PLATFORM_ACCOUNTS_H_
