// CalDAV calendars through `kivo-webapi call`: the answers, the folders on
// disk with their owners and modes, and the registry after each step.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;

constexpr gid_t kUsersGid = 100;
constexpr uid_t kBob = 1025, kCarol = 1026;

class CalendarEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob"));
    ASSERT_TRUE(root_.AddUser("carol", /*admin=*/true));
    // public is root's and closed to bob; team inside it is his.
    public_ = root_.Path("/volume1/public");
    team_ = public_ + "/team";
    ASSERT_EQ(mkdir(team_.c_str(), 0755), 0);
    ASSERT_EQ(chown(team_.c_str(), kBob, kUsersGid), 0);
  }

  // A create as `user`, or with an `id` the administrator's set.
  Result Call(const std::string& destination, const std::string& name, const std::string& fullpath,
              const std::string& share, const std::string& user = "bob",
              const std::string& id = "") const {
    Json::Value params = CalendarParams(share, destination, fullpath, name);
    if (!id.empty()) params["id"] = id;
    return root_.Call(kCalendar, id.empty() ? "create" : "set", Compact(params), user);
  }

  Json::Value List() const {
    const Result r = root_.Call(kCalendar, "list", "{}", "bob");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.answer["success"].asBool()) << r.out;
    return r.answer["data"]["item"];
  }

  static void ExpectAnswer(const Result& r, const std::string& id, int code = 0) {
    const Json::Value done = ParseJson(R"({"success":true,"data":{"id":")" + id + "\"}}");
    EXPECT_EQ(r.status, code == 0 ? 0 : 1) << r.err;
    EXPECT_EQ(r.answer, code == 0 ? done : Refusal(code)) << r.out << r.err;
  }

  // The calendar layout at `path`: folders and template copy owned by
  // uid:100 with mode 0777, the empty state file by `dir_owner`, mode 0777.
  void ExpectCalendar(const std::string& path, uid_t uid, uid_t dir_owner) {
    for (const std::string& dir : {path, path + "/.DAV"}) {
      const struct stat st = StatOf(dir);
      EXPECT_EQ(st.st_uid, uid) << dir;
      EXPECT_EQ(st.st_gid, kUsersGid) << dir;
      EXPECT_EQ(st.st_mode & 07777, 0777u) << dir;
    }
    const std::string pag = path + "/.DAV/.state_for_dir.pag";
    EXPECT_EQ(Read(pag), Read(root_.Path("/usr/kivo/etc.defaults/.state_for_dir.pag")));
    EXPECT_EQ(StatOf(pag).st_uid, uid);
    const struct stat dir = StatOf(path + "/.DAV/.state_for_dir.dir");
    EXPECT_EQ(dir.st_uid, dir_owner);
    EXPECT_EQ(dir.st_mode & 07777, 0777u);
    EXPECT_EQ(dir.st_size, 0);
  }

  TestRoot root_;
  std::string public_;
  std::string team_;
};

// A user's create is made as the user; a home create as root and given to
// the user; an administrator's create as root and given to them.
TEST_F(CalendarEndToEndTest, CreatesBelongToTheirUser) {
  ExpectAnswer(Call("public/team", "Cal", team_, "public"), "Cal:public/team");
  ExpectCalendar(team_ + "/Cal", kBob, kBob);
  EXPECT_THAT(root_.Calendars(), ElementsAre("Cal public/team public"));

  ExpectAnswer(Call("home", "Cal", root_.Path("/volume1/homes/bob"), "home"), "Cal:homes/bob");
  ExpectCalendar(root_.Path("/volume1/homes/bob/Cal"), kBob, 0);
  EXPECT_THAT(root_.Calendars(), ElementsAre("Cal public/team public", "Cal homes/bob homes"));

  ExpectAnswer(Call("public", "Team", public_, "public", "carol"), "Team:public");
  ExpectCalendar(public_ + "/Team", kCarol, 0);
  EXPECT_THAT(root_.Calendars(),
              ElementsAre("Cal public/team public", "Cal homes/bob homes", "Team public public"));
  const Json::Value registry = root_.Registry();

  // List tells a calendar without its state template and one without folder.
  ASSERT_EQ(unlink(root_.Path("/volume1/homes/bob/Cal/.DAV/.state_for_dir.pag").c_str()), 0);
  std::filesystem::remove_all(public_ + "/Team");
  const Json::Value items = List();
  ASSERT_EQ(items.size(), 3u);
  const char* statuses[] = {"normal", "crashed", "noexist"};
  for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
    Json::Value expected = registry[i];
    expected["status"] = statuses[i];
    expected["id"] =
        registry[i]["calendarname"].asString() + ":" + registry[i]["destination"].asString();
    EXPECT_EQ(items[i], expected);
  }
  EXPECT_EQ(root_.Registry(), registry) << "list changed the registry";
}

TEST_F(CalendarEndToEndTest, CreateListSetAndDelete) {
  ExpectAnswer(Call("public/team", "Work", team_, "public"), "Work:public/team");
  ExpectAnswer(Call("public/team", "Play", team_, "public"), "Play:public/team");
  EXPECT_THAT(root_.Calendars(), ElementsAre("Work public/team public", "Play public/team public"));

  // Rename in place.
  ExpectAnswer(Call("public/team", "Job", team_, "public", "admin", "Work:public/team"),
               "Job:public/team");
  EXPECT_FALSE(Exists(team_ + "/Work"));
  ExpectCalendar(team_ + "/Job", kBob, kBob);
  EXPECT_THAT(root_.Calendars(), ElementsAre("Job public/team public", "Play public/team public"));

  // Move to the share's top, located from the share alone.
  ExpectAnswer(Call("public", "Job", "", "public", "admin", "Job:public/team"), "Job:public");
  EXPECT_FALSE(Exists(team_ + "/Job"));
  EXPECT_TRUE(Exists(public_ + "/Job/.DAV/.state_for_dir.pag"));
  EXPECT_THAT(root_.Calendars(), ElementsAre("Job public public", "Play public/team public"));

  // Moving onto an existing calendar is refused.
  ExpectAnswer(Call("public/team", "Play", "", "public", "admin", "Job:public"), "", 1702);

  ASSERT_EQ(root_.Call(kCalendar, "delete", R"({"id": ["Job:public", "Nothing:here"]})").status, 0);
  EXPECT_FALSE(Exists(public_ + "/Job"));
  EXPECT_TRUE(Exists(team_ + "/Play/.DAV"));
  EXPECT_THAT(root_.Calendars(), ElementsAre("Play public/team public"));

  ASSERT_EQ(root_.Call(kCalendar, "delete", R"({"id": ["Play:public/team"]})").status, 0);
  EXPECT_FALSE(Exists(team_ + "/Play"));
  EXPECT_EQ(Read(root_.Path("/usr/kivo/etc/calendar.info")), "[]\n");
  EXPECT_THAT(List(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace e2e
