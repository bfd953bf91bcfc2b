// Calendar calls from several processes at once: the registry lock keeps
// every read-modify-write whole, so no entry is ever lost.

#include <sys/file.h>
#include <sys/wait.h>

#include <set>

#include "tests/unit/calendar_fixture.h"

using ::testing::IsEmpty;

namespace calendar_test {
namespace {

class CalendarConcurrencyTest : public CalendarTest {
 protected:
  // Forks a child that waits for Release(), runs `work` and exits with its
  // result (the number of failed calls).
  template <typename Work>
  void Spawn(Work work) {
    if (gate_[0] < 0) {
      ASSERT_EQ(pipe(gate_), 0);
    }
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate_[1]);
      char byte;
      while (read(gate_[0], &byte, 1) > 0) {
      }
      _exit(work());
    }
    children_.push_back(pid);
  }

  // Lets every child go at once.
  void Release() {
    close(gate_[0]);
    close(gate_[1]);
    gate_[0] = gate_[1] = -1;
  }

  void ExpectChildrenSucceed() {
    for (pid_t pid : children_) {
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status)) << pid;
      EXPECT_EQ(WEXITSTATUS(status), 0) << "failed calls in child " << pid;
    }
    children_.clear();
  }

  // Failed calls, counted in the child.
  static int Create(const std::string& folder, const std::string& name, const char* user) {
    KIVO::APIRequest request(user, CreateParams("docs", name, folder, "docs"));
    KIVO::APIResponse response;
    CalDAVCalendarCreate(&request, &response);
    const bool root_again = geteuid() == 0 && getegid() == 0;
    return response.success() && root_again ? 0 : 1;
  }

  static int Delete(const std::string& id) {
    Json::Value params(Json::objectValue);
    params["id"].append(id);
    KIVO::APIRequest request("alice", params);
    KIVO::APIResponse response;
    CalDAVCalendarDelete(&request, &response);
    return response.success() ? 0 : 1;
  }

  std::set<std::string> RegisteredIds() {
    std::set<std::string> ids;
    for (const Json::Value& entry : ReadRegistry()) {
      ids.insert(entry["calendarname"].asString() + ":" + entry["destination"].asString());
    }
    return ids;
  }

  int gate_[2] = {-1, -1};
  std::vector<pid_t> children_;
};

TEST_F(CalendarConcurrencyTest, ManyCreatesAtOnceKeepEveryEntry) {
  constexpr int kProcesses = 4;
  constexpr int kCreatesEach = 6;
  std::set<std::string> expected;
  for (int p = 0; p < kProcesses; ++p) {
    const char* user = p % 2 == 0 ? "alice" : "bob";
    Spawn([this, p, user] {
      int failures = 0;
      for (int k = 0; k < kCreatesEach; ++k) {
        failures += Create(docs_, "P" + std::to_string(p) + "_" + std::to_string(k), user);
      }
      return failures;
    });
    for (int k = 0; k < kCreatesEach; ++k) {
      expected.insert("P" + std::to_string(p) + "_" + std::to_string(k) + ":docs");
    }
  }
  Release();
  ExpectChildrenSucceed();

  EXPECT_EQ(RegisteredIds(), expected);
  EXPECT_EQ(ReadRegistry().size(), expected.size());
  for (const std::string& id : expected) {
    EXPECT_TRUE(Exists(docs_ + "/" + id.substr(0, id.find(':')) + "/.DAV/.state_for_dir.pag"));
  }
  EXPECT_THAT(StrayRegistryFiles(), IsEmpty());
}

TEST_F(CalendarConcurrencyTest, CreatesAndDeletesInterleaveWithoutLosingEntries) {
  constexpr int kOld = 8;
  Json::Value registry(Json::arrayValue);
  for (int i = 0; i < kOld; ++i) {
    const std::string name = "Old" + std::to_string(i);
    MakeCalendarFolder(docs_ + "/" + name);
    registry.append(Entry(name, "docs", "docs"));
  }
  WriteRegistry(registry);

  std::set<std::string> expected;
  for (int p = 0; p < 3; ++p) {
    Spawn([this, p] {
      int failures = 0;
      for (int k = 0; k < 5; ++k) {
        failures += Create(docs_, "N" + std::to_string(p) + "_" + std::to_string(k), "alice");
      }
      return failures;
    });
    for (int k = 0; k < 5; ++k) {
      expected.insert("N" + std::to_string(p) + "_" + std::to_string(k) + ":docs");
    }
  }
  Spawn([] {
    int failures = 0;
    for (int i = 0; i < kOld; ++i) failures += Delete("Old" + std::to_string(i) + ":docs");
    return failures;
  });
  Release();
  ExpectChildrenSucceed();

  EXPECT_EQ(RegisteredIds(), expected);
  for (int i = 0; i < kOld; ++i) EXPECT_FALSE(Exists(docs_ + "/Old" + std::to_string(i)));
}

TEST_F(CalendarConcurrencyTest, HeldLockHoldsBackACreateBeforeItMakesAnything) {
  const std::string lock_path = Path("usr/kivo/etc/.calendar.info.lock");
  const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);

  // The child must not share the description that holds the lock.
  Spawn([this, fd] {
    close(fd);
    return Create(docs_, "Work", "alice");
  });
  Release();
  // Not a timing check: whatever the delay, the child must still be waiting.
  usleep(300 * 1000);
  int status = 0;
  EXPECT_EQ(waitpid(children_[0], &status, WNOHANG), 0);
  EXPECT_FALSE(Exists(docs_ + "/Work"));
  EXPECT_FALSE(Exists(RegistryPath()));

  close(fd);
  ExpectChildrenSucceed();
  EXPECT_EQ(RegisteredIds(), std::set<std::string>{"Work:docs"});
  EXPECT_EQ(StatOf(lock_path).st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace calendar_test
