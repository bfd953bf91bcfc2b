// Descriptor-relative folder work: links in any component refuse the open,
// removal stays on its side of every link and mount, moves never replace.

#include "base/pinned_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>

#include "tests/platform/temp_root.h"

// The instant between a look and the act, made to happen: this program's
// renameat2 and openat run a test's armed step once before the system call.
namespace {
std::function<void(int dir)> before_rename_into;  // renameat2(..., dir, "entry", ...)
std::function<void(int dir)> before_open_of;      // openat(dir, open_name, read only)
std::string open_name;

std::function<void(int)> Take(std::function<void(int)>* step) {
  std::function<void(int)> taken;
  taken.swap(*step);
  return taken;
}
}  // namespace

extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                         unsigned int flags) noexcept {
  if (before_rename_into && strcmp(to, "entry") == 0) Take (&before_rename_into)(from_dir);
  return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}

extern "C" int openat(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, unsigned int));
    va_end(args);
  }
  if (before_open_of && (flags & (O_ACCMODE | O_CREAT)) == O_RDONLY && open_name == path) {
    Take (&before_open_of)(dir);
  }
  return static_cast<int>(syscall(SYS_openat, dir, path, flags, mode));
}

namespace {

namespace fs = std::filesystem;

class PinnedDirTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    fs::create_directories(root_ + "/a/b/c");
    Write("outside/keep/canary", "canary");
    fs::create_directory_symlink(root_ + "/outside", root_ + "/a/link");
    fs::create_symlink(root_ + "/outside/keep/canary", root_ + "/a/b/file_link");
    Write("a/b/file", "x");
  }
};

TEST_F(PinnedDirTest, OpensOnlyPathsWithoutLinksOrDotDot) {
  const struct {
    std::string path;
    int error;  // 0: opens
  } cases[] = {
      {Path("a/b/c"), 0},          {Path("a/b/c/"), 0},          {Path("a/./b"), 0},
      {Path("a/link"), ELOOP},     {Path("a/link/keep"), ELOOP}, {Path("a/b/../b"), EXDEV},
      {Path("a/b/file"), ENOTDIR}, {Path("a/missing"), ENOENT},  {"a/b", EINVAL},
  };
  for (auto open : {kivo::base::pinned::OpenDirectory, kivo::base::pinned::OpenDirectoryByWalk}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.path);
      errno = 0;
      const kivo::base::Fd fd = open(c.path);
      EXPECT_EQ(fd.valid(), c.error == 0);
      // The walk meets a link as something that is no directory.
      if (c.error != 0) {
        EXPECT_TRUE(errno == c.error || (c.error == ELOOP && errno == ENOTDIR)) << errno;
      }
    }
  }
  // A child is one name below its parent: never the parent itself, above it, deeper, or a link.
  const kivo::base::Fd a = kivo::base::pinned::OpenDirectory(Path("a"));
  for (const char* name : {"", ".", "..", "b/c", "b/", "link"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(kivo::base::pinned::OpenChild(a.get(), name).valid());
  }
  EXPECT_TRUE(kivo::base::pinned::OpenChild(a.get(), "b").valid());
}

TEST_F(PinnedDirTest, SplitsTheLastComponent) {
  const struct {
    const char *path, *parent, *name;
  } cases[] = {{"/a/b", "/a", "b"}, {"/a/b//", "/a", "b"}, {"/a//b", "/a", "b"},
               {"/a", "/", "a"},    {"ab", ".", "ab"},     {"ab/", ".", "ab"}};
  for (const auto& c : cases) {
    std::string parent, name;
    ASSERT_TRUE(kivo::base::pinned::SplitLast(c.path, &parent, &name)) << c.path;
    EXPECT_EQ(parent, c.parent);
    EXPECT_EQ(name, c.name);
  }
  std::string parent, name;
  EXPECT_FALSE(kivo::base::pinned::SplitLast("/", &parent, &name));
}

