// kivo-webapi serve over HTTP: logins, sessions, permissions, hostile requests, unfinished clients.

#include <arpa/inet.h>
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

class HostHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_TRUE(root_.AddUser("carol", true, "carol-secret"));
    ASSERT_TRUE(server_.Start(root_));
  }

  Http LoggedIn(const std::string& account, const std::string& password,
                const Server* server = nullptr) {
    Http session((server ? server : &server_)->port());
    EXPECT_TRUE(session.Login(account, password)) << account;
    return session;
  }

  // The server still answers a plain, valid call, and nothing was written.
  void ExpectServingAndUnchanged(const Http& admin) {
    const Reply r = admin.Entry(kCalendar, "list");
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body["success"].asBool()) << Compact(r.body);
    EXPECT_EQ(Read(root_.Path("/etc/kivoinfo.conf")), "");
    EXPECT_TRUE(root_.Registry().isNull());
  }

  // A raw connection from 127.0.0.`source` that sends `text` and then nothing.
  int Connect(const std::string& text, int source = 1) {
    const int fd = Dial(server_.port(), "127.0.0." + std::to_string(source));
    EXPECT_GE(fd, 0);
    (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    return fd;
  }

  // What the server sends on `fd` until `count` answers ended in `last`, or 2 s of silence.
  static std::string ReadUntil(int fd, const std::string& last, int count = 1) {
    timeval wait = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string text;
    char buffer[4096];
    int seen = 0;
    while (seen < count) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      seen = 0;
      for (size_t at = text.find(last); at != std::string::npos; at = text.find(last, at + 1)) {
        ++seen;
      }
    }
    return text;
  }

  TestRoot root_;
  Server server_;
};

TEST_F(HostHttpTest, LoginsAndTheLoginBrake) {
  const Http anonymous(server_.port());
  const auto login = [&](const std::string& body) {
    return anonymous.Send("POST", "/webapi/auth", body);
  };
  const Reply admin =
      login(R"({"account":"admin","password":")" + std::string(TestRoot::kAdminPassword) + "\"}");
  EXPECT_EQ(admin.status, 200);
  EXPECT_EQ(admin.body, ParseJson(R"({"success":true,
                                           "data":{"account":"admin","is_admin":true}})"));
  EXPECT_THAT(admin.set_cookie,
              AllOf(::testing::MatchesRegex("kivo_session=[0-9a-f]{32,};.*"), HasSubstr("HttpOnly"),
                    HasSubstr("SameSite=Strict"), HasSubstr("Path=/")));
  const Reply bob = login(R"({"account":"bob","password":"bob-secret"})");
  EXPECT_EQ(bob.body["data"]["is_admin"], false);
  EXPECT_NE(bob.set_cookie, admin.set_cookie);

  ASSERT_TRUE(root_.AddUser("dave"));  // no password set: locked
  const std::tuple<const char*, int, int> cases[] = {
      {R"({"account":"admin","password":"wrong"})", 401, 110},
      {R"({"account":"nobody","password":"x"})", 401, 110},
      {R"({"account":"dave","password":""})", 401, 110},
      {R"({"account":"dave","password":"!"})", 401, 110},
      {R"({"account":"admin"})", 400, 101},
      {R"({"account":"admin","password":5})", 400, 101},
      {R"(["admin","x"])", 400, 101},
      {"account=admin&password=x", 400, 101},
  };
  for (const auto& [body, status, code] : cases) {
    const Reply r = login(body);
    EXPECT_EQ(r.status, status) << body;
    EXPECT_EQ(r.body, Refusal(code)) << body;
    EXPECT_EQ(r.set_cookie, "") << body;
  }

  // Guesses from one network brake that network at that account; the owner, elsewhere, logs in.
  Http attacker(server_.port());
  attacker.set_source("127.0.1.2");
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(attacker.Login("bob", "x")) << i;
  const Reply slowed =
      attacker.Send("POST", "/webapi/auth", R"({"account":"bob","password":"bob-secret"})");
  EXPECT_EQ(slowed.status, 429);
  EXPECT_EQ(slowed.body, Refusal(119));
  LoggedIn("bob", "bob-secret");
  attacker.set_source("127.0.2.3");
  EXPECT_TRUE(attacker.Login("bob", "bob-secret")) << "another network";
}

