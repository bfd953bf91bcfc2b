// The threads `serve` hands work to, so that its event loop never waits.
//
// WorkThread runs jobs one at a time in the order they came: the module's
// calls, which must never run two at once. FairPool runs jobs on a few
// threads, taking turns between the keys (client addresses) that queued them,
// so one address that queues many password checks delays its own, not
// everybody's. Both refuse work beyond their bounds rather than grow.

#ifndef KIVO_HOST_WORK_QUEUES_H_
#define KIVO_HOST_WORK_QUEUES_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host {

using Job = std::function<void()>;

class WorkThread {
 public:
  explicit WorkThread(size_t max_queued);
  ~WorkThread();  // runs what is queued, then joins
  // False when `max_queued` jobs wait already.
  bool Post(Job job);

 private:
  void Loop();

  const size_t max_queued_;
  std::mutex mu_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

class FairPool {
 public:
  FairPool(size_t threads, size_t max_per_key, size_t max_queued);
  ~FairPool();  // runs what is queued, then joins
  // False when `key` has `max_per_key` jobs waiting or running, or
  // `max_queued` wait in all.
  bool Post(const std::string& key, Job job);

 private:
  void Loop();

  const size_t max_per_key_, max_queued_;
  std::mutex mu_;
  std::condition_variable ready_;
  std::map<std::string, std::deque<Job>> waiting_;
  std::map<std::string, size_t> running_;
  std::deque<std::string> turns_;  // keys with waiting jobs, next first
  size_t queued_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace host

#endif  // KIVO_HOST_WORK_QUEUES_H_
