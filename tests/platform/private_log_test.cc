// The log-file rule (base/private_log.h), bit by bit and owner by owner: whatever a log was
// left as, it is root's, of the administrators' group, 0640 once opened; a link, a folder or a
// FIFO in its place is refused at once.

#include "base/private_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/fd.h"
#include "tests/platform/temp_root.h"

namespace {

constexpr gid_t kAdministrators = 101;

class PrivateLogTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    Write("etc/group", "root:x:0:\nusers:x:100:bob\nadministrators:x:101:admin\n");
    Write("var/log/kivo/x.log", "old line\n");
  }
  std::string Log() const { return Path("var/log/kivo/x.log"); }
  void ExpectPrivate() {
    struct stat st;
    ASSERT_EQ(stat(Log().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, kAdministrators);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Read("var/log/kivo/x.log").substr(0, 9), "old line\n") << "kept, appended to";
  }
};

TEST_F(PrivateLogTest, EveryModeBitAndOwnerEndsPrivate) {
  const mode_t bits[] = {04000, 02000, 01000, 0400, 0200, 0100, 040, 020, 010, 04, 02, 01};
  for (const mode_t bit : bits) {
    const mode_t mode = 0640 ^ bit;  // one bit changed from a private log
    SCOPED_TRACE(std::to_string(mode));
    ASSERT_EQ(chown(Log().c_str(), 0, kAdministrators), 0);
    ASSERT_EQ(chmod(Log().c_str(), mode), 0);
    EXPECT_TRUE(kivo::base::MakePrivateLog(Log()));
    ExpectPrivate();
  }
  const struct {
    uid_t uid;
    gid_t gid;
  } owners[] = {
      {1025, kAdministrators},  // another account's, group and mode as they should be
      {1025, 100},
      {0, 100},  // root's, but every member of users would read it
      {0, 0},
      {65534, 65534},
  };
  for (const auto& o : owners) {
    SCOPED_TRACE(std::to_string(o.uid) + ":" + std::to_string(o.gid));
    ASSERT_EQ(chown(Log().c_str(), o.uid, o.gid), 0);
    ASSERT_EQ(chmod(Log().c_str(), 0640), 0);
    EXPECT_TRUE(kivo::base::MakePrivateLog(Log()));
    ExpectPrivate();
  }
  // Appends go on at the end, through the descriptor it gives.
  const kivo::base::Fd fd(kivo::base::OpenPrivateLog(Log()));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(write(fd.get(), "new\n", 4), 4);
  EXPECT_EQ(Read("var/log/kivo/x.log").substr(Read("var/log/kivo/x.log").size() - 4), "new\n");
}

TEST_F(PrivateLogTest, ALinkAFolderOrAFifoInItsPlaceIsRefusedAtOnce) {
  const std::string target = Path("elsewhere");
  Write("elsewhere", "");
  const struct {
    const char* what;
    int (*make)(const std::string& path, const std::string& target);
  } places[] = {
      {"link",
       [](const std::string& p, const std::string& t) { return symlink(t.c_str(), p.c_str()); }},
      {"folder", [](const std::string& p, const std::string&) { return mkdir(p.c_str(), 0755); }},
      // Without a reader an open for writing would wait for one.
      {"fifo", [](const std::string& p, const std::string&) { return mkfifo(p.c_str(), 0640); }},
  };
  for (const auto& place : places) {
    SCOPED_TRACE(place.what);
    std::filesystem::remove_all(Log());
    ASSERT_EQ(place.make(Log(), target), 0);
    EXPECT_EQ(kivo::base::OpenPrivateLog(Log()), -1);
  }
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_NE(st.st_gid, kAdministrators) << "the link's target was given away";
}

}  // namespace
