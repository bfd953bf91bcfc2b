// The share access lists' rules: what a `set` refuses and with which code, what the store keeps
// and reads back, and the ACL each object of a team folder is given.

#include "share/share_access.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "share/share_access_store.h"
#include "share/team_acl.h"
#include "tests/platform/temp_root.h"

namespace {

using share::AclEntry;

class ShareAccessSetTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    for (const char* sub : {"homes", "public"}) ASSERT_EQ(mkdir(Path(sub).c_str(), 0755), 0);
    // "staff" is an account and "team" a group only: each name lives in one namespace.
    Write("etc/passwd",
          "alice:x:1024:100::/h:/bin/sh\nbob:x:1025:100::/h:/bin/sh\n"
          "staff:x:1026:100::/h:/bin/sh\n");
    Write("etc/group", "root:x:0:\nusers:x:100:\nteam:x:2000:alice,bob\n");
    Write("etc/kivo/shares.json",
          R"({"homes": ")" + root_ + R"(/homes", "public": ")" + root_ + "/public\"}");
  }
  void TearDown() override {
    TempRootTest::TearDown();
    unsetenv("KIVO_ROOT");
  }
  // The code a `set` with these parameters answers; 0 on success.
  int Set(const std::string& params) {
    Json::Value value;
    EXPECT_TRUE(Json::Reader().parse(params, value)) << params;
    KIVO::APIRequest request("admin", value, KIVO::Standing::kAdministrator);
    KIVO::APIResponse response;
    ShareAccessHandler(&request, &response).Set();
    EXPECT_EQ(response.answer_count(), 1);
    return response.success() ? 0 : response.error_code();
  }
};

