/* The accounts the WebDAV daemon serves, read from a root's etc/passwd and
 * etc/shadow at the moment a login is checked: a new account or a changed
 * password counts at once, without a reload.
 *
 * The rules are those the daemon's configuration is written with: not uid
 * 0, not guest, a login name as the host accepts it, and a crypt(3) hash
 * ("$..."); locked, disabled and empty hashes admit nobody. Reading needs
 * root (etc/shadow is root's alone). Not thread-safe: one call at a time. */

#ifndef KIVO_DAV_ACCOUNTS_H_
#define KIVO_DAV_ACCOUNTS_H_

#include <sys/stat.h>
#include <sys/types.h>

typedef struct {
  uid_t uid;
  gid_t gid;
  char hash[256];
} kd_account;

/* Fills `account` for `name` and returns 1; 0 when the root serves no such
 * account. `shadow_fd` is an open descriptor of etc/shadow, read from its
 * start; `passwd_path` names etc/passwd. */
int kd_account_find(const char *passwd_path, int shadow_fd, const char *name,
                    kd_account *account);

/* Login names as the host accepts them. */
int kd_usable_name(const char *name);

#endif /* KIVO_DAV_ACCOUNTS_H_ */
