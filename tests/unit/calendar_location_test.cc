// Below the web API methods: the error latch, home and homes rules, folder paths, proposed
// folders, and the registry file (homes upgrade, replacing it whole and safely, appending).

#include <signal.h>
#include <sys/resource.h>

#include "base/thread_identity_scope.h"
#include "tests/unit/calendar_fixture.h"

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

namespace calendar_test {
namespace {

using CalendarLocationTest = CalendarTest;

// No code at all reports 1704 (pinned with the folder paths below).
TEST_F(CalendarLocationTest, LastRecordedCodeWins) {
  DirectHandler twice;
  twice.handler.SetError(1705);
  twice.handler.SetError(1702);
  EXPECT_EQ(twice.ReportedCode(), 1702);
  EXPECT_TRUE(fake::Logs().empty());
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
      {"home", "home/", false, "homes", "homes/alice/"},  // the shortest that names a part
      {"home", "homework", false, "homes", "homes/alicework"},
      {"Home", "home/x", true, "homes", "homes/alice/x"},  // the alias ignores the account
      {"homes", "alice/x", false, "homes", "homes/alice/x"},
      {"homes", "alice/x", true, "homes", "alice/x"},
      {"homes", "Homes/alice", false, "homes", "Homes/alice"},
      {"homes", "HOMES", false, "homes", "HOMES"},
      {"Homes", "alice", false, "Homes", "alice"},
  };
  for (const auto& c : cases) {
    ResetPlatform();
    if (c.homes_account) fake::P().users["homes"] = {2000, kUsersGid, 0, ""};
    DirectHandler direct(CreateParams(c.destination, "Cal", "/unused", c.share));
    Json::Value entry;
    ASSERT_TRUE(direct.handler.GetInputParam2Json(entry)) << c.share << " " << c.destination;
    EXPECT_EQ(entry, Entry("Cal", c.stored_destination, c.stored_share))
        << c.share << " " << c.destination;
  }
}

TEST_F(CalendarLocationTest, FullPathOfEntries) {
  fake::P().shares["docs"] = "/volume1/docs";
  Json::Value no_share = Entry("Work", "docs", "docs");
  no_share.removeMember("share");
  const struct {
    Json::Value entry;
    std::string path;               // "kept": refused, the output untouched
    const char* message = nullptr;  // of a refusal
  } cases[] = {
      {Entry("Work", "docs", "docs"), "/volume1/docs/Work"},
      {Entry("Work", "docs/team/plans", "docs"), "/volume1/docs/team/plans/Work"},
      {Entry("Work", "team", "docs"), "/volume1/docs/Work"},
      {Entry("Work", "docs/", "docs"), "/volume1/docs//Work"},
      {Entry("Work", "xyzw/sub", "docs"), "/volume1/docs/sub/Work"},  // share part unread
      {Entry(std::string(1500, 'n'), "docs", "docs"), "/volume1/docs/" + std::string(1023, 'n')},
      {no_share, "kept", "Wrong parameter in input parameter"},
      {Entry("Work", "nowhere", "nowhere"), "kept", "CANNOT GET THE SHARE nowhere"},
  };
  for (const auto& c : cases) {
    fake::P().calls.clear();
    DirectHandler direct;
    std::string path = "kept";
    EXPECT_EQ(direct.handler.GetFullPath(c.entry, path), c.message == nullptr) << c.path;
    EXPECT_EQ(path, c.path);
    if (c.message != nullptr) {
      EXPECT_TRUE(fake::Logged(c.message)) << c.message;
      EXPECT_EQ(direct.ReportedCode(), 1704);
      continue;
    }
    const std::string share = c.entry["share"].asString();
    EXPECT_THAT(fake::P().calls, ElementsAre("KIVOUserGet(homes)", "KIVOShareGet(" + share + ")",
                                             "KIVOShareFree(" + share + ")"));
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
    std::string message;  // empty: accepted
  } cases[] = {
      {team, team + "/Cal", ""},
      {team, docs_ + "/link/Cal", ""},
      {team + "/", team + "/./Cal", ""},
      {team, team + "/.", "[.] basename is invalid"},
      {team, team + "/..", "[..] basename is invalid"},
      {team, team + "/", "path[" + docs_ + "] != [" + team + "]"},
      {team, docs_ + "/missing/Cal",
       "[" + docs_ + "/missing/Cal] szResolvePath failed No such file or directory"},
      {docs_ + "/gone", team + "/Cal",
       "[" + docs_ + "/gone] resolve failed No such file or directory"},
      {outside, outside + "/Cal", "path[" + outside + "] doesn't have share name"},
  };
  for (const auto& c : cases) {
    ResetPlatform();
    DirectHandler direct;
    EXPECT_EQ(direct.handler.IsPathValid(c.parent.c_str(), c.path.c_str()), c.message.empty())
        << c.path;
    EXPECT_TRUE(c.message.empty() || fake::Logged(c.message)) << c.message;
    // A refusal is only logged: the caller records the code.
    EXPECT_EQ(direct.ReportedCode(), 1704) << c.path;
    EXPECT_TRUE(fake::Logged("There is no error setup"));
  }
}

using CalendarRegistryTest = CalendarTest;

// A directory in the registry's place: it can be neither read nor replaced (no temporary stays).
TEST_F(CalendarRegistryTest, RegistryInADirectoryFailsWith1704) {
  ASSERT_EQ(mkdir(RegistryPath().c_str(), 0755), 0);
  WriteFile(RegistryPath() + "/occupied", "x");
  DirectHandler direct;
  Json::Value calendars(Json::arrayValue);
  EXPECT_FALSE(direct.handler.GetCalendarInfo(calendars));
  EXPECT_TRUE(fake::Logged("Cannot open the file"));
  EXPECT_FALSE(direct.handler.WriteCalendarInfo(calendars));
  EXPECT_TRUE(fake::Logged("Is a directory"));
  EXPECT_EQ(direct.ReportedCode(), 1704);
  EXPECT_EQ(RegistryDirSize(), 1);
}

TEST_F(CalendarRegistryTest, HomesUpgradeIsWrittenBackOnce) {
  const Json::Value stored = Array({
      Entry("Cal", "alice/cal", "homes"), Entry("Work", "docs", "docs"),
      Entry("Old", "Homes/bob", "homes"),  // already prefixed, any case
      Entry("Mixed", "carol/x", "Homes"),  // not the homes share
  });
  WriteFile(RegistryPath(), stored.toStyledString());
  Json::Value upgraded = stored;
  upgraded[0]["destination"] = "homes/alice/cal";
  // An account named "homes" turns the upgrade off; without it, it happens once.
  const struct {
    bool homes_account;
    Json::Value expected;
    bool rewritten;
  } reads[] = {{true, stored, false}, {false, upgraded, true}, {false, upgraded, false}};
  for (const auto& r : reads) {
    fake::Reset();
    if (r.homes_account) fake::P().users["homes"] = {2000, kUsersGid, 0, ""};
    const ino_t before = StatOf(RegistryPath()).st_ino;
    DirectHandler direct;
    Json::Value calendars(Json::arrayValue);
    bool found = false;
    ASSERT_TRUE(direct.handler.GetCalendarInfo(calendars, &found));
    ASSERT_TRUE(found);
    EXPECT_EQ(calendars, r.expected);
    EXPECT_EQ(ReadFile(RegistryPath()), r.expected.toStyledString());
    EXPECT_EQ(StatOf(RegistryPath()).st_ino != before, r.rewritten);
  }
}

// The upgrade's write-back failing part-way, then at the open: the previous registry stays whole.
TEST_F(CalendarRegistryTest, FailedUpgradeWritesKeepThePreviousRegistry) {
  WriteFile(RegistryPath(), Array({Entry("Cal", "alice/cal", "homes")}).toStyledString());
  const std::string text = ReadFile(RegistryPath());
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const struct rlimit small = {50, old_limit.rlim_max};  // a write stores 50 bytes, the next fails
  const sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  DirectHandler short_write;
  Json::Value calendars(Json::arrayValue);
  const bool short_result = short_write.handler.GetCalendarInfo(calendars);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(short_result);
  EXPECT_THAT(fake::Logs()[0], MatchesRegex("root_files:[0-9]+ replacing " + RegistryPath() +
                                            " failed: File too large"));

  // Root ignores directory permissions: let alice meet them.
  fake::Reset();
  chmod(Path("usr/kivo/etc").c_str(), 0555);
  DirectHandler no_open;
  bool open_result = true;
  ASSERT_TRUE(kivo::base::RunOnOwnThread([&] {
    kivo::base::ThreadIdentity alice;
    ASSERT_EQ(alice.Take(kAliceUid, kUsersGid, {kUsersGid}), KIVO_THREAD_DONE);
    open_result = no_open.handler.GetCalendarInfo(calendars = Json::arrayValue);
  }));
  EXPECT_FALSE(open_result);
  ASSERT_EQ(fake::Logs().size(), 2u);
  EXPECT_THAT(fake::Logs()[0], MatchesRegex("root_files:[0-9]+ mkstemp in " + Path("usr/kivo/etc") +
                                            " failed: Permission denied"));
  EXPECT_TRUE(fake::Logged("Cannot write the infor"));
  for (DirectHandler* direct : {&short_write, &no_open}) EXPECT_EQ(direct->ReportedCode(), 1704);
  EXPECT_EQ(ReadFile(RegistryPath()), text);
  EXPECT_EQ(RegistryDirSize(), 1);
}

// Appends give the writer's own styled text whatever the entries hold and
// whatever the file held before: bytes that close the array or open a
// comment inside strings, members the system never writes, comments on
// the entries of a file written by hand.
TEST_F(CalendarRegistryTest, AddingAppendsNewIdsOnlyAndRewritesStyled) {
  const std::string hostile[] = {"\n]\n",   "\\",
                                 "\"}, {",  "// x",
                                 "/* x */", "\x01\x1f",
                                 "\t",      "\xc3\xa9\xf0\x9f\x93\x85",
                                 "",        std::string(200, 'x'),
                                 "A"};
  const mode_t old = umask(022);
  DirectHandler direct;
  Json::Value expected(Json::arrayValue);
  const auto add = [&](const Json::Value& entry) {
    ASSERT_TRUE(direct.handler.AddCalendarItemToInfo(entry));
    expected.append(entry);
    EXPECT_EQ(ReadFile(RegistryPath()), expected.toStyledString()) << entry;
  };
  for (const std::string& name : hostile) add(Entry(name, "docs/" + name, "docs"));
  umask(old);
  EXPECT_EQ(StatOf(RegistryPath()).st_mode & 07777, 0644u) << "root's alone, whatever the mask";
  const ino_t before = StatOf(RegistryPath()).st_ino;
  // Same id, other share: the share is not part of the id.
  ASSERT_TRUE(direct.handler.AddCalendarItemToInfo(Entry("A", "docs/A", "other")));
  EXPECT_NE(StatOf(RegistryPath()).st_ino, before) << "a registered id still rewrites";
  EXPECT_EQ(ReadFile(RegistryPath()), expected.toStyledString());
  // The writer puts comments around the separators: after an entry that
  // carries one, and on a file written by hand, appends are styled whole.
  for (const Json::CommentPlacement placement :
       {Json::commentAfterOnSameLine, Json::commentAfter}) {
    Json::Value commented = Entry("C" + std::to_string(placement), "docs", "docs");
    commented.setComment(std::string("// note"), placement);
    add(commented);
    add(Entry("D" + std::to_string(placement), "docs", "docs"));
  }
  const std::string by_hand =
      "// written by hand\n[ {\"calendarname\": \"H\", \"destination\": \"docs\",\n"
      "  \"share\": \"docs\", \"extra\": [1, {\"deep\": null}]} /* after */\n,\n"
      "  {\"calendarname\": \"I\", \"destination\": \"docs\", \"share\": \"docs\"} // last\n]";
  ASSERT_TRUE(Json::Reader().parse(by_hand, expected, true));
  WriteFile(RegistryPath(), by_hand);
  add(Entry("E", "docs", "docs"));
  add(Entry("F", "docs", "docs"));
  EXPECT_EQ(RegistryDirSize(), 1);
}

}  // namespace
}  // namespace calendar_test
