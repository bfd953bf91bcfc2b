/* setresuid and setresgid */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "base/thread_identity.h"

#include <errno.h>
#include <grp.h>
#include <sys/syscall.h>
#include <unistd.h>

/* Architectures with 16-bit legacy calls name the 32-bit ones apart. */
#ifdef SYS_setresuid32
#define KIVO_SYS_SETRESUID SYS_setresuid32
#define KIVO_SYS_SETRESGID SYS_setresgid32
#define KIVO_SYS_SETGROUPS SYS_setgroups32
#else
#define KIVO_SYS_SETRESUID SYS_setresuid
#define KIVO_SYS_SETRESGID SYS_setresgid
#define KIVO_SYS_SETGROUPS SYS_setgroups
#endif

/* -1 as the kernel reads an id argument: that id stays. */
#define KIVO_UNCHANGED ((long)(uid_t)-1)

int kivo_thread_set_euid(uid_t uid) {
  return (int)syscall(KIVO_SYS_SETRESUID, KIVO_UNCHANGED, (long)uid, KIVO_UNCHANGED);
}

int kivo_thread_set_egid(gid_t gid) {
  return (int)syscall(KIVO_SYS_SETRESGID, KIVO_UNCHANGED, (long)gid, KIVO_UNCHANGED);
}

int kivo_thread_set_groups(size_t count, const gid_t* groups) {
  return (int)syscall(KIVO_SYS_SETGROUPS, (long)count, groups);
}

int kivo_thread_give_back(const kivo_thread_ids* back) {
  if ((geteuid() != 0 && kivo_thread_set_euid(0) != 0) ||
      kivo_thread_set_groups(back->group_count, back->groups) != 0 ||
      kivo_thread_set_egid(back->gid) != 0 || kivo_thread_set_euid(back->uid) != 0) {
    return -1;
  }
  return 0;
}

kivo_thread_step kivo_thread_take(const kivo_thread_ids* to, const kivo_thread_ids* back) {
  kivo_thread_step failed = KIVO_THREAD_DONE;
  if (geteuid() != 0 && kivo_thread_set_euid(0) != 0) {
    failed = KIVO_THREAD_ROOT;
  } else if (kivo_thread_set_groups(to->group_count, to->groups) != 0) {
    failed = KIVO_THREAD_GROUPS;
  } else if (kivo_thread_set_egid(to->gid) != 0) {
    failed = KIVO_THREAD_GID;
  } else if (kivo_thread_set_euid(to->uid) != 0) {
    failed = KIVO_THREAD_UID;
  }
  if (failed == KIVO_THREAD_DONE) return failed;
  const int error = errno;
  if (kivo_thread_give_back(back) != 0) failed = KIVO_THREAD_LOST;
  errno = error;
  return failed;
}

int kivo_process_keep_power(uid_t uid, gid_t gid) {
  /* The C library's wrappers on purpose: every thread of the process. */
  if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, 0) != 0) {
    return -1;
  }
  return 0;
}
