// `kivo-webapi services` around a real WebDAV daemon on a free port: shown, --stop-all, --start.

#include <gmock/gmock.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <utility>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// "yes" or "no" in the RUNNING column of `service`'s row; its PORTS in `ports`.
std::string Running(const std::string& table, const std::string& service,
                    std::string* ports = nullptr) {
  std::istringstream lines(table);
  std::string name, run, running, pid;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    if (fields >> name >> run >> running && name == service) {
      if (ports != nullptr) fields >> pid >> *ports;
      return running;
    }
  }
  return "";
}

TEST(ServicesCommandTest, StopAllSaysWhatItStoppedAndStartBringsItBack) {
  setenv("KIVO_DAEMONS", "on", 1);
  setenv("KIVO_WEBDAV_ADDRESS", "127.0.0.1", 1);
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  struct StopAtEnd {
    const TestRoot& root;
    ~StopAtEnd() { root.WebApi({"services", "--stop-all"}); }
  } stop_at_end{root};
  EXPECT_EQ(root.WebApi({"services", "--stop-all"}).out, "nothing was running\n");
  const int port = FreePort();
  const Result set = root.Call(kWebDAV, "set",
                               R"({"enable_http": true, "enable_https": false, "http_port_num": )" +
                                   std::to_string(port) + "}");
  ASSERT_EQ(set.status, 0) << set.err;

  // An announcement is served only while the root's avahi-daemon runs to read its file.
  const std::string unheard = root.WebApi({"services"}).out;
  EXPECT_TRUE(Exists(root.Path("/etc/avahi/services/kivo-webdav.service")));
  for (const char* service : {"webdav-avahi", "avahi"}) {
    EXPECT_EQ(Running(unheard, service), "no") << service << "\n" << unheard;
  }
  const pid_t avahi = fork();
  ASSERT_GE(avahi, 0);
  if (avahi == 0) {
    prctl(PR_SET_NAME, "avahi-daemon");
    pause();
    _exit(0);
  }
  struct EndAvahi {
    pid_t pid;
    ~EndAvahi() { kill(pid, SIGKILL), waitpid(pid, nullptr, 0); }
  } end_avahi{avahi};
  std::filesystem::create_directories(root.Path("/run/avahi-daemon"));
  ASSERT_TRUE(WriteFile(root.Path("/run/avahi-daemon/pid"), std::to_string(avahi) + "\n"));
  const std::string before = root.WebApi({"services"}).out;
  for (const char* service : {"webdav-httpd", "webdav-httpd-pure", "webdav-avahi", "avahi"}) {
    EXPECT_EQ(Running(before, service), "yes") << service << "\n" << before;
  }
  EXPECT_EQ(Running(before, "webdavs-avahi"), "no");

  const Result stopped = root.WebApi({"services", "--stop-all"});
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  EXPECT_THAT(stopped.out, MatchesRegex("stopped webdav-httpd \\(pid [0-9]+\\)\\s*"));
  // The announcement file stays for the next start, but announces nothing that runs.
  const std::string after = root.WebApi({"services"}).out;
  for (const char* service : {"webdav-httpd", "webdav-httpd-pure", "webdav-avahi"}) {
    EXPECT_EQ(Running(after, service), "no") << service << "\n" << after;
  }

  const Result started = root.WebApi({"services", "--start"});
  EXPECT_EQ(started.status, 0) << started.err;
  EXPECT_THAT(started.out, HasSubstr("runs: webdav-httpd (pid "));
  EXPECT_THAT(started.out, HasSubstr("ports " + std::to_string(port) + ")"));
  EXPECT_EQ(Running(root.WebApi({"services"}).out, "webdav-avahi"), "yes");
  EXPECT_THAT(root.WebApi({"services", "--stop-all"}).out, HasSubstr("stopped webdav-httpd"));

  // With the daemon stopped, a settings change that reloads or restarts it (a new port of the
  // enabled variant; the CalDAV switch) starts it on what the settings now say.
  const std::string moved = std::to_string(FreePort({port}));
  const std::pair<const char*, std::string> changes[] = {
      {kWebDAV, R"({"enable_http": true, "enable_https": false, "http_port_num": )" + moved + "}"},
      {kCalDAV, R"({"enable": true})"}};
  for (const auto& [api, params] : changes) {
    SCOPED_TRACE(api);
    const Result changed = root.Call(api, "set", params);
    ASSERT_EQ(changed.status, 0) << changed.err;
    std::string ports;
    EXPECT_EQ(Running(root.WebApi({"services"}).out, "webdav-httpd", &ports), "yes");
    EXPECT_EQ(ports, moved);
    EXPECT_EQ(root.WebApi({"services", "--stop-all"}).status, 0);
  }
}

}  // namespace
}  // namespace e2e
