// The calendar registry file: reading, the homes upgrade, replacing it whole
// without ever leaving it empty or partial, ids and appending.

#include <signal.h>
#include <sys/resource.h>

#include "tests/unit/calendar_fixture.h"

using ::testing::ContainsRegex;
using ::testing::IsEmpty;

namespace calendar_test {
namespace {

class CalendarRegistryTest : public CalendarTest {
 protected:
  ino_t RegistryInode() { return StatOf(RegistryPath()).st_ino; }
};

TEST_F(CalendarRegistryTest, AbsentFileReadsAsOneAndLeavesTheValue) {
  DirectHandler direct;
  Json::Value calendars = "as passed";
  EXPECT_EQ(direct.handler.GetCalendarInfo(calendars), 1);
  EXPECT_EQ(calendars, Json::Value("as passed"));
  EXPECT_TRUE(fake::Logs().empty());
  EXPECT_FALSE(Exists(RegistryPath()));
}

TEST_F(CalendarRegistryTest, FirstAddCreatesAStyledArray) {
  DirectHandler direct;
  umask(0);
  ASSERT_TRUE(direct.handler.AddCalendarItemToInfo(Entry("Work", "docs/team", "docs")));
  Json::Value expected(Json::arrayValue);
  expected.append(Entry("Work", "docs/team", "docs"));
  EXPECT_EQ(ReadFile(RegistryPath()), expected.toStyledString());
  EXPECT_EQ(StatOf(RegistryPath()).st_mode & 07777, 0777u);
  EXPECT_THAT(StrayRegistryFiles(), IsEmpty());
}

TEST_F(CalendarRegistryTest, ModeFollowsTheCreationMask) {
  DirectHandler direct;
  const mode_t old = umask(022);
  Json::Value calendars(Json::arrayValue);
  ASSERT_TRUE(direct.handler.WriteCalendarInfo(calendars));
  umask(old);
  EXPECT_EQ(ReadFile(RegistryPath()), "[]\n");
  EXPECT_EQ(StatOf(RegistryPath()).st_mode & 07777, 0755u);
}

TEST_F(CalendarRegistryTest, EmptyArrayIsReadWithoutRewriting) {
  WriteFile(RegistryPath(), "[ ]");
  DirectHandler direct;
  Json::Value calendars(Json::arrayValue);
  EXPECT_EQ(direct.handler.GetCalendarInfo(calendars), 0);
  EXPECT_EQ(calendars.size(), 0u);
  EXPECT_EQ(ReadFile(RegistryPath()), "[ ]");
}

TEST_F(CalendarRegistryTest, UnreadableContentFailsWith1704AndIsKept) {
  const char* contents[] = {
      "",
      "[{\"calendarname\": \"Work\",",
      "{\"calendarname\": \"Work\"}",                        // not an array
      "[\"Work\"]",                                          // not an entry
      "[{\"calendarname\": 1, \"destination\": \"docs\"}]",  // not a string
  };
  for (const char* content : contents) {
    fake::Reset();
    WriteFile(RegistryPath(), content);
    DirectHandler direct;
    Json::Value calendars(Json::arrayValue);
    EXPECT_EQ(direct.handler.GetCalendarInfo(calendars), -1) << content;
    EXPECT_TRUE(fake::Logged("Cannot parse json format from file")) << content;
    EXPECT_EQ(direct.ReportedCode(), 1704);
    EXPECT_EQ(ReadFile(RegistryPath()), content);
  }
}

TEST_F(CalendarRegistryTest, CommentsAreAllowed) {
  WriteFile(RegistryPath(),
            "// calendars\n[{\"calendarname\": \"W\", \"destination\": \"docs\", "
            "\"share\": \"docs\"}]");
  DirectHandler direct;
  Json::Value calendars(Json::arrayValue);
  ASSERT_EQ(direct.handler.GetCalendarInfo(calendars), 0);
  EXPECT_EQ(calendars[0]["calendarname"], "W");
}

TEST_F(CalendarRegistryTest, UnreadableFileFailsWith1704) {
  ASSERT_EQ(mkdir(RegistryPath().c_str(), 0755), 0);
  DirectHandler direct;
  Json::Value calendars(Json::arrayValue);
  EXPECT_EQ(direct.handler.GetCalendarInfo(calendars), -1);
  EXPECT_TRUE(fake::Logged("Cannot open the file"));
  EXPECT_EQ(direct.ReportedCode(), 1704);
}

TEST_F(CalendarRegistryTest, HomesUpgradeIsWrittenBackOnce) {
  Json::Value stored(Json::arrayValue);
  stored.append(Entry("Cal", "alice/cal", "homes"));
  stored.append(Entry("Work", "docs", "docs"));
  stored.append(Entry("Old", "Homes/bob", "homes"));  // already prefixed, any case
  stored.append(Entry("Mixed", "carol/x", "Homes"));  // not the homes share
  WriteRegistry(stored);
  const ino_t before = RegistryInode();

  Json::Value upgraded = stored;
  upgraded[0]["destination"] = "homes/alice/cal";
  {
    DirectHandler direct;
    Json::Value calendars(Json::arrayValue);
    ASSERT_EQ(direct.handler.GetCalendarInfo(calendars), 0);
    EXPECT_EQ(calendars, upgraded);
    std::string id;
    ASSERT_TRUE(direct.handler.ConcateID(calendars[0], id));
    EXPECT_EQ(id, "Cal:homes/alice/cal");
  }
  EXPECT_EQ(ReadFile(RegistryPath()), upgraded.toStyledString());
  const ino_t after_first = RegistryInode();
  EXPECT_NE(after_first, before);

  DirectHandler again;
  Json::Value calendars(Json::arrayValue);
  ASSERT_EQ(again.handler.GetCalendarInfo(calendars), 0);
  EXPECT_EQ(calendars, upgraded);
  EXPECT_EQ(RegistryInode(), after_first) << "the second read rewrote the registry";
}

TEST_F(CalendarRegistryTest, NoHomesUpgradeWhileAHomesAccountExists) {
  fake::P().users["homes"] = {2000, kUsersGid, 0, ""};
  Json::Value stored(Json::arrayValue);
  stored.append(Entry("Cal", "alice/cal", "homes"));
  WriteRegistry(stored);
  const ino_t before = RegistryInode();
  DirectHandler direct;
  Json::Value calendars(Json::arrayValue);
  ASSERT_EQ(direct.handler.GetCalendarInfo(calendars), 0);
  EXPECT_EQ(calendars, stored);
  EXPECT_EQ(RegistryInode(), before);
}

TEST_F(CalendarRegistryTest, FailedUpgradeWriteFailsTheRead) {
  Json::Value stored(Json::arrayValue);
  stored.append(Entry("Cal", "alice/cal", "homes"));
  WriteRegistry(stored);
  chmod(Path("usr/kivo/etc").c_str(), 0555);
  // Root ignores directory permissions; make the directory refuse creation
  // by dropping root's override for this check.
  const std::string text = ReadFile(RegistryPath());
  ASSERT_EQ(seteuid(kAliceUid), 0);
  DirectHandler direct;
  Json::Value calendars(Json::arrayValue);
  const int result = direct.handler.GetCalendarInfo(calendars);
  ASSERT_EQ(seteuid(0), 0);
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(fake::Logged("Cannot write the infor"));
  EXPECT_THAT(fake::Logs()[0], ContainsRegex("open\\(.*calendar\\.info\\.tmp\\.[0-9.]+, 1053249\\) "
                                             "failed, reason=Permission denied\n$"));
  EXPECT_EQ(direct.ReportedCode(), 1704);
  EXPECT_EQ(ReadFile(RegistryPath()), text);
}

TEST_F(CalendarRegistryTest, OpenFailureNamesTheFileAndTheFlags) {
  std::filesystem::remove_all(Path("usr/kivo/etc"));
  DirectHandler direct;
  Json::Value calendars(Json::arrayValue);
  EXPECT_FALSE(direct.handler.WriteCalendarInfo(calendars));
  ASSERT_EQ(fake::Logs().size(), 1u);
  EXPECT_THAT(fake::Logs()[0],
              ::testing::MatchesRegex("caldav_calendar:[0-9]+ open\\(" + RegistryPath() +
                                      "\\.tmp\\.[0-9]+\\.[0-9]+, 1053249\\) failed, "
                                      "reason=No such file or directory\n"));
  EXPECT_EQ(direct.ReportedCode(), 1704);
}

TEST_F(CalendarRegistryTest, ShortWriteKeepsThePreviousRegistry) {
  Json::Value stored(Json::arrayValue);
  stored.append(Entry("Keep", "docs", "docs"));
  WriteRegistry(stored);
  const std::string text = ReadFile(RegistryPath());

  Json::Value bigger = stored;
  for (int i = 0; i < 50; ++i) bigger.append(Entry("N" + std::to_string(i), "docs", "docs"));
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit small = old_limit;
  small.rlim_cur = 100;  // the first write stores 100 bytes, the next fails
  sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  DirectHandler direct;
  const bool written = direct.handler.WriteCalendarInfo(bigger);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(written);
  EXPECT_THAT(fake::Logs()[0],
              ContainsRegex("failed to write into .*calendar\\.info\\.tmp\\.[0-9.]+, "
                            "reason=File too large$"));
  EXPECT_EQ(direct.ReportedCode(), 1704);
  EXPECT_EQ(ReadFile(RegistryPath()), text);
  EXPECT_THAT(StrayRegistryFiles(), IsEmpty());
}

TEST_F(CalendarRegistryTest, FailedReplaceRemovesTheTemporary) {
  ASSERT_EQ(mkdir(RegistryPath().c_str(), 0755), 0);
  WriteFile(RegistryPath() + "/occupied", "x");
  DirectHandler direct;
  Json::Value calendars(Json::arrayValue);
  EXPECT_FALSE(direct.handler.WriteCalendarInfo(calendars));
  EXPECT_TRUE(fake::Logged("Is a directory"));
  EXPECT_EQ(direct.ReportedCode(), 1704);
  EXPECT_THAT(StrayRegistryFiles(), IsEmpty());
}

TEST_F(CalendarRegistryTest, Ids) {
  DirectHandler direct;
  std::string id = "kept";
  ASSERT_TRUE(direct.handler.ConcateID(Entry("Work", "docs/team", "docs"), id));
  EXPECT_EQ(id, "Work:docs/team");
  Json::Value without = Entry("Work", "docs/team", "docs");
  without.removeMember("destination");
  id = "kept";
  EXPECT_FALSE(direct.handler.ConcateID(without, id));
  EXPECT_EQ(id, "kept");
  EXPECT_TRUE(fake::Logged("wrong parameter"));
  EXPECT_EQ(direct.ReportedCode(), 1704);
}

TEST_F(CalendarRegistryTest, AddingARegisteredIdKeepsOneEntryAndRewrites) {
  WriteFile(RegistryPath(),
            "[{\"calendarname\":\"Work\",\"destination\":\"docs\",\"share\":\"docs\"}]");
  DirectHandler direct;
  // Same id, other share: the share is not part of the id.
  ASSERT_TRUE(direct.handler.AddCalendarItemToInfo(Entry("Work", "docs", "other")));
  Json::Value expected(Json::arrayValue);
  expected.append(Entry("Work", "docs", "docs"));
  EXPECT_EQ(ReadFile(RegistryPath()), expected.toStyledString());
}

TEST_F(CalendarRegistryTest, AddingAppendsAtTheEnd) {
  Json::Value stored(Json::arrayValue);
  stored.append(Entry("A", "docs", "docs"));
  WriteRegistry(stored);
  DirectHandler direct;
  ASSERT_TRUE(direct.handler.AddCalendarItemToInfo(Entry("B", "docs", "docs")));
  stored.append(Entry("B", "docs", "docs"));
  EXPECT_EQ(ReadRegistry(), stored);
}

TEST_F(CalendarRegistryTest, AddingStopsAtAnEntryWithoutId) {
  WriteFile(RegistryPath(), "[{\"calendarname\":\"A\",\"share\":\"docs\"}]");
  const std::string text = ReadFile(RegistryPath());
  DirectHandler direct;
  EXPECT_FALSE(direct.handler.AddCalendarItemToInfo(Entry("B", "docs", "docs")));
  EXPECT_EQ(ReadFile(RegistryPath()), text);
  EXPECT_EQ(direct.ReportedCode(), 1704);
}

}  // namespace
}  // namespace calendar_test
