#include "host/work_queues.h"

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

FairPool::FairPool(size_t threads, size_t max_per_key, size_t max_queued)
    : max_per_key_(max_per_key), max_queued_(max_queued) {
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Loop(); });
}

FairPool::~FairPool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& t : threads_) t.join();
}

bool FairPool::Post(const std::string& key, Job job) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::deque<Job>& waiting = waiting_[key];
    const auto running = running_.find(key);
    const size_t mine = waiting.size() + (running == running_.end() ? 0 : running->second);
    if (mine >= max_per_key_ || queued_ >= max_queued_) {
      if (waiting.empty()) waiting_.erase(key);
      return false;
    }
    if (waiting.empty()) turns_.push_back(key);
    waiting.push_back(std::move(job));
    ++queued_;
  }
  ready_.notify_one();
  return true;
}

void FairPool::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    ready_.wait(lock, [this] { return stopping_ || !turns_.empty(); });
    if (turns_.empty()) return;
    // The key whose turn it is gives one job, then goes to the back.
    const std::string key = turns_.front();
    turns_.pop_front();
    std::deque<Job>& waiting = waiting_[key];
    Job job = std::move(waiting.front());
    waiting.pop_front();
    --queued_;
    if (waiting.empty()) {
      waiting_.erase(key);
    } else {
      turns_.push_back(key);
    }
    ++running_[key];
    lock.unlock();
    job();
    lock.lock();
    if (--running_[key] == 0) running_.erase(key);
  }
}

}  // namespace host
