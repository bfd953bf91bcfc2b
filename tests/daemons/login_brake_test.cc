// The login brake every door shares (daemons/apache/kivo_login_brake.c),
// without a daemon: two handles on one state file stand for two doors.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/platform/temp_root.h"

extern "C" {
#include "daemons/apache/kivo_login_brake.h"
}

namespace {

class LoginBrakeTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    web_ = kb_open(Path("brake").c_str());
    dav_ = kb_open(Path("brake").c_str());
    ASSERT_NE(web_, nullptr);
    ASSERT_NE(dav_, nullptr);
  }
  void TearDown() override {
    kb_close(web_);
    kb_close(dav_);
    TempRootTest::TearDown();
  }

  // A try at `account` from `address` through `door`: the wait, and when
  // there is none, the outcome recorded.
  long Try(kb_brake* door, const std::string& account, const char* address, int outcome) {
    kb_login login;
    kb_login_keys(door, account.c_str(), address, &login);
    const long wait = kb_take(door, &login, now_);
    if (wait == 0) kb_record(door, &login, outcome, now_);
    return wait;
  }

  kb_brake *web_ = nullptr, *dav_ = nullptr;
  time_t now_ = 1000000;
};

TEST_F(LoginBrakeTest, NetworksAsTheBrakeCountsThem) {
  const struct {
    const char* address;
    const char* network;
  } cases[] = {
      {"192.0.2.7", "4:192.0.2"},
      {"::ffff:192.0.2.99", "4:192.0.2"},
      {"2001:db8:1:2:aaaa::1", "6:20010db800010002"},
      {"2001:db8:1:3::1", "6:20010db800010003"},
  };
  for (const auto& c : cases) {
    char network[64];
    kb_network_of(c.address, network, sizeof network);
    EXPECT_STREQ(network, c.network) << c.address;
  }
}

// Guesses from many networks, through either door, brake the account for
// every network but the one its owner logged in from; the tries let
// through before the brake are charged at once, so concurrent ones cannot
// all pass.
TEST_F(LoginBrakeTest, AnAccountUnderAttackServesItsOwnersNetworkOnly) {
  EXPECT_EQ(Try(web_, "admin", "10.0.0.1", KB_SUCCEEDED), 0);
  kb_login held[6];  // the five free failures, and one that sets the wait
  for (int i = 0; i < 6; ++i) {
    const std::string address = "10.1." + std::to_string(i) + ".1";
    kb_login_keys(dav_, "admin", address.c_str(), &held[i]);
    EXPECT_EQ(kb_take(dav_, &held[i], now_), 0) << i;  // still being checked
  }
  EXPECT_GT(Try(web_, "admin", "10.2.0.1", KB_FAILED), 0) << "a seventh, concurrent";
  for (kb_login& login : held) kb_record(dav_, &login, KB_FAILED, now_);
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(Try(round % 2 ? web_ : dav_, "admin", "10.0.0.77", KB_SUCCEEDED), 0) << round;
  }
  EXPECT_GT(Try(dav_, "admin", "10.3.0.1", KB_SUCCEEDED), 0) << "a network never trusted";
  EXPECT_EQ(Try(dav_, "alice", "10.3.0.1", KB_FAILED), 0) << "another account";
  // The owner's own network is braked by its own failures only.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Try(web_, "admin", "10.0.0.1", KB_FAILED), 0) << i;
  EXPECT_EQ(Try(web_, "admin", "10.0.0.1", KB_FAILED), 0);
  EXPECT_GT(Try(web_, "admin", "10.0.0.1", KB_SUCCEEDED), 0);
  now_ += 3600;
  EXPECT_EQ(Try(dav_, "admin", "10.3.0.1", KB_FAILED), 0) << "forgotten after quiet";
}

// A network guessing many accounts is braked for all of them; successes
// and tries never checked (busy) are given back.
TEST_F(LoginBrakeTest, ANetworkGuessingManyAccountsIsBraked) {
  for (int i = 0; i < 21; ++i) {
    EXPECT_EQ(Try(web_, "user" + std::to_string(i), "10.9.9.1", KB_FAILED), 0) << i;
  }
  EXPECT_GT(Try(dav_, "someone", "10.9.9.200", KB_FAILED), 0);
  // Kept refused, it is turned away before a door spends anything on it;
  // a network that ever logged in never is.
  for (int i = 0; i < 15; ++i) EXPECT_GT(Try(web_, "x", "10.9.9.1", KB_FAILED), 0);
  EXPECT_TRUE(kb_network_shed(dav_, "10.9.9.5", now_));
  EXPECT_FALSE(kb_network_shed(dav_, "10.9.8.5", now_));
  EXPECT_EQ(Try(web_, "admin", "10.6.0.1", KB_SUCCEEDED), 0);
  for (int i = 0; i < 40; ++i) Try(web_, "u" + std::to_string(i), "10.6.0.1", KB_FAILED);
  EXPECT_FALSE(kb_network_shed(dav_, "10.6.0.1", now_));
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(Try(web_, "bob", "10.8.0.1", i % 2 ? KB_SUCCEEDED : KB_UNCHECKED), 0) << i;
    EXPECT_EQ(Try(web_, "bob", ("10.7." + std::to_string(i) + ".1").c_str(), KB_SUCCEEDED), 0) << i;
  }
  // A minute on, one try more and the refusals count from none again: fifteen leave the
  // network served, sixteen shed it.
  now_ += 60;
  EXPECT_EQ(Try(web_, "x", "10.9.9.1", KB_FAILED), 0);
  for (int i = 0; i < 15; ++i) EXPECT_GT(Try(web_, "x", "10.9.9.1", KB_FAILED), 0) << i;
  EXPECT_FALSE(kb_network_shed(dav_, "10.9.9.5", now_));
  EXPECT_GT(Try(web_, "x", "10.9.9.1", KB_FAILED), 0);
  EXPECT_TRUE(kb_network_shed(dav_, "10.9.9.5", now_));
}

TEST_F(LoginBrakeTest, AStateFileOthersCouldReadIsRefused) {
  // Any bit for the group or others, each alone.
  std::vector<std::pair<std::string, int>> refused;
  for (const mode_t mode : {0640, 0620, 0610, 0604, 0602, 0601}) {
    const std::string name = "open-" + std::to_string(mode);
    const int fd = open(Path(name).c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(chmod(Path(name).c_str(), mode), 0);
    refused.emplace_back(name, EPERM);
  }
  ASSERT_EQ(symlink(Path("open-420").c_str(), Path("link").c_str()), 0);
  ASSERT_EQ(mkdir(Path("folder").c_str(), 0700), 0);
  // Each refusal says why, as the open or the check found it.
  refused.insert(refused.end(), {{"link", ELOOP}, {"folder", EISDIR}, {"missing/state", ENOENT}});
  for (const auto& [name, error] : refused) {
    errno = 0;
    EXPECT_EQ(kb_open(Path(name).c_str()), nullptr) << name;
    EXPECT_EQ(errno, error) << name;
  }
}

}  // namespace
