#include "kivo_dav_identity.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "base/thread_identity.h"

/* The idle identity, set once before the threads start. */
static uid_t kd_idle_uid = (uid_t)-1;
static gid_t kd_idle_gid = (gid_t)-1;

/* What this thread holds beyond the idle identity. */
enum { KD_IDLE = 0, KD_ACCOUNT = 1, KD_PARKED = 2, KD_ROOT = 3 };
static __thread int kd_held = KD_IDLE;
/* The account whose gid and groups the thread carries (kd_carries): its
 * own while it acts or is parked, still while root maps the URL of the
 * parked account's next request. */
static __thread kd_identity kd_carried;
static __thread int kd_carries;

/* Each changes the calling thread only (base/thread_identity.h). */
static int kd_set_euid(uid_t uid) { return kivo_thread_set_euid(uid); }

static int kd_set_egid(gid_t gid) { return kivo_thread_set_egid(gid); }

static int kd_set_groups(int count, const gid_t* groups) {
  return kivo_thread_set_groups((size_t)count, groups);
}

static int kd_same_identity(const kd_identity* a, const kd_identity* b) {
  return a->uid == b->uid && a->gid == b->gid && a->group_count == b->group_count &&
         memcmp(a->groups, b->groups, (size_t)a->group_count * sizeof a->groups[0]) == 0;
}

int kd_identity_keep_power(uid_t uid, gid_t gid) {
  if (kivo_process_keep_power(uid, gid) != 0) return -1;
  kd_idle_uid = uid;
  kd_idle_gid = gid;
  kd_held = KD_IDLE;
  kd_carries = 0;
  return 0;
}

int kd_identity_raise(void) {
  if (kd_held != KD_IDLE && kd_held != KD_PARKED) {
    errno = EBUSY;
    return -1;
  }
  kd_held = KD_ROOT; /* counted before the call: a half change is given back */
  return kd_set_euid(0);
}

int kd_identity_take(const kd_identity* id) {
  if (kd_held == KD_ACCOUNT || kd_held == KD_PARKED || id->uid == 0 || id->group_count < 1 ||
      id->group_count > KD_MAX_GROUPS) {
    errno = EINVAL;
    return -1;
  }
  /* Root's power for the groups and the gid (a thread that maps a URL
   * holds it already, and may carry this very account's), then the uid,
   * which ends it. */
  const int raised = kd_held == KD_ROOT;
  const int carried = raised && kd_carries && kd_same_identity(&kd_carried, id);
  kd_held = KD_ACCOUNT;
  kd_carries = 0;
  if ((!raised && kd_set_euid(0) != 0) ||
      (!carried &&
       (kd_set_groups(id->group_count, id->groups) != 0 || kd_set_egid(id->gid) != 0)) ||
      kd_set_euid(id->uid) != 0) {
    const int error = errno;
    kd_identity_give_back();
    errno = error;
    return -1;
  }
  kd_carried = *id;
  kd_carries = 1;
  return 0;
}

int kd_identity_resume(const kd_identity* id) {
  if (kd_held != KD_PARKED || !kd_carries || !kd_same_identity(&kd_carried, id)) {
    errno = EINVAL;
    return -1;
  }
  kd_held = KD_ACCOUNT;
  return 0;
}

void kd_identity_park(void) {
  if (kd_held == KD_ACCOUNT) {
    kd_held = KD_PARKED;
  } else if (kd_held == KD_ROOT) {
    kd_identity_give_back(); /* root's is never kept */
  }
}

int kd_identity_give_back(void) {
  if ((geteuid() != 0 && kd_set_euid(0) != 0) || kd_set_groups(1, &kd_idle_gid) != 0 ||
      kd_set_egid(kd_idle_gid) != 0 || kd_set_euid(kd_idle_uid) != 0) {
    return -1;
  }
  kd_held = KD_IDLE;
  kd_carries = 0;
  return 0;
}

int kd_identity_raised(void) { return kd_held == KD_ROOT; }

int kd_identity_idle(void) {
  return kd_held == KD_IDLE && geteuid() == kd_idle_uid && getegid() == kd_idle_gid;
}

int kd_identity_acting_as(const kd_identity* id) {
  return kd_held == KD_ACCOUNT && kd_carries && kd_same_identity(&kd_carried, id);
}

int kd_identity_parked(void) { return kd_held == KD_PARKED; }

int kd_identity_parked_as(const kd_identity* id) {
  return kd_held == KD_PARKED && kd_carries && kd_same_identity(&kd_carried, id) &&
         geteuid() == id->uid && getegid() == id->gid;
}
