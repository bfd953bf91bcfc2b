/* The accounts the WebDAV daemon serves, as a root's etc/passwd, etc/group
 * and etc/shadow hold them at the moment a login is checked: a new account,
 * a changed password or a changed group membership counts at once, without
 * a reload.
 *
 * An account is served when its login name is one the host accepts, it is
 * not guest (anonymous requests only), its uid is a user's (1000 or more:
 * never root or a system account; never nobody's 65534, at which the
 * processes idle), its primary group is not root's, and it
 * has a crypt(3) hash ("$..."); locked, disabled and empty hashes admit
 * nobody. Reading needs root (etc/shadow is root's alone).
 *
 * A login must not cost more with 10,000 accounts than with 10, so the
 * three files are parsed once into an index (a table by name) that a
 * process keeps while the files' stamps (device, inode, size, modification
 * and change times to the nanosecond) stay as they were; any change of any
 * of the three makes the next login build it anew from the files. A stamp
 * taken less than a second after the file's last change may be shared by a
 * later change within the same clock tick, so an index built from such a
 * file is used by no further login: the next one reads the files again.
 *
 * Threading: any thread. The index is shared: logins look up under a read
 * lock held for the lookup alone (never across a password hash), one
 * thread at a time rebuilds it and swaps it in under the write lock, and
 * the logins that waited for that rebuild use it (it was read after they
 * began). Files are read by position (pread), never by a descriptor's
 * offset, each up to every reader's limit (kivo/account_files.h: 100,000
 * accounts fit many times). Memory: about 150 bytes per account (1.5 MB
 * for 10,000), twice that and the files' text for the moment of a
 * rebuild. */

#ifndef KIVO_DAV_ACCOUNTS_H_
#define KIVO_DAV_ACCOUNTS_H_

#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

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

/* One parsed generation of the three files (kivo_dav_accounts.c). */
struct kd_accounts;

/* A process's index of a root's accounts. */
typedef struct {
  pthread_rwlock_t lock;   /* guards `now` */
  pthread_mutex_t build;   /* one rebuild at a time */
  struct kd_accounts* now; /* NULL until the first login */
  unsigned long builds;    /* how often the files were read (under `build`) */
} kd_account_index;

#define KD_ACCOUNT_INDEX_INIT \
  { PTHREAD_RWLOCK_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, NULL, 0 }

/* Fills `account` for `name` and returns 1; 0 when the root serves no such
 * account. `shadow_fd` is an open descriptor of etc/shadow (read from its
 * start); `passwd_path` and `group_path` name etc/passwd and etc/group (a
 * missing etc/group leaves the primary group alone). `now` is the wall
 * clock, against which the files' change times are judged. */
int kd_account_index_find(kd_account_index* index, const char* passwd_path, const char* group_path,
                          int shadow_fd, const char* name, const struct timespec* now,
                          kd_account* account);

/* Whether etc/passwd, as the index last read it, has a line naming `name`
 * (an account of any kind, served or not; a line counts from its start
 * only, however long the one before). The files are not looked at: the
 * answer is as fresh as the process's last login, and 0 before its first. */
int kd_account_index_names(kd_account_index* index, const char* name);

/* Frees the index's current generation (a process's index lives as long as
 * the process; tests clear theirs). No lookup may run meanwhile. */
void kd_account_index_clear(kd_account_index* index);

/* Whether `a` and `b` are one version of one file: device, inode, size,
 * and modification and change times to the nanosecond (every write sets
 * the change time, whatever a tool then does to the modification time). */
int kd_same_version(const struct stat* a, const struct stat* b);

/* Whether `seen`, a file's stat taken at the wall clock `seen_at` or later,
 * tells that version from every later one: its change time is at least a
 * second before `seen_at`, so a later change cannot fall within the same
 * clock tick and keep every time stamp. The index reads files that were
 * not settled again at the next login; kd_kept_version holds a kept
 * connection to the same rule. */
int kd_settled(const struct stat* seen, const struct timespec* seen_at);

/* What a kept connection's etc/shadow says of its login, the file being
 * `now` (fstat of the descriptor the login read) and `seen` at `seen_at`
 * by the login: KD_KEPT_SAME, the version the login read; KD_KEPT_CHANGED,
 * another one or the file removed (the connection closes); KD_KEPT_UNSURE,
 * the same stamp, but read too soon after its change to tell (kd_settled):
 * the login is checked again from the files. */
enum { KD_KEPT_CHANGED, KD_KEPT_SAME, KD_KEPT_UNSURE };
int kd_kept_version(const struct stat* now, const struct stat* seen,
                    const struct timespec* seen_at);

/* Login names as the host accepts them. */
int kd_usable_name(const char* name);

#endif /* KIVO_DAV_ACCOUNTS_H_ */
