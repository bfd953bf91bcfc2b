// Sessions and the login brake against a clock the test moves by hand.

#include "host/sessions.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using std::chrono::seconds;
using Admit = host::LoginGuard::Admit;

constexpr seconds kIdle(900), kLockout(300);
constexpr int kMaxFailures = 5, kMaxPending = 4;

class SessionsTest : public ::testing::Test {
 protected:
  // A steady clock that only moves when told to.
  host::Clock clock() {
    return [this] { return now_; };
  }

  // One complete login attempt; what Begin answered.
  Admit Attempt(const std::string& account, bool success) {
    const Admit admit = guard_.Begin(account);
    if (admit == Admit::kYes) guard_.End(account, success);
    return admit;
  }
  void Fail(const std::string& account, int times) {
    for (int i = 0; i < times; ++i) ASSERT_EQ(Attempt(account, false), Admit::kYes) << i;
  }

  std::chrono::steady_clock::time_point now_{seconds(1000)};
  host::SessionStore store_{kIdle, 100, clock()};
  host::LoginGuard guard_{kMaxFailures, kLockout, kMaxPending, clock()};
};

TEST_F(SessionsTest, TokensAreLongRandomHexAndDistinct) {
  std::set<std::string> seen;
  std::string all;
  for (int i = 0; i < 200; ++i) {
    const std::string token = store_.Create("admin");
    ASSERT_GE(token.size(), 32u) << "at least 128 bits";
    EXPECT_TRUE(seen.insert(token).second) << "token repeated: " << token;
    all += token;
  }
  const std::string hex = "0123456789abcdef";  // each digit turns up, nothing else
  EXPECT_EQ(std::set<char>(all.begin(), all.end()), std::set<char>(hex.begin(), hex.end()));
}

TEST_F(SessionsTest, IdleLimitEndsASessionAndUseExtendsIt) {
  const std::string token = store_.Create("bob");
  // Exactly the limit is still alive; each use starts the idle time afresh;
  // one second too long ends it for good.
  const std::pair<seconds, bool> steps[] = {
      {kIdle, true},       {kIdle - seconds(1), true}, {kIdle, true}, {kIdle + seconds(1), false},
      {seconds(0), false},
  };
  for (const auto& [advance, alive] : steps) {
    now_ += advance;
    std::string account;
    EXPECT_EQ(store_.Lookup(token, &account), alive) << advance.count();
    EXPECT_EQ(account, alive ? "bob" : "") << advance.count();
  }
  EXPECT_EQ(store_.size(), 0u) << "an expired session is forgotten";
}

// A full store ends the session idle longest; logout ends only its own.
TEST_F(SessionsTest, FullStoreOrLogoutEndsOneSession) {
  host::SessionStore store(kIdle, 2, clock());
  const std::string first = store.Create("a");
  now_ += seconds(10);
  const std::string second = store.Create("b");
  now_ += seconds(10);
  std::string account;
  ASSERT_TRUE(store.Lookup(first, &account));  // now `second` is idle longest
  const std::string third = store.Create("c");
  EXPECT_FALSE(store.Lookup(second, &account));
  EXPECT_TRUE(store.Remove(first));
  EXPECT_FALSE(store.Remove(first)) << "a second logout finds nothing";
  EXPECT_FALSE(store.Lookup(first, &account));
  EXPECT_TRUE(store.Lookup(third, &account));
  EXPECT_EQ(account, "c");
}

// Five failures lock the account for the period. A success, a quiet spell or
// the end of a lockout forgets earlier failures: each round would lock otherwise.
TEST_F(SessionsTest, FiveFailuresLockTheAccountForThePeriod) {
  Fail("bob", kMaxFailures - 1);
  ASSERT_EQ(Attempt("bob", true), Admit::kYes);
  Fail("bob", kMaxFailures - 1);
  now_ += kLockout + seconds(1);
  Fail("bob", kMaxFailures);  // the fifth attempt is still let in
  EXPECT_EQ(Attempt("bob", true), Admit::kLockedOut) << "not even the right password";
  EXPECT_EQ(Attempt("carol", true), Admit::kYes) << "other accounts are not locked";
  now_ += kLockout - seconds(1);
  EXPECT_EQ(Attempt("bob", true), Admit::kLockedOut);
  now_ += seconds(1);
  Fail("bob", kMaxFailures - 1);  // released after the period
  EXPECT_EQ(Attempt("bob", true), Admit::kYes);
}

TEST_F(SessionsTest, BoundsUnfinishedLogins) {
  for (int i = 0; i < kMaxPending; ++i) {
    ASSERT_EQ(guard_.Begin("user" + std::to_string(i)), Admit::kYes) << i;
  }
  EXPECT_EQ(guard_.Begin("late"), Admit::kBusy);
  guard_.End("user0", false);
  EXPECT_EQ(guard_.Begin("late"), Admit::kYes) << "a finished check frees a place";
  EXPECT_EQ(guard_.Begin("later"), Admit::kBusy);
  for (int i = 1; i < kMaxPending; ++i) guard_.End("user" + std::to_string(i), true);
  guard_.End("late", true);
  EXPECT_EQ(Attempt("later", true), Admit::kYes);
}

}  // namespace
