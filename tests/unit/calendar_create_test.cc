// Creating calendars: folders with owners and modes, the identity it runs under, the
// registry, and what a failed create leaves (nothing); for calendars and address books alike.

#include <functional>
#include <regex>

#include "tests/unit/calendar_fixture.h"

using ::testing::ElementsAre;

namespace calendar_test {
namespace {

// The state copy goes by descriptor to the file the module made exclusively.
constexpr char kCopyTarget[] = "/proc/self/fd/N";

std::vector<std::string> WithoutFd(std::vector<std::string> calls) {
  for (std::string& call : calls) {
    call = std::regex_replace(call, std::regex("/proc/self/fd/[0-9]+"), kCopyTarget);
  }
  return calls;
}

class CalendarCreateTest : public KindTest {
 protected:
  void ExpectOwner(const std::string& file, uid_t uid, gid_t gid, mode_t mode) {
    const struct stat st = StatOf(file);
    EXPECT_EQ(st.st_uid, uid) << file;
    EXPECT_EQ(st.st_gid, gid) << file;
    EXPECT_EQ(st.st_mode & 07777, mode) << file;
  }

  // Folders and template uid:gid's, the state file dir_owner's (root's group when root).
  void ExpectCalendar(const std::string& path, uid_t uid, gid_t gid, uid_t dir_owner) {
    ExpectOwner(path, uid, gid, 0777);
    ExpectOwner(path + "/.DAV", uid, gid, 0777);
    ExpectOwner(path + "/.DAV/.state_for_dir.dir", dir_owner, dir_owner == 0 ? 0 : gid, 0777);
    EXPECT_EQ(StatOf(path + "/.DAV/.state_for_dir.dir").st_size, 0);
    EXPECT_EQ(ReadFile(path + "/.DAV/.state_for_dir.pag"), kTemplateText);
    ExpectOwner(path + "/.DAV/.state_for_dir.pag", uid, gid, 0444);  // the template's mode
  }

