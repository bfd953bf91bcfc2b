// Per-share access lists through `kivo-webapi call`: the store a `set` writes, and its team
// folders as the accounts meet them on disk, each acting under its own uid and groups.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

constexpr char kShare[] = "KIVO.Core.FileServ.WebDAV.Share";
constexpr int kTeamGid = 2000;

class TeamFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    for (const char* name : {"alice", "bob", "carol"}) ASSERT_TRUE(root_.AddUser(name));
    std::string group = Read(root_.Path("/etc/group"));
    ASSERT_TRUE(WriteFile(root_.Path("/etc/group"),
                          group + "team:x:" + std::to_string(kTeamGid) + ":alice,bob\n"));
    dir_ = root_.Path("/volume1/team");
    ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    ASSERT_TRUE(AddShare(root_, "team", dir_));
  }
  uid_t Uid(const std::string& name) {
    for (const std::string& line : ReadLines(root_.Path("/etc/passwd"))) {
      if (line.compare(0, name.size() + 1, name + ":") == 0) {
        return static_cast<uid_t>(std::stoul(line.substr(line.find(':', name.size() + 1) + 1)));
      }
    }
    ADD_FAILURE() << "no account " << name;
    return 0;
  }
  // Exit status of `script`, run in the share's folder as the account, with the team group
  // when `member`.
  int As(const std::string& name, bool member, const std::string& script) {
    const std::string groups = member ? "--groups=" + std::to_string(kTeamGid) : "--clear-groups";
    return e2e::Run({"/usr/bin/setpriv", "--reuid=" + std::to_string(Uid(name)), "--regid=100",
                     groups, "/bin/sh", "-c", "cd '" + dir_ + "' && " + script},
                    root_.path())
        .status;
  }
  Result Set(const std::string& lists) {
    return root_.Call(kShare, "set", R"({"share": "team", )" + lists + "}");
  }

  TestRoot root_;
  std::string dir_;
};

TEST_F(TeamFolderTest, WritersEditEachOthersFilesOthersDoNotAndReadersOnlyRead) {
  // Made before the set, alice's own and private, beside what the walk must leave alone.
  ASSERT_TRUE(WriteFile(dir_ + "/old.txt", "old\n"));
  ASSERT_EQ(chmod((dir_ + "/old.txt").c_str(), 0600), 0);
  ASSERT_EQ(chown((dir_ + "/old.txt").c_str(), Uid("alice"), 100), 0);
  const std::string outside = root_.Path("/outside.txt");
  ASSERT_TRUE(WriteFile(outside, "root's\n"));
  ASSERT_EQ(symlink(outside.c_str(), (dir_ + "/link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);

  Result set = Set(R"("read": ["carol"], "write": ["alice", "@team"])");
  EXPECT_EQ(set.answer, ParseJson(R"({"success": true, "data": null})")) << set.err;
  EXPECT_EQ(ParseJson(Read(root_.Path("/etc/kivo/share-access.json"))),
            ParseJson(R"({"version": 1, "shares": {"team": {"read": ["carol"],
                                                             "write": ["@team", "alice"]}}})"));
  const struct stat store = StatOf(root_.Path("/etc/kivo/share-access.json"));
  EXPECT_EQ(store.st_mode & 07777, 0644u);
  EXPECT_EQ(store.st_uid, 0u);

  // A new folder and file, made under a umask that shuts the group out, inherit the team's
  // entries; a file from before the set got them from the walk.
  EXPECT_EQ(As("alice", true, "umask 077 && mkdir sub && echo a > sub/new.txt"), 0);
  EXPECT_EQ(As("bob", true, "echo b >> sub/new.txt && echo b >> old.txt && touch sub/bob.txt"), 0);
  EXPECT_EQ(As("alice", true, "echo a >> sub/bob.txt"), 0);
  EXPECT_NE(As("carol", false, "echo c >> sub/new.txt"), 0);
  EXPECT_NE(As("carol", false, "cat old.txt"), 0);
  EXPECT_NE(As("bob", false, "echo b >> old.txt"), 0) << "the team's right, not bob's own";
  // Neither what the link names nor the FIFO took an entry.
  for (const std::string& path : {outside, dir_ + "/fifo"}) {
    errno = 0;
    EXPECT_LT(lgetxattr(path.c_str(), "system.posix_acl_access", nullptr, 0), 0) << path;
    EXPECT_EQ(errno, ENODATA) << path;
  }

  // The team moved to reading: its members read and no longer write, also in folders made
  // while it wrote.
  set = Set(R"("read": ["@team"], "write": ["alice"])");
  EXPECT_EQ(set.answer, ParseJson(R"({"success": true, "data": null})")) << set.err;
  EXPECT_EQ(As("bob", true, "cat sub/new.txt old.txt >/dev/null"), 0);
  EXPECT_NE(As("bob", true, "echo b >> sub/new.txt"), 0);
  EXPECT_NE(As("bob", true, "touch sub/again.txt"), 0);

  // No lists: the tree is back to its modes, nothing of the team left.
  set = Set(R"("read": [], "write": [])");
  EXPECT_EQ(set.answer, ParseJson(R"({"success": true, "data": null})")) << set.err;
  EXPECT_NE(As("bob", true, "cat old.txt"), 0);
  for (const std::string& path : {dir_, dir_ + "/sub", dir_ + "/old.txt"}) {
    EXPECT_LT(getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0), 0) << path;
    EXPECT_LT(getxattr(path.c_str(), "system.posix_acl_default", nullptr, 0), 0) << path;
  }
  const Result list = root_.Call(kShare, "list");
  ASSERT_TRUE(list.answer["success"].asBool()) << list.err;
  for (const Json::Value& share : list.answer["data"]["shares"]) {
    EXPECT_EQ(share["read"], Json::Value(Json::arrayValue)) << share["share"];
    EXPECT_EQ(share["homes"].asBool(), share["share"] == "homes");
  }
}

}  // namespace
}  // namespace e2e
