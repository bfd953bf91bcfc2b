// List, delete and set: statuses and ids, what a delete removes, moves, refusals, bad registries.

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <map>

#include "tests/unit/calendar_fixture.h"

using ::testing::ElementsAre;

namespace calendar_test {
namespace {

Json::Value Ids(const Json::Value& ids) {
  Json::Value params(Json::objectValue);
  params["id"] = ids;
  return params;
}

// Registry text with the kind's name member for "calendarname".
std::string Named(std::string text) {
  const std::string member = g_kind->kind->name_member;
  for (size_t at = text.find("calendarname"); at != std::string::npos;
       at = text.find("calendarname", at + member.size())) {
    text.replace(at, strlen("calendarname"), member);
  }
  return text;
}

struct Listed {
  Json::Value entry;
  const char* status;
};

class CalendarListDeleteTest : public KindTest {
 protected:
  // Registers the entries in order and lists them, each with its status; the list's items.
  Json::Value ListAfterRegistering(const std::vector<Listed>& cases, Json::Value* registry) {
    *registry = Json::Value(Json::arrayValue);
    for (const Listed& c : cases) registry->append(c.entry);
    WriteFile(RegistryPath(), registry->toStyledString());
    const Json::Value items = Call(kind().list).data()["item"];
    EXPECT_EQ(items.size(), cases.size());
    for (Json::ArrayIndex i = 0; i < items.size() && i < cases.size(); ++i) {
      EXPECT_EQ(items[i]["status"], cases[i].status) << cases[i].entry["calendarname"];
    }
    return items;
  }
};

TEST_P(CalendarListDeleteTest, EmptyRegistriesAndIdLists) {
  WriteFile(RegistryPath(), "garbage");
  // An empty id array reads nothing, takes no lock; a missing or non-array id is refused.
  KIVO::APIResponse response = Call(kind().remove, Ids(Json::Value(Json::arrayValue)));
  EXPECT_TRUE(response.success());
  EXPECT_TRUE(response.data().isNull());
  EXPECT_TRUE(fake::Logs().empty());
  EXPECT_FALSE(Exists(Path(std::string(kind().kind->lock_file).substr(1))));
  EXPECT_EQ(Call(kind().remove).error_code(), 1705);
  EXPECT_TRUE(fake::Logged("cannot get the paramter: id"));
  EXPECT_EQ(Call(kind().remove, Ids("Work:docs")).error_code(), 1705);
  EXPECT_TRUE(fake::Logged("wrong the paramter: id"));
  EXPECT_EQ(ReadFile(RegistryPath()), "garbage");

  // No registry lists nothing, quietly; deleting from it writes an empty one.
  std::filesystem::remove(RegistryPath());
  ResetPlatform();
  Json::Value expected(Json::objectValue);
  expected["item"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(Call(kind().list).data(), expected);
  EXPECT_FALSE(Exists(RegistryPath()));
  EXPECT_TRUE(fake::Logs().empty());
  EXPECT_TRUE(Call(kind().remove, Ids(Array({"Work:docs"}))).success());
  EXPECT_EQ(ReadFile(RegistryPath()), "[]\n");
  // An empty array, commented, is listed as such and not rewritten.
  WriteFile(RegistryPath(), "// calendars\n[ ]");
  EXPECT_EQ(Call(kind().list).data(), expected);
  EXPECT_EQ(ReadFile(RegistryPath()), "// calendars\n[ ]");
}

TEST_P(CalendarListDeleteTest, ListReportsStatusesAndDeleteRemovesMatchesOnly) {
  const std::vector<Listed> cases = {
      {Entry("Full", "docs", "docs"), "normal"},
      {Entry("NoStore", "docs", "docs"), "crashed"},
      {Entry("NoPag", "docs", "docs"), "crashed"},
      {Entry("NoDir", "docs", "docs"), "normal"},
      {Entry("Gone", "docs", "docs"), "noexist"},
      {Entry("Lost", "nowhere", "nowhere"), "noexist"},
      {Entry("Cal", "alice/x", "homes"), "noexist"},
  };
  MakeCalendarFolder(docs_ + "/Full");
  ASSERT_EQ(mkdir((docs_ + "/NoStore").c_str(), 0777), 0);
  std::filesystem::create_directories(docs_ + "/NoPag/.DAV");
  MakeCalendarFolder(docs_ + "/NoDir");
  std::filesystem::remove(docs_ + "/NoDir/.DAV/.state_for_dir.dir");
  Json::Value registry;
  const Json::Value items = ListAfterRegistering(cases, &registry);
  registry[6]["destination"] = "homes/alice/x";  // the homes upgrade, id included
  for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
    Json::Value expected = registry[i];
    expected["status"] = cases[i].status;
    expected["id"] = IdAnswer(registry[i])["id"];
    EXPECT_EQ(items[i], expected);
  }
  EXPECT_TRUE(fake::Logged("CANNOT GET THE SHARE nowhere"));
  EXPECT_EQ(ReadFile(RegistryPath()), registry.toStyledString());
  EXPECT_EQ(fake::Actions(), std::vector<std::string>());

  // Ids are whole, case-sensitive strings; other elements match nothing.
  ResetPlatform();
  const KIVO::APIResponse response =
      Call(kind().remove, Ids(Array({"NoStore:docs", "Full:docs", Json::Value(Json::arrayValue),
                                     "Full:docs", "Gone:docs", "Lost:nowhere", "Cal:homes/alice/x",
                                     "nopag:docs", "NoDir:docs/", 7, Json::Value()})));
  ASSERT_TRUE(response.success());
  EXPECT_TRUE(response.data().isNull());
  // Folders are removed by the module itself, relative to their parents.
  EXPECT_EQ(fake::Actions(), std::vector<std::string>());
  EXPECT_FALSE(Exists(docs_ + "/Full"));
  EXPECT_FALSE(Exists(docs_ + "/NoStore"));
  EXPECT_TRUE(Exists(docs_ + "/NoDir/.DAV"));
  EXPECT_TRUE(fake::Logged("CANNOT GET THE SHARE nowhere"));
  EXPECT_EQ(
      ReadFile(RegistryPath()),
      Array({Entry("NoPag", "docs", "docs"), Entry("NoDir", "docs", "docs")}).toStyledString());
}

// One lookup per share and call, by directory as by full path, a missing share told per entry.
TEST_P(CalendarListDeleteTest, ListLooksEachShareUpOncePerCall) {
  const std::string gone = Path("volume1/gone");
  fake::P().shares["gone"] = gone;  // its directory does not exist
  const std::vector<Listed> cases = {
      {Entry("A", "docs", "docs"), "normal"},
      {Entry("B", "docs//sub", "docs"), "normal"},     // docs_//sub/B
      {Entry("C", "docs/../docs", "docs"), "normal"},  // docs_/../docs/C
      {Entry("D", "docs/sub", "docs"), "crashed"},
      {Entry("E", "gone", "gone"), "noexist"},
      {Entry("F", "nowhere", "nowhere"), "noexist"},
      {Entry("G", "gone", "gone"), "noexist"},
      {Entry("H", "nowhere", "nowhere"), "noexist"},
  };
  for (const char* folder : {"/A", "/sub/B", "/C"}) MakeCalendarFolder(docs_ + folder);
  ASSERT_EQ(mkdir((docs_ + "/sub/D").c_str(), 0777), 0);
  Json::Value registry;
  ListAfterRegistering(cases, &registry);
  EXPECT_THAT(fake::CallsOf("KIVOShareGet"),
              ElementsAre("KIVOShareGet(docs)", "KIVOShareGet(gone)", "KIVOShareGet(nowhere)"));
  EXPECT_EQ(fake::LogCount("CANNOT GET THE SHARE nowhere"), 2);

  // The next call looks again: the share has moved where its calendars are.
  fake::P().calls.clear();
  fake::P().shares["gone"] = docs_;
  const Json::Value again = Call(kind().list).data()["item"];
  EXPECT_EQ(again[4]["status"], "noexist");  // docs_/E
  EXPECT_EQ(again[0]["status"], "normal");
  EXPECT_EQ(fake::CallsOf("KIVOShareGet").size(), 3u);
  MakeCalendarFolder(docs_ + "/E");
  EXPECT_EQ(Call(kind().list).data()["item"][4]["status"], "normal");
}

TEST_P(CalendarListDeleteTest, UnusableRegistryFailsWith1704AndStaysAsItWas) {
  const std::string no_id = Named(
      "[{\"calendarname\":\"A\",\"destination\":\"docs\",\"share\":\"docs\"},"
      "{\"calendarname\":\"B\",\"share\":\"docs\"}]");
  const Json::Value none(Json::objectValue), delete_a = Ids(Array({"A:docs"}));
  const char* parse = "Cannot parse json format from file";
  const struct {
    APIEntryFunc api;
    Json::Value params;
    std::string content;
    const char* message;
  } cases[] = {
      {kind().list, none, "", parse},
      {kind().list, none, Named("[{\"calendarname\": \"A\","), parse},
      {kind().list, none, Named("{\"calendarname\": \"A\"}"), parse},  // not an array
      {kind().list, none, "[\"A\"]", parse},                           // not an entry
      {kind().list, none, Named("[{\"calendarname\": 1, \"destination\": \"docs\"}]"), parse},
      // Nesting no registry has, deeper than its reader is let go (17 brackets).
      {kind().list, none,
       Named("[{\"calendarname\": \"A\", \"destination\": \"docs\", \"x\": " +
             std::string(15, '[') + std::string(15, ']') + "}]"),
       parse},
      {kind().remove, delete_a, "[", parse},
      {kind().list, none, no_id, "wrong parameter"},
      {kind().create, CreateParams("docs", "X", docs_, "docs"), no_id, "wrong parameter"},
      // Deliberately (docs/API.md): A, before the entry without an id, keeps its folder too.
      {kind().remove, delete_a, no_id, "wrong parameter"},
  };
  for (const auto& c : cases) {
    ResetPlatform();
    MakeCalendarFolder(docs_ + "/A");
    WriteFile(RegistryPath(), c.content);
    KIVO::APIResponse response = Call(c.api, c.params);
    EXPECT_EQ(response.error_code(), 1704) << c.message;
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    EXPECT_TRUE(response.data().isNull());
    EXPECT_TRUE(Exists(docs_ + "/A"));
    EXPECT_FALSE(Exists(docs_ + "/X"));
    EXPECT_EQ(ReadFile(RegistryPath()), c.content);
  }
}

// Registered paths that are no folder (a link out of every share too) list as "crashed"; a
// delete drops only their entry, a set refuses to move them.
TEST_P(CalendarListDeleteTest, DamagedCalendarsListAsCrashedAndLoseOnlyTheirEntry) {
  const std::string private_dir = Path("outside/private");  // root's alone
  ASSERT_EQ(mkdir(private_dir.c_str(), 0700), 0);
  MakeCalendarFolder(private_dir + "/There");
  WriteFile(docs_ + "/File", "x");
  ASSERT_EQ(mkfifo((docs_ + "/Fifo").c_str(), 0666), 0);
  ASSERT_EQ(symlink((private_dir + "/There").c_str(), (docs_ + "/OutThere").c_str()), 0);
  ASSERT_EQ(symlink((private_dir + "/Gone").c_str(), (docs_ + "/OutGone").c_str()), 0);
  const char* names[] = {"File", "Fifo", "OutThere", "OutGone"};
  std::vector<Listed> cases;
  Json::Value registry, ids(Json::arrayValue);
  std::map<std::string, mode_t> kinds;
  for (const char* name : names) {
    cases.push_back({Entry(name, "docs", "docs"), "crashed"});
    ids.append(std::string(name) + ":docs");
    struct stat st;
    ASSERT_EQ(lstat((docs_ + "/" + name).c_str(), &st), 0);
    kinds[name] = st.st_mode;
  }
  ListAfterRegistering(cases, &registry);
  for (const char* name : {"File", "OutThere"}) {
    Json::Value edit = CreateParams("docs", "Moved", docs_, "docs");
    edit["id"] = std::string(name) + ":docs";
    ResetPlatform();
    EXPECT_EQ(Call(kind().set, edit).error_code(), 1704) << name;
    EXPECT_TRUE(fake::Logged("cannot mv folder"));
    EXPECT_FALSE(Exists(docs_ + "/Moved"));
  }
  EXPECT_EQ(ReadFile(RegistryPath()), registry.toStyledString());
  EXPECT_TRUE(Call(kind().remove, Ids(ids)).success());
  EXPECT_EQ(ReadFile(RegistryPath()), "[]\n");
  for (const char* name : names) {
    struct stat st;
    ASSERT_EQ(lstat((docs_ + "/" + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode, kinds[name]) << name;
  }
  EXPECT_TRUE(Exists(private_dir + "/There/.DAV/.state_for_dir.pag"));
}

// Where trusted attributes are refused (a private ramfs) calendars are known by name; said once.
TEST_P(CalendarListDeleteTest, WithoutTrustedAttributesCalendarsAreKnownByName) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
      mount("ramfs", docs_.c_str(), "ramfs", 0, "mode=0777") != 0) {
    GTEST_SKIP() << "no private mount namespace here";
  }
  for (const char* name : {"A", "B"}) {
    ASSERT_TRUE(Call(kind().create, CreateParams("docs", name, docs_, "docs")).success());
  }
  const Json::Value items = Call(kind().list).data()["item"];
  ASSERT_EQ(items.size(), 2u);
  for (const Json::Value& item : items) EXPECT_EQ(item["status"], "normal");
  EXPECT_EQ(fake::LogCount(std::string("refuses ") + kind().kind->attribute), 1);
  Json::Value edit = CreateParams("docs", "C", docs_, "docs");
  edit["id"] = "A:docs";
  EXPECT_TRUE(Call(kind().set, edit).success());
  EXPECT_TRUE(Exists(docs_ + "/C/.DAV/.state_for_dir.pag"));
  EXPECT_TRUE(Call(kind().remove, Ids(Array({"C:docs", "B:docs"}))).success());
  EXPECT_FALSE(Exists(docs_ + "/B"));
  EXPECT_FALSE(Exists(docs_ + "/C"));
  umount2(docs_.c_str(), MNT_DETACH);
}

class CalendarSetTest : public KindTest {
 protected:
  // Calendars Other and Work in docs, and an empty folder docs/team.
  void Seed() {
    std::filesystem::remove_all(docs_);
    MakeCalendarFolder(docs_ + "/Work");
    MakeCalendarFolder(docs_ + "/Other");
    std::filesystem::create_directories(docs_ + "/team");
    WriteFile(RegistryPath(), RegistryWith(Entry("Work", "docs", "docs")).toStyledString());
  }

