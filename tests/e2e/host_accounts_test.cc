// The account work of the page through kivo-webapi serve: password changes
// (one's own, an administrator's for another), the accounts list and the
// homes an administrator makes private; and the commands' own help.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <tuple>

#include "tests/support/shim.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class HostAccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_TRUE(root_.AddUser("dave"));  // no password yet
    ASSERT_TRUE(root_.AddUser("edgar", false, "edgar-secret"));
    // Accounts the daemons refuse, with passwords all the same: a system
    // account, one of root's group, and edgar, locked by an administrator.
    std::string shadow = Read(root_.Path("/etc/shadow"));
    const std::string edgar_line = "edgar:$";
    ASSERT_NE(shadow.find(edgar_line), std::string::npos);
    shadow.replace(shadow.find(edgar_line), edgar_line.size(), "edgar:!$");
    const std::string bob_hash = HashOf(shadow, "bob");
    shadow += "daemon2:" + bob_hash + ":0:0:99999:7:::\n";
    shadow += "rooty:" + bob_hash + ":0:0:99999:7:::\n";
    ASSERT_TRUE(WriteFile(root_.Path("/etc/shadow"), shadow));
    const std::string passwd = Read(root_.Path("/etc/passwd")) +
                               "daemon2:x:500:100::/nonexistent:/bin/sh\n"
                               "rooty:x:2000:0::/nonexistent:/bin/sh\n"
                               "frank:x:2001:100::/home/frank:/bin/sh\n";
    ASSERT_TRUE(WriteFile(root_.Path("/etc/passwd"), passwd));
    // The server's time() stands still (tests/shim): the login brake's waits last.
    ASSERT_TRUE(WriteFile(root_.path() + "/.clock", std::to_string(time(nullptr))));
    ASSERT_TRUE(server_.Start(root_, {}, ShimEnv("", {"KIVO_SHIM_CLOCK=" + root_.path() + "/.clock"})));
  }

  static std::string HashOf(const std::string& shadow, const std::string& name) {
    const size_t at = shadow.find("\n" + name + ":") + name.size() + 2;
    return shadow.substr(at, shadow.find(':', at) - at);
  }

  Http LoggedIn(const std::string& account, const std::string& password) {
    Http session(server_.port());
    EXPECT_TRUE(session.Login(account, password)) << account;
    return session;
  }

  static Reply Change(const Http& session, const std::string& old_password,
                      const std::string& password, const std::string& account = "") {
    Json::Value body(Json::objectValue);
    body["old_password"] = old_password;
    body["password"] = password;
    if (!account.empty()) body["account"] = account;
    return session.Send("POST", "/webapi/password", Compact(body));
  }

  TestRoot root_;
  Server server_;
};

TEST_F(HostAccountsTest, PasswordChangesAreRefusedWithTheirCodes) {
  const Http bob = LoggedIn("bob", "bob-secret");
  const Http admin = LoggedIn("admin", TestRoot::kAdminPassword);
  const std::string shadow = Read(root_.Path("/etc/shadow"));
  const std::string good = "a-new-password";
  const std::tuple<const Http*, std::string, std::string, std::string, int, int> cases[] = {
      {&bob, "wrong", good, "", 403, 125},
      {&bob, "bob-secret", "short", "", 400, 124},
      {&bob, "bob-secret", "del\x7fin-it-password", "", 400, 124},
      {&bob, "bob-secret", std::string(257, 'x'), "", 400, 124},
      {&bob, "bob-secret", good, "dave", 403, 105},
      {&admin, TestRoot::kAdminPassword, "edgar-edgar", "guest", 403, 126},
      {&admin, TestRoot::kAdminPassword, good, "daemon2", 403, 128},
      {&admin, TestRoot::kAdminPassword, good, "rooty", 403, 128},
      {&admin, TestRoot::kAdminPassword, good, "root", 403, 128},
      {&admin, TestRoot::kAdminPassword, good, "edgar", 403, 127},
      {&admin, TestRoot::kAdminPassword, good, "nobody", 404, 129},
      {&admin, "wrong", good, "dave", 403, 125},
  };
  for (const auto& [session, old_password, password, account, status, code] : cases) {
    const Reply r = Change(*session, old_password, password, account);
    EXPECT_EQ(r.status, status) << account << " " << password;
    EXPECT_EQ(r.body, Refusal(code)) << account << " " << password;
  }
  EXPECT_EQ(bob.Send("POST", "/webapi/password", R"({"password":"a-new-password"})").body,
            Refusal(101));
  EXPECT_EQ(Change(Http(server_.port()), "x", good).body, Refusal(106));
  EXPECT_EQ(Read(root_.Path("/etc/shadow")), shadow) << "nothing was written";

  // Wrong current passwords brake that account from that network, logins
  // included, as wrong logins do; the owner elsewhere goes on.
  Http guesser = bob;
  guesser.set_source("127.0.1.2");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Change(guesser, "wrong", good).body, Refusal(125)) << i;
  const Reply slowed = Change(guesser, "bob-secret", good);
  EXPECT_EQ(slowed.status, 429);
  EXPECT_EQ(slowed.body, Refusal(119));
  Http login(server_.port());
  login.set_source("127.0.1.2");
  EXPECT_FALSE(login.Login("bob", "bob-secret"));
  EXPECT_TRUE(Http(server_.port()).Login("bob", "bob-secret"));
}

