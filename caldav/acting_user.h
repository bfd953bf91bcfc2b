// The calendar handler's effective identity while it acts as a logged-in
// user: a scope that switches the process to the user and, however it is
// left, back to root. It is the module's only switch of identity and its
// only way back: a create holds one around the steps that act as the user
// (CalendarFolder), and an exception unwinding through it ends it too.
//
// The process really runs as root (real user and group 0), so every switch
// here is allowed from any effective identity. The switches are
// process-wide: one scope at a time per process (creates are serialised by
// the registry lock).

#ifndef KIVO_CALDAV_ACTING_USER_H_
#define KIVO_CALDAV_ACTING_USER_H_

#include <sys/types.h>

namespace caldav {

class ActingAsUser {
 public:
  // The step of Become that failed; kDone when all succeeded.
  enum Step { kDone, kNoGroup, kGroups, kGroup, kNoUser, kUser };

  ActingAsUser() = default;
  ~ActingAsUser() { BackToRoot(); }
  ActingAsUser(const ActingAsUser&) = delete;
  ActingAsUser& operator=(const ActingAsUser&) = delete;

  // Supplementary groups, then the effective group, then the effective
  // user: once the effective user is no longer root nothing else may be
  // changed. Stops at the first step that fails (an id of -1 is missing).
  Step Become(const char* name, uid_t uid, gid_t gid);
  // Back to effective group 0, then effective user 0; steps that change
  // nothing are skipped. Also done when the scope ends.
  void BackToRoot();
};

}  // namespace caldav

#endif  // KIVO_CALDAV_ACTING_USER_H_
