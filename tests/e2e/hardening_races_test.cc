// A user with a shell races root's calendar creates, deletes and moves with links and swapped
// folders: nothing outside the user's home and the registry changes or disappears; and writers
// that race (processes and HTTP clients at once) lose nothing. Bounded. (Writers killed at each of
// their steps: ReplaceOrderTest, CalendarChangeTest, SettingsRecoveryTest.)

#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

constexpr int kMaxRounds = 300;
constexpr auto kBudget = std::chrono::seconds(4);

// Everything below `dir` as lstat sees it, content and link targets included.
std::map<std::string, std::string> Snapshot(const std::string& dir,
                                            const std::set<std::string>& skip) {
  std::map<std::string, std::string> state;
  for (const std::string& relative : Tree(dir, skip)) {
    const std::string path = dir + relative;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    std::string text = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
                       std::to_string(st.st_mode);
    if (S_ISREG(st.st_mode)) text += " " + Read(path);
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(path.c_str(), target, sizeof target);
      text += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    state[relative] = text;
  }
  return state;
}

// A process running as the user, repeating `attack` with the round the test publishes.
class Attacker {
 public:
  Attacker(uid_t uid, gid_t gid, std::function<void(int round, int phase)> attack) {
    shared_ = static_cast<std::atomic<int>*>(mmap(nullptr, 3 * sizeof(std::atomic<int>),
                                                  PROT_READ | PROT_WRITE,
                                                  MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    for (int i = 0; i < 3; ++i) new (&shared_[i]) std::atomic<int>(0);
    pid_ = fork();
    if (pid_ != 0) return;
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(3);
    for (;;) {
      const int phase = shared_[1].load();
      attack(shared_[0].load(), phase);
      shared_[2] = phase;           // a whole turn done in this phase
      if (phase != 1) usleep(100);  // nothing to race: leave the cores to the test
    }
  }
  ~Attacker() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    munmap(shared_, 3 * sizeof(std::atomic<int>));
  }
  Attacker(const Attacker&) = delete;
  Attacker& operator=(const Attacker&) = delete;

  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
  void Publish(int round, int phase = 1) {
    shared_[0] = round;
    shared_[1] = phase;
    shared_[2] = -1;
  }
  // Publishes phase 0 and waits until the attacker ended a turn in it (its swaps undone).
  void Pause(int round) {
    Publish(round, 0);
    for (int i = 0; i < 20000 && shared_[2] != 0 && running(); ++i) usleep(100);
  }

 private:
  pid_t pid_ = -1;
  std::atomic<int>* shared_ = nullptr;
};

// Swaps `dir` for a link to `target` and back, each state long enough to be seen by one step.
void SwapForLink(const std::string& dir, const std::string& target) {
  if (rename(dir.c_str(), (dir + ".real").c_str()) != 0) return;
  (void)!symlink(target.c_str(), dir.c_str());
  usleep(200);
  unlink(dir.c_str());
  rename((dir + ".real").c_str(), dir.c_str());
  usleep(200);
}

class HardeningRacesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob"));
    home_ = root_.Path("/volume1/homes/bob");
    const struct stat st = StatOf(home_);
    uid_ = st.st_uid;
    gid_ = st.st_gid;
    ASSERT_NE(uid_, 0u);
    // Root's own: a folder with a calendar-named folder in it, and a secret.
    rootonly_ = root_.Path("/outside/rootonly");
    ASSERT_EQ(mkdir(root_.Path("/outside").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(rootonly_.c_str(), 0755), 0);
    for (int k = 0; k < 4; ++k) {
      const std::string name = rootonly_ + "/C" + std::to_string(k);
      ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
      ASSERT_TRUE(WriteFile(name + "/canary", "root's\n"));
    }
    ASSERT_TRUE(WriteFile(root_.Path("/outside/secret"), "secret\n"));
    ASSERT_EQ(chmod(root_.Path("/outside/secret").c_str(), 0600), 0);
    before_ = Disk();
  }

  // Everything but the user's home, the registry, the lock files of the record of changes under
  // way (the record itself goes once nothing is under way) and the logs.
  std::map<std::string, std::string> Disk() const {
    return Snapshot(root_.path(), {"/volume1/homes/bob", "/usr/kivo/etc",
                                   "/var/lib/kivo/.changes-under-way", "/var/log", "/.serve.log"});
  }

  Result Create(const std::string& name, const std::string& sub = "") {
    const Json::Value params = CalendarParams("homes", "homes/bob" + sub, home_ + sub, name);
    return root_.Call(kCalendar, "create", Compact(params), "bob");
  }

