/* Which account's identity the calling thread acts with, for a WebDAV
 * request's file work: one threaded process serves every account, each
 * request's files touched with its own uid, primary group and groups.
 *
 * The process keeps the power to switch (its saved uid stays root's) and
 * idles at the daemon's unprivileged identity (its User and Group). A worker
 * thread takes an account's identity for one request's file work. When the
 * request ends the thread keeps it parked, doing nothing with it, and gives
 * it back before it serves anyone else; the same account's next request on
 * that thread resumes it without a call (a credential change costs
 * microseconds: it makes new kernel credentials). The
 * switches are the project's one per-thread switch (base/thread_identity.h),
 * which changes the calling thread alone; this layer keeps only the state
 * of each thread (idle, acting, parked, root's).
 *
 * Threading: kd_identity_keep_power once, while the process is still root
 * and before its threads start; every other call acts on the calling
 * thread alone and is safe from any thread. */

#ifndef KIVO_DAV_IDENTITY_H_
#define KIVO_DAV_IDENTITY_H_

#include <sys/types.h>

#include "kivo_dav_accounts.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the process idle at `uid` and `gid` (the only group), keeping its
 * saved uid root's so that threads may switch later. 0, or -1 with errno. */
int kd_identity_keep_power(uid_t uid, gid_t gid);

/* The calling thread takes `id`, from the idle identity or root's (never
 * from another account's, acting or parked). 0; -1 with errno when it
 * could not (the thread is then idle again, or refuses to serve:
 * kd_identity_idle). */
int kd_identity_take(const kd_identity* id);

/* The calling thread, parked as exactly `id` (uid, gid and groups, as this
 * layer recorded them), acts as it again for the same account's next
 * request: no system call, as the kernel holds that identity already. 0;
 * -1 with errno EINVAL, the thread unchanged, when it is not so parked. */
int kd_identity_resume(const kd_identity* id);

/* The calling thread's request is over: an account's identity stays on the
 * thread, parked, for that account's next request (kd_identity_parked_as);
 * root's is given back. Without a system call. */
void kd_identity_park(void);

/* The calling thread goes back to the idle identity (from an account's,
 * parked or not, or from root's). 0, or -1 with errno. */
int kd_identity_give_back(void);

/* The calling thread acts as root, from the idle identity or a parked
 * account's (never while it acts as one): to read the root's account
 * files, to map a URL before the request's account is taken. Give it back
 * with kd_identity_give_back, or take an account's with kd_identity_take.
 * 0, or -1 with errno. */
int kd_identity_raise(void);

/* 1 when the calling thread acts as root (kd_identity_raise). */
int kd_identity_raised(void);

/* 1 when the calling thread is at the idle identity, as the kernel sees it
 * (effective uid and gid) and as this layer recorded it; 0 otherwise: the
 * thread must serve nobody until kd_identity_give_back succeeds. */
int kd_identity_idle(void);

/* 1 when the calling thread acts as exactly `id` (uid, gid and groups), as
 * this layer took or resumed it (every switch it made succeeded); without a
 * system call. */
int kd_identity_acting_as(const kd_identity* id);

/* 1 when the calling thread holds a parked account's identity. */
int kd_identity_parked(void);

/* 1 when the calling thread holds exactly `id` parked (uid, gid and
 * groups), as the kernel sees it (effective uid and gid) and as this layer
 * recorded it. */
int kd_identity_parked_as(const kd_identity* id);

#ifdef __cplusplus
}
#endif

#endif /* KIVO_DAV_IDENTITY_H_ */
