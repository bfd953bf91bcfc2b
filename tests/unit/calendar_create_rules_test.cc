// What an ordinary account's calendar create may do, through the create's entry function: a
// homes create stays in the user's own home, and the entry names the folder the create makes.
// A refusal is 105, before anything is read or made; an administrator is held to neither rule.

#include <unistd.h>

#include "kivo/error_codes.h"
#include "tests/unit/calendar_fixture.h"

namespace calendar_test {
namespace {

// Shares docs and homes, with links in both; links out and dot-dot paths are refused.
class CreateRuleTest : public CalendarTest {
 protected:
  void SetUp() override {
    CalendarTest::SetUp();
    for (const char* dir : {"volume1/docs/team", "volume1/homes/alice/cal", "volume1/homes/alice2",
                            "volume1/homes/bob"}) {
      ASSERT_TRUE(std::filesystem::create_directories(Path(dir))) << dir;
    }
    ASSERT_EQ(symlink("cal", Path("volume1/homes/alice/in").c_str()), 0);
    ASSERT_EQ(symlink(Path("volume1/docs/team").c_str(), Path("volume1/docs/link").c_str()), 0);
  }

  // The create's code as an ordinary account: 105 refused, anything else let through.
  int UserCreate(const std::string& user, const std::string& share, const std::string& destination,
                 const std::string& fullpath, const std::string& name = "Cal") {
    const std::string before = ReadFile(RegistryPath());
    const bool was = Exists(fullpath + "/" + name);
    const KIVO::APIResponse r =
        Call(CalDAVCalendarCreate, CreateParams(destination, name, fullpath, share), user,
             KIVO::Standing::kUser);
    const int code = r.success() ? 0 : r.error_code();
    if (code == WEBAPI_ERR_NOT_ALLOWED) {
      EXPECT_EQ(Exists(fullpath + "/" + name), was) << "a refusal makes nothing";
      EXPECT_EQ(ReadFile(RegistryPath()), before) << "a refusal registers nothing";
    }
    return code;
  }
};

// The home is alice's folder in the homes share; her account's home field plays no part.
TEST_F(CreateRuleTest, HomesCreatesStayInTheUsersHome) {
  fake::P().users["alice"].home = docs_;
  const std::string home = homes_ + "/alice";
  const struct {
    const char* share;
    std::string destination, fullpath;
    bool allowed;
  } cases[] = {
      {"HOME", "home/in", home + "/in", true},
      {"homes", "homes/alice2", homes_ + "/alice2", false},  // a name that merely starts alike
      {"homes", "homes/alice/missing", home + "/missing", false},  // cannot be resolved
      {"homes", "homes/alice", home, true},
      {"home", "home", homes_ + "/bob", false},  // another user's home
      {"homes", "homes", homes_, false},         // above every home
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.share) + " " + c.fullpath);
    EXPECT_EQ(UserCreate("alice", c.share, c.destination, c.fullpath) != WEBAPI_ERR_NOT_ALLOWED,
              c.allowed);
  }
  // Names whose folder is none of their own.
  for (const char* user : {"", "dave", "..", "alice/..", "."}) {
    EXPECT_EQ(UserCreate(user, "homes", "homes/alice", home), WEBAPI_ERR_NOT_ALLOWED) << user;
  }
  fake::P().shares.erase("homes");
  EXPECT_EQ(UserCreate("alice", "homes", "homes/alice", home), WEBAPI_ERR_NOT_ALLOWED)
      << "no homes share";
}

TEST_F(CreateRuleTest, EntryMustNameTheFolderMade) {
  // share, destination, fullpath, allowed.
  const std::tuple<const char*, const char*, const char*, bool> cases[] = {
      {"docs", "docs/team", "volume1/docs/team", true},
      {"docs", "docs/team", "volume1/docs/link", true},         // same folder by a link
      {"docs", "xy/team", "volume1/docs/team", true},           // its first step is not read
      {"docs", "x/te", "volume1/docs/team", false},             // as long as the share's name: the
      {"docs", "x/te", "volume1/docs", true},                   // rest is not read either
      {"docs", "docs/", "volume1/docs", true},                  // doubled slash
      {"home", "home/cal", "volume1/homes/alice/cal", true},    // the home alias
      {"homes", "alice/cal", "volume1/homes/alice/cal", true},  // "homes/" prefixed
      {"homes", "homes/alice", "volume1/homes/alice", true},
      {"homes", "homes/bob", "volume1/homes/alice", false},  // another user's folder
      {"home", "home/cal", "volume1/homes/bob", false},
      {"docs", "docs/team", "volume1/docs", false},
      {"docs", "docs", "volume1/docs/team", false},
      {"nosuch", "nosuch", "volume1/docs", false},      // unknown share
      {"docs", "docs/missing", "volume1/docs", false},  // names nothing real
  };
  for (const auto& [share, destination, fullpath, allowed] : cases) {
    SCOPED_TRACE(std::string(share) + " " + destination + " at " + fullpath);
    EXPECT_EQ(UserCreate("alice", share, destination, Path(fullpath)) != WEBAPI_ERR_NOT_ALLOWED,
              allowed);
  }
  // Malformed: the handler's own refusal, not this one.
  Json::Value params = CreateParams("docs/team", "Cal", docs_, "docs");
  params["calendarname"] = 7;
  EXPECT_EQ(Call(CalDAVCalendarCreate, params, "alice", KIVO::Standing::kUser).error_code(),
            WEBAPI_ERR_BAD_PARAMETER);
}

// An administrator is held to neither rule: another's home, an entry naming another folder.
TEST_F(CreateRuleTest, AdministratorsAreHeldToNeither) {
  for (const auto& [share, destination, fullpath] :
       {std::tuple<const char*, const char*, std::string>{"homes", "homes/bob", homes_ + "/bob"},
        {"docs", "docs/team", docs_}}) {
    const KIVO::APIResponse r =
        Call(CalDAVCalendarCreate, CreateParams(destination, "Adm", fullpath, share), "bob");
    EXPECT_TRUE(r.success()) << share << " " << destination << ": " << r.error_code();
  }
}

}  // namespace
}  // namespace calendar_test
