// The C++ face of base/thread_identity.h: a stretch of work the calling
// thread does as another identity, and a thread of its own to do it on.
//
// ThreadIdentity records the calling thread's identity (effective uid, gid
// and groups) when it is made, takes another on request and gives the
// recorded one back however the scope is left. RunOnOwnThread runs work on
// a new thread that first unshares its file-system attributes
// (unshare(CLONE_FS)): a umask or a working folder the work sets stays its
// own, as its credentials do. The two together let root act as a user
// without changing anything of the process: the other threads keep root's
// identity and the process's umask throughout.
//
// Threading: a ThreadIdentity belongs to the thread that made it and is
// used there only. RunOnOwnThread may be called from any thread; it returns
// once the work's thread has ended.

#ifndef KIVO_BASE_THREAD_IDENTITY_SCOPE_H_
#define KIVO_BASE_THREAD_IDENTITY_SCOPE_H_

#include <sys/types.h>

#include <functional>
#include <vector>

#include "base/thread_identity.h"

namespace kivo::base {

class ThreadIdentity {
 public:
  // Records the calling thread's identity as it is now.
  ThreadIdentity();
  // Gives the recorded identity back; aborts the process when it cannot,
  // rather than let the thread go on as another identity.
  ~ThreadIdentity();
  ThreadIdentity(const ThreadIdentity&) = delete;
  ThreadIdentity& operator=(const ThreadIdentity&) = delete;

  // Takes `uid`, `gid` and `groups` (groups, gid, then uid). A failed step
  // is answered and the thread is at the recorded identity again
  // (KIVO_THREAD_LOST: not even that, see base/thread_identity.h).
  kivo_thread_step Take(uid_t uid, gid_t gid, const std::vector<gid_t>& groups);
  // Back to the recorded identity; true when the thread has it (also when
  // nothing was taken). False, errno set, when a step failed.
  bool GiveBack();

 private:
  kivo_thread_ids Recorded() const;

  uid_t uid_;
  gid_t gid_;
  std::vector<gid_t> groups_;
  bool taken_ = false;
};

// Runs `work` on a thread of its own whose umask, working folder and root
// are its own from its start, and waits for it to end; an exception `work`
// throws is thrown again here. False, errno set, when no such thread could
// be had (`work` did not run).
bool RunOnOwnThread(const std::function<void()>& work);

}  // namespace kivo::base

#endif  // KIVO_BASE_THREAD_IDENTITY_SCOPE_H_
