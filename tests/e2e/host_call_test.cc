// kivo-webapi init, useradd, passwd and call, run as an operator would, each
// test in a fresh temporary root.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/e2e.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";

using e2e::Read;
using e2e::StatOf;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    const std::string::size_type end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

std::string ShadowHash(const e2e::TestRoot& root, const std::string& name) {
  for (const std::string& line : Lines(Read(root.Path("/etc/shadow")))) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) {
      const std::string rest = line.substr(name.size() + 1);
      return rest.substr(0, rest.find(':'));
    }
  }
  return "";
}

TEST(HostInit, LaysOutTheRoot) {
  e2e::TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  EXPECT_EQ(root.init_result().out, "") << "no password is printed when one is given";

  for (const char* dir :
       {"/etc", "/etc/kivo", "/usr/kivo/etc", "/usr/kivo/etc.defaults", "/var/lib/kivo",
        "/var/log/kivo", "/volume1/homes", "/volume1/public", "/volume1/homes/admin"}) {
    const struct stat st = StatOf(root.Path(dir));
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
  }
  const struct stat home = StatOf(root.Path("/volume1/homes/admin"));
  EXPECT_EQ(home.st_uid, 1024u);
  EXPECT_EQ(home.st_gid, 100u);

  const struct stat state = StatOf(root.Path("/usr/kivo/etc.defaults/.state_for_dir.pag"));
  EXPECT_EQ(state.st_mode & 07777, 0644u);
  EXPECT_GT(state.st_size, 0);
  EXPECT_EQ(Read(root.Path("/etc/kivoinfo.conf")), "");
  EXPECT_EQ(StatOf(root.Path("/etc/shadow")).st_mode & 0077, 0u) << "shadow readable by others";

  Json::Value shares, ports, services;
  ASSERT_TRUE(Json::Reader().parse(Read(root.Path("/etc/kivo/shares.json")), shares));
  EXPECT_EQ(shares["homes"].asString(), root.Path("/volume1/homes"));
  EXPECT_EQ(shares["public"].asString(), root.Path("/volume1/public"));
  EXPECT_EQ(shares.size(), 2u);
  ASSERT_TRUE(Json::Reader().parse(Read(root.Path("/etc/kivo/ports.json")), ports));
  EXPECT_EQ(ports["webapi"][0].asInt(), 5000);
  EXPECT_EQ(ports["mdns"][0].asInt(), 5353);
  ASSERT_TRUE(Json::Reader().parse(Read(root.Path("/var/lib/kivo/services.json")), services));
  EXPECT_TRUE(services.isObject() && services.empty());

  const std::vector<std::string> passwd = Lines(Read(root.Path("/etc/passwd")));
  EXPECT_THAT(passwd, ::testing::Contains(::testing::StartsWith("root:x:0:0:")));
  EXPECT_THAT(passwd, ::testing::Contains("admin:x:1024:100:admin:" +
                                          root.Path("/volume1/homes/admin") + ":/bin/sh"));
  const std::vector<std::string> group = Lines(Read(root.Path("/etc/group")));
  EXPECT_THAT(group, ::testing::Contains("users:x:100:"));
  EXPECT_THAT(group, ::testing::Contains("administrators:x:101:admin"));
  EXPECT_THAT(ShadowHash(root, "admin"), ::testing::StartsWith("$"));
}

TEST(HostInit, RerunKeepsConfigurationAndPasswords) {
  e2e::TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  const std::string hash = ShadowHash(root, "admin");
  ASSERT_TRUE(root.WriteConf({{"runCalDav", "yes"}}));
  ASSERT_TRUE(e2e::WriteFile(root.Path("/etc/kivo/shares.json"), "{\"homes\": \"/x\"}\n"));
  ASSERT_TRUE(root.AddUser("bob"));
  const std::string passwd = Read(root.Path("/etc/passwd"));
  const std::string group = Read(root.Path("/etc/group"));

  const e2e::Result again = root.WebApi({"init"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "") << "an existing admin password is neither reset nor printed";
  EXPECT_EQ(ShadowHash(root, "admin"), hash);
  EXPECT_EQ(root.ConfValue("runCalDav"), "yes");
  EXPECT_EQ(Read(root.Path("/etc/kivo/shares.json")), "{\"homes\": \"/x\"}\n");
  EXPECT_EQ(Read(root.Path("/etc/passwd")), passwd);
  EXPECT_EQ(Read(root.Path("/etc/group")), group);
}

TEST(HostInit, GeneratesAndPrintsAPasswordOnce) {
  e2e::TestRoot scratch;  // only for a clean temporary directory
  ASSERT_TRUE(scratch.ok());
  const std::string fresh = scratch.path() + "/fresh";
  const e2e::Result first = e2e::Run({e2e::WebApiBin(), "init"}, fresh);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_THAT(first.out, ::testing::MatchesRegex("admin password: [A-Za-z0-9_-]{16,}\n"));
  const e2e::Result second = e2e::Run({e2e::WebApiBin(), "init"}, fresh);
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out, "");
}

