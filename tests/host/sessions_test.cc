// Sessions and the login brake against a clock the test moves by hand.

#include "host/sessions.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using std::chrono::seconds;

// A steady clock that only moves when told to.
class ManualClock {
 public:
  host::Clock clock() {
    return [this] { return now_; };
  }
  void Advance(seconds by) { now_ += by; }

 private:
  std::chrono::steady_clock::time_point now_{seconds(1000)};
};

constexpr seconds kIdle(900);

class SessionStoreTest : public ::testing::Test {
 protected:
  ManualClock time_;
  host::SessionStore store_{kIdle, 100, time_.clock()};
};

TEST_F(SessionStoreTest, TokensAreLongRandomHexAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string token = store_.Create("admin");
    ASSERT_GE(token.size(), 32u) << "at least 128 bits";
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    EXPECT_TRUE(seen.insert(token).second) << "token repeated: " << token;
  }
  // 200 tokens of 256 bits: every hex digit must turn up somewhere.
  std::string all;
  for (const std::string& t : seen) all += t;
  for (char digit : std::string("0123456789abcdef")) {
    EXPECT_NE(all.find(digit), std::string::npos) << digit;
  }
}

TEST_F(SessionStoreTest, IdleLimitEndsASessionAndUseExtendsIt) {
  const std::string token = store_.Create("bob");
  std::string account;
  struct Step {
    seconds advance;
    bool alive;
  } steps[] = {
      {kIdle, true},               // exactly the limit: still alive
      {kIdle - seconds(1), true},  // each use starts the idle time afresh
      {kIdle, true},
      {kIdle + seconds(1), false},  // one second too long
      {seconds(0), false},          // and it stays gone
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    time_.Advance(steps[i].advance);
    account.clear();
    EXPECT_EQ(store_.Lookup(token, &account), steps[i].alive) << "step " << i;
    EXPECT_EQ(account, steps[i].alive ? "bob" : "") << "step " << i;
  }
  EXPECT_EQ(store_.size(), 0u) << "an expired session is forgotten";
}

TEST_F(SessionStoreTest, LogoutEndsOnlyThatSession) {
  const std::string bob = store_.Create("bob");
  const std::string carol = store_.Create("carol");
  std::string account;
  EXPECT_TRUE(store_.Remove(bob));
  EXPECT_FALSE(store_.Lookup(bob, &account));
  EXPECT_FALSE(store_.Remove(bob)) << "a second logout finds nothing";
  EXPECT_TRUE(store_.Lookup(carol, &account));
  EXPECT_EQ(account, "carol");
}

TEST_F(SessionStoreTest, UnknownTokensFindNothing) {
  store_.Create("admin");
  std::string account = "unchanged";
  const std::string tokens[] = {"", "0", std::string(64, '0'), std::string(64, 'f')};
  for (const std::string& token : tokens) {
    EXPECT_FALSE(store_.Lookup(token, &account)) << token;
  }
  EXPECT_EQ(account, "unchanged");
}

TEST(SessionStoreLimit, FullStoreEndsTheSessionIdleLongest) {
  ManualClock time;
  host::SessionStore store(kIdle, 2, time.clock());
  const std::string first = store.Create("a");
  time.Advance(seconds(10));
  const std::string second = store.Create("b");
  time.Advance(seconds(10));
  std::string account;
  ASSERT_TRUE(store.Lookup(first, &account));  // now `second` is idle longest
  const std::string third = store.Create("c");
  EXPECT_EQ(store.size(), 2u);
  EXPECT_TRUE(store.Lookup(first, &account));
  EXPECT_FALSE(store.Lookup(second, &account));
  EXPECT_TRUE(store.Lookup(third, &account));
}

// ---- login brake -----------------------------------------------------------

constexpr int kMaxFailures = 5;
constexpr seconds kLockout(300);
constexpr int kMaxPending = 4;

class LoginGuardTest : public ::testing::Test {
 protected:
  using Admit = host::LoginGuard::Admit;

  // One complete login attempt; what Begin answered.
  Admit Attempt(const std::string& account, bool success) {
    const Admit admit = guard_.Begin(account);
    if (admit == Admit::kYes) guard_.End(account, success);
    return admit;
  }
  void Fail(const std::string& account, int times) {
    for (int i = 0; i < times; ++i) ASSERT_EQ(Attempt(account, false), Admit::kYes) << i;
  }

  ManualClock time_;
  host::LoginGuard guard_{kMaxFailures, kLockout, kMaxPending, time_.clock()};
};

TEST_F(LoginGuardTest, FiveFailuresLockTheAccountForThePeriod) {
  Fail("bob", kMaxFailures - 1);
  EXPECT_EQ(guard_.Begin("bob"), Admit::kYes) << "four failures do not lock";
  guard_.End("bob", false);

  EXPECT_EQ(Attempt("bob", true), Admit::kLockedOut) << "not even the right password";
  EXPECT_EQ(Attempt("carol", true), Admit::kYes) << "other accounts are not locked";
  time_.Advance(kLockout - seconds(1));
  EXPECT_EQ(Attempt("bob", true), Admit::kLockedOut);
  time_.Advance(seconds(1));
  Fail("bob", kMaxFailures - 1);  // released after the period
  EXPECT_EQ(Attempt("bob", true), Admit::kYes) << "failures count afresh after a lockout";
}

TEST_F(LoginGuardTest, SuccessOrAQuietSpellForgetsFailures) {
  struct Case {
    const char* what;
    bool succeed_between;
    seconds pause;
  } cases[] = {
      {"a success between", true, seconds(0)},
      {"a pause longer than the lockout", false, kLockout + seconds(1)},
  };
  for (const Case& c : cases) {
    const std::string account = c.what;
    Fail(account, kMaxFailures - 1);
    if (c.succeed_between) {
      ASSERT_EQ(Attempt(account, true), Admit::kYes);
    }
    time_.Advance(c.pause);
    Fail(account, kMaxFailures - 1);
    EXPECT_EQ(Attempt(account, true), Admit::kYes) << c.what;
  }
}

TEST_F(LoginGuardTest, BoundsUnfinishedLogins) {
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
