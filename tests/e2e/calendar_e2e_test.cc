// CalDAV calendars end to end: the real module loaded by `kivo-webapi call`
// in a temporary root, checked through the answers, the folders on disk with
// their owners and modes, and the calendar registry after each step.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/e2e.h"

using ::testing::IsEmpty;

namespace {

constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";
constexpr gid_t kUsersGid = 100;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

using e2e::Read;
using e2e::StatOf;

Json::Value Entry(const std::string& name, const std::string& destination,
                  const std::string& share) {
  Json::Value entry(Json::objectValue);
  entry["calendarname"] = name;
  entry["destination"] = destination;
  entry["share"] = share;
  return entry;
}

Json::Value Entries(std::initializer_list<Json::Value> entries) {
  Json::Value array(Json::arrayValue);
  for (const Json::Value& entry : entries) array.append(entry);
  return array;
}

std::string Text(const Json::Value& value) {
  Json::FastWriter writer;
  std::string text = writer.write(value);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

class CalendarEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob"));
    ASSERT_TRUE(root_.AddUser("carol", /*admin=*/true));
    bob_uid_ = StatOf(root_.Path("/volume1/homes/bob")).st_uid;
    carol_uid_ = StatOf(root_.Path("/volume1/homes/carol")).st_uid;
    ASSERT_NE(bob_uid_, 0u);
    ASSERT_NE(carol_uid_, 0u);
    public_ = root_.Path("/volume1/public");
    // A folder of the public share that bob may write; the share itself is
    // root's and closed to him.
    team_ = public_ + "/team";
    ASSERT_EQ(mkdir(team_.c_str(), 0755), 0);
    ASSERT_EQ(chown(team_.c_str(), bob_uid_, kUsersGid), 0);
  }

  e2e::Result Create(const std::string& destination, const std::string& name,
                     const std::string& fullpath, const std::string& share,
                     const std::string& user) const {
    Json::Value params(Json::objectValue);
    params["destination"] = destination;
    params["calendarname"] = name;
    params["fullpath"] = fullpath;
    params["share"] = share;
    return root_.Call(kCalendar, 1, "create", Text(params), user);
  }

  e2e::Result Set(const std::string& id, const std::string& destination, const std::string& name,
                  const std::string& fullpath, const std::string& share) const {
    Json::Value params(Json::objectValue);
    params["id"] = id;
    params["destination"] = destination;
    params["calendarname"] = name;
    params["fullpath"] = fullpath;
    params["share"] = share;
    return root_.Call(kCalendar, 1, "set", Text(params));
  }

  e2e::Result Delete(std::initializer_list<const char*> ids) const {
    Json::Value params(Json::objectValue);
    params["id"] = Json::Value(Json::arrayValue);
    for (const char* id : ids) params["id"].append(id);
    return root_.Call(kCalendar, 1, "delete", Text(params));
  }

  Json::Value List() const {
    const e2e::Result r = root_.Call(kCalendar, 1, "list", "{}", "bob");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.answer["success"].asBool()) << r.out;
    return r.answer["data"]["item"];
  }

  static void ExpectSuccess(const e2e::Result& r, const std::string& id) {
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.answer["success"].asBool()) << r.out << r.err;
    EXPECT_EQ(r.answer["data"]["id"].asString(), id) << r.out;
  }

  static void ExpectError(const e2e::Result& r, int code) {
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_FALSE(r.answer["success"].asBool()) << r.out;
    EXPECT_EQ(r.answer["error"]["code"].asInt(), code) << r.out << r.err;
  }

  static void ExpectOwned(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
    const struct stat st = StatOf(path);
    EXPECT_EQ(st.st_uid, uid) << path;
    EXPECT_EQ(st.st_gid, gid) << path;
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
  }

  // The calendar layout at `path`: folders and template copy owned by
  // uid:100, the empty state file by `dir_owner` with mode 0777.
  void ExpectCalendar(const std::string& path, uid_t uid, uid_t dir_owner) {
    ExpectOwned(path, uid, kUsersGid, 0777);
    ExpectOwned(path + "/.DAV", uid, kUsersGid, 0777);
    const std::string pag = path + "/.DAV/.state_for_dir.pag";
    EXPECT_EQ(Read(pag), Read(root_.Path("/usr/kivo/etc.defaults/.state_for_dir.pag")));
    EXPECT_EQ(StatOf(pag).st_uid, uid);
    const std::string dir = path + "/.DAV/.state_for_dir.dir";
    EXPECT_EQ(StatOf(dir).st_uid, dir_owner);
    EXPECT_EQ(StatOf(dir).st_mode & 07777, 0777u);
    EXPECT_EQ(StatOf(dir).st_size, 0);
  }

  e2e::TestRoot root_;
  uid_t bob_uid_ = 0;
  uid_t carol_uid_ = 0;
  std::string public_;
  std::string team_;
};

