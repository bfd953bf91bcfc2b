// Calendar locations: the conventions of the calendar handler, the home and
// homes rules for request input, folder paths of entries, and the judgement
// of a proposed calendar folder.

#include "tests/unit/calendar_fixture.h"

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

namespace calendar_test {
namespace {

class CalendarLocationTest : public CalendarTest {};

TEST_F(CalendarLocationTest, LastRecordedCodeIsReported) {
  DirectHandler direct;
  direct.handler.SetError(1705);
  direct.handler.SetError(1702);
  EXPECT_EQ(direct.ReportedCode(), 1702);
  EXPECT_TRUE(fake::Logs().empty());
}

TEST_F(CalendarLocationTest, NoRecordedCodeReports1704AndSaysSo) {
  DirectHandler direct;
  EXPECT_EQ(direct.ReportedCode(), 1704);
  ASSERT_EQ(fake::Logs().size(), 1u);
  EXPECT_THAT(fake::Logs()[0], MatchesRegex("caldav_calendar:[0-9]+ There is no error setup"));
}

TEST_F(CalendarLocationTest, ConstructionAsksForAHomesAccountOnce) {
  Call(CalDAVCalendarList, Json::Value(Json::objectValue));
  EXPECT_THAT(fake::CallsOf("KIVOUserGet"), ElementsAre("KIVOUserGet(homes)"));
}

TEST_F(CalendarLocationTest, ParameterChecksJudgeTypeAndPresence) {
  Json::Value params(Json::objectValue);
  params["b"] = true;
  params["i"] = 7;
  params["s"] = "text";
  params["a"] = Json::Value(Json::arrayValue);
  using Check = bool (CalDAVServiceHandler::*)(std::string, bool);
  const struct {
    Check check;
    const char* name;
    bool required;
    bool passes;
    const char* message;  // null: nothing logged
  } cases[] = {
      {&CalDAVServiceHandler::CHECK_PARAM_BOOL, "b", true, true, nullptr},
      {&CalDAVServiceHandler::CHECK_PARAM_BOOL, "s", false, false, "wrong the paramter: s"},
      {&CalDAVServiceHandler::CHECK_PARAM_INT, "i", true, true, nullptr},
      {&CalDAVServiceHandler::CHECK_PARAM_INT, "b", true, false, "wrong the paramter: b"},
      {&CalDAVServiceHandler::CHECK_PARAM_STRING, "s", true, true, nullptr},
      {&CalDAVServiceHandler::CHECK_PARAM_STRING, "i", true, false, "wrong the paramter: i"},
      {&CalDAVServiceHandler::CHECK_PARAM_JSONARRAY, "a", true, true, nullptr},
      {&CalDAVServiceHandler::CHECK_PARAM_JSONARRAY, "s", true, false, "wrong the paramter: s"},
      {&CalDAVServiceHandler::CHECK_PARAM_STRING, "x", false, true, nullptr},
      {&CalDAVServiceHandler::CHECK_PARAM_STRING, "x", true, false, "cannot get the paramter: x"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    DirectHandler direct(params);
    EXPECT_EQ((direct.handler.*c.check)(c.name, c.required), c.passes) << c.name;
    if (c.message == nullptr) {
      EXPECT_TRUE(fake::Logs().empty()) << c.name;
    } else {
      EXPECT_TRUE(fake::Logged(c.message)) << c.message;
      EXPECT_EQ(direct.ReportedCode(), 1705);
    }
  }
}

TEST_F(CalendarLocationTest, ShowJsonLogsCompactText) {
  DirectHandler direct;
  direct.handler.ShowJson("entry", Entry("Work", "docs", "docs"));
  EXPECT_TRUE(fake::Logged(
      "entry: {\"calendarname\":\"Work\",\"destination\":\"docs\",\"share\":\"docs\"}\n"));
}

TEST_F(CalendarLocationTest, HomeAndHomesRulesOfRequestInput) {
  const struct {
    const char* share;
    const char* destination;
    bool homes_account;
    const char* stored_share;
    const char* stored_destination;
  } cases[] = {
      {"HOME", "home", false, "homes", "homes/alice"},
      {"home", "hom", false, "homes", "homes/alice"},
      {"home", "home/Projects", false, "homes", "homes/alice/Projects"},
      {"home", "homework", false, "homes", "homes/alicework"},
      {"Home", "home/x", true, "homes", "homes/alice/x"},  // the alias ignores the account
      {"homes", "alice/x", false, "homes", "homes/alice/x"},
      {"homes", "alice/x", true, "homes", "alice/x"},
      {"homes", "Homes/alice", false, "homes", "Homes/alice"},
      {"homes", "HOMES", false, "homes", "HOMES"},
      {"Homes", "alice", false, "Homes", "alice"},
      {"docs", "docs/team", false, "docs", "docs/team"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    fake::P().users["alice"] = {kAliceUid, kUsersGid, 0, ""};
    if (c.homes_account) fake::P().users["homes"] = {2000, kUsersGid, 0, ""};
    DirectHandler direct(CreateParams(c.destination, "Cal", "/unused", c.share));
    Json::Value entry;
    ASSERT_TRUE(direct.handler.GetInputParam2Json(entry)) << c.share << " " << c.destination;
    EXPECT_EQ(entry, Entry("Cal", c.stored_destination, c.stored_share))
        << c.share << " " << c.destination;
  }
}

TEST_F(CalendarLocationTest, InputWithoutALocationParameterIsRefusedUntouched) {
  for (const char* missing : {"destination", "calendarname", "share"}) {
    fake::Reset();
    Json::Value params = CreateParams("docs", "Cal", "/x", "docs");
    params.removeMember(missing);
    DirectHandler direct(params);
    Json::Value entry = "untouched";
    EXPECT_FALSE(direct.handler.GetInputParam2Json(entry));
    EXPECT_EQ(entry, Json::Value("untouched"));
    EXPECT_TRUE(fake::Logged("Wrong parameter")) << missing;
    EXPECT_EQ(direct.ReportedCode(), 1705);
  }
}

TEST_F(CalendarLocationTest, ConcateHomesPrefixesOnlyWhatLacksHomes) {
  DirectHandler direct;
  std::string out = "old";
  EXPECT_TRUE(direct.handler.ConcateHomes("alice", out));
  EXPECT_EQ(out, "homes/alice");
  EXPECT_TRUE(direct.handler.ConcateHomes("home", out));
  EXPECT_EQ(out, "homes/home");
  EXPECT_FALSE(direct.handler.ConcateHomes("hOmEsick", out));
  EXPECT_EQ(out, "");
}

TEST_F(CalendarLocationTest, FullPathOfEntries) {
  fake::P().shares["docs"] = "/volume1/docs";
  fake::P().shares["homes"] = "/volume1/homes";
  const struct {
    const char* share;
    const char* destination;
    const char* name;
    const char* path;
  } cases[] = {
      {"docs", "docs", "Work", "/volume1/docs/Work"},
      {"docs", "docs/team/plans", "Work", "/volume1/docs/team/plans/Work"},
      {"docs", "team", "Work", "/volume1/docs/Work"},
      {"docs", "docs/", "Work", "/volume1/docs//Work"},
      {"docs", "xyzw/sub", "Work", "/volume1/docs/sub/Work"},  // the share part is not compared
      {"homes", "homes/alice/cal", "Cal", "/volume1/homes/alice/cal/Cal"},
  };
  for (const auto& c : cases) {
    fake::P().calls.clear();
    DirectHandler direct;
    std::string path;
    ASSERT_TRUE(direct.handler.GetFullPath(Entry(c.name, c.destination, c.share), path));
    EXPECT_EQ(path, c.path);
    EXPECT_THAT(fake::P().calls,
                ElementsAre("KIVOUserGet(homes)", std::string("KIVOShareGet(") + c.share + ")",
                            std::string("KIVOShareFree(") + c.share + ")"));
  }
}

TEST_F(CalendarLocationTest, FullPathCutsLongValuesAt1023Bytes) {
  DirectHandler direct;
  std::string path;
  const std::string long_name(1500, 'n');
  ASSERT_TRUE(direct.handler.GetFullPath(Entry(long_name, "docs", "docs"), path));
  EXPECT_EQ(path, docs_ + "/" + std::string(1023, 'n'));
}

TEST_F(CalendarLocationTest, FullPathFailuresLeaveThePathAlone) {
  Json::Value no_share = Entry("Work", "docs", "docs");
  no_share.removeMember("share");
  const struct {
    Json::Value entry;
    const char* message;
  } cases[] = {
      {no_share, "Wrong parameter in input parameter"},
      {Entry("Work", "nowhere", "nowhere"), "CANNOT GET THE SHARE nowhere"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    DirectHandler direct;
    std::string path = "kept";
    EXPECT_FALSE(direct.handler.GetFullPath(c.entry, path));
    EXPECT_EQ(path, "kept");
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    EXPECT_EQ(direct.ReportedCode(), 1704);
  }
}

TEST_F(CalendarLocationTest, ProposedFolderPaths) {
  ASSERT_EQ(mkdir((docs_ + "/team").c_str(), 0755), 0);
  ASSERT_EQ(symlink((docs_ + "/team").c_str(), (docs_ + "/link").c_str()), 0);
  const std::string team = docs_ + "/team";
  const std::string outside = Path("outside");
  const struct {
    std::string parent;
    std::string path;
    bool valid;
    std::string message;
  } cases[] = {
      {team, team + "/Cal", true, ""},
      {team, docs_ + "/link/Cal", true, ""},
      {team + "/", team + "/./Cal", true, ""},
      {team, team + "/.", false, "[.] basename is invalid"},
      {team, team + "/..", false, "[..] basename is invalid"},
      {team, team + "/", false, "path[" + docs_ + "] != [" + team + "]"},
      {team, docs_ + "/Cal", false, "path[" + docs_ + "] != [" + team + "]"},
      {team, docs_ + "/missing/Cal", false,
       "[" + docs_ + "/missing/Cal] szResolvePath failed No such file or directory"},
      {docs_ + "/gone", team + "/Cal", false,
       "[" + docs_ + "/gone] resolve failed No such file or directory"},
      {outside, outside + "/Cal", false, "path[" + outside + "] doesn't have share name"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    fake::P().shares["docs"] = docs_;
    DirectHandler direct;
    EXPECT_EQ(direct.handler.IsPathValid(c.parent.c_str(), c.path.c_str()), c.valid) << c.path;
    if (!c.valid) {
      EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    }
    // A refusal is only logged: the caller records the code.
    EXPECT_EQ(direct.ReportedCode(), 1704) << c.path;
    EXPECT_TRUE(fake::Logged("There is no error setup"));
  }
}

TEST_F(CalendarLocationTest, ProposedFolderAsksThePlatformWithItsBufferSizes) {
  ASSERT_EQ(mkdir((docs_ + "/team").c_str(), 0755), 0);
  DirectHandler direct;
  ASSERT_TRUE(direct.handler.IsPathValid((docs_ + "/team").c_str(), (docs_ + "/team/C").c_str()));
  EXPECT_THAT(fake::CallsOf("KIVOShareNamePathGet"),
              ElementsAre("KIVOShareNamePathGet(" + docs_ + "/team, 493, 4095)"));
}

TEST_F(CalendarLocationTest, MissingArgumentsAreAParamError) {
  DirectHandler direct;
  EXPECT_FALSE(direct.handler.IsPathValid(nullptr, "/x"));
  EXPECT_FALSE(direct.handler.IsPathValid("/x", nullptr));
  EXPECT_EQ(fake::Logs().size(), 2u);
  EXPECT_TRUE(fake::Logged("Param error"));
}

}  // namespace
}  // namespace calendar_test
