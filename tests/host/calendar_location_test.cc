// The module's calendar locations from the host's side: ids and folders as the module's list
// gives them, the homes upgrade and its exception for an account named "homes".

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "host/service_status.h"
#include "tests/platform/temp_root.h"

namespace {

class HostCalendarLocationTest : public TempRootTest {
 protected:
  // "<dev>:<ino>" of a root-relative folder, as the CalDAV daemon keys it.
  std::string Identity(const std::string& relative) const {
    struct stat st {};
    EXPECT_EQ(stat(Path(relative).c_str(), &st), 0) << relative;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
};

TEST_F(HostCalendarLocationTest, StatusNamesCalendarsAsTheModuleFindsThem) {
  for (const char* dir :
       {"v/homes/bob/cal/Cal", "v/homes/cal/Cal", "v/public/team/Team", "v/public/Unnamed"}) {
    ASSERT_TRUE(std::filesystem::create_directories(Path(dir))) << dir;
  }
  Write("etc/kivo/shares.json",
        R"({"public": ")" + Path("v/public") + R"(", "homes": ")" + Path("v/homes") + "\"}");
  Write("etc/passwd", "bob:x:1025:100::/nonexistent:/bin/sh\n");
  Write("usr/kivo/etc/calendar.info", R"([
    {"calendarname": "Cal", "destination": "bob/cal", "share": "homes"},
    {"calendarname": "Team", "destination": "public/team", "share": "public"},
    {"calendarname": "Unnamed", "destination": "public", "share": "public"},
    {"calendarname": "Gone", "destination": "public", "share": "public"},
    {"calendarname": "Lost", "destination": "nosuch", "share": "nosuch"}])");
  Json::Value ids(Json::objectValue);
  ids[Identity("v/homes/bob/cal/Cal")] = "bobs";
  ids[Identity("v/homes/cal/Cal")] = "other";
  ids[Identity("v/public/team/Team")] = "team";
  Write("var/lib/kivo/caldav/ids.json", ids.toStyledString());

  // The old homes entry is read upgraded: bob's folder, and its new id.
  Json::Value expected(Json::objectValue);
  expected["Cal:homes/bob/cal"] = "bobs";
  expected["Team:public/team"] = "team";
  EXPECT_EQ(host::ServiceStatusJson()["calendars"], expected);

  // With an account named "homes" the entry and its folder ("cal/Cal" in homes) stay as they are.
  Write("etc/passwd", "bob:x:1025:100::/nonexistent:/bin/sh\nhomes:x:1026:100::/:/bin/sh\n");
  expected.removeMember("Cal:homes/bob/cal");
  expected["Cal:bob/cal"] = "other";
  EXPECT_EQ(host::ServiceStatusJson()["calendars"], expected);
}

// An account is offered the calendars the CalDAV daemon lists for it, by permission bits.
TEST_F(HostCalendarLocationTest, AnAccountIsOfferedTheCalendarsItMayOpen) {
  for (const char* dir : {"v/homes/bob/Cal", "v/public/team/Team", "v/public/Open"}) {
    ASSERT_TRUE(std::filesystem::create_directories(Path(dir))) << dir;
  }
  ASSERT_EQ(chown(Path("v/homes/bob").c_str(), 1025, 100), 0);
  ASSERT_EQ(chmod(Path("v/homes/bob").c_str(), 0700), 0);
  // The team folder: group "team" (300) only, bob a member of it.
  ASSERT_EQ(chown(Path("v/public/team").c_str(), 0, 300), 0);
  ASSERT_EQ(chmod(Path("v/public/team").c_str(), 0750), 0);
  Write("etc/kivo/shares.json",
        R"({"public": ")" + Path("v/public") + R"(", "homes": ")" + Path("v/homes") + "\"}");
  Write("etc/passwd",
        "bob:x:1025:100::/nonexistent:/bin/sh\nadmin:x:1024:100::/nonexistent:/bin/sh\n");
  Write("etc/group", "users:x:100:\nadministrators:x:101:admin\nteam:x:300:carol,bob\n");
  Write("usr/kivo/etc/calendar.info", R"([
    {"calendarname": "Cal", "destination": "homes/bob", "share": "homes"},
    {"calendarname": "Team", "destination": "public/team", "share": "public"},
    {"calendarname": "Open", "destination": "public", "share": "public"}])");
  Json::Value ids(Json::objectValue);
  ids[Identity("v/homes/bob/Cal")] = "bobs";
  ids[Identity("v/public/team/Team")] = "team";
  ids[Identity("v/public/Open")] = "open";
  Write("var/lib/kivo/caldav/ids.json", ids.toStyledString());

  const auto names = [](const std::string& account) {
    std::string text;
    for (const std::string& id : host::ServiceStatusJson(account)["calendars"].getMemberNames()) {
      text += id + " ";
    }
    return text;
  };
  EXPECT_EQ(names("bob"), "Cal:homes/bob Open:public Team:public/team ");
  EXPECT_EQ(names("admin"), "Open:public ") << "an administrator opens no other's home";
  EXPECT_EQ(names("nobody"), "");
  EXPECT_EQ(host::ServiceStatusJson("admin")["closed"],
            Parse(R"(["Cal:homes/bob", "Team:public/team"])"));
}

}  // namespace
