// kivo-webapi init, useradd, passwd and call, run as an operator would.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::string ShadowHash(const TestRoot& root, const std::string& name) {
  for (const std::string& line : ReadLines(root.Path("/etc/shadow"))) {
    const size_t start = name.size() + 1;
    if (line.compare(0, start, name + ":") == 0)
      return line.substr(start, line.find(':', start) - start);
  }
  return "";
}

// A fresh root, made by `init` with the administrator's password given.
class RootTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(root.ok()) << root.init_result().err; }
  TestRoot root;
};
using HostInit = RootTest;
using HostCall = RootTest;
using HostCommands = RootTest;
using WebDAVEndToEndTest = RootTest;
using CalendarEndToEndTest = RootTest;

TEST_F(HostInit, LaysOutTheRootAndARerunKeepsIt) {
  EXPECT_EQ(root.init_result().out, "") << "no password is printed when one is given";
  for (const char* dir : {"/etc", "/etc/kivo", "/usr/kivo/etc", "/usr/kivo/etc.defaults",
                          "/var/lib/kivo", "/var/log/kivo", "/volume1/homes"}) {
    const struct stat st = StatOf(root.Path(dir));
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
  }
  // Every account writes in public (sticky); a home is its user's alone.
  EXPECT_EQ(StatOf(root.Path("/volume1/public")).st_mode & 07777, 01777u);
  EXPECT_EQ(StatOf(root.Path("/volume1/homes/admin")).st_mode & 07777, 0700u);
  EXPECT_EQ(StatOf(root.Path("/volume1/homes/admin")).st_uid, 1024u);
  EXPECT_EQ(StatOf(root.Path("/volume1/homes/admin")).st_gid, 100u);
  const struct stat state = StatOf(root.Path("/usr/kivo/etc.defaults/.state_for_dir.pag"));
  EXPECT_EQ(state.st_mode & 07777, 0644u);
  EXPECT_GT(state.st_size, 0);
  EXPECT_EQ(Read(root.Path("/etc/kivoinfo.conf")), "");
  EXPECT_EQ(StatOf(root.Path("/etc/shadow")).st_mode & 0077, 0u) << "shadow readable by others";

  EXPECT_EQ(ParseJson(Read(root.Path("/etc/kivo/shares.json"))),
            ParseJson("{\"homes\": \"" + root.Path("/volume1/homes") + "\", \"public\": \"" +
                      root.Path("/volume1/public") + "\"}"));
  EXPECT_EQ(ParseJson(Read(root.Path("/etc/kivo/ports.json"))),
            ParseJson(R"({"webapi": [5000, 5001], "mdns": [5353], "ssh": [22]})"));
  EXPECT_EQ(ParseJson(Read(root.Path("/var/lib/kivo/services.json"))),
            Json::Value(Json::objectValue));
  EXPECT_THAT(
      ReadLines(root.Path("/etc/passwd")),
      AllOf(Contains(StartsWith("root:x:0:0:")),
            Contains("admin:x:1024:100:admin:" + root.Path("/volume1/homes/admin") + ":/bin/sh")));
  EXPECT_THAT(ReadLines(root.Path("/etc/group")),
              AllOf(Contains("users:x:100:"), Contains("administrators:x:101:admin")));
  const std::string hash = ShadowHash(root, "admin");
  EXPECT_THAT(hash, StartsWith("$"));

  // A rerun keeps configuration, accounts and passwords.
  ASSERT_TRUE(root.WriteConf({{"runCalDav", "yes"}}));
  ASSERT_TRUE(WriteFile(root.Path("/etc/kivo/shares.json"), "{\"homes\": \"/x\"}\n"));
  ASSERT_TRUE(root.AddUser("bob"));
  EXPECT_EQ(StatOf(root.Path("/volume1/homes/bob")).st_mode & 07777, 0700u);
  // Homes found open are closed; one swapped for a link to root's folder gives it to nobody.
  ASSERT_EQ(chmod(root.Path("/volume1/homes/bob").c_str(), 0755), 0);
  ASSERT_TRUE(root.AddUser("carol"));
  ASSERT_EQ(rename(root.Path("/volume1/homes/carol").c_str(), root.Path("/carol-was").c_str()), 0);
  ASSERT_EQ(symlink(root.Path("/etc/kivo").c_str(), root.Path("/volume1/homes/carol").c_str()), 0);
  const std::string passwd = Read(root.Path("/etc/passwd"));
  const std::string group = Read(root.Path("/etc/group"));
  const Result again = root.WebApi({"init"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "") << "an existing admin password is neither reset nor printed";
  EXPECT_EQ(ShadowHash(root, "admin"), hash);
  EXPECT_EQ(root.ConfValue("runCalDav"), "yes");
  EXPECT_EQ(Read(root.Path("/etc/kivo/shares.json")), "{\"homes\": \"/x\"}\n");
  EXPECT_EQ(Read(root.Path("/etc/passwd")), passwd);
  EXPECT_EQ(Read(root.Path("/etc/group")), group);
  EXPECT_EQ(StatOf(root.Path("/volume1/homes/bob")).st_mode & 07777, 0700u);
  EXPECT_EQ(StatOf(root.Path("/etc/kivo")).st_uid, 0u);
  EXPECT_EQ(StatOf(root.Path("/etc/kivo")).st_mode & 07777, 0755u);

  // Without a password file, the first init makes one up and prints it.
  const std::string fresh = root.path() + "/fresh";
  const Result first = e2e::Run({kWebApiBin, "init"}, fresh);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_THAT(first.out, ::testing::MatchesRegex("admin password: [A-Za-z0-9_-]{16,}\n"));
}

TEST_F(HostCall, CalDAVSwitchEndToEnd) {
  Result get = root.WebApi({"call", "--module", kModulePath, kCalDAV, "1", "get"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "{\"success\":true,\"data\":{\"enable\":false}}\n");
  const Result set = root.Call(kCalDAV, "set", R"({"enable": true})", "bob");
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "{\"success\":true,\"data\":null}\n");
  EXPECT_EQ(root.ConfValue("runCalDav"), "yes");
  // The login name is passed on as given, even one that has no account.
  EXPECT_THAT(root.Actions(),
              ElementsAre("conf.set runCalDav yes", "userlog 0x11B00878 bob",
                          "service.restart avahi", "service.restart webdav-httpd-pure"));
  // Without KIVO_DAEMONS=on no daemon hears of it, and the operator is told.
  const std::string untold = "no WebDAV or CalDAV daemon of this root heard of it";
  EXPECT_THAT(set.err, HasSubstr(untold + ": they are started, stopped and reloaded only with "
                                          "KIVO_DAEMONS=on\n"));
  get = root.Call(kCalDAV, "get");
  EXPECT_EQ(get.out, "{\"success\":true,\"data\":{\"enable\":true}}\n");
  EXPECT_THAT(get.err, Not(HasSubstr(untold)));
  // Asking for the current state changes nothing, and tells nothing.
  const Result again = root.Call(kCalDAV, "set", R"({"enable": true})");
  EXPECT_THAT(again.err, Not(HasSubstr(untold)));
  EXPECT_EQ(root.Actions().size(), 4u);

  // With a journal that takes no line the switch still happens in full, and the operator is told
  // once, through syslog (which `call` mirrors on stderr).
  ASSERT_EQ(unlink(root.Path("/var/log/kivo/platform.jsonl").c_str()), 0);
  ASSERT_EQ(mkdir(root.Path("/var/log/kivo/platform.jsonl").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(root.Path("/var/lib/kivo/services.json"), "{}"));
  const Result off = root.Call(kCalDAV, "set", R"({"enable": false})");
  EXPECT_EQ(off.out, "{\"success\":true,\"data\":null}\n") << off.err;
  EXPECT_EQ(root.ConfValue("runCalDav"), "no");
  // Both restarts reached services.json; a variant's restart never turns it on.
  EXPECT_EQ(ParseJson(Read(root.Path("/var/lib/kivo/services.json"))),
            ParseJson(R"({"avahi": {"running": true}, "webdav-httpd-pure": {"running": false}})"));
  const std::string told = "cannot append to the action journal";
  EXPECT_THAT(off.err, ::testing::MatchesRegex("[^\n]*journal:[0-9]+ " + told + "[^\n]*\n" +
                                               "[^\n]*caldav:[0-9]+ runCalDav set to no by admin\n"
                                               "[^\n]*call_command:[0-9]+ the change is stored"
                                               "[^\n]*\n"));
}

// Exit status 0 done, 1 refused, 2 a usage error (nothing on stdout); failures say why.
TEST_F(HostCommands, ExitStatusesAndTheirEffects) {
  ASSERT_TRUE(root.AddUser("bob"));
  ASSERT_TRUE(root.AddUser("carol", /*admin=*/true));
  EXPECT_EQ(ShadowHash(root, "bob"), "!") << "a new user has no password yet";
  const std::string admin_hash = ShadowHash(root, "admin");
  std::string nested;
  for (int i = 0; i < 2000; ++i) nested += "{\"a\":";
  nested += "1" + std::string(2000, '}');
  const std::tuple<std::vector<std::string>, const char*, int> cases[] = {
      {{"useradd", "dave", "--uid", "2000"}, "", 0},
      {{"useradd", "bob"}, "", 1},                    // exists
      {{"useradd", "Bad:Name"}, "", 1},               // not a login name
      {{"useradd", "erin", "--uid", "1025"}, "", 1},  // uid taken
      {{"useradd"}, "", 2},
      // Path segments the services serve and system accounts' names are no account's; names
      // that only begin like them are.
      {{"useradd", "homes"}, "", 1},
      {{"useradd", "public"}, "", 1},
      {{"useradd", "caldav"}, "", 1},
      {{"useradd", "carddav"}, "", 1},
      {{"useradd", "webapi"}, "", 1},
      {{"useradd", "www-data"}, "", 1},
      {{"useradd", "radicale"}, "", 1},
      {{"useradd", "nobody"}, "", 1},
      {{"useradd", "homesick"}, "", 0},
      {{"useradd", "caldav2"}, "", 0},
      {{"passwd", "bob"}, "s3cret-pw\n", 0},
      {{"passwd", "nobody"}, "long-enough\n", 1},  // no such account
      {{"passwd", "bob"}, "\n", 1},                // empty password
      {{"passwd", "bob"}, "", 1},                  // no line at all
      {{"usermod", "bob"}, "", 2},                 // neither way
      {{"usermod", "bob", "--lock", "--unlock"}, "", 2},
      {{"usermod", "--lock"}, "", 2},
      {{"call", "KIVO.Core.FileServ.WebDAV.Nothing", "1", "get"}, "", 2},  // unknown API
      {{"call", kCalDAV, "1", "list"}, "", 2},                             // unknown method
      {{"call", kCalDAV, "2", "get"}, "", 2},                              // unknown version
      {{"call", kCalDAV, "one", "get"}, "", 2},                            // version not decimal
      {{"call", kCalDAV, "1", "get", "[1]"}, "", 2},                       // PARAMS not an object
      {{"call", kCalDAV, "1", "get", "{\"enable\":"}, "", 2},              // PARAMS not JSON
      {{"call", kCalDAV, "1", "get", nested}, "", 2},  // nested beyond the parser
      {{"call", "--module", "/nonexistent/module.so", kCalDAV, "1", "get"}, "", 2},
      {{"call", "--bogus", kCalDAV, "1", "get"}, "", 2},
      {{"call", kCalDAV, "1"}, "", 2},
  };
  for (const auto& [args, input, status] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args).substr(0, 120));
    const Result r = root.WebApi(args, input);
    EXPECT_EQ(r.status, status);
    EXPECT_TRUE(status != 2 || r.out.empty()) << r.out;
    EXPECT_TRUE(status == 0 || !r.err.empty());
    EXPECT_THAT(r.err, HasSubstr(args.back() == nested ? "PARAMS must be a JSON object" : ""));
  }
  for (const char* reserved : {"homes", "public", "caldav", "carddav", "webapi", "nobody"}) {
    EXPECT_THAT(ReadLines(root.Path("/etc/passwd")),
                Not(Contains(StartsWith(reserved + std::string(":")))));
    EXPECT_FALSE(Exists(root.Path("/volume1/homes/") + reserved)) << reserved;
  }
  EXPECT_THAT(ReadLines(root.Path("/etc/passwd")), AllOf(Contains(StartsWith("bob:x:1025:100:")),
                                                         Contains(StartsWith("carol:x:1026:100:")),
                                                         Contains(StartsWith("dave:x:2000:100:"))));
  EXPECT_THAT(ReadLines(root.Path("/etc/group")), Contains("administrators:x:101:admin,carol"));
  EXPECT_EQ(StatOf(root.Path("/volume1/homes/bob")).st_uid, 1025u);
  EXPECT_THAT(ShadowHash(root, "bob"), StartsWith("$"));
  EXPECT_EQ(ShadowHash(root, "admin"), admin_hash);
  EXPECT_TRUE(root.Actions().empty());
}

