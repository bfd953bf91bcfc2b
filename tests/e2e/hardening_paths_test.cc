// Hostile calendar locations as a non-administrator, through `call` and `serve`: every folder
// made, removed or moved outside the shares or the user's rights is refused, leaving nothing. And
// bytes and files two layers read differently (NUL and control characters, deep nesting, a
// registry others may write): refused or repaired.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <tuple>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

class HardeningPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_TRUE(root_.AddUser("carol", false, "carol-secret"));
    public_ = root_.Path("/volume1/public");
    homes_ = root_.Path("/volume1/homes");
    outside_ = root_.Path("/outside");
    bob_ = homes_ + "/bob";
    // public is open to all; sealed is closed to others.
    ASSERT_EQ(chmod(public_.c_str(), 0777), 0);
    for (const auto& [dir, mode] : {std::pair<std::string, mode_t>{public_ + "/sealed", 0700},
                                    {public_ + "/sealed/inner", 0777},
                                    {outside_, 0777},
                                    {outside_ + "/victim", 0777}}) {
      ASSERT_EQ(mkdir(dir.c_str(), mode), 0) << dir;
    }
    ASSERT_TRUE(WriteFile(outside_ + "/victim/canary", "keep me\n"));
    ASSERT_EQ(symlink(outside_.c_str(), (public_ + "/escape").c_str()), 0);
    ASSERT_EQ(symlink(outside_.c_str(), (homes_ + "/bob/escape").c_str()), 0);
    ASSERT_TRUE(WriteFile(homes_ + "/carol/diary", "carol's\n"));
  }

  Result Call(const std::string& method, const Json::Value& params,
              const std::string& user = "bob") {
    return root_.Call(kCalendar, method, Compact(params), user);
  }

  // Everything on disk but the registry's own directory, the lock files of the record of changes
  // under way (the record itself goes once nothing is under way) and the logs.
  std::set<std::string> Disk() const {
    return Tree(root_.path(),
                {"/usr/kivo/etc", "/var/lib/kivo/.changes-under-way", "/var/log", "/.serve.log"});
  }

  std::string Registry() const { return root_.Path("/usr/kivo/etc/calendar.info"); }

  TestRoot root_;
  std::string public_, homes_, outside_, bob_;
};
using HardeningInputTest = HardeningPathsTest;

TEST_F(HardeningPathsTest, HostileCreatesAreRefusedAndLeaveNothing) {
  std::string long_path = public_;
  while (long_path.size() < 5000) long_path += "/deeper";
  // The request, the code, and a text the log line must hold.
  const std::tuple<Json::Value, int, const char*> cases[] = {
      {CalendarParams("public", "public", public_ + "/../../outside", "Cal"), 1705, ""},
      {CalendarParams("public", "public/escape", public_ + "/escape", "Cal"), 1705, ""},
      {CalendarParams("homes", "homes/bob/escape", homes_ + "/bob/escape", "Cal"), 1705, ""},
      {CalendarParams("public", "public", public_, "a/b"), 1705, ""},
      {CalendarParams("public", "public", public_, "../Cal"), 1705, ""},
      {CalendarParams("public", "public", public_, ""), 1705, ""},
      {CalendarParams("public", "public", public_, std::string(300, 'n')), 1704, ""},
      {CalendarParams("public", "public", long_path, "Cal"), 1705, ""},
      {CalendarParams("public", "public", "volume1/public", "Cal"), 1705, ""},  // relative
      {CalendarParams("public", "public/sealed/inner", public_ + "/sealed/inner", "C"), 1705, ""},
      {CalendarParams("public", "homes/carol", homes_ + "/carol", "Cal"), 1704, ""},
      // Only a share spelled exactly "homes" is made as root; carol's home is out of bob's reach.
      {CalendarParams("Homes", "homes/carol", homes_ + "/carol", "Cal"), 1704, "Permission denied"},
  };
  const std::set<std::string> before = Disk();
  for (const auto& [params, code, log] : cases) {
    SCOPED_TRACE(Compact(params).substr(0, 200));
    const Result r = Call("create", params);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.answer, Refusal(code)) << r.out;
    EXPECT_THAT(r.err, ::testing::HasSubstr(log));
    EXPECT_EQ(Disk(), before);
    EXPECT_TRUE(root_.Registry().isNull()) << Compact(root_.Registry());
  }
}

