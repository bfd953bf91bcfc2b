// Volumes, file copies and programs.

#include <errno.h>
#include <gmock/gmock.h>

#include <tuple>

#include "module/kivo_platform.h"
#include "tests/platform/temp_root.h"

using ::testing::UnorderedElementsAre;

namespace {

class FilesTest : public TempRootTest {
 protected:
  // Copies as the test's own user.
  int Copy(const std::string& source, const std::string& dest, int overwrite) {
    KIVOCOPYOPT options{overwrite, geteuid(), getegid()};
    return KIVOFileCopy(source.c_str(), dest.c_str(), &options);
  }
};

TEST_F(FilesTest, VolumeOfAPathThatDoesNotExistYet) {
  Write("volume1/homes/.keep", "");
  KIVOVOLINFO info;
  memset(&info, 0xff, sizeof info);
  ASSERT_EQ(KIVOMountVolInfoGet(Path("volume1/homes/alice/cal/.DAV/").c_str(), &info), 0);
  EXPECT_EQ(info.writable, 1);
  EXPECT_GT(info.total_bytes, 0u);
  EXPECT_LE(info.free_bytes, info.total_bytes);
  // A file in the way of the path: its directory still names the volume.
  EXPECT_EQ(KIVOMountVolInfoGet(Path("volume1/homes/.keep/x").c_str(), &info), 0);
  EXPECT_EQ(KIVOMountVolInfoGet("relative/not/there", &info), 0);  // the working directory's
}

TEST_F(FilesTest, ExecPassesArgumentsAndAnswersZeroExactlyOnExitZero) {
  const std::string program = Path("bin/record");
  // Records its arguments, then exits with the first.
  Write("bin/record", "#!/bin/sh\nprintf '%s|' \"$@\" > " + Path("args") + "\nexit \"$1\"\n");
  chmod(program.c_str(), 0755);
  ASSERT_EQ(KLIBCExec(program.c_str(), "0", "b c", nullptr, "ignored"), 0);
  EXPECT_EQ(Read("args"), "0|b c|");  // up to the first null
  ASSERT_EQ(KLIBCExec(program.c_str(), "0", "2", "3", "4"), 0);
  EXPECT_EQ(Read("args"), "0|2|3|4|");
  const std::tuple<const char*, const char*, bool> cases[] = {
      {program.c_str(), "1", false}, {program.c_str(), "3", false},
      {"/bin/true", nullptr, true},  {"/bin/false", nullptr, false},
      {"", nullptr, false},          {"/nonexistent/program", nullptr, false},
      {nullptr, nullptr, false},
  };
  for (const auto& [path, arg1, ok] : cases) {
    EXPECT_EQ(KLIBCExec(path, arg1, nullptr, nullptr, nullptr) == 0, ok) << path << " " << arg1;
  }
}

TEST_F(FilesTest, CopyGivesTheCopyItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
  Write("template.pag", std::string(200000, 'p'));  // several read/write rounds
  KIVOCOPYOPT options{1, 4321, 4322};
  ASSERT_EQ(KIVOFileCopy(Path("template.pag").c_str(), Path("copy.pag").c_str(), &options), 0);
  EXPECT_EQ(Read("copy.pag"), Read("template.pag"));
  struct stat st;
  ASSERT_EQ(stat(Path("copy.pag").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
}

// Refusals and failures leave the files as they were and tell why.
TEST_F(FilesTest, CopyOverwritesOnlyWhenAsked) {
  Write("src", "new");
  Write("dst", "old content");
  const std::tuple<std::string, std::string, int, int> cases[] = {
      {Path("src"), Path("dst"), 0, EEXIST},
      {Path("src"), Path("src"), 1, EINVAL},  // truncating would lose the source
      {Path("missing"), Path("dst2"), 0, ENOENT},
      {Path("src"), Path("no/such/dir/dst"), 0, ENOENT},
      {root_, Path("dst2"), 0, EINVAL},  // a directory is not copied
  };
  for (const auto& [source, dest, overwrite, error] : cases) {
    EXPECT_NE(Copy(source, dest, overwrite), 0) << source << " to " << dest;
    EXPECT_EQ(KLIBCErrGet(), error) << source << " to " << dest;
  }
  EXPECT_EQ(Read("dst"), "old content");
  EXPECT_EQ(Read("src"), "new");
  EXPECT_THAT(List(""), UnorderedElementsAre("src", "dst"));
  ASSERT_EQ(Copy(Path("src"), Path("dst"), 1), 0);
  EXPECT_EQ(Read("dst"), "new");
}

}  // namespace
