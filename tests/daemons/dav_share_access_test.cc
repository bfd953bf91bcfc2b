// The WebDAV daemon's share access lists (mod_kivo_dav's
// kivo_dav_share_access.c), without Apache: the rule every reader holds,
// and the table a process keeps while the files stay as they were.

#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "kivo/kivo_paths.h"

extern "C" {
#include "daemons/apache/kivo_dav_share_access.h"
}

namespace {

const char* Expected(int judged) {
  return judged == KD_SHARE_ALLOWED   ? "allowed"
         : judged == KD_SHARE_REFUSED ? "refused"
                                      : "no lists";
}

// The table both readers run (tests/vectors/share_access.json): the
// account's groups become the first lines of an etc/group, before groups
// of names that share prefixes with them, so that a match by position or
// prefix shows.
TEST(DavShareAccessTest, TheSharedVectors) {
  std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/share_access.json");
  Json::Value table;
  ASSERT_TRUE(Json::Reader().parse(file, table));
  ASSERT_GT(table["cases"].size(), 20u);
  EXPECT_STREQ(KD_SHARE_ACCESS_PATH, SZF_SHARE_ACCESS);
  for (const Json::Value& c : table["cases"]) {
    const std::string text = c["text"].isNull() ? "{}" : c["text"].asString();
    std::string group = "nocolon\none:field\nempty:x:\n";  // lines naming no group's id
    std::vector<gid_t> gids;
    for (const Json::Value& name : c["groups"]) {
      gids.push_back(9 * (1 + static_cast<gid_t>(gids.size())));
      group += name.asString() + ":x:" + std::to_string(gids.back()) + ":\n";
    }
    group += "tea:x:5000:\nstaff:x:7000:\nteam:x:7001:\n";  // not the account's
    // Read to its length alone: the space past it is no part of the store.
    kd_share_access* access = kd_share_access_parse((text + " ").data(), text.size());
    ASSERT_NE(access, nullptr);
    kd_share_access_resolve(access, group.data(), group.size());
    const int judged =
        kd_share_access_judge(access, c["share"].asCString(), c["account"].asCString(), gids.data(),
                              static_cast<int>(gids.size()), c["access"].asString() == "write");
    EXPECT_STREQ(Expected(judged), c["expect"].asCString()) << c["why"].asString();
    kd_share_access_free(access);
  }
}

class DavShareAccessKeptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("kivo-share-access-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    Write("group", "team:x:3000:\n");
  }
  void TearDown() override {
    kd_share_access_kept_clear(&kept_);
    std::filesystem::remove_all(dir_);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const std::string& text, mode_t mode = 0644) {
    const std::string tmp = Path(name + ".new");
    std::ofstream(tmp) << text;
    chmod(tmp.c_str(), mode);
    std::filesystem::rename(tmp, Path(name));
  }
  // The wall clock `seconds` after the store's last change.
  struct timespec After(double seconds) const {
    struct stat st;
    if (lstat(Path("store").c_str(), &st) != 0) stat(Path("group").c_str(), &st);
    struct timespec t = st.st_ctim;
    const long ns = t.tv_nsec + static_cast<long>(seconds * 1e9);
    t.tv_sec += ns / 1000000000;
    t.tv_nsec = ns % 1000000000;
    return t;
  }
  const char* Judge(const char* share, const char* user, gid_t gid, bool write,
                    const struct timespec& now) {
    const char* report = nullptr;
    const int judged = kd_share_access_check(&kept_, Path("store").c_str(), Path("group").c_str(),
                                             &now, share, user, &gid, 1, write, &report);
    reports_ += report != nullptr ? 1 : 0;
    return Expected(judged);
  }

  std::filesystem::path dir_;
  // All zero, as the C initializer gives it (glibc's default mutex is all zero too).
  kd_share_access_kept kept_{};
  int reports_ = 0;
};

// A change counts at the next check, also a second one within one tick of
// the file clock with the size kept (a read that soon is never trusted),
// while settled files are not read again.
TEST_F(DavShareAccessKeptTest, AChangeCountsAtTheNextCheck) {
  EXPECT_STREQ(Judge("public", "bob", 100, true, After(5)), "no lists") << "no file";
  Write("store", R"({"version": 1, "shares": {"public": {"read": ["bob"]}}})");
  EXPECT_STREQ(Judge("public", "bob", 100, true, After(0.5)), "refused");
  // The same size, the same second: only the inode or nanoseconds tell.
  Write("store", R"({"version": 1, "shares": {"public": {"write": ["bob"]}}})");
  EXPECT_STREQ(Judge("public", "bob", 100, true, After(0.5)), "allowed");
  const unsigned long builds = kept_.builds;
  EXPECT_STREQ(Judge("public", "bob", 100, true, After(0.5)), "allowed");
  EXPECT_EQ(kept_.builds, builds + 1) << "read too soon after its change: read again";
  EXPECT_STREQ(Judge("public", "bob", 100, true, After(2)), "allowed");
  EXPECT_STREQ(Judge("public", "bob", 100, true, After(2)), "allowed");
  EXPECT_EQ(kept_.builds, builds + 2) << "settled: kept";
  Write("group", "team:x:3000:\nstaff:x:3002:\n");
  EXPECT_STREQ(Judge("public", "bob", 100, true, After(2)), "allowed");
  EXPECT_EQ(kept_.builds, builds + 2) << "no group named: etc/group is no matter";
  // A group's membership is etc/group's: a change there counts too.
  Write("store", R"({"version": 1, "shares": {"public": {"write": ["@team"]}}})");
  EXPECT_STREQ(Judge("public", "eve", 3000, true, After(2)), "allowed");
  Write("group", "other:x:3000:\nteam:x:3001:\n");
  EXPECT_STREQ(Judge("public", "eve", 3000, true, After(2)), "refused");
  std::filesystem::remove(Path("store"));
  EXPECT_STREQ(Judge("public", "eve", 3000, true, After(2)), "no lists") << "removed";
  EXPECT_EQ(reports_, 0);
}

// A store anybody but root could have written, or that is no regular
// file, refuses every share but the homes, and is reported once per
// version of the file.
TEST_F(DavShareAccessKeptTest, AStoreNotRootsAloneRefusesEveryShare) {
  const std::string good = R"({"version": 1, "shares": {}})";
  const struct {
    const char* why;
    std::function<void()> make;
  } cases[] = {
      {"writable by others", [&] { Write("store", good, 0666); }},
      {"not root's",
       [&] {
         Write("store", good);
         chown(Path("store").c_str(), 1000, 0);
       }},
      {"a FIFO", [&] { mkfifo(Path("store").c_str(), 0644); }},
      {"a link",
       [&] {
         Write("real", good);
         symlink(Path("real").c_str(), Path("store").c_str());
       }},
      {"malformed", [&] { Write("store", "{\"version\": 1, \"shares\": {"); }},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(Path("store"));
    c.make();
    reports_ = 0;
    EXPECT_STREQ(Judge("public", "bob", 100, false, After(2)), "refused") << c.why;
    EXPECT_STREQ(Judge("media", "bob", 100, false, After(0.5)), "refused") << c.why;
    EXPECT_STREQ(Judge("homes", "bob", 100, true, After(0.5)), "no lists") << c.why;
    EXPECT_EQ(reports_, 1) << c.why;
  }
  Write("store", good);
  EXPECT_STREQ(Judge("public", "bob", 100, true, After(2)), "no lists") << "repaired";
}

}  // namespace
