// The account files' version: every change moves it, reads and other files do not; stat without
// inotify. The writers of new accounts. And the host's view of who the WebDAV and CalDAV daemons
// serve (the account page's bars): it runs the table every reader of the accounts runs, so that the
// page never shows an account served that a daemon refuses, or the reverse.

#include "host/accounts/accounts.h"

#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "host/hosting/root_layout.h"
#include "platform/accounts.h"
#include "tests/platform/temp_root.h"

namespace {

class AccountsVersionTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    for (const char* name : {"passwd", "shadow", "group", "kivoinfo.conf"}) Write(Etc(name), "x\n");
  }
  static std::string Etc(const std::string& name) { return "etc/" + name; }
};

TEST_F(AccountsVersionTest, EveryChangeOfAnAccountFileMovesItAndNothingElseDoes) {
  host::AccountsVersion version(root_);
  const struct {
    const char* what;
    bool moves;
    std::function<void()> act;
  } cases[] = {
      {"read", false, [&] { std::ifstream(Path(Etc("shadow"))).get(); }},
      {"other file written", false, [&] { Write(Etc("kivoinfo.conf"), "y\n"); }},
      {"folder made beside", false, [&] { mkdir(Path(Etc("kivo")).c_str(), 0755); }},
      {"written in place", true, [&] { Write(Etc("shadow"), "changed\n"); }},
      {"replaced by rename", true,
       [&] {
         Write(Etc("passwd.new"), "new\n");
         rename(Path(Etc("passwd.new")).c_str(), Path(Etc("passwd")).c_str());
       }},
      {"mode changed", true, [&] { chmod(Path(Etc("group")).c_str(), 0600); }},
      {"removed", true, [&] { unlink(Path(Etc("group")).c_str()); }},
      {"made again", true, [&] { Write(Etc("group"), "x\n"); }},
  };
  for (const auto& c : cases) {
    const uint64_t before = version.Current();
    c.act();
    EXPECT_EQ(version.Current() != before, c.moves) << c.what;
  }
}

TEST_F(AccountsVersionTest, FallsBackToStatsWhenTheFolderGoes) {
  host::AccountsVersion version(root_);
  const uint64_t watched = version.Current();
  ASSERT_EQ(rename(Path("etc").c_str(), Path("etc.old").c_str()), 0);
  const uint64_t gone = version.Current();
  EXPECT_NE(gone, watched);
  ASSERT_EQ(rename(Path("etc.old").c_str(), Path("etc").c_str()), 0);
  const uint64_t back = version.Current();
  EXPECT_NE(back, gone) << "the files are there again";
  EXPECT_EQ(version.Current(), back);
  Write(Etc("shadow"), "changed\n");
  EXPECT_NE(version.Current(), back) << "stats see the change";
}

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

// A login name: a lower-case letter or "_" first, then also digits, "." and "-", 32 at most;
// nothing that could end a field of the account files (":", a line end) or a path step.
TEST_F(HostAccountsRuleTest, LoginNamesAreLowerCaseLettersThenDigitsDotsAndDashes) {
  for (const std::string& name :
       std::vector<std::string>{"a", "_x", "a1", "a.b", "a-b", "z_9", std::string(32, 'n')}) {
    EXPECT_TRUE(host::IsValidUserName(name)) << name;
  }
  for (const std::string& name :
       std::vector<std::string>{"", "1a", ".a", "-a", "A", "aB", "a b", "a:b", "a/b", "a@b", "a\nb",
                                "a,b", std::string(33, 'n')}) {
    EXPECT_FALSE(host::IsValidUserName(name)) << name;
  }
}

