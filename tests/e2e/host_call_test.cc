// kivo-webapi init, useradd, passwd and call (the CalDAV switch, the WebDAV
// settings, calendars), run as an operator would.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
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

// A port nothing listens on now (the kernel's pick), none of `others`.
int FreePort(const std::set<int>& others = {}) {
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    socklen_t size = sizeof address;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(fd);
    EXPECT_TRUE(bound);
    if (!bound || others.count(ntohs(address.sin_port)) == 0)
      return bound ? ntohs(address.sin_port) : 0;
  }
}

TEST(HostInit, LaysOutTheRootAndARerunKeepsIt) {
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
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
  // Homes found open are closed again; one swapped for a link to a folder
  // of root's gives that folder to nobody.
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

TEST(HostCall, CalDAVSwitchEndToEnd) {
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  Result get = root.WebApi({"call", "--module", kModulePath, kCalDAV, "1", "get"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "{\"success\":true,\"data\":{\"enable\":false}}\n");

  const Result wrong = root.Call(kCalDAV, "set", R"({"enable": "yes"})");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.out, "{\"success\":false,\"error\":{\"code\":1705}}\n");
  EXPECT_EQ(root.ConfValue("runCalDav"), "");

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
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.err, Not(HasSubstr(untold)));
  EXPECT_EQ(root.Actions().size(), 4u);
}

// With a journal that takes no line the switch still happens in full: the
// value written, both services restarted, the call a success. The operator is
// told once on stderr and once through syslog (which `call` mirrors there).
TEST(HostCall, CalDAVSwitchWithAnUnwritableJournal) {
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  ASSERT_TRUE(root.WriteConf({{"runCalDav", "yes"}}));
  ASSERT_EQ(mkdir(root.Path("/var/log/kivo/platform.jsonl").c_str(), 0755), 0);
  const Result set = root.Call(kCalDAV, "set", R"({"enable": false})");
  EXPECT_EQ(set.out, "{\"success\":true,\"data\":null}\n") << set.err;
  EXPECT_EQ(root.ConfValue("runCalDav"), "no");
  // Both restarts reached services.json; a variant's restart leaves its run
  // state as it was (off here), since the switch must not turn HTTP on.
  EXPECT_EQ(ParseJson(Read(root.Path("/var/lib/kivo/services.json"))),
            ParseJson(R"({"avahi": {"running": true}, "webdav-httpd-pure": {"running": false}})"));
  const std::string told = "cannot append to the action journal";
  EXPECT_THAT(set.err, ::testing::MatchesRegex("libkivo: " + told + "[^\n]*\n" +
                                               "[^\n]*journal:[0-9]+ " + told + "[^\n]*\n" +
                                               "kivo-webapi: the change is stored[^\n]*\n"));
}

// Exit status 0 done, 1 refused, 2 a usage error (nothing on stdout); every
// failure says why on stderr.
TEST(HostCommands, ExitStatusesAndTheirEffects) {
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
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
      {{"passwd", "bob"}, "s3cret\n", 0},
      {{"passwd", "nobody"}, "x\n", 1},
      {{"passwd", "bob"}, "\n", 1},                                        // empty password
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
  EXPECT_THAT(ReadLines(root.Path("/etc/passwd")), AllOf(Contains(StartsWith("bob:x:1025:100:")),
                                                         Contains(StartsWith("carol:x:1026:100:")),
                                                         Contains(StartsWith("dave:x:2000:100:"))));
  EXPECT_THAT(ReadLines(root.Path("/etc/group")), Contains("administrators:x:101:admin,carol"));
  EXPECT_EQ(StatOf(root.Path("/volume1/homes/bob")).st_uid, 1025u);
  EXPECT_THAT(ShadowHash(root, "bob"), StartsWith("$"));
  EXPECT_EQ(ShadowHash(root, "admin"), admin_hash);
  EXPECT_TRUE(root.Actions().empty());
}

