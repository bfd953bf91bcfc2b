// Many writers at once: `kivo-webapi call` processes and HTTP clients of one
// `kivo-webapi serve` create, rename and delete calendars while the settings
// flip. Afterwards the registry holds exactly the calendars that remain,
// each with its folder, and no folder remains for a calendar that is gone.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e.h"

namespace {

using e2e::CalendarParams;
using e2e::kCalendar;

TEST(HardeningConcurrencyTest, ProcessesAndHttpClientsLoseNothing) {
  e2e::TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  ASSERT_TRUE(root.AddUser("bob", false, "bob-secret"));
  const std::string share = root.Path("/volume1/public");
  ASSERT_EQ(chmod(share.c_str(), 0777), 0);
  e2e::Server server;
  ASSERT_TRUE(server.Start(root)) << server.error();
  // Sessions are made before the threads start: the host brakes many
  // password checks at once. Road r uses sessions 2r (bob) and 2r+1 (admin).
  std::vector<e2e::Http> sessions(8, e2e::Http(server.port()));
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(i % 2 == 0 ? sessions[i].Login("bob", "bob-secret")
                           : sessions[i].Login("admin", e2e::TestRoot::kAdminPassword));
  }
  // One call as `user` by a `kivo-webapi call` process (road -1) or over
  // HTTP; true when it succeeded.
  const auto call = [&](int road, const char* api, const char* method, const Json::Value& params,
                        const std::string& user) {
    if (road < 0) return root.Call(api, 1, method, e2e::Compact(params), user).status == 0;
    const e2e::Reply r = sessions[2 * road + (user == "admin" ? 1 : 0)].Entry(api, method, params);
    return r.status == 200 && r.body["success"].asBool();
  };

  // Worker w makes six calendars as bob, renames each as the administrator
  // and deletes every other one; odd workers go over HTTP.
  std::mutex mutex;
  std::multiset<std::string> expected;
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
        } else {
          std::lock_guard<std::mutex> lock(mutex);
          expected.insert(renamed);
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
      EXPECT_TRUE(call(road, e2e::kCalDAV, "set", enable, "admin")) << "CalDAV set " << flips;
      EXPECT_TRUE(call(-1, e2e::kWebDAV, "set", webdav, "admin")) << "WebDAV set " << flips;
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
  for (const std::string& path : e2e::Tree(share)) {
    if (path.find('/', 1) == std::string::npos) folders.insert(path.substr(1));
  }
  EXPECT_EQ(folders, expected);
  for (const auto& file : std::filesystem::directory_iterator(root.Path("/usr/kivo/etc"))) {
    EXPECT_THAT(file.path().filename().string(),
                ::testing::AnyOf("calendar.info", ".calendar.info.lock"));
  }
  // The settings files are whole and hold one of the values written.
  EXPECT_THAT(root.ConfValue("runCalDav"), ::testing::AnyOf("yes", "no"));
  EXPECT_TRUE(e2e::ParseJson(e2e::Read(root.Path("/var/lib/kivo/services.json"))).isObject());
}

}  // namespace
