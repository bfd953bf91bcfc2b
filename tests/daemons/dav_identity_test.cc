// The WebDAV daemon's per-thread identity (mod_kivo_dav's
// kivo_dav_identity.c), without Apache: a thread that takes an account's
// identity changes only itself, gives every part of it back, and a thread
// that holds one, acting or parked, takes no other. Each case runs in a child process of its
// own (the process-wide idle identity is for good there); needs root.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

extern "C" {
#include "daemons/apache/kivo_dav_identity.h"
}

namespace {

constexpr uid_t kIdle = 65534;

// "Uid:", "Gid:" and "Groups:" of the calling thread, as the kernel has them.
std::string Credentials() {
  std::ifstream status("/proc/thread-self/status");
  std::string line, out;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) == 0 || line.rfind("Gid:", 0) == 0 || line.rfind("Groups:", 0) == 0) {
      out += line + "\n";
    }
  }
  return out;
}

std::string Expected(uid_t euid, gid_t egid, const std::string& groups) {
  const std::string idle = std::to_string(kIdle);
  return "Uid:\t" + idle + "\t" + std::to_string(euid) + "\t0\t" + std::to_string(euid) +
         "\nGid:\t" + idle + "\t" + std::to_string(egid) + "\t" + idle + "\t" +
         std::to_string(egid) + "\nGroups:\t" + groups + "\n";
}

// Runs `body` in a child process idling at nobody; its exit status is the
// number of failed checks.
// Counts a failed check in a child, saying which on stderr.
#define CHILD_CHECK(failed, condition)                                                 \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      fprintf(stderr, "line %d: %s\n%s", __LINE__, #condition, Credentials().c_str()); \
      ++failed;                                                                        \
    }                                                                                  \
  } while (0)

template <typename Body>
int InChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (kd_identity_keep_power(kIdle, kIdle) != 0) _exit(100);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

// A thread that reads its own credentials when told to.
struct Other {
  pthread_t thread;
  int go[2];
  std::string seen;
};

void* SeeOwn(void* data) {
  Other* other = static_cast<Other*>(data);
  char c;
  if (read(other->go[0], &c, 1) == 1) other->seen = Credentials();
  return nullptr;
}

