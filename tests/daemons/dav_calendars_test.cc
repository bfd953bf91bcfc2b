// The WebDAV daemon's reading of the calendar registry (mod_kivo_dav's
// kivo_dav_calendars.c), without Apache: which URL paths hold a registered
// calendar's folder, as the web API writes and reads the registry.

#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <string>

extern "C" {
#include "daemons/apache/kivo_dav_calendars.h"
}

namespace {

constexpr char kTeam[] =
    R"([{"calendarname": "Team", "destination": "public/office/2026", "share": "public"}])";
// A home entry written before the "homes/" prefix, beside another member.
constexpr char kOldHome[] =
    R"([ // written by an older version
  {"share": "homes", "note": {"x": [1, 2.5e3, true, null]}, "destination": "alice",
   "calendarname": "Private"}])";
constexpr char kEscaped[] =
    R"([{"calendarname": "Caf\u00e9 \ud83d\udcc5", "destination": "public/a\/b", "share": "public"}])";

TEST(DavCalendarsTest, PathsAtOrAboveARegisteredFolder) {
  const struct {
    const char* registry;
    const char* path;
    int homes_account;
    int expected;
  } cases[] = {
      {"", "/public", 0, KD_CALENDAR_NONE},
      {"  []\n", "/public", 0, KD_CALENDAR_NONE},
      {kTeam, "/public/office/2026/Team", 0, KD_CALENDAR_FOUND},
      {kTeam, "/public/office", 0, KD_CALENDAR_FOUND},
      {kTeam, "/public", 0, KD_CALENDAR_FOUND},
      {kTeam, "/", 0, KD_CALENDAR_FOUND},
      // Names that share a prefix, the calendar's own items, other shares.
      {kTeam, "/public/office/2026/Tea", 0, KD_CALENDAR_NONE},
      {kTeam, "/public/office/2026/Team2", 0, KD_CALENDAR_NONE},
      {kTeam, "/public/off", 0, KD_CALENDAR_NONE},
      {kTeam, "/public/office/2026/Team/event.ics", 0, KD_CALENDAR_NONE},
      {kTeam, "/homes/public/office", 0, KD_CALENDAR_NONE},
      // The home upgrade applies only without an account called "homes".
      {kOldHome, "/homes/alice/Private", 0, KD_CALENDAR_FOUND},
      {kOldHome, "/homes/alice", 0, KD_CALENDAR_FOUND},
      {kOldHome, "/alice/Private", 0, KD_CALENDAR_NONE},
      {kOldHome, "/homes/Private", 1, KD_CALENDAR_FOUND},
      {kOldHome, "/alice/Private", 1, KD_CALENDAR_NONE},
      {kEscaped, "/public/a/b/Caf\xc3\xa9 \xf0\x9f\x93\x85", 0, KD_CALENDAR_FOUND},
      // Comments, as the module's reader takes them too.
      {"// calendars\n/* by hand */[/**/{\"calendarname\": \"C\", \"destination\": \"public\", "
       "\"share\": \"public\"}]",
       "/public/C", 0, KD_CALENDAR_FOUND},
      // A destination with ".." names the folder it resolves to.
      {R"([{"calendarname": "C", "destination": "public/team/..", "share": "public"}])",
       "/public/C", 0, KD_CALENDAR_FOUND},
      {R"([{"calendarname": "C", "destination": "public/team/..", "share": "public"}])",
       "/public/team", 0, KD_CALENDAR_NONE},
      // Entries of another form are no calendars; text of another form is
      // no registry.
      {R"([{"calendarname": "", "destination": "public", "share": "public"}, 7])", "/public", 0,
       KD_CALENDAR_UNKNOWN},
      {R"([{"calendarname": "", "destination": "public", "share": "public"}])", "/public", 0,
       KD_CALENDAR_NONE},
      {R"([{"calendarname": 5, "destination": "public", "share": "public"}])", "/public", 0,
       KD_CALENDAR_NONE},
      {R"([{"calendarname": "C", "destination": "public"}])", "/public", 0, KD_CALENDAR_NONE},
      {R"({"calendarname": "C"})", "/public", 0, KD_CALENDAR_UNKNOWN},
      {R"([{"calendarname": "C", "destination": "public", "share": "public"})", "/public", 0,
       KD_CALENDAR_UNKNOWN},
      {R"([{"calendarname": "C\u0000", "destination": "public", "share": "public"}])", "/public", 0,
       KD_CALENDAR_UNKNOWN},
  };
  for (const auto& c : cases) {
    const std::string text = c.registry;
    EXPECT_EQ(kd_calendar_below(text.data(), text.size(), c.path, c.homes_account), c.expected)
        << c.registry << " at " << c.path;
  }
}