  // Runs `round` until the budget is spent; checks the disk after all.
  void Race(Attacker& attacker, const std::function<void(int)>& round) {
    ASSERT_TRUE(attacker.running());
    const auto end = std::chrono::steady_clock::now() + kBudget;
    int rounds = 0;
    // Three rounds whatever the clock says: a loaded machine runs fewer in the budget, never
    // fewer than that.
    for (; rounds < kMaxRounds && (rounds < 3 || std::chrono::steady_clock::now() < end);
         ++rounds) {
      round(rounds);
    }
    EXPECT_TRUE(attacker.running()) << "the attacker could not run as the user";
    RecordProperty("rounds", rounds);
    EXPECT_EQ(Disk(), before_);
    // The process was back to root for every call: the registry is root's.
    const struct stat registry = StatOf(root_.Path("/usr/kivo/etc/calendar.info"));
    EXPECT_EQ(registry.st_uid, 0u);
    EXPECT_EQ(registry.st_mode & 07777, 0644u);
  }

  TestRoot root_;
  std::string home_, rootonly_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::map<std::string, std::string> before_;
};

// Links planted in, as or for ".DAV" while root makes a home calendar and its state files.
TEST_F(HardeningRacesTest, PlantedLinksInTheStoreNeverRedirectTheStateFiles) {
  const std::string passwd = root_.Path("/etc/passwd");
  const std::string secret = root_.Path("/outside/secret");
  Attacker attacker(uid_, gid_, [&](int k, int) {
    const std::string folder = home_ + "/Cal" + std::to_string(k);
    switch (k % 3) {
      case 0:
      case 1:
        (void)!symlink(passwd.c_str(), (folder + "/.DAV/.state_for_dir.pag").c_str());
        (void)!symlink(secret.c_str(), (folder + "/.DAV/.state_for_dir.dir").c_str());
        break;
      case 2:
        (void)!symlink(rootonly_.c_str(), (folder + "/.DAV").c_str());
        break;
    }
  });
  Race(attacker, [&](int k) {
    attacker.Publish(k);
    const Result r = Create("Cal" + std::to_string(k));
    EXPECT_THAT(r.status, ::testing::AnyOf(0, 1)) << r.err;
  });
}

// A folder of the path swapped for a link to root's folder while root makes a calendar in it.
TEST_F(HardeningRacesTest, SwappedParentsNeverRedirectACreate) {
  ASSERT_EQ(mkdir((home_ + "/d").c_str(), 0755), 0);
  ASSERT_EQ(chown((home_ + "/d").c_str(), uid_, gid_), 0);
  Attacker attacker(uid_, gid_, [&](int, int) { SwapForLink(home_ + "/d", rootonly_); });
  Race(attacker, [&](int k) {
    const Result r = Create("C" + std::to_string(k % 4) + "x" + std::to_string(k), "/d");
    EXPECT_THAT(r.status, ::testing::AnyOf(0, 1)) << r.err;
  });
}

// A delete while the user swaps the parent for a link to root's folder with a same-named one.
TEST_F(HardeningRacesTest, SwappedParentsNeverRedirectADelete) {
  ASSERT_EQ(mkdir((home_ + "/d").c_str(), 0755), 0);
  ASSERT_EQ(chown((home_ + "/d").c_str(), uid_, gid_), 0);
  Attacker attacker(uid_, gid_, [&](int, int phase) {
    if (phase == 1) SwapForLink(home_ + "/d", rootonly_);
  });
  // Every other calendar is made through a link: the path root acts on is the one it checked.
  ASSERT_EQ(symlink("d", (home_ + "/dl").c_str()), 0);
  Race(attacker, [&](int k) {
    const std::string name = "C" + std::to_string(k % 4);
    const std::string sub = k % 2 == 0 ? "/d" : "/dl";
    attacker.Pause(k);  // the folder is real while the calendar is made
    if (Create(name, sub).status != 0) return;
    attacker.Publish(k, 1);
    const Result r = root_.Call(kCalendar, "delete", Compact(IdList(name + ":homes/bob" + sub)));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    attacker.Pause(k);
    std::filesystem::remove_all(home_ + "/d/" + name);
  });
}

