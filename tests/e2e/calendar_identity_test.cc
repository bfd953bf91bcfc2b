// Calendars known by their folder's identity, end to end: a folder swapped in is never taken for
// the calendar; one judgement serves every method; a killed or failing change ends whole, for
// address books (the CardDAV module, the calendars' code for another kind) as for calendars.

#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/shim.h"

namespace e2e {
namespace {

constexpr char kItem[] = "BEGIN:VCALENDAR\nEND:VCALENDAR\n";
constexpr char kAddressBook[] = "KIVO.Core.FileServ.WebDAV.CardDAV.AddressBook";

// A root with shares public (open to all), docs and, when asked, vol2 on a private tmpfs; its
// collections calendars, or address books when asked.
class Scene {
 public:
  explicit Scene(bool second_volume = false, bool address_books = false)
      : api_(address_books ? kAddressBook : kCalendar),
        kind_file_(address_books ? "addressbook" : "calendar") {
    if (!root.ok()) return;
    public_ = root.Path("/volume1/public");
    docs_ = root.Path("/volume1/docs");
    chmod(public_.c_str(), 0777);
    mkdir(docs_.c_str(), 0777);
    chmod(docs_.c_str(), 0777);
    if (second_volume) {
      volume2_ = root.Path("/volume2");
      mkdir(volume2_.c_str(), 0755);
      if (mount("tmpfs", volume2_.c_str(), "tmpfs", 0, "mode=0755") != 0) return;
      mounted_ = true;
      mkdir((volume2_ + "/t").c_str(), 0777);
      if (!AddShare(root, "vol2", volume2_)) return;
    }
    ready_ = AddShare(root, "docs", docs_);
  }
  ~Scene() {
    if (mounted_) umount2(volume2_.c_str(), MNT_DETACH);
  }

  bool ready() const { return ready_; }

  Result Call(const std::string& method, const Json::Value& params,
              const std::string& user = "admin") const {
    return root.Call(api_, method, Compact(Named(params)), user);
  }
  // Calendar parameters as this scene's kind names them.
  Json::Value Named(Json::Value params) const {
    if (api_ == kAddressBook && params.isMember("calendarname")) {
      params["addressbookname"] = params["calendarname"];
      params.removeMember("calendarname");
    }
    return params;
  }
  const char* api() const { return api_; }
  // The kind's registry and identity record.
  std::string Registry() const { return root.Path("/usr/kivo/etc/" + kind_file_ + ".info"); }
  std::string Record() const { return root.Path("/usr/kivo/etc/" + kind_file_ + ".ids"); }
  const std::string& kind_file() const { return kind_file_; }
  // A calendar `name` in public holding two items.
  bool Make(const std::string& name) const {
    if (Call("create", CalendarParams("public", "public", public_, name)).status != 0) return false;
    return WriteFile(public_ + "/" + name + "/a.ics", kItem) &&
           WriteFile(public_ + "/" + name + "/b.ics", kItem);
  }
  // id -> status, from a list.
  std::map<std::string, std::string> List() const {
    std::map<std::string, std::string> statuses;
    const Result r = Call("list", Json::Value(Json::objectValue));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const Json::Value& item : r.answer["data"]["item"]) {
      statuses[item["id"].asString()] = item["status"].asString();
    }
    return statuses;
  }
  // The identity record as the module reads it, line after line: the ids it holds a token for.
  std::set<std::string> RecordedIds() const {
    std::set<std::string> ids;
    for (const std::string& line : ReadLines(Record())) {
      ids.insert(line.substr(line.find(' ') + 1));
    }
    return ids;
  }
  // The changes under way (none when there is no record of them).
  size_t Pending() const {
    const std::string record = root.Path("/var/lib/kivo/changes-under-way.json");
    return Exists(record) ? ParseJson(Read(record))["changes"].size() : 0;
  }

  TestRoot root;
  std::string public_, docs_, volume2_;

