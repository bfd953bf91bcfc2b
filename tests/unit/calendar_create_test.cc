// Creating calendars: the folders on disk with their owners and modes, the
// identity the process runs under, the registry, and what a failed create
// leaves behind (nothing).

#include "tests/unit/calendar_fixture.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace calendar_test {
namespace {

class CalendarCreateTest : public CalendarTest {
 protected:
  void ExpectOwned(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
    const struct stat st = StatOf(path);
    EXPECT_EQ(st.st_uid, uid) << path;
    EXPECT_EQ(st.st_gid, gid) << path;
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
  }

  // The calendar layout at `path`, folders and template copy owned by
  // uid:gid, the empty state file by dir_owner.
  void ExpectCalendar(const std::string& path, uid_t uid, gid_t gid, uid_t dir_owner) {
    ExpectOwned(path, uid, gid, 0777);
    ExpectOwned(path + "/.DAV", uid, gid, 0777);
    EXPECT_EQ(ReadFile(path + "/.DAV/.state_for_dir.pag"), kTemplateText);
    EXPECT_EQ(StatOf(path + "/.DAV/.state_for_dir.pag").st_uid, uid);
    EXPECT_EQ(StatOf(path + "/.DAV/.state_for_dir.pag").st_gid, gid);
    ExpectOwned(path + "/.DAV/.state_for_dir.dir", dir_owner, dir_owner == 0 ? 0 : gid, 0777);
    EXPECT_EQ(StatOf(path + "/.DAV/.state_for_dir.dir").st_size, 0);
  }

  std::string LockPath() const { return Path("usr/kivo/etc/.calendar.info.lock"); }
  std::string Template() const { return Path("usr/kivo/etc.defaults/.state_for_dir.pag"); }
};

TEST_F(CalendarCreateTest, UserCreatesInAShareAsThemselves) {
  umask(022);  // whatever the mask was, the calendar gets full modes
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("docs", "Work", docs_, "docs"));
  ASSERT_TRUE(response.success()) << response.error_code();
  Json::Value expected(Json::objectValue);
  expected["id"] = "Work:docs";
  EXPECT_EQ(response.data(), expected);

  ExpectCalendar(docs_ + "/Work", kAliceUid, kUsersGid, kAliceUid);
  Json::Value registry(Json::arrayValue);
  registry.append(Entry("Work", "docs", "docs"));
  EXPECT_EQ(ReadFile(RegistryPath()), registry.toStyledString());
  EXPECT_EQ(StatOf(RegistryPath()).st_uid, 0u);

  EXPECT_EQ(umask(0), 0u) << "a create leaves the creation mask at 0";
  EXPECT_THAT(
      fake::P().calls,
      ElementsAre("KIVOUserGet(homes)", "KIVOUserGet(alice)", "KLIBGroupIsAdminGroupMem(alice, 0)",
                  "KIVOUserFree(alice)", "KIVOShareNamePathGet(" + docs_ + ", 493, 4095)",
                  "KIVOMountVolInfoGet(" + docs_ + "/Work)",
                  "KIVOFileCopy(" + Template() + ", " + docs_ +
                      "/Work/.DAV/.state_for_dir.pag, overwrite=1, uid=1000, gid=100)"));
}

TEST_F(CalendarCreateTest, AdministratorCreatesAsRootAndGivesTheFoldersAway) {
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("docs/team", "Plan", docs_, "docs"), "bob");
  ASSERT_TRUE(response.success()) << response.error_code();
  EXPECT_EQ(response.data()["id"], "Plan:docs/team");
  ExpectCalendar(docs_ + "/Plan", kBobUid, kUsersGid, 0);
}

TEST_F(CalendarCreateTest, HomeFoldersAreMadeAsRootForTheUser) {
  // alice cannot write her root-owned home folder herself.
  const struct {
    const char* share;
    const char* destination;
  } cases[] = {{"home", "home"}, {"homes", "homes/alice"}};
  for (const auto& c : cases) {
    std::filesystem::remove_all(homes_ + "/alice/Cal");
    std::filesystem::remove(RegistryPath());
    KIVO::APIResponse response =
        Call(CalDAVCalendarCreate, CreateParams(c.destination, "Cal", homes_ + "/alice", c.share));
    ASSERT_TRUE(response.success()) << c.share << " " << response.error_code();
    EXPECT_EQ(response.data()["id"], "Cal:homes/alice");
    ExpectCalendar(homes_ + "/alice/Cal", kAliceUid, kUsersGid, 0);
    Json::Value registry(Json::arrayValue);
    registry.append(Entry("Cal", "homes/alice", "homes"));
    EXPECT_EQ(ReadRegistry(), registry);
  }
}

