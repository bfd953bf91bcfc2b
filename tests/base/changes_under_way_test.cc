// The record of changes under way: a process killed at each step of a change (and of its
// recovery) leaves what the recovery finishes or undoes, whole; changes begun back to back or by
// several processes at once are each recorded and ended alone; a change of a process still running
// is left to it; a record that is no regular file of root's, or no such JSON, is refused with
// nothing acted on; the previous version's records are taken in.

#include "base/changes_under_way.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/platform/temp_root.h"

namespace {

using kivo::base::ChangesUnderWay;
using kivo::base::ChangeUnderWay;

class ChangesUnderWayTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    ResetSettings();
  }
  void ResetSettings() {
    for (const char* file : {"/etc/a.conf", "/etc/b.conf", "/run/daemon"}) Write(file, "old");
  }

  std::string Record() const { return Path(ChangesUnderWay::kPath); }

  // What the two files of a settings change hold together, and the settings the daemon runs.
  std::string Settings() const {
    return Read("/etc/a.conf") + "," + Read("/etc/b.conf") + "," + Read("/run/daemon");
  }

  static Json::Value Call(const std::string& method) {
    Json::Value call(Json::objectValue);
    call["api"] = "test";
    call["version"] = 1;
    call["method"] = method;
    call["account"] = "admin";
    call["params"] = Json::Value(Json::objectValue);
    return call;
  }

  // A change of the settings files `before`, replayed by its call; or one its finisher ends.
  static ChangeUnderWay SettingsChange(std::vector<std::string> before) {
    ChangeUnderWay change;
    change.kind = "settings";
    change.call = Call("set");
    change.replay = true;
    change.before = std::move(before);
    return change;
  }
  static ChangeUnderWay MadeChange(const std::string& folder = "") {
    ChangeUnderWay change;
    change.kind = "made";
    change.call = Call("finish");
    if (!folder.empty()) change.data["folder"] = folder;
    return change;
  }

  // A settings change as a module makes it: recorded with its two files as they were, the files
  // rewritten one after the other, the daemon restarted when the first setting changed (a call
  // that finds it already changed restarts nothing), ended. Dies at `kill_at` (0 before it is
  // recorded, 5 after it ended; -1 never).
  void SetBoth(int kill_at) {
    const auto step = [kill_at](int n) {
      if (n == kill_at) raise(SIGKILL);
    };
    step(0);
    std::string key;
    ASSERT_TRUE(ChangesUnderWay::Begin(SettingsChange({"/etc/a.conf", "/etc/b.conf"}), &key));
    step(1);
    const bool changed = Read("/etc/a.conf") != "new";
    Write("/etc/a.conf", "new");
    step(2);
    Write("/etc/b.conf", "new");
    step(3);
    if (changed) Write("/run/daemon", "new");
    step(4);
    ASSERT_TRUE(ChangesUnderWay::End({key}, true));
    step(5);
  }

  // A change whose finisher reads its data: a folder made, then registered (a file naming it);
  // finished when registered, else the folder goes.
  void MakeAndRegister(int kill_at) {
    const auto step = [kill_at](int n) {
      if (n == kill_at) raise(SIGKILL);
    };
    std::string key;
    ASSERT_TRUE(ChangesUnderWay::Begin(MadeChange("/srv/cal"), &key));
    step(1);
    std::filesystem::create_directories(Path("/srv/cal"));
    step(2);
    Write("/srv/registry", "/srv/cal");
    step(3);
    ASSERT_TRUE(ChangesUnderWay::End({key}, false));
    step(4);
  }
  bool FinishMade() {
    Json::Value changes;
    if (!ChangesUnderWay::Read("made", &changes)) return false;
    std::vector<std::string> keys;
    for (const Json::Value& change : changes) {
      const std::string folder = change["data"]["folder"].asString();
      if (Read("/srv/registry") != folder) std::filesystem::remove_all(Path(folder));
      keys.push_back(change["key"].asString());
    }
    return ChangesUnderWay::End(keys, true);
  }

  // Runs `body` in a child and expects it killed (or ended, when it never reaches its kill).
  static void InChild(const std::function<void()>& body) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      body();
      _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ||
                (WIFEXITED(status) && WEXITSTATUS(status) == 0))
        << status;
  }

  // The recovery as a host runs it, the recorded calls going to the code above.
  bool Recover(int replay_kill_at = -1, int* runs = nullptr) {
    return kivo::base::FinishChangesUnderWay([&](const Json::Value& call) {
      if (runs != nullptr) ++*runs;
      if (call["method"] == "finish") return FinishMade();
      SetBoth(replay_kill_at);
      return !::testing::Test::HasFailure();
    });
  }

  std::string root_;
};