// Each distinct credentials-and-mask state of `pid`'s threads.
std::set<std::string> ThreadCredentials(pid_t pid) {
  std::set<std::string> states;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::string state;
    for (const std::string& line : ReadLines(task.path().string() + "/status")) {
      for (const char* key : {"Umask:", "Uid:", "Gid:", "Groups:"}) {
        if (line.rfind(key, 0) == 0) state += line + "; ";
      }
    }
    states.insert(state);
  }
  return states;
}

// Over HTTP a non-administrator creates only in the own home or the very folder the entry names
// (one case per rule: the rules' own tables are CreateRuleTest's); the create switches the
// process to the user, and every thread is root again (groups, mask) once the answer is out.
TEST_F(HardeningPathsTest, HttpCreatesStayInTheOwnHomeAndRegisterTheFolderTheyMake) {
  Server server;
  ASSERT_TRUE(server.Start(root_));
  const std::set<std::string> root_threads = ThreadCredentials(server.pid());
  ASSERT_EQ(root_threads.size(), 1u);
  EXPECT_THAT(*root_threads.begin(), ::testing::AllOf(::testing::HasSubstr("Umask:\t0022"),
                                                      ::testing::HasSubstr("Uid:\t0\t0\t0\t0")));
  Http bob(server.port()), admin(server.port());
  ASSERT_TRUE(bob.Login("bob", "bob-secret"));
  ASSERT_TRUE(admin.Login("admin", TestRoot::kAdminPassword));
  const std::string own = homes_ + "/bob";
  // The request, and whether it is let through; it makes fullpath/calendarname.
  const std::pair<Json::Value, bool> cases[] = {
      {CalendarParams("home", "home", own, "A"), true},
      {CalendarParams("homes", "homes/carol", homes_ + "/carol", "D"), false},
      // An entry that does not name the folder made.
      {CalendarParams("public", "public/../../outside", public_, "victim"), false},
      {CalendarParams("public", "public", public_, "Cal"), true},
  };
  for (const auto& [params, allowed] : cases) {
    SCOPED_TRACE(Compact(params));
    const std::string made =
        params["fullpath"].asString() + "/" + params["calendarname"].asString();
    const Reply r = bob.Entry(kCalendar, "create", params);
    if (allowed) {
      EXPECT_EQ(r.status, 200);
      EXPECT_TRUE(r.body["success"].asBool()) << Compact(r.body);
      EXPECT_TRUE(Exists(made + "/.DAV/.state_for_dir.pag"));
      EXPECT_EQ(StatOf(made).st_uid, StatOf(own).st_uid) << "belongs to its user";
    } else {
      EXPECT_EQ(r.status, 403);
      EXPECT_EQ(r.body, Refusal(105));
      EXPECT_FALSE(Exists(made));
    }
  }
  EXPECT_EQ(ThreadCredentials(server.pid()), root_threads);
  EXPECT_EQ(StatOf(root_.Path("/usr/kivo/etc/calendar.info")).st_mode & 07777, 0644u);
  EXPECT_TRUE(Exists(outside_ + "/victim/canary"));
  const Reply list = bob.Entry(kCalendar, "list");
  ASSERT_EQ(list.body["data"]["item"].size(), 2u) << Compact(list.body);
  EXPECT_EQ(list.body["data"]["item"][1]["id"], "Cal:public");

  // An administrator is not held to a home.
  const Reply shared = admin.Entry(kCalendar, "create",
                                   CalendarParams("homes", "homes/carol", homes_ + "/carol", "S"));
  EXPECT_EQ(shared.body["success"], true) << Compact(shared.body);
  EXPECT_TRUE(Exists(homes_ + "/carol/S/.DAV"));
}

