// Sessions and the login brake against a clock the test moves by hand.

#include "host/webapi/sessions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>

namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

constexpr seconds kIdle(900), kLifetime(12 * 3600);

class SessionsTest : public ::testing::Test {
 protected:
  // A steady clock that only moves when told to.
  host::Clock clock() {
    return [this] { return now_; };
  }
  static host::Grant GrantFor(const std::string& account) { return {account, "$y$hash", false}; }
  bool Alive(const std::string& token) {
    host::Grant grant;
    return store_.Lookup(token, &grant);
  }

  std::chrono::steady_clock::time_point now_{seconds(1000)};
  host::SessionStore store_{kIdle, kLifetime, 100, clock()};
  // Two free failures, then 1 s doubling up to 8 s; forgotten after 60 s.
  host::LoginBrake brake_{2, seconds(1), seconds(8), seconds(60), clock()};
};

TEST_F(SessionsTest, TokensAreLongRandomHexAndDistinct) {
  // Every byte value turns up, as two lowercase hex digits, and nothing
  // else: no bit of the random bytes is lost in the writing (16,000 bytes
  // miss one of 256 values with a chance below 1e-25).
  std::set<std::string> seen, bytes;
  for (int i = 0; i < 500; ++i) {
    const std::string token = store_.Create(GrantFor("admin"), 1);
    ASSERT_GE(token.size(), 32u) << "at least 128 bits";
    ASSERT_EQ(token.size() % 2, 0u) << token;
    EXPECT_TRUE(seen.insert(token).second) << "token repeated: " << token;
    for (size_t at = 0; at < token.size(); at += 2) bytes.insert(token.substr(at, 2));
  }
  std::set<std::string> all;
  const std::string hex = "0123456789abcdef";
  for (const char high : hex) {
    for (const char low : hex) all.insert({high, low});
  }
  EXPECT_EQ(bytes, all);
}

TEST_F(SessionsTest, IdleLimitEndsASessionAndUseExtendsItButNotPastItsLifetime) {
  const std::string token = store_.Create(GrantFor("bob"), 1);
  // Exactly the limit is alive, each use restarts the idle time, a second more ends it for good.
  const std::pair<seconds, bool> steps[] = {
      {kIdle, true},       {kIdle - seconds(1), true}, {kIdle, true}, {kIdle + seconds(1), false},
      {seconds(0), false},
  };
  for (const auto& [advance, alive] : steps) {
    now_ += advance;
    host::Grant grant;
    EXPECT_EQ(store_.Lookup(token, &grant), alive) << advance.count();
    EXPECT_EQ(grant.account, alive ? "bob" : "") << advance.count();
  }
  EXPECT_EQ(store_.size(), 0u) << "an expired session is forgotten";
  // Used within every idle limit, a session still ends at its lifetime.
  const std::string used = store_.Create(GrantFor("bob"), 1);
  for (seconds since(0); since < kLifetime; since += kIdle - seconds(1)) {
    ASSERT_TRUE(Alive(used)) << since.count();
    now_ += kIdle - seconds(1);
  }
  EXPECT_FALSE(Alive(used));
}

// A changed account version asks once whether the grant holds; a no ends the session.
TEST_F(SessionsTest, ConfirmAsksOncePerVersionAndEndsWhatNoLongerHolds) {
  const std::string token = store_.Create(GrantFor("bob"), 1);
  int asked = 0;
  const auto holds = [&](const host::Grant& g) {
    ++asked;
    EXPECT_EQ(g.account, "bob");
    return true;
  };
  EXPECT_TRUE(store_.Confirm(token, 1, holds));
  EXPECT_TRUE(store_.Confirm(token, 2, holds));
  EXPECT_TRUE(store_.Confirm(token, 2, holds));
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(store_.Confirm(token, 3, [](const host::Grant&) { return false; }));
  EXPECT_FALSE(Alive(token));
  EXPECT_FALSE(store_.Confirm(token, 3, holds));
}