  std::string Template() const { return Path("usr/kivo/etc.defaults/.state_for_dir.pag"); }
};

TEST_P(CalendarCreateTest, CreatesMakeTheLayoutWithItsOwnersAndRegisterIt) {
  const std::string home = homes_ + "/alice";  // root's: alice cannot write it herself
  // A read-only template still gives the user's own copy its content.
  ASSERT_EQ(chmod(Template().c_str(), 0444), 0);
  // Folders the user may pass and write but not list are passed and written.
  ASSERT_EQ(chmod(root_.c_str(), 0711), 0);
  ASSERT_EQ(chmod(docs_.c_str(), 0733), 0);
  const struct {
    const char* user;
    Json::Value params;
    Json::Value entry;
    bool state_file_as_user;  // else root's
  } cases[] = {
      {"bob", CreateParams("docs/team", "Plan", docs_, "docs"), Entry("Plan", "docs/team", "docs"),
       false},
      {"alice", CreateParams("home", "Cal", home, "home"), Entry("Cal", "homes/alice", "homes"),
       false},
      {"alice", CreateParams("homes/alice", "Cal", home, "homes"),
       Entry("Cal", "homes/alice", "homes"), false},
      {"alice", CreateParams("docs", "Work", docs_, "docs"), Entry("Work", "docs", "docs"), true},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(home + "/Cal");
    std::filesystem::remove(RegistryPath());
    ResetPlatform();
    umask(022);  // whatever the mask was, the calendar gets full modes
    KIVO::APIResponse response = Call(kind().create, c.params, c.user);
    ASSERT_TRUE(response.success()) << c.entry << response.error_code();
    EXPECT_EQ(response.data(), IdAnswer(c.entry));
    const uid_t uid = c.user == std::string("bob") ? kBobUid : kAliceUid;
    ExpectCalendar(
        c.params["fullpath"].asString() + "/" + c.entry[kind().kind->name_member].asString(), uid,
        kUsersGid, c.state_file_as_user ? uid : 0);
    EXPECT_EQ(ReadFile(RegistryPath()), Array({c.entry}).toStyledString());
    EXPECT_EQ(umask(022), 022u) << "a create leaves the process's creation mask as it was";
  }
  // The last create, alice's in docs, ran as alice but wrote the registry as root.
  ExpectOwner(RegistryPath(), 0, 0, 0644);
  EXPECT_THAT(
      WithoutFd(fake::P().calls),
      ElementsAre(
          "KIVOUserGet(homes)", "KIVOUserGet(alice)", "KLIBGroupIsAdminGroupMem(alice, 0)",
          "KIVOUserFree(alice)", "KIVOShareNamePathGet(" + docs_ + ", 493, 4095)",
          "KIVOMountVolInfoGet(" + docs_ + "/Work)",
          "KIVOFileCopy(" + Template() + ", " + kCopyTarget + ", overwrite=1, uid=1000, gid=100)"));
}

TEST_P(CalendarCreateTest, FailuresLeaveNothingBehind) {
  const std::string work = docs_ + "/Work";
  constexpr uid_t kNone = static_cast<uid_t>(-1);
  Json::Value params;
  const auto user = [](fake::User record) { return [=] { fake::P().users["alice"] = record; }; };
  const struct {
    std::function<void()> setup;
    int code;
    std::string message;
    bool copied = false;  // the folder was made and the state copy tried, then removed
  } cases[] = {
      {[&] { params.removeMember("destination"); }, 1705, "cannot get the paramter: destination"},
      {[&] { params.removeMember(kind().kind->name_member); }, 1705,
       std::string("cannot get the paramter: ") + kind().kind->name_member},
      {[&] { params.removeMember("fullpath"); }, 1705, "cannot get the paramter: fullpath"},
      {[&] { params.removeMember("share"); }, 1705, "cannot get the paramter: share"},
      {[] { fake::P().users.erase("alice"); }, 1704, "Fail to KIVOUserGet"},
      {user({kAliceUid, kUsersGid, -1, ""}), 1704, "Check admin group failed for user==alice"},
      {user({kAliceUid, kNone, 0, ""}), 1704, "Failed to get gid for user=alice"},
      {user({kNone, kUsersGid, 0, ""}), 1704, "Failed to get uid for user=alice"},
      {[&] { params["fullpath"] = Path("outside"); }, 1705,
       "path[" + Path("outside") + "] doesn't have share name"},
      // Only "home" and "homes" are made as root: alice cannot write her home.
      {[&] { params = CreateParams("home", "Work", homes_ + "/alice", "HOME"); }, 1704,
       "Fail to create calendar dir."},
      {[&] { mkdir(work.c_str(), 0700); }, 1702, "Path [" + work + "] exist"},
      {[] { fake::P().volume_writable = 0; }, 1706, "Read Only Volume.[" + work + "]"},
      {[] { fake::SetResult("KIVOMountVolInfoGet", -1); }, 1704, "Fail to get vol info."},
      {[&] {  // the folder's path just fits the system, its ".DAV" path does not
         std::string parent = docs_;
         const mode_t mask = umask(0);  // alice may write the folders made here
         while (parent.size() < 3800) mkdir((parent += "/" + std::string(200, 'd')).c_str(), 0777);
         umask(mask);
         params = CreateParams("docs", std::string(4091 - parent.size(), 'c'), parent, "docs");
       },
       1704, "Fail to create calendar .DAV dir."},
      {[] { fake::SetResult("KIVOFileCopy", 1); }, 1704,
       "Fail to cp calendar data for .state_for_dir.pag:1234", true},
      {[&] { WriteFile(RegistryPath(), "garbage"); }, 1704, "Cannot parse json format from file",
       true},  // registering fails
  };
  for (const auto& c : cases) {
    ResetPlatform();
    params = CreateParams("docs", "Work", docs_, "docs");
    c.setup();
    const std::string registry = ReadFile(RegistryPath());
    const std::string folder = params.get("fullpath", docs_).asString() + "/" +
                               params.get(kind().kind->name_member, "Work").asString();
    std::vector<std::string> actions;
    if (c.copied) {
      actions = {"KIVOFileCopy(" + Template() + ", " + kCopyTarget +
                 ", overwrite=1, uid=1000, gid=100)"};
    }
    EXPECT_EQ(Call(kind().create, params).error_code(), c.code) << c.message;
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    // The folder made is removed by the module itself, relative to its parent.
    EXPECT_EQ(WithoutFd(fake::Actions()), actions) << c.message;
    // Parameters are checked before the user is looked up; a record found is released.
    const bool missing_parameter = c.message.rfind("cannot get", 0) == 0;
    EXPECT_EQ(fake::CallsOf("KIVOUserGet").size(), missing_parameter ? 1u : 2u) << c.message;
    EXPECT_EQ(fake::CallsOf("KIVOUserFree").size(),
              missing_parameter ? 0u : fake::P().users.count("alice"));
    EXPECT_EQ(Exists(folder), c.code == 1702) << c.message;  // an existing folder is kept
    EXPECT_FALSE(Exists(folder + "/.DAV"));
    EXPECT_EQ(ReadFile(RegistryPath()), registry) << c.message;
    std::filesystem::remove_all(work);
    // Nor is the create left under way: a later create whose location the rules refuse answers
    // 1705 whatever the registry holds, with nothing to recover first.
    const bool had_registry = Exists(RegistryPath());
    WriteFile(RegistryPath(), "garbage");
    ResetPlatform();
    EXPECT_EQ(
        Call(kind().create, CreateParams("docs", "Work", Path("outside"), "docs")).error_code(),
        1705)
        << c.message;
    if (had_registry) {
      WriteFile(RegistryPath(), registry);
    } else {
      std::filesystem::remove(RegistryPath());
    }
  }
}

// Whatever throws below a handler is answered, never passed on, and the process is root again.
TEST_P(CalendarCreateTest, ExceptionsBelowAreAnsweredNotPassedOn) {
  const struct {
    const char* throwing;
    APIEntryFunc entry;
  } cases[] = {
      {"KIVOUserGet(homes)", kind().list},      // while the handler is built
      {"KIVOShareNamePathGet", kind().create},  // while running as alice
      {"KIVOMountVolInfoGet", kind().create},
      {"KIVOFileCopy", kind().create},  // the folder made is taken away again
  };
  for (const auto& c : cases) {
    ResetPlatform();
    fake::SetResult(c.throwing, fake::kThrows);
    const KIVO::APIResponse response =
        Call(c.entry, CreateParams("docs", "Work", docs_, "docs"), "alice");
    EXPECT_EQ(response.error_code(), 1704) << c.throwing;
    // Logged once, in the handler's unit.
    EXPECT_EQ(fake::LogCount("^caldav_calendar:[0-9]+ .* threw$"), 1) << c.throwing;
    EXPECT_FALSE(Exists(docs_ + "/Work"));
  }
}

// A process keeps the registry it last read or wrote: a registry rewritten
// behind it, to the same size within the same clock tick, is still read as
// it is now, by a create (which appends to it) as by a list.
TEST_P(CalendarCreateTest, ARegistryRewrittenBehindTheProcessIsReadAsItIsNow) {
  const std::string name = kind().kind->name_member;
  ASSERT_TRUE(Call(kind().create, CreateParams("docs", "Plan", docs_, "docs"), "bob").success());
  const std::string written = ReadFile(RegistryPath());
  const auto rewrite = [&](const Json::Value& registry) {
    const struct stat before = StatOf(RegistryPath());
    const std::string text = registry.toStyledString();
    ASSERT_EQ(text.size(), static_cast<size_t>(before.st_size));
    WriteFile(RegistryPath(), text);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, RegistryPath().c_str(), times, 0), 0);
  };
  rewrite(Array({Entry("Plax", "docs", "docs")}));
  ASSERT_TRUE(Call(kind().create, CreateParams("docs", "Next", docs_, "docs"), "bob").success());
  EXPECT_EQ(ReadFile(RegistryPath()),
            Array({Entry("Plax", "docs", "docs"), Entry("Next", "docs", "docs")}).toStyledString());

  for (const char* listed : {"Pla1", "Pla2"}) {
    rewrite(Array({Entry(listed, "docs", "docs"), Entry("Next", "docs", "docs")}));
    const Json::Value items = Call(kind().list).data()["item"];
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0][name], listed);
  }
  // The text the process wrote itself, back again, is read as it is too.
  WriteFile(RegistryPath(), written);
  EXPECT_EQ(Call(kind().list).data()["item"][0][name], "Plan");
}

KIND_TEST_SUITE(CalendarCreateTest);

}  // namespace
}  // namespace calendar_test