// What the program says of itself comes from the build and the module: the version from
// debian/changelog alone, the calls and their parameters from the loaded module's table and the
// descriptor beside it, never from the host.
TEST_F(HostCommands, VersionAndCallHelpComeFromTheBuildAndTheModule) {
  const std::string head = ReadLines(std::string(KIVO_SOURCE_DIR) + "/debian/changelog").at(0);
  const size_t open = head.find(" (") + 2;
  for (const char* flag : {"--version", "-V"}) {
    const Result r = root.WebApi({flag});
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_EQ(r.out, head.substr(open, head.find(')') - open) + "\n") << flag;
  }
  const Result shipped = root.WebApi({"call", "--help"});
  EXPECT_EQ(shipped.status, 0);
  EXPECT_THAT(shipped.out, AllOf(HasSubstr("KIVO.Core.FileServ.WebDAV.CalDAV.Calendar 1 create"),
                                 Not(HasSubstr("not described"))));

  const std::string module = root.Path("/m/KIVO.Core.FileServ.WebDAV.so");
  ASSERT_EQ(mkdir(root.Path("/m").c_str(), 0755), 0);
  ASSERT_EQ(symlink(KIVO_MODULE_PATH, module.c_str()), 0);
  ASSERT_TRUE(WriteFile(root.Path("/m/KIVO.Core.FileServ.WebDAV.lib"),
                        std::string(R"({")") + kWebDAV + R"(": {"1": {"set": {"who": "user",
      "about": "made-up words", "params": [{"name": "made_up", "type": "int",
      "required": true, "about": "a made-up parameter"}]}}}})"));
  const Result help = root.WebApi({"call", "--module", module, "--help"});
  EXPECT_EQ(help.status, 0);
  std::vector<std::string> lines;
  for (size_t at = 0; at < help.out.size(); at = help.out.find('\n', at) + 1) {
    lines.push_back(help.out.substr(at, help.out.find('\n', at) - at));
  }
  EXPECT_THAT(
      lines,
      AllOf(Contains(std::string("  ") + kWebDAV + " 1 set  [every logged-in user]"),
            Contains(::testing::MatchesRegex(" +made_up +int +required +a made-up parameter")),
            Contains("      made-up words")));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "      (its parameters are not described)"), 7);
}