TEST_F(ShareAccessSetTest, EveryRefusalHasItsCodeAndWritesNothing) {
  std::string many = "[";
  for (int i = 0; i <= 256; ++i) many += std::string(i ? "," : "") + "\"alice\"";
  many += "]";
  const struct {
    std::string params;
    int code;
  } cases[] = {
      {R"({"share": "public", "read": ["bob", "@team"], "write": ["alice"]})", 0},
      {R"({"read": [], "write": []})", 1705},
      {R"({"share": "public", "read": "bob", "write": []})", 1705},
      {R"({"share": "public", "read": [1], "write": []})", 1705},
      {R"({"share": "public", "read": []})", 1705},
      {R"({"share": "nowhere", "read": [], "write": []})", 1741},
      {R"({"share": "publi", "read": [], "write": []})", 1741},
      {R"({"share": "homes", "read": [], "write": []})", 1742},
      {R"({"share": "homes", "read": ["alice"], "write": []})", 1742},
      {R"({"share": "public", "read": ["alice", "alice"], "write": []})", 1743},
      {R"({"share": "public", "read": [], "write": ["../alice"]})", 1743},
      {R"({"share": "public", "read": ["@"], "write": []})", 1743},
      {R"({"share": "public", "read": [""], "write": []})", 1743},
      {R"({"share": "public", "read": ["-alice"], "write": []})", 1743},
      {R"({"share": "public", "read": ["al ice"], "write": []})", 1743},
      {R"({"share": "public", "read": [], "write": ["alic"]})", 1744},
      {R"({"share": "public", "read": [], "write": ["team"]})", 1744},
      {R"({"share": "public", "read": ["@staff"], "write": []})", 1745},
      {R"({"share": "public", "read": ["@tea"], "write": []})", 1745},
      {R"({"share": "public", "read": ["@root"], "write": []})", 1745},
      {R"({"share": "public", "read": [], "write": ["@teams"]})", 1745},
      {R"({"share": "public", "read": [], "write": )" + many + "}", 1746},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    EXPECT_EQ(Set(c.params), c.code);
  }
  share::AccessStore store;
  ASSERT_TRUE(share::ReadAccessStore(&store));
  ASSERT_EQ(store.size(), 1u) << "only the first set was written";
  EXPECT_EQ(store["public"].read, (std::set<std::string>{"@team", "bob"}));
  EXPECT_EQ(store["public"].write, (std::set<std::string>{"alice"}));
  struct stat st;
  ASSERT_EQ(stat(share::AccessStorePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  // Both lists emptied: the share leaves the file.
  EXPECT_EQ(Set(R"({"share": "public", "read": [], "write": []})"), 0);
  ASSERT_TRUE(share::ReadAccessStore(&store));
  EXPECT_TRUE(store.empty());
}

TEST(ShareAccessStore, OnlyTheWholeShapeParsesAndTheWriterKeepsIt) {
  const char* const malformed[] = {
      "",
      "[]",
      R"({"shares": {}})",
      R"({"version": 2, "shares": {}})",
      R"({"version": 1, "shares": []})",
      R"({"version": 1, "shares": {"p": {"read": ["b", "a"]}}})",
      R"({"version": 1, "shares": {"p": {"read": ["a", "a"]}}})",
      R"({"version": 1, "shares": {"p": {"read": [1]}}})",
      R"({"version": 1, "shares": {"p": {"read": [], "owner": []}}})",
      R"({"version": 1, "shares": {"p": {"read": []}, "p": {"write": []}}})",
      R"({"version": 1, "shares": {}} {})",
      R"({"version": 1, /* */ "shares": {}})",
  };
  for (const char* text : malformed) {
    share::AccessStore store{{"kept", {}}};
    EXPECT_FALSE(share::ParseAccessStore(text, &store)) << text;
    EXPECT_EQ(store.count("kept"), 1u) << "untouched on failure";
  }
  share::AccessStore store;
  ASSERT_TRUE(share::ParseAccessStore(
      R"({"version": 1, "shares": {"p": {"read": ["@g", "b"], "write": ["a"]}, "q": {}}})",
      &store));
  share::AccessStore again;
  ASSERT_TRUE(share::ParseAccessStore(share::AccessStoreText(store), &again));
  store.erase("q");  // no lists: left out
  EXPECT_EQ(again, store);
}

// Entries as (tag, perm, id); -1 ids written as kNo.
constexpr uint32_t kNo = 0xFFFFFFFFu;

TEST(TeamAcl, ListedGroupsOwnTheNamedGroupEntriesAndTheMaskGrantsNothingElse) {
  const std::vector<AclEntry> file0600 = share::ModeAcl(0600);
  const struct {
    const char* why;
    std::vector<AclEntry> current;
    share::TeamGroups groups;
    bool folder, executable;
    std::vector<AclEntry> wanted;
  } cases[] = {
      {"no groups: the mode alone", file0600, {}, false, false, file0600},
      {"a writer on a file",
       file0600,
       {{2000, true}},
       false,
       false,
       {{1, 6, kNo}, {4, 0, kNo}, {8, 6, 2000}, {0x10, 6, kNo}, {0x20, 0, kNo}}},
      {"a reader on a program",
       share::ModeAcl(0700),
       {{2000, false}},
       false,
       true,
       {{1, 7, kNo}, {4, 0, kNo}, {8, 5, 2000}, {0x10, 5, kNo}, {0x20, 0, kNo}}},
      {"a writer on a folder",
       share::ModeAcl(0755),
       {{2000, true}},
       true,
       false,
       {{1, 7, kNo}, {4, 5, kNo}, {8, 7, 2000}, {0x10, 7, kNo}, {0x20, 5, kNo}}},
      {"a dropped group goes, a named user stays",
       {{1, 6, kNo},
        {2, 4, 1030},
        {4, 0, kNo},
        {8, 6, 2000},
        {8, 6, 3000},
        {0x10, 6, kNo},
        {0x20, 0, kNo}},
       {{3000, false}},
       false,
       false,
       {{1, 6, kNo}, {2, 4, 1030}, {4, 0, kNo}, {8, 4, 3000}, {0x10, 4, kNo}, {0x20, 0, kNo}}},
      {"the group's x, masked off when the file was made, stays off",
       {{1, 6, kNo}, {4, 7, kNo}, {8, 6, 2000}, {0x10, 6, kNo}, {0x20, 4, kNo}},
       {{2000, true}},
       false,
       false,
       {{1, 6, kNo}, {4, 6, kNo}, {8, 6, 2000}, {0x10, 6, kNo}, {0x20, 4, kNo}}},
      {"the last group gone: back to the mode",
       {{1, 6, kNo}, {4, 4, kNo}, {8, 6, 2000}, {0x10, 6, kNo}, {0x20, 0, kNo}},
       {},
       false,
       false,
       share::ModeAcl(0640)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(share::TeamAcl(c.current, c.groups, c.folder, c.executable), c.wanted);
    std::vector<AclEntry> decoded;
    ASSERT_TRUE(share::DecodeAcl(share::EncodeAcl(c.wanted), &decoded));
    EXPECT_EQ(decoded, c.wanted);
  }
  std::vector<AclEntry> decoded;
  EXPECT_FALSE(share::DecodeAcl(std::string("\x01\0\0\0", 4), &decoded)) << "another version";
  EXPECT_FALSE(share::DecodeAcl(std::string("\x02\0\0\0\x01", 5), &decoded)) << "a cut entry";
}

}  // namespace
