// A host process can die at any instant. These tests SIGKILL `kivo-webapi`
// commands at random points of their run, many times, and check after every
// kill that the files they rewrite are whole and hold the content before the
// command or after it: the calendar registry, kivoinfo.conf with the
// services' states, and the shadow file.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e.h"

namespace {

using e2e::kCalendar;

constexpr int kRounds = 60;

// One round's command, its stdin, and the state it leads to.
struct Step {
  std::vector<std::string> args;
  std::string input;
  std::string next;
};

struct CrashCase {
  const char* name;
  // The command of `round`, starting from the state `old`.
  Step (*step)(const e2e::TestRoot&, int round, const std::string& old);
  // The files' content as a canonical text; fails the test when they are
  // not whole.
  std::string (*state)(const e2e::TestRoot&);
};

std::vector<std::string> Call(const std::string& api, const std::string& method,
                              const Json::Value& params, const std::string& user = "admin") {
  return {e2e::WebApiBin(), "call", "--user", user, api, "1", method, e2e::Compact(params)};
}

// The registry's entries, one a line, sorted.
std::string RegistryState(const e2e::TestRoot& root) {
  EXPECT_TRUE(root.Registry().isArray()) << e2e::Read(root.Path("/usr/kivo/etc/calendar.info"));
  const std::vector<std::string> entries = root.Calendars();
  const std::set<std::string> sorted(entries.begin(), entries.end());
  EXPECT_EQ(sorted.count("Keep public public"), 1u);
  std::string state;
  for (const std::string& entry : sorted) state += entry + "\n";
  return state;
}

// Bob adds a calendar, the administrator renames it, then removes it.
Step RegistryStep(const e2e::TestRoot& root, int round, const std::string& old) {
  // Whatever the last kill left, the next call gets the lock and a whole file.
  EXPECT_EQ(root.Call(kCalendar, 1, "list").status, 0);
  std::set<std::string> entries;
  std::istringstream in(old);
  for (std::string entry; std::getline(in, entry);) entries.insert(entry);
  const std::string name = "Cal" + std::to_string(round);
  const std::string previous = "Cal" + std::to_string(round - 1);
  Step step;
  if (round % 3 == 0) {
    step.args =
        Call(kCalendar, "create",
             e2e::CalendarParams("public", "public", root.Path("/volume1/public"), name), "bob");
    entries.insert(name + " public public");
  } else if (round % 3 == 1) {
    Json::Value edit = e2e::CalendarParams("public", "public", "", name);
    edit["id"] = previous + ":public";
    step.args = Call(kCalendar, "set", edit);
    if (entries.erase(previous + " public public") == 1) entries.insert(name + " public public");
  } else {
    Json::Value params;
    params["id"].append(previous + ":public");
    step.args = Call(kCalendar, "delete", params);
    entries.erase(previous + " public public");
  }
  for (const std::string& entry : entries) step.next += entry + "\n";
  return step;
}

// runCalDav, after checking that every line is a whole pair, that nothing
// else was lost, and that the services' states are one whole JSON object.
std::string SettingsState(const e2e::TestRoot& root) {
  for (const std::string& line : e2e::ReadLines(root.Path("/etc/kivoinfo.conf"))) {
    EXPECT_THAT(line, ::testing::MatchesRegex("[A-Za-z_]+=\"[^\"]*\""));
  }
  EXPECT_EQ(root.ConfValue("WebDavPort"), "5005");
  EXPECT_EQ(root.ConfValue("other"), "x y");
  const std::string services = e2e::Read(root.Path("/var/lib/kivo/services.json"));
  const Json::Value states = e2e::ParseJson(services);
  EXPECT_TRUE(states.isObject()) << services;
  for (const Json::Value& service : states) EXPECT_TRUE(service.isObject()) << services;
  return root.ConfValue("runCalDav");
}

Step SettingsStep(const e2e::TestRoot&, int round, const std::string&) {
  Json::Value params;
  params["enable"] = round % 2 == 0;
  return {Call(e2e::kCalDAV, "set", params), "", round % 2 == 0 ? "yes" : "no"};
}

// The account names, the admin line, and bob's hash ("$" for any hash),
// after checking that every line has all its fields.
std::string ShadowState(const e2e::TestRoot& root) {
  std::string names, admin, bob;
  for (const std::string& line : e2e::ReadLines(root.Path("/etc/shadow"))) {
    EXPECT_EQ(std::count(line.begin(), line.end(), ':'), 8) << line;
    const std::string name = line.substr(0, line.find(':'));
    names += name + " ";
    if (name == "admin") admin = line;
    if (name == "bob") bob = line[4] == '$' ? "$" : line.substr(4, line.find(':', 4) - 4);
  }
  return names + "\n" + admin + "\n" + bob;
}

Step ShadowStep(const e2e::TestRoot&, int round, const std::string& old) {
  return {{e2e::WebApiBin(), "passwd", "bob"},
          "password-" + std::to_string(round) + "\n",
          old.substr(0, old.rfind('\n') + 1) + "$"};
}

const CrashCase kCases[] = {
    {"Registry", RegistryStep, RegistryState},
    {"SettingsAndServices", SettingsStep, SettingsState},
    {"Shadow", ShadowStep, ShadowState},
};

void PrintTo(const CrashCase& c, std::ostream* out) { *out << c.name; }

class HardeningCrashTest : public ::testing::TestWithParam<CrashCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob"));
    ASSERT_EQ(chmod(root_.Path("/volume1/public").c_str(), 0777), 0);
    // A first calendar, so that the registry exists and is never empty.
    const Json::Value keep =
        e2e::CalendarParams("public", "public", root_.Path("/volume1/public"), "Keep");
    ASSERT_EQ(root_.Call(kCalendar, 1, "create", e2e::Compact(keep)).status, 0);
    ASSERT_TRUE(root_.WriteConf({{"WebDavPort", "5005"}, {"runCalDav", "no"}, {"other", "x y"}}));
  }

  e2e::TestRoot root_;
};

TEST_P(HardeningCrashTest, KilledCommandsLeaveTheOldOrTheNewContent) {
  const CrashCase& c = GetParam();
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  std::mt19937 random{std::random_device{}()};
  std::chrono::microseconds span{0};
  int killed = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string old = c.state(root_);
    const Step step = c.step(root_, round, old);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = e2e::Spawn(step.args, root_.path(), step.input, null, null);
    ASSERT_GT(pid, 0);
    // The first run is timed, so that later kills land all along a run.
    if (round > 0) {
      std::uniform_int_distribution<long> delay(0, span.count() * 6 / 5);
      std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
      kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (round == 0) {
      span = std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now() - start);
    }
    if (WIFSIGNALED(status)) ++killed;
    const std::string now = c.state(root_);
    EXPECT_TRUE(now == old || now == step.next) << "before:\n" << old << "after:\n" << now;
  }
  EXPECT_GT(killed, 0) << "no command was killed before it ended";
  close(null);
}

INSTANTIATE_TEST_SUITE_P(Files, HardeningCrashTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