  static Json::Value Edit(const std::string& name, const std::string& fullpath,
                          const std::string& destination = "docs",
                          const std::string& share = "docs", const std::string& id = "Work:docs") {
    Json::Value params = CreateParams(destination, name, fullpath, share);
    params["id"] = id;
    return params;
  }

  // The seeded registry with its second entry replaced.
  static Json::Value RegistryWith(const Json::Value& second) {
    return Array({Entry("Other", "docs", "docs"), second});
  }
};

TEST_P(CalendarSetTest, EditsMoveTheFolderAndReplaceTheEntry) {
  ASSERT_EQ(mkdir((homes_ + "/alice/Cal").c_str(), 0755), 0);
  const std::string team = docs_ + "/team";
  const struct {
    Json::Value params;
    std::string folder;  // where the calendar ends up; empty: it had vanished
    Json::Value entry;
  } cases[] = {
      {Edit("Home", docs_), docs_ + "/Home", Entry("Home", "docs", "docs")},
      // No fullpath: the share and destination give the folder.
      {Edit("Work", "", "docs/team"), team + "/Work", Entry("Work", "docs/team", "docs")},
      // A fullpath places the folder; the destination makes the entry.
      {Edit("New", team), team + "/New", Entry("New", "docs", "docs")},
      {Edit("Mine", "", "home/Cal", "home"), homes_ + "/alice/Cal/Mine",
       Entry("Mine", "homes/alice/Cal", "homes")},
      {Edit("Work", ""), "", Entry("Work", "docs", "docs")},
  };
  for (const auto& c : cases) {
    Seed();
    if (c.folder.empty()) std::filesystem::remove_all(docs_ + "/Work");
    ResetPlatform();
    SCOPED_TRACE(IdAnswer(c.entry).toStyledString());
    KIVO::APIResponse response = Call(kind().set, c.params);
    ASSERT_TRUE(response.success()) << response.error_code();
    EXPECT_EQ(response.data(), IdAnswer(c.entry));
    const char* state = c.folder.empty() ? "" : kTemplateText;  // vanished: no file to read
    EXPECT_EQ(ReadFile(c.folder + "/.DAV/.state_for_dir.pag"), state);
    EXPECT_EQ(fake::Actions(), std::vector<std::string>());  // moved by the module itself
    EXPECT_EQ(ReadFile(RegistryPath()), RegistryWith(c.entry).toStyledString());
  }
}

TEST_P(CalendarSetTest, RefusalsChangeNothing) {
  Seed();
  const std::string text = ReadFile(RegistryPath());
  Json::Value no_id = Edit("New", docs_);
  no_id.removeMember("id");
  Json::Value numeric_path = Edit("New", docs_);
  numeric_path["fullpath"] = 5;
  const struct {
    Json::Value params;
    int code;
    std::string message;
  } cases[] = {
      {no_id, 1705, "cannot get the paramter: id"},
      {numeric_path, 1705, "wrong the paramter: fullpath"},
      {Edit("New", docs_, "docs", "docs", "Nope:docs"), 1705, "Doesn't found ID Nope:docs"},
      {Edit("New", docs_ + "/missing"), 1703, "Path [" + docs_ + "/missing] nonexist"},
      {Edit("New", Path("outside")), 1705, "path[" + Path("outside") + "] doesn't have share name"},
      {Edit("..", docs_), 1705, "[..] basename is invalid"},
      {Edit("Work", docs_), 1702, "Path [" + docs_ + "/Work] exist"},
      {Edit("Other", docs_), 1702, "Path [" + docs_ + "/Other] exist"},
      {Edit("New", "", "docs", "nowhere"), 1704, "CANNOT GET THE SHARE nowhere"},
      {Edit("Inner", docs_ + "/Work"), 1704, "cannot mv folder"},  // into itself
  };
  for (const auto& c : cases) {
    ResetPlatform();
    KIVO::APIResponse response = Call(kind().set, c.params);
    EXPECT_EQ(response.error_code(), c.code) << c.message;
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    EXPECT_EQ(fake::Actions(), std::vector<std::string>());
    EXPECT_TRUE(Exists(docs_ + "/Work/.DAV"));
    EXPECT_EQ(ReadFile(RegistryPath()), text);
  }
  std::filesystem::remove(RegistryPath());
  EXPECT_EQ(Call(kind().set, Edit("New", docs_)).error_code(), 1704);
  EXPECT_TRUE(fake::Logged("no file SZF_CALENDAR_INFO"));
  EXPECT_FALSE(Exists(RegistryPath()));
}

// What the location check accepts (a linked parent, a trailing "/", a "." step) every later
// step accepts: the calendar is listed, renamed and deleted where it really is, and a link
// standing for its folder is deleted with it.
TEST_P(CalendarSetTest, LinkedParentsTrailingSlashesAndDotsWorkThroughout) {
  const struct {
    const char* destination;
    const char* fullpath;  // below docs
    const char* name;
  } cases[] = {
      {"docs/teamlink", "/teamlink", "Work"},
      {"docs/team", "/team", "Work/"},
      {"docs/./team", "/./team", "Work"},
  };
  const std::string team = docs_ + "/team";
  ASSERT_EQ(mkdir(team.c_str(), 0777), 0);
  ASSERT_EQ(chmod(team.c_str(), 0777), 0);
  ASSERT_EQ(symlink(team.c_str(), (docs_ + "/teamlink").c_str()), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.destination) + " " + c.name);
    std::filesystem::remove(RegistryPath());
    ResetPlatform();
    const Json::Value made =
        Call(kind().create, CreateParams(c.destination, c.name, docs_ + c.fullpath, "docs")).data();
    const std::string id = std::string(c.name) + ":" + c.destination;
    ASSERT_EQ(made["id"], id);
    EXPECT_EQ(ReadFile(team + "/Work/.DAV/.state_for_dir.pag"), kTemplateText);
    EXPECT_EQ(Call(kind().list).data()["item"][0]["status"], "normal");