TEST_F(CalendarEndToEndTest, UserCreateIsMadeAsTheUser) {
  ExpectSuccess(Create("public/team", "Cal", team_, "public", "bob"), "Cal:public/team");
  ExpectCalendar(team_ + "/Cal", bob_uid_, bob_uid_);
  EXPECT_EQ(root_.Registry(), Entries({Entry("Cal", "public/team", "public")}));
}

TEST_F(CalendarEndToEndTest, HomeCreateIsMadeAsRootAndGivenToTheUser) {
  ExpectSuccess(Create("home", "Cal", root_.Path("/volume1/homes/bob"), "home", "bob"),
                "Cal:homes/bob");
  ExpectCalendar(root_.Path("/volume1/homes/bob/Cal"), bob_uid_, 0);
  EXPECT_EQ(root_.Registry(), Entries({Entry("Cal", "homes/bob", "homes")}));
}

TEST_F(CalendarEndToEndTest, AdministratorCreateIsGivenToTheAdministrator) {
  ExpectSuccess(Create("public", "Team", public_, "public", "carol"), "Team:public");
  ExpectCalendar(public_ + "/Team", carol_uid_, 0);
  EXPECT_EQ(root_.Registry(), Entries({Entry("Team", "public", "public")}));
}

TEST_F(CalendarEndToEndTest, CreateWhereTheUserMayNotWriteLeavesNothing) {
  ExpectError(Create("public", "Cal", public_, "public", "bob"), 1704);
  EXPECT_FALSE(Exists(public_ + "/Cal"));
  EXPECT_FALSE(Exists(root_.Path("/usr/kivo/etc/calendar.info")));
  // Another user's home folder is closed to bob as well, when the share is
  // not spelled exactly "homes" (which would make it as root).
  ASSERT_EQ(chmod(root_.Path("/volume1/homes/carol").c_str(), 0750), 0);
  const e2e::Result r =
      Create("homes/carol", "Cal", root_.Path("/volume1/homes/carol"), "Homes", "bob");
  ExpectError(r, 1704);
  EXPECT_THAT(r.err, ::testing::HasSubstr("Fail to create calendar dir."));
  EXPECT_FALSE(Exists(root_.Path("/volume1/homes/carol/Cal")));
  EXPECT_FALSE(Exists(root_.Path("/usr/kivo/etc/calendar.info")));
}

