// Shares: lookups by name and the share that holds a path.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <ctime>

#include "module/kivo_platform.h"
#include "tests/platform/temp_root.h"

namespace {

constexpr char kShares[] = "etc/kivo/shares.json";

class SharesTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    Write(kShares, R"({"homes": "/volume1/homes", "public": "/volume1/public/",
                       "media": "/volume1/public/media", "bad": 7, "rel": "x/y"})");
  }
};

TEST_F(SharesTest, GetByName) {
  PKIVOSHARE share = nullptr;
  ASSERT_EQ(KIVOShareGet("homes", &share), 0);
  EXPECT_STREQ(share->name, "homes");
  EXPECT_STREQ(share->path, "/volume1/homes");
  KIVOShareFree(share);

  for (const char* name : {"Homes", "absent", "bad", "rel", ""}) {
    share = reinterpret_cast<PKIVOSHARE>(0x1);
    EXPECT_NE(KIVOShareGet(name, &share), 0) << name;
    EXPECT_EQ(share, nullptr) << name;
  }
  EXPECT_NE(KIVOShareGet(nullptr, &share), 0);
  EXPECT_NE(KIVOShareGet("homes", nullptr), 0);
  KIVOShareFree(nullptr);
}

TEST_F(SharesTest, GetFailsWithoutAUsableTable) {
  for (const char* content : {"", "{broken", "[\"homes\"]"}) {
    Write(kShares, content);
    PKIVOSHARE share = nullptr;
    EXPECT_NE(KIVOShareGet("homes", &share), 0) << content;
    EXPECT_EQ(share, nullptr);
  }
  unlink(Path(kShares).c_str());
  PKIVOSHARE share = nullptr;
  EXPECT_NE(KIVOShareGet("homes", &share), 0);
}

// Lookups may reuse a parsed table, but never one the file no longer holds.
TEST_F(SharesTest, ChangedTableIsSeenAtOnce) {
  const std::string path = Path(kShares);
  struct timespec old_times[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
  PKIVOSHARE share = nullptr;
  ASSERT_EQ(KIVOShareGet("homes", &share), 0);  // settled: may be kept
  KIVOShareFree(share);

  const struct {
    const char* content;
    const char* homes;  // null: no such share
  } steps[] = {
      {R"({"homes": "/volume2/homes"})", "/volume2/homes"},  // rewritten in place
      {R"({"homes": "/volume3/homes"})", "/volume3/homes"},  // same size, same moment
      {R"({"other": "/volume3/other"})", nullptr},
  };
  for (const auto& step : steps) {
    Write(kShares, step.content);
    share = nullptr;
    if (step.homes == nullptr) {
      EXPECT_NE(KIVOShareGet("homes", &share), 0) << step.content;
    } else {
      ASSERT_EQ(KIVOShareGet("homes", &share), 0) << step.content;
      EXPECT_STREQ(share->path, step.homes);
    }
    KIVOShareFree(share);
  }
}

TEST_F(SharesTest, ShareOfAPathByWholeComponents) {
  const struct {
    const char* path;
    int result;
    const char* name;
    const char* dir;
  } cases[] = {
      {"/volume1/homes", 0, "homes", "/volume1/homes"},
      {"/volume1/homes/", 0, "homes", "/volume1/homes"},
      {"/volume1/homes/alice/cal", 0, "homes", "/volume1/homes"},
      {"/volume1/public", 0, "public", "/volume1/public"},
      {"/volume1/public/media/x", 0, "media", "/volume1/public/media"},  // innermost share
      {"/volume1/public/mediax", 0, "public", "/volume1/public"},
      {"/volume1/homes2", -1, "", ""},
      {"/volume1/home", -1, "", ""},
      {"/volume1", -1, "", ""},
      {"volume1/homes", -1, "", ""},
      {"", -1, "", ""},
  };
  for (const auto& c : cases) {
    char name[493] = "";
    char dir[4095] = "";
    int result = KIVOShareNamePathGet(c.path, name, sizeof name, dir, sizeof dir);
    EXPECT_EQ(result == 0 ? 0 : -1, c.result) << c.path;
    EXPECT_STREQ(name, c.name) << c.path;
    EXPECT_STREQ(dir, c.dir) << c.path;
  }
  EXPECT_NE(KIVOShareNamePathGet(nullptr, nullptr, 0, nullptr, 0), 0);
}

TEST_F(SharesTest, ShareOfAPathFillsBuffersWithinTheirSizes) {
  char name[4] = "zzz";
  char dir[8];
  memset(dir, 'z', sizeof dir);
  ASSERT_EQ(KIVOShareNamePathGet("/volume1/homes/a", name, sizeof name, dir, 0), 0);
  EXPECT_STREQ(name, "hom");
  EXPECT_EQ(dir[0], 'z');  // size 0: untouched
  ASSERT_EQ(KIVOShareNamePathGet("/volume1/homes/a", nullptr, 0, dir, sizeof dir), 0);
  EXPECT_STREQ(dir, "/volume");
}

}  // namespace