TEST_F(PinnedDirTest, RemovalOfOnlyAFolderSparesWhatTookItsPlace) {
  const kivo::base::Fd dir = kivo::base::pinned::OpenDirectory(root_);
  const kivo::base::Fd made = kivo::base::pinned::OpenChild(dir.get(), "a");
  fs::rename(Path("a"), Path("moved"));
  fs::create_directory_symlink(Path("outside"), Path("a"));
  EXPECT_FALSE(kivo::base::pinned::RemoveTree(dir.get(), "a", made));
  fs::remove(Path("a"));
  fs::create_directory(Path("a"));
  EXPECT_FALSE(kivo::base::pinned::RemoveTree(dir.get(), "a", made));
  EXPECT_TRUE(fs::exists(Path("a")));
  EXPECT_TRUE(fs::exists(Path("moved/b/file")));
  EXPECT_TRUE(fs::exists(Path("outside/keep/canary")));
  // Back at its name it goes, links in it as links; no staging folder stays.
  fs::remove(Path("a"));
  fs::rename(Path("moved"), Path("a"));
  EXPECT_TRUE(kivo::base::pinned::RemoveTree(dir.get(), "a", made));
  EXPECT_TRUE(kivo::base::pinned::RemoveTree(dir.get(), "a", made));  // nothing left of it
  EXPECT_TRUE(fs::exists(Path("outside/keep/canary")));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
}

// A folder renamed to the name just before its staging is checked again
// (device and inode) and put back, not removed.
TEST_F(PinnedDirTest, RemovalPutsBackAFolderSwappedInBeforeItsStaging) {
  const kivo::base::Fd dir = kivo::base::pinned::OpenDirectory(root_);
  const kivo::base::Fd made = kivo::base::pinned::OpenChild(dir.get(), "a");
  before_rename_into = [this](int) {
    fs::rename(Path("a"), Path("moved"));
    fs::create_directory(Path("a"));
    Write("a/theirs", "theirs");
  };
  errno = 0;
  EXPECT_FALSE(kivo::base::pinned::RemoveTree(dir.get(), "a", made));
  EXPECT_EQ(errno, ESTALE);
  EXPECT_FALSE(before_rename_into) << "the staging never came";
  EXPECT_TRUE(fs::exists(Path("a/theirs")));
  EXPECT_TRUE(fs::exists(Path("moved/b/file")));
  // a, moved, outside: no staging folder stays.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 3);
}

