// The account files' version: every change moves it, reads and other files do not; stat without
// inotify.

#include "host/accounts_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "tests/platform/temp_root.h"

namespace {

class AccountsVersionTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    for (const char* name : {"passwd", "shadow", "group", "kivoinfo.conf"}) Write(Etc(name), "x\n");
  }
  static std::string Etc(const std::string& name) { return "etc/" + name; }
};

TEST_F(AccountsVersionTest, EveryChangeOfAnAccountFileMovesItAndNothingElseDoes) {
  host::AccountsVersion version(root_);
  const struct {
    const char* what;
    bool moves;
    std::function<void()> act;
  } cases[] = {
      {"read", false, [&] { std::ifstream(Path(Etc("shadow"))).get(); }},
      {"other file written", false, [&] { Write(Etc("kivoinfo.conf"), "y\n"); }},
      {"folder made beside", false, [&] { mkdir(Path(Etc("kivo")).c_str(), 0755); }},
      {"written in place", true, [&] { Write(Etc("shadow"), "changed\n"); }},
      {"replaced by rename", true,
       [&] {
         Write(Etc("passwd.new"), "new\n");
         rename(Path(Etc("passwd.new")).c_str(), Path(Etc("passwd")).c_str());
       }},
      {"mode changed", true, [&] { chmod(Path(Etc("group")).c_str(), 0600); }},
      {"removed", true, [&] { unlink(Path(Etc("group")).c_str()); }},
      {"made again", true, [&] { Write(Etc("group"), "x\n"); }},
  };
  for (const auto& c : cases) {
    const uint64_t before = version.Current();
    c.act();
    EXPECT_EQ(version.Current() != before, c.moves) << c.what;
  }
}

TEST_F(AccountsVersionTest, FallsBackToStatsWhenTheFolderGoes) {
  host::AccountsVersion version(root_);
  const uint64_t watched = version.Current();
  ASSERT_EQ(rename(Path("etc").c_str(), Path("etc.old").c_str()), 0);
  const uint64_t gone = version.Current();
  EXPECT_NE(gone, watched);
  ASSERT_EQ(rename(Path("etc.old").c_str(), Path("etc").c_str()), 0);
  const uint64_t back = version.Current();
  EXPECT_NE(back, gone) << "the files are there again";
  EXPECT_EQ(version.Current(), back);
  Write(Etc("shadow"), "changed\n");
  EXPECT_NE(version.Current(), back) << "stats see the change";
}

TEST(AccountsVersionNoFolder, AnswersByStat) {
  host::AccountsVersion version("/nonexistent-kivo-root");
  EXPECT_EQ(version.Current(), version.Current());
}

}  // namespace
