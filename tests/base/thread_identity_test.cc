// The calling thread's identity: a thread takes a user's uid, gid and groups
// while every other thread of the process stays root, gives all of it back,
// and a step that fails leaves it where it started. A thread of its own
// keeps its umask and folder to itself. Needs root.

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/thread_identity_scope.h"

namespace kivo::base {
namespace {

#ifdef SYS_setresuid32
constexpr long kSetresuid = SYS_setresuid32, kSetresgid = SYS_setresgid32,
               kSetgroups = SYS_setgroups32;
#else
constexpr long kSetresuid = SYS_setresuid, kSetresgid = SYS_setresgid, kSetgroups = SYS_setgroups;
#endif

// A thread's "Umask:", "Uid:", "Gid:" and "Groups:" lines as the kernel
// has them, read from /proc/self/task/TID/status.
std::string Status(pid_t tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line, out;
  while (std::getline(status, line)) {
    for (const char* key : {"Uid:", "Gid:", "Groups:", "Umask:"}) {
      if (line.rfind(key, 0) == 0) out += line + "\n";
    }
  }
  return out;
}

pid_t Tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// The lines a thread of a root process shows acting as `uid`, `gid` and
// `groups` (effective and file-system ids; real and saved stay root's).
std::string Acting(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
                   const std::string& umask) {
  std::ostringstream out;
  out << "Umask:\t" << umask << "\nUid:\t0\t" << uid << "\t0\t" << uid << "\nGid:\t0\t" << gid
      << "\t0\t" << gid << "\nGroups:\t";
  // The kernel lists the groups sorted, each after a space but the first,
  // and ends the list with one.
  std::vector<gid_t> sorted = groups;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < sorted.size(); ++i) out << (i == 0 ? "" : " ") << sorted[i];
  out << " \n";
  return out.str();
}

// Another thread of the process that waits until told to end, so that its
// status can be read meanwhile.
class Bystander {
 public:
  Bystander()
      : thread_([this] {
          std::unique_lock<std::mutex> lock(mu_);
          tid_ = Tid();
          cv_.notify_all();
          cv_.wait(lock, [this] { return done_; });
        }) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return tid_ != 0; });
  }
  ~Bystander() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  pid_t tid() const { return tid_; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  pid_t tid_ = 0;
  bool done_ = false;
  std::thread thread_;
};

class ThreadIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    root_ = Status(Tid());
    umask_ = root_.substr(root_.find("Umask:\t") + 7, 4);
  }
  // Runs `body` on a thread of its own and waits for it.
  template <typename Body>
  static void OnThread(Body body) {
    std::thread(body).join();
  }
  std::string root_;   // this thread's lines before any test changed anything
  std::string umask_;  // its umask as they show it
};

TEST_F(ThreadIdentityTest, AThreadTakesAnIdentityAloneAndGivesAllOfItBack) {
  const struct {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
  } cases[] = {
      {999, 999, {999}},
      {1000, 100, {100, 1000, 2000}},
      {65534, 65534, {65534, 4242}},
      {1000, 1000, {}},
  };
  Bystander bystander;
  for (const auto& c : cases) {
    char dir[] = "/tmp/kivo_thread_identity_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0777);
    const std::string made = std::string(dir) + "/made";
    OnThread([&] {
      const std::string before = Status(Tid());
      ThreadIdentity identity;
      ASSERT_EQ(identity.Take(c.uid, c.gid, c.groups), KIVO_THREAD_DONE);
      const std::string acting = Acting(c.uid, c.gid, c.groups, umask_);
      EXPECT_EQ(Status(Tid()), acting) << c.uid;
      // The test's own thread and a bystander kept root's, as seen from here.
      EXPECT_EQ(Status(getpid()), root_) << c.uid;
      EXPECT_EQ(Status(bystander.tid()), root_) << c.uid;
      // What this thread makes is the user's.
      ASSERT_EQ(mkdir(made.c_str(), 0700), 0);
      ASSERT_TRUE(identity.GiveBack());
      EXPECT_EQ(Status(Tid()), before) << c.uid;
      // The same identity again, whole, once given back.
      ASSERT_EQ(identity.Take(c.uid, c.gid, c.groups), KIVO_THREAD_DONE);
      EXPECT_EQ(Status(Tid()), acting) << c.uid;
    });
    struct stat st;
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_gid, c.gid);
    rmdir(made.c_str());
    rmdir(dir);
  }
  EXPECT_EQ(Status(Tid()), root_);
}

TEST_F(ThreadIdentityTest, AnotherIdentityOverOneTakenKeepsNothingOfItAndTheScopeGivesBack) {
  OnThread([&] {
    const std::string before = Status(Tid());
    {
      ThreadIdentity identity;
      ASSERT_EQ(identity.Take(1000, 100, {100, 2000}), KIVO_THREAD_DONE);
      ASSERT_EQ(identity.Take(65534, 65534, {65534}), KIVO_THREAD_DONE);
      EXPECT_EQ(Status(Tid()), Acting(65534, 65534, {65534}, umask_));
    }
    EXPECT_EQ(Status(Tid()), before);
  });
}