// `passwd` holds the page's rules (host MeetsPasswordRules): counted in characters, not bytes.
TEST_F(HostCommands, PasswdRefusesWhatThePageRefuses) {
  ASSERT_TRUE(root.AddUser("bob"));
  ASSERT_TRUE(root.AddUser("longname"));  // a name long enough to be a password
  const std::string umlaut = "\xc3\xa4";  // one character, two bytes
  std::string seven_umlauts, eight_umlauts;
  for (int i = 0; i < 7; ++i) seven_umlauts += umlaut;
  eight_umlauts = seven_umlauts + umlaut;
  const struct {
    const char* why;
    std::string account, password;
    int status;
  } cases[] = {
      {"the account's name", "longname", "longname", 1},
      {"another account's name", "bob", "longname", 0},
      {"seven characters", "bob", "seven77", 1},
      {"seven characters in fourteen bytes", "bob", seven_umlauts, 1},
      {"a control character", "bob", "tab\there-and-long", 1},
      {"257 characters", "bob", std::string(257, 'p'), 1},
      {"eight characters", "bob", "eight888", 0},
      {"eight characters in sixteen bytes", "bob", eight_umlauts, 0},
      {"256 characters", "bob", std::string(256, 'p'), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string before = ShadowHash(root, c.account);
    const Result r = root.WebApi({"passwd", c.account}, c.password + "\n");
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status != 0) {
      EXPECT_THAT(r.err, HasSubstr("password refused"));
      EXPECT_EQ(ShadowHash(root, c.account), before);
    } else {
      EXPECT_NE(ShadowHash(root, c.account), before);
    }
  }
  const Result help = root.WebApi({"passwd", "--help"});
  EXPECT_THAT(help.out, AllOf(HasSubstr("without echo"), HasSubstr("standard input")));
}

