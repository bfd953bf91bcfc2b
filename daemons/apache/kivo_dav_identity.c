/* setresuid and setresgid */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "kivo_dav_identity.h"

#include <errno.h>
#include <grp.h>
#include <sys/syscall.h>
#include <unistd.h>

/* Architectures with 16-bit legacy calls name the 32-bit ones apart. */
#ifdef SYS_setresuid32
#define KD_SYS_SETRESUID SYS_setresuid32
#define KD_SYS_SETRESGID SYS_setresgid32
#define KD_SYS_SETGROUPS SYS_setgroups32
#else
#define KD_SYS_SETRESUID SYS_setresuid
#define KD_SYS_SETRESGID SYS_setresgid
#define KD_SYS_SETGROUPS SYS_setgroups
#endif

#define KD_UNCHANGED ((long)(uid_t)-1)

/* The idle identity, set once before the threads start. */
static uid_t kd_idle_uid = (uid_t)-1;
static gid_t kd_idle_gid = (gid_t)-1;

/* What this thread holds beyond the idle identity. */
enum { KD_IDLE = 0, KD_ACCOUNT = 1, KD_ROOT = 2 };
static __thread int kd_held = KD_IDLE;

/* Each changes the calling thread only. */
static int kd_set_euid(uid_t uid) {
  return (int)syscall(KD_SYS_SETRESUID, KD_UNCHANGED, (long)uid, KD_UNCHANGED);
}

static int kd_set_egid(gid_t gid) {
  return (int)syscall(KD_SYS_SETRESGID, KD_UNCHANGED, (long)gid, KD_UNCHANGED);
}

static int kd_set_groups(int count, const gid_t *groups) {
  return (int)syscall(KD_SYS_SETGROUPS, (long)count, groups);
}

int kd_identity_keep_power(uid_t uid, gid_t gid) {
  /* The C library's wrappers: every thread of the process. */
  if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, 0) != 0) {
    return -1;
  }
  kd_idle_uid = uid;
  kd_idle_gid = gid;
  kd_held = KD_IDLE;
  return 0;
}

int kd_identity_raise(void) {
  if (kd_held != KD_IDLE) {
    errno = EBUSY;
    return -1;
  }
  kd_held = KD_ROOT; /* counted before the call: a half change is given back */
  return kd_set_euid(0);
}

int kd_identity_take(const kd_identity *id) {
  if (kd_held == KD_ACCOUNT || id->uid == 0 || id->group_count < 1) {
    errno = EINVAL;
    return -1;
  }
  /* Root's power for the groups and the gid (a thread that maps a URL
   * holds it already), then the uid, which ends it. */
  const int raised = kd_held == KD_ROOT;
  kd_held = KD_ACCOUNT;
  if ((!raised && kd_set_euid(0) != 0) || kd_set_groups(id->group_count, id->groups) != 0 ||
      kd_set_egid(id->gid) != 0 || kd_set_euid(id->uid) != 0) {
    const int error = errno;
    kd_identity_give_back();
    errno = error;
    return -1;
  }
  return 0;
}

int kd_identity_give_back(void) {
  if (kd_set_euid(0) != 0 || kd_set_groups(1, &kd_idle_gid) != 0 ||
      kd_set_egid(kd_idle_gid) != 0 || kd_set_euid(kd_idle_uid) != 0) {
    return -1;
  }
  kd_held = KD_IDLE;
  return 0;
}

int kd_identity_raised(void) { return kd_held == KD_ROOT; }

int kd_identity_idle(void) {
  return kd_held == KD_IDLE && geteuid() == kd_idle_uid && getegid() == kd_idle_gid;
}
