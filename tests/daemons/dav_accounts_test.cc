// The WebDAV daemon's account reader (mod_kivo_dav's kivo_dav_accounts.c),
// without Apache, on the table every reader of a root's accounts runs
// (tests/vectors/accounts.json; the CalDAV daemon's plug-ins run it in
// caldav_plugins_test.py): an account one service refuses, every service
// refuses, and a served one has the same uid, group and groups in both.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/platform/temp_root.h"

extern "C" {
#include "daemons/apache/kivo_dav_accounts.h"
}

namespace {

class DavAccountsTest : public TempRootTest {};

TEST_F(DavAccountsTest, AccountsFollowTheTableEveryReaderRuns) {
  std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/accounts.json");
  Json::Value table;
  ASSERT_TRUE(Json::Reader().parse(file, table));
  for (const char* name : {"passwd", "group", "shadow"}) {
    Write(std::string("etc/") + name, table[name].asString());
  }
  for (const Json::Value& account : table["accounts"]) {
    const std::string name = account["name"].asString();
    SCOPED_TRACE(name + ": " + account["why"].asString());
    const int shadow = open(Path("etc/shadow").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(shadow, 0);
    kd_account found;
    const int served = kd_account_find(Path("etc/passwd").c_str(), Path("etc/group").c_str(),
                                       shadow, name.c_str(), &found);
    close(shadow);
    EXPECT_EQ(served != 0, account["served"].asBool());
    if (!served || !account["served"].asBool()) continue;
    EXPECT_EQ(found.id.uid, account["uid"].asUInt());
    EXPECT_EQ(found.id.gid, account["gid"].asUInt());
    EXPECT_EQ(found.id.admin != 0, account["admin"].asBool());
    std::vector<unsigned> groups(found.id.groups, found.id.groups + found.id.group_count);
    std::sort(groups.begin(), groups.end());
    std::vector<unsigned> expected;
    for (const Json::Value& g : account["groups"]) expected.push_back(g.asUInt());
    EXPECT_EQ(groups, expected);
  }
}

}  // namespace