// What a terminal shows while `passwd` runs on it: `answers` typed after each prompt.
struct TerminalRun {
  int status = -1;
  std::string shown;
};

TerminalRun PasswdOnATerminal(const TestRoot& root, const std::vector<std::string>& answers) {
  TerminalRun run;
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    setenv("KIVO_ROOT", root.path().c_str(), 1);
    execl(kWebApiBin, kWebApiBin, "passwd", "bob", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return run;
  size_t typed = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO: the program closed the terminal
    run.shown.append(buffer, static_cast<size_t>(n));
    // Typed only once asked: the prompt comes after the echo is off.
    const size_t prompts = std::count(run.shown.begin(), run.shown.end(), ':');
    while (typed < answers.size() && typed < prompts) {
      const std::string line = answers[typed++] + "\r";
      (void)!write(master, line.data(), line.size());
    }
  }
  close(master);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

TEST_F(HostCommands, PasswdAsksATerminalTwiceWithoutEcho) {
  ASSERT_TRUE(root.AddUser("bob"));
  const TerminalRun differ = PasswdOnATerminal(root, {"first-secret", "second-secret"});
  EXPECT_EQ(differ.status, 1) << differ.shown;
  EXPECT_THAT(differ.shown, HasSubstr("the passwords differ"));
  EXPECT_EQ(ShadowHash(root, "bob"), "!");

  const TerminalRun same = PasswdOnATerminal(root, {"typed-secret", "typed-secret"});
  EXPECT_EQ(same.status, 0) << same.shown;
  EXPECT_THAT(same.shown, AllOf(HasSubstr("New password for bob:"), HasSubstr("Retype")));
  EXPECT_THAT(same.shown, Not(HasSubstr("typed-secret"))) << "echoed";
  // What was typed, and nothing of the terminal's line ends, is the password.
  Server server;
  ASSERT_TRUE(server.Start(root));
  EXPECT_TRUE(Http(server.port()).Login("bob", "typed-secret"));
}

// The WebDAV settings through `call` on the real platform: the answers, kivoinfo.conf,
// the journal, and the port check (the order and refusals are WebDAVApplyTest's).
TEST_F(WebDAVEndToEndTest, SetThenGetAndTheActionsJournaledInOrder) {
  EXPECT_EQ(root.Call(kWebDAV, "get").answer["data"], ParseJson(R"({"enable_http": false,
      "http_port_num": 5005, "enable_https": false, "https_port_num": 5006,
      "anonymouslogin_enable": false, "depth_infinity_enable": false})"));
  Json::Value states(Json::objectValue);
  states["webdav-httpd-pure"]["run"] = 1;
  states["webdav-httpd-pure"]["running"] = true;
  ASSERT_TRUE(WriteFile(root.Path("/var/lib/kivo/services.json"), states.toStyledString()));

  // Ports nothing listens on: the conflict check also asks the machine.
  const int http_port = FreePort(), https_port = FreePort({http_port});
  const std::string http = std::to_string(http_port), https = std::to_string(https_port);
  const std::string all = R"({"enable_http": true, "http_port_num": )" + http +
                          R"(, "enable_https": false, "https_port_num": )" + https +
                          R"(, "anonymouslogin_enable": true, "depth_infinity_enable": false})";
  const Result set = root.Call(kWebDAV, "set", all);
  EXPECT_EQ(set.out, "{\"success\":true,\"data\":null}\n") << set.err;
  EXPECT_THAT(root.Actions(),
              ElementsAre("conf.set WebDavPort " + http, "conf.set secure_WebDavPort " + https,
                          "service.reload webdav-httpd-pure", "conf.set webdavanonymouslogin yes",
                          "userlog 0x11B00876 admin", "firewall.reload", "service.restart avahi"));
  const Json::Value now = root.Call(kWebDAV, "get").answer["data"];
  for (const std::string& key : ParseJson(all).getMemberNames())
    EXPECT_EQ(now[key], ParseJson(all)[key]) << key;

  // A port init reserves and the HTTP port as stored, however written, are refused to either
  // variant, whether or not something listens on them (every reserved port: PortsTest).
  ASSERT_TRUE(root.WriteConf({{"WebDavPort", " " + http}}));
  for (const int port : {5353, http_port}) {
    for (const std::string key : {"http_port_num", "https_port_num"}) {
      if (port == http_port && key == "http_port_num") continue;
      const Result refused = root.Call(kWebDAV, "set",
                                       R"({"enable_http": true, "enable_https": true, ")" + key +
                                           "\": " + std::to_string(port) + "}");
      EXPECT_EQ(refused.answer, Refusal(1701)) << key << " " << port << refused.err;
    }
  }
  EXPECT_EQ(root.ConfValue("secure_WebDavPort"), "");
}

// Comments of a hand-edited registry stay in the file and never reach an answer.
TEST_F(CalendarEndToEndTest, RegistryCommentsNeverReachTheAnswer) {
  const std::string registry = root.Path("/usr/kivo/etc/calendar.info");
  ASSERT_TRUE(WriteFile(registry, R"(// written by hand
[ // the team's
  /* first */ {"calendarname": "Work", "destination": "public", "share": "public"}, // after
  {"calendarname": /* inside */ "Play", "destination": "public", "share": "public"} // last
] /* tail */
)"));
  const Result list = root.Call(kCalendar, "list");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.answer, ParseJson(R"({"success": true, "data": {"item": [
      {"calendarname": "Work", "destination": "public", "id": "Work:public", "share": "public",
       "status": "noexist"},
      {"calendarname": "Play", "destination": "public", "id": "Play:public", "share": "public",
       "status": "noexist"}]}})"))
      << list.out;
  EXPECT_THAT(list.out, Not(HasSubstr("/")));
  EXPECT_THAT(Read(registry), HasSubstr("// written by hand"));
}

}  // namespace
}  // namespace e2e
