/* The accounts the WebDAV daemon serves, read from a root's etc/passwd,
 * etc/group and etc/shadow at the moment a login is checked: a new account,
 * a changed password or a changed group membership counts at once, without
 * a reload.
 *
 * An account is served when its login name is one the host accepts, it is
 * not guest (anonymous requests only), its uid is a user's (1000 or more:
 * never root or a system account), its primary group is not root's, and it
 * has a crypt(3) hash ("$..."); locked, disabled and empty hashes admit
 * nobody. Reading needs root (etc/shadow is root's alone). Threading: any
 * thread; each call reads into its own memory (the shadow descriptor by
 * position, never by its offset). */

#ifndef KIVO_DAV_ACCOUNTS_H_
#define KIVO_DAV_ACCOUNTS_H_

#include <sys/stat.h>
#include <sys/types.h>

/* Groups an identity carries at most (the primary one included); further
 * memberships are left out, which only ever takes access away. */
#define KD_MAX_GROUPS 64

/* Who a verified login runs as. */
typedef struct {
  uid_t uid;
  gid_t gid;
  /* The primary group first, then every group of etc/group listing the
   * account, root's group never. */
  gid_t groups[KD_MAX_GROUPS];
  int group_count;
  int admin; /* in "administrators" (listed, or as primary group) */
} kd_identity;

typedef struct {
  kd_identity id;
  int groups_left_out; /* memberships beyond KD_MAX_GROUPS */
  char hash[256];
} kd_account;

/* Fills `account` for `name` and returns 1; 0 when the root serves no such
 * account. `shadow_fd` is an open descriptor of etc/shadow, read from its
 * start; `passwd_path` and `group_path` name etc/passwd and etc/group (a
 * missing etc/group leaves the primary group alone). */
int kd_account_find(const char *passwd_path, const char *group_path, int shadow_fd,
                    const char *name, kd_account *account);

/* Login names as the host accepts them. */
int kd_usable_name(const char *name);

#endif /* KIVO_DAV_ACCOUNTS_H_ */
