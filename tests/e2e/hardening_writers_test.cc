// Writers that die or race: commands SIGKILLed at random points leave each file they rewrite
// whole (old or new); processes and HTTP clients writing at once lose nothing.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

constexpr int kRounds = 60;

// One round's command, its stdin, and the state it leads to.
struct Step {
  std::vector<std::string> args;
  std::string input, next;
};

struct CrashCase {
  const char* name;
  Step (*step)(const TestRoot&, int round, const std::string& old);
  // The files' content as a canonical text; fails the test if not whole.
  std::string (*state)(const TestRoot&);
};

std::vector<std::string> Call(const std::string& api, const std::string& method,
                              const Json::Value& params, const std::string& user = "admin") {
  return {kWebApiBin, "call", "--user", user, api, "1", method, Compact(params)};
}

// The registry's entries, sorted, once the next call finished or undid what a kill left.
std::string RegistryState(const TestRoot& root) {
  EXPECT_EQ(root.Call(kCalendar, "list").status, 0);
  EXPECT_TRUE(root.Registry().isArray()) << Read(root.Path("/usr/kivo/etc/calendar.info"));
  const std::vector<std::string> entries = root.Calendars();
  const std::set<std::string> sorted(entries.begin(), entries.end());
  EXPECT_EQ(sorted.count("Keep public public"), 1u);
  std::string state;
  for (const std::string& entry : sorted) state += entry + "\n";
  return state;
}

// Bob adds a calendar, the administrator renames it, then removes it.
Step RegistryStep(const TestRoot& root, int round, const std::string& old) {
  std::set<std::string> entries;
  std::istringstream in(old);
  for (std::string entry; std::getline(in, entry);) entries.insert(entry);
  const std::string name = "Cal" + std::to_string(round);
  const std::string previous = "Cal" + std::to_string(round - 1);
  Step step;
  if (round % 3 == 0) {
    step.args = Call(kCalendar, "create",
                     CalendarParams("public", "public", root.Path("/volume1/public"), name), "bob");
    entries.insert(name + " public public");
  } else if (round % 3 == 1) {
    Json::Value edit = CalendarParams("public", "public", "", name);
    edit["id"] = previous + ":public";
    step.args = Call(kCalendar, "set", edit);
    if (entries.erase(previous + " public public") == 1) entries.insert(name + " public public");
  } else {
    step.args = Call(kCalendar, "delete", ParseJson(R"({"id":[")" + previous + R"(:public"]})"));
    entries.erase(previous + " public public");
  }
  for (const std::string& entry : entries) step.next += entry + "\n";
  return step;
}

// Once the next call finished what a kill left: whole pairs, nothing lost, states one JSON object.
std::string SettingsState(const TestRoot& root) {
  EXPECT_EQ(root.Call(kCalDAV, "get").status, 0);
  for (const std::string& line : ReadLines(root.Path("/etc/kivoinfo.conf"))) {
    EXPECT_THAT(line, ::testing::MatchesRegex("[A-Za-z_]+=\"[^\"]*\""));
  }
  EXPECT_EQ(root.ConfValue("WebDavPort"), "5005");
  EXPECT_EQ(root.ConfValue("other"), "x y");
  const std::string services = Read(root.Path("/var/lib/kivo/services.json"));
  const Json::Value states = ParseJson(services);
  EXPECT_TRUE(states.isObject()) << services;
  for (const Json::Value& service : states) EXPECT_TRUE(service.isObject()) << services;
  return root.ConfValue("runCalDav");
}

Step SettingsStep(const TestRoot&, int round, const std::string&) {
  const bool on = round % 2 == 0;
  return {Call(kCalDAV, "set", ParseJson(on ? R"({"enable":true})" : R"({"enable":false})")), "",
          on ? "yes" : "no"};
}

// The account names, the admin line, and bob's hash ("$" for any hash).
std::string ShadowState(const TestRoot& root) {
  std::string names, admin, bob;
  for (const std::string& line : ReadLines(root.Path("/etc/shadow"))) {
    EXPECT_EQ(std::count(line.begin(), line.end(), ':'), 8) << line;
    const std::string name = line.substr(0, line.find(':'));
    names += name + " ";
    if (name == "admin") admin = line;
    if (name == "bob") bob = line[4] == '$' ? "$" : line.substr(4, line.find(':', 4) - 4);
  }
  return names + "\n" + admin + "\n" + bob;
}

