// Listing and deleting calendars: statuses and ids of the list, and which
// folders and registry entries a delete takes away.

#include "tests/unit/calendar_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace calendar_test {
namespace {

class CalendarListDeleteTest : public CalendarTest {
 protected:
  static Json::Value Ids(std::initializer_list<Json::Value> ids) {
    Json::Value params(Json::objectValue);
    params["id"] = Json::Value(Json::arrayValue);
    for (const auto& id : ids) params["id"].append(id);
    return params;
  }
  std::string LockPath() const { return Path("usr/kivo/etc/.calendar.info.lock"); }
};

TEST_F(CalendarListDeleteTest, ListWithoutRegistryIsEmpty) {
  KIVO::APIResponse response = Call(CalDAVCalendarList, Json::Value(Json::objectValue));
  ASSERT_TRUE(response.success());
  Json::Value expected(Json::objectValue);
  expected["item"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(response.data(), expected);
  EXPECT_FALSE(Exists(RegistryPath()));
}

TEST_F(CalendarListDeleteTest, ListWithoutRegistryDirectoryStillAnswers) {
  std::filesystem::remove_all(Path("usr/kivo/etc"));
  KIVO::APIResponse response = Call(CalDAVCalendarList, Json::Value(Json::objectValue));
  ASSERT_TRUE(response.success());
  EXPECT_EQ(response.data()["item"].size(), 0u);
  EXPECT_TRUE(fake::Logs().empty());
}

TEST_F(CalendarListDeleteTest, ListReportsStatusAndIdOfEveryEntry) {
  const struct {
    const char* name;
    const char* share;
    const char* status;
  } cases[] = {
      {"Full", "docs", "normal"},  {"NoStore", "docs", "crashed"}, {"NoPag", "docs", "crashed"},
      {"NoDir", "docs", "normal"}, {"Gone", "docs", "noexist"},    {"Lost", "nowhere", "noexist"},
  };
  MakeCalendarFolder(docs_ + "/Full");
  ASSERT_EQ(mkdir((docs_ + "/NoStore").c_str(), 0777), 0);
  std::filesystem::create_directories(docs_ + "/NoPag/.DAV");
  MakeCalendarFolder(docs_ + "/NoDir");
  std::filesystem::remove(docs_ + "/NoDir/.DAV/.state_for_dir.dir");
  Json::Value registry(Json::arrayValue);
  for (const auto& c : cases) registry.append(Entry(c.name, c.share, c.share));
  WriteRegistry(registry);
  const std::string text = ReadFile(RegistryPath());

  KIVO::APIResponse response = Call(CalDAVCalendarList, Json::Value(Json::objectValue));
  ASSERT_TRUE(response.success());
  const Json::Value& items = response.data()["item"];
  ASSERT_EQ(items.size(), std::size(cases));
  for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
    Json::Value expected = Entry(cases[i].name, cases[i].share, cases[i].share);
    expected["status"] = cases[i].status;
    expected["id"] = std::string(cases[i].name) + ":" + cases[i].share;
    EXPECT_EQ(items[i], expected);
  }
  EXPECT_TRUE(fake::Logged("CANNOT GET THE SHARE nowhere"));
  EXPECT_EQ(ReadFile(RegistryPath()), text);
  EXPECT_THAT(fake::Actions(), IsEmpty());
}

TEST_F(CalendarListDeleteTest, ListShowsUpgradedHomesIds) {
  Json::Value registry(Json::arrayValue);
  registry.append(Entry("Cal", "alice/x", "homes"));
  WriteRegistry(registry);
  KIVO::APIResponse response = Call(CalDAVCalendarList, Json::Value(Json::objectValue));
  ASSERT_TRUE(response.success());
  EXPECT_EQ(response.data()["item"][0]["id"], "Cal:homes/alice/x");
  EXPECT_EQ(ReadRegistry()[0]["destination"], "homes/alice/x");
}

TEST_F(CalendarListDeleteTest, ListFailures) {
  const struct {
    const char* content;
    const char* message;
  } cases[] = {
      {"[{\"calendarname\": \"A\", \"share\": \"docs\"}]", "wrong parameter"},
      {"not json", "Cannot parse json format from file"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    WriteFile(RegistryPath(), c.content);
    KIVO::APIResponse response = Call(CalDAVCalendarList, Json::Value(Json::objectValue));
    EXPECT_EQ(response.error_code(), 1704);
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    EXPECT_TRUE(response.data().isNull());
  }
}

TEST_F(CalendarListDeleteTest, DeleteWithNoIdsReadsNothing) {
  WriteFile(RegistryPath(), "garbage");
  KIVO::APIResponse response = Call(CalDAVCalendarDelete, Ids({}));
  EXPECT_TRUE(response.success());
  EXPECT_TRUE(response.data().isNull());
  EXPECT_EQ(ReadFile(RegistryPath()), "garbage");
  EXPECT_FALSE(Exists(LockPath()));
  EXPECT_TRUE(fake::Logs().empty());
}

TEST_F(CalendarListDeleteTest, DeleteNeedsAnIdArray) {
  const struct {
    Json::Value params;
    const char* message;
  } cases[] = {
      {Json::Value(Json::objectValue), "cannot get the paramter: id"},
      {[] {
         Json::Value p(Json::objectValue);
         p["id"] = "Work:docs";
         return p;
       }(),
       "wrong the paramter: id"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    EXPECT_EQ(Call(CalDAVCalendarDelete, c.params).error_code(), 1705);
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    EXPECT_FALSE(Exists(RegistryPath()));
  }
}

TEST_F(CalendarListDeleteTest, DeleteWithoutRegistryWritesAnEmptyOne) {
  EXPECT_TRUE(Call(CalDAVCalendarDelete, Ids({"Work:docs"})).success());
  EXPECT_EQ(ReadFile(RegistryPath()), "[]\n");
}

TEST_F(CalendarListDeleteTest, DeleteOfUnknownIdsRewritesTheSameEntries) {
  Json::Value registry(Json::arrayValue);
  registry.append(Entry("Work", "docs", "docs"));
  WriteFile(RegistryPath(),
            "[{\"calendarname\":\"Work\",\"destination\":\"docs\",\"share\":\"docs\"}]");
  EXPECT_TRUE(
      Call(CalDAVCalendarDelete, Ids({"work:docs", "Work:docs/", 7, Json::Value()})).success());
  EXPECT_EQ(ReadFile(RegistryPath()), registry.toStyledString());
  EXPECT_THAT(fake::Actions(), IsEmpty());
}

TEST_F(CalendarListDeleteTest, DeleteRemovesMatchingFoldersAndEntries) {
  MakeCalendarFolder(docs_ + "/A");
  MakeCalendarFolder(docs_ + "/B");
  MakeCalendarFolder(docs_ + "/Keep");
  Json::Value registry(Json::arrayValue);
  registry.append(Entry("A", "docs", "docs"));
  registry.append(Entry("Keep", "docs", "docs"));
  registry.append(Entry("B", "docs", "docs"));
  registry.append(Entry("Gone", "docs", "docs"));  // folder already missing
  registry.append(Entry("Lost", "nowhere", "nowhere"));
  WriteRegistry(registry);

  KIVO::APIResponse response =
      Call(CalDAVCalendarDelete, Ids({"B:docs", "A:docs", Json::Value(Json::arrayValue), "B:docs",
                                      "Gone:docs", "Lost:nowhere"}));
  ASSERT_TRUE(response.success());
  EXPECT_FALSE(Exists(docs_ + "/A"));
  EXPECT_FALSE(Exists(docs_ + "/B"));
  EXPECT_TRUE(Exists(docs_ + "/Keep/.DAV"));
  EXPECT_THAT(fake::Actions(),
              ElementsAre("KLIBCExec(/bin/rm, -rf, " + docs_ + "/A, (null), (null))",
                          "KLIBCExec(/bin/rm, -rf, " + docs_ + "/B, (null), (null))",
                          "KLIBCExec(/bin/rm, -rf, " + docs_ + "/Gone, (null), (null))"));
  EXPECT_TRUE(fake::Logged("CANNOT GET THE SHARE nowhere"));
  Json::Value kept(Json::arrayValue);
  kept.append(Entry("Keep", "docs", "docs"));
  EXPECT_EQ(ReadFile(RegistryPath()), kept.toStyledString());
}

TEST_F(CalendarListDeleteTest, DeleteStopsAtAnEntryWithoutId) {
  MakeCalendarFolder(docs_ + "/A");
  WriteFile(RegistryPath(),
            "[{\"calendarname\":\"A\",\"destination\":\"docs\",\"share\":\"docs\"},"
            "{\"calendarname\":\"B\",\"share\":\"docs\"}]");
  const std::string text = ReadFile(RegistryPath());
  KIVO::APIResponse response = Call(CalDAVCalendarDelete, Ids({"A:docs"}));
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_TRUE(fake::Logged("wrong parameter"));
  EXPECT_FALSE(Exists(docs_ + "/A"));
  EXPECT_EQ(ReadFile(RegistryPath()), text);
}

TEST_F(CalendarListDeleteTest, DeleteOfUnreadableRegistryRemovesNothing) {
  MakeCalendarFolder(docs_ + "/A");
  WriteFile(RegistryPath(), "[");
  EXPECT_EQ(Call(CalDAVCalendarDelete, Ids({"A:docs"})).error_code(), 1704);
  EXPECT_TRUE(Exists(docs_ + "/A/.DAV"));
  EXPECT_EQ(ReadFile(RegistryPath()), "[");
}

}  // namespace
}  // namespace calendar_test
