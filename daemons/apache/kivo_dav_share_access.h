/* Who may read and who may write each share over WebDAV, as the share
 * access lists (etc/kivo/share-access.json under the root, root's, written
 * whole by the administration side) say:
 *
 *   {"version": 1, "shares": {"public": {"read": ["bob", "@staff"],
 *                                        "write": ["@team", "alice"]}}}
 *
 * An entry is an account's name or "@" and a group's. A share with lists
 * (a non-empty "read" or "write") is read by the accounts on either list
 * (by name or through one of their groups) and written by those on
 * "write"; everybody else is refused everything there. A share without
 * lists, or no file at all, leaves access to the file system's modes. The
 * homes share (every account's home) never follows lists. A file that is
 * not such JSON, not a regular file, not root's, or writable by others
 * refuses every share but the homes: whoever could write it could open
 * every share. Names match whole (no prefix or case folding).
 *
 * The CalDAV plug-ins hold the same rule (kivo_share_access.py); both are
 * held to tests/vectors/share_access.json.
 *
 * Plain C with no Apache types, so that it is tested without a daemon.
 * Threading: a parsed table is read-only once resolved; the kept table
 * (kd_share_access_kept) locks itself. */

#ifndef KIVO_DAV_SHARE_ACCESS_H_
#define KIVO_DAV_SHARE_ACCESS_H_

#include <pthread.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

/* What the lists say of one account on one share. */
enum { KD_SHARE_NO_LISTS, KD_SHARE_ALLOWED, KD_SHARE_REFUSED };

/* The store below a root: kivo/kivo_paths.h's SZF_SHARE_ACCESS, which C
 * cannot include (the tests hold the two equal). */
#define KD_SHARE_ACCESS_PATH "/etc/kivo/share-access.json"

/* The share every account's home lies in. */
#define KD_SHARE_HOMES "homes"

/* The store is read up to this size; a longer one is refused as unreadable. */
#define KD_SHARE_ACCESS_MAX (4 * 1024 * 1024)

typedef struct kd_share_access kd_share_access;

/* Parses the store's text (`len` bytes); text that is no such store gives a
 * table that refuses every share but the homes. NULL only without memory. */
kd_share_access* kd_share_access_parse(const char* text, size_t len);

/* A table that refuses every share but the homes (an unreadable store). */
kd_share_access* kd_share_access_refusing(void);

/* Whether the table came from text that is no store. */
int kd_share_access_malformed(const kd_share_access* table);

/* Gives each "@group" entry the group's id from etc/group's text (`len`
 * bytes); a group etc/group does not name matches nobody. */
void kd_share_access_resolve(kd_share_access* table, const char* group_text, size_t len);

/* What the table says of `user`, whose groups are `groups` (`count` ids),
 * on `share`, for a write when `writing`. */
int kd_share_access_judge(const kd_share_access* table, const char* share, const char* user,
                          const gid_t* groups, int count, int writing);

void kd_share_access_free(kd_share_access* table);

/* A process's table, parsed from the files and kept while both the store's
 * and etc/group's stamps (kd_same_version) stay as they were and were
 * settled when read (kd_settled): a second change within one clock tick is
 * read at the next request. etc/group counts only while the table names a
 * group: without "@" entries its lines change no judgement, and it is
 * neither read nor looked at. */
typedef struct {
  pthread_mutex_t lock;
  kd_share_access* now; /* NULL before the first request */
  struct stat store, group;
  int store_seen, group_seen; /* 0: the file was missing */
  int settled;
  struct stat logged; /* the unreadable store last reported */
  int logged_seen;
  unsigned long builds;
  int names_groups; /* the table has a group entry */
} kd_share_access_kept;

#define KD_SHARE_ACCESS_KEPT_INIT \
  { PTHREAD_MUTEX_INITIALIZER, NULL, {0}, {0}, 0, 0, 0, {0}, 0, 0, 0 }

/* kd_share_access_judge against the files as they are at `now` (the wall
 * clock). `*report` is set to why the store is refused, once per version of
 * the file, else left NULL. */
int kd_share_access_check(kd_share_access_kept* kept, const char* store_path,
                          const char* group_path, const struct timespec* now, const char* share,
                          const char* user, const gid_t* groups, int count, int writing,
                          const char** report);

void kd_share_access_kept_clear(kd_share_access_kept* kept);

#endif /* KIVO_DAV_SHARE_ACCESS_H_ */
