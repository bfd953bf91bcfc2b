// What the WebDAV daemon's processes share (mod_kivo_dav's
// kivo_dav_shared.c), without Apache: remembered logins and the connections
// not logged in yet, on a clock the test moves by hand (every call takes
// `now`). The brake on guessing every door shares: login_brake_test.cc.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include "daemons/apache/kivo_dav_shared.h"
}

namespace {

struct Key {
  unsigned char bytes[KD_KEY_BYTES];
  std::string text() const { return std::string(bytes, bytes + KD_KEY_BYTES); }
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

  // Forks a process that runs `take` and then stays alive, holding what it
  // took, until ReleaseOther(): its places are a live process's. False when
  // `take` failed there.
  bool HoldInOtherProcess(const std::function<bool()>& take) {
    if (pipe(ready_) != 0 || pipe(hold_) != 0) return false;
    other_ = fork();
    if (other_ == 0) {
      char c = take() ? 'y' : 'n';
      if (write(ready_[1], &c, 1) != 1 || read(hold_[0], &c, 1) < 0) _exit(1);
      _exit(0);
    }
    char c = 0;
    return other_ > 0 && read(ready_[0], &c, 1) == 1 && c == 'y';
  }

  // Lets that process end, cleanly.
  void ReleaseOther() {
    if (other_ <= 0) return;
    EXPECT_EQ(write(hold_[1], "x", 1), 1);
    int status = 0;
    EXPECT_EQ(waitpid(other_, &status, 0), other_);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready_[0], ready_[1], hold_[0], hold_[1]}) close(fd);
    other_ = -1;
  }

  void TearDown() override { ReleaseOther(); }

  kd_shared* s_ = kd_shared_create();
  pid_t other_ = -1;
  int ready_[2] = {-1, -1}, hold_[2] = {-1, -1};
};

TEST_F(DavSharedTest, KeysSeparateTheirPartsAndDifferPerDaemon) {
  const Key k = K("alice", "secret");
  const std::vector<Key> others = {K("alice", "secreT"), K("alice", "secret2"), K("alice", ""),
                                   K("alicesecret", ""), K("alic", "esecret"),  K("bob", "secret")};
  for (const Key& o : others) EXPECT_NE(k.text(), o.text());
  // The whole password counts, bytes after a NUL too.
  EXPECT_NE(K("a", std::string("pw\0x", 4)).text(), K("a", std::string("pw\0y", 4)).text());
  kd_shared* other = kd_shared_create();
  ASSERT_NE(other, nullptr);
  Key elsewhere;
  kd_key(other, "alice", "secret", 6, elsewhere.bytes);
  EXPECT_NE(k.text(), elsewhere.text()) << "the secret is drawn per daemon";
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
  EXPECT_EQ(kd_connection_take(s_, a3.bytes, net.bytes, &limits, t + KD_SLOW_SECONDS, &ticket), 0);
  const Key a4 = K("address", "a4"), quiet = K("network", "q");
  EXPECT_EQ(kd_connection_take(s_, a4.bytes, quiet.bytes, &limits, t + KD_SLOW_SECONDS, &ticket),
            1);
}

