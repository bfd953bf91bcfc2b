// The host's view of who the WebDAV and CalDAV daemons serve (the account
// page's bars) runs the table every reader of the accounts runs, so that the
// page never shows an account served that a daemon refuses, or the reverse.

#include <json/json.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "host/accounts.h"
#include "platform/accounts.h"
#include "tests/platform/temp_root.h"

namespace {

class HostAccountsRuleTest : public TempRootTest {};

TEST_F(HostAccountsRuleTest, AccountsFollowTheTableEveryReaderRuns) {
  std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/accounts.json");
  Json::Value table;
  ASSERT_TRUE(Json::Reader().parse(file, table));
  for (const char* name : {"passwd", "group", "shadow"}) {
    Write(std::string("etc/") + name, table[name].asString());
  }
  for (const Json::Value& expected : table["accounts"]) {
    const std::string name = expected["name"].asString();
    SCOPED_TRACE(name + ": " + expected["why"].asString());
    host::Account account;
    std::string hash;
    const bool found = host::IsValidUserName(name) && host::LookupAccount(name, &account);
    const bool served = found && kivo::ReadPasswordHash(name, &hash) &&
                        host::BarOf(account, hash) == host::AccountBar::kNone &&
                        kivo::VerifyPassword(name, table["password"].asString());
    EXPECT_EQ(served, expected["served"].asBool());
    if (!served || !expected["served"].asBool()) continue;
    EXPECT_EQ(account.uid, expected["uid"].asUInt());
    EXPECT_EQ(account.gid, expected["gid"].asUInt());
    EXPECT_EQ(host::IsAdministrator(name), expected["admin"].asBool());
    std::vector<gid_t> groups = host::GroupsOf(root_, account);
    std::sort(groups.begin(), groups.end());
    std::vector<gid_t> wanted;
    for (const Json::Value& g : expected["groups"]) wanted.push_back(g.asUInt());
    EXPECT_EQ(groups, wanted);
  }
}

}  // namespace