// A move while the user puts a folder or link at its target, or swaps the target's parent.
TEST_F(HardeningRacesTest, MovesNeverLandInOrOnWhatTheUserPutThere) {
  ASSERT_EQ(mkdir((home_ + "/t").c_str(), 0755), 0);
  ASSERT_EQ(chown((home_ + "/t").c_str(), uid_, gid_), 0);
  Attacker attacker(uid_, gid_, [&](int k, int phase) {
    if (phase != 1) return;
    const std::string target = home_ + "/t/C" + std::to_string(k % 4);
    switch (k % 3) {
      case 0:
        if (mkdir(target.c_str(), 0777) == 0) rmdir(target.c_str());
        break;
      case 1:
        if (symlink(rootonly_.c_str(), target.c_str()) == 0) unlink(target.c_str());
        break;
      case 2:
        SwapForLink(home_ + "/t", rootonly_);
        break;
    }
  });
  Race(attacker, [&](int k) {
    const std::string name = "M" + std::to_string(k);
    attacker.Pause(k);
    if (Create(name).status != 0) return;
    attacker.Publish(k, 1);
    const Json::Value edit = CalendarParams("homes", "homes/bob/t", home_ + "/t",
                                            "C" + std::to_string(k % 4), name + ":homes/bob");
    const Result r = root_.Call(kCalendar, "set", Compact(edit));
    EXPECT_THAT(r.status, ::testing::AnyOf(0, 1)) << r.err;
    attacker.Pause(k);
    std::filesystem::remove_all(home_ + "/t/C" + std::to_string(k % 4));
  });
}

// ---- moves to another volume ---------------------------------------------------------

// A tmpfs in this test's own mount namespace as a second volume: share "vol2", a folder all write.
class HardeningMovesTest : public HardeningRacesTest {
 protected:
  void SetUp() override {
    HardeningRacesTest::SetUp();
    if (HasFatalFailure()) return;
    volume2_ = root_.Path("/volume2");
    ASSERT_EQ(mkdir(volume2_.c_str(), 0755), 0);
    if (!PrivateMounts() || mount("tmpfs", volume2_.c_str(), "tmpfs", 0, "mode=0755") != 0) {
      GTEST_SKIP() << "no private mount namespace here";
    }
    mounted_ = true;
    target_ = volume2_ + "/t";
    ASSERT_EQ(mkdir(target_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(target_.c_str(), 0777), 0);
    ASSERT_TRUE(AddShare(root_, "vol2", volume2_));
    before_ = Disk();
  }
  void TearDown() override {
    if (mounted_) umount2(volume2_.c_str(), MNT_DETACH);
  }

  // Everything but the user's home, the second volume, the registry, the lock files of the record
  // of changes under way, the logs.
  std::map<std::string, std::string> Disk() const {
    return Snapshot(root_.path(), {"/volume1/homes/bob", "/volume2", "/usr/kivo/etc",
                                   "/var/lib/kivo/.changes-under-way", "/var/log", "/.serve.log"});
  }

  // The administrator's move of `name` from the user's home to vol2/t/`to` within `limit`: its
  // exit status, -1 when it had to be killed.
  int MoveToVolume2(const std::string& name, const std::string& to,
                    std::chrono::milliseconds limit = std::chrono::minutes(1)) {
    const Json::Value edit = CalendarParams("vol2", "vol2/t", target_, to, name + ":homes/bob");
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid =
        Spawn({kWebApiBin, "call", "--user", "admin", kCalendar, "1", "set", Compact(edit)},
              root_.path(), "", null, null);
    close(null);
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
      }
      usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string volume2_, target_;
  bool mounted_ = false;
};

// Her calendar's folder turned into a FIFO, and a link to root's 0600 secret swapped in for each
// FIFO at the destination: no move chmods or chowns through it.
TEST_F(HardeningMovesTest, AFifoForAFolderNeverLendsItsModeToARootFile) {
  const std::string secret = root_.Path("/outside/secret");
  const std::string landing = target_ + "/C";
  Attacker attacker(uid_, gid_, [&](int k, int phase) {
    if (phase != 1) return;
    // One call, failing at once while nothing is there: quick to strike.
    const std::string link = target_ + "/.l" + std::to_string(k);
    (void)!symlink(secret.c_str(), link.c_str());
    for (int i = 0; i < 20000; ++i) {
      if (renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, landing.c_str(), RENAME_EXCHANGE) == 0) break;
    }
  });
  constexpr auto kLongBudget = std::chrono::seconds(30);
  const auto end = std::chrono::steady_clock::now() + kLongBudget;
  int rounds = 0;
  for (; rounds < kMaxRounds && (rounds < 3 || std::chrono::steady_clock::now() < end); ++rounds) {
    const std::string name = "F" + std::to_string(rounds);
    attacker.Pause(rounds);
    ASSERT_EQ(Create(name).status, 0);
    const std::string folder = home_ + "/" + name;
    std::filesystem::remove_all(folder);
    ASSERT_EQ(mkfifo(folder.c_str(), 0666), 0);
    ASSERT_EQ(chown(folder.c_str(), uid_, gid_), 0);
    attacker.Publish(rounds, 1);
    EXPECT_EQ(MoveToVolume2(name, "C"), 1);  // a damaged calendar is not moved
    attacker.Pause(rounds);
    const struct stat st = StatOf(secret);
    ASSERT_EQ(st.st_mode & 07777, 0600u) << "round " << rounds;
    ASSERT_EQ(st.st_uid, 0u) << "round " << rounds;
    std::filesystem::remove_all(landing);
    unlink(folder.c_str());
  }
  EXPECT_TRUE(attacker.running());
  RecordProperty("rounds", rounds);
  EXPECT_EQ(Read(secret), "secret\n");
  EXPECT_EQ(Disk(), before_);
}

