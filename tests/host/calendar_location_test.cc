// The page's calendars and address books from the host's side: what the modules' lists (the
// real modules, through their tables) answer the account, the folders their items name, the
// homes upgrade and its exception for an account named "homes".

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "host/hosting/module_call.h"
#include "host/hosting/module_table.h"
#include "host/webapi/service_status.h"
#include "tests/platform/temp_root.h"

namespace {

class HostCalendarLocationTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    std::string error;
    ASSERT_TRUE(module_.Open(KIVO_MODULE_PATH, &error)) << error;
    Write("etc/kivo/shares.json",
          R"({"public": ")" + Path("v/public") + R"(", "homes": ")" + Path("v/homes") + "\"}");
  }

  Json::Value Status(const std::string& account, bool is_admin = false) {
    return host::ServiceStatusJson(module_, account, is_admin);
  }

  host::ModuleTable module_;

  // "<dev>:<ino>" of a root-relative folder, as the CalDAV daemon keys it.
  std::string Identity(const std::string& relative) const {
    struct stat st {};
    EXPECT_EQ(stat(Path(relative).c_str(), &st), 0) << relative;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
};

// The status names what the module's list answers: its entries, the homes upgrade, its ids, and
// nothing where the list fails.
TEST_F(HostCalendarLocationTest, StatusNamesCalendarsAsTheModuleFindsThem) {
  for (const char* dir : {"v/homes/bob/cal/Cal", "v/homes/cal/Cal", "v/public/team/Team",
                          "v/public/Unnamed", "v/public/R\xc3\xa9:union %2F"}) {
    ASSERT_TRUE(std::filesystem::create_directories(Path(dir))) << dir;
  }
  Json::Value ids(Json::objectValue);
  ids[Identity("v/homes/bob/cal/Cal")] = "bobs";
  ids[Identity("v/homes/cal/Cal")] = "other";
  ids[Identity("v/public/team/Team")] = "team";
  ids[Identity("v/public/R\xc3\xa9:union %2F")] = "odd";
  Write("var/lib/kivo/caldav/ids.json", ids.toStyledString());

  const std::string bob = "bob:x:1025:100::/nonexistent:/bin/sh\n";
  const std::string homes = "homes:x:1026:100::/:/bin/sh\n";
  const std::string entries = R"(
    {"calendarname": "Cal", "destination": "bob/cal", "share": "homes"},
    {"calendarname": "Team", "destination": "public/team", "share": "public"},
    {"calendarname": "Unnamed", "destination": "public", "share": "public"},
    {"calendarname": "R\u00e9:union %2F", "destination": "public", "share": "public"},
    {"calendarname": "Gone", "destination": "public", "share": "public"},
    {"calendarname": "Lost", "destination": "nosuch", "share": "nosuch"})";
  const std::string upgraded =
      R"({"Cal:homes/bob/cal": "bobs", "Team:public/team": "team", "R\u00e9:union %2F:public": "odd"})";
  const struct {
    const char* why;
    std::string passwd, registry, calendars;
  } cases[] = {
      {"the old homes entry is read upgraded: bob's folder, and its new id", bob,
       "[" + entries + "]", upgraded},
      {"with an account named \"homes\" the entry and its folder (cal/Cal) stay as they are",
       bob + homes, "[" + entries + "]",
       R"({"Cal:bob/cal": "other", "Team:public/team": "team", "R\u00e9:union %2F:public": "odd"})"},
      {"comments, as the module reads them", bob, "// by hand\n[" + entries + "/* end */]",
       upgraded},
      {"an entry the module refuses fails its list: nothing is named", bob,
       "[" + entries + R"(, {"calendarname": "Team", "destination": "public", "share": 7}])", "{}"},
      {"an entry without an id fails the module's list too", bob,
       "[" + entries + R"(, {"calendarname": "Team", "share": "public"}])", "{}"},
      {"no array", bob, R"({"calendarname": "Team", "destination": "public/team"})", "{}"},
  };
  for (const auto& c : cases) {
    Write("etc/passwd", c.passwd);
    Write("usr/kivo/etc/calendar.info", c.registry);
    EXPECT_EQ(Status("bob")["calendars"], Parse(c.calendars)) << c.why;
  }
  // A FIFO in the registry's place names nothing, at once.
  ASSERT_EQ(unlink(Path("usr/kivo/etc/calendar.info").c_str()), 0);
  ASSERT_EQ(mkfifo(Path("usr/kivo/etc/calendar.info").c_str(), 0644), 0);
  EXPECT_EQ(Status("bob")["calendars"], Json::Value(Json::objectValue));
}