 private:
  const char* api_;
  std::string kind_file_;
  bool mounted_ = false;
  bool ready_ = false;
};

// Every path below `dir` that a move or removal could leave behind.
std::vector<std::string> Leftovers(const std::string& dir) {
  std::vector<std::string> left;
  for (const std::string& path : Tree(dir)) {
    if (path.find(".kivo-move-") != std::string::npos) left.push_back(path);
  }
  return left;
}

// Runs `fn` as `uid` in a child; true when it succeeded.
template <typename F>
bool AsUser(uid_t uid, F fn) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(3);
    _exit(fn() ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// Alice puts bob's calendar folder at her own calendar's name: root neither removes nor moves it.
TEST(CalendarIdentityTest, AFolderSwappedInAtACalendarsNameIsNeverTakenForIt) {
  Scene scene;
  ASSERT_TRUE(scene.ready()) << scene.root.init_result().err;
  ASSERT_TRUE(scene.root.AddUser("alice"));
  ASSERT_TRUE(scene.root.AddUser("bob"));
  for (const char* user : {"alice", "bob"}) {
    const std::string name = std::string(user) + "s";
    ASSERT_EQ(
        scene.Call("create", CalendarParams("public", "public", scene.public_, name), user).status,
        0);
  }
  const std::string alices = scene.public_ + "/alices", bobs = scene.public_ + "/bobs";
  ASSERT_TRUE(WriteFile(bobs + "/bob.ics", kItem));
  ASSERT_EQ(chown((bobs + "/bob.ics").c_str(), StatOf(bobs).st_uid, StatOf(bobs).st_gid), 0);
  ASSERT_TRUE(AsUser(StatOf(alices).st_uid, [&] {
    return rename(alices.c_str(), (alices + ".away").c_str()) == 0 &&
           rename(bobs.c_str(), alices.c_str()) == 0;
  }));
  const std::set<std::string> before = Tree(scene.public_);

  EXPECT_EQ(scene.Call("delete", IdList("alices:public")).answer, Refusal(1704));
  EXPECT_EQ(
      scene.Call("set", CalendarParams("public", "public", scene.public_, "Mine", "alices:public"))
          .answer,
      Refusal(1704));
  EXPECT_EQ(Tree(scene.public_), before);
  EXPECT_EQ(Read(alices + "/bob.ics"), kItem) << "bob's folder, untouched";
  const std::map<std::string, std::string> listed = {{"alices:public", "crashed"},
                                                     {"bobs:public", "noexist"}};
  EXPECT_EQ(scene.List(), listed);

  // Back in their places, both are whole and act as before.
  ASSERT_EQ(rename(alices.c_str(), bobs.c_str()), 0);
  ASSERT_EQ(rename((alices + ".away").c_str(), alices.c_str()), 0);
  const std::map<std::string, std::string> normal = {{"alices:public", "normal"},
                                                     {"bobs:public", "normal"}};
  EXPECT_EQ(scene.List(), normal);
  EXPECT_EQ(scene.Call("delete", IdList("alices:public")).status, 0);
  EXPECT_FALSE(Exists(alices));
  EXPECT_EQ(Read(bobs + "/bob.ics"), kItem);
}

// A removal killed once it was recorded, by the previous version (a "pending" line in the identity
// record), goes on at the next call, on the folder carrying the calendar's token alone: a folder
// put at the calendar's name meanwhile stays, and so does the calendar's own folder moved aside.
TEST(CalendarIdentityTest, ARemovalEndedLaterTakesOnlyTheCalendarsOwnFolder) {
  Scene scene;
  ASSERT_TRUE(scene.ready()) << scene.root.init_result().err;
  ASSERT_TRUE(scene.Make("Cal"));
  const std::string record = scene.root.Path("/usr/kivo/etc/calendar.ids");
  std::string token;
  for (const std::string& line : ReadLines(record)) {
    if (line.size() == 32 + 1 + strlen("Cal:public") && line.substr(33) == "Cal:public") {
      token = line.substr(0, 32);
    }
  }
  ASSERT_EQ(token.size(), 32u) << Read(record);
  const std::string folder = scene.public_ + "/Cal";
  ASSERT_EQ(rename(folder.c_str(), (folder + ".aside").c_str()), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
  ASSERT_TRUE(WriteFile(folder + "/mine.txt", "keep\n"));
  Json::Value removal(Json::objectValue);
  removal["op"] = "delete";
  removal["id"] = "Cal:public";
  removal["token"] = token;
  removal["from"] = std::filesystem::canonical(scene.public_).string();
  removal["name"] = "Cal";
  ASSERT_TRUE(WriteFile(record, Read(record) + "pending " + Compact(removal) + "\n"));

  EXPECT_TRUE(scene.List().empty()) << "the removal ended";
  EXPECT_EQ(scene.Pending(), 0u);
  EXPECT_EQ(Read(folder + "/mine.txt"), "keep\n") << "a folder without the token was removed";
  EXPECT_EQ(Read(folder + ".aside/a.ics"), kItem);
}

// A calendar made before tokens is adopted as found, then known by its folder like any other.
TEST(CalendarIdentityTest, CalendarsFromBeforeAreAdoptedAtTheirFirstUse) {
  Scene scene;
  ASSERT_TRUE(scene.ready()) << scene.root.init_result().err;
  ASSERT_TRUE(scene.Make("Old"));
  ASSERT_EQ(unlink(scene.root.Path("/usr/kivo/etc/calendar.ids").c_str()), 0);
  ASSERT_EQ(removexattr((scene.public_ + "/Old").c_str(), "trusted.kivo.calendar"), 0);
  EXPECT_EQ(scene.List().at("Old:public"), "normal");
  EXPECT_EQ(scene.RecordedIds(), std::set<std::string>{"Old:public"});
  ASSERT_EQ(rename((scene.public_ + "/Old").c_str(), (scene.public_ + "/Aside").c_str()), 0);
  ASSERT_EQ(mkdir((scene.public_ + "/Old").c_str(), 0777), 0);
  EXPECT_EQ(scene.List().at("Old:public"), "crashed");
}

// The record grows by appended lines: a line an append left cut is ignored, a record grown long
// with ended changes is written whole again, and the calendars stay known either way.
TEST(CalendarIdentityTest, ARecordCutOrGrownByAppendsIsWrittenWholeAtTheNextChange) {
  std::string ended;
  for (int i = 0; i < 100; ++i) ended += "done " + std::string(32, 'f') + "\n";
  for (const std::string& tail : {std::string("pending {\"op\":\"cre"), ended}) {
    Scene scene;
    ASSERT_TRUE(scene.ready()) << scene.root.init_result().err;
    ASSERT_TRUE(scene.Make("Cal"));
    const std::string record = scene.root.Path("/usr/kivo/etc/calendar.ids");
    ASSERT_TRUE(WriteFile(record, Read(record) + tail));
    EXPECT_EQ(scene.List().at("Cal:public"), "normal");
    ASSERT_TRUE(scene.Make("New"));
    // Cal's token and New's, the record written whole again.
    EXPECT_EQ(ReadLines(record).size(), 2u);
    EXPECT_EQ(scene.RecordedIds(), (std::set<std::string>{"Cal:public", "New:public"}));
    EXPECT_EQ(scene.Pending(), 0u);
    const std::map<std::string, std::string> normal = {{"Cal:public", "normal"},
                                                       {"New:public", "normal"}};
    EXPECT_EQ(scene.List(), normal);
  }
}

// An entry whose path leads out of every share by dot-dot names no folder: listed "crashed", never
// moved, only its entry deleted. (Links out, and links and dot-dot steps within the shares:
// CalendarListDeleteTest and CalendarSetTest; a stranger's folder at the path:
// AFolderSwappedInAtACalendarsNameIsNeverTakenForIt.)
TEST(CalendarIdentityTest, APathOutOfEveryShareNamesNoFolder) {
  Scene scene;
  ASSERT_TRUE(scene.ready()) << scene.root.init_result().err;
  const std::string outside = scene.root.Path("/outside");
  ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
  ASSERT_TRUE(WriteFile(outside + "/canary", "keep\n"));
  const std::string id = "Cal:docs/../../outside";
  const Result made =
      scene.Call("create", CalendarParams("docs", "docs/../../outside", scene.docs_, "Cal"));
  ASSERT_EQ(made.status, 0) << made.out << made.err;
  EXPECT_EQ(scene.List().at(id), "crashed");
  const std::set<std::string> before = Tree(scene.root.path() + "/volume1");
  EXPECT_EQ(scene.Call("set", CalendarParams("docs", "docs", "", "Renamed", id)).answer,
            Refusal(1704));
  const Result removed = scene.Call("delete", IdList(id));
  EXPECT_EQ(removed.status, 0) << removed.out;
  EXPECT_EQ(Tree(scene.root.path() + "/volume1"), before);
  EXPECT_TRUE(scene.List().empty());
  EXPECT_EQ(Tree(outside), std::set<std::string>{"/canary"});
}

// ---- killed and failing changes ----------------------------------------------------

struct Change {
  const char* name;
  bool second_volume;
  const char* method;
  Json::Value (*params)(const Scene&);
  const char* new_id;  // "" for a delete
  std::string (*new_folder)(const Scene&);
  bool creates = false;  // a calendar beside Cal, not Cal moved
  bool address_books = false;
};

const Change kChanges[] = {
    {"delete", false, "delete", [](const Scene&) { return IdList("Cal:public"); }, "",
     [](const Scene&) { return std::string(); }},
    {"rename", false, "set",
     [](const Scene& s) {
       return CalendarParams("public", "public", s.public_, "Renamed", "Cal:public");
     },
     "Renamed:public", [](const Scene& s) { return s.public_ + "/Renamed"; }},
    {"move_within_volume", false, "set",
     [](const Scene& s) { return CalendarParams("docs", "docs", s.docs_, "Cal", "Cal:public"); },
     "Cal:docs", [](const Scene& s) { return s.docs_ + "/Cal"; }},
    {"move_across_volumes", true, "set",
     [](const Scene& s) {
       return CalendarParams("vol2", "vol2/t", s.volume2_ + "/t", "Cal", "Cal:public");
     },
     "Cal:vol2/t", [](const Scene& s) { return s.volume2_ + "/t/Cal"; }},
    {"create", false, "create",
     [](const Scene& s) { return CalendarParams("public", "public", s.public_, "New"); },
     "New:public", [](const Scene& s) { return s.public_ + "/New"; }, true},
    {"addressbook_delete", false, "delete", [](const Scene&) { return IdList("Cal:public"); }, "",
     [](const Scene&) { return std::string(); }, false, true},
    {"addressbook_move", false, "set",
     [](const Scene& s) { return CalendarParams("docs", "docs", s.docs_, "Moved", "Cal:public"); },
     "Moved:docs", [](const Scene& s) { return s.docs_ + "/Moved"; }, false, true},
    {"addressbook_create", false, "create",
     [](const Scene& s) { return CalendarParams("public", "public", s.public_, "New"); },
     "New:public", [](const Scene& s) { return s.public_ + "/New"; }, true, true},
};

void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }

class CalendarChangeTest : public ::testing::TestWithParam<Change> {
 protected:
  void SetUp() override {
    if (GetParam().second_volume && !PrivateMounts()) {
      GTEST_SKIP() << "no private mount namespace here";
    }
  }

  // The change under the shim, with `extra` ("KIVO_SHIM_KILL=..." and the like).
  Result Run(const Scene& scene, const std::vector<std::string>& extra) {
    const Change& c = GetParam();
    return scene.root.WebApi({"call", "--user", "admin", scene.api(), "1", c.method,
                              Compact(scene.Named(c.params(scene)))},
                             "", ShimEnv(scene.root.path(), extra));
  }

  // After the next call: the calendar whole at its old or new place (or gone), nothing else left.
  void ExpectOldOrNew(const Scene& scene, bool* is_new) {
    const Change& c = GetParam();
    const std::map<std::string, std::string> listed = scene.List();
    const std::string old_folder = scene.public_ + "/Cal";
    const std::string new_folder = c.new_folder(scene);
    std::map<std::string, std::string> new_listing;
    if (*c.new_id != '\0') new_listing[c.new_id] = "normal";
    if (c.creates) new_listing["Cal:public"] = "normal";
    *is_new = listed == new_listing;
    if (!*is_new) {
      EXPECT_EQ(listed, (std::map<std::string, std::string>{{"Cal:public", "normal"}}));
    }
    const std::string at = *is_new && !c.creates ? new_folder : old_folder;
    if (!at.empty()) {
      EXPECT_EQ(Read(at + "/a.ics"), kItem);
      EXPECT_EQ(Read(at + "/b.ics"), kItem);
    }
    if (c.creates) {
      EXPECT_EQ(Exists(new_folder + "/.DAV/.state_for_dir.pag"), *is_new);
      EXPECT_EQ(Exists(new_folder), *is_new) << "a folder without its entry";
    } else {
      for (const std::string& other : {old_folder, new_folder}) {
        if (!other.empty() && other != at) {
          EXPECT_FALSE(Exists(other)) << other;
        }
      }
    }
    for (const std::string& dir : {scene.public_, scene.docs_, scene.volume2_}) {
      if (!dir.empty()) {
        EXPECT_THAT(Leftovers(dir), ::testing::IsEmpty()) << dir;
      }
    }
    EXPECT_EQ(scene.Pending(), 0u);
  }
};

// Killed in place of each write, fsync and rename below the root, the change is finished or
// undone by the next call, or by `init` before it. Failing there instead (EIO), the call answers
// success only when the change is made, 1704 otherwise, and the next call finds it made or undone
// (a delete drops its entries whatever the removal of their folders did: not failed here).
TEST_P(CalendarChangeTest, KilledOrFailingAtEveryStepTheChangeEndsWhole) {
  std::vector<ShimCall> calls;
  std::string share, registry, first_root, kind_file;
  {
    Scene scene(GetParam().second_volume, GetParam().address_books);
    ASSERT_TRUE(scene.ready());
    ASSERT_TRUE(scene.Make("Cal"));
    const Result done = Run(scene, {});
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    calls = ShimRecord(scene.root.path());
    share = scene.public_;
    registry = scene.Registry();
    kind_file = scene.kind_file();
    first_root = scene.root.path();
    bool is_new = false;
    ExpectOldOrNew(scene, &is_new);
    EXPECT_TRUE(is_new);
  }
  if (GetParam().creates) {
    // Four waits on the disk: the pending create recorded (synced, renamed into place, its
    // folder synced); the new registry synced together with the new folder's name in its parent,
    // both before the registry's rename; that rename synced. The identity record is never
    // replaced: the id's token comes appended, and the record of changes under way goes, with
    // the create's end, unsynced.
    const auto count = [&](const char* kind, const std::string& path) {
      return std::count_if(calls.begin(), calls.end(), [&](const ShimCall& c) {
        return c.kind == kind && c.path.find(path) != std::string::npos;
      });
    };
    EXPECT_EQ(count("rename", "/." + kind_file + ".ids."), 0);
    EXPECT_EQ(count("write", "/etc/" + kind_file + ".ids"), 1);
    EXPECT_EQ(count("rename", "/.changes-under-way.json."), 1);
    EXPECT_EQ(count("fsync", ""), 5);
    const auto at = [&](const char* kind, const std::string& path) {
      return std::find_if(calls.begin(), calls.end(), [&](const ShimCall& c) {
        return c.kind == kind && (c.path == path || c.second == path);
      });
    };
    EXPECT_LT(at("fsync", share), at("rename", registry))
        << "the new folder's name is on disk before the registry names it";
  }
  ASSERT_GT(calls.size(), 3u);
  int finished = 0, undone = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE("killed at " + ShimSelector(calls, i, first_root));
    Scene scene(GetParam().second_volume, GetParam().address_books);
    ASSERT_TRUE(scene.ready());
    ASSERT_TRUE(scene.Make("Cal"));
    const Result killed = Run(scene, {"KIVO_SHIM_KILL=" + ShimSelector(calls, i, first_root)});
    EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;
    // Every other time the host's start comes first.
    if (i % 2 == 1) {
      const Result init = scene.root.WebApi({"init"});
      EXPECT_EQ(init.status, 0) << init.err;
      EXPECT_EQ(scene.Pending(), 0u) << "init finished it";
    }
    bool is_new = false;
    ExpectOldOrNew(scene, &is_new);
    ++(is_new ? finished : undone);
    if (*GetParam().new_id == '\0') continue;
    Scene failing(GetParam().second_volume, GetParam().address_books);
    ASSERT_TRUE(failing.ready());
    ASSERT_TRUE(failing.Make("Cal"));
    const Result failed = Run(failing, {"KIVO_SHIM_FAIL=" + ShimSelector(calls, i, first_root)});
    if (failed.status != 0) {
      EXPECT_EQ(failed.answer, Refusal(1704)) << failed.out << failed.err;
    }
    const bool token_kept = failing.RecordedIds().count(GetParam().new_id) > 0;
    bool made = false;
    ExpectOldOrNew(failing, &made);
    if (failed.status == 0) {
      EXPECT_TRUE(made) << "answered as made";
      EXPECT_TRUE(token_kept) << "answered as made before its folder's token was on record";
    }
  }
  RecordProperty("finished", finished);
  RecordProperty("undone", undone);
  EXPECT_GT(undone, 0);
  EXPECT_GT(finished, 0);
}

// A full or failing disk at each write and fsync of a copy across volumes: the source stays whole.
class CalendarCopyFaultTest : public CalendarChangeTest {};

TEST_P(CalendarCopyFaultTest, DiskFaultsDuringACopyLeaveTheSourceWhole) {
  std::vector<ShimCall> calls;
  std::string first_root;
  {
    Scene scene(true);
    ASSERT_TRUE(scene.ready());
    ASSERT_TRUE(scene.Make("Cal"));
    ASSERT_EQ(Run(scene, {}).status, 0);
    calls = ShimRecord(scene.root.path());
    first_root = scene.root.path();
  }
  int faults = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    // The copy's own writes and syncs (its folder's sync comes once the copy is whole).
    if (calls[i].kind == "rename" || calls[i].path.find("/volume2/t/") == std::string::npos)
      continue;
    for (const int error : {EIO, ENOSPC}) {
      SCOPED_TRACE(ShimSelector(calls, i, first_root) + " " + strerror(error));
      Scene scene(true);
      ASSERT_TRUE(scene.ready());
      ASSERT_TRUE(scene.Make("Cal"));
      const Result failed = Run(scene, {"KIVO_SHIM_FAIL=" + ShimSelector(calls, i, first_root),
                                        "KIVO_SHIM_ERRNO=" + std::to_string(error)});
      EXPECT_EQ(failed.answer, Refusal(1704)) << failed.out << failed.err;
      bool is_new = true;
      ExpectOldOrNew(scene, &is_new);
      EXPECT_FALSE(is_new);
      ++faults;
    }
  }
  EXPECT_GE(faults, 8) << "writes and fsyncs of two items, the store and the folders";
}

std::string ChangeName(const ::testing::TestParamInfo<Change>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Changes, CalendarChangeTest, ::testing::ValuesIn(kChanges), ChangeName);
// Only a move across volumes copies.
INSTANTIATE_TEST_SUITE_P(Copies, CalendarCopyFaultTest, ::testing::Values(kChanges[3]), ChangeName);

}  // namespace
}  // namespace e2e
