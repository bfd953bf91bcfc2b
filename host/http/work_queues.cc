#include "host/http/work_queues.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace host {

WorkThread::WorkThread(size_t max_queued) : max_queued_(max_queued), thread_([this] { Loop(); }) {}

WorkThread::~WorkThread() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  ready_.notify_all();
  thread_.join();
}

bool WorkThread::Post(Job job) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (jobs_.size() >= max_queued_) return false;
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
  return true;
}

void WorkThread::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

std::string ClientNetwork(const std::string& address) {
  unsigned char bytes[16];
  char text[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
    bytes[3] = 0;
    return std::string(inet_ntop(AF_INET, bytes, text, sizeof text)) + "/24";
  }
  if (inet_pton(AF_INET6, address.c_str(), bytes) != 1) return address;
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (memcmp(bytes, kMapped, sizeof kMapped) == 0) {
    bytes[15] = 0;
    return std::string(inet_ntop(AF_INET, bytes + 12, text, sizeof text)) + "/24";
  }
  memset(bytes + 8, 0, 8);
  return std::string(inet_ntop(AF_INET6, bytes, text, sizeof text)) + "/64";
}

FairPool::FairPool(const FairLimits& limits) : limits_(limits) {
  for (size_t i = 0; i < limits_.threads; ++i) threads_.emplace_back([this] { Loop(); });
}

FairPool::~FairPool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void FairPool::ForgetIfIdleLocked(const std::string& key) {
  const auto it = keys_.find(key);
  if (it != keys_.end() && it->second.waiting.empty() && it->second.running == 0) keys_.erase(it);
}

Job FairPool::EvictLocked(const std::string& network) {
  Network& n = networks_[network];
  std::string heaviest;
  size_t most = 0;
  for (const std::string& key : n.turns) {
    const size_t waiting = keys_[key].waiting.size();
    if (waiting > most) {
      most = waiting;
      heaviest = key;
    }
  }
  Key& victim = keys_[heaviest];
  Job drop = std::move(victim.waiting.back().drop);
  victim.waiting.pop_back();
  --n.waiting;
  --waiting_;
  if (victim.waiting.empty()) {
    n.turns.erase(std::find(n.turns.begin(), n.turns.end(), heaviest));
    ForgetIfIdleLocked(heaviest);
  }
  if (n.waiting == 0) {
    networks_.erase(network);
    turns_.erase(std::find(turns_.begin(), turns_.end(), network));
  }
  return drop;
}

bool FairPool::Post(const std::string& key, Job run, Job drop) {
  const std::string network = ClientNetwork(key);
  Job dropped;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Key& k = keys_[key];
    const bool quiet = k.waiting.empty();
    const auto own = networks_.find(network);
    const bool network_full = own != networks_.end() && own->second.waiting >= limits_.per_network;
    if (k.waiting.size() + k.running >= limits_.per_key ||
        (!quiet && (network_full || waiting_ >= limits_.queued))) {
      ForgetIfIdleLocked(key);
      return false;
    }
    // A quiet key's first check goes beyond its network's bound; at the
    // pool's, the check that would run last under the turns makes room.
    if (waiting_ >= limits_.queued && waiting_ > 0) {
      const auto heaviest = std::max_element(
          networks_.begin(), networks_.end(),
          [](const auto& a, const auto& b) { return a.second.waiting < b.second.waiting; });
      dropped = EvictLocked(heaviest->first);
    }
    Network& n = networks_[network];
    if (n.waiting == 0) turns_.push_back(network);
    if (quiet) n.turns.push_back(key);
    k.waiting.push_back(Entry{std::move(run), std::move(drop)});
    ++n.waiting;
    ++waiting_;
  }
  ready_.notify_one();
  if (dropped) dropped();
  return true;
}

void FairPool::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    ready_.wait(lock, [this] { return stopping_ || !turns_.empty(); });
    if (turns_.empty()) return;
    // The network whose turn it is gives one job of the key whose turn it is
    // there; both go to the back of their line.
    const std::string network = turns_.front();
    turns_.pop_front();
    Network& n = networks_[network];
    const std::string key = n.turns.front();
    n.turns.pop_front();
    Key& k = keys_[key];
    Job job = std::move(k.waiting.front().run);
    k.waiting.pop_front();
    ++k.running;
    --waiting_;
    if (!k.waiting.empty()) n.turns.push_back(key);
    if (--n.waiting == 0) {
      networks_.erase(network);
    } else {
      turns_.push_back(network);
    }
    lock.unlock();
    job();
    job = nullptr;  // what it holds goes before the lock is taken
    lock.lock();
    --keys_[key].running;
    ForgetIfIdleLocked(key);
  }
}

DelayLine::DelayLine(size_t max_queued) : max_queued_(max_queued), thread_([this] { Loop(); }) {}

DelayLine::~DelayLine() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool DelayLine::Post(std::chrono::steady_clock::duration delay, Job job) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (jobs_.size() >= max_queued_) return false;
    jobs_.emplace(std::chrono::steady_clock::now() + delay, std::move(job));
  }
  changed_.notify_one();
  return true;
}

void DelayLine::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    if (jobs_.empty()) {
      if (stopping_) return;
      changed_.wait(lock);
      continue;
    }
    const auto first = jobs_.begin();
    if (!stopping_ && std::chrono::steady_clock::now() < first->first) {
      changed_.wait_until(lock, first->first);
      continue;
    }
    Job job = std::move(first->second);
    jobs_.erase(first);
    lock.unlock();
    job();
    job = nullptr;
    lock.lock();
  }
}

}  // namespace host