// The WebDAV settings through `call`: answers, kivoinfo.conf, the journal.
TEST(WebDAVEndToEndTest, SetThenGetAndTheActionsJournaledInOrder) {
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  // Gives each variant its run setting (1 enabled, 2 disabled).
  const auto set_run = [&](int pure, int ssl) {
    Json::Value states(Json::objectValue);
    states["webdav-httpd-pure"]["run"] = pure;
    states["webdav-httpd-pure"]["running"] = pure == 1;
    states["webdav-httpd-ssl"]["run"] = ssl;
    states["webdav-httpd-ssl"]["running"] = ssl == 1;
    ASSERT_TRUE(WriteFile(root.Path("/var/lib/kivo/services.json"), states.toStyledString()));
  };
  const auto get = [&] {
    const Result r = root.Call(kWebDAV, "get");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.answer["success"].asBool()) << r.out;
    return r.answer["data"];
  };
  // A `set` that must succeed and be reported back by `get`: its actions.
  const auto set = [&](const std::string& params) {
    const size_t before = root.Actions().size();
    const Result r = root.Call(kWebDAV, "set", params);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"success\":true,\"data\":null}\n");
    const Json::Value wanted = ParseJson(params), now = get();
    for (const std::string& key : wanted.getMemberNames()) EXPECT_EQ(now[key], wanted[key]) << key;
    const std::vector<std::string> actions = root.Actions();
    return std::vector<std::string>(actions.begin() + before, actions.end());
  };

  EXPECT_EQ(get(), ParseJson(R"({"enable_http": false, "http_port_num": 5005,
      "enable_https": false, "https_port_num": 5006, "anonymouslogin_enable": false,
      "depth_infinity_enable": false})"));

  set_run(2, 2);
  const Result refused = root.Call(
      kWebDAV, "set", R"({"enable_http": true, "http_port_num": 0, "enable_https": false})");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.answer, Refusal(1705)) << refused.out;
  EXPECT_THAT(refused.err, HasSubstr("webdav_port_num is not in port range 0"));
  EXPECT_THAT(root.Actions(), ::testing::IsEmpty());

  // Ports nothing listens on: the conflict check also asks the machine.
  const int http_port = FreePort(), https_port = FreePort({http_port});
  const std::string http = std::to_string(http_port), https = std::to_string(https_port);
  const std::string all = R"({"enable_http": true, "http_port_num": )" + http +
                          R"(, "enable_https": false, "https_port_num": )" + https +
                          R"(, "anonymouslogin_enable": true, "depth_infinity_enable": false})";
  set(all);
  EXPECT_EQ(root.ConfValue("WebDavPort"), http);
  EXPECT_EQ(root.ConfValue("secure_WebDavPort"), https);
  EXPECT_EQ(root.ConfValue("webdavanonymouslogin"), "yes");
  // A request equal to the current settings writes nothing.
  const std::string conf = Read(root.Path("/etc/kivoinfo.conf"));
  const std::string services = Read(root.Path("/var/lib/kivo/services.json"));
  EXPECT_THAT(set(all), ::testing::IsEmpty());
  EXPECT_EQ(Read(root.Path("/etc/kivoinfo.conf")), conf);
  EXPECT_EQ(Read(root.Path("/var/lib/kivo/services.json")), services);

  set_run(1, 2);
  ASSERT_TRUE(root.WriteConf({{"WebDavPort", http}}));
  const std::string moved = std::to_string(FreePort({http_port, https_port}));
  EXPECT_THAT(
      set(R"({"enable_http": true, "http_port_num": )" + moved + R"(, "enable_https": false})"),
      ElementsAre("conf.set WebDavPort " + moved, "service.reload webdav-httpd-pure",
                  "firewall.reload", "service.restart avahi"));

  set_run(1, 1);
  EXPECT_THAT(set(R"({"enable_http": false, "enable_https": false})"),
              ElementsAre("service.stop webdav-httpd-pure", "service.stop webdav-avahi",
                          "service.stop webdav-httpd-ssl", "service.stop webdavs-avahi",
                          "service.restart avahi", "service.stop webdav-httpd",
                          "service.runkey webdav-httpd-pure 2",
                          "event stop webdav-httpd-pure kivo.service.action",
                          "service.runkey webdav-httpd-ssl 2",
                          "event stop webdav-httpd-ssl kivo.service.action",
                          "userlog 0x11B00873 admin", "userlog 0x11B00875 admin"));
}

