// Editing calendars: renames and moves on disk, the registry entry that
// replaces the old one, and the refusals with their codes.

#include "tests/unit/calendar_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace calendar_test {
namespace {

class CalendarSetTest : public CalendarTest {
 protected:
  void SetUp() override {
    CalendarTest::SetUp();
    MakeCalendarFolder(docs_ + "/Work");
    ASSERT_EQ(mkdir((docs_ + "/team").c_str(), 0777), 0);
    Json::Value registry(Json::arrayValue);
    registry.append(Entry("Other", "docs", "docs"));
    registry.append(Entry("Work", "docs", "docs"));
    WriteRegistry(registry);
  }

  static Json::Value Edit(const std::string& id, const std::string& destination,
                          const std::string& name, const std::string& fullpath,
                          const std::string& share) {
    Json::Value params = CreateParams(destination, name, fullpath, share);
    params["id"] = id;
    return params;
  }

  // The registry as SetUp wrote it, with the second entry replaced.
  static Json::Value RegistryWith(const Json::Value& second) {
    Json::Value registry(Json::arrayValue);
    registry.append(Entry("Other", "docs", "docs"));
    registry.append(second);
    return registry;
  }

  std::string Mv(const std::string& from, const std::string& to) {
    return "KLIBCExec(/bin/mv, " + from + ", " + to + ", (null), (null))";
  }
};

TEST_F(CalendarSetTest, RenameMovesTheFolderWithinItsParent) {
  KIVO::APIResponse response =
      Call(CalDAVCalendarSet, Edit("Work:docs", "docs", "Home", docs_, "docs"));
  ASSERT_TRUE(response.success()) << response.error_code();
  Json::Value expected(Json::objectValue);
  expected["id"] = "Home:docs";
  EXPECT_EQ(response.data(), expected);
  EXPECT_FALSE(Exists(docs_ + "/Work"));
  EXPECT_EQ(ReadFile(docs_ + "/Home/.DAV/.state_for_dir.pag"), kTemplateText);
  EXPECT_THAT(fake::Actions(), ElementsAre(Mv(docs_ + "/Work", docs_ + "/Home")));
  EXPECT_EQ(ReadFile(RegistryPath()), RegistryWith(Entry("Home", "docs", "docs")).toStyledString());
}

TEST_F(CalendarSetTest, MoveFollowsTheShareWhenNoFullpathIsGiven) {
  KIVO::APIResponse response =
      Call(CalDAVCalendarSet, Edit("Work:docs", "docs/team", "Work", "", "docs"));
  ASSERT_TRUE(response.success()) << response.error_code();
  EXPECT_EQ(response.data()["id"], "Work:docs/team");
  EXPECT_TRUE(Exists(docs_ + "/team/Work/.DAV/.state_for_dir.pag"));
  EXPECT_THAT(fake::Actions(), ElementsAre(Mv(docs_ + "/Work", docs_ + "/team/Work")));
  EXPECT_EQ(ReadRegistry(), RegistryWith(Entry("Work", "docs/team", "docs")));
}

TEST_F(CalendarSetTest, FullpathDecidesTheFolderAndDestinationTheEntry) {
  KIVO::APIResponse response =
      Call(CalDAVCalendarSet, Edit("Work:docs", "docs", "New", docs_ + "/team", "docs"));
  ASSERT_TRUE(response.success()) << response.error_code();
  EXPECT_EQ(response.data()["id"], "New:docs");
  EXPECT_TRUE(Exists(docs_ + "/team/New/.DAV"));
  EXPECT_EQ(ReadRegistry(), RegistryWith(Entry("New", "docs", "docs")));
}

TEST_F(CalendarSetTest, HomeAliasIsStoredInTheHomesForm) {
  ASSERT_EQ(mkdir((homes_ + "/alice/Cal").c_str(), 0755), 0);
  KIVO::APIResponse response =
      Call(CalDAVCalendarSet, Edit("Work:docs", "home/Cal", "Mine", "", "home"));
  ASSERT_TRUE(response.success()) << response.error_code();
  EXPECT_EQ(response.data()["id"], "Mine:homes/alice/Cal");
  EXPECT_TRUE(Exists(homes_ + "/alice/Cal/Mine/.DAV"));
  EXPECT_EQ(ReadRegistry(), RegistryWith(Entry("Mine", "homes/alice/Cal", "homes")));
}

TEST_F(CalendarSetTest, UnchangedLocationIsAnExistingTarget) {
  const std::string text = ReadFile(RegistryPath());
  KIVO::APIResponse response =
      Call(CalDAVCalendarSet, Edit("Work:docs", "docs", "Work", docs_, "docs"));
  EXPECT_EQ(response.error_code(), 1702);
  EXPECT_TRUE(fake::Logged("Path [" + docs_ + "/Work] exist"));
  EXPECT_THAT(fake::Actions(), IsEmpty());
  EXPECT_EQ(ReadFile(RegistryPath()), text);
}

TEST_F(CalendarSetTest, VanishedFolderChangesTheRegistryAlone) {
  std::filesystem::remove_all(docs_ + "/Work");
  KIVO::APIResponse response =
      Call(CalDAVCalendarSet, Edit("Work:docs", "docs", "Work", "", "docs"));
  ASSERT_TRUE(response.success()) << response.error_code();
  EXPECT_EQ(response.data()["id"], "Work:docs");
  EXPECT_THAT(fake::Actions(), IsEmpty());
  EXPECT_EQ(ReadFile(RegistryPath()), RegistryWith(Entry("Work", "docs", "docs")).toStyledString());
}

TEST_F(CalendarSetTest, Refusals) {
  const std::string text = ReadFile(RegistryPath());
  Json::Value no_id = Edit("Work:docs", "docs", "New", docs_, "docs");
  no_id.removeMember("id");
  Json::Value numeric_path = Edit("Work:docs", "docs", "New", docs_, "docs");
  numeric_path["fullpath"] = 5;
  const struct {
    Json::Value params;
    int code;
    std::string message;
  } cases[] = {
      {no_id, 1705, "cannot get the paramter: id"},
      {numeric_path, 1705, "wrong the paramter: fullpath"},
      {Edit("Nope:docs", "docs", "New", docs_, "docs"), 1705, "Doesn't found ID Nope:docs"},
      {Edit("Work:docs", "docs", "New", docs_ + "/missing", "docs"), 1703,
       "Path [" + docs_ + "/missing] nonexist"},
      {Edit("Work:docs", "docs", "New", Path("outside"), "docs"), 1705,
       "path[" + Path("outside") + "] doesn't have share name"},
      {Edit("Work:docs", "docs", "..", docs_, "docs"), 1705, "[..] basename is invalid"},
      {Edit("Work:docs", "docs", "Other", docs_, "docs"), 1702, "Path [" + docs_ + "/Other] exist"},
      {Edit("Work:docs", "docs", "New", "", "nowhere"), 1704, "CANNOT GET THE SHARE nowhere"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    fake::P().shares["docs"] = docs_;
    fake::P().users["alice"] = {kAliceUid, kUsersGid, 0, ""};
    MakeCalendarFolder(docs_ + "/Other");
    KIVO::APIResponse response = Call(CalDAVCalendarSet, c.params);
    EXPECT_EQ(response.error_code(), c.code) << c.message;
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    EXPECT_THAT(fake::Actions(), IsEmpty()) << c.message;
    EXPECT_TRUE(Exists(docs_ + "/Work/.DAV"));
    EXPECT_EQ(ReadFile(RegistryPath()), text);
  }
}

TEST_F(CalendarSetTest, NoRegistryFileIs1704) {
  std::filesystem::remove(RegistryPath());
  KIVO::APIResponse response =
      Call(CalDAVCalendarSet, Edit("Work:docs", "docs", "New", docs_, "docs"));
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_TRUE(fake::Logged("no file SZF_CALENDAR_INFO"));
  EXPECT_FALSE(Exists(RegistryPath()));
}

TEST_F(CalendarSetTest, MoveIntoItselfFailsAtTheMove) {
  const std::string text = ReadFile(RegistryPath());
  KIVO::APIResponse response =
      Call(CalDAVCalendarSet, Edit("Work:docs", "docs", "Inner", docs_ + "/Work", "docs"));
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_TRUE(fake::Logged("cannot mv folder"));
  EXPECT_THAT(fake::Actions(), ElementsAre(Mv(docs_ + "/Work", docs_ + "/Work/Inner")));
  EXPECT_TRUE(Exists(docs_ + "/Work/.DAV"));
  EXPECT_EQ(ReadFile(RegistryPath()), text);
}

}  // namespace
}  // namespace calendar_test
