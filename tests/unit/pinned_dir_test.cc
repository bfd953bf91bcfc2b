// Descriptor-relative folder work: links in any component refuse the open,
// removal stays on its side of every link and mount, moves never replace.

#include "caldav/pinned_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class PinnedDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kivo_pinned_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
    fs::create_directories(root_ + "/a/b/c");
    fs::create_directories(root_ + "/outside/keep");
    Write(root_ + "/outside/keep/canary", "canary");
    fs::create_directory_symlink(root_ + "/outside", root_ + "/a/link");
    fs::create_symlink(root_ + "/outside/keep/canary", root_ + "/a/b/file_link");
    Write(root_ + "/a/b/file", "x");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
  }
  std::string P(const std::string& relative) const { return root_ + "/" + relative; }

  std::string root_;
};

TEST_F(PinnedDirTest, OpensOnlyPathsWithoutLinksOrDotDot) {
  const struct {
    std::string path;
    int error;  // 0: opens
  } cases[] = {
      {P("a/b/c"), 0},          {P("a/b/c/"), 0},          {P("a/./b"), 0},
      {P("a/link"), ELOOP},     {P("a/link/keep"), ELOOP}, {P("a/b/../b"), EXDEV},
      {P("a/b/file"), ENOTDIR}, {P("a/missing"), ENOENT},  {"a/b", EINVAL},
  };
  for (auto open : {pinned::OpenDirectory, pinned::OpenDirectoryByWalk}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.path);
      errno = 0;
      const pinned::Fd fd = open(c.path);
      EXPECT_EQ(fd.valid(), c.error == 0);
      // The walk meets a link as something that is no directory.
      if (c.error != 0) {
        EXPECT_TRUE(errno == c.error || (c.error == ELOOP && errno == ENOTDIR)) << errno;
      }
    }
  }
}

TEST_F(PinnedDirTest, SplitsTheLastComponent) {
  const struct {
    const char *path, *parent, *name;
  } cases[] = {{"/a/b", "/a", "b"}, {"/a/b//", "/a", "b"}, {"/a//b", "/a", "b"}, {"/a", "/", "a"}};
  for (const auto& c : cases) {
    std::string parent, name;
    ASSERT_TRUE(pinned::SplitLast(c.path, &parent, &name)) << c.path;
    EXPECT_EQ(parent, c.parent);
    EXPECT_EQ(name, c.name);
  }
  std::string parent, name;
  EXPECT_FALSE(pinned::SplitLast("/", &parent, &name));
}

TEST_F(PinnedDirTest, RemovalRemovesLinksNotTheirTargets) {
  const pinned::Fd dir = pinned::OpenDirectory(root_);
  ASSERT_TRUE(dir.valid());
  EXPECT_TRUE(pinned::RemoveTree(dir.get(), "a"));
  EXPECT_FALSE(fs::exists(P("a")));
  EXPECT_TRUE(fs::exists(P("outside/keep/canary")));
}

TEST_F(PinnedDirTest, RemovalOfOnlyAFolderSparesWhatTookItsPlace) {
  const pinned::Fd dir = pinned::OpenDirectory(root_);
  const pinned::Fd made = pinned::OpenChild(dir.get(), "a");
  fs::rename(P("a"), P("moved"));
  fs::create_directory_symlink(P("outside"), P("a"));
  EXPECT_FALSE(pinned::RemoveTree(dir.get(), "a", made));
  fs::remove(P("a"));
  fs::create_directory(P("a"));
  EXPECT_FALSE(pinned::RemoveTree(dir.get(), "a", made));
  EXPECT_TRUE(fs::exists(P("a")));
  EXPECT_TRUE(fs::exists(P("moved/b/file")));
  EXPECT_TRUE(fs::exists(P("outside/keep/canary")));
}

// In a private mount namespace, a file system mounted below the tree is left.
TEST_F(PinnedDirTest, RemovalStopsAtMounts) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", P("a/b/c").c_str(), "tmpfs", 0, nullptr) != 0) {
      _exit(2);
    }
    Write(P("a/b/c/on_mount"), "x");
    const pinned::Fd dir = pinned::OpenDirectory(root_);
    const bool removed = pinned::RemoveTree(dir.get(), "a");
    const bool kept = fs::exists(P("a/b/c/on_mount")) && !fs::exists(P("a/b/file"));
    umount(P("a/b/c").c_str());
    _exit(!removed && kept ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(PinnedDirTest, MovesNeverReplaceOrEnterTheirTarget) {
  const pinned::Fd dir = pinned::OpenDirectory(root_);
  fs::create_directory(P("target_dir"));
  fs::create_directory_symlink(P("outside"), P("target_link"));
  for (const char* target : {"target_dir", "target_link", "outside"}) {
    errno = 0;
    EXPECT_FALSE(pinned::Move(dir.get(), "a", dir.get(), target)) << target;
    EXPECT_EQ(errno, EEXIST) << target;
  }
  EXPECT_TRUE(fs::is_empty(P("target_dir")));
  EXPECT_FALSE(fs::exists(P("outside/a")));
  EXPECT_TRUE(pinned::Move(dir.get(), "a", dir.get(), "renamed"));
  EXPECT_TRUE(fs::exists(P("renamed/b/file")));
}

// /dev/shm is another file system: the tree is copied whole, then removed.
TEST_F(PinnedDirTest, MovesAcrossFileSystemsCopyThenRemove) {
  char other[] = "/dev/shm/kivo_pinned_XXXXXX";
  if (mkdtemp(other) == nullptr) GTEST_SKIP() << "no /dev/shm";
  struct stat here, there;
  ASSERT_EQ(stat(root_.c_str(), &here), 0);
  ASSERT_EQ(stat(other, &there), 0);
  if (here.st_dev == there.st_dev) {
    fs::remove_all(other);
    GTEST_SKIP() << "/dev/shm is on the same file system";
  }
  ASSERT_EQ(chown(P("a/b/file").c_str(), 1000, 100), 0);
  ASSERT_EQ(chmod(P("a/b").c_str(), 0751), 0);
  const pinned::Fd from = pinned::OpenDirectory(root_);
  const pinned::Fd to = pinned::OpenDirectory(other);
  ASSERT_TRUE(pinned::Move(from.get(), "a", to.get(), "moved"));
  const std::string moved = std::string(other) + "/moved";
  EXPECT_FALSE(fs::exists(P("a")));
  struct stat st;
  ASSERT_EQ(stat((moved + "/b/file").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1000u);
  EXPECT_EQ(st.st_gid, 100u);
  ASSERT_EQ(stat((moved + "/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_TRUE(fs::is_symlink(moved + "/link"));
  EXPECT_TRUE(fs::is_symlink(moved + "/b/file_link"));
  EXPECT_TRUE(fs::exists(P("outside/keep/canary")));
  fs::remove_all(other);
}

}  // namespace
