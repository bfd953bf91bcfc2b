#include "base/thread_identity_scope.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <thread>

namespace kivo::base {

namespace {

// The calling thread's groups: getgroups is the plain system call, which
// reads the calling thread's own credentials.
std::vector<gid_t> ThreadGroups() {
  const int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
  if (count > 0 && getgroups(count, groups.data()) != count) groups.clear();
  return groups;
}

}  // namespace

ThreadIdentity::ThreadIdentity() : uid_(geteuid()), gid_(getegid()), groups_(ThreadGroups()) {}

ThreadIdentity::~ThreadIdentity() {
  if (!GiveBack()) std::abort();  // never let the thread go on as the user
}

kivo_thread_ids ThreadIdentity::Recorded() const {
  return kivo_thread_ids{uid_, gid_, groups_.size(), groups_.data()};
}

kivo_thread_step ThreadIdentity::Take(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
  const kivo_thread_ids to{uid, gid, groups.size(), groups.data()};
  const kivo_thread_ids back = Recorded();
  taken_ = true;
  const kivo_thread_step step = kivo_thread_take(&to, &back);
  if (step != KIVO_THREAD_DONE && step != KIVO_THREAD_LOST) taken_ = false;
  return step;
}

bool ThreadIdentity::GiveBack() {
  if (!taken_) return true;
  const kivo_thread_ids back = Recorded();
  if (kivo_thread_give_back(&back) != 0) return false;
  taken_ = false;
  return true;
}

bool RunOnOwnThread(const std::function<void()>& work) {
  int error = 0;
  std::exception_ptr thrown;
  try {
    std::thread thread([&] {
      if (unshare(CLONE_FS) != 0) {
        error = errno;
        return;
      }
      try {
        work();
      } catch (...) {
        thrown = std::current_exception();
      }
    });
    thread.join();
  } catch (const std::system_error& e) {
    errno = e.code().value();
    return false;
  }
  if (thrown) std::rethrow_exception(thrown);
  if (error != 0) {
    errno = error;
    return false;
  }
  return true;
}

}  // namespace kivo::base
