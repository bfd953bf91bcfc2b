// A host process can die at any instant (SIGKILL, power loss). These tests
// start `kivo-webapi` calls and kill them after a random part of their run,
// many times, and check after every kill that the files they were rewriting
// still parse and hold either the content before the call or the content
// after it: the calendar registry, kivoinfo.conf, the services' states and
// the shadow file.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/hardening/hardening_util.h"
#include "tests/support/e2e.h"

extern char** environ;

namespace {

using hardening::CalendarParams;
using hardening::Compact;
using hardening::ParseJson;

constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr int kRounds = 60;

class HardeningCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob"));
    ASSERT_EQ(chmod(root_.Path("/volume1/public").c_str(), 0777), 0);
  }

  // Starts kivo-webapi with `args` in the root, output discarded.
  pid_t Start(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv = {e2e::WebApiBin()};
    argv.insert(argv.end(), args.begin(), args.end());
    int in[2];
    if (pipe(in) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(in[0], 0);
      dup2(null, 1);
      dup2(null, 2);
      for (int fd = 3; fd < 256; ++fd) close(fd);
      setenv("KIVO_ROOT", root_.path().c_str(), 1);
      std::vector<char*> raw;
      for (std::string& a : argv) raw.push_back(&a[0]);
      raw.push_back(nullptr);
      execv(raw[0], raw.data());
      _exit(127);
    }
    close(in[0]);
    if (!input.empty()) (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    return pid;
  }

  // How long one uninterrupted run takes, so that kills land all along it.
  std::chrono::microseconds Duration(const std::vector<std::string>& args,
                                     const std::string& input = "") {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = Start(args, input);
    int status = 0;
    waitpid(pid, &status, 0);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }

  // Runs the command and SIGKILLs it after a random part of `span` (it may
  // have finished by then). True when it was killed before it ended.
  bool RunAndKill(const std::vector<std::string>& args, std::chrono::microseconds span,
                  const std::string& input = "") {
    std::uniform_int_distribution<long> delay(0, span.count() * 6 / 5);
    const pid_t pid = Start(args, input);
    const long wait_us = delay(random_);
    struct timespec pause = {wait_us / 1000000, (wait_us % 1000000) * 1000};
    nanosleep(&pause, nullptr);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status);
  }

  std::string Read(const std::string& system_path) const {
    std::string content;
    e2e::ReadFile(root_.Path(system_path), &content);
    return content;
  }

  static std::vector<std::string> CallArgs(const std::string& api, const std::string& method,
                                           const Json::Value& params,
                                           const std::string& user = "admin") {
    return {"call", "--user", user, api, "1", method, Compact(params)};
  }

  // The calendar ids a registry text holds; fails the test when the text is
  // not a whole registry.
  static std::set<std::string> RegistryIds(const std::string& text) {
    std::set<std::string> ids;
    const Json::Value registry = ParseJson(text);
    EXPECT_TRUE(registry.isArray()) << "registry: [" << text << "]";
    if (!registry.isArray()) return ids;
    for (const Json::Value& entry : registry) {
      EXPECT_TRUE(entry.isObject() && entry["calendarname"].isString() &&
                  entry["destination"].isString() && entry["share"].isString())
          << text;
      ids.insert(entry["calendarname"].asString() + ":" + entry["destination"].asString());
    }
    return ids;
  }

  e2e::TestRoot root_;
  std::mt19937 random_{std::random_device{}()};
};

TEST_F(HardeningCrashTest, KilledCalendarCallsLeaveTheOldOrTheNewRegistry) {
  // A first calendar, so that the registry exists and is never empty.
  ASSERT_EQ(
      root_
          .Call(kCalendar, 1, "create",
                Compact(CalendarParams("public", "public", root_.Path("/volume1/public"), "Keep")))
          .status,
      0);
  const auto span = Duration(
      CallArgs(kCalendar, "create",
               CalendarParams("public", "public", root_.Path("/volume1/public"), "Probe"), "bob"));
  ASSERT_EQ(root_.Call(kCalendar, 1, "delete", R"({"id": ["Probe:public"]})").status, 0);

  int killed = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string before = Read("/usr/kivo/etc/calendar.info");
    const std::set<std::string> old_ids = RegistryIds(before);
    std::set<std::string> new_ids = old_ids;
    const std::string name = "Cal" + std::to_string(round);
    std::vector<std::string> args;
    switch (round % 3) {
      case 0:  // bob adds a calendar
        args = CallArgs(kCalendar, "create",
                        CalendarParams("public", "public", root_.Path("/volume1/public"), name),
                        "bob");
        new_ids.insert(name + ":public");
        break;
      case 1: {  // the administrator renames the one just added
        Json::Value edit = CalendarParams("public", "public", "", name);
        const std::string previous = "Cal" + std::to_string(round - 1) + ":public";
        edit["id"] = previous;
        args = CallArgs(kCalendar, "set", edit);
        if (new_ids.erase(previous) == 1) new_ids.insert(name + ":public");
        break;
      }
      default: {  // and removes it
        Json::Value ids;
        ids["id"].append("Cal" + std::to_string(round - 1) + ":public");
        args = CallArgs(kCalendar, "delete", ids);
        new_ids.erase(ids["id"][0].asString());
        break;
      }
    }
    SCOPED_TRACE("round " + std::to_string(round) + ": " + args[5]);
    if (RunAndKill(args, span)) ++killed;
    const std::set<std::string> now = RegistryIds(Read("/usr/kivo/etc/calendar.info"));
    EXPECT_TRUE(now == old_ids || now == new_ids)
        << "before: " << before << "after: " << Read("/usr/kivo/etc/calendar.info");
    // Whatever the kill left, the next call gets the lock and a whole file.
    EXPECT_EQ(root_.Call(kCalendar, 1, "list").status, 0);
  }
  EXPECT_GT(killed, 0) << "no call was killed before it ended";
  EXPECT_EQ(RegistryIds(Read("/usr/kivo/etc/calendar.info")).count("Keep:public"), 1u);
}

