// The supervisor takes only a process naming the daemon's configuration, and its stop ends one
// ignoring SIGTERM without reaching the caller's own process group.

#include "daemons/supervisor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "daemons/systemd_units.h"
#include "tests/platform/temp_root.h"

namespace {

constexpr kivo::daemons::Supervisor kTestDaemon({"test daemon", kivo::daemons::kCalDAVUnit,
                                                 "/var/run/kivo/test.pid",
                                                 "/var/run/kivo/test.lock",
                                                 "/var/lib/kivo/test/test.conf", 300});

class SupervisorTest : public TempRootTest {};

// A child in the test's process group: a sleeping shell named `name`, or one ignoring SIGTERM.
pid_t Child(const std::string& name) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    if (name.empty()) {
      signal(SIGTERM, SIG_IGN);
      (void)!write(ready[1], "", 1);
      for (;;) pause();
    }
    execl("/bin/sh", "sh", "-c", "while :; do sleep 1; done", name.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  char byte;
  close(ready[1]);
  if (pid > 0 && name.empty() && read(ready[0], &byte, 1) != 1) return -1;
  close(ready[0]);
  return pid;
}

TEST_F(SupervisorTest, OnlyAProcessNamingTheConfigurationIsTheDaemon) {
  const struct {
    std::string name;
    bool ours;
  } cases[] = {{Path("var/lib/kivo/test/test.conf"), true},
               {Path("var/lib/kivo/test/test.conf.old"), false},
               {"/var/lib/kivo/test/test.conf", false}};  // another root's
  // No pid file yet.
  EXPECT_EQ(0, kTestDaemon.RunningPid());
  for (const auto& c : cases) {
    const pid_t pid = Child(c.name);
    ASSERT_GT(pid, 0);
    // The shell has exec'd once its command line shows the name.
    for (int i = 0; i < 3000 && !kTestDaemon.IsOurs(pid) && c.ours; ++i) usleep(10000);
    ASSERT_TRUE(kTestDaemon.WritePidFile(pid));
    EXPECT_EQ(c.ours ? pid : 0, kTestDaemon.RunningPid()) << c.name;
    EXPECT_TRUE(kTestDaemon.Stop(pid));
    EXPECT_FALSE(kTestDaemon.IsOurs(pid));
    EXPECT_TRUE(kTestDaemon.RemovePidFile());
  }
  EXPECT_TRUE(kTestDaemon.RemovePidFile());  // already gone
}

TEST_F(SupervisorTest, StopKillsAProcessThatIgnoresSigterm) {
  const pid_t pid = Child("");
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(kTestDaemon.Stop(pid));
  EXPECT_NE(0, kill(pid, 0)) << "still there, or not reaped";
  // Nothing runs: nothing to do.
  EXPECT_TRUE(kTestDaemon.Stop(0));
}

}  // namespace
