// Who an administrator may lock, unlock or remove, and what a lock or a removal leaves in the
// account files and the homes share: only the account named (not one whose name starts alike),
// its memberships with it, and of its home only the folder it owns, never through a link.

#include "host/hosting/account_changes.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/hosting/root_layout.h"
#include "platform/accounts.h"
#include "tests/platform/temp_root.h"

namespace {

using host::AccountBar;
using host::AccountChange;
using host::ChangeBar;

TEST(AccountChangeRules, OwnAccountLastAdministratorAndTheServicesAccountsAreRefused) {
  const std::vector<host::AccountStanding> accounts = {
      {"boss", true, AccountBar::kNone},           {"chief", true, AccountBar::kNone},
      {"sleepy", true, AccountBar::kLocked},       {"alice", false, AccountBar::kNone},
      {"guest", false, AccountBar::kGuest},        {"daemon", false, AccountBar::kSystemUid},
      {"wheelish", false, AccountBar::kGroupRoot},
  };
  // Alone among the administrators who can log in: chief once boss is gone.
  const std::vector<host::AccountStanding> one_left = {{"chief", true, AccountBar::kNone},
                                                       {"sleepy", true, AccountBar::kLocked},
                                                       {"boss2", true, AccountBar::kNoPassword},
                                                       {"alice", false, AccountBar::kNone}};
  const struct {
    const std::vector<host::AccountStanding>* accounts;
    const char* actor;
    const char* target;
    AccountChange change;
    ChangeBar bar;
  } cases[] = {
      {&accounts, "boss", "alice", AccountChange::kLock, ChangeBar::kNone},
      {&accounts, "boss", "alice", AccountChange::kRemove, ChangeBar::kNone},
      {&accounts, "boss", "chief", AccountChange::kLock, ChangeBar::kNone},
      {&accounts, "boss", "boss", AccountChange::kLock, ChangeBar::kOwnAccount},
      {&accounts, "boss", "boss", AccountChange::kRemove, ChangeBar::kOwnAccount},
      {&accounts, "boss", "bos", AccountChange::kLock, ChangeBar::kNoSuchAccount},
      {&accounts, "boss", "guest", AccountChange::kRemove, ChangeBar::kGuest},
      {&accounts, "boss", "daemon", AccountChange::kLock, ChangeBar::kSystemAccount},
      {&accounts, "boss", "wheelish", AccountChange::kRemove, ChangeBar::kSystemAccount},
      {&accounts, "boss", "sleepy", AccountChange::kUnlock, ChangeBar::kNone},
      {&one_left, "", "chief", AccountChange::kLock, ChangeBar::kLastAdministrator},
      {&one_left, "", "chief", AccountChange::kRemove, ChangeBar::kLastAdministrator},
      {&one_left, "", "chief", AccountChange::kUnlock, ChangeBar::kNone},
      {&one_left, "", "sleepy", AccountChange::kRemove, ChangeBar::kNone},
      {&one_left, "chief", "alice", AccountChange::kRemove, ChangeBar::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.actor) + " -> " + c.target + " " +
                 std::to_string(static_cast<int>(c.change)));
    EXPECT_EQ(host::JudgeAccountChange(*c.accounts, c.actor, c.target, c.change), c.bar);
  }
}

class AccountChangesTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/accounts.json");
    ASSERT_TRUE(Json::Reader().parse(file, table_));
    Write("etc/passwd", table_["passwd"].asString() + "ali:x:1050:100::/h/ali:/bin/sh\n");
    Write("etc/shadow", table_["shadow"].asString());  // read by Hash() below
    Write("etc/shadow", table_["shadow"].asString() + "ali:" + Hash("alice") + ":0:0:99999:7:::\n");
    Write("etc/group", table_["group"].asString() + "ali:x:2002:ali,alice\n");
  }
  std::string Hash(const std::string& name) {
    std::string hash;
    EXPECT_TRUE(kivo::ReadPasswordHash(name, &hash));
    return hash;
  }
  bool LogsIn(const std::string& name) {
    host::Account account;
    std::string hash;
    return host::LookupAccount(name, &account) && kivo::ReadPasswordHash(name, &hash) &&
           host::BarOf(account, hash) == AccountBar::kNone &&
           kivo::VerifyPassword(name, table_["password"].asString());
  }
  Json::Value table_;
};