// Killed before each step of a settings change, and again before each step of the replay that
// the next recovery runs: once recorded, the change ends whole with the new settings.
TEST_F(ChangesUnderWayTest, ASettingsChangeKilledAtEachStepIsRunAgainWhole) {
  for (int kill_at = 0; kill_at <= 5; ++kill_at) {
    for (int replay_kill_at = -1; replay_kill_at <= 5; ++replay_kill_at) {
      SCOPED_TRACE(std::to_string(kill_at) + " then " + std::to_string(replay_kill_at));
      ResetSettings();
      InChild([&] { SetBoth(kill_at); });
      InChild([&] { Recover(replay_kill_at); });
      EXPECT_TRUE(Recover());
      EXPECT_EQ(Settings(), kill_at == 0 ? "old,old,old" : "new,new,new");
      EXPECT_FALSE(std::filesystem::exists(Record()));
      int runs = 0;
      EXPECT_TRUE(Recover(-1, &runs));
      EXPECT_EQ(runs, 0) << "nothing left";
    }
  }
}

// A change finished by its own finisher: a create killed before it registered is undone, one
// registered is done; the record is empty either way.
TEST_F(ChangesUnderWayTest, AChangeKilledAtEachStepIsFinishedOrUndoneByItsFinisher) {
  for (int kill_at = 1; kill_at <= 4; ++kill_at) {
    SCOPED_TRACE(kill_at);
    std::filesystem::remove_all(Path("/srv"));
    InChild([&] { MakeAndRegister(kill_at); });
    EXPECT_TRUE(Recover());
    const bool registered = kill_at >= 3;
    EXPECT_EQ(std::filesystem::exists(Path("/srv/cal")), registered);
    EXPECT_EQ(Read("/srv/registry") == "/srv/cal", registered);
    Json::Value left;
    ASSERT_TRUE(ChangesUnderWay::Read("", &left));
    EXPECT_EQ(left.size(), 0u);
  }
}

// Two changes begun within one clock tick, by one process or by several at once: each is
// recorded, read in order, and ended alone; several changes with one finishing call run it once.
TEST_F(ChangesUnderWayTest, ChangesBegunBackToBackOrAtOnceAreEachRecordedAndEndedAlone) {
  std::string first, second;
  ASSERT_TRUE(ChangesUnderWay::Begin(MadeChange("/srv/one"), &first));
  ASSERT_TRUE(ChangesUnderWay::Begin(MadeChange("/srv/two"), &second));
  EXPECT_NE(first, second);
  Json::Value changes;
  ASSERT_TRUE(ChangesUnderWay::Read("made", &changes));
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0]["data"]["folder"], "/srv/one");
  EXPECT_EQ(changes[1]["data"]["folder"], "/srv/two");
  ASSERT_TRUE(ChangesUnderWay::End({first}, false));
  ASSERT_TRUE(ChangesUnderWay::Read("", &changes));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0]["key"], second);
  ASSERT_TRUE(ChangesUnderWay::End({second}, true));

  constexpr int kWriters = 8;
  std::vector<pid_t> writers;
  for (int i = 0; i < kWriters; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string key;
      _exit(ChangesUnderWay::Begin(MadeChange("/srv/" + std::to_string(i)), &key) ? 0 : 1);
    }
    writers.push_back(pid);
  }
  for (const pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ASSERT_TRUE(ChangesUnderWay::Read("made", &changes));
  EXPECT_EQ(changes.size(), static_cast<unsigned>(kWriters)) << "none lost to another writer";
  int runs = 0;
  EXPECT_TRUE(Recover(-1, &runs));
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(std::filesystem::exists(Record()));
}

