// kivo-webapi serve against hostile clients: oversized and ambiguous requests, foreign names,
// slow and flooding connections, sessions outliving their grant, HTTPS. Loopback, bounded.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

// What `serve` may hold under a flood: 64 MiB, half again for AddressSanitizer's own memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kServeRssLimitKiB = 96 * 1024;
#else
constexpr long kServeRssLimitKiB = 64 * 1024;
#endif

using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

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

class HostHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_TRUE(root_.AddUser("carol", true, "carol-secret"));
  }

  TestRoot root_;
  Server server_;
};

// Each bound and name rule with its refusal, just inside the bounds passing; a foreign Host learns
// nothing else. Listening on every address, the loopback names pass with any port.
TEST_F(HostHostileTest, BoundsAndNamesEachHaveTheirRefusal) {
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
      {"loopback origin", get(host + "Origin: http://[::1]:" + port + "\r\n"), not_found},
      {"a --server-name", get("Host: nas.EXAMPLE\r\n"), not_found},
      {"own origin", get(host + "Origin: http://nas.example:" + port + "\r\n"), not_found},
      {"origin of the other scheme", get(host + "Origin: https://nas.example:" + port + "\r\n"),
       refusal(403, 108)},
      {"origin of another port", get(host + "Origin: http://localhost:1\r\n"), refusal(403, 108)},
      {"origin of a foreign name", get(host + "Origin: http://evil.example:" + port + "\r\n"),
       refusal(403, 108)},
  };
  for (const auto& c : cases) {
    const std::string answer = StatusAndBody(Exchange(server_.port(), c.request));
    EXPECT_EQ(answer.substr(0, c.expected.size()), c.expected) << c.what;
  }
}

// A connection gets the client timeout (2 s) for its headers and again for its body.
TEST_F(HostHostileTest, TricklingClientsAreCutAtTheirDeadline) {
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

// 200 trickling connections and 20 endless chunked bodies from their own addresses: a logged-in
// client is answered within a second each, and the server stays small.
TEST_F(HostHostileTest, SlowAndFloodingClientsLeaveOthersServed) {
  ASSERT_TRUE(server_.Start(root_));
  const int port = server_.port();
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
}

// The log never carries a client's control characters raw. A password change ends the account's
// sessions; leaving "administrators" ends an administrator's; others go on.
TEST_F(HostHostileTest, SessionsEndWithTheirGrantAndTheLogStaysOneLineEach) {
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
TEST_F(HostHostileTest, HttpsWithTheCertificateInitMade) {
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
  for (const char* method : {"GET", "HEAD"}) {
    const Reply page = Http(server_.port()).Send(method, "/index.html", "", "");
    EXPECT_EQ(page.status, 404) << "the plain listener serves too; no page folder";
    if (std::string(method) == "GET") {
      EXPECT_EQ(page.body, Refusal(109));
    }
  }
}

// TLS 1.2 and 1.3 with AEAD ciphers only, unless --tls-priority widens it (TLS 1.1 shown possible).
TEST_F(HostHostileTest, HttpsSpeaksOnlyTls12And13WithAeadCiphers) {
  const std::string only = "NORMAL:-VERS-ALL:+VERS-";
  const std::string cbc = ":-CIPHER-ALL:+AES-128-CBC:+AES-256-CBC:-MAC-ALL:+SHA1:+SHA256";
  const struct {
    std::string server;                                 // "" for the default
    std::vector<std::pair<std::string, bool>> clients;  // offer, accepted
  } cases[] = {
      {"",
       {{only + "TLS1.0", false},
        {only + "TLS1.1", false},
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

}  // namespace
}  // namespace e2e