// Fails the calling thread's system call `nr` with EPERM when its argument
// `arg` is `value`; every other call passes. For this thread alone.
bool FailCall(long nr, int arg, uint32_t value) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
               static_cast<uint32_t>(offsetof(struct seccomp_data, args) + arg * sizeof(uint64_t))),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                               filter};
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(ThreadIdentityTest, AFailureAtEachStepLeavesTheThreadWhereItStarted) {
  const std::vector<gid_t> groups = {1000, 2000, 3000};  // three: told apart from root's
  ASSERT_NE(getgroups(0, nullptr), 3) << "root's groups must be told apart";
  const std::vector<gid_t> nobody_groups = {65534};
  const kivo_thread_ids nobody = {65534, 65534, nobody_groups.size(), nobody_groups.data()};
  const kivo_thread_ids to = {1000, 1000, groups.size(), groups.data()};
  const struct {
    long nr;
    int arg;
    uint32_t value;
    bool from_nobody;  // the thread acts as nobody before the take, else as root
    kivo_thread_step step;
  } cases[] = {
      {kSetgroups, 0, 3, false, KIVO_THREAD_GROUPS},
      {kSetresgid, 1, 1000, false, KIVO_THREAD_GID},
      {kSetresuid, 1, 1000, false, KIVO_THREAD_UID},
      {kSetgroups, 0, 3, true, KIVO_THREAD_GROUPS},
      {kSetresgid, 1, 1000, true, KIVO_THREAD_GID},
      {kSetresuid, 1, 1000, true, KIVO_THREAD_UID},
      // Root's power itself refused: the way back needs it too.
      {kSetresuid, 1, 0, true, KIVO_THREAD_LOST},
  };
  for (const auto& c : cases) {
    OnThread([&] {
      std::vector<gid_t> own(static_cast<size_t>(getgroups(0, nullptr)));
      getgroups(static_cast<int>(own.size()), own.data());
      const kivo_thread_ids root = {0, 0, own.size(), own.data()};
      const kivo_thread_ids& back = c.from_nobody ? nobody : root;
      // Filters are set as root; the refused calls are none of those that
      // take nobody's identity.
      ASSERT_TRUE(FailCall(c.nr, c.arg, c.value));
      if (c.from_nobody) {
        ASSERT_EQ(kivo_thread_take(&nobody, &root), KIVO_THREAD_DONE);
      }
      const std::string before = Status(Tid());
      errno = 0;
      EXPECT_EQ(kivo_thread_take(&to, &back), c.step) << c.nr << " " << c.value;
      EXPECT_EQ(errno, EPERM) << c.nr << " " << c.value;
      if (c.step != KIVO_THREAD_LOST) {
        EXPECT_EQ(Status(Tid()), before) << c.nr << " " << c.value;
        EXPECT_EQ(kivo_thread_give_back(&root), 0);
      }
      // A lost thread is still nobody here; it ends, and its identity with it.
      EXPECT_NE(geteuid(), 1000u);
    });
  }
  EXPECT_EQ(Status(Tid()), root_);
}

TEST_F(ThreadIdentityTest, AThreadOfItsOwnKeepsItsUmaskAndFolderToItself) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const mode_t mask = umask(022);
  pid_t worker = 0;
  std::string seen;
  ASSERT_TRUE(RunOnOwnThread([&] {
    worker = Tid();
    umask(0);
    ASSERT_EQ(chdir("/proc"), 0);
    ThreadIdentity identity;
    ASSERT_EQ(identity.Take(1000, 100, {100}), KIVO_THREAD_DONE);
    seen = Status(Tid());
    // Meanwhile the caller's thread is root's, with its mask.
    const std::string caller = Status(getpid());
    EXPECT_EQ(caller.substr(caller.find("Uid:")), root_.substr(root_.find("Uid:")));
    EXPECT_EQ(caller.substr(0, caller.find("Uid:")), "Umask:\t0022\n");
  }));
  EXPECT_NE(worker, Tid());
  EXPECT_EQ(seen, Acting(1000, 100, {100}, "0000"));
  EXPECT_EQ(umask(mask), 022u) << "the caller's mask is its own";
  char now[4096];
  ASSERT_NE(getcwd(now, sizeof now), nullptr);
  EXPECT_STREQ(now, cwd);
  // What the work throws reaches the caller.
  EXPECT_THROW(RunOnOwnThread([] {
                 ThreadIdentity identity;
                 identity.Take(1000, 100, {100});
                 throw std::runtime_error("cut short");
               }),
               std::runtime_error);
  EXPECT_EQ(Status(Tid()), root_);
}

}  // namespace
}  // namespace kivo::base
