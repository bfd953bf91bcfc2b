// Volumes, file copies and programs.

#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>

#include "module/kivo_platform.h"
#include "tests/platform/temp_root.h"

namespace {

class FilesTest : public TempRootTest {};

TEST_F(FilesTest, VolumeOfAPathThatDoesNotExistYet) {
  Write("volume1/homes/.keep", "");
  KIVOVOLINFO info;
  memset(&info, 0xff, sizeof info);
  ASSERT_EQ(KIVOMountVolInfoGet(Path("volume1/homes/alice/cal/.DAV/").c_str(), &info), 0);
  EXPECT_EQ(info.writable, 1);
  EXPECT_GT(info.total_bytes, 0u);
  EXPECT_LE(info.free_bytes, info.total_bytes);

  // A file in the way of the path: its directory still names the volume.
  ASSERT_EQ(KIVOMountVolInfoGet(Path("volume1/homes/.keep/x").c_str(), &info), 0);
  ASSERT_EQ(KIVOMountVolInfoGet("relative/not/there", &info), 0);  // the working directory's
}

TEST_F(FilesTest, VolumeInfoRefusesNullArguments) {
  KIVOVOLINFO info;
  EXPECT_LT(KIVOMountVolInfoGet(nullptr, &info), 0);
  EXPECT_LT(KIVOMountVolInfoGet(root_.c_str(), nullptr), 0);
  EXPECT_LT(KIVOMountVolInfoGet("", &info), 0);
}

TEST_F(FilesTest, ExecAnswersZeroExactlyOnExitZero) {
  Write("bin/exit-with", "#!/bin/sh\nexit \"$1\"\n");
  chmod(Path("bin/exit-with").c_str(), 0755);
  const std::string program = Path("bin/exit-with");
  const struct {
    const char* program;
    const char* arg1;
    bool ok;
  } cases[] = {
      {program.c_str(), "0", true},   {program.c_str(), "1", false},
      {program.c_str(), "3", false},  {"/bin/true", nullptr, true},
      {"/bin/false", nullptr, false}, {"/nonexistent/program", nullptr, false},
      {"", nullptr, false},           {nullptr, nullptr, false},
  };
  for (const auto& c : cases) {
    int result = KLIBCExec(c.program, c.arg1, nullptr, nullptr, nullptr);
    EXPECT_EQ(result == 0, c.ok) << (c.program ? c.program : "(null)") << " " << c.arg1;
  }
}

TEST_F(FilesTest, ExecPassesArgumentsUpToTheFirstNull) {
  Write("bin/record", "#!/bin/sh\nprintf '%s|' \"$@\" > \"$1\"\n");
  chmod(Path("bin/record").c_str(), 0755);
  std::string out = Path("args");
  ASSERT_EQ(KLIBCExec(Path("bin/record").c_str(), out.c_str(), "b c", nullptr, "ignored"), 0);
  EXPECT_EQ(Read("args"), out + "|b c|");
  ASSERT_EQ(KLIBCExec(Path("bin/record").c_str(), out.c_str(), "2", "3", "4"), 0);
  EXPECT_EQ(Read("args"), out + "|2|3|4|");
}

TEST_F(FilesTest, ExecRemovesAFolderTree) {
  Write("volume1/public/cal/.DAV/.state_for_dir.pag", "x");
  ASSERT_EQ(KLIBCExec("/bin/rm", "-rf", Path("volume1/public/cal").c_str(), nullptr, nullptr), 0);
  EXPECT_THAT(List("volume1/public"), testing::IsEmpty());
}

TEST_F(FilesTest, CopyGivesTheCopyItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
  Write("template.pag", std::string(200000, 'p'));  // several read/write rounds
  KIVOCOPYOPT options{};
  options.overwrite = 1;
  options.uid = 4321;
  options.gid = 4322;
  ASSERT_EQ(KIVOFileCopy(Path("template.pag").c_str(), Path("copy.pag").c_str(), &options), 0);
  EXPECT_EQ(Read("copy.pag"), Read("template.pag"));
  struct stat st;
  ASSERT_EQ(stat(Path("copy.pag").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
}

TEST_F(FilesTest, CopyOverwritesOnlyWhenAsked) {
  Write("src", "new");
  Write("dst", "old content");
  KIVOCOPYOPT options{};
  options.uid = geteuid();
  options.gid = getegid();
  EXPECT_NE(KIVOFileCopy(Path("src").c_str(), Path("dst").c_str(), &options), 0);
  EXPECT_EQ(KLIBCErrGet(), EEXIST);
  EXPECT_EQ(Read("dst"), "old content");
  options.overwrite = 1;
  ASSERT_EQ(KIVOFileCopy(Path("src").c_str(), Path("dst").c_str(), &options), 0);
  EXPECT_EQ(Read("dst"), "new");
  EXPECT_NE(KIVOFileCopy(Path("src").c_str(), Path("src").c_str(), &options), 0);
  EXPECT_EQ(Read("src"), "new");  // not truncated by copying onto itself
}

TEST_F(FilesTest, CopyFailuresTellWhy) {
  Write("src", "x");
  KIVOCOPYOPT options{};
  options.uid = geteuid();
  options.gid = getegid();
  const struct {
    std::string source;
    std::string dest;
    int error;
  } cases[] = {
      {Path("missing"), Path("dst"), ENOENT},
      {Path("src"), Path("no/such/dir/dst"), ENOENT},
      {root_, Path("dst2"), EINVAL},  // a directory is not copied
  };
  for (const auto& c : cases) {
    EXPECT_NE(KIVOFileCopy(c.source.c_str(), c.dest.c_str(), &options), 0) << c.source;
    EXPECT_EQ(KLIBCErrGet(), c.error) << c.source;
  }
  EXPECT_THAT(List(""), testing::UnorderedElementsAre("src"));
  EXPECT_NE(KIVOFileCopy(nullptr, Path("d").c_str(), &options), 0);
  EXPECT_NE(KIVOFileCopy(Path("src").c_str(), Path("d").c_str(), nullptr), 0);
}

}  // namespace