Step ShadowStep(const TestRoot&, int round, const std::string& old) {
  return {{kWebApiBin, "passwd", "bob"},
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
        CalendarParams("public", "public", root_.Path("/volume1/public"), "Keep");
    ASSERT_EQ(root_.Call(kCalendar, "create", Compact(keep)).status, 0);
    ASSERT_TRUE(root_.WriteConf({{"WebDavPort", "5005"}, {"runCalDav", "no"}, {"other", "x y"}}));
  }

  TestRoot root_;
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
    const pid_t pid = Spawn(step.args, root_.path(), step.input, null, null);
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

// Calls and HTTP clients create, rename and delete calendars while the settings flip: the
// registry holds exactly the calendars left, each with its folder, and no other folder remains.
TEST(HardeningConcurrencyTest, ProcessesAndHttpClientsLoseNothing) {
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  ASSERT_TRUE(root.AddUser("bob", false, "bob-secret"));
  const std::string share = root.Path("/volume1/public");
  ASSERT_EQ(chmod(share.c_str(), 0777), 0);
  Server server;
  ASSERT_TRUE(server.Start(root));
  // Sessions first (the host brakes many checks at once): road r uses 2r (bob) and 2r+1 (admin).
  std::vector<Http> sessions(8, Http(server.port()));
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(i % 2 == 0 ? sessions[i].Login("bob", "bob-secret")
                           : sessions[i].Login("admin", TestRoot::kAdminPassword));
  }
  // One call as `user`, by a `call` process (road -1) or over HTTP; true when it succeeded.
  const auto call = [&](int road, const char* api, const char* method, const Json::Value& params,
                        const std::string& user) {
    if (road < 0) return root.Call(api, method, Compact(params), user).status == 0;
    const Reply r = sessions[2 * road + (user == "admin" ? 1 : 0)].Entry(api, method, params);
    return r.status == 200 && r.body["success"].asBool();
  };

  // Worker w makes six calendars as bob, the administrator renames each and deletes every other.
  std::multiset<std::string> expected;
  for (int w = 0; w < 6; ++w) {
    for (int k = 0; k < 6; k += 2)
      expected.insert("W" + std::to_string(w) + "-" + std::to_string(k) + "-renamed");
  }
  std::vector<std::thread> workers;
  for (int w = 0; w < 6; ++w) {
    workers.emplace_back([&, w] {
      const int road = w % 2 == 1 ? w / 2 : -1;
      for (int k = 0; k < 6; ++k) {
        const std::string name = "W" + std::to_string(w) + "-" + std::to_string(k);
        const std::string renamed = name + "-renamed";
        if (!call(road, kCalendar, "create", CalendarParams("public", "public", share, name),
                  "bob")) {
          ADD_FAILURE() << "create " << name;
          continue;
        }
        Json::Value edit = CalendarParams("public", "public", "", renamed), ids;
        edit["id"] = name + ":public";
        EXPECT_TRUE(call(road, kCalendar, "set", edit, "admin")) << "rename " << name;
        ids["id"].append(renamed + ":public");
        if (k % 2 == 1) {
          EXPECT_TRUE(call(road, kCalendar, "delete", ids, "admin")) << "delete " << name;
        }
      }
    });
  }
  // Settings flip meanwhile, over both roads.
  std::atomic<bool> done{false};
  int flips = 0;
  std::thread flipper([&] {
    for (; !done; ++flips) {
      Json::Value enable, webdav;
      enable["enable"] = flips % 2 == 0;
      webdav["enable_http"] = flips % 2 == 0;
      webdav["enable_https"] = false;
      webdav["http_port_num"] = 5005 + 10 * (flips % 3);
      const int road = flips % 2 == 0 ? 3 : -1;
      EXPECT_TRUE(call(road, kCalDAV, "set", enable, "admin")) << "CalDAV set " << flips;
      EXPECT_TRUE(call(-1, kWebDAV, "set", webdav, "admin")) << "WebDAV set " << flips;
    }
  });
  for (std::thread& t : workers) t.join();
  done = true;
  flipper.join();
  EXPECT_GT(flips, 0);

  // The registry: exactly the calendars that remain, each once.
  std::multiset<std::string> names;
  for (const std::string& entry : root.Calendars()) {
    EXPECT_THAT(entry, ::testing::EndsWith(" public public"));
    names.insert(entry.substr(0, entry.find(' ')));
  }
  EXPECT_EQ(names, expected);
  // Each whole on disk, and the server still serving.
  const Json::Value items = sessions[0].Entry(kCalendar, "list").body["data"]["item"];
  EXPECT_EQ(items.size(), expected.size());
  for (const Json::Value& item : items) EXPECT_EQ(item["status"], "normal") << item["id"];
  // No other folder, and no temporary beside the registry.
  std::multiset<std::string> folders;
  for (const auto& dir : std::filesystem::directory_iterator(share)) {
    folders.insert(dir.path().filename());
  }
  EXPECT_EQ(folders, expected);
  for (const auto& file : std::filesystem::directory_iterator(root.Path("/usr/kivo/etc"))) {
    EXPECT_THAT(file.path().filename().string(),
                ::testing::AnyOf("calendar.info", ".calendar.info.lock", "calendar.ids"));
  }
  // The settings files are whole and hold one of the values written.
  EXPECT_THAT(root.ConfValue("runCalDav"), ::testing::AnyOf("yes", "no"));
  EXPECT_TRUE(ParseJson(Read(root.Path("/var/lib/kivo/services.json"))).isObject());
}

}  // namespace
}  // namespace e2e