// The table every reader of the registry runs (tests/vectors/calendar_paths.json): the folder
// each entry names is guarded, and what only begins like it is not.
TEST(DavCalendarsTest, CalendarsLieWhereTheTableEveryReaderRunsSays) {
  std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/calendar_paths.json");
  Json::Value table;
  ASSERT_TRUE(Json::Reader().parse(file, table));
  for (const Json::Value& c : table["cases"]) {
    SCOPED_TRACE(c["why"].asString());
    Json::Value registry(Json::arrayValue);
    registry.append(c["entry"]);
    const std::string text = Json::FastWriter().write(registry);
    const int homes = c["homes_account"].asBool() ? 1 : 0;
    const std::string at = "/" + c["at"].asString();
    const std::string share = at.substr(0, at.find('/', 1));
    EXPECT_EQ(kd_calendar_below(text.data(), text.size(), at.c_str(), homes), KD_CALENDAR_FOUND);
    EXPECT_EQ(kd_calendar_below(text.data(), text.size(), share.c_str(), homes), KD_CALENDAR_FOUND);
    EXPECT_EQ(kd_calendar_below(text.data(), text.size(), (at + "x").c_str(), homes),
              KD_CALENDAR_NONE);
    for (const Json::Value& other : table["shares"]) {
      if ("/" + other.asString() == share) continue;
      EXPECT_EQ(
          kd_calendar_below(text.data(), text.size(), ("/" + other.asString()).c_str(), homes),
          KD_CALENDAR_NONE)
          << other;
    }
  }
}

// A guest is kept out of a calendar's folder and all inside it, and of
// nothing above it or beside it.
TEST(DavCalendarsTest, PathsAtOrInsideARegisteredFolder) {
  const struct {
    const char* registry;
    const char* path;
    int expected;
  } cases[] = {
      {"", "/public/office/2026/Team", KD_CALENDAR_NONE},
      {kTeam, "/public/office/2026/Team", KD_CALENDAR_FOUND},
      {kTeam, "/public/office/2026/Team/event.ics", KD_CALENDAR_FOUND},
      {kTeam, "/public/office/2026/Team/.DAV/x", KD_CALENDAR_FOUND},
      {kTeam, "/public/office/2026", KD_CALENDAR_NONE},
      {kTeam, "/public", KD_CALENDAR_NONE},
      {kTeam, "/", KD_CALENDAR_NONE},
      {kTeam, "/public/office/2026/Team2", KD_CALENDAR_NONE},
      {kTeam, "/public/office/2026/Tea", KD_CALENDAR_NONE},
      {kOldHome, "/homes/alice/Private/e.ics", KD_CALENDAR_FOUND},
      {R"({"calendarname": "C"})", "/public/C", KD_CALENDAR_UNKNOWN},
  };
  for (const auto& c : cases) {
    const std::string text = c.registry;
    EXPECT_EQ(kd_calendar_within(text.data(), text.size(), c.path, 0), c.expected)
        << c.registry << " at " << c.path;
  }
}

}  // namespace

// The address-book registry is read by the same rules, by its own member:
// an entry of the other registry's form names nothing in it.
TEST(DavCalendarsTest, AddressBooksAreFoundByTheirOwnMember) {
  constexpr char kBooks[] =
      R"([{"addressbookname": "Team", "destination": "public/office", "share": "public"},
          {"calendarname": "Cal", "destination": "public", "share": "public"}])";
  const struct {
    const char* path;
    int below;
    int within;
  } cases[] = {
      {"/public/office/Team", KD_CALENDAR_FOUND, KD_CALENDAR_FOUND},
      {"/public", KD_CALENDAR_FOUND, KD_CALENDAR_NONE},
      {"/public/office/Team/c.vcf", KD_CALENDAR_NONE, KD_CALENDAR_FOUND},
      {"/public/office/Tea", KD_CALENDAR_NONE, KD_CALENDAR_NONE},
      {"/public/Cal", KD_CALENDAR_NONE, KD_CALENDAR_NONE},
  };
  const size_t len = sizeof kBooks - 1;
  for (const auto& c : cases) {
    EXPECT_EQ(c.below, kd_registry_below(kBooks, len, KD_ADDRESSBOOK_MEMBER, c.path, 0)) << c.path;
    EXPECT_EQ(c.within, kd_registry_within(kBooks, len, KD_ADDRESSBOOK_MEMBER, c.path, 0))
        << c.path;
  }
  EXPECT_EQ(KD_CALENDAR_FOUND, kd_calendar_below(kBooks, len, "/public/Cal", 0));
  EXPECT_EQ(KD_CALENDAR_NONE, kd_calendar_below(kBooks, len, "/public/office/Team", 0));
}
