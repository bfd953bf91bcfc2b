// The threads `serve` hands work to, so that its event loop never waits.
//
// WorkThread runs jobs one at a time in the order they came: the module's
// calls, which must never run two at once.
//
// FairPool runs jobs (password checks) on a few threads, taking turns first
// between networks (a client's /24 or /64), then between the keys (client
// addresses) of a network, so that a flood delays its own sources, not
// everybody's. Its room is bounded per key, per network and in all, but a
// key with nothing waiting always finds room: its first job goes beyond its
// network's bound, and where the pool is full the newest job of the heaviest
// key of the heaviest network (the one that would run last) is dropped for
// it. So many flooding addresses cannot keep a quiet one out.
//
// DelayLine runs jobs once their time has come, on one thread that does
// nothing else (answers that must not come sooner than some work would).
//
// All are used from any thread; jobs run on their own threads, a dropped
// job's `drop` on the thread whose Post pushed it out.

#ifndef KIVO_HOST_WORK_QUEUES_H_
#define KIVO_HOST_WORK_QUEUES_H_

#include <chrono>
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

struct FairLimits {
  size_t threads = 2;
  size_t per_key = 4;       // waiting or running
  size_t per_network = 16;  // waiting
  size_t queued = 64;       // waiting in all
};

// The network a client address is judged with: "a.b.c.0/24" for IPv4 (also
// IPv4-mapped IPv6), the first four groups and "/64" for IPv6; the address
// itself when it is neither.
std::string ClientNetwork(const std::string& address);

class FairPool {
 public:
  explicit FairPool(const FairLimits& limits);
  ~FairPool();  // runs what is queued, then joins
  FairPool(const FairPool&) = delete;
  FairPool& operator=(const FairPool&) = delete;

  // Queues `run` for the client address `key`, whose network is
  // ClientNetwork(key): taken here, so that no caller can judge a client by
  // anything finer. False (nothing queued) when `key` has `per_key` jobs
  // waiting or running, or when it has some waiting and its network or the
  // whole pool is full. A key with none waiting is never refused for lack of
  // room: when the pool is full, the newest job of the heaviest key of the
  // heaviest network leaves the queue, and its `drop` runs instead of its
  // `run`.
  bool Post(const std::string& key, Job run, Job drop);

 private:
  struct Entry {
    Job run, drop;
  };
  struct Key {
    std::deque<Entry> waiting;
    size_t running = 0;
  };
  struct Network {
    std::deque<std::string> turns;  // its keys with waiting jobs, next first
    size_t waiting = 0;
  };
  void Loop();
  // Takes the newest job of the heaviest key of `network`; its drop.
  Job EvictLocked(const std::string& network);
  void ForgetIfIdleLocked(const std::string& key);

  const FairLimits limits_;
  std::mutex mu_;
  std::condition_variable ready_;
  std::map<std::string, Key> keys_;
  std::map<std::string, Network> networks_;  // those with waiting jobs
  std::deque<std::string> turns_;            // networks with waiting jobs, next first
  size_t waiting_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

class DelayLine {
 public:
  explicit DelayLine(size_t max_queued);
  ~DelayLine();  // runs what is queued at once, then joins
  DelayLine(const DelayLine&) = delete;
  DelayLine& operator=(const DelayLine&) = delete;

  // Runs `job` after `delay`; false (nothing queued) when `max_queued` wait.
  bool Post(std::chrono::steady_clock::duration delay, Job job);

 private:
  void Loop();

  const size_t max_queued_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::multimap<std::chrono::steady_clock::time_point, Job> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace host

#endif  // KIVO_HOST_WORK_QUEUES_H_
