// Shares: lookups by name and the share that holds a path. Which members are
// shares is the reader's rule (tests/base/share_table_test.cc).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <tuple>

#include "kivo/kivo_platform.h"
#include "tests/platform/temp_root.h"

namespace {

constexpr char kShares[] = "etc/kivo/shares.json";

class SharesTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    Write(kShares, R"({"homes": "/volume1/homes", "public": "/volume1/public/",
                       "media": "/volume1/public/media"})");
  }
};

TEST_F(SharesTest, GetByName) {
  PKIVOSHARE share = nullptr;
  ASSERT_EQ(KIVOShareGet("homes", &share), 0);
  EXPECT_STREQ(share->name, "homes");
  EXPECT_STREQ(share->path, "/volume1/homes");
  KIVOShareFree(share);
  for (const char* name : {"Homes", "absent", ""}) {
    share = reinterpret_cast<PKIVOSHARE>(0x1);
    EXPECT_NE(KIVOShareGet(name, &share), 0) << name;
    EXPECT_EQ(share, nullptr) << name;
  }
  Write(kShares, R"(["homes"])");  // not a table
  EXPECT_NE(KIVOShareGet("homes", &share), 0);
  EXPECT_EQ(share, nullptr);
}

// Lookups may reuse a parsed table, but never one the file no longer holds.
TEST_F(SharesTest, ChangedTableIsSeenAtOnce) {
  struct timespec old_times[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path(kShares).c_str(), old_times, 0), 0);
  PKIVOSHARE share = nullptr;
  ASSERT_EQ(KIVOShareGet("homes", &share), 0);  // settled: may be kept
  KIVOShareFree(share);
  // Rewritten in place; then the same size at the same moment; then gone.
  const std::pair<const char*, const char*> steps[] = {
      {R"({"homes": "/volume2/homes"})", "/volume2/homes"},
      {R"({"homes": "/volume3/homes"})", "/volume3/homes"},
      {R"({"other": "/volume3/other"})", nullptr},
  };
  for (const auto& [content, homes] : steps) {
    Write(kShares, content);
    share = nullptr;
    EXPECT_EQ(KIVOShareGet("homes", &share) == 0, homes != nullptr) << content;
    EXPECT_STREQ(share ? share->path : nullptr, homes);
    KIVOShareFree(share);
  }
}

// An edit that keeps the size and sets the modification time back (as
// `touch -r` after it would) still moves the change time, which the kept
// table is checked against.
TEST_F(SharesTest, AnEditHidingItsModificationTimeIsSeen) {
  Write(kShares, R"({"homes": "/volume2/homes"})");
  Age(kShares);
  sleep(3);  // the change time settles too: the table is kept from here on
  PKIVOSHARE share = nullptr;
  ASSERT_EQ(KIVOShareGet("homes", &share), 0);
  EXPECT_STREQ(share->path, "/volume2/homes");
  KIVOShareFree(share);
  struct stat before;
  ASSERT_EQ(stat(Path(kShares).c_str(), &before), 0);
  Write(kShares, R"({"homes": "/volume3/homes"})");  // in place, the same size
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, Path(kShares).c_str(), times, 0), 0);
  ASSERT_EQ(KIVOShareGet("homes", &share), 0);
  EXPECT_STREQ(share->path, "/volume3/homes");
  KIVOShareFree(share);
}

TEST_F(SharesTest, ShareOfAPathByWholeComponents) {
  // The path, then the share's name and directory (empty: none).
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"/volume1/homes", "homes", "/volume1/homes"},
      {"/volume1/homes/", "homes", "/volume1/homes"},
      {"/volume1/homes/alice/cal", "homes", "/volume1/homes"},
      {"/volume1/public", "public", "/volume1/public"},
      {"/volume1/public/media/x", "media", "/volume1/public/media"},  // innermost share
      {"/volume1/public/mediax", "public", "/volume1/public"},
      {"/volume1/homes2", "", ""},
      {"/volume1/home", "", ""},
      {"/volume1", "", ""},
      {"volume1/homes", "", ""},
  };
  for (const auto& [path, share, dir] : cases) {
    char name[493] = "";
    char found[4095] = "";
    EXPECT_EQ(KIVOShareNamePathGet(path, name, sizeof name, found, sizeof found) == 0, *share != 0)
        << path;
    EXPECT_STREQ(name, share) << path;
    EXPECT_STREQ(found, dir) << path;
  }
  char name[4] = "zzz";
  ASSERT_EQ(KIVOShareNamePathGet("/volume1/homes/a", name, sizeof name, nullptr, 0), 0);
  EXPECT_STREQ(name, "hom") << "filled within its size";
}

}  // namespace