// A change another process still has under way is its own: no recovery replays it behind its
// back. Once that process is killed, the next recovery finishes it.
TEST_F(ChangesUnderWayTest, AChangeOfARunningProcessIsLeftToIt) {
  int go[2];
  int ready[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::string key;
    const bool begun = ChangesUnderWay::Begin(SettingsChange({"/etc/a.conf", "/etc/b.conf"}), &key);
    Write("/etc/a.conf", "new");
    char c = begun ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    while (read(go[0], &c, 1) < 0) {
    }
    _exit(0);
  }
  close(go[0]);
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  // Its owner is known by its start too: the 22nd field of the kernel's stat of it.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text{std::istreambuf_iterator<char>(stat), {}};
  std::istringstream after(text.substr(text.rfind(')') + 1));
  const std::vector<std::string> fields{std::istream_iterator<std::string>(after), {}};
  ASSERT_GT(fields.size(), 19u) << text;
  Json::Value record;
  std::istringstream in(Read(ChangesUnderWay::kPath));
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &record, nullptr));
  EXPECT_EQ(record["changes"][0]["owner"]["since"].asString(), fields[19]);
  int runs = 0;
  EXPECT_TRUE(Recover(-1, &runs));
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(Settings(), "new,old,old") << "left as the running process has it";
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(go[1]);
  close(ready[0]);
  EXPECT_TRUE(Recover(-1, &runs));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(Settings(), "new,new,new");
}