// An account is offered the calendars and address books the CalDAV daemon lists for it, by
// permission bits; each kind through its own list, the daemon's names for it and its own members.
TEST_F(HostCalendarLocationTest, AnAccountIsOfferedTheCollectionsItMayOpen) {
  std::string error;
  ASSERT_TRUE(module_.OpenAll({KIVO_MODULE_PATH, KIVO_CARDDAV_MODULE_PATH}, &error)) << error;
  for (const char* dir : {"v/homes/bob/Cal", "v/public/team/Team", "v/public/Open",
                          "v/homes/bob/Book", "v/public/team/Staff", "v/public/Open Book"}) {
    ASSERT_TRUE(std::filesystem::create_directories(Path(dir))) << dir;
  }
  ASSERT_EQ(chown(Path("v/homes/bob").c_str(), 1025, 100), 0);
  ASSERT_EQ(chmod(Path("v/homes/bob").c_str(), 0700), 0);
  // The team folder: group "team" (300) only, bob a member of it.
  ASSERT_EQ(chown(Path("v/public/team").c_str(), 0, 300), 0);
  ASSERT_EQ(chmod(Path("v/public/team").c_str(), 0750), 0);
  Write("etc/passwd",
        "bob:x:1025:100::/nonexistent:/bin/sh\nadmin:x:1024:100::/nonexistent:/bin/sh\n");
  Write("etc/group", "users:x:100:\nadministrators:x:101:admin\nteam:x:300:carol,bob\n");
  Write("etc/kivoinfo.conf", "runCalDav=\"no\"\nrunCardDav=\"yes\"\n");
  Write("usr/kivo/etc/calendar.info", R"([
    {"calendarname": "Cal", "destination": "homes/bob", "share": "homes"},
    {"calendarname": "Team", "destination": "public/team", "share": "public"},
    {"calendarname": "Open", "destination": "public", "share": "public"}])");
  // Each kind's names are read from its own file alone: the calendars' file names the address
  // books' folders too, and the other way round, and must offer nothing of the other kind.
  Write("usr/kivo/etc/addressbook.info", R"([
    {"addressbookname": "Book", "destination": "homes/bob", "share": "homes"},
    {"addressbookname": "Staff", "destination": "public/team", "share": "public"},
    {"addressbookname": "Open Book", "destination": "public", "share": "public"},
    {"addressbookname": "Open", "destination": "public", "share": "public"}])");
  Json::Value cal_ids(Json::objectValue), card_ids(Json::objectValue);
  cal_ids[Identity("v/homes/bob/Cal")] = "cal-bobs";
  cal_ids[Identity("v/public/team/Team")] = "cal-team";
  cal_ids[Identity("v/public/Open")] = "cal-open";
  cal_ids[Identity("v/public/Open Book")] = "cal-book";
  card_ids[Identity("v/homes/bob/Book")] = "card-bobs";
  card_ids[Identity("v/public/team/Staff")] = "card-staff";
  card_ids[Identity("v/public/Open Book")] = "card-open";
  Write("var/lib/kivo/caldav/ids.json", cal_ids.toStyledString());
  Write("var/lib/kivo/carddav/ids.json", card_ids.toStyledString());

  const auto names = [this](const std::string& account, const char* member) {
    std::string text;
    const Json::Value named = Status(account, account == "admin")[member];
    for (const std::string& id : named.getMemberNames()) {
      text += id + "=" + named[id].asString() + " ";
    }
    return text;
  };
  const struct {
    const char* account;
    const char* member;
    const char* named;
    const char* closed;
  } cases[] = {
      {"bob", "calendars", "Cal:homes/bob=cal-bobs Open:public=cal-open Team:public/team=cal-team ",
       "[]"},
      {"admin", "calendars", "Open:public=cal-open ", R"(["Cal:homes/bob", "Team:public/team"])"},
      {"bob", "addressbooks",
       "Book:homes/bob=card-bobs Open Book:public=card-open Staff:public/team=card-staff ", "[]"},
      {"admin", "addressbooks", "Open Book:public=card-open ",
       R"(["Book:homes/bob", "Staff:public/team"])"},
      {"nobody", "addressbooks", "", "[]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.account) + " " + c.member);
    EXPECT_EQ(names(c.account, c.member), c.named);
    const char* closed = std::string(c.member) == "calendars" ? "closed" : "addressbooks_closed";
    EXPECT_EQ(Status(c.account, std::string(c.account) == "admin")[closed], Parse(c.closed));
  }
  EXPECT_EQ(Status("bob")["carddav"], Parse(R"({"enabled": true, "running": false})"))
      << "switched on, but no daemon runs";
  EXPECT_EQ(Status("bob")["caldav"]["enabled"], false);
}