// The accounts list's home rule, bit by bit and owner by owner: private only when the account
// owns the folder and neither its group nor others have any bit; the special bits expose nothing.
TEST_F(HostAccountsRuleTest, AHomeIsPrivateOnlyWhenItsOwnersAndClosedToGroupAndOthers) {
  const host::Account bob{"bob", 1025, 100, Path("volume1/homes/bob")};
  const std::string home = Path("volume1/homes/bob");
  std::filesystem::create_directories(home);
  const mode_t bits[] = {04000, 02000, 01000, 0400, 0200, 0100, 040, 020, 010, 04, 02, 01};
  for (const mode_t bit : bits) {
    const mode_t mode = 0700 ^ bit;  // one bit changed from a private home
    SCOPED_TRACE(std::to_string(mode));
    ASSERT_EQ(chown(home.c_str(), bob.uid, bob.gid), 0);
    ASSERT_EQ(chmod(home.c_str(), mode), 0);
    const host::HomeState expected =
        (mode & 077) != 0 ? host::HomeState::kReadable : host::HomeState::kPrivate;
    EXPECT_EQ(host::HomeStateOf(root_, bob), expected);
  }
  const struct {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    host::HomeState state;
  } owners[] = {
      {1025, 100, 0750, host::HomeState::kReadable},  // group read and search
      {1025, 0, 0700, host::HomeState::kPrivate},     // the group plays no part at 0700
      {1026, 100, 0700, host::HomeState::kNotOwned},  // another account's
      {0, 0, 0700, host::HomeState::kNotOwned},       // root's
      {0, 100, 0755, host::HomeState::kNotOwned},
  };
  for (const auto& o : owners) {
    SCOPED_TRACE(std::to_string(o.uid) + ":" + std::to_string(o.gid) + " " +
                 std::to_string(o.mode));
    ASSERT_EQ(chown(home.c_str(), o.uid, o.gid), 0);
    ASSERT_EQ(chmod(home.c_str(), o.mode), 0);
    EXPECT_EQ(host::HomeStateOf(root_, bob), o.state);
  }
  // Whatever the link points at, it is no home; nor is a file or a FIFO.
  std::filesystem::remove_all(home);
  ASSERT_EQ(symlink(Path("volume1").c_str(), home.c_str()), 0);
  EXPECT_EQ(host::HomeStateOf(root_, bob), host::HomeState::kNotAFolder);
  std::filesystem::remove(home);
  ASSERT_EQ(mkfifo(home.c_str(), 0700), 0);
  EXPECT_EQ(host::HomeStateOf(root_, bob), host::HomeState::kNotAFolder);
  std::filesystem::remove(home);
  EXPECT_EQ(host::HomeStateOf(root_, bob), host::HomeState::kMissing);
}

// The accounts room's writers, as init and useradd use them: the first free uid past gaps, a
// taken uid refused with no line left behind, a second init that changes nothing.
TEST_F(HostAccountsRuleTest, NewAccountsTakeFreeUidsAndARefusedOneLeavesNoLine) {
  // admin takes 1024; an account of 1026 is there before the new ones come, and a line cut
  // short after its uid (1028), which keeps that uid taken all the same.
  ASSERT_TRUE(host::WriteFirstAccounts(root_));
  Write("etc/passwd", Read("etc/passwd") + "old:x:1026:100::/x:/bin/sh\ncut:x:1028\n");
  const struct {
    const char* name;
    uid_t asked;
    bool admin;
    bool written;
    uid_t uid;
  } cases[] = {
      {"bob", 0, false, true, 1025},     {"carol", 0, true, true, 1027},
      {"erin", 1025, false, false, 0},   {"erik", 1024, true, false, 0},
      {"dave", 3000, false, true, 3000}, {"frank", 0, false, true, 1029},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(host::WriteNewAccount(root_, c.name, c.asked, c.admin), c.written);
    host::Account account;
    EXPECT_EQ(host::LookupAccount(c.name, &account), c.written);
    std::string hash;
    EXPECT_EQ(kivo::ReadPasswordHash(c.name, &hash), c.written);
    EXPECT_EQ(host::IsAdministrator(c.name), c.written && c.admin);
    if (!c.written) continue;
    EXPECT_EQ(account.uid, c.uid);
    EXPECT_EQ(account.gid, host::kUsersGid);
    EXPECT_EQ(hash, "!") << "locked until a password is set";
  }
  const std::string before = Read("etc/passwd") + Read("etc/group") + Read("etc/shadow");
  ASSERT_TRUE(host::WriteFirstAccounts(root_));
  EXPECT_EQ(Read("etc/passwd") + Read("etc/group") + Read("etc/shadow"), before);
}

}  // namespace
