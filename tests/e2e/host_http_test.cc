// kivo-webapi serve over HTTP, as a browser or script would use it: logins,
// sessions, permissions and the host's own refusals.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/e2e.h"

namespace {

using e2e::CalendarParams;
using e2e::Compact;
using e2e::kCalDAV;
using e2e::kCalendar;
using e2e::kWebDAV;
using e2e::Refusal;
using ::testing::AllOf;
using ::testing::HasSubstr;

class HostHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_TRUE(root_.AddUser("carol", true, "carol-secret"));
    ASSERT_TRUE(server_.Start(root_)) << server_.error();
  }

  e2e::Http LoggedIn(const std::string& account, const std::string& password,
                     const e2e::Server* server = nullptr) {
    e2e::Http session((server ? server : &server_)->port());
    EXPECT_TRUE(session.Login(account, password)) << account;
    return session;
  }

  e2e::TestRoot root_;
  e2e::Server server_;
};

TEST_F(HostHttpTest, LoginsAndTheLoginBrake) {
  const e2e::Http anonymous(server_.port());
  const auto login = [&](const std::string& body) {
    return anonymous.Send("POST", "/webapi/auth", body);
  };
  const e2e::Reply admin = login(R"({"account":"admin","password":")" +
                                 std::string(e2e::TestRoot::kAdminPassword) + "\"}");
  EXPECT_EQ(admin.status, 200);
  EXPECT_EQ(admin.body, e2e::ParseJson(R"({"success":true,
                                           "data":{"account":"admin","is_admin":true}})"));
  EXPECT_THAT(admin.set_cookie,
              AllOf(::testing::MatchesRegex("kivo_session=[0-9a-f]{32,};.*"), HasSubstr("HttpOnly"),
                    HasSubstr("SameSite=Strict"), HasSubstr("Path=/")));
  const e2e::Reply bob = login(R"({"account":"bob","password":"bob-secret"})");
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
    const e2e::Reply r = login(body);
    EXPECT_EQ(r.status, status) << body;
    EXPECT_EQ(r.body, Refusal(code)) << body;
    EXPECT_EQ(r.set_cookie, "") << body;
  }

  // Repeated failures lock the account, and that account only.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(login(R"({"account":"bob","password":"x"})").status, 401);
  const e2e::Reply locked = login(R"({"account":"bob","password":"bob-secret"})");
  EXPECT_EQ(locked.status, 429);
  EXPECT_EQ(locked.body, Refusal(119));
  LoggedIn("carol", "carol-secret");
}

TEST_F(HostHttpTest, EntryNeedsASessionThatLogoutOrIdlingEnds) {
  e2e::Http session(server_.port());
  for (const std::string& cookie : {std::string(), "kivo_session=" + std::string(64, 'a')}) {
    session.set_cookie(cookie);
    const e2e::Reply r = session.Entry(kCalendar, "list");
    EXPECT_EQ(r.status, 401) << cookie;
    EXPECT_EQ(r.body, Refusal(106)) << cookie;
  }
  session = LoggedIn("admin", e2e::TestRoot::kAdminPassword);
  EXPECT_EQ(session.Entry(kCalendar, "list").status, 200);
  const e2e::Reply out = session.Send("DELETE", "/webapi/auth", "");
  EXPECT_EQ(out.status, 200);
  EXPECT_EQ(out.body["success"], true);
  EXPECT_THAT(out.set_cookie, AllOf(HasSubstr("Max-Age=0"), HasSubstr("HttpOnly"),
                                    HasSubstr("SameSite=Strict"), HasSubstr("Path=/")));
  EXPECT_EQ(session.Entry(kCalendar, "list").body, Refusal(106));
  EXPECT_EQ(session.Send("DELETE", "/webapi/auth", "").status, 401);

  e2e::Server idle;
  ASSERT_TRUE(idle.Start(root_, {"--session-idle", "1"})) << idle.error();
  session = LoggedIn("admin", e2e::TestRoot::kAdminPassword, &idle);
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(session.Entry(kCalendar, "list").body, Refusal(106));
}

TEST_F(HostHttpTest, HostRefusalsHaveTheirCodes) {
  const e2e::Http admin = LoggedIn("admin", e2e::TestRoot::kAdminPassword);
  const auto request = [](const char* api, const char* version, const char* method) {
    return std::string(R"({"api":")") + api + R"(","version":)" + version + R"(,"method":")" +
           method + "\"}";
  };
  const std::string get = request(kCalDAV, "1", "get");
  const char* json = "application/json";
  struct Case {
    const char* what;
    std::string content_type, origin, body;
    int status;
    int code;
  } cases[] = {
      {"unknown API", json, "", request("KIVO.Nothing", "1", "get"), 404, 102},
      {"unknown method", json, "", request(kCalDAV, "1", "x"), 404, 103},
      {"unknown version", json, "", request(kCalDAV, "2", "get"), 404, 103},
      {"no api", json, "", R"({"version":1,"method":"get"})", 400, 101},
      {"form post", "application/x-www-form-urlencoded", "", get, 415, 104},
      {"no content type", "", "", get, 415, 104},
      {"foreign origin", json, "http://evil.example", get, 403, 108},
      {"null origin", json, "null", get, 403, 108},
  };
  for (const Case& c : cases) {
    e2e::Http::Headers headers;
    if (!c.origin.empty()) headers.emplace_back("Origin", c.origin);
    const e2e::Reply r = admin.Send("POST", "/webapi/entry", c.body, c.content_type, headers);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.body, Refusal(c.code)) << c.what;
  }
  const e2e::Reply other = admin.Send("POST", "/webapi/other", get);
  EXPECT_EQ(other.status, 404);
  EXPECT_EQ(other.body, Refusal(109));
  const std::string same_origin = "http://127.0.0.1:" + std::to_string(server_.port());
  const e2e::Reply same = admin.Send("POST", "/webapi/entry", get,
                                     "application/json; charset=utf-8", {{"Origin", same_origin}});
  EXPECT_EQ(same.status, 200) << "own origin and a charset parameter are fine";
  EXPECT_EQ(same.body["success"], true);
}

// Administrators reach every method; other users only list and create, and
// their refusals change nothing. The module sees the session's account, not a
// "user" in the body, and the access log names it once a clean stop flushed it.
TEST_F(HostHttpTest, WhoMayCallWhat) {
  const e2e::Http bob = LoggedIn("bob", "bob-secret"), carol = LoggedIn("carol", "carol-secret");
  const std::string set =
      std::string(R"({"api":")") + kCalDAV +
      R"(","version":"1","method":"set","params":{"enable":true},"user":"admin"})";
  EXPECT_EQ(bob.Post(set).body, Refusal(105));
  ASSERT_EQ(carol.Post(set).status, 200);
  EXPECT_THAT(root_.Actions(),
              ::testing::ElementsAre("conf.set runCalDav yes", "userlog 0x11B00878 carol",
                                     "service.restart avahi", "service.restart webdav-httpd-pure"));
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
    for (const e2e::Http* session : {&bob, &carol}) {
      const e2e::Reply r = session->Entry(api, method, params);
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

}  // namespace