// A record that is garbage, of another shape, a FIFO, a link, a folder or writable by others is
// refused: nothing begun, nothing run, and it stays as it is for the operator.
TEST_F(ChangesUnderWayTest, ARecordThatIsNoRecordOfRootsIsRefusedAndLeftAlone) {
  std::string good_key;
  ASSERT_TRUE(ChangesUnderWay::Begin(MadeChange(), &good_key));
  const std::string good = Read(ChangesUnderWay::kPath);
  Write("/elsewhere.json", good);
  const std::string elsewhere = Path("/elsewhere.json");
  // Each plants the record at `p`, below the root.
  struct Case {
    const char* name;
    std::function<void(const std::string&)> plant;
  };
  const Case cases[] = {
      {"garbage", [&](const std::string& p) { Write(p, "{\"changes\": [{\"key\": \"x\""); }},
      {"another shape", [&](const std::string& p) { Write(p, R"({"changes": [{"key": 1}]})"); }},
      {"a change without its owner",
       [&](const std::string& p) {
         Json::Value record;
         std::istringstream in(good);
         ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &record, nullptr));
         record["changes"][0].removeMember("owner");
         Write(p, Json::writeString(Json::StreamWriterBuilder(), record));
       }},
      {"not an object", [&](const std::string& p) { Write(p, "[]"); }},
      {"a FIFO", [&](const std::string& p) { ASSERT_EQ(mkfifo(Path(p).c_str(), 0600), 0); }},
      {"a link",
       [&](const std::string& p) { ASSERT_EQ(symlink(elsewhere.c_str(), Path(p).c_str()), 0); }},
      {"a folder", [&](const std::string& p) { ASSERT_EQ(mkdir(Path(p).c_str(), 0700), 0); }},
      {"writable by others",
       [&](const std::string& p) {
         Write(p, good);
         ASSERT_EQ(chmod(Path(p).c_str(), 0666), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Record());
    c.plant(ChangesUnderWay::kPath);
    struct stat before;
    ASSERT_EQ(lstat(Record().c_str(), &before), 0);
    std::string key;
    EXPECT_FALSE(ChangesUnderWay::Begin(MadeChange(), &key));
    Json::Value changes;
    EXPECT_FALSE(ChangesUnderWay::Read("", &changes));
    EXPECT_FALSE(ChangesUnderWay::End({good_key}, true));
    int runs = 0;
    EXPECT_FALSE(Recover(-1, &runs));
    EXPECT_EQ(runs, 0);
    struct stat after;
    ASSERT_EQ(lstat(Record().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ((after.st_mode & S_IFMT), (before.st_mode & S_IFMT));
    EXPECT_EQ(Read("/elsewhere.json"), good);
  }
}

// A settings file is recorded as it was up to the size the record keeps for each; a larger one
// refuses the change before anything is changed.
TEST_F(ChangesUnderWayTest, SettingsFilesAreRecordedUpToTheirBound) {
  for (const size_t size : {size_t{1} << 20, (size_t{1} << 20) + 1}) {
    SCOPED_TRACE(size);
    Write("/etc/a.conf", std::string(size, 'x'));
    std::string key;
    ASSERT_EQ(ChangesUnderWay::Begin(SettingsChange({"/etc/a.conf"}), &key),
              size == size_t{1} << 20);
    if (!key.empty()) {
      EXPECT_TRUE(ChangesUnderWay::End({key}, true));
    }
  }
}

// The previous version's records: a settings call in settings-under-way.json is replayed from the
// files as they were then; calendar.ids "pending" lines not ended by a "done" line are taken in
// once each.
TEST_F(ChangesUnderWayTest, ThePreviousVersionsRecordsAreTakenIn) {
  Write("/etc/a.conf", "new");  // the killed call's first step
  Json::Value old = Call("set");
  old["before"]["/etc/a.conf"] = "old";
  old["before"]["/etc/b.conf"] = "old";
  const std::string settings = "/var/lib/kivo/settings-under-way.json";
  Write(settings, Json::FastWriter().write(old));
  ASSERT_EQ(chmod(Path(settings).c_str(), 0600), 0);
  const std::string ids = "/usr/kivo/etc/calendar.ids";
  Write(ids, std::string(32, 'a') + " Cal:public\n" +
                 R"(pending {"op":"delete","id":"Cal:public","token":")" + std::string(32, 'a') +
                 "\"}\n" + R"(pending {"op":"create","id":"New:public","token":")" +
                 std::string(32, 'b') + "\"}\n" + "done " + std::string(32, 'b') + "\n" +
                 "pending {\"op\":\"cre");  // an append cut short
  ASSERT_EQ(chmod(Path(ids).c_str(), 0600), 0);

  ASSERT_TRUE(kivo::base::TakeInPreviousRecords());
  ASSERT_TRUE(kivo::base::TakeInPreviousRecords()) << "taken in once";
  EXPECT_FALSE(std::filesystem::exists(Path(settings)));
  Json::Value calendar;
  ASSERT_TRUE(ChangesUnderWay::Read("calendar", &calendar));
  ASSERT_EQ(calendar.size(), 1u);
  EXPECT_EQ(calendar[0]["data"]["op"], "delete");
  EXPECT_EQ(calendar[0]["call"]["method"], "list");
  EXPECT_FALSE(calendar[0]["replay"].asBool());

  int runs = 0;
  std::vector<std::string> methods;
  EXPECT_TRUE(kivo::base::FinishChangesUnderWay([&](const Json::Value& call) {
    methods.push_back(call["method"].asString());
    if (call["method"] == "set") SetBoth(-1);
    ++runs;
    return true;
  }));
  EXPECT_THAT(methods, ::testing::UnorderedElementsAre("set", "list"));
  EXPECT_EQ(Settings(), "new,new,new");
  Json::Value left;
  ASSERT_TRUE(ChangesUnderWay::Read("", &left));
  EXPECT_EQ(left.size(), 1u) << "the calendar's finisher ends its own";
}

}  // namespace