// Whether `fd`'s socket was shut (a read finds its end) rather than idle.
bool Shut(int fd) {
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

// At the total bound a newcomer from a quiet network makes this process's
// oldest pending connection give way, its socket shut. Another process's
// is never shut from here: its descriptor number names some other socket
// (or none) in this process. With none of its own to give, it refuses.
TEST_F(DavSharedTest, AtTheTotalBoundOnlyThisProcessGivesWay) {
  const kd_limits limits = {4, 8, 2};
  const Key a1 = K("address", "a1"), a2 = K("address", "a2"), a3 = K("address", "a3");
  const time_t t = 100;
  int mine[2], theirs[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, mine), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, theirs), 0);
  // The other process's connection came first: the oldest of all.
  ASSERT_TRUE(HoldInOtherProcess([&] {
    kd_ticket ticket;
    if (kd_connection_take(s_, a1.bytes, K("network", "n1").bytes, &limits, t, &ticket) != 1) {
      return false;
    }
    kd_connection_served_here(s_, &ticket, theirs[0]);
    return true;
  }));
  kd_ticket ticket;
  ASSERT_EQ(kd_connection_take(s_, a2.bytes, K("network", "n2").bytes, &limits, t, &ticket), 1);
  kd_connection_served_here(s_, &ticket, mine[0]);

  EXPECT_EQ(kd_connection_take(s_, a3.bytes, K("network", "n3").bytes, &limits, t + 1, &ticket), 1);
  EXPECT_TRUE(Shut(mine[0])) << "this process's own gave way";
  EXPECT_FALSE(Shut(theirs[0]));
  // The newcomer has no socket noted yet: nothing of this process's to shut.
  EXPECT_EQ(kd_connection_take(s_, a3.bytes, K("network", "n4").bytes, &limits, t + 1, &ticket), 0);
  EXPECT_FALSE(Shut(theirs[0])) << "another process's socket shut here";

  ReleaseOther();
  for (int fd : {mine[0], mine[1], theirs[0], theirs[1]}) close(fd);
}

// The table is one spin lock's: processes taking and giving places for one
// address at once, each holding several, never hold more than its burst
// between them, and never two the same place. Whatever the interleaving
// this holds (a place is marked free here before it is given back); a lock
// that let two in at once would let both count, and take, the same places.
TEST_F(DavSharedTest, ProcessesTakingAtOnceStayWithinTheBound) {
  const kd_limits limits = {1, 100, 0};  // a burst of KD_BURST places for the address
  const Key address = K("address", "a"), network = K("network", "n");
  constexpr int kSlots = 1 << 16;  // more than the table has
  struct Counts {
    std::atomic<int> held, most, taken, shared;
    std::atomic<int> holder[kSlots];
  };
  void* map = mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1,
                   0);  // zero-filled: nobody holds anything
  ASSERT_NE(map, MAP_FAILED);
  Counts* counts = static_cast<Counts*>(map);
  // Another live process's places make every look through the table long
  // (a liveness check each), so that takers are in it at the same time.
  ASSERT_TRUE(HoldInOtherProcess([&] {
    for (int i = 0; i < 64; ++i) {
      kd_ticket ticket;
      const std::string name = std::to_string(i);
      if (kd_connection_take(s_, K("filler", name).bytes, K("far", name).bytes, &limits, 100,
                             &ticket) != 1) {
        return false;
      }
    }
    return true;
  }));
  constexpr int kProcesses = 4, kRounds = 2000, kEach = KD_BURST;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    if (child == 0) {
      for (int round = 0; round < kRounds; ++round) {
        kd_ticket tickets[kEach];
        int got = 0;
        for (kd_ticket& ticket : tickets) {
          if (kd_connection_take(s_, address.bytes, network.bytes, &limits, 100, &ticket) != 1) {
            break;
          }
          ++got;
          if (ticket.slot < 0 || ticket.slot >= kSlots) _exit(2);
          if (counts->holder[ticket.slot].exchange(p + 1) != 0) ++counts->shared;
          const int now_held = ++counts->held;
          int most = counts->most.load();
          while (now_held > most && !counts->most.compare_exchange_weak(most, now_held)) {
          }
          ++counts->taken;
        }
        for (int i = 0; i < got; ++i) {
          --counts->held;
          counts->holder[tickets[i].slot] = 0;
          kd_connection_give(s_, &tickets[i]);
        }
      }
      _exit(0);
    }
    ASSERT_GT(child, 0);
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ReleaseOther();
  EXPECT_LE(counts->most.load(), KD_BURST);
  EXPECT_EQ(counts->shared.load(), 0) << "places taken twice at once";
  EXPECT_GE(counts->taken.load(), kRounds) << "places were taken at all";
  munmap(map, sizeof(Counts));
}

}  // namespace
