// A non-administrator's create may only register the folder it makes.

#include "host/calendar_rules.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/platform/temp_root.h"

namespace {

class CreateEntryRuleTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    Write("etc/kivo/shares.json",
          "{\"public\": \"" + root_ + "/v/public\", \"homes\": \"" + root_ + "/v/homes\"}");
    Write("etc/passwd", "bob:x:1025:100::" + root_ + "/v/homes/bob:/bin/sh\n");
    for (const char* dir : {"/v", "/v/public", "/v/public/team", "/v/homes", "/v/homes/bob",
                            "/v/homes/bob/cal", "/v/homes/carol", "/outside"}) {
      ASSERT_EQ(mkdir((root_ + dir).c_str(), 0755), 0) << dir;
    }
    ASSERT_EQ(symlink((root_ + "/v/public/team").c_str(), (root_ + "/v/public/link").c_str()), 0);
  }

  Json::Value Params(const char* share, const std::string& destination, const std::string& name,
                     const std::string& fullpath) {
    Json::Value p(Json::objectValue);
    p["share"] = share;
    p["destination"] = destination;
    p["calendarname"] = name;
    p["fullpath"] = root_ + fullpath;
    return p;
  }
};

TEST_F(CreateEntryRuleTest, EntryMustNameTheFolderMade) {
  const struct {
    const char* share;
    const char* destination;
    const char* name;
    const char* fullpath;
    bool allowed;
  } cases[] = {
      {"public", "public", "Cal", "/v/public", true},
      {"public", "public/team", "Cal", "/v/public/team", true},
      {"public", "public/team", "Cal", "/v/public/link", true},  // same folder by a link
      {"public", "xy/team", "Cal", "/v/public/team", true},      // its first step is not read
      {"public", "x/team", "Cal", "/v/public/team", false},      // as long as the share's name
      {"public", "public/", "Cal", "/v/public", true},           // doubled slash
      {"home", "home/cal", "Cal", "/v/homes/bob/cal", true},     // the home alias
      {"homes", "bob/cal", "Cal", "/v/homes/bob/cal", true},     // "homes/" prefixed
      {"homes", "homes/bob", "Cal", "/v/homes/bob", true},
      {"public", "public/../../../outside", "Cal", "/v/public", false},
      {"homes", "homes/carol", "Cal", "/v/homes/bob", false},  // another user's folder
      {"home", "home/cal", "Cal", "/v/homes/carol", false},
      {"public", "public/team", "Cal", "/v/public", false},
      {"public", "public", "Cal", "/v/public/team", false},
      {"nosuch", "nosuch", "Cal", "/v/public", false},          // unknown share
      {"public", "public/missing", "Cal", "/v/public", false},  // names nothing real
  };
  for (const auto& c : cases) {
    EXPECT_EQ(
        host::CreateEntryMatchesFolder(Params(c.share, c.destination, c.name, c.fullpath), "bob"),
        c.allowed)
        << c.share << " " << c.destination << " at " << c.fullpath;
  }
}

TEST_F(CreateEntryRuleTest, MalformedRequestsAreLeftToTheModule) {
  Json::Value p = Params("public", "public", "Cal", "/v/public");
  p["calendarname"] = 7;
  EXPECT_TRUE(host::CreateEntryMatchesFolder(p, "bob"));
  EXPECT_TRUE(host::CreateEntryMatchesFolder(Json::Value(Json::objectValue), "bob"));
}

}  // namespace
