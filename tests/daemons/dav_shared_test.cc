// What the WebDAV daemon's processes share (mod_kivo_dav's
// kivo_dav_shared.c), without Apache: remembered logins and the connections
// not logged in yet, on a clock the test moves by hand (every call takes
// `now`). The brake on guessing every door shares: login_brake_test.cc.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

extern "C" {
#include "daemons/apache/kivo_dav_shared.h"
}

namespace {

struct Key {
  unsigned char bytes[KD_KEY_BYTES];
};

class DavSharedTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(s_, nullptr); }

  Key K(const std::string& a, const std::string& b) const {
    Key k;
    kd_key(s_, a.c_str(), b.data(), b.size(), k.bytes);
    return k;
  }
  bool Known(const std::string& name, const std::string& password, const std::string& hash,
             time_t now) {
    return kd_login_known(s_, K(name, password).bytes, K("stored", hash).bytes, now, 60) == 1;
  }
  void Remember(const std::string& name, const std::string& password, const std::string& hash,
                time_t now) {
    kd_login_remember(s_, K(name, password).bytes, K("stored", hash).bytes, now);
  }

  kd_shared* s_ = kd_shared_create();
};

TEST_F(DavSharedTest, KeysSeparateTheirPartsAndDifferPerDaemon) {
  const Key k = K("alice", "secret");
  const std::vector<Key> others = {K("alice", "secreT"), K("alice", "secret2"), K("alice", ""),
                                   K("alicesecret", ""), K("alic", "esecret"), K("bob", "secret")};
  for (const Key& o : others) EXPECT_NE(std::string(k.bytes, k.bytes + KD_KEY_BYTES),
                                        std::string(o.bytes, o.bytes + KD_KEY_BYTES));
  // The whole password counts, bytes after a NUL too.
  EXPECT_NE(std::string((const char*)K("a", std::string("pw\0x", 4)).bytes, KD_KEY_BYTES),
            std::string((const char*)K("a", std::string("pw\0y", 4)).bytes, KD_KEY_BYTES));
  kd_shared* other = kd_shared_create();
  ASSERT_NE(other, nullptr);
  Key elsewhere;
  kd_key(other, "alice", "secret", 6, elsewhere.bytes);
  EXPECT_NE(std::string(k.bytes, k.bytes + KD_KEY_BYTES),
            std::string(elsewhere.bytes, elsewhere.bytes + KD_KEY_BYTES))
      << "the secret is drawn per daemon";
}

// A remembered login stands for its name, its password and the stored hash
// it was checked against, for less than its age.
TEST_F(DavSharedTest, ARememberedLoginMatchesOnlyItself) {
  const time_t t = 1000000;
  EXPECT_FALSE(Known("alice", "right", "$6$a", t));
  Remember("alice", "right", "$6$a", t);
  Remember("bob", "other", "$6$b", t);
  EXPECT_TRUE(Known("alice", "right", "$6$a", t));
  EXPECT_TRUE(Known("alice", "right", "$6$a", t + 59));
  EXPECT_FALSE(Known("alice", "right", "$6$a", t + 60)) << "older than its age";
  EXPECT_FALSE(Known("alice", "right", "$6$a", t - 1)) << "from the future (clock set back)";
  EXPECT_FALSE(Known("alice", "wrong", "$6$a", t)) << "a wrong password";
  EXPECT_FALSE(Known("alice", "", "$6$a", t));
  EXPECT_FALSE(Known("alice", "other", "$6$b", t)) << "bob's password for alice";
  EXPECT_FALSE(Known("alice", "right", "$6$changed", t)) << "the stored hash changed";
  EXPECT_TRUE(Known("bob", "other", "$6$b", t));
  // Remembered again after the change: the new hash counts, the old no more.
  Remember("alice", "right", "$6$changed", t + 1);
  EXPECT_TRUE(Known("alice", "right", "$6$changed", t + 1));
  EXPECT_FALSE(Known("alice", "right", "$6$a", t + 1));
}

// Connections not logged in yet: a burst of fresh ones per address and per
// network, fewer slow ones; a ticket given back frees its place once.
TEST_F(DavSharedTest, PendingConnectionsCountPerAddressAndNetwork) {
  const kd_limits limits = {2, 3, 0};  // no total bound here
  const Key a1 = K("address", "a1"), a2 = K("address", "a2"), a3 = K("address", "a3");
  const Key net = K("network", "n"), far = K("network", "m");
  const time_t t = 100;
  std::vector<kd_ticket> tickets;
  kd_ticket ticket;
  for (int i = 0; i < KD_BURST * limits.per_address; ++i) {
    ASSERT_EQ(kd_connection_take(s_, a1.bytes, net.bytes, &limits, t, &ticket), 1) << i;
    tickets.push_back(ticket);
  }
  EXPECT_EQ(kd_connection_take(s_, a1.bytes, net.bytes, &limits, t, &ticket), 0);
  EXPECT_EQ(ticket.slot, -1);
  // The network's burst (12) holds four more from its other addresses.
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(kd_connection_take(s_, a2.bytes, net.bytes, &limits, t, &ticket), 1) << i;
  }
  EXPECT_EQ(kd_connection_take(s_, a3.bytes, net.bytes, &limits, t, &ticket), 0);
  EXPECT_EQ(kd_connection_take(s_, a3.bytes, far.bytes, &limits, t, &ticket), 1);
  kd_connection_give(s_, &ticket);

  // Given back once: a copy of the ticket given later (by the other
  // process of the connection) frees nothing, its place taken meanwhile.
  const kd_ticket copy = tickets[0];
  kd_connection_give(s_, &tickets[0]);
  EXPECT_EQ(tickets[0].slot, -1);
  EXPECT_EQ(kd_connection_take(s_, a1.bytes, far.bytes, &limits, t, &ticket), 1);
  EXPECT_EQ(ticket.slot, copy.slot);
  kd_ticket late = copy;
  kd_connection_give(s_, &late);
  EXPECT_EQ(kd_connection_take(s_, a1.bytes, far.bytes, &limits, t, &ticket), 0);

  // Two seconds on, all of them are slow: a fresh address of a network
  // with three slow ones waits, one elsewhere does not.
  EXPECT_EQ(kd_connection_take(s_, a3.bytes, net.bytes, &limits, t + KD_SLOW_SECONDS, &ticket),
            0);
  const Key a4 = K("address", "a4"), quiet = K("network", "q");
  EXPECT_EQ(kd_connection_take(s_, a4.bytes, quiet.bytes, &limits, t + KD_SLOW_SECONDS, &ticket),
            1);
}

}  // namespace
