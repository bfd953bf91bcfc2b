// The serve threads' queues: one address cannot hog the password checks,
// and neither queue grows past its bound.

#include "host/work_queues.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace {

TEST(WorkQueues, FairPoolTakesTurnsBetweenKeysAndBoundsEach) {
  std::vector<std::string> order;
  std::mutex mu;
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  std::promise<void> started;
  {
    host::FairPool pool(1, 4, 64);
    const auto job = [&](const std::string& name) {
      return [&, name] {
        std::lock_guard<std::mutex> lock(mu);
        order.push_back(name);
      };
    };
    ASSERT_TRUE(pool.Post("10.0.0.9", [&] {
      started.set_value();
      open.wait();
      job("a1")();
    }));
    started.get_future().wait();
    for (const char* name : {"a2", "a3", "a4"}) EXPECT_TRUE(pool.Post("10.0.0.9", job(name)));
    EXPECT_FALSE(pool.Post("10.0.0.9", job("a5"))) << "four under way per key";
    EXPECT_TRUE(pool.Post("10.0.0.1", job("b1")));
    gate.set_value();
  }  // the destructor runs what is queued
  EXPECT_EQ(order, (std::vector<std::string>{"a1", "a2", "b1", "a3", "a4"}));
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