// The HTTP port as `get` shows it is taken for HTTPS, however it is written.
TEST(WebDAVEndToEndTest, HttpsOnThePortHttpShowsIsAConflict) {
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  // A port nothing listens on, so that only the stored HTTP port can take it.
  const int port = FreePort();
  ASSERT_TRUE(root.WriteConf({{"WebDavPort", " " + std::to_string(port)}}));
  EXPECT_EQ(root.Call(kWebDAV, "get").answer["data"]["http_port_num"], port);
  const Result set = root.Call(kWebDAV, "set",
                               R"({"enable_http": true, "enable_https": true, "https_port_num": )" +
                                   std::to_string(port) + "}");
  EXPECT_EQ(set.answer, Refusal(1701)) << set.out << set.err;
  EXPECT_EQ(root.ConfValue("secure_WebDavPort"), "");
}

// The ports init reserves (the web API's HTTP and HTTPS as `serve` listens
// by default, mDNS, SSH) are refused to either WebDAV variant, whether or
// not something listens on them.
TEST(WebDAVEndToEndTest, PortsInitReservesAreConflicts) {
  TestRoot root;
  ASSERT_TRUE(root.ok()) << root.init_result().err;
  for (const int port : {5000, 5001, 5353, 22}) {
    for (const std::string key : {"http_port_num", "https_port_num"}) {
      const Result set = root.Call(kWebDAV, "set",
                                   R"({"enable_http": true, "enable_https": true, ")" + key +
                                       "\": " + std::to_string(port) + "}");
      EXPECT_EQ(set.answer, Refusal(1701)) << key << " " << port << set.err;
    }
  }
  EXPECT_EQ(root.ConfValue("WebDavPort"), "");
  EXPECT_EQ(root.ConfValue("secure_WebDavPort"), "");
}

// Calendars through `call`: the answers, the folders on disk with their owners
// and modes, and the registry after each step.
constexpr gid_t kUsersGid = 100;
constexpr uid_t kBob = 1025, kCarol = 1026;

class CalendarEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob"));
    ASSERT_TRUE(root_.AddUser("carol", /*admin=*/true));
    // public is root's and closed to bob; team inside it is his.
    public_ = root_.Path("/volume1/public");
    team_ = public_ + "/team";
    ASSERT_EQ(mkdir(team_.c_str(), 0755), 0);
    ASSERT_EQ(chown(team_.c_str(), kBob, kUsersGid), 0);
  }

  // A create as `user`, or with an `id` the administrator's set.
  Result Call(const std::string& destination, const std::string& name, const std::string& fullpath,
              const std::string& share, const std::string& user = "bob",
              const std::string& id = "") const {
    Json::Value params = CalendarParams(share, destination, fullpath, name);
    if (!id.empty()) params["id"] = id;
    return root_.Call(kCalendar, id.empty() ? "create" : "set", Compact(params), user);
  }

  static void ExpectAnswer(const Result& r, const std::string& id, int code = 0) {
    const Json::Value done = ParseJson(R"({"success":true,"data":{"id":")" + id + "\"}}");
    EXPECT_EQ(r.status, code == 0 ? 0 : 1) << r.err;
    EXPECT_EQ(r.answer, code == 0 ? done : Refusal(code)) << r.out << r.err;
  }

  // The calendar layout at `path`: folders and template copy owned by
  // uid:100 with mode 0777, the empty state file by `dir_owner`, mode 0777.
  void ExpectCalendar(const std::string& path, uid_t uid, uid_t dir_owner) {
    for (const std::string& dir : {path, path + "/.DAV"}) {
      const struct stat st = StatOf(dir);
      EXPECT_EQ(st.st_uid, uid) << dir;
      EXPECT_EQ(st.st_gid, kUsersGid) << dir;
      EXPECT_EQ(st.st_mode & 07777, 0777u) << dir;
    }
    const std::string pag = path + "/.DAV/.state_for_dir.pag";
    EXPECT_EQ(Read(pag), Read(root_.Path("/usr/kivo/etc.defaults/.state_for_dir.pag")));
    EXPECT_EQ(StatOf(pag).st_uid, uid);
    const struct stat dir = StatOf(path + "/.DAV/.state_for_dir.dir");
    EXPECT_EQ(dir.st_uid, dir_owner);
    EXPECT_EQ(dir.st_mode & 07777, 0777u);
    EXPECT_EQ(dir.st_size, 0);
  }

  TestRoot root_;
  std::string public_;
  std::string team_;
};

