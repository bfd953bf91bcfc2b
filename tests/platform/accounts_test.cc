// Users, administrators' membership and passwords, from the root's account files.

#include "platform/accounts.h"

#include <crypt.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include <tuple>

#include "kivo/account_files.h"
#include "kivo/kivo_platform.h"
#include "tests/platform/temp_root.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// SHA-512 crypt of "secret" with salt "saltsalt", made outside this code.
constexpr char kSecretHash[] =
    "$6$saltsalt$TVLlQcbpFVof5W3Yz4DTP6gRstiNuHwwTt6GLc1E5n0U0aDehy0S5knV8wiOQSpT0Y77vwPZN.Pq."
    "H91p5hVO1";

class AccountsTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    Write("etc/passwd",
          "root:x:0:0:root:/root:/bin/sh\n"
          "admin:x:1024:100::/volume1/homes/admin:/bin/sh\n"
          "alice:x:1025:100::/volume1/homes/alice:/bin/sh\n"
          "boss:x:1026:101::/volume1/homes/boss:/bin/sh\n"
          "carol:x:1027:100::/volume1/homes/carol:/bin/sh\n");
    Write("etc/group", "root:x:0:\nusers:x:100:alice,carol\nadministrators:x:101:admin,carol\n");
    Write("etc/shadow", "root:*:19000:0:99999:7:::\nadmin:" + std::string(kSecretHash) +
                            ":19000:0:99999:7:::\nalice:!locked:19000:0:99999:7:::\n");
  }
};

// In administrators by listing or primary group: 1; unknown user or files: -1.
TEST_F(AccountsTest, UsersAndAdministrators) {
  PKIVOUSER user = nullptr;
  ASSERT_EQ(KIVOUserGet("alice", &user), 0);
  ASSERT_NE(user, nullptr);
  EXPECT_STREQ(user->name, "alice");
  EXPECT_EQ(user->uid, 1025u);
  EXPECT_EQ(user->gid, 100u);
  EXPECT_STREQ(user->home, "/volume1/homes/alice");
  KIVOUserFree(user);
  for (const char* name : {"homes", "ali", ""}) {  // no prefix matches
    user = reinterpret_cast<PKIVOUSER>(0x1);       // must be cleared
    EXPECT_NE(KIVOUserGet(name, &user), 0) << name;
    EXPECT_EQ(user, nullptr) << name;
  }
  const std::pair<const char*, int> cases[] = {{"admin", 1}, {"boss", 1}, {"carol", 1},
                                               {"alice", 0}, {"root", 0}, {"nobody", -1}};
  Age("etc/passwd");  // what is read may be kept; each change below must still be seen
  Age("etc/group");
  for (const auto& [user, expected] : cases) {
    EXPECT_EQ(KLIBGroupIsAdminGroupMem(user, 0), expected) << user;
  }
  Write("etc/group", "administrators:x:101:" + std::string(20000, 'm') + ",alice\n");
  EXPECT_EQ(KLIBGroupIsAdminGroupMem("alice", 0), 1) << "a line longer than any first buffer";
  Write("etc/group", "users:x:100:alice\n");
  EXPECT_EQ(KLIBGroupIsAdminGroupMem("admin", 0), 0);  // no administrators group at all
  unlink(Path("etc/group").c_str());
  EXPECT_EQ(KLIBGroupIsAdminGroupMem("admin", 0), -1);  // cannot tell
  // A file beyond every reader's limit is not read: alice's line, then NULs (sparse).
  ASSERT_EQ(truncate(Path("etc/passwd").c_str(), KIVO_ACCOUNT_FILE_MAX + 1), 0);
  EXPECT_NE(KIVOUserGet("alice", &user), 0);
  EXPECT_EQ(user, nullptr);
}

TEST_F(AccountsTest, PasswordsVerifyAndSetReplacesOrAddsOnlyThatHash) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"admin", "secret", true},  {"admin", "Secret", false}, {"admin", "", false},
      {"alice", "locked", false}, {"root", "", false},
  };
  for (const auto& [user, password, ok] : cases) {
    EXPECT_EQ(kivo::VerifyPassword(user, password), ok) << user << "/" << password;
  }
  const std::string before = Read("etc/shadow");
  for (const char* user : {"nobody", "", "al:ice"}) EXPECT_EQ(kivo::SetPassword(user, "pw"), -1);
  EXPECT_EQ(Read("etc/shadow"), before);
  ASSERT_EQ(kivo::SetPassword("alice", "n3w pass"), 0);
  ASSERT_EQ(kivo::SetPassword("carol", "pw"), 0);  // had no shadow line
  EXPECT_TRUE(kivo::VerifyPassword("alice", "n3w pass"));
  EXPECT_TRUE(kivo::VerifyPassword("admin", "secret"));
  EXPECT_TRUE(kivo::VerifyPassword("carol", "pw"));
  const std::string shadow = Read("etc/shadow");
  EXPECT_THAT(shadow, StartsWith("root:*:19000:0:99999:7:::\nadmin:$6$saltsalt$"));
  EXPECT_THAT(shadow, HasSubstr(":0:99999:7:::\nalice:$"));
  EXPECT_THAT(List("etc"),
              testing::UnorderedElementsAre("passwd", "group", "shadow", ".shadow.lock"));
}

}  // namespace
