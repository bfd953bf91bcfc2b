// kivo-webapi serve over HTTP and HTTPS: logins, sessions, permissions, hostile requests and
// names, slow, unfinished and flooding clients, the account work. Loopback, bounded.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/shim.h"

extern "C" {
#include "daemons/apache/kivo_login_brake.h"
}

namespace e2e {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

// What `serve` may hold under a flood: 64 MiB, half again for AddressSanitizer's own memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kServeRssLimitKiB = 96 * 1024;
#else
constexpr long kServeRssLimitKiB = 64 * 1024;
#endif

// Sends `request` on a new connection; one answer (Content-Length in, closed, or `wait` silent).
std::string Exchange(int port, const std::string& request,
                     std::chrono::milliseconds wait = std::chrono::milliseconds(1500)) {
  const int fd = Dial(port);
  if (fd < 0) return "";
  (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  timeval tv = {0, static_cast<suseconds_t>(wait.count() * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    answer.append(buffer, n);
    const size_t end = answer.find("\r\n\r\n"), length = answer.find("Content-Length: ");
    if (end != std::string::npos && length < end &&
        answer.size() >= end + 4 + std::stoul(answer.substr(length + 16))) {
      break;
    }
  }
  close(fd);
  return answer;
}

// "421 {"success":false,...}": the status code and the body of an answer.
std::string StatusAndBody(const std::string& answer) {
  if (answer.compare(0, 9, "HTTP/1.1 ") != 0) return "no answer";
  const size_t body = answer.find("\r\n\r\n");
  const Json::Value json = ParseJson(body == std::string::npos ? "" : answer.substr(body + 4));
  return answer.substr(9, 3) + (json.isNull() ? "" : " " + Compact(json));
}

// Seconds until the server closes a connection sending `prefix`, then a byte of `text` every
// 200 ms; 30 when it never does.
double SecondsUntilCut(int port, const std::string& prefix, const std::string& text) {
  const int fd = Dial(port);
  const auto start = Clock::now();
  (void)!send(fd, prefix.data(), prefix.size(), MSG_NOSIGNAL);
  for (size_t i = 0; i < 150; ++i) {
    if (send(fd, &text[i % text.size()], 1, MSG_NOSIGNAL) != 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  close(fd);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Whether gnutls-cli offering only `priorities` completes a handshake with the listener on `port`.
bool Handshakes(const TestRoot& root, int port, const std::string& priorities) {
  return Run({"/usr/bin/gnutls-cli", "--insecure", "--priority", priorities, "-p",
              std::to_string(port), "127.0.0.1"},
             root.path())
             .status == 0;
}

class HostHttpTest : public ::testing::Test {
 protected:
  // The server's time() is the test's clock_ file (tests/shim), the login brake's windows with it.
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_TRUE(root_.AddUser("carol", true, "carol-secret"));
    ASSERT_TRUE(WriteFile(clock_, std::to_string(time(nullptr))));
    ASSERT_TRUE(server_.Start(root_, {}, ShimEnv("", {"KIVO_SHIM_CLOCK=" + clock_})));
  }

  Http LoggedIn(const std::string& account, const std::string& password,
                const Server* server = nullptr) {
    Http session((server ? server : &server_)->port());
    EXPECT_TRUE(session.Login(account, password)) << account;
    return session;
  }

  // A password change: `account`'s by an administrator, else the session's own.
  static Reply Change(const Http& session, const std::string& old_password,
                      const std::string& password, const std::string& account = "") {
    Json::Value body(Json::objectValue);
    body["old_password"] = old_password;
    body["password"] = password;
    if (!account.empty()) body["account"] = account;
    return session.Send("POST", "/webapi/password", Compact(body));
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
  const std::string clock_ = root_.path() + "/.clock";
  Server server_;
};

TEST_F(HostHttpTest, LoginsAndTheLoginBrake) {
  const Http anonymous(server_.port());
  const auto login = [&](const std::string& body) {
    return anonymous.Send("POST", "/webapi/auth", body);
  };
  // Every door refuses a name no account has after as long as a hash takes lately: the hashes
  // of the web API's logins count in the brake the doors share.
  const std::unique_ptr<kb_brake, void (*)(kb_brake*)> brake(
      kb_open((root_.path() + KB_STATE_PATH).c_str()), kb_close);
  ASSERT_NE(brake, nullptr);
  const long hash_time = kb_hash_ns(brake.get());
  const Reply admin =
      login(R"({"account":"admin","password":")" + std::string(TestRoot::kAdminPassword) + "\"}");
  EXPECT_EQ(admin.status, 200);
  EXPECT_NE(kb_hash_ns(brake.get()), hash_time);
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

  // Guesses from one network, wrong logins and wrong current passwords alike, brake that network
  // at that account, logins and changes (the clock stands still till the test moves it); the
  // owner, elsewhere, logs in.
  Http attacker = LoggedIn("bob", "bob-secret");
  attacker.set_source("127.0.1.2");
  for (int i = 0; i < 4; ++i) {
    if (i % 2 == 0) {
      EXPECT_FALSE(attacker.Login("bob", "x")) << i;
    } else {
      EXPECT_EQ(Change(attacker, "wrong", "a-new-password").body, Refusal(125)) << i;
    }
  }
  for (const Reply& slowed :
       {attacker.Send("POST", "/webapi/auth", R"({"account":"bob","password":"bob-secret"})"),
        Change(attacker, "bob-secret", "a-new-password")}) {
    EXPECT_EQ(slowed.status, 429);
    EXPECT_EQ(slowed.body, Refusal(119));
  }
  LoggedIn("bob", "bob-secret");
  attacker.set_source("127.0.2.3");
  EXPECT_TRUE(attacker.Login("bob", "bob-secret")) << "another network";
  ASSERT_TRUE(WriteFile(clock_, std::to_string(std::stoll(Read(clock_)) + 1)));
  attacker.set_source("127.0.1.2");
  EXPECT_TRUE(attacker.Login("bob", "bob-secret")) << "a second on, the wait is over";
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

// Hostile parameters of a well-formed request reach the module, which refuses them (each
// listed parameter of the wrong type: ModuleParamsTest.EveryListedParameterIsOneItsHandlerChecks).
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
      {"no api", R"({"version":1,"method":"get"})", 400, 101},
      {"form post", get, 415, 104, "application/x-www-form-urlencoded"},
      {"foreign origin", get, 403, 108, "application/json", "http://evil.example"},
      {"body over the limit", std::string(64 * 1024 + 1, ' '), 413, 107},
      {"deeply nested params",
       entry + R"("list","params":)" + std::string(20000, '[') + std::string(20000, ']') + "}", 400,
       101},
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
  Json::Value enable;
  enable["enable"] = true;
  const Json::Value ids = IdList("Mine:public"),
                    edit = CalendarParams("public", "public", "", "Mine", "W:public");
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

// Each bound and name rule with its refusal, just inside the bounds passing; a foreign Host learns
// nothing else. Listening on every address, the loopback names pass with any port.
TEST_F(HostHttpTest, BoundsAndNamesEachHaveTheirRefusal) {
  ASSERT_TRUE(server_.Start(root_, {"--listen", "0.0.0.0:0", "--server-name", "NAS.example"}));
  const std::string port = std::to_string(server_.port());
  const auto get = [](const std::string& headers) {
    return "GET /webapi/none HTTP/1.1\r\n" + headers + "\r\n";
  };
  const std::string host = "Host: 127.0.0.1:" + port + "\r\n";
  const auto post = [&](const std::string& headers, const std::string& body) {
    return "POST /webapi/auth HTTP/1.1\r\n" + host + "Content-Type: application/json\r\n" +
           headers + "\r\n" + body;
  };
  std::string many_fields, too_many_fields;
  for (int i = 0; i < 99; ++i) many_fields += "X-" + std::to_string(i) + ": a\r\n";
  too_many_fields = many_fields + "X-Last: a\r\nX-Over: a\r\n";
  const auto refusal = [](int status, int code) {
    return std::to_string(status) + " " + Compact(Refusal(code));
  };
  const std::string not_found = refusal(404, 109);
  const struct {
    const char* what;
    std::string request;
    std::string expected;  // status and body; "431" alone for the library's own page
  } cases[] = {
      {"headers just under 16 KiB",
       get(host + "X-Pad: " + std::string(16 * 1024 - 80, 'a') + "\r\n"), not_found},
      {"headers over 16 KiB", get(host + "X-Pad: " + std::string(16 * 1024, 'a') + "\r\n"),
       refusal(431, 121)},
      {"headers of 80 KiB", get(host + "X-Pad: " + std::string(80 * 1024, 'a') + "\r\n"), "431"},
      {"100 header fields", get(host + many_fields), not_found},
      {"101 header fields", get(host + too_many_fields), refusal(431, 121)},
      {"chunked body", post("Transfer-Encoding: chunked\r\n", "2\r\n{}\r\n0\r\n\r\n"),
       refusal(411, 122)},
      {"announced body over 64 KiB", post("Content-Length: 65537\r\n", "{}"), refusal(413, 107)},
      {"body of 64 KiB", post("Content-Length: 65536\r\n", std::string(65536, ' ')),
       refusal(400, 101)},
      {"two Host fields", get(host + host), "400"},
      {"foreign Host, wrong type too",
       "POST /webapi/entry HTTP/1.1\r\nHost: evil.example:" + port +
           "\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n",
       refusal(421, 120)},
      {"no Host", "GET /webapi/none HTTP/1.0\r\n\r\n", refusal(421, 120)},
      {"foreign Host, chunked too",
       "POST /webapi/auth HTTP/1.1\r\nHost: evil.example\r\nTransfer-Encoding: chunked\r\n\r\n",
       refusal(421, 120)},
      {"rebound name", get("Host: 127.0.0.1.evil.example:" + port + "\r\n"), refusal(421, 120)},
      {"localhost", get("Host: localhost:" + port + "\r\n"), not_found},
      {"IPv6 loopback", get("Host: [::1]:" + port + "\r\n"), not_found},
      {"loopback, tunnelled port", get("Host: 127.0.0.1:8022\r\n"), not_found},
      {"another loopback address", get("Host: 127.0.0.2:" + port + "\r\n"), refusal(421, 120)},
      {"a --server-name", get("Host: nas.EXAMPLE\r\n"), not_found},
      {"own origin", get(host + "Origin: http://nas.example:" + port + "\r\n"), not_found},
      {"origin of a foreign name", get(host + "Origin: http://evil.example:" + port + "\r\n"),
       refusal(403, 108)},
  };
  for (const auto& c : cases) {
    const std::string answer = StatusAndBody(Exchange(server_.port(), c.request));
    EXPECT_EQ(answer.substr(0, c.expected.size()), c.expected) << c.what;
  }
}

// A connection gets the client timeout (2 s) for its headers and again for its body.
TEST_F(HostHttpTest, TricklingClientsAreCutAtTheirDeadline) {
  ASSERT_TRUE(server_.Start(root_, {"--client-timeout", "2"}));
  const std::string headers =
      "POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
      "X-Pad: " +
      std::string(200, 'a');
  const std::string body = "{\"account\":\"bob\",\"password\":\"" + std::string(1000, 'x');
  double header_seconds = 0, body_seconds = 0;
  const std::string head =
      "POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
      "Content-Length: 5000\r\n\r\n";
  std::thread header_trickle(
      [&] { header_seconds = SecondsUntilCut(server_.port(), "", headers); });
  std::thread body_trickle([&] { body_seconds = SecondsUntilCut(server_.port(), head, body); });
  header_trickle.join();
  body_trickle.join();
  EXPECT_GT(header_seconds, 1.5);
  EXPECT_LT(header_seconds, 5);
  EXPECT_GT(body_seconds, 1.5);
  EXPECT_LT(body_seconds, 5);
}

// Clients stopping in the headers, the body or at once, or sending more than announced; 200
// trickling connections (16 an address) and 20 endless chunked bodies from their own addresses: a
// logged-in client is answered within a second each, logins go on, and the server stays small.
TEST_F(HostHttpTest, SlowAndFloodingClientsLeaveOthersServed) {
  const int port = server_.port();
  const std::string auth =
      "POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n";
  const std::vector<int> stopped = {
      Connect(auth + "Content-Length: 100\r\n\r\n{\"acc"),
      Connect(""),
      Connect(auth + "Content-Length: 2\r\n\r\n{}garbage after the body"),
  };
  std::atomic<bool> done(false);
  std::vector<int> tricklers;
  for (int i = 0; i < 200; ++i) {
    const int fd = Dial(port, "127.0.0." + std::to_string(10 + i / 16));  // 16 a source: its limit
    if (fd >= 0) tricklers.push_back(fd);
  }
  EXPECT_GE(tricklers.size(), 192u);
  std::thread trickle([&] {
    const std::string request = "POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (size_t i = 0; i < 30 && !done; ++i) {
      for (int fd : tricklers) (void)!send(fd, &request[i % request.size()], 1, MSG_NOSIGNAL);
      for (int t = 0; t < 10 && !done; ++t)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::vector<std::thread> pushers;
  for (int p = 0; p < 20; ++p) {
    pushers.emplace_back([&, p] {
      const std::string head =
          "POST /webapi/entry HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
          "Transfer-Encoding: chunked\r\n\r\n";
      const std::string chunk = "10000\r\n" + std::string(0x10000, '[') + "\r\n";
      // 150 MB each at most, over as many connections as the server closes.
      for (long long sent = 0; sent < 150LL * 1000 * 1000 && !done;) {
        const int fd = Dial(port, "127.0.0." + std::to_string(40 + p / 10));
        if (fd < 0) break;
        bool open = send(fd, head.data(), head.size(), MSG_NOSIGNAL) > 0;
        for (; open && sent < 150LL * 1000 * 1000 && !done; sent += chunk.size()) {
          open = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0;
        }
        close(fd);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  Http client(port);
  ASSERT_TRUE(client.Login("admin", TestRoot::kAdminPassword));
  long max_rss = 0;
  std::chrono::duration<double> slowest(0);
  for (int i = 0; i < 100; ++i) {
    const auto start = Clock::now();
    const Reply r = client.Entry(kWebDAV, "get");
    slowest = std::max<std::chrono::duration<double>>(slowest, Clock::now() - start);
    ASSERT_EQ(r.status, 200) << i;
    max_rss = std::max(max_rss, RssKiB(server_.pid()));
  }
  done = true;
  trickle.join();
  for (std::thread& t : pushers) t.join();
  for (int fd : tricklers) close(fd);
  EXPECT_LT(slowest.count(), 1.0);
  EXPECT_GT(max_rss, 0);
  EXPECT_LT(max_rss, kServeRssLimitKiB) << "KiB";
  EXPECT_TRUE(Http(port).Login("bob", "bob-secret"));
  for (int fd : stopped) close(fd);
  ExpectServingAndUnchanged(client);
}

// The log never carries a client's control characters raw. A password change ends the account's
// sessions; leaving "administrators" ends an administrator's; others go on.
TEST_F(HostHttpTest, SessionsEndWithTheirGrantAndTheLogStaysOneLineEach) {
  ASSERT_TRUE(server_.Start(root_));
  Http forger(server_.port());
  EXPECT_FALSE(forger.Login("x\n2026-01-01T00:00:00Z POST /webapi/auth - admin 200 0ms", "x"));
  EXPECT_EQ(forger.Send("GET", "/x%0a2026-01-01T00:00:00Z%20POST", "", "").status, 404);
  Http admin(server_.port()), bob(server_.port()), carol(server_.port());
  ASSERT_TRUE(admin.Login("admin", TestRoot::kAdminPassword));
  ASSERT_TRUE(bob.Login("bob", "bob-secret"));
  ASSERT_TRUE(carol.Login("carol", "carol-secret"));
  ASSERT_EQ(root_.WebApi({"passwd", "bob"}, "new-secret\n").status, 0);
  EXPECT_EQ(bob.Entry(kCalendar, "list").body, Refusal(106));
  EXPECT_EQ(carol.Entry(kWebDAV, "get").status, 200);
  std::string group = Read(root_.Path("/etc/group"));
  const size_t member = group.find(",carol");
  ASSERT_NE(member, std::string::npos) << group;
  ASSERT_TRUE(WriteFile(root_.Path("/etc/group.new"), group.erase(member, 6)));
  ASSERT_EQ(rename(root_.Path("/etc/group.new").c_str(), root_.Path("/etc/group").c_str()), 0);
  // An administrator's change of another's password, asked once the grant ended: nothing written.
  const std::string shadow = Read(root_.Path("/etc/shadow"));
  EXPECT_EQ(Change(carol, "carol-secret", "carol-chose-this", "bob").body, Refusal(106));
  EXPECT_EQ(Read(root_.Path("/etc/shadow")), shadow);
  EXPECT_EQ(carol.Entry(kWebDAV, "get").body, Refusal(106));
  EXPECT_EQ(admin.Entry(kWebDAV, "get").status, 200);
  EXPECT_TRUE(bob.Login("bob", "new-secret"));
  EXPECT_EQ(bob.Entry(kCalendar, "list").status, 200);
  EXPECT_EQ(server_.Stop(), 0);
  const std::string log = server_.Log();
  EXPECT_THAT(log, HasSubstr(" GET /x\\x0a2026-01-01T00:00:00Z\\x20POST "));
  EXPECT_THAT(log, Not(HasSubstr("\n2026-01-01T00:00:00Z")));
}

// HTTPS with init's certificate: a client trusting it logs in (Secure cookie); others get nowhere.
TEST_F(HostHttpTest, HttpsWithTheCertificateInitMade) {
  const struct stat key = StatOf(root_.Path("/etc/kivo/tls/server.key"));
  EXPECT_EQ(key.st_mode & 07777, 0600u);
  ASSERT_TRUE(server_.Start(root_, {"--listen-tls", "127.0.0.1:0", "--www", root_.Path("/none")}));
  Http trusting(server_.tls_port(), "127.0.0.1", root_.Path("/etc/kivo/tls/server.crt"));
  const Reply login = trusting.Send(
      "POST", "/webapi/auth",
      R"({"account":"admin","password":")" + std::string(TestRoot::kAdminPassword) + "\"}");
  EXPECT_EQ(login.status, 200);
  EXPECT_THAT(login.set_cookie, HasSubstr("; Secure"));
  trusting.set_cookie(login.set_cookie.substr(0, login.set_cookie.find(';')));
  EXPECT_EQ(trusting.Entry(kWebDAV, "get").status, 200);
  Http distrusting(server_.tls_port(), "127.0.0.1", "/dev/null");
  EXPECT_EQ(distrusting.Send("GET", "/", "", "").status, 0);

  // A new pair while serving, by administrators only: the next connection
  // gets it, with no restart.
  ASSERT_TRUE(WriteFile(root_.Path("/old.crt"), Read(root_.Path("/etc/kivo/tls/server.crt"))));
  const std::string before = trusting.Send("GET", "/webapi/certificate", "", "")
                                 .body["data"]["certificate"]["sha256"]
                                 .asString();
  Http bob(server_.tls_port(), "127.0.0.1", root_.Path("/old.crt"));
  ASSERT_TRUE(bob.Login("bob", "bob-secret"));
  EXPECT_EQ(bob.Send("POST", "/webapi/certificate/self-signed", "{}").body, Refusal(105));
  const Reply renewed = trusting.Send("POST", "/webapi/certificate/self-signed", "{}");
  ASSERT_EQ(renewed.status, 200) << renewed.text;
  const std::string after = renewed.body["data"]["certificate"]["sha256"].asString();
  EXPECT_EQ(after.size(), 95u);
  EXPECT_NE(after, before);
  EXPECT_EQ(bob.Send("GET", "/webapi/certificate", "", "").status, 0) << "the old one served";
  EXPECT_EQ(trusting.Send("GET", "/webapi/certificate", "", "")
                .body["data"]["certificate"]["sha256"]
                .asString(),
            after);
  for (const char* method : {"GET", "HEAD"}) {
    const Reply page = Http(server_.port()).Send(method, "/index.html", "", "");
    EXPECT_EQ(page.status, 404) << "the plain listener serves too; no page folder";
    if (std::string(method) == "GET") {
      EXPECT_EQ(page.body, Refusal(109));
    }
  }
}

// TLS 1.2 and 1.3 with AEAD ciphers only, unless --tls-priority widens it (TLS 1.1 shown possible).
TEST_F(HostHttpTest, HttpsSpeaksOnlyTls12And13WithAeadCiphers) {
  const std::string only = "NORMAL:-VERS-ALL:+VERS-";
  const std::string cbc = ":-CIPHER-ALL:+AES-128-CBC:+AES-256-CBC:-MAC-ALL:+SHA1:+SHA256";
  const struct {
    std::string server;                                 // "" for the default
    std::vector<std::pair<std::string, bool>> clients;  // offer, accepted
  } cases[] = {
      {"",
       {{only + "TLS1.1", false},
        {only + "TLS1.2" + cbc, false},
        {only + "TLS1.2", true},
        {only + "TLS1.3", true}}},
      {only + "TLS1.1", {{only + "TLS1.1", true}, {only + "TLS1.2", false}}},
  };
  for (const auto& c : cases) {
    Server server;
    std::vector<std::string> args = {"--listen-tls", "127.0.0.1:0"};
    if (!c.server.empty()) args.insert(args.end(), {"--tls-priority", c.server});
    ASSERT_TRUE(server.Start(root_, args));
    for (const auto& [offer, accepted] : c.clients) {
      EXPECT_EQ(Handshakes(root_, server.tls_port(), offer), accepted)
          << offer << " against " << (c.server.empty() ? "the default" : c.server);
    }
  }
}

// The account work of the page: password changes (one's own, an administrator's for another), the
// accounts list and the homes an administrator makes private; and the commands' own help. Beside
// bob and carol, accounts the daemons refuse with passwords all the same: a system account, one of
// root's group, edgar locked by an administrator, dave with no password yet, frank with no home.
class HostAccountsTest : public HostHttpTest {
 protected:
  void SetUp() override {
    HostHttpTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(root_.AddUser("dave"));
    ASSERT_TRUE(root_.AddUser("edgar", false, "edgar-secret"));
    std::string shadow = Read(root_.Path("/etc/shadow"));
    const std::string edgar_line = "edgar:$";
    ASSERT_NE(shadow.find(edgar_line), std::string::npos);
    shadow.replace(shadow.find(edgar_line), edgar_line.size(), "edgar:!$");
    const size_t at = shadow.find("\nbob:") + 5;
    const std::string bob_hash = shadow.substr(at, shadow.find(':', at) - at);
    shadow += "daemon2:" + bob_hash + ":0:0:99999:7:::\n";
    shadow += "rooty:" + bob_hash + ":0:0:99999:7:::\n";
    ASSERT_TRUE(WriteFile(root_.Path("/etc/shadow"), shadow));
    const std::string passwd = Read(root_.Path("/etc/passwd")) +
                               "daemon2:x:500:100::/nonexistent:/bin/sh\n"
                               "rooty:x:2000:0::/nonexistent:/bin/sh\n"
                               "frank:x:2001:100::/home/frank:/bin/sh\n";
    ASSERT_TRUE(WriteFile(root_.Path("/etc/passwd"), passwd));
  }
};

TEST_F(HostAccountsTest, PasswordChangesAreRefusedWithTheirCodes) {
  const Http bob = LoggedIn("bob", "bob-secret");
  const Http admin = LoggedIn("admin", TestRoot::kAdminPassword);
  const std::string shadow = Read(root_.Path("/etc/shadow"));
  const std::string good = "a-new-password";
  const std::tuple<const Http*, std::string, std::string, std::string, int, int> cases[] = {
      {&bob, "wrong", good, "", 403, 125},
      // One breach of the password rules; each rule: HostCommands.PasswdRefusesWhatThePageRefuses.
      {&bob, "bob-secret", "short", "", 400, 124},
      {&bob, "bob-secret", good, "dave", 403, 105},
      {&admin, TestRoot::kAdminPassword, "edgar-edgar", "guest", 403, 126},
      {&admin, TestRoot::kAdminPassword, good, "daemon2", 403, 128},
      {&admin, TestRoot::kAdminPassword, good, "rooty", 403, 128},
      {&admin, TestRoot::kAdminPassword, good, "root", 403, 128},
      {&admin, TestRoot::kAdminPassword, good, "edgar", 403, 127},
      {&admin, TestRoot::kAdminPassword, good, "nobody", 404, 129},
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
  EXPECT_EQ(bob.Send("POST", "/webapi/accounts/home", R"({"account":"frank"})").body, Refusal(105));
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
      {"root", "system_uid -"},
      {"admin", " admin private"},
      {"guest", "guest -"},
      {"carol", " admin private"},
      {"bob", " readable"},
      {"dave", "no_password private"},
      {"edgar", "locked not_a_folder"},
      {"daemon2", "system_uid -"},
      {"rooty", "group_root -"},
      {"frank", "no_password missing"},
  };
  EXPECT_EQ(seen, expected);

  const std::tuple<std::string, int, int> cases[] = {
      {"frank", 200, 0},   {"bob", 200, 0},      {"guest", 403, 126}, {"daemon2", 403, 128},
      {"rooty", 403, 128}, {"nobody", 404, 129}, {"edgar", 500, 100},
  };
  for (const auto& [account, status, code] : cases) {
    const Reply r =
        admin.Send("POST", "/webapi/accounts/home", R"({"account":")" + account + "\"}");
    EXPECT_EQ(r.status, status) << account;
    const Json::Value expected_body = code != 0
                                          ? Refusal(code)
                                          : ParseJson(R"({"success":true,"data":{"account":")" +
                                                      account + R"(","home":"private"}})");
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

// Accounts made, locked, unlocked and removed by an administrator (and locked by root at the
// command line): each refusal with its code, sessions ended at once, the page's door closed
// to a locked account as the WebDAV and CalDAV doors are (CalDAVDaemonTest).
TEST_F(HostAccountsTest, AdministratorsMakeLockAndRemoveAccounts) {
  const Http admin = LoggedIn("admin", TestRoot::kAdminPassword);
  const Http bob = LoggedIn("bob", "bob-secret");
  const std::string good = "zed-first-secret";
  const auto make = [&](const std::string& name, const std::string& password,
                        const std::string& own = TestRoot::kAdminPassword) {
    return R"({"account":")" + name + R"(","password":")" + password + R"(","admin_password":")" +
           own + "\"}";
  };
  const auto lock = [](const std::string& name, bool locked) {
    return R"({"account":")" + name + R"(","locked":)" + (locked ? "true" : "false") + "}";
  };
  const auto remove = [](const std::string& name) {
    return R"({"account":")" + name + R"(","remove_home":true})";
  };
  const std::string files = Read(root_.Path("/etc/passwd")) + Read(root_.Path("/etc/shadow")) +
                            Read(root_.Path("/etc/group"));
  const std::tuple<const Http*, std::string, std::string, int, int> cases[] = {
      {&bob, "create", make("zed", good, "bob-secret"), 403, 105},
      {&bob, "lock", lock("dave", true), 403, 105},
      {&bob, "remove", remove("dave"), 403, 105},
      {&admin, "create", make("homes", good), 400, 140},
      {&admin, "create", make("Zed", good), 400, 140},
      {&admin, "create", make("bob", good), 409, 141},
      {&admin, "create", make("zed", "zed"), 400, 124},
      {&admin, "create", make("zed", good, "wrong"), 403, 125},
      {&admin, "lock", lock("admin", true), 403, 142},
      {&admin, "remove", remove("admin"), 403, 142},
      {&admin, "lock", lock("guest", true), 403, 126},
      {&admin, "remove", remove("root"), 403, 128},
      {&admin, "lock", lock("bo", true), 404, 129},
      {&admin, "remove", R"({"account":"bob"})", 400, 101},
  };
  for (const auto& [session, what, body, status, code] : cases) {
    const Reply r = session->Send("POST", "/webapi/accounts/" + what, body);
    EXPECT_EQ(r.status, status) << what << " " << body;
    EXPECT_EQ(r.body["error"]["code"], code) << what << " " << body;
  }
  EXPECT_EQ(Read(root_.Path("/etc/passwd")) + Read(root_.Path("/etc/shadow")) +
                Read(root_.Path("/etc/group")),
            files)
      << "nothing was written";
  EXPECT_EQ(admin.Send("POST", "/webapi/accounts/create", make("bob", good)).body,
            ParseJson(R"({"success":false,"error":{"code":141,"message":"user bob exists"}})"));

  const Reply made = admin.Send("POST", "/webapi/accounts/create", make("zed", good));
  EXPECT_EQ(made.body, ParseJson(R"({"success":true,
                                     "data":{"account":"zed","is_admin":false,"home":"private"}})"));
  EXPECT_TRUE(Http(server_.port()).Login("zed", good));

  const Http bob_elsewhere = LoggedIn("bob", "bob-secret");
  EXPECT_EQ(admin.Send("POST", "/webapi/accounts/lock", lock("bob", true)).body,
            ParseJson(R"({"success":true,
                          "data":{"account":"bob","locked":true,"sessions_ended":2}})"));
  EXPECT_EQ(bob.Entry(kCalendar, "list").body, Refusal(106));
  EXPECT_FALSE(Http(server_.port()).Login("bob", "bob-secret"));
  EXPECT_EQ(admin.Send("POST", "/webapi/accounts/lock", lock("bob", false)).status, 200);
  // Locked by root at the command line: the session opened before ends at its next request.
  const Http bob_again = LoggedIn("bob", "bob-secret");
  ASSERT_EQ(root_.WebApi({"usermod", "bob", "--lock"}).status, 0);
  EXPECT_EQ(bob_again.Entry(kCalendar, "list").body, Refusal(106));
  EXPECT_FALSE(Http(server_.port()).Login("bob", "bob-secret"));
  ASSERT_EQ(root_.WebApi({"usermod", "bob", "--unlock"}).status, 0);
  EXPECT_TRUE(Http(server_.port()).Login("bob", "bob-secret"));

  // With carol locked, admin is the last administrator who logs in: root cannot take it away.
  EXPECT_EQ(admin.Send("POST", "/webapi/accounts/lock", lock("carol", true)).status, 200);
  using Args = std::vector<std::string>;
  for (const Args& args : {Args{"userdel", "admin"}, Args{"usermod", "admin", "--lock"}}) {
    const Result r = root_.WebApi(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_THAT(r.err, HasSubstr("admin is the last administrator who can log in")) << args[0];
  }
  EXPECT_TRUE(Http(server_.port()).Login("admin", TestRoot::kAdminPassword));

  const Reply removed = admin.Send("POST", "/webapi/accounts/remove", remove("zed"));
  EXPECT_EQ(removed.body, ParseJson(R"({"success":true,"data":{"account":"zed","home":"removed",
                                        "calendars_left":[],"addressbooks_left":[],
                                        "sessions_ended":1}})"));
  EXPECT_FALSE(Exists(root_.Path("/volume1/homes/zed")));
  EXPECT_FALSE(Http(server_.port()).Login("zed", good));
  const std::string log = server_.Log();
  EXPECT_THAT(log, HasSubstr("administrator admin made the account zed"));
  EXPECT_THAT(log, HasSubstr("administrator admin removed the account zed (home removed)"));
  EXPECT_THAT(log, Not(HasSubstr(good)));
}

TEST_F(HostAccountsTest, EveryCommandAnswersHelp) {
  for (const std::string command :
       {"init", "useradd", "passwd", "usermod", "userdel", "call", "serve", "services"}) {
    const Result r = root_.WebApi({command, "--help"});
    EXPECT_EQ(r.status, 0) << command << r.err;
    EXPECT_THAT(r.out, HasSubstr("usage: kivo-webapi " + command)) << command;
  }
  EXPECT_FALSE(Exists(root_.Path("/volume1/homes/--help")));
}

}  // namespace
}  // namespace e2e