TEST_F(HostHttpTest, EntryNeedsASessionThatLogoutOrIdlingEnds) {
  Http session(server_.port());
  for (const std::string& cookie : {std::string(), "kivo_session=" + std::string(64, 'a')}) {
    session.set_cookie(cookie);
    const Reply r = session.Entry(kCalendar, "list");
    EXPECT_EQ(r.status, 401) << cookie;
    EXPECT_EQ(r.body, Refusal(106)) << cookie;
  }
  session = LoggedIn("admin", TestRoot::kAdminPassword);
  EXPECT_EQ(session.Entry(kCalendar, "list").status, 200);
  const Reply out = session.Send("DELETE", "/webapi/auth", "");
  EXPECT_EQ(out.status, 200);
  EXPECT_EQ(out.body["success"], true);
  EXPECT_THAT(out.set_cookie, AllOf(HasSubstr("Max-Age=0"), HasSubstr("HttpOnly"),
                                    HasSubstr("SameSite=Strict"), HasSubstr("Path=/")));
  EXPECT_EQ(session.Entry(kCalendar, "list").body, Refusal(106));
  EXPECT_EQ(session.Send("DELETE", "/webapi/auth", "").status, 401);

  Server idle;
  ASSERT_TRUE(idle.Start(root_, {"--session-idle", "1"}));
  session = LoggedIn("admin", TestRoot::kAdminPassword, &idle);
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(session.Entry(kCalendar, "list").body, Refusal(106));
}

// Hostile parameters of a well-formed request reach the module, which refuses them.
TEST_F(HostHttpTest, HostRefusalsAndHostileRequestsHaveTheirCodes) {
  const Http admin = LoggedIn("admin", TestRoot::kAdminPassword);
  const auto request = [](const std::string& api, const std::string& version, const char* method) {
    return R"({"api":")" + api + R"(","version":)" + version + R"(,"method":")" + method + "\"}";
  };
  const std::string get = request(kCalDAV, "1", "get");
  const std::string entry = std::string(R"({"api":")") + kCalendar + R"(","version":1,"method":)";
  const auto version = [&](const std::string& v) { return request(kCalendar, v, "list"); };
  struct Case {
    const char* what;
    std::string body;
    int status;
    int code;
    std::string content_type = "application/json", origin = "";
  } cases[] = {
      {"unknown API", request("KIVO.Nothing", "1", "get"), 404, 102},
      {"unknown method", request(kCalDAV, "1", "x"), 404, 103},
      {"unknown version", request(kCalDAV, "2", "get"), 404, 103},
      {"no api", R"({"version":1,"method":"get"})", 400, 101},
      {"form post", get, 415, 104, "application/x-www-form-urlencoded"},
      {"no content type", get, 415, 104, ""},
      {"foreign origin", get, 403, 108, "application/json", "http://evil.example"},
      {"null origin", get, 403, 108, "application/json", "null"},
      {"body over the limit", std::string(64 * 1024 + 1, ' '), 413, 107},
      {"deeply nested body", std::string(30000, '['), 400, 101},
      {"deeply nested params",
       entry + R"("list","params":)" + std::string(20000, '[') + std::string(20000, ']') + "}", 400,
       101},
      {"unfinished JSON", entry + R"("list","params":{)", 400, 101},
      {"not JSON", "version=1&method=list", 400, 101},
      {"empty body", "", 400, 101},
      {"an array", "[]", 400, 101},
      {"api of the wrong type", R"({"api":1,"version":1,"method":"list"})", 400, 101},
      {"method of the wrong type", entry + R"(["list"]})", 400, 101},
      {"params of the wrong type", entry + R"("list","params":"x"})", 400, 101},
      {"params an array", entry + R"("list","params":[1]})", 400, 101},
      {"version an object", version("{}"), 400, 101},
      {"version beyond every integer", version("99999999999999999999999"), 400, 101},
      {"version infinite", version("1e400"), 400, 101},
      {"version a fraction", version("1.5"), 400, 101},
      {"version not a number", version(R"("1x")"), 400, 101},
      {"api not UTF-8", "{\"api\":\"KIVO\xff\xfe\",\"version\":1,\"method\":\"list\"}", 400, 101},
      {"parameter not UTF-8", entry + "\"create\",\"params\":{\"calendarname\":\"a\xc0\xaf\"}}",
       400, 101},
      {"surrogate in UTF-8", entry + "\"list\",\"params\":{\"x\":\"\xed\xa0\x80\"}}", 400, 101},
      // Host and module would read a string with NUL differently: refused.
      {"NUL inside the api",
       "{\"api\":\"" + std::string(kCalendar) + "\\u0000x\",\"version\":1,\"method\":\"list\"}",
       400, 101},
      {"NUL inside a parameter",
       entry + "\"create\",\"params\":{\"share\":\"homes\\u0000/carol\"}}", 400, 101},
      {"port beyond every integer",
       std::string(R"({"api":")") + kWebDAV + R"(","version":1,"method":"set","params":)" +
           R"({"enable_http":true,"http_port_num":99999999999999999999,"enable_https":false}})",
       200, 1705},
      {"calendar fields of every wrong type",
       entry +
           R"("create","params":{"share":1,"destination":null,"fullpath":[],"calendarname":{}}})",
       200, 1705},
      {"ids as text", entry + R"("delete","params":{"id":"a:b"}})", 200, 1705},
      {"edit id as a number",
       entry + R"("set","params":{"id":1,"share":"public","destination":"public","fullpath":"",)" +
           R"("calendarname":"x"}})",
       200, 1705},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Http::Headers headers;
    if (!c.origin.empty()) headers.emplace_back("Origin", c.origin);
    const Reply r = admin.Send("POST", "/webapi/entry", c.body, c.content_type, headers);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, Refusal(c.code));
  }
  const Reply other = admin.Send("POST", "/webapi/other", get);
  EXPECT_EQ(other.status, 404);
  EXPECT_EQ(other.body, Refusal(109));
  const std::string same_origin = "http://127.0.0.1:" + std::to_string(server_.port());
  const Reply same = admin.Send("POST", "/webapi/entry", get, "application/json; charset=utf-8",
                                {{"Origin", same_origin}});
  EXPECT_EQ(same.status, 200) << "own origin and a charset parameter are fine";
  EXPECT_EQ(same.body["success"], true);
  ExpectServingAndUnchanged(admin);
}

