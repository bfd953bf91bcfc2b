/* The identity the calling thread acts with: its effective uid, effective
 * gid and supplementary groups, and the way back.
 *
 * Linux keeps credentials per thread, but the C library's wrappers
 * (seteuid, setegid, setresuid, setgroups, initgroups...) change every
 * thread of the process at once: one thread acting for a user would make
 * every other thread act for that user too, and each change would stop
 * them all. The calls here are the raw system calls, which change the
 * calling thread alone. They are the project's one switch of identity: the
 * WebDAV daemon's worker threads (daemons/apache/kivo_dav_identity.h) and
 * the calendar module's user thread (base/thread_identity_scope.h) both
 * act through them.
 *
 * A switch needs root's power: the process keeps a real or saved uid of 0
 * (the host and its module run as root; the WebDAV daemon keeps its saved
 * uid root's through kivo_process_keep_power). An effective uid that is
 * not root's may still go back to root, and only from root may the groups
 * and the gid change: every way here passes through root's effective uid.
 *
 * Threading: kivo_process_keep_power once, before the process starts its
 * threads; every other call acts on the calling thread alone and is safe
 * from any thread. */

#ifndef KIVO_BASE_THREAD_IDENTITY_H_
#define KIVO_BASE_THREAD_IDENTITY_H_

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One step each, the calling thread only; 0, or -1 with errno. The real
 * and saved ids stay as they are. */
int kivo_thread_set_euid(uid_t uid);
int kivo_thread_set_egid(gid_t gid);
int kivo_thread_set_groups(size_t count, const gid_t* groups);

/* An identity to act with, or to go back to. */
typedef struct kivo_thread_ids {
  uid_t uid;
  gid_t gid;
  size_t group_count;
  const gid_t* groups;
} kivo_thread_ids;

/* What kivo_thread_take did: done, or the step that failed. */
typedef enum kivo_thread_step {
  KIVO_THREAD_DONE = 0,
  KIVO_THREAD_ROOT,   /* root's effective uid, to change the rest */
  KIVO_THREAD_GROUPS, /* the supplementary groups */
  KIVO_THREAD_GID,    /* the effective gid */
  KIVO_THREAD_UID,    /* the effective uid, which ends root's power */
  KIVO_THREAD_LOST    /* a step failed and so did the way back */
} kivo_thread_step;

/* The calling thread takes `to`: root's effective uid (unless it has it),
 * the groups, the gid, then the uid. When a step fails the thread goes back
 * to `back` (kivo_thread_give_back) and the step is answered, errno that of
 * the step; KIVO_THREAD_LOST when going back failed too: the thread's
 * identity is then unknown and it must act for nobody again. */
kivo_thread_step kivo_thread_take(const kivo_thread_ids* to, const kivo_thread_ids* back);

/* The calling thread goes to `back`: root's effective uid (unless it has
 * it), then back's groups, gid and uid. 0, or -1 with errno. */
int kivo_thread_give_back(const kivo_thread_ids* back);

/* Process-wide, for a daemon that serves as accounts from threads: the
 * whole process, every thread it has, idles at `uid` and `gid` (real and
 * effective, `gid` its only group) while its saved uid stays root's, so that
 * a thread may switch later. Call it before any other thread starts. 0, or
 * -1 with errno. */
int kivo_process_keep_power(uid_t uid, gid_t gid);

#ifdef __cplusplus
}
#endif

#endif /* KIVO_BASE_THREAD_IDENTITY_H_ */