TEST_F(CalendarCreateTest, OtherSpellingsOfHomeAreMadeAsTheUser) {
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("home", "Cal", homes_ + "/alice", "HOME"));
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_TRUE(fake::Logged("Fail to create calendar dir."));
  EXPECT_FALSE(Exists(homes_ + "/alice/Cal"));
  EXPECT_FALSE(Exists(RegistryPath()));
}

TEST_F(CalendarCreateTest, BadParametersTouchNothing) {
  const char* names[] = {"destination", "calendarname", "fullpath", "share"};
  for (const char* missing : names) {
    fake::Reset();
    fake::P().users["alice"] = {kAliceUid, kUsersGid, 0, ""};
    Json::Value params = CreateParams("docs", "Work", docs_, "docs");
    params.removeMember(missing);
    KIVO::APIResponse response = Call(CalDAVCalendarCreate, params);
    EXPECT_EQ(response.error_code(), 1705);
    EXPECT_TRUE(fake::Logged(std::string("cannot get the paramter: ") + missing));
    EXPECT_THAT(fake::P().calls, ElementsAre("KIVOUserGet(homes)")) << "no identity switch";
  }
  Json::Value params = CreateParams("docs", "Work", docs_, "docs");
  params["share"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(Call(CalDAVCalendarCreate, params).error_code(), 1705);
  EXPECT_TRUE(fake::Logged("wrong the paramter: share"));
  EXPECT_FALSE(Exists(docs_ + "/Work"));
  EXPECT_FALSE(Exists(LockPath()));
  EXPECT_FALSE(Exists(RegistryPath()));
}

TEST_F(CalendarCreateTest, IdentityFailures) {
  const struct {
    const char* user;
    fake::User record;
    const char* message;
  } cases[] = {
      {"carol", {}, "Fail to KIVOUserGet"},
      {"alice", {kAliceUid, kUsersGid, -1, ""}, "Check admin group failed for user==alice"},
      {"alice", {kAliceUid, static_cast<gid_t>(-1), 0, ""}, "Failed to get gid for user=alice"},
      {"alice", {static_cast<uid_t>(-1), kUsersGid, 0, ""}, "Failed to get uid for user=alice"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    fake::P().shares["docs"] = docs_;
    if (std::string(c.user) == "alice") fake::P().users["alice"] = c.record;
    KIVO::APIResponse response =
        Call(CalDAVCalendarCreate, CreateParams("docs", "Work", docs_, "docs"), c.user);
    EXPECT_EQ(response.error_code(), 1704) << c.message;
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    if (std::string(c.user) == "alice") {
      EXPECT_THAT(fake::P().calls, Contains("KIVOUserFree(alice)")) << c.message;
    }
    EXPECT_FALSE(Exists(docs_ + "/Work"));
  }
}

TEST_F(CalendarCreateTest, RefusedLocationMakesNothing) {
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("docs", "Work", Path("outside"), "docs"));
  EXPECT_EQ(response.error_code(), 1705);
  EXPECT_TRUE(fake::Logged("path[" + Path("outside") + "] doesn't have share name"));
  EXPECT_FALSE(Exists(Path("outside/Work")));
  EXPECT_THAT(fake::Actions(), IsEmpty());
}

TEST_F(CalendarCreateTest, ExistingFolderIsLeftAsItWas) {
  ASSERT_EQ(mkdir((docs_ + "/Work").c_str(), 0700), 0);
  WriteFile(docs_ + "/Work/mine", "data");
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("docs", "Work", docs_, "docs"));
  EXPECT_EQ(response.error_code(), 1702);
  EXPECT_TRUE(fake::Logged("Path [" + docs_ + "/Work] exist"));
  EXPECT_EQ(ReadFile(docs_ + "/Work/mine"), "data");
  EXPECT_FALSE(Exists(docs_ + "/Work/.DAV"));
  EXPECT_THAT(fake::Actions(), IsEmpty());
  EXPECT_FALSE(Exists(RegistryPath()));
}