TEST_F(HardeningCrashTest, KilledSettingsCallsLeaveWholeConfAndServiceStates) {
  ASSERT_TRUE(root_.WriteConf({{"WebDavPort", "5005"}, {"runCalDav", "no"}, {"other", "x y"}}));
  const std::vector<std::string> on = CallArgs(kCalDAV, "set", ParseJson(R"({"enable": true})"));
  const std::vector<std::string> off = CallArgs(kCalDAV, "set", ParseJson(R"({"enable": false})"));
  const auto span = Duration(on);

  int killed = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string old_value = root_.ConfValue("runCalDav");
    const bool enable = round % 2 == 0;
    SCOPED_TRACE("round " + std::to_string(round));
    if (RunAndKill(enable ? on : off, span)) ++killed;

    // kivoinfo.conf: every line a whole key="value" pair, nothing lost.
    std::istringstream lines(Read("/etc/kivoinfo.conf"));
    std::string line;
    while (std::getline(lines, line)) {
      EXPECT_THAT(line, ::testing::MatchesRegex("[A-Za-z_]+=\"[^\"]*\"")) << line;
    }
    const std::string value = root_.ConfValue("runCalDav");
    EXPECT_TRUE(value == old_value || value == (enable ? "yes" : "no")) << value;
    EXPECT_EQ(root_.ConfValue("WebDavPort"), "5005");
    EXPECT_EQ(root_.ConfValue("other"), "x y");

    // services.json: one whole JSON object of service objects.
    const Json::Value states = ParseJson(Read("/var/lib/kivo/services.json"));
    ASSERT_TRUE(states.isObject()) << Read("/var/lib/kivo/services.json");
    for (const std::string& service : states.getMemberNames()) {
      EXPECT_TRUE(states[service].isObject()) << service;
    }
  }
  EXPECT_GT(killed, 0) << "no call was killed before it ended";
  // And the platform still works on what is left.
  EXPECT_EQ(root_.Call(kCalDAV, 1, "set", R"({"enable": true})").status, 0);
  EXPECT_EQ(root_.ConfValue("runCalDav"), "yes");
}

TEST_F(HardeningCrashTest, KilledPasswordChangesLeaveAWholeShadowFile) {
  const auto shadow_lines = [this] {
    std::vector<std::string> lines;
    std::istringstream in(Read("/etc/shadow"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  };
  const auto field = [](const std::string& line, int index) {
    std::istringstream in(line);
    std::string value;
    for (int i = 0; i <= index; ++i) std::getline(in, value, ':');
    return value;
  };
  const std::vector<std::string> before = shadow_lines();
  const std::string admin_line = before[1];
  const auto span = Duration({"passwd", "bob"}, "first-password\n");

  int killed = 0;
  for (int round = 0; round < kRounds / 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string old_hash = field(shadow_lines()[2], 1);
    if (RunAndKill({"passwd", "bob"}, span, "password-" + std::to_string(round) + "\n")) {
      ++killed;
    }
    const std::vector<std::string> lines = shadow_lines();
    ASSERT_EQ(lines.size(), before.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ':'), 8) << lines[i];
      EXPECT_EQ(field(lines[i], 0), field(before[i], 0));
    }
    EXPECT_EQ(lines[1], admin_line);
    const std::string hash = field(lines[2], 1);
    EXPECT_TRUE(hash == old_hash || hash.compare(0, 1, "$") == 0) << hash;
  }
  EXPECT_GT(killed, 0) << "no password change was killed before it ended";
}

}  // namespace