TEST_F(HostAccountsTest, APasswordChangeEndsTheOtherSessionsAndIsLogged) {
  const Http bob = LoggedIn("bob", "bob-secret");
  const Http bob_elsewhere = LoggedIn("bob", "bob-secret");
  const Reply own = Change(bob, "bob-secret", "bob-new-secret");
  EXPECT_EQ(own.status, 200);
  EXPECT_EQ(own.body, ParseJson(R"({"success":true,
                                    "data":{"account":"bob","sessions_ended":1}})"));
  EXPECT_EQ(bob.Entry(kCalendar, "list").status, 200) << "the session that changed it goes on";
  EXPECT_EQ(bob_elsewhere.Entry(kCalendar, "list").body, Refusal(106));
  EXPECT_FALSE(Http(server_.port()).Login("bob", "bob-secret"));
  EXPECT_TRUE(Http(server_.port()).Login("bob", "bob-new-secret"));

  // An administrator gives dave a first password, with the administrator's own.
  const Http admin = LoggedIn("admin", TestRoot::kAdminPassword);
  EXPECT_EQ(Change(admin, TestRoot::kAdminPassword, "dave-first-secret", "dave").status, 200);
  EXPECT_TRUE(Http(server_.port()).Login("dave", "dave-first-secret"));
  EXPECT_EQ(StatOf(root_.Path("/etc/shadow")).st_mode & 07777, 0600u);
  const std::string log = server_.Log();
  EXPECT_THAT(log, HasSubstr("administrator admin set the password of dave"));
  EXPECT_THAT(log, HasSubstr("POST /webapi/password - admin 200"));
  EXPECT_THAT(log, HasSubstr("bob changed their password"));
  EXPECT_THAT(log, Not(HasSubstr("dave-first-secret")));
}

TEST_F(HostAccountsTest, AdministratorsListAccountsAndMakeHomesPrivate) {
  const Http admin = LoggedIn("admin", TestRoot::kAdminPassword);
  const Http bob = LoggedIn("bob", "bob-secret");
  EXPECT_EQ(bob.Send("GET", "/webapi/accounts", "").body, Refusal(105));
  EXPECT_EQ(Http(server_.port()).Send("GET", "/webapi/accounts", "").body, Refusal(106));
  EXPECT_EQ(bob.Send("POST", "/webapi/accounts/home", R"({"account":"frank"})").body,
            Refusal(105));
  ASSERT_EQ(chmod(root_.Path("/volume1/homes/bob").c_str(), 0755), 0);
  // A link in a home's place is never followed to what it names.
  ASSERT_EQ(mkdir(root_.Path("/volume1/elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(rmdir(root_.Path("/volume1/homes/edgar").c_str()), 0);
  ASSERT_EQ(symlink("../elsewhere", root_.Path("/volume1/homes/edgar").c_str()), 0);

  const Reply list = admin.Send("GET", "/webapi/accounts", "");
  ASSERT_EQ(list.status, 200) << list.text;
  std::map<std::string, std::string> seen;
  for (const Json::Value& row : list.body["data"]["accounts"]) {
    seen[row["account"].asString()] = row["refused"].asString() + " " +
                                      (row["is_admin"].asBool() ? "admin " : "") +
                                      (row["home"].isNull() ? "-" : row["home"].asString());
  }
  const std::map<std::string, std::string> expected = {
      {"root", "system_uid -"},   {"admin", " admin private"},  {"guest", "guest -"},
      {"bob", " readable"},       {"dave", "no_password private"},
      {"edgar", "locked not_a_folder"}, {"daemon2", "system_uid -"}, {"rooty", "group_root -"},
      {"frank", "no_password missing"},
  };
  EXPECT_EQ(seen, expected);

  const std::tuple<std::string, int, int> cases[] = {
      {"frank", 200, 0}, {"bob", 200, 0},   {"guest", 403, 126}, {"daemon2", 403, 128},
      {"rooty", 403, 128}, {"nobody", 404, 129}, {"edgar", 500, 100},
  };
  for (const auto& [account, status, code] : cases) {
    const Reply r = admin.Send("POST", "/webapi/accounts/home", R"({"account":")" + account + "\"}");
    EXPECT_EQ(r.status, status) << account;
    const Json::Value expected_body =
        code != 0 ? Refusal(code)
                  : ParseJson(R"({"success":true,"data":{"account":")" + account +
                              R"(","home":"private"}})");
    EXPECT_EQ(r.body, expected_body) << account;
  }
  const struct stat frank = StatOf(root_.Path("/volume1/homes/frank"));
  EXPECT_EQ(frank.st_mode & 07777, 0700u);
  EXPECT_EQ(frank.st_uid, 2001u);
  EXPECT_EQ(StatOf(root_.Path("/volume1/homes/bob")).st_mode & 07777, 0700u);
  const struct stat elsewhere = StatOf(root_.Path("/volume1/elsewhere"));
  EXPECT_EQ(elsewhere.st_mode & 07777, 0755u);
  EXPECT_EQ(elsewhere.st_uid, 0u);
}

TEST_F(HostAccountsTest, EveryCommandAnswersHelp) {
  for (const std::string command : {"init", "useradd", "passwd", "call", "serve", "services"}) {
    const Result r = root_.WebApi({command, "--help"});
    EXPECT_EQ(r.status, 0) << command << r.err;
    EXPECT_THAT(r.out, HasSubstr("usage: kivo-webapi " + command)) << command;
  }
  EXPECT_FALSE(Exists(root_.Path("/volume1/homes/--help")));
}

}  // namespace
}  // namespace e2e
