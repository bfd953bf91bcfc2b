// Volumes, file copies and programs.

#include <errno.h>
#include <gmock/gmock.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>

#include "base/last_error.h"
#include "base/process.h"
#include "kivo/kivo_platform.h"
#include "tests/platform/temp_root.h"

using ::testing::UnorderedElementsAre;

namespace {

using FilesTest = TempRootTest;

TEST_F(FilesTest, VolumeOfAPathThatDoesNotExistYet) {
  Write("volume1/homes/.keep", "");
  KIVOVOLINFO info;
  memset(&info, 0xff, sizeof info);
  ASSERT_EQ(KIVOMountVolInfoGet(Path("volume1/homes/alice/cal/.DAV/").c_str(), &info), 0);
  EXPECT_EQ(info.writable, 1);
  EXPECT_GT(info.total_bytes, 0u);
  EXPECT_LE(info.free_bytes, info.total_bytes);
  // A file in the way of the path: its directory still names the volume.
  EXPECT_EQ(KIVOMountVolInfoGet(Path("volume1/homes/.keep/x").c_str(), &info), 0);
}

TEST_F(FilesTest, ExecPassesArgumentsAndAnswersZeroExactlyOnExitZero) {
  const std::string program = Path("bin/record");
  // Records its arguments, then exits with the first.
  Write("bin/record", "#!/bin/sh\nprintf '%s|' \"$@\" > " + Path("args") + "\nexit \"$1\"\n");
  chmod(program.c_str(), 0755);
  ASSERT_EQ(KLIBCExec(program.c_str(), "0", "b c", nullptr, "ignored"), 0);
  EXPECT_EQ(Read("args"), "0|b c|");  // up to the first null
  ASSERT_EQ(KLIBCExec(program.c_str(), "0", "2", "3", "4"), 0);
  EXPECT_EQ(Read("args"), "0|2|3|4|");
  EXPECT_NE(KLIBCExec(program.c_str(), "1", nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(KLIBCExec("/bin/true", nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_NE(KLIBCExec("/nonexistent/program", nullptr, nullptr, nullptr, nullptr), 0);
}

// A program that cannot be started tells why to the caller, which reports it: here a fork the
// system refuses (a seccomp filter in a child of the test fails clone with EAGAIN).
TEST_F(FilesTest, AProgramThatCannotStartTellsWhy) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) _exit(2);
    kivo::base::SetLastError(0);
    std::string output;
    const int status = kivo::base::RunCaptured({"/bin/true"}, &output);
    _exit(status == -1 && kivo::base::LastError() == EAGAIN ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The host batches its threads' wake-ups (SCHED_BATCH); what it starts
// must run under the default policy all the same.
TEST_F(FilesTest, ProgramsStartUnderTheDefaultSchedulingPolicy) {
  const struct sched_param param = {};
  ASSERT_EQ(sched_setscheduler(0, SCHED_BATCH, &param), 0);
  const char* is_default = "grep -q '^policy *: *0$' /proc/self/sched";
  EXPECT_EQ(KLIBCExec("/bin/sh", "-c", is_default, nullptr, nullptr), 0);
  std::string output;
  EXPECT_EQ(kivo::base::RunCaptured({"/bin/sh", "-c", is_default}, &output), 0) << output;
  ASSERT_EQ(sched_setscheduler(0, SCHED_OTHER, &param), 0);
}

// Refusals leave the files as they were and tell why; a copy is given its
// owner (away from the test's own user when run as root).
TEST_F(FilesTest, CopyOverwritesOnlyWhenAskedAndGivesTheCopyItsOwner) {
  Write("src", std::string(200000, 'p'));  // several read/write rounds
  Write("dst", "old content");
  const std::tuple<std::string, std::string, int, int> cases[] = {
      {Path("src"), Path("dst"), 0, EEXIST},
      {Path("src"), Path("src"), 1, EINVAL},  // truncating would lose the source
      {root_, Path("dst2"), 0, EINVAL},       // a directory is not copied
  };
  for (const auto& [source, dest, overwrite, error] : cases) {
    KIVOCOPYOPT options{overwrite, geteuid(), getegid()};
    EXPECT_NE(KIVOFileCopy(source.c_str(), dest.c_str(), &options), 0) << source << " to " << dest;
    EXPECT_EQ(KLIBCErrGet(), error) << source << " to " << dest;
  }
  EXPECT_EQ(Read("dst"), "old content");
  EXPECT_EQ(Read("src"), std::string(200000, 'p'));
  EXPECT_THAT(List(""), UnorderedElementsAre("src", "dst"));
  const bool root = geteuid() == 0;
  KIVOCOPYOPT options{1, root ? 4321 : geteuid(), root ? 4322 : getegid()};
  ASSERT_EQ(KIVOFileCopy(Path("src").c_str(), Path("dst").c_str(), &options), 0);
  EXPECT_EQ(Read("dst"), Read("src"));
  struct stat st;
  ASSERT_EQ(stat(Path("dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, options.uid);
  EXPECT_EQ(st.st_gid, options.gid);
}

}  // namespace
