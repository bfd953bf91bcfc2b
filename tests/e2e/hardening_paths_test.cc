// Hostile calendar locations, end to end, as a user who is not an
// administrator: every attempt to make, remove or move a folder outside the
// shares, or where the user may not write, is refused with its code or
// fails, and leaves nothing behind. Both through `kivo-webapi call` (the
// module alone) and through `kivo-webapi serve` (with the host's rules).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/hardening/hardening_util.h"
#include "tests/support/e2e.h"

namespace {

using hardening::CalendarParams;
using hardening::Compact;
using hardening::Exists;
using hardening::Tree;

constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";

class HardeningPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_TRUE(root_.AddUser("carol", false, "carol-secret"));
    public_ = root_.Path("/volume1/public");
    homes_ = root_.Path("/volume1/homes");
    outside_ = root_.Path("/outside");
    // public is open to everybody; inside it, locked is root's alone and
    // sealed cannot even be entered by others.
    ASSERT_EQ(chmod(public_.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((public_ + "/locked").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((public_ + "/sealed").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((public_ + "/sealed/inner").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(root_.Path("/volume1/notashare").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(outside_.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((outside_ + "/victim").c_str(), 0777), 0);
    ASSERT_TRUE(e2e::WriteFile(outside_ + "/victim/canary", "keep me\n"));
    ASSERT_EQ(symlink(outside_.c_str(), (public_ + "/escape").c_str()), 0);
    ASSERT_EQ(symlink(outside_.c_str(), (homes_ + "/bob/escape").c_str()), 0);
    ASSERT_TRUE(e2e::WriteFile(homes_ + "/carol/diary", "carol's\n"));
  }

  e2e::Result Create(const Json::Value& params, const std::string& user = "bob") {
    return root_.Call(kCalendar, 1, "create", Compact(params), user);
  }

  // Everything on disk but the registry's own directory and the journal.
  std::set<std::string> Disk() const {
    return Tree(root_.path(), {"/usr/kivo/etc", "/var/log", "/.serve.log"});
  }

  static int Code(const e2e::Result& r) { return r.answer["error"]["code"].asInt(); }

  e2e::TestRoot root_;
  std::string public_, homes_, outside_;
};

TEST_F(HardeningPathsTest, HostileCreatesAreRefusedAndLeaveNothing) {
  const std::string long_name(300, 'n');
  std::string long_path = public_;
  while (long_path.size() < 5000) long_path += "/deeper";
  struct Case {
    const char* what;
    Json::Value params;
    int code;
  };
  const Case cases[] = {
      {"fullpath climbing out with ..",
       CalendarParams("public", "public", public_ + "/../../outside", "Cal"), 1705},
      {"fullpath through a link out of the share",
       CalendarParams("public", "public/escape", public_ + "/escape", "Cal"), 1705},
      {"home fullpath through a link out of the home",
       CalendarParams("homes", "homes/bob/escape", homes_ + "/bob/escape", "Cal"), 1705},
      {"calendarname .", CalendarParams("public", "public", public_, "."), 1705},
      {"calendarname ..", CalendarParams("public", "public", public_, ".."), 1705},
      {"calendarname with a slash", CalendarParams("public", "public", public_, "a/b"), 1705},
      {"calendarname climbing out", CalendarParams("public", "public", public_, "../Cal"), 1705},
      {"empty calendarname", CalendarParams("public", "public", public_, ""), 1705},
      {"calendarname longer than a file name",
       CalendarParams("public", "public", public_, long_name), 1704},
      {"fullpath longer than a path", CalendarParams("public", "public", long_path, "Cal"), 1705},
      {"directory that is no share",
       CalendarParams("notashare", "notashare", root_.Path("/volume1/notashare"), "Cal"), 1705},
      {"share and folder that do not exist",
       CalendarParams("nosuch", "nosuch", root_.Path("/volume1/nosuch"), "Cal"), 1705},
      {"relative fullpath", CalendarParams("public", "public", "volume1/public", "Cal"), 1705},
      {"folder the user may not write",
       CalendarParams("public", "public/locked", public_ + "/locked", "Cal"), 1704},
      {"folder the user may not enter",
       CalendarParams("public", "public/sealed/inner", public_ + "/sealed/inner", "Cal"), 1705},
      {"another user's home", CalendarParams("public", "homes/carol", homes_ + "/carol", "Cal"),
       1704},
  };
  const std::set<std::string> before = Disk();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const e2e::Result r = Create(c.params);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(Code(r), c.code) << r.out;
    EXPECT_EQ(Disk(), before);
    EXPECT_TRUE(root_.Registry().isNull()) << Compact(root_.Registry());
  }
}

// A create stores its destination as given, whatever folder it made: an
// entry can name any place. Removing or moving the calendar later, as an
// administrator, must not reach beyond the shares or into another home.
TEST_F(HardeningPathsTest, PlantedEntriesCannotRemoveOrMoveFoldersOutsideTheirPlace) {
  struct Case {
    const char* what;
    std::string destination;
    std::string name;
    std::string share;
    std::string victim;
  };
  const Case cases[] = {
      {"out of every share", "public/../../outside", "victim", "public", outside_ + "/victim"},
      {"through a link out of the share", "public/escape", "victim", "public",
       outside_ + "/victim"},
      {"into another user's home", "homes/bob/..", "carol", "homes", homes_ + "/carol"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const e2e::Result made =
        Create(CalendarParams(c.share, c.destination, homes_ + "/bob", c.name));
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    const std::string id = made.answer["data"]["id"].asString();
    ASSERT_EQ(id, c.name + ":" + c.destination);
    const std::set<std::string> before = Disk();

    Json::Value edit = CalendarParams("public", "public", "", "Taken");
    edit["id"] = id;
    const e2e::Result moved = root_.Call(kCalendar, 1, "set", Compact(edit), "admin");
    EXPECT_EQ(moved.status, 1) << moved.out;
    EXPECT_EQ(Code(moved), 1704);
    EXPECT_FALSE(Exists(public_ + "/Taken"));
    EXPECT_EQ(Disk(), before);

    Json::Value ids;
    ids["id"].append(id);
    const e2e::Result removed = root_.Call(kCalendar, 1, "delete", Compact(ids), "admin");
    EXPECT_EQ(removed.status, 0) << removed.out;
    EXPECT_TRUE(Exists(c.victim));
    EXPECT_TRUE(Exists(outside_ + "/victim/canary"));
    EXPECT_TRUE(Exists(homes_ + "/carol/diary"));
    // The folder the create made in bob's home is not what the entry names:
    // it stays, and only the entry goes.
    EXPECT_TRUE(Exists(homes_ + "/bob/" + c.name));
    EXPECT_EQ(root_.Registry(), Json::Value(Json::arrayValue));
    // Clear the way for the next case, which may plant the same name.
    e2e::Run({"/bin/rm", "-rf", homes_ + "/bob/" + c.name}, root_.path());
  }
}

// ---- over HTTP -------------------------------------------------------------------

class HardeningPathsHttpTest : public HardeningPathsTest {
 protected:
  void SetUp() override {
    HardeningPathsTest::SetUp();
    ASSERT_TRUE(root_.AddUser("ann", true, "ann-secret"));
    ASSERT_TRUE(server_.Start(root_)) << server_.error();
  }

  hardening::HttpSession LoggedIn(const std::string& user, const std::string& password) {
    hardening::HttpSession session(server_.port());
    EXPECT_TRUE(session.Login(user, password));
    return session;
  }

  e2e::Server server_;
};

TEST_F(HardeningPathsHttpTest, DeleteAndSetAreForAdministratorsOnly) {
  ASSERT_EQ(Create(CalendarParams("public", "public", public_, "Team"), "admin").status, 0);
  const Json::Value registry = root_.Registry();
  hardening::HttpSession bob = LoggedIn("bob", "bob-secret");

  Json::Value ids;
  ids["id"].append("Team:public");
  Json::Value edit = CalendarParams("public", "public", "", "Mine");
  edit["id"] = "Team:public";
  for (const auto& call : {std::make_pair("delete", ids), std::make_pair("set", edit)}) {
    SCOPED_TRACE(call.first);
    Json::Value answer;
    EXPECT_EQ(bob.Entry(kCalendar, call.first, call.second, &answer), 403);
    EXPECT_EQ(answer["error"]["code"].asInt(), 105) << Compact(answer);
    EXPECT_TRUE(Exists(public_ + "/Team/.DAV"));
    EXPECT_FALSE(Exists(public_ + "/Mine"));
    EXPECT_EQ(root_.Registry(), registry);
  }

  hardening::HttpSession ann = LoggedIn("ann", "ann-secret");
  Json::Value answer;
  EXPECT_EQ(ann.Entry(kCalendar, "set", edit, &answer), 200);
  EXPECT_TRUE(answer["success"].asBool()) << Compact(answer);
  EXPECT_TRUE(Exists(public_ + "/Mine/.DAV"));
}

TEST_F(HardeningPathsHttpTest, HomeCreatesStayInsideTheUsersOwnHome) {
  hardening::HttpSession bob = LoggedIn("bob", "bob-secret");
  ASSERT_EQ(mkdir((homes_ + "/bob/sub").c_str(), 0777), 0);
  struct Case {
    const char* what;
    Json::Value params;
    bool allowed;
    std::string made;
  };
  const Case cases[] = {
      {"own home, share homes", CalendarParams("homes", "homes/bob", homes_ + "/bob", "A"), true,
       homes_ + "/bob/A"},
      {"own home, share home", CalendarParams("home", "home", homes_ + "/bob", "B"), true,
       homes_ + "/bob/B"},
      {"below the own home", CalendarParams("home", "home/sub", homes_ + "/bob/sub", "C"), true,
       homes_ + "/bob/sub/C"},
      {"another user's home", CalendarParams("homes", "homes/carol", homes_ + "/carol", "D"), false,
       homes_ + "/carol/D"},
      {"another user's home as home", CalendarParams("home", "home", homes_ + "/bob/../carol", "E"),
       false, homes_ + "/carol/E"},
      {"the homes share itself", CalendarParams("homes", "homes", homes_, "F"), false,
       homes_ + "/F"},
      {"own home through a link out",
       CalendarParams("homes", "homes/bob", homes_ + "/bob/escape", "G"), false, outside_ + "/G"},
      {"outside every share", CalendarParams("homes", "homes/bob", outside_, "H"), false,
       outside_ + "/H"},
      {"a prefix of the own name", CalendarParams("homes", "homes/bo", homes_ + "/bo", "I"), false,
       homes_ + "/bo/I"},
  };
  ASSERT_EQ(mkdir((homes_ + "/bo").c_str(), 0777), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Json::Value answer;
    const int status = bob.Entry(kCalendar, "create", c.params, &answer);
    if (c.allowed) {
      EXPECT_EQ(status, 200);
      EXPECT_TRUE(answer["success"].asBool()) << Compact(answer);
      EXPECT_TRUE(Exists(c.made + "/.DAV/.state_for_dir.pag"));
      struct stat st;
      ASSERT_EQ(stat(c.made.c_str(), &st), 0);
      EXPECT_NE(st.st_uid, 0u) << "a home calendar belongs to its user";
    } else {
      EXPECT_EQ(status, 403);
      EXPECT_EQ(answer["error"]["code"].asInt(), 105) << Compact(answer);
      EXPECT_FALSE(Exists(c.made));
    }
  }
  EXPECT_TRUE(Exists(outside_ + "/victim/canary"));
}

}  // namespace

// Over HTTP a non-administrator cannot plant such entries at all: the host
// lets a create through only when its entry names the folder it makes.
TEST_F(HardeningPathsHttpTest, CreatesMustRegisterTheFolderTheyMake) {
  hardening::HttpSession bob = LoggedIn("bob", "bob-secret");
  struct Case {
    const char* what;
    Json::Value params;
    int status;
  };
  const Case cases[] = {
      {"out of every share", CalendarParams("public", "public/../../outside", public_, "victim"),
       403},
      {"another user's folder", CalendarParams("homes", "homes/carol", homes_ + "/bob", "carol"),
       403},
      {"a folder it does not make", CalendarParams("public", "public/locked", public_, "Cal"), 403},
      {"the folder it makes", CalendarParams("public", "public", public_, "Cal"), 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Json::Value answer;
    EXPECT_EQ(bob.Entry(kCalendar, "create", c.params, &answer), c.status) << Compact(answer);
  }
  Json::Value list;
  ASSERT_EQ(bob.Entry(kCalendar, "list", Json::Value(Json::objectValue), &list), 200);
  ASSERT_EQ(list["data"]["item"].size(), 1u) << Compact(list);
  EXPECT_EQ(list["data"]["item"][0]["id"].asString(), "Cal:public");
}