TEST(HostUserAdd, AddsAccountsAndRefusesBadOnes) {
  e2e::TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  ASSERT_TRUE(root.AddUser("bob"));
  ASSERT_TRUE(root.AddUser("carol", /*admin=*/true));
  EXPECT_EQ(root.WebApi({"useradd", "dave", "--uid", "2000"}).status, 0);

  const std::vector<std::string> passwd = Lines(Read(root.Path("/etc/passwd")));
  EXPECT_THAT(passwd, ::testing::Contains(::testing::StartsWith("bob:x:1025:100:")));
  EXPECT_THAT(passwd, ::testing::Contains(::testing::StartsWith("carol:x:1026:100:")));
  EXPECT_THAT(passwd, ::testing::Contains(::testing::StartsWith("dave:x:2000:100:")));
  EXPECT_THAT(Lines(Read(root.Path("/etc/group"))),
              ::testing::Contains("administrators:x:101:admin,carol"));
  EXPECT_EQ(ShadowHash(root, "bob"), "!") << "a new user has no password yet";
  EXPECT_EQ(StatOf(root.Path("/volume1/homes/bob")).st_uid, 1025u);

  const std::vector<std::vector<std::string>> refused = {
      {"useradd", "bob"},                    // exists
      {"useradd", "Bad:Name"},               // not a login name
      {"useradd", "erin", "--uid", "1025"},  // uid taken
  };
  for (const auto& args : refused) {
    const e2e::Result r = root.WebApi(args);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_THAT(r.err, Not(IsEmpty())) << args[1];
  }
  EXPECT_EQ(root.WebApi({"useradd"}).status, 2);
}

TEST(HostPasswd, ReplacesOnlyTheUsersHash) {
  e2e::TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  ASSERT_TRUE(root.AddUser("bob"));
  const std::string admin_hash = ShadowHash(root, "admin");
  EXPECT_EQ(root.WebApi({"passwd", "bob"}, "s3cret\n").status, 0);
  EXPECT_THAT(ShadowHash(root, "bob"), ::testing::StartsWith("$"));
  EXPECT_EQ(ShadowHash(root, "admin"), admin_hash);
  EXPECT_EQ(root.WebApi({"passwd", "nobody"}, "x\n").status, 1);
  EXPECT_EQ(root.WebApi({"passwd", "bob"}, "\n").status, 1) << "empty password";
}

TEST(HostCall, CalDAVSwitchEndToEnd) {
  e2e::TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;

  e2e::Result get = root.Call(kCalDAV, 1, "get");
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "{\"success\":true,\"data\":{\"enable\":false}}\n");

  const e2e::Result set = root.Call(kCalDAV, 1, "set", R"({"enable": true})", "bob");
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.answer["success"], true);
  EXPECT_TRUE(set.answer["data"].isNull());
  EXPECT_EQ(root.ConfValue("runCalDav"), "yes");

  const std::vector<Json::Value> journal = root.Journal();
  const std::vector<Json::Value> userlog = e2e::JournalOps(journal, "userlog");
  ASSERT_EQ(userlog.size(), 1u);
  EXPECT_EQ(userlog[0]["id"].asString(), "0x11B00878");
  EXPECT_EQ(userlog[0]["user"].asString(), "bob") << "the login name is passed on as given";
  EXPECT_THAT(e2e::ServiceActions(journal),
              ElementsAre("service.restart avahi", "service.restart webdav-httpd-pure"));

  get = root.Call(kCalDAV, 1, "get");
  EXPECT_EQ(get.answer["data"]["enable"], true);

  // Asking for the current state changes nothing.
  EXPECT_EQ(root.Call(kCalDAV, 1, "set", R"({"enable": true})").status, 0);
  EXPECT_EQ(root.Journal().size(), journal.size());
}

TEST(HostCall, ModuleErrorAnswersExitOne) {
  e2e::TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  const e2e::Result r = root.Call(kCalDAV, 1, "set", R"({"enable": "yes"})");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "{\"success\":false,\"error\":{\"code\":1705}}\n");
  EXPECT_EQ(root.ConfValue("runCalDav"), "");
}

TEST(HostCall, UsageErrorsExitTwo) {
  e2e::TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  const std::vector<std::vector<std::string>> cases = {
      {"call", "KIVO.Core.FileServ.WebDAV.Nothing", "1", "get"},  // unknown API
      {"call", kCalDAV, "1", "list"},                             // unknown method
      {"call", kCalDAV, "2", "get"},                              // unknown version
      {"call", kCalDAV, "one", "get"},                            // version not decimal
      {"call", kCalDAV, "1", "get", "[1]"},                       // PARAMS not an object
      {"call", kCalDAV, "1", "get", "{\"enable\":"},              // PARAMS not JSON
      {"call", "--module", "/nonexistent/module.so", kCalDAV, "1", "get"},
      {"call", "--bogus", kCalDAV, "1", "get"},
      {"call", kCalDAV, "1"},
  };
  for (const auto& args : cases) {
    const e2e::Result r = root.WebApi(args);
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_THAT(r.err, Not(IsEmpty())) << shown;
  }
  EXPECT_TRUE(root.Journal().empty());
}

TEST(HostCall, ExplicitModulePathIsUsed) {
  e2e::TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  const e2e::Result r = root.WebApi({"call", "--module", e2e::ModulePath(), kCalDAV, "1", "get"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.answer["success"], true);
}

}  // namespace