// Administrators reach every method, others only list and create (refusals change nothing); the
// module and the access log see the session's account, never a "user" in the body.
TEST_F(HostHttpTest, WhoMayCallWhat) {
  const Http bob = LoggedIn("bob", "bob-secret"), carol = LoggedIn("carol", "carol-secret");
  const std::string set =
      std::string(R"({"api":")") + kCalDAV +
      R"(","version":"1","method":"set","params":{"enable":true},"user":"admin"})";
  EXPECT_EQ(bob.Send("POST", "/webapi/entry", set).body, Refusal(105));
  ASSERT_EQ(carol.Send("POST", "/webapi/entry", set).status, 200);
  EXPECT_THAT(root_.Actions(), ::testing::Contains("userlog 0x11B00878 carol"));
  Json::Value enable, ids, edit = CalendarParams("public", "public", "", "Mine");
  enable["enable"] = true;
  ids["id"].append("Mine:public");
  edit["id"] = "W:public";
  const Json::Value none(Json::objectValue),
      create = CalendarParams("public", "public", root_.Path("/volume1/public"), "W");
  // API, method, parameters, and whether everybody may call it.
  const std::tuple<const char*, const char*, Json::Value, bool> cases[] = {
      {kWebDAV, "get", none, false},   {kWebDAV, "set", none, false},
      {kCalDAV, "get", none, false},   {kCalDAV, "set", enable, false},
      {kCalendar, "list", none, true}, {kCalendar, "create", create, true},
      {kCalendar, "set", edit, false}, {kCalendar, "delete", ids, false},
  };
  for (const auto& [api, method, params, everybody] : cases) {
    SCOPED_TRACE(std::string(api) + " " + method);
    const std::vector<std::string> actions = root_.Actions();
    const Json::Value registry = root_.Registry();
    for (const Http* session : {&bob, &carol}) {
      const Reply r = session->Entry(api, method, params);
      if (session == &bob && !everybody) {
        EXPECT_EQ(r.status, 403);
        EXPECT_EQ(r.body, Refusal(105));
        EXPECT_EQ(root_.Actions(), actions);
        EXPECT_EQ(root_.Registry(), registry);
        continue;
      }
      // Either a result or one of the module's own codes: never a host refusal.
      const int code = r.body["error"]["code"].asInt();
      EXPECT_EQ(r.status, 200);
      EXPECT_TRUE(r.body["success"] == true || (code >= 1701 && code <= 1706)) << Compact(r.body);
    }
  }
  EXPECT_EQ(root_.Registry(), Json::Value(Json::arrayValue)) << "made, renamed and deleted";
  EXPECT_EQ(server_.Stop(), 0);
  EXPECT_THAT(server_.Log(),
              AllOf(HasSubstr(" POST /webapi/entry " + std::string(kCalDAV) + ".set carol 200 "),
                    HasSubstr("stopping")));
}

// Each distinct credentials-and-mask state of `pid`'s threads, one a line ("" unreadable).
std::set<std::string> ThreadCredentials(pid_t pid) {
  std::set<std::string> states;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return {""};
  while (const dirent* task = readdir(dir)) {
    if (task->d_name[0] == '.') continue;
    std::string state;
    for (const std::string& line : ReadLines(tasks + "/" + task->d_name + "/status")) {
      for (const char* key : {"Umask:", "Uid:", "Gid:", "Groups:"}) {
        if (line.rfind(key, 0) == 0) state += line + "; ";
      }
    }
    states.insert(state);
  }
  closedir(dir);
  return states;
}