TEST_F(AccountChangesTest, ALockKeepsThePasswordForTheUnlockAndTouchesNoOtherAccount) {
  const std::string hash = Hash("alice");
  ASSERT_EQ(host::LockAccount(root_, "boss", "alice", true), ChangeBar::kNone);
  EXPECT_FALSE(LogsIn("alice"));
  EXPECT_EQ(Hash("alice"), "!" + hash) << "the locked form every door reads";
  EXPECT_TRUE(LogsIn("ali"));
  EXPECT_EQ(host::LockAccount(root_, "boss", "alice", true), ChangeBar::kNone) << "twice: one !";
  EXPECT_EQ(Hash("alice"), "!" + hash);
  ASSERT_EQ(host::LockAccount(root_, "boss", "alice", false), ChangeBar::kNone);
  EXPECT_TRUE(LogsIn("alice"));
  // Never given a password: nothing to lock, refused before and after.
  ASSERT_EQ(host::LockAccount(root_, "boss", "starred", true), ChangeBar::kNone);
  EXPECT_EQ(Hash("starred"), "*");
  EXPECT_EQ(host::LockAccount(root_, "boss", "boss", true), ChangeBar::kOwnAccount);
  EXPECT_TRUE(LogsIn("boss"));
}

TEST_F(AccountChangesTest, ARemovalTakesTheLinesAndMembershipsAndOnlyTheHomeTheAccountOwns) {
  const std::string homes = Path("volume1/homes");
  std::filesystem::create_directories(homes + "/alice/cal");
  std::filesystem::create_directories(homes + "/wheel");
  std::filesystem::create_directories(Path("elsewhere"));
  Write("elsewhere/keep", "x");
  ASSERT_EQ(chown((homes + "/alice").c_str(), 1025, 100), 0);
  ASSERT_EQ(chown((homes + "/wheel").c_str(), 1025, 100), 0) << "alice's, at wheel's name";
  ASSERT_EQ(symlink(Path("elsewhere").c_str(), (homes + "/ali").c_str()), 0);
  // Memberships go from every line that lists them, whatever its other fields hold.
  Write("etc/group", Read("etc/group") + "odd:x::alice,guests\n");
  const struct {
    const char* name;
    bool remove_home;
    host::HomeFate fate;
    bool home_left;
  } cases[] = {
      {"alice", true, host::HomeFate::kRemoved, false},
      {"wheel", true, host::HomeFate::kNotTheAccounts, true},
      {"ali", true, host::HomeFate::kNotTheAccounts, true},
      {"first1000", false, host::HomeFate::kKept, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host::HomeFate fate = host::HomeFate::kMissing;
    ASSERT_EQ(host::RemoveAccount(root_, "", c.name, c.remove_home, &fate), ChangeBar::kNone);
    EXPECT_EQ(fate, c.fate);
    host::Account gone;
    std::string hash;
    EXPECT_FALSE(host::LookupAccount(c.name, &gone));
    EXPECT_FALSE(kivo::ReadPasswordHash(c.name, &hash));
    EXPECT_EQ(std::filesystem::symlink_status(homes + "/" + c.name).type() !=
                  std::filesystem::file_type::not_found,
              c.home_left);
  }
  EXPECT_EQ(Read("elsewhere/keep"), "x") << "nothing followed through the link";
  EXPECT_TRUE(LogsIn("guest1") && LogsIn("guests"));
  const std::string group = Read("etc/group");
  EXPECT_NE(group.find("team:x:2000:\n"), std::string::npos) << group;
  EXPECT_NE(group.find("ali:x:2002:\n"), std::string::npos) << group;
  EXPECT_NE(group.find("odd:x::guests\n"), std::string::npos) << group;
  EXPECT_NE(group.find("guests:x:2001:guest1,guests\n"), std::string::npos) << group;
  host::HomeFate fate = host::HomeFate::kMissing;
  EXPECT_EQ(host::RemoveAccount(root_, "", "boss", false, &fate), ChangeBar::kLastAdministrator);
  EXPECT_EQ(host::LockAccount(root_, "", "boss", true), ChangeBar::kLastAdministrator);
  EXPECT_TRUE(LogsIn("boss"));
  // A removed name is free again; the refusals are useradd's, word for word.
  std::string why;
  EXPECT_EQ(host::JudgeNewAccountName("alice", &why), host::NewNameBar::kNone);
  EXPECT_EQ(host::JudgeNewAccountName("homes", &why), host::NewNameBar::kReserved);
  EXPECT_EQ(why,
            "'homes' cannot be an account: it names a folder the WebDAV and CalDAV services "
            "serve; choose another name");
  // A system group's name is refused as such, though no account of the machine has it.
  EXPECT_EQ(host::JudgeNewAccountName("administrators", &why), host::NewNameBar::kReserved);
  EXPECT_EQ(why,
            "'administrators' cannot be an account: it is the name of a system account or group; "
            "choose another name");
  EXPECT_EQ(host::JudgeNewAccountName("guests", &why), host::NewNameBar::kExists);
  EXPECT_EQ(why, "user guests exists");
}

}  // namespace