// Root's folder swapped in for her calendar's once root is busy with it (inotify): it is neither
// moved nor emptied; the move then fails and leaves nothing on the other volume.
TEST_F(HardeningMovesTest, AFolderSwappedInIsNeitherMovedNorRemoved) {
  const std::string victim = home_ + "/victim";  // root's, in a folder the user may write
  ASSERT_EQ(mkdir(victim.c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(victim + "/canary", "root's\n"));
  const struct {
    const char* name;
    bool move;  // else a delete
  } cases[] = {{"Moved", true}, {"Deleted", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = home_ + "/" + c.name;
    ASSERT_EQ(Create(c.name).status, 0);
    // A big item keeps the copy busy, many small ones the removal.
    ASSERT_TRUE(WriteFile(folder + "/big.ics", std::string(16 << 20, 'x')));
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(WriteFile(folder + "/" + std::to_string(i), "x"));
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      ASSERT_EQ(lchown(entry.path().c_str(), uid_, gid_), 0);
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t swapper = fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
      alarm(60);
      if (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0) _exit(3);
      const int watch = inotify_init1(IN_CLOEXEC);
      const std::string watched = c.move ? folder + "/big.ics" : folder;
      if (inotify_add_watch(watch, watched.c_str(), c.move ? IN_OPEN : IN_DELETE) < 0 ||
          write(ready[1], "r", 1) != 1) {
        _exit(4);
      }
      char event[4096];
      if (read(watch, event, sizeof event) <= 0) _exit(5);
      const bool swapped = rename(folder.c_str(), (folder + ".away").c_str()) == 0 &&
                           rename(victim.c_str(), folder.c_str()) == 0;
      _exit(swapped ? 0 : 6);
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    const Json::Value registry = root_.Registry();
    const std::string id = std::string(c.name) + ":homes/bob";
    const int status = c.move ? MoveToVolume2(c.name, c.name)
                              : root_.Call(kCalendar, "delete", Compact(IdList(id))).status;
    kill(swapper, SIGKILL);  // when the call ended without waking it
    int swap = 0;
    ASSERT_EQ(waitpid(swapper, &swap, 0), swapper);
    const bool swapped = WIFEXITED(swap) && WEXITSTATUS(swap) == 0;
    RecordProperty(std::string(c.name) + "_swapped", swapped);

    // Root's folder is whole, wherever the user put it.
    const std::string now = swapped ? folder : victim;
    EXPECT_EQ(Read(now + "/canary"), "root's\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(now),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(StatOf(now).st_uid, 0u);
    if (c.move && swapped) {
      EXPECT_EQ(status, 1);  // "cannot mv folder"; the entry stays as it was
      EXPECT_EQ(root_.Registry(), registry);
      EXPECT_TRUE(std::filesystem::is_empty(target_));
    } else {
      EXPECT_EQ(status, 0);
    }
    if (swapped) {
      ASSERT_EQ(rename(folder.c_str(), victim.c_str()), 0);
    }
    std::filesystem::remove_all(folder + ".away");
    std::filesystem::remove_all(target_ + "/" + c.name);
  }
  EXPECT_EQ(Disk(), before_);
}

// ---- writers at once ------------------------------------------------------------------

// Calls and HTTP clients create, rename and delete calendars while the settings flip: the
// registry holds exactly the calendars left, each with its folder, and no other folder remains.
TEST(HardeningConcurrencyTest, ProcessesAndHttpClientsLoseNothing) {
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  ASSERT_TRUE(root.AddUser("bob", false, "bob-secret"));
  const std::string share = root.Path("/volume1/public");
  ASSERT_EQ(chmod(share.c_str(), 0777), 0);
  Server server;
  ASSERT_TRUE(server.Start(root));
  // Sessions first (the host brakes many checks at once): road r uses 2r (bob) and 2r+1 (admin).
  std::vector<Http> sessions(8, Http(server.port()));
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(i % 2 == 0 ? sessions[i].Login("bob", "bob-secret")
                           : sessions[i].Login("admin", TestRoot::kAdminPassword));
  }
  // One call as `user`, by a `call` process (road -1) or over HTTP; true when it succeeded.
  const auto call = [&](int road, const char* api, const char* method, const Json::Value& params,
                        const std::string& user) {
    if (road < 0) return root.Call(api, method, Compact(params), user).status == 0;
    const Reply r = sessions[2 * road + (user == "admin" ? 1 : 0)].Entry(api, method, params);
    return r.status == 200 && r.body["success"].asBool();
  };

  // Worker w makes six calendars as bob, the administrator renames each and deletes every other.
  std::multiset<std::string> expected;
  for (int w = 0; w < 6; ++w) {
    for (int k = 0; k < 6; k += 2)
      expected.insert("W" + std::to_string(w) + "-" + std::to_string(k) + "-renamed");
  }
  std::vector<std::thread> workers;
  for (int w = 0; w < 6; ++w) {
    workers.emplace_back([&, w] {
      const int road = w % 2 == 1 ? w / 2 : -1;
      for (int k = 0; k < 6; ++k) {
        const std::string name = "W" + std::to_string(w) + "-" + std::to_string(k);
        const std::string renamed = name + "-renamed";
        if (!call(road, kCalendar, "create", CalendarParams("public", "public", share, name),
                  "bob")) {
          ADD_FAILURE() << "create " << name;
          continue;
        }
        const Json::Value edit = CalendarParams("public", "public", "", renamed, name + ":public");
        EXPECT_TRUE(call(road, kCalendar, "set", edit, "admin")) << "rename " << name;
        if (k % 2 == 1) {
          EXPECT_TRUE(call(road, kCalendar, "delete", IdList(renamed + ":public"), "admin"))
              << "delete " << name;
        }
      }
    });
  }
  // Settings flip meanwhile, over both roads.
  std::atomic<bool> done{false};
  int flips = 0;
  std::thread flipper([&] {
    for (; !done; ++flips) {
      Json::Value enable, webdav;
      enable["enable"] = flips % 2 == 0;
      webdav["enable_http"] = flips % 2 == 0;
      webdav["enable_https"] = false;
      webdav["http_port_num"] = 5005 + 10 * (flips % 3);
      const int road = flips % 2 == 0 ? 3 : -1;
      EXPECT_TRUE(call(road, kCalDAV, "set", enable, "admin")) << "CalDAV set " << flips;
      EXPECT_TRUE(call(-1, kWebDAV, "set", webdav, "admin")) << "WebDAV set " << flips;
    }
  });
  for (std::thread& t : workers) t.join();
  done = true;
  flipper.join();
  EXPECT_GT(flips, 0);

  // The registry: exactly the calendars that remain, each once.
  std::multiset<std::string> names;
  for (const std::string& entry : root.Calendars()) {
    EXPECT_THAT(entry, ::testing::EndsWith(" public public"));
    names.insert(entry.substr(0, entry.find(' ')));
  }
  EXPECT_EQ(names, expected);
  // Each whole on disk, and the server still serving.
  const Json::Value items = sessions[0].Entry(kCalendar, "list").body["data"]["item"];
  EXPECT_EQ(items.size(), expected.size());
  for (const Json::Value& item : items) EXPECT_EQ(item["status"], "normal") << item["id"];
  // No other folder, and no temporary beside the registry.
  std::multiset<std::string> folders;
  for (const auto& dir : std::filesystem::directory_iterator(share)) {
    folders.insert(dir.path().filename());
  }
  EXPECT_EQ(folders, expected);
  for (const auto& file : std::filesystem::directory_iterator(root.Path("/usr/kivo/etc"))) {
    EXPECT_THAT(file.path().filename().string(),
                ::testing::AnyOf("calendar.info", ".calendar.info.lock", "calendar.ids"));
  }
  // The identity record: one token for each calendar.
  std::set<std::string> tokened;
  for (const std::string& line : ReadLines(root.Path("/usr/kivo/etc/calendar.ids"))) {
    tokened.insert(line.substr(line.find(' ') + 1));
  }
  EXPECT_EQ(tokened.size(), expected.size())
      << "a token for each calendar, none lost to another writer";
  // The settings files are whole and hold one of the values written.
  EXPECT_THAT(root.ConfValue("runCalDav"), ::testing::AnyOf("yes", "no"));
  EXPECT_TRUE(ParseJson(Read(root.Path("/var/lib/kivo/services.json"))).isObject());
}

}  // namespace
}  // namespace e2e