TEST(DavIdentityTest, AThreadActsAsOneAccountAloneAndGivesEverythingBack) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string idle = Expected(kIdle, kIdle, std::to_string(kIdle) + " ");
  kd_identity alice = {};
  alice.uid = 1001;
  alice.gid = 1001;
  alice.groups[0] = 1001;
  alice.groups[1] = 2002;
  alice.group_count = 2;
  kd_identity bob = alice;
  bob.uid = 1002;
  bob.gid = 1002;
  bob.groups[0] = 1002;
  bob.group_count = 1;
  const std::string as_alice = Expected(1001, 1001, "1001 2002 ");
  const std::string as_bob = Expected(1002, 1002, "1002 ");
  EXPECT_EQ(InChild([&] {
              int failed = 0;
              CHILD_CHECK(failed, Credentials() == idle);
              CHILD_CHECK(failed, kd_identity_idle() == 1);
              CHILD_CHECK(failed, kd_identity_resume(&bob) == -1);
              Other other;
              if (pipe(other.go) != 0) return 99;
              pthread_create(&other.thread, nullptr, SeeOwn, &other);
              CHILD_CHECK(failed, kd_identity_take(&alice) == 0);
              CHILD_CHECK(failed, Credentials() == as_alice);
              CHILD_CHECK(failed, kd_identity_idle() == 0);
              // Another thread of the process stays idle meanwhile.
              if (write(other.go[1], "x", 1) != 1) return 98;
              pthread_join(other.thread, nullptr);
              CHILD_CHECK(failed, other.seen == idle);
              // No second identity over the first, nor root's.
              CHILD_CHECK(failed, kd_identity_take(&bob) == -1);
              CHILD_CHECK(failed, kd_identity_raise() == -1);
              CHILD_CHECK(failed, Credentials() == as_alice);
              CHILD_CHECK(failed, kd_identity_give_back() == 0);
              CHILD_CHECK(failed, Credentials() == idle);
              CHILD_CHECK(failed, kd_identity_idle() == 1);
              // The next account on the same thread has nothing of the last.
              CHILD_CHECK(failed, kd_identity_take(&bob) == 0);
              CHILD_CHECK(failed, Credentials() == as_bob);
              CHILD_CHECK(failed, kd_identity_give_back() == 0);
              // The same account again once given back, through root's
              // mapping as a request takes it: all of it, not what the
              // thread carried before.
              CHILD_CHECK(failed, kd_identity_take(&alice) == 0);
              CHILD_CHECK(failed, kd_identity_give_back() == 0);
              CHILD_CHECK(failed, Credentials() == idle);
              CHILD_CHECK(failed, kd_identity_raise() == 0);
              CHILD_CHECK(failed, kd_identity_take(&alice) == 0);
              CHILD_CHECK(failed, Credentials() == as_alice);
              CHILD_CHECK(failed, kd_identity_give_back() == 0);
              // Root's, for the account files alone, and back.
              CHILD_CHECK(failed, kd_identity_raise() == 0);
              CHILD_CHECK(failed, geteuid() == 0);
              CHILD_CHECK(failed, kd_identity_give_back() == 0);
              CHILD_CHECK(failed, Credentials() == idle);
              // A request's way: root's to map its URL, then the account's,
              // parked at its end for the same account's next request.
              CHILD_CHECK(failed, kd_identity_raise() == 0);
              CHILD_CHECK(failed, kd_identity_take(&alice) == 0);
              CHILD_CHECK(failed, Credentials() == as_alice);
              kd_identity_park();
              CHILD_CHECK(failed, Credentials() == as_alice);
              CHILD_CHECK(failed, kd_identity_parked_as(&alice) == 1);
              CHILD_CHECK(failed, kd_identity_parked_as(&bob) == 0);
              CHILD_CHECK(failed, kd_identity_take(&bob) == -1);
              CHILD_CHECK(failed, kd_identity_raise() == 0);
              CHILD_CHECK(failed, kd_identity_take(&alice) == 0);
              CHILD_CHECK(failed, Credentials() == as_alice);
              // The same account's next request resumes it without root's
              // power; another account, or a thread not parked, cannot.
              kd_identity_park();
              CHILD_CHECK(failed, kd_identity_resume(&bob) == -1);
              CHILD_CHECK(failed, kd_identity_parked_as(&alice) == 1);
              CHILD_CHECK(failed, kd_identity_acting_as(&alice) == 0);
              CHILD_CHECK(failed, kd_identity_resume(&alice) == 0);
              CHILD_CHECK(failed, Credentials() == as_alice);
              CHILD_CHECK(failed, kd_identity_acting_as(&alice) == 1);
              CHILD_CHECK(failed, kd_identity_acting_as(&bob) == 0);
              CHILD_CHECK(failed, kd_identity_parked_as(&alice) == 0);  // acting, not parked
              CHILD_CHECK(failed, kd_identity_resume(&alice) == -1);
              CHILD_CHECK(failed, kd_identity_raise() == -1);
              // Another account over a parked one carries nothing of it,
              // not even through root's mapping; root's is never parked.
              kd_identity_park();
              CHILD_CHECK(failed, kd_identity_raise() == 0);
              CHILD_CHECK(failed, kd_identity_take(&bob) == 0);
              CHILD_CHECK(failed, Credentials() == as_bob);
              kd_identity_park();
              CHILD_CHECK(failed, kd_identity_raise() == 0);
              kd_identity_park();
              CHILD_CHECK(failed, Credentials() == idle);
              CHILD_CHECK(failed, kd_identity_idle() == 1);
              // A member of the same uid and gid with other groups is not
              // the parked account.
              kd_identity alice_more = alice;
              alice_more.groups[2] = 3003;
              alice_more.group_count = 3;
              CHILD_CHECK(failed, kd_identity_take(&alice) == 0);
              kd_identity_park();
              CHILD_CHECK(failed, kd_identity_parked_as(&alice_more) == 0);
              CHILD_CHECK(failed, kd_identity_resume(&alice_more) == -1);
              CHILD_CHECK(failed, kd_identity_raise() == 0);
              CHILD_CHECK(failed, kd_identity_take(&alice_more) == 0);
              CHILD_CHECK(failed, Credentials() == Expected(1001, 1001, "1001 2002 3003 "));
              CHILD_CHECK(failed, kd_identity_give_back() == 0);
              CHILD_CHECK(failed, Credentials() == idle);
              // Root's uid is never an account's, nor one without a group.
              kd_identity root = alice, none = alice;
              root.uid = 0;
              none.group_count = 0;
              CHILD_CHECK(failed, kd_identity_take(&root) == -1);
              CHILD_CHECK(failed, kd_identity_take(&none) == -1);
              CHILD_CHECK(failed, Credentials() == idle);
              return failed;
            }),
            0);
}

}  // namespace