    // Renamed where it is, then made again and deleted.
    Json::Value edit = Edit("Renamed", docs_ + c.fullpath, c.destination, "docs", id);
    ASSERT_TRUE(Call(kind().set, edit).success());
    EXPECT_TRUE(Exists(team + "/Renamed/.DAV/.state_for_dir.pag"));
    EXPECT_FALSE(Exists(team + "/Work"));
    ASSERT_TRUE(Call(kind().create, CreateParams(c.destination, c.name, docs_ + c.fullpath, "docs"))
                    .success());
    ASSERT_TRUE(Call(kind().remove, Ids(Array({id}))).success());
    EXPECT_FALSE(Exists(team + "/Work"));
    EXPECT_TRUE(Exists(team + "/Renamed/.DAV"));
    EXPECT_EQ(ReadFile(RegistryPath()),
              Array({Entry("Renamed", c.destination, "docs")}).toStyledString());
    std::filesystem::remove_all(team + "/Renamed");
  }
  // A folder a file manager moved away, leaving a link at its name: the
  // link goes with the folder, and nothing else.
  std::filesystem::remove(RegistryPath());
  ResetPlatform();
  ASSERT_TRUE(Call(kind().create, CreateParams("docs/team", "Work", team, "docs")).success());
  ASSERT_EQ(mkdir((docs_ + "/away").c_str(), 0777), 0);
  ASSERT_EQ(rename((team + "/Work").c_str(), (docs_ + "/away/Work").c_str()), 0);
  ASSERT_EQ(symlink((docs_ + "/away/Work").c_str(), (team + "/Work").c_str()), 0);
  ASSERT_TRUE(Call(kind().remove, Ids(Array({"Work:docs/team"}))).success());
  EXPECT_FALSE(Exists(docs_ + "/away/Work"));
  EXPECT_FALSE(std::filesystem::is_symlink(team + "/Work"));
  EXPECT_TRUE(Exists(docs_ + "/away"));
  EXPECT_TRUE(Exists(team));
}

KIND_TEST_SUITE(CalendarListDeleteTest);
KIND_TEST_SUITE(CalendarSetTest);

}  // namespace
}  // namespace calendar_test
