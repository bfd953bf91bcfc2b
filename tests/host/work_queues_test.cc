// The serve threads' queues: no address or crowd keeps a quiet address's check out; bounded.

#include "host/http/work_queues.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A one-thread pool held by a first job until Finish(); records jobs run (in order) and dropped.
class HeldPool {
 public:
  HeldPool(size_t per_key, size_t per_network, size_t queued)
      : pool_(std::make_unique<host::FairPool>(host::FairLimits{1, per_key, per_network, queued})) {
    std::shared_future<void> open = gate_.get_future().share();
    EXPECT_TRUE(pool_->Post(
        "203.0.113.1",
        [this, open] {
          started_.set_value();
          open.wait();
        },
        [] {}));
    started_.get_future().wait();
  }
  ~HeldPool() { Finish(); }

  bool Post(const std::string& address, const std::string& name) {
    return pool_->Post(
        address, [this, name] { Note(&ran_, name); }, [this, name] { Note(&dropped_, name); });
  }
  // Lets the blocker go and waits until everything queued has run.
  void Finish() {
    if (!pool_) return;
    gate_.set_value();
    pool_.reset();
  }
  std::vector<std::string> ran_, dropped_;

 private:
  void Note(std::vector<std::string>* list, const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    list->push_back(name);
  }
  std::promise<void> started_, gate_;
  std::mutex mu_;
  std::unique_ptr<host::FairPool> pool_;
};

// Networks are the addresses' /24 (IPv4, also mapped into IPv6) and /64.
TEST(WorkQueues, FairPoolTakesTurnsBetweenNetworksThenAddresses) {
  HeldPool held(4, 16, 64);
  for (const char* name : {"a1", "a2", "a3"}) EXPECT_TRUE(held.Post("10.0.0.1", name));
  for (const char* name : {"b1", "b2"}) EXPECT_TRUE(held.Post("10.0.0.2", name));
  EXPECT_TRUE(held.Post("::ffff:10.0.0.3", "c1"));
  EXPECT_TRUE(held.Post("10.0.0.1", "a4"));
  EXPECT_FALSE(held.Post("10.0.0.1", "a5")) << "four per address";
  EXPECT_TRUE(held.Post("2001:db8:0:1::7", "d1"));  // another network, late
  EXPECT_TRUE(held.Post("2001:db8:0:1:ffff::8", "e1"));
  held.Finish();
  EXPECT_EQ(held.ran_,
            (std::vector<std::string>{"a1", "d1", "b1", "e1", "c1", "a2", "b2", "a3", "a4"}));
  EXPECT_TRUE(held.dropped_.empty());
}

// A full network or pool refuses more only from an address with a check waiting; in a full pool
// the heaviest network's heaviest address's newest check makes room.
TEST(WorkQueues, FairPoolMakesRoomForQuietAddressesOnly) {
  HeldPool held(4, 3, 5);
  for (const char* name : {"x1", "x2", "x3"}) EXPECT_TRUE(held.Post("10.0.0.1", name));
  EXPECT_FALSE(held.Post("10.0.0.1", "x4")) << "its network is full";
  EXPECT_TRUE(held.Post("10.0.0.2", "y1")) << "quiet";
  EXPECT_FALSE(held.Post("10.0.0.2", "y2"));
  EXPECT_TRUE(held.Post("192.0.2.7", "z1"));  // five wait: the pool is full
  EXPECT_TRUE(held.Post("198.51.100.9", "w1")) << "quiet: x3 makes room";
  EXPECT_TRUE(held.Post("198.51.100.10", "v1")) << "quiet: x2 makes room";
  EXPECT_FALSE(held.Post("198.51.100.9", "w2"));
  held.Finish();
  EXPECT_EQ(held.dropped_, (std::vector<std::string>{"x3", "x2"}));
  EXPECT_EQ(held.ran_, (std::vector<std::string>{"x1", "z1", "w1", "y1", "v1"}));
}

TEST(WorkQueues, DelayLineRunsEachJobNotBeforeItsTimeAndBoundsItsQueue) {
  std::vector<std::pair<std::string, Clock::duration>> ran;
  std::mutex mu;
  const Clock::time_point start = Clock::now();
  const auto job = [&](const char* name) {
    return [&, name] {
      std::lock_guard<std::mutex> lock(mu);
      ran.emplace_back(name, Clock::now() - start);
    };
  };
  {
    host::DelayLine line(2);
    EXPECT_TRUE(line.Post(std::chrono::milliseconds(400), job("late")));
    EXPECT_TRUE(line.Post(std::chrono::milliseconds(200), job("soon")));
    EXPECT_FALSE(line.Post(std::chrono::milliseconds(0), job("over")));
    const auto count = [&] {
      std::lock_guard<std::mutex> lock(mu);
      return ran.size();
    };
    for (int i = 0; i < 1500 && count() < 2; ++i) {  // 30 s at most, on a busy machine
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ASSERT_EQ(ran.size(), 2u);
  EXPECT_EQ(ran[0].first, "soon");
  EXPECT_GE(ran[0].second, std::chrono::milliseconds(200));
  EXPECT_EQ(ran[1].first, "late");
  EXPECT_GE(ran[1].second, std::chrono::milliseconds(400));
}

TEST(WorkQueues, WorkThreadKeepsOrderAndBound) {
  std::vector<int> order;
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  {
    host::WorkThread thread(3);
    ASSERT_TRUE(thread.Post([&] { open.wait(); }));
    // The blocker may or may not have left the queue yet: fill up to the bound.
    int posted = 0;
    while (posted < 10 && thread.Post([&order, posted] { order.push_back(posted); })) ++posted;
    EXPECT_GE(posted, 2);
    EXPECT_LE(posted, 3);
    gate.set_value();
  }
  ASSERT_FALSE(order.empty());
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], static_cast<int>(i));
}

}  // namespace