// ---- bytes and files read differently ------------------------------------------------

// "homes\u0000/carol" once passed the host as bob's folder while the module read "homes": every
// location field and control byte is refused before the module runs.
TEST_F(HardeningInputTest, NulAndControlCharactersInLocationsAreRefused) {
  const std::pair<const char*, const char*> cases[] = {{"share", "\\u0000"},
                                                       {"destination", "\\u0001"},
                                                       {"fullpath", "\\n"},
                                                       {"calendarname", "\\u001f"}};
  for (const auto& [field, bad] : cases) {
    SCOPED_TRACE(std::string(field) + " " + bad);
    std::string text = Compact(CalendarParams("homes", "homes/bob", bob_, "Cal"));
    const std::string key = std::string("\"") + field + "\":\"";
    text.insert(text.find(key) + key.size(), bad);
    const Result r = root_.Call(kCalendar, "create", text, "bob");
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr("PARAMS must be a JSON object"));
    EXPECT_FALSE(Exists(homes_ + "/bob/Cal"));
    EXPECT_FALSE(Exists(Registry()));
  }
  // In a key as well, and in the delete's ids.
  EXPECT_EQ(root_.Call(kCalendar, "delete", R"({"id\u0000":[]})").status, 2);
  EXPECT_EQ(root_.Call(kCalendar, "delete", R"({"id":["Cal:homes\u0000/carol"]})").status, 2);
}

// A registry nested 10,000 deep once threw through the module; now it is unparsable (1704), and
// a create that cannot register leaves no folder.
TEST_F(HardeningInputTest, DeeplyNestedRegistryAnswers1704) {
  ASSERT_TRUE(WriteFile(Registry(), std::string(10000, '[') + std::string(10000, ']')));
  const Result list = root_.Call(kCalendar, "list");
  EXPECT_EQ(list.status, 1) << list.err;
  EXPECT_EQ(list.answer, Refusal(1704));
  EXPECT_THAT(list.err, HasSubstr("Cannot parse json format from file"));
  EXPECT_THAT(list.err, ::testing::Not(HasSubstr("terminate")));

  const Result create = Call("create", CalendarParams("homes", "homes/bob", bob_, "Cal"));
  EXPECT_EQ(create.answer, Refusal(1704)) << create.err;
  EXPECT_FALSE(Exists(homes_ + "/bob/Cal"));
}

// A user's home create leaves the registry root's and 0644; one others could write is repaired.
TEST_F(HardeningInputTest, RegistryIsNeverWritableByOthers) {
  const Result r = Call("create", CalendarParams("homes", "homes/bob", bob_, "Cal"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  struct stat st = StatOf(Registry());
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(StatOf(homes_ + "/bob/Cal/.DAV").st_mode & 07777, 0777u);  // the calendar's own modes

  ASSERT_EQ(chmod(Registry().c_str(), 0666), 0);
  const Result list = root_.Call(kCalendar, "list");
  EXPECT_EQ(list.status, 0);
  EXPECT_THAT(list.err, HasSubstr("was writable by others (mode 666), set to 644"));
  EXPECT_EQ(StatOf(Registry()).st_mode & 07777, 0644u);

  // A rewrite keeps the owner and mode it finds.
  ASSERT_EQ(chmod(Registry().c_str(), 0640), 0);
  ASSERT_EQ(root_.Call(kCalendar, "delete", R"({"id":["Cal:homes/bob"]})").status, 0);
  EXPECT_EQ(StatOf(Registry()).st_mode & 07777, 0640u);
  EXPECT_EQ(root_.Registry(), Json::Value(Json::arrayValue));
}

}  // namespace
}  // namespace e2e