TEST_F(CalendarCreateTest, VolumeFailuresMakeNothing) {
  const struct {
    bool read_only;
    int code;
    std::string message;
  } cases[] = {
      {true, 1706, "Read Only Volume.[" + docs_ + "/Work]"},
      {false, 1704, "Fail to get vol info."},
  };
  for (const auto& c : cases) {
    fake::Reset();
    fake::P().shares["docs"] = docs_;
    fake::P().users["alice"] = {kAliceUid, kUsersGid, 0, ""};
    if (c.read_only) {
      fake::P().volume_writable = 0;
    } else {
      fake::SetResult("KIVOMountVolInfoGet", -1);
    }
    KIVO::APIResponse response =
        Call(CalDAVCalendarCreate, CreateParams("docs", "Work", docs_, "docs"));
    EXPECT_EQ(response.error_code(), c.code);
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    EXPECT_FALSE(Exists(docs_ + "/Work"));
    EXPECT_THAT(fake::Actions(), IsEmpty());
    EXPECT_FALSE(Exists(RegistryPath()));
  }
}

TEST_F(CalendarCreateTest, StoreFolderFailureRemovesTheCalendarFolder) {
  // A calendar folder whose path is just short enough to be made, while its
  // ".DAV" path is too long for the system.
  std::string parent = docs_;
  while (parent.size() < 3800) {
    parent += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(parent.c_str(), 0777), 0);
  }
  const std::string name(4092 - parent.size() - 1, 'c');
  const std::string folder = parent + "/" + name;
  ASSERT_EQ(folder.size(), 4092u);
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("docs", name, parent, "docs"), "bob");
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_TRUE(fake::Logged("Fail to create calendar .DAV dir."));
  EXPECT_FALSE(Exists(folder));
  EXPECT_THAT(fake::Actions(),
              ElementsAre("KLIBCExec(/bin/rm, -rf, " + folder + ", (null), (null))"));
  EXPECT_FALSE(Exists(RegistryPath()));
}

TEST_F(CalendarCreateTest, TemplateCopyFailureRemovesTheCalendarFolder) {
  fake::SetResult("KIVOFileCopy", 1);
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("docs", "Work", docs_, "docs"));
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_TRUE(fake::Logged("Fail to cp calendar data for .state_for_dir.pag:1234"));
  EXPECT_FALSE(Exists(docs_ + "/Work"));
  EXPECT_THAT(fake::CallsOf("KLIBCExec"),
              ElementsAre("KLIBCExec(/bin/rm, -rf, " + docs_ + "/Work, (null), (null))"));
  EXPECT_FALSE(Exists(RegistryPath()));
}

TEST_F(CalendarCreateTest, MissingTemplateFailsLikeAFailedCopy) {
  std::filesystem::remove(Template());
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("docs", "Work", docs_, "docs"));
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_FALSE(Exists(docs_ + "/Work"));
}

TEST_F(CalendarCreateTest, UnregisterableCalendarIsRolledBack) {
  WriteFile(RegistryPath(), "garbage");
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("docs", "Work", docs_, "docs"));
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_TRUE(fake::Logged("Cannot parse json format from file"));
  EXPECT_FALSE(Exists(docs_ + "/Work"));
  EXPECT_EQ(ReadFile(RegistryPath()), "garbage");
  EXPECT_THAT(fake::CallsOf("KLIBCExec"),
              ElementsAre("KLIBCExec(/bin/rm, -rf, " + docs_ + "/Work, (null), (null))"));
}

TEST_F(CalendarCreateTest, RegisteredCalendarWhoseFolderIsGoneIsMadeAgain) {
  Json::Value registry(Json::arrayValue);
  registry.append(Entry("Work", "docs", "docs"));
  WriteRegistry(registry);
  KIVO::APIResponse response =
      Call(CalDAVCalendarCreate, CreateParams("docs", "Work", docs_, "docs"));
  ASSERT_TRUE(response.success());
  EXPECT_EQ(response.data()["id"], "Work:docs");
  EXPECT_TRUE(Exists(docs_ + "/Work/.DAV/.state_for_dir.pag"));
  EXPECT_EQ(ReadRegistry(), registry);
}

TEST_F(CalendarCreateTest, CreatedCalendarIsListedAsNormal) {
  ASSERT_TRUE(Call(CalDAVCalendarCreate, CreateParams("docs", "Work", docs_, "docs")).success());
  KIVO::APIResponse response = Call(CalDAVCalendarList, Json::Value(Json::objectValue));
  ASSERT_TRUE(response.success());
  Json::Value item = Entry("Work", "docs", "docs");
  item["status"] = "normal";
  item["id"] = "Work:docs";
  Json::Value items(Json::arrayValue);
  items.append(item);
  EXPECT_EQ(response.data()["item"], items);
  EXPECT_THAT(StrayRegistryFiles(), IsEmpty());
  EXPECT_THAT(fake::Logs(), Not(Contains(::testing::HasSubstr("lock"))));
}

}  // namespace
}  // namespace calendar_test
