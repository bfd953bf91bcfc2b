// The account files' version: every way of changing one of them moves it,
// other files in etc and mere reads do not, and a root whose etc cannot be
// watched still answers by stat.

#include "host/accounts_version.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

namespace {

class AccountsVersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kivo-accounts-version-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
    ASSERT_EQ(mkdir((root_ + "/etc").c_str(), 0755), 0);
    for (const char* name : {"passwd", "shadow", "group", "kivoinfo.conf"}) Write(name, "x\n");
  }
  void TearDown() override { std::system(("rm -rf " + root_).c_str()); }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(Etc(name), std::ios::trunc) << text;
  }
  std::string Etc(const std::string& name) const { return root_ + "/etc/" + name; }

  std::string root_;
};

TEST_F(AccountsVersionTest, EveryChangeOfAnAccountFileMovesItAndNothingElseDoes) {
  host::AccountsVersion version(root_);
  const struct {
    const char* what;
    bool moves;
    std::function<void()> act;
  } cases[] = {
      {"read", false, [&] { std::ifstream(Etc("shadow")).get(); }},
      {"other file written", false, [&] { Write("kivoinfo.conf", "y\n"); }},
      {"folder made beside", false, [&] { mkdir(Etc("kivo").c_str(), 0755); }},
      {"written in place", true, [&] { Write("shadow", "changed\n"); }},
      {"replaced by rename", true,
       [&] {
         Write("passwd.new", "new\n");
         rename(Etc("passwd.new").c_str(), Etc("passwd").c_str());
       }},
      {"mode changed", true, [&] { chmod(Etc("group").c_str(), 0600); }},
      {"removed", true, [&] { unlink(Etc("group").c_str()); }},
      {"made again", true, [&] { Write("group", "x\n"); }},
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
  ASSERT_EQ(rename((root_ + "/etc").c_str(), (root_ + "/etc.old").c_str()), 0);
  const uint64_t gone = version.Current();
  EXPECT_NE(gone, watched);
  ASSERT_EQ(rename((root_ + "/etc.old").c_str(), (root_ + "/etc").c_str()), 0);
  const uint64_t back = version.Current();
  EXPECT_NE(back, gone) << "the files are there again";
  EXPECT_EQ(version.Current(), back);
  Write("shadow", "changed\n");
  EXPECT_NE(version.Current(), back) << "stats see the change";
}

TEST(AccountsVersionNoFolder, AnswersByStat) {
  host::AccountsVersion version("/nonexistent-kivo-root");
  EXPECT_EQ(version.Current(), version.Current());
}

}  // namespace