// A full store ends the session idle longest; logout ends only its own.
TEST_F(SessionsTest, FullStoreOrLogoutEndsOneSession) {
  host::SessionStore store(kIdle, kLifetime, 2, clock());
  const std::string first = store.Create(GrantFor("a"), 1);
  now_ += seconds(10);
  const std::string second = store.Create(GrantFor("b"), 1);
  now_ += seconds(10);
  host::Grant grant;
  ASSERT_TRUE(store.Lookup(first, &grant));  // now `second` is idle longest
  const std::string third = store.Create(GrantFor("c"), 1);
  EXPECT_FALSE(store.Lookup(second, &grant));
  EXPECT_TRUE(store.Remove(first));
  EXPECT_FALSE(store.Remove(first)) << "a second logout finds nothing";
  EXPECT_FALSE(store.Lookup(first, &grant));
  EXPECT_TRUE(store.Lookup(third, &grant));
  EXPECT_EQ(grant.account, "c");
}

// Failures slow their own pair only, more with each up to the cap; a success or quiet forgets.
TEST_F(SessionsTest, FailuresSlowTheirPairOnly) {
  const auto fail = [&] { brake_.Record("bob", "10.0.0.9", false); };
  fail();
  fail();
  EXPECT_EQ(brake_.Wait("bob", "10.0.0.9"), seconds(0)) << "two free failures";
  const int expected[] = {1, 2, 4, 8, 8};
  for (int wait : expected) {
    fail();
    EXPECT_GE(brake_.Wait("bob", "10.0.0.9"), seconds(wait));
    EXPECT_LE(brake_.Wait("bob", "10.0.0.9"), seconds(wait + 1));
    EXPECT_EQ(brake_.Wait("bob", "10.0.0.1"), seconds(0)) << "the owner's address";
    EXPECT_EQ(brake_.Wait("carol", "10.0.0.9"), seconds(0)) << "another account";
    now_ += seconds(wait);
    EXPECT_EQ(brake_.Wait("bob", "10.0.0.9"), seconds(0)) << wait;
  }
  brake_.Record("bob", "10.0.0.9", true);
  fail();
  fail();
  EXPECT_EQ(brake_.Wait("bob", "10.0.0.9"), seconds(0)) << "a success forgets";
  now_ += seconds(61);
  fail();
  EXPECT_EQ(brake_.Wait("bob", "10.0.0.9"), seconds(0)) << "a quiet spell forgets";
}

// What a hash takes, lately: the first hash whole, each later one for an eighth; with the
// shared brake, what one door notes is what every door reads.
TEST_F(SessionsTest, TheHashTimeIsARunningAverageEveryDoorReads) {
  host::LoginBrake own{0, seconds(60), seconds(60), seconds(600), clock()};
  const std::string path = testing::TempDir() + "/hash-time-brake";
  unlink(path.c_str());
  std::unique_ptr<kb_brake, void (*)(kb_brake*)> shared(kb_open(path.c_str()), kb_close);
  ASSERT_NE(shared, nullptr);
  host::LoginBrake web{0, seconds(60), seconds(60), seconds(600), clock()};
  web.Share(shared.get());
  host::LoginBrake other{0, seconds(60), seconds(60), seconds(600), clock()};
  other.Share(shared.get());
  for (host::LoginBrake* noting : {&own, &web}) {
    host::LoginBrake* reading = noting == &own ? &own : &other;
    EXPECT_EQ(reading->HashTime(), nanoseconds(0));
    noting->NoteHash(nanoseconds(8000));
    EXPECT_EQ(reading->HashTime(), nanoseconds(8000));
    noting->NoteHash(nanoseconds(16000));
    EXPECT_EQ(reading->HashTime(), nanoseconds(9000));
    noting->NoteHash(nanoseconds(1000));
    EXPECT_EQ(reading->HashTime(), nanoseconds(8000));
  }
  EXPECT_EQ(kb_hash_ns(shared.get()), 8000);
  unlink(path.c_str());
}

// A flood of fresh pairs, each braked: the table holds its 10,000 records, never one more, and
// the newest pair is among them.
TEST_F(SessionsTest, AFloodOfPairsKeepsTheBrakesTableBounded) {
  host::LoginBrake brake{0, seconds(60), seconds(60), seconds(600), clock()};
  constexpr int kPairs = 10001;
  const auto address = [](int i) {
    return "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1";
  };
  for (int i = 0; i < kPairs; ++i) brake.Record("bob", address(i), false);
  int braked = 0;
  for (int i = 0; i < kPairs; ++i) braked += brake.Wait("bob", address(i)) > seconds(0);
  EXPECT_EQ(braked, 10000);
  EXPECT_GT(brake.Wait("bob", address(kPairs - 1)), seconds(0));
}

}  // namespace
