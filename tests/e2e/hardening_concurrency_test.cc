// Many writers at once: separate `kivo-webapi call` processes and several
// HTTP clients of one `kivo-webapi serve` create, rename and delete
// calendars and flip the settings together. Afterwards the registry holds
// exactly the calendars that should remain, each with its folder, and no
// folder remains for a calendar that is gone.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/hardening_util.h"
#include "tests/support/e2e.h"

extern char** environ;

namespace {

using hardening::CalendarParams;
using hardening::Compact;
using hardening::Exists;
using hardening::ParseJson;

constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";
constexpr int kCalendarsPerWorker = 6;

// One web API call, either by a `kivo-webapi call` process or over HTTP.
using Caller = std::function<bool(const std::string& api, const std::string& method,
                                  const Json::Value& params, const std::string& user)>;

class HardeningConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_EQ(chmod(root_.Path("/volume1/public").c_str(), 0777), 0);
    ASSERT_TRUE(server_.Start(root_)) << server_.error();
    // The environment of the call processes, made before any thread starts.
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).compare(0, 10, "KIVO_ROOT=") != 0) env_.push_back(*e);
    }
    env_.push_back("KIVO_ROOT=" + root_.path());
  }

  // A `kivo-webapi call`; posix_spawn, since other threads run meanwhile.
  bool ProcessCall(const std::string& api, const std::string& method, const Json::Value& params,
                   const std::string& user) {
    std::vector<std::string> argv = {e2e::WebApiBin(), "call",         "--user", user, api, "1",
                                     method,           Compact(params)};
    std::vector<char*> raw_argv, raw_env;
    for (std::string& a : argv) raw_argv.push_back(&a[0]);
    raw_argv.push_back(nullptr);
    for (std::string& e : env_) raw_env.push_back(&e[0]);
    raw_env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc =
        posix_spawn(&pid, raw_argv[0], &actions, nullptr, raw_argv.data(), raw_env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  // A logged-in session per account, for one thread. Made before the
  // threads start: the host brakes many password checks at once.
  struct Sessions {
    explicit Sessions(int port) : bob(port), admin(port) {}
    hardening::HttpSession bob;
    hardening::HttpSession admin;
  };
  std::unique_ptr<Sessions> LogIn() {
    auto sessions = std::make_unique<Sessions>(server_.port());
    EXPECT_TRUE(sessions->bob.Login("bob", "bob-secret"));
    EXPECT_TRUE(sessions->admin.Login("admin", e2e::TestRoot::kAdminPassword));
    return sessions;
  }

  // The call over HTTP, in the session of `user`.
  static bool HttpCall(Sessions& sessions, const std::string& api, const std::string& method,
                       const Json::Value& params, const std::string& user) {
    hardening::HttpSession& session = user == "admin" ? sessions.admin : sessions.bob;
    Json::Value answer;
    return session.Entry(api, method, params, &answer) == 200 && answer["success"].asBool();
  }

  // Worker `tag`: makes its calendars as bob, renames each as the
  // administrator, and deletes every other one. Answers the ids that must
  // remain; failed calls are counted in `failures`.
  std::set<std::string> Work(const std::string& tag, const Caller& call,
                             std::atomic<int>& failures) {
    std::set<std::string> remaining;
    const std::string share_dir = root_.Path("/volume1/public");
    for (int k = 0; k < kCalendarsPerWorker; ++k) {
      const std::string name = tag + "-" + std::to_string(k);
      if (!call(kCalendar, "create", CalendarParams("public", "public", share_dir, name), "bob")) {
        ADD_FAILURE() << "create " << name;
        ++failures;
        continue;
      }
      Json::Value edit = CalendarParams("public", "public", "", name + "-renamed");
      edit["id"] = name + ":public";
      if (!call(kCalendar, "set", edit, "admin")) {
        ADD_FAILURE() << "rename " << name;
        ++failures;
      }
      if (k % 2 == 1) {
        Json::Value ids;
        ids["id"].append(name + "-renamed:public");
        if (!call(kCalendar, "delete", ids, "admin")) {
          ADD_FAILURE() << "delete " << name;
          ++failures;
        }
      } else {
        remaining.insert(name + "-renamed:public");
      }
    }
    return remaining;
  }

  e2e::TestRoot root_;
  e2e::Server server_;
  std::vector<std::string> env_;
};

TEST_F(HardeningConcurrencyTest, ProcessesAndHttpClientsLoseNothing) {
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::mutex mutex;
  std::set<std::string> expected;
  const Caller by_process = [this](const std::string& a, const std::string& m, const Json::Value& p,
                                   const std::string& u) { return ProcessCall(a, m, p, u); };
  const auto by_http = [](Sessions& sessions) -> Caller {
    return [&sessions](const std::string& a, const std::string& m, const Json::Value& p,
                       const std::string& u) { return HttpCall(sessions, a, m, p, u); };
  };
  std::vector<std::unique_ptr<Sessions>> sessions;
  for (int i = 0; i < 4; ++i) sessions.push_back(LogIn());

  std::vector<std::thread> workers;
  for (int w = 0; w < 6; ++w) {
    workers.emplace_back([&, w] {
      const bool http = w % 2 == 1;
      const std::set<std::string> mine =
          Work((http ? "H" : "P") + std::to_string(w),
               http ? by_http(*sessions[w / 2]) : by_process, failures);
      std::lock_guard<std::mutex> lock(mutex);
      expected.insert(mine.begin(), mine.end());
    });
  }
  // Settings flip meanwhile, over both roads.
  std::atomic<int> flips{0};
  std::atomic<int> flip_failures{0};
  std::thread flipper([&] {
    for (int i = 0; !done; ++i) {
      Json::Value enable;
      enable["enable"] = i % 2 == 0;
      Json::Value webdav;
      webdav["enable_http"] = i % 2 == 0;
      webdav["enable_https"] = false;
      webdav["http_port_num"] = 5005 + 10 * (i % 3);
      const Caller& road = i % 2 == 0 ? by_http(*sessions[3]) : by_process;
      if (!road(kCalDAV, "set", enable, "admin")) {
        ADD_FAILURE() << "CalDAV set " << i;
        ++flip_failures;
      }
      if (!by_process(kWebDAV, "set", webdav, "admin")) {
        ADD_FAILURE() << "WebDAV set " << i;
        ++flip_failures;
      }
      ++flips;
    }
  });
  for (std::thread& t : workers) t.join();
  done = true;
  flipper.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(flip_failures.load(), 0);
  EXPECT_GT(flips.load(), 0);
  // The registry: exactly the calendars that remain, each once.
  const Json::Value registry = root_.Registry();
  ASSERT_TRUE(registry.isArray()) << Compact(registry);
  std::multiset<std::string> ids;
  for (const Json::Value& entry : registry) {
    ids.insert(entry["calendarname"].asString() + ":" + entry["destination"].asString());
  }
  EXPECT_EQ(ids, std::multiset<std::string>(expected.begin(), expected.end()));
  // The disk: a whole calendar folder for each of them, and nothing else.
  std::set<std::string> folders;
  for (const std::string& path : hardening::Tree(root_.Path("/volume1/public"))) {
    if (!path.empty() && path.find('/', 1) == std::string::npos) folders.insert(path.substr(1));
  }
  std::set<std::string> expected_folders;
  for (const std::string& id : expected) {
    const std::string name = id.substr(0, id.find(':'));
    expected_folders.insert(name);
    EXPECT_TRUE(Exists(root_.Path("/volume1/public/" + name + "/.DAV/.state_for_dir.pag"))) << name;
  }
  EXPECT_EQ(folders, expected_folders);
  // The settings files are whole and hold one of the values written.
  EXPECT_THAT(root_.ConfValue("runCalDav"), ::testing::AnyOf("yes", "no"));
  std::string states;
  ASSERT_TRUE(e2e::ReadFile(root_.Path("/var/lib/kivo/services.json"), &states));
  EXPECT_TRUE(ParseJson(states).isObject()) << states;
  // The server is still serving.
  EXPECT_TRUE(HttpCall(*sessions[0], kCalendar, "list", Json::Value(Json::objectValue), "bob"));
}

}  // namespace