// The list is called as the page's account, with its standing, and only when its row lets the
// account call it.
namespace listed {
std::vector<std::string> calls;
void List(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  calls.push_back(request->GetLoginUserName() + (request->IsAdministrator() ? " admin" : " user"));
  Json::Value data;
  data["item"] = Json::Value(Json::arrayValue);
  response->SetSuccess(data);
}
}  // namespace listed

TEST_F(HostCalendarLocationTest, TheListRunsForTheAccountAsItsRowAllows) {
  Write("etc/passwd", "bob:x:1025:100::/nonexistent:/bin/sh\nadmin:x:1024:100::/n:/bin/sh\n");
  Write("var/lib/kivo/caldav/ids.json", "{}");
  const APITableEntry table[] = {
      {"L", 1, "list", listed::List},
      {nullptr, 0, nullptr, nullptr},
  };
  for (const std::string who : {"user", "admin"}) {
    std::string error;
    ASSERT_TRUE(module_.Adopt(table, "test", &error)) << error;
    ASSERT_TRUE(module_.Describe(
        R"({"L": {"1": {"list": {"who": ")" + who + R"(", "lists_calendars": true}}}})", "test"));
    listed::calls.clear();
    EXPECT_EQ(host::ServiceStatusJson(module_, "bob", false)["calendars"],
              Json::Value(Json::objectValue));
    EXPECT_EQ(host::ServiceStatusJson(module_, "admin", true)["calendars"],
              Json::Value(Json::objectValue));
    const std::vector<std::string> expected =
        who == "user" ? std::vector<std::string>{"bob user", "admin admin"}
                      : std::vector<std::string>{"admin admin"};
    EXPECT_EQ(listed::calls, expected) << who;
  }
}

// The table every reader of the registry runs (tests/vectors/calendar_paths.json; the WebDAV
// daemon's guard and the CalDAV plug-ins run it too): the folder each entry names, as the
// module lists it and the host finds it.
TEST_F(HostCalendarLocationTest, CalendarsLieWhereTheTableEveryReaderRunsSays) {
  std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/calendar_paths.json");
  Json::Value table;
  ASSERT_TRUE(Json::Reader().parse(file, table));
  Json::Value shares(Json::objectValue);
  for (const Json::Value& name : table["shares"]) {
    shares[name.asString()] = Path("v/" + name.asString());
  }
  Write("etc/kivo/shares.json", shares.toStyledString());
  for (const Json::Value& c : table["cases"]) {
    SCOPED_TRACE(c["why"].asString());
    Write("etc/passwd", std::string("bob:x:1025:100::/nonexistent:/bin/sh\n") +
                            (c["homes_account"].asBool() ? "homes:x:1026:100::/:/bin/sh\n" : ""));
    Json::Value registry(Json::arrayValue);
    registry.append(c["entry"]);
    Write("usr/kivo/etc/calendar.info", registry.toStyledString());
    Json::Value items;
    for (const host::ModuleRow& row : module_.rows()) {
      if (!row.Has(host::kAPIListsCalendars)) continue;
      Json::Value data;
      ASSERT_TRUE(host::RunModuleCall(row.function, "bob", KIVO::Standing::kUser,
                                      Json::Value(Json::objectValue), &data)
                      .success);
      items = data["item"];
    }
    ASSERT_EQ(items.size(), 1u);
    std::string folder;
    ASSERT_TRUE(host::ListedCalendarFolder(items[0], &folder));
    EXPECT_EQ(std::filesystem::path(folder).lexically_normal(),
              std::filesystem::path(Path("v/" + c["at"].asString())));
  }
}

}  // namespace