// In a private mount namespace, a file system mounted below the tree is left.
TEST_F(PinnedDirTest, RemovalStopsAtMounts) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", Path("a/b/c").c_str(), "tmpfs", 0, nullptr) != 0) {
      _exit(2);
    }
    Write("a/b/c/on_mount", "x");
    const kivo::base::Fd dir = kivo::base::pinned::OpenDirectory(root_);
    const bool removed = kivo::base::pinned::RemoveTree(dir.get(), "a");
    const bool kept = fs::exists(Path("a/b/c/on_mount")) && !fs::exists(Path("a/b/file"));
    umount(Path("a/b/c").c_str());
    _exit(!removed && kept ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(PinnedDirTest, MovesNeverReplaceOrEnterTheirTarget) {
  const kivo::base::Fd dir = kivo::base::pinned::OpenDirectory(root_);
  fs::create_directory(Path("target_dir"));
  fs::create_directory_symlink(Path("outside"), Path("target_link"));
  for (const char* target : {"target_dir", "target_link", "outside"}) {
    errno = 0;
    EXPECT_FALSE(kivo::base::pinned::Move(dir.get(), "a", dir.get(), target)) << target;
    EXPECT_EQ(errno, EEXIST) << target;
  }
  EXPECT_TRUE(fs::is_empty(Path("target_dir")));
  EXPECT_FALSE(fs::exists(Path("outside/a")));
  EXPECT_TRUE(kivo::base::pinned::Move(dir.get(), "a", dir.get(), "renamed"));
  EXPECT_TRUE(fs::exists(Path("renamed/b/file")));
}

// Something other than /tmp's file system, or skips: /dev/shm is a tmpfs.
class PinnedMoveAcrossTest : public PinnedDirTest {
 protected:
  void SetUp() override {
    PinnedDirTest::SetUp();
    char other[] = "/dev/shm/kivo_pinned_XXXXXX";
    if (mkdtemp(other) == nullptr) GTEST_SKIP() << "no /dev/shm";
    other_ = other;
    struct stat here, there;
    ASSERT_EQ(stat(root_.c_str(), &here), 0);
    ASSERT_EQ(stat(other, &there), 0);
    if (here.st_dev == there.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
  }
  void TearDown() override {
    if (!other_.empty()) fs::remove_all(other_);
    PinnedDirTest::TearDown();
  }
  // Owner, mode and content of a link's target, as they must stay.
  static std::string TargetState(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "none";
    std::string text = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
                       std::to_string(st.st_mode);
    if (S_ISREG(st.st_mode)) {
      std::ifstream in(path);
      text += " " + std::string(std::istreambuf_iterator<char>(in), {});
    }
    return text;
  }
  std::string other_;
};

// The tree is copied whole (owners, modes, links as links with their own
// owners), then removed; no link's target changes, no staging folder stays.
TEST_F(PinnedMoveAcrossTest, CopiesThenRemovesAndLinksArriveAsLinks) {
  ASSERT_EQ(chown(Path("a/b/file").c_str(), 1000, 100), 0);
  ASSERT_EQ(chmod(Path("a/b").c_str(), 0751), 0);
  // Links (the user's) to another's file and folder, and a dangling one.
  ASSERT_EQ(chown(Path("outside/keep/canary").c_str(), 1001, 1001), 0);
  ASSERT_EQ(chmod(Path("outside/keep/canary").c_str(), 0600), 0);
  ASSERT_EQ(chown(Path("outside/keep").c_str(), 1001, 1001), 0);
  fs::create_symlink(Path("outside/keep"), Path("a/b/dir_link"));
  fs::create_symlink(Path("nowhere"), Path("a/dangling"));
  ASSERT_EQ(mkfifo(Path("a/b/fifo").c_str(), 0666), 0);  // no place in a calendar: left out
  const char* links[] = {"link", "b/file_link", "b/dir_link", "dangling"};
  std::map<std::string, std::string> targets;
  std::map<std::string, fs::path> texts;
  for (const char* link : links) {
    ASSERT_EQ(lchown(Path(std::string("a/") + link).c_str(), 1000, 100), 0);
    targets[link] = TargetState(Path(std::string("a/") + link));
    texts[link] = fs::read_symlink(Path(std::string("a/") + link));
  }

  const kivo::base::Fd from = kivo::base::pinned::OpenDirectory(root_);
  const kivo::base::Fd to = kivo::base::pinned::OpenDirectory(other_);
  const kivo::base::Fd only = kivo::base::pinned::OpenChild(from.get(), "a");
  // While a folder's copy is being filled, nobody but root may enter it.
  std::vector<std::string> filling;
  open_name = "file";
  before_open_of = [&](int) {
    for (const auto& entry : fs::recursive_directory_iterator(other_)) {
      struct stat made;
      if (lstat(entry.path().c_str(), &made) == 0 && S_ISDIR(made.st_mode)) {
        filling.push_back(entry.path().filename().string() + " " +
                          std::to_string(made.st_mode & 07777));
      }
    }
  };
  ASSERT_TRUE(kivo::base::pinned::Move(from.get(), "a", to.get(), "moved", only)) << errno;
  ASSERT_GE(filling.size(), 2u) << "the copy's folder and its b, before b/file";
  EXPECT_NE(std::find(filling.begin(), filling.end(), "b 448"), filling.end());  // 0700
  for (const std::string& folder : filling) EXPECT_EQ(folder.substr(folder.find(' ')), " 448");
  const std::string moved = other_ + "/moved";
  EXPECT_FALSE(fs::exists(Path("a")));
  struct stat st;
  ASSERT_EQ(stat((moved + "/b/file").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1000u);
  EXPECT_EQ(st.st_gid, 100u);
  ASSERT_EQ(stat((moved + "/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(moved + "/b/fifo")));
  for (const char* link : links) {
    SCOPED_TRACE(link);
    ASSERT_EQ(lstat((moved + "/" + link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(st.st_uid, 1000u);
    EXPECT_EQ(st.st_gid, 100u);
    EXPECT_EQ(fs::read_symlink(moved + "/" + link), texts[link]);
    EXPECT_EQ(TargetState(moved + "/" + link), targets[link]);
  }
  EXPECT_EQ(TargetState(Path("outside/keep/canary")),
            "1001:1001 " + std::to_string(S_IFREG | 0600) + " canary");
  // Only the moved folder on either side: no staging folder left.
  EXPECT_EQ(std::distance(fs::directory_iterator(other_), fs::directory_iterator()), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
}

// A folder put in place of the one given is neither moved nor removed.
TEST_F(PinnedMoveAcrossTest, MovesOnlyTheFolderGiven) {
  const kivo::base::Fd dir = kivo::base::pinned::OpenDirectory(root_);
  const kivo::base::Fd other = kivo::base::pinned::OpenDirectory(other_);
  const kivo::base::Fd only = kivo::base::pinned::OpenChild(dir.get(), "a");
  fs::rename(Path("a"), Path("away"));
  fs::rename(Path("outside"), Path("a"));  // someone else's folder at the calendar's name
  for (int target : {dir.get(), other.get()}) {
    errno = 0;
    EXPECT_FALSE(kivo::base::pinned::Move(dir.get(), "a", target, "moved", only));
    EXPECT_EQ(errno, ESTALE);
  }
  EXPECT_TRUE(fs::exists(Path("a/keep/canary")));
  EXPECT_TRUE(fs::exists(Path("away/b/file")));
  EXPECT_TRUE(fs::is_empty(other_));
  EXPECT_FALSE(fs::exists(Path("moved")));
  // Back at its name, the folder given moves.
  fs::rename(Path("a"), Path("outside"));
  fs::rename(Path("away"), Path("a"));
  EXPECT_TRUE(kivo::base::pinned::Move(dir.get(), "a", other.get(), "moved", only));
  EXPECT_TRUE(fs::exists(other_ + "/moved/b/file"));
}

void NoteAlarm(int) {}

// A FIFO swapped in for an item between the copy's look and its open
// neither blocks nor is read: the move fails and the calendar stays.
TEST_F(PinnedMoveAcrossTest, AFifoSwappedInForAnItemNeverBlocksTheCopy) {
  const kivo::base::Fd from = kivo::base::pinned::OpenDirectory(root_);
  const kivo::base::Fd to = kivo::base::pinned::OpenDirectory(other_);
  const kivo::base::Fd only = kivo::base::pinned::OpenChild(from.get(), "a");
  open_name = "file";
  before_open_of = [](int dir) {
    ASSERT_EQ(mkfifoat(dir, "fifo", 0666), 0);
    ASSERT_EQ(syscall(SYS_renameat2, dir, "fifo", dir, "file", RENAME_EXCHANGE), 0);
  };
  // A blocked open ends (EINTR) after two seconds rather than hang the test.
  struct sigaction alarm_action = {};
  alarm_action.sa_handler = NoteAlarm;
  ASSERT_EQ(sigaction(SIGALRM, &alarm_action, nullptr), 0);
  alarm(2);
  errno = 0;
  EXPECT_FALSE(kivo::base::pinned::Move(from.get(), "a", to.get(), "moved", only));
  EXPECT_EQ(errno, ESTALE) << "the open blocked on the FIFO";
  alarm(0);
  EXPECT_FALSE(before_open_of) << "the copy never opened the item";
  EXPECT_TRUE(fs::exists(Path("a/b/file")));
  EXPECT_TRUE(fs::is_empty(other_));
}

// Lookups below a folder follow links inside it; a way out is EXDEV.
TEST_F(PinnedDirTest, LooksUpBelowAFolderOnly) {
  fs::create_directory_symlink(Path("a/b"), Path("a/abs_in"));             // absolute, inside
  fs::create_directory_symlink("b/c", Path("a/rel_in"));                   // relative, inside
  fs::create_directory_symlink(Path("outside/keep"), Path("a/out"));       // out, exists
  fs::create_directory_symlink(Path("outside/none"), Path("a/out_gone"));  // out, missing
  fs::create_directory_symlink("../outside", Path("a/rel_out"));
  const struct {
    const char* relative;
    int result;
  } cases[] = {
      {"b/file", 0},         {"./b//c", 0},         {"abs_in/file", 0},    {"rel_in", 0},
      {"b/../b/file", 0},    {"b/missing", ENOENT}, {"b/file/x", ENOTDIR}, {"out", EXDEV},
      {"out/canary", EXDEV}, {"out_gone", EXDEV},   {"out_gone/x", EXDEV}, {"rel_out/keep", EXDEV},
      {"../a/b", 0},         {"../outside", EXDEV}, {"link", EXDEV},       {"b/file_link", EXDEV},
  };
  const kivo::base::Fd dir = kivo::base::pinned::OpenDirectory(Path("a"));
  for (const auto& c : cases) {
    EXPECT_EQ(kivo::base::pinned::LookUpBelow(dir.get(), Path("a"), c.relative), c.result)
        << c.relative;
  }
}

}  // namespace
