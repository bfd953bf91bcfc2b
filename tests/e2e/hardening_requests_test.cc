// Hostile requests to `kivo-webapi serve`: oversized bodies, deep nesting,
// bytes that are not UTF-8, huge numbers, wrong types, and clients that never
// finish a request. Each gets its refusal, nothing changes on disk, and the
// server keeps serving everybody else.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/e2e.h"

namespace {

using e2e::kCalendar;

class HardeningRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_TRUE(server_.Start(root_)) << server_.error();
    admin_ = e2e::Http(server_.port());
    ASSERT_TRUE(admin_.Login("admin", e2e::TestRoot::kAdminPassword));
  }

  // The server still answers a plain, valid call, and nothing was written.
  void ExpectServingAndUnchanged() {
    const e2e::Reply r = admin_.Entry(kCalendar, "list");
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body["success"].asBool()) << e2e::Compact(r.body);
    EXPECT_EQ(e2e::Read(root_.Path("/etc/kivoinfo.conf")), "");
    EXPECT_TRUE(root_.Registry().isNull());
  }

  // A raw TCP connection to the server that sends `text` and then nothing.
  int Connect(const std::string& text) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server_.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    return fd;
  }

  e2e::TestRoot root_;
  e2e::Server server_;
  e2e::Http admin_{0};
};

TEST_F(HardeningRequestsTest, HostileBodiesAndParametersAreRefusedWithTheirCodes) {
  const std::string start = std::string(R"({"api":")") + kCalendar + "\",\"version\":";
  const std::string entry = start + R"(1,"method":)";
  struct Case {
    const char* what;
    std::string body;
    int status;
    int code;
  };
  const Case cases[] = {
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
      {"version an object", start + R"({},"method":"list"})", 400, 101},
      {"version beyond every integer", start + R"(99999999999999999999999,"method":"list"})", 400,
       101},
      {"version infinite", start + R"(1e400,"method":"list"})", 400, 101},
      {"version a fraction", start + R"(1.5,"method":"list"})", 400, 101},
      {"version not a number", start + R"("1x","method":"list"})", 400, 101},
      {"api not UTF-8", "{\"api\":\"KIVO\xff\xfe\",\"version\":1,\"method\":\"list\"}", 400, 101},
      {"parameter not UTF-8", entry + "\"create\",\"params\":{\"calendarname\":\"a\xc0\xaf\"}}",
       400, 101},
      {"surrogate in UTF-8", entry + "\"list\",\"params\":{\"x\":\"\xed\xa0\x80\"}}", 400, 101},
      {"NUL inside the api",
       "{\"api\":\"" + std::string(kCalendar) + "\\u0000x\",\"version\":1,\"method\":\"list\"}",
       404, 102},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const e2e::Reply r = admin_.Post(c.body);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, e2e::Refusal(c.code));
  }

  // Well-formed requests with hostile parameters reach the module, which
  // refuses them (the other wrong types are unit tests of the handlers).
  const std::tuple<const char*, const char*, const char*, const char*> hostile[] = {
      {"port beyond every integer", e2e::kWebDAV, "set",
       R"({"enable_http":true,"http_port_num":99999999999999999999,"enable_https":false})"},
      {"calendar fields of every wrong type", kCalendar, "create",
       R"({"share":1,"destination":null,"fullpath":[],"calendarname":{}})"},
      {"ids as text", kCalendar, "delete", R"({"id":"a:b"})"},
      {"edit id as a number", kCalendar, "set",
       R"({"id":1,"share":"public","destination":"public","fullpath":"","calendarname":"x"})"},
  };
  for (const auto& [what, api, method, params] : hostile) {
    SCOPED_TRACE(what);
    const e2e::Reply r = admin_.Entry(api, method, e2e::ParseJson(params));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, e2e::Refusal(1705));
  }
  ExpectServingAndUnchanged();
}

// Clients that stop in the headers, in the body or right after connecting,
// one that sends more than it announced, and many that stall at once: the
// server serves others meanwhile, without waiting for them to time out.
TEST_F(HardeningRequestsTest, ClientsThatStopHalfWayDoNotStopTheServer) {
  const std::string auth =
      "POST /webapi/auth HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n";
  std::vector<int> stalled = {
      Connect(auth + "Content-Length: 100\r\n\r\n{\"acc"),
      Connect(""),
      Connect(auth + "Content-Length: 2\r\n\r\n{}garbage after the body"),
  };
  for (int i = 0; i < 32; ++i) {
    stalled.push_back(Connect("POST /webapi/entry HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
  }
  const auto start = std::chrono::steady_clock::now();
  ExpectServingAndUnchanged();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(e2e::Http(server_.port()).Login("bob", "bob-secret"));
  for (int fd : stalled) close(fd);
  ExpectServingAndUnchanged();
}

}  // namespace