// A home is the user's folder in the homes share, whatever passwd says; the create switches the
// process to him, and every thread is root again (groups, mask) once the answer is out.
TEST_F(HostHttpTest, HomeCreatesFollowTheHomesShareNotThePasswdHome) {
  const std::set<std::string> before = ThreadCredentials(server_.pid());
  ASSERT_EQ(before.size(), 1u);
  EXPECT_THAT(*before.begin(), AllOf(HasSubstr("Umask:\t0022"), HasSubstr("Uid:\t0\t0\t0\t0")));
  std::string passwd;
  for (const std::string& line : ReadLines(root_.Path("/etc/passwd"))) {
    passwd += line.rfind("bob:", 0) == 0 ? "bob:x:1025:100::/nonexistent:/bin/sh\n" : line + "\n";
  }
  ASSERT_TRUE(WriteFile(root_.Path("/etc/passwd"), passwd));
  const Http bob = LoggedIn("bob", "bob-secret");
  const std::string homes = root_.Path("/volume1/homes");
  Reply r = bob.Entry(kCalendar, "create", CalendarParams("home", "home", homes + "/bob", "Mine"));
  EXPECT_EQ(r.body, ParseJson(R"({"success":true,"data":{"id":"Mine:homes/bob"}})"))
      << Compact(r.body);
  EXPECT_TRUE(Exists(homes + "/bob/Mine/.DAV"));
  EXPECT_EQ(ThreadCredentials(server_.pid()), before);
  EXPECT_EQ(StatOf(root_.Path("/usr/kivo/etc/calendar.info")).st_mode & 07777, 0644u);
  r = bob.Entry(kCalendar, "create", CalendarParams("homes", "carol", homes + "/carol", "Mine"));
  EXPECT_EQ(r.body, Refusal(105));
}

// Clients stopping in the headers, the body or at once, sending more than announced, or stalling
// in numbers (16 an address): others are served meanwhile, without waiting for timeouts.
TEST_F(HostHttpTest, ClientsThatStopHalfWayDoNotStopTheServer) {
  const Http admin = LoggedIn("admin", TestRoot::kAdminPassword);
  const std::string auth =
      "POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n";
  std::vector<int> stalled = {
      Connect(auth + "Content-Length: 100\r\n\r\n{\"acc"),
      Connect(""),
      Connect(auth + "Content-Length: 2\r\n\r\n{}garbage after the body"),
  };
  for (int i = 0; i < 32; ++i) {
    stalled.push_back(Connect("POST /webapi/entry HTTP/1.1\r\nHost: 127.0.0.1\r\n", 2 + i / 8));
  }
  const auto start = std::chrono::steady_clock::now();
  ExpectServingAndUnchanged(admin);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(Http(server_.port()).Login("bob", "bob-secret"));
  for (int fd : stalled) close(fd);
  ExpectServingAndUnchanged(admin);
}

// Pipelined requests are answered in order; a client expecting 100-continue gets it first.
TEST_F(HostHttpTest, PipelinedAndContinuedRequestsAreAnsweredInOrder) {
  const std::string login_body = R"({"account":"bob","password":"bob-secret"})";
  const std::string login =
      "POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
      "Content-Length: " +
      std::to_string(login_body.size()) + "\r\n\r\n" + login_body;
  const std::string logout =
      "DELETE /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
      "Content-Length: 0\r\n\r\n";
  const int fd = Connect(login + logout + login);
  const std::string answers = ReadUntil(fd, "}}", 3);
  close(fd);
  const size_t first = answers.find("HTTP/1.1 200 OK");
  const size_t second = answers.find("HTTP/1.1 401", first + 1);
  const size_t third = answers.find("HTTP/1.1 200 OK", second + 1);
  EXPECT_NE(first, std::string::npos) << answers;
  EXPECT_NE(second, std::string::npos) << answers;
  EXPECT_NE(third, std::string::npos) << answers;

  const int asking = Connect(
      "POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
      "Expect: 100-continue\r\nContent-Length: " +
      std::to_string(login_body.size()) + "\r\n\r\n");
  EXPECT_THAT(ReadUntil(asking, "\r\n\r\n"), HasSubstr("HTTP/1.1 100 Continue"));
  (void)!send(asking, login_body.data(), login_body.size(), MSG_NOSIGNAL);
  EXPECT_THAT(ReadUntil(asking, "}"),
              AllOf(HasSubstr("HTTP/1.1 200 OK"), HasSubstr(R"("success":true)")));
  close(asking);
}

}  // namespace
}  // namespace e2e