TEST_F(CalendarEndToEndTest, CreateListSetAndDelete) {
  ExpectSuccess(Create("public/team", "Work", team_, "public", "bob"), "Work:public/team");
  ExpectSuccess(Create("public/team", "Play", team_, "public", "bob"), "Play:public/team");
  EXPECT_EQ(root_.Registry(), Entries({Entry("Work", "public/team", "public"),
                                       Entry("Play", "public/team", "public")}));

  Json::Value items = List();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]["id"], "Work:public/team");
  EXPECT_EQ(items[0]["status"], "normal");
  EXPECT_EQ(items[1]["id"], "Play:public/team");
  EXPECT_EQ(items[1]["status"], "normal");

  // Rename in place.
  ExpectSuccess(Set("Work:public/team", "public/team", "Job", team_, "public"), "Job:public/team");
  EXPECT_FALSE(Exists(team_ + "/Work"));
  ExpectCalendar(team_ + "/Job", bob_uid_, bob_uid_);
  EXPECT_EQ(root_.Registry(), Entries({Entry("Job", "public/team", "public"),
                                       Entry("Play", "public/team", "public")}));

  // Move to the share's top, located from the share alone.
  ExpectSuccess(Set("Job:public/team", "public", "Job", "", "public"), "Job:public");
  EXPECT_FALSE(Exists(team_ + "/Job"));
  EXPECT_TRUE(Exists(public_ + "/Job/.DAV/.state_for_dir.pag"));
  EXPECT_EQ(root_.Registry(),
            Entries({Entry("Job", "public", "public"), Entry("Play", "public/team", "public")}));

  // Moving onto an existing calendar is refused.
  ExpectError(Set("Job:public", "public/team", "Play", "", "public"), 1702);

  ASSERT_TRUE(Delete({"Job:public", "Nothing:here"}).answer["success"].asBool());
  EXPECT_FALSE(Exists(public_ + "/Job"));
  EXPECT_TRUE(Exists(team_ + "/Play/.DAV"));
  EXPECT_EQ(root_.Registry(), Entries({Entry("Play", "public/team", "public")}));

  ASSERT_TRUE(Delete({"Play:public/team"}).answer["success"].asBool());
  EXPECT_FALSE(Exists(team_ + "/Play"));
  EXPECT_EQ(Read(root_.Path("/usr/kivo/etc/calendar.info")), "[]\n");
  EXPECT_THAT(List(), IsEmpty());
}

TEST_F(CalendarEndToEndTest, ListShowsCrashedAndMissingCalendars) {
  for (const char* name : {"Fine", "Broken", "Gone"}) {
    ExpectSuccess(Create("public/team", name, team_, "public", "bob"),
                  std::string(name) + ":public/team");
  }
  ASSERT_EQ(unlink((team_ + "/Broken/.DAV/.state_for_dir.pag").c_str()), 0);
  std::filesystem::remove_all(team_ + "/Gone");
  const Json::Value registry = root_.Registry();

  const Json::Value items = List();
  ASSERT_EQ(items.size(), 3u);
  const char* statuses[] = {"normal", "crashed", "noexist"};
  for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
    Json::Value expected = registry[i];
    expected["status"] = statuses[i];
    expected["id"] = registry[i]["calendarname"].asString() + ":public/team";
    EXPECT_EQ(items[i], expected);
  }
  EXPECT_EQ(root_.Registry(), registry) << "list changed the registry";
}

TEST_F(CalendarEndToEndTest, ManyCreatesFromSeveralProcessesKeepEveryEntry) {
  constexpr int kProcesses = 4;
  constexpr int kCreatesEach = 4;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int k = 0; k < kCreatesEach; ++k) {
        const std::string name = "C" + std::to_string(p) + "_" + std::to_string(k);
        const e2e::Result r = p % 2 == 0 ? Create("public/team", name, team_, "public", "bob")
                                         : Create("public", name, public_, "public", "carol");
        if (!r.answer["success"].asBool()) ++failures;
      }
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed creates: " << status;
  }

  std::set<std::string> expected;
  for (int p = 0; p < kProcesses; ++p) {
    for (int k = 0; k < kCreatesEach; ++k) {
      expected.insert("C" + std::to_string(p) + "_" + std::to_string(k) +
                      (p % 2 == 0 ? ":public/team" : ":public"));
    }
  }
  std::set<std::string> registered;
  const Json::Value registry = root_.Registry();
  for (const Json::Value& entry : registry) {
    registered.insert(entry["calendarname"].asString() + ":" + entry["destination"].asString());
  }
  EXPECT_EQ(registry.size(), expected.size());
  EXPECT_EQ(registered, expected);
  for (const Json::Value& item : List()) EXPECT_EQ(item["status"], "normal") << item["id"];
  for (const auto& file : std::filesystem::directory_iterator(root_.Path("/usr/kivo/etc"))) {
    const std::string name = file.path().filename();
    EXPECT_TRUE(name == "calendar.info" || name == ".calendar.info.lock") << name;
  }
}

}  // namespace
