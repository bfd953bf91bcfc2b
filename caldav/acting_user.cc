#include "caldav/acting_user.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kivo/log.h"

namespace caldav {

namespace {

constexpr char kLogUnit[] = "caldav_calendar";
constexpr uid_t kNoUid = static_cast<uid_t>(-1);
constexpr gid_t kNoGid = static_cast<gid_t>(-1);

}  // namespace

ActingAsUser::Step ActingAsUser::Become(const char* name, uid_t uid, gid_t gid) {
  if (gid == kNoGid) return kNoGroup;
  if (initgroups(name, gid) == -1) return kGroups;
  if (setegid(gid) < 0) return kGroup;
  if (uid == kNoUid) return kNoUser;
  if (seteuid(uid) < 0) return kUser;
  return kDone;
}

void ActingAsUser::BackToRoot() {
  // The real ids are 0, so both switches are allowed from any effective id.
  // In a threaded host every switch is broadcast to all threads, which costs
  // more than the rest of a create: skip the ones that change nothing.
  if (getegid() != 0 && setegid(0) != 0) {
    KIVO_LOG(LOG_ERR, "Failed to set gid back to root, reason=%s", strerror(errno));
  }
  if (geteuid() != 0 && seteuid(0) != 0) {
    KIVO_LOG(LOG_ERR, "Failed to set uid back to root, reason=%s", strerror(errno));
  }
}

}  // namespace caldav
