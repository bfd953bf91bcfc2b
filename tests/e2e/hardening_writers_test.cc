// Writers that race: processes and HTTP clients writing at once lose nothing. (Writers killed at
// each of their steps: ReplaceOrderTest, CalendarChangeTest, SettingsRecoveryTest.)

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

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
        const Json::Value edit = CalendarParams("public", "public", "", renamed, name + ":public");
        EXPECT_TRUE(call(road, kCalendar, "set", edit, "admin")) << "rename " << name;
        if (k % 2 == 1) {
          EXPECT_TRUE(call(road, kCalendar, "delete", IdList(renamed + ":public"), "admin"))
              << "delete " << name;
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
  // Its lines after the changes' own ("pending", "done"): one token for each calendar.
  std::set<std::string> tokened;
  for (const std::string& line : ReadLines(root.Path("/usr/kivo/etc/calendar.ids"))) {
    if (line.rfind("pending ", 0) != 0 && line.rfind("done ", 0) != 0) {
      tokened.insert(line.substr(line.find(' ') + 1));
    }
  }
  EXPECT_EQ(tokened.size(), expected.size())
      << "a token for each calendar, none lost to another writer";
  // The settings files are whole and hold one of the values written.
  EXPECT_THAT(root.ConfValue("runCalDav"), ::testing::AnyOf("yes", "no"));
  EXPECT_TRUE(ParseJson(Read(root.Path("/var/lib/kivo/services.json"))).isObject());
}

}  // namespace
}  // namespace e2e