// A user's create is made as the user; a home create as root and given to
// the user; an administrator's create as root and given to them.
TEST_F(CalendarEndToEndTest, CreatesBelongToTheirUser) {
  ExpectAnswer(Call("public/team", "Cal", team_, "public"), "Cal:public/team");
  ExpectCalendar(team_ + "/Cal", kBob, kBob);

  ExpectAnswer(Call("home", "Cal", root_.Path("/volume1/homes/bob"), "home"), "Cal:homes/bob");
  ExpectCalendar(root_.Path("/volume1/homes/bob/Cal"), kBob, 0);

  ExpectAnswer(Call("public", "Team", public_, "public", "carol"), "Team:public");
  ExpectCalendar(public_ + "/Team", kCarol, 0);
  EXPECT_THAT(root_.Calendars(),
              ElementsAre("Cal public/team public", "Cal homes/bob homes", "Team public public"));
  const Json::Value registry = root_.Registry();

  // List tells a calendar without its state template and one without folder.
  ASSERT_EQ(unlink(root_.Path("/volume1/homes/bob/Cal/.DAV/.state_for_dir.pag").c_str()), 0);
  std::filesystem::remove_all(public_ + "/Team");
  const Json::Value items = root_.Call(kCalendar, "list", "{}", "bob").answer["data"]["item"];
  ASSERT_EQ(items.size(), 3u);
  const char* statuses[] = {"normal", "crashed", "noexist"};
  for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
    Json::Value expected = registry[i];
    expected["status"] = statuses[i];
    expected["id"] =
        registry[i]["calendarname"].asString() + ":" + registry[i]["destination"].asString();
    EXPECT_EQ(items[i], expected);
  }
  EXPECT_EQ(root_.Registry(), registry) << "list changed the registry";
}

TEST_F(CalendarEndToEndTest, CreateListSetAndDelete) {
  ExpectAnswer(Call("public/team", "Work", team_, "public"), "Work:public/team");
  ExpectAnswer(Call("public/team", "Play", team_, "public"), "Play:public/team");
  EXPECT_THAT(root_.Calendars(), ElementsAre("Work public/team public", "Play public/team public"));

  // Rename in place.
  ExpectAnswer(Call("public/team", "Job", team_, "public", "admin", "Work:public/team"),
               "Job:public/team");
  EXPECT_FALSE(Exists(team_ + "/Work"));
  ExpectCalendar(team_ + "/Job", kBob, kBob);
  EXPECT_THAT(root_.Calendars(), ElementsAre("Job public/team public", "Play public/team public"));

  // Move to the share's top, located from the share alone.
  ExpectAnswer(Call("public", "Job", "", "public", "admin", "Job:public/team"), "Job:public");
  EXPECT_FALSE(Exists(team_ + "/Job"));
  EXPECT_TRUE(Exists(public_ + "/Job/.DAV/.state_for_dir.pag"));
  EXPECT_THAT(root_.Calendars(), ElementsAre("Job public public", "Play public/team public"));

  // Moving onto an existing calendar is refused.
  ExpectAnswer(Call("public/team", "Play", "", "public", "admin", "Job:public"), "", 1702);

  ASSERT_EQ(root_.Call(kCalendar, "delete", R"({"id": ["Job:public", "Nothing:here"]})").status, 0);
  EXPECT_FALSE(Exists(public_ + "/Job"));
  EXPECT_TRUE(Exists(team_ + "/Play/.DAV"));
  EXPECT_THAT(root_.Calendars(), ElementsAre("Play public/team public"));

  ASSERT_EQ(root_.Call(kCalendar, "delete", R"({"id": ["Play:public/team"]})").status, 0);
  EXPECT_FALSE(Exists(team_ + "/Play"));
  EXPECT_EQ(Read(root_.Path("/usr/kivo/etc/calendar.info")), "[]\n");
  EXPECT_EQ(root_.Call(kCalendar, "list").answer["data"]["item"], Json::Value(Json::arrayValue));
}

// Comments a hand-edited registry carries stay in the file and never reach an
// answer: the line `call` prints is JSON a client can parse.
TEST_F(CalendarEndToEndTest, RegistryCommentsNeverReachTheAnswer) {
  const std::string registry = root_.Path("/usr/kivo/etc/calendar.info");
  ASSERT_TRUE(WriteFile(registry, R"(// written by hand
[ // the team's
  /* first */ {"calendarname": "Work", "destination": "public", "share": "public"}, // after
  {"calendarname": /* inside */ "Play", "destination": "public", "share": "public"} // last
] /* tail */
)"));
  const Result list = root_.Call(kCalendar, "list");
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
