// kivo-webapi serve over HTTP, as a browser or script would use it: logins,
// sessions, permissions and the host's own refusals, against a server
// started on a free loopback port in a temporary root.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e.h"

namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";

struct Reply {
  int status = 0;
  Json::Value body;
  std::string set_cookie;
};

Json::Value Parse(const std::string& text) {
  Json::Value value;
  Json::Reader().parse(text, value);
  return value;
}

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

Json::Value Refusal(int code) {
  Json::Value body;
  body["success"] = false;
  body["error"]["code"] = code;
  return body;
}

class HostHttpTest : public ::testing::Test {
 protected:
  void SetUp() override { StartServer({}); }

  void StartServer(const std::vector<std::string>& args) {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob", false, "bob-secret"));
    ASSERT_TRUE(root_.AddUser("carol", true, "carol-secret"));
    ASSERT_TRUE(server_.Start(root_, args)) << server_.error();
  }

  // One request; `content_type` "" sends none.
  Reply Send(const std::string& method, const std::string& path, const std::string& body,
             const std::string& cookie = "", const std::string& content_type = "application/json",
             const httplib::Headers& extra = {}) {
    httplib::Client client("127.0.0.1", server_.port());
    client.set_read_timeout(30, 0);
    httplib::Headers headers = extra;
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    if (!content_type.empty()) headers.emplace("Content-Type", content_type);
    httplib::Request req;
    req.method = method;
    req.path = path;
    req.headers = headers;
    req.body = body;
    Reply reply;
    auto result = client.send(req);
    if (!result) {
      ADD_FAILURE() << method << " " << path << ": no answer";
      return reply;
    }
    reply.status = result->status;
    reply.body = Parse(result->body);
    reply.set_cookie = result->get_header_value("Set-Cookie");
    return reply;
  }

  // Logs in and answers the "name=value" cookie ("" on failure).
  std::string Login(const std::string& account, const std::string& password) {
    Json::Value body;
    body["account"] = account;
    body["password"] = password;
    const Reply r = Send("POST", "/webapi/auth", Compact(body));
    if (r.status != 200) return "";
    return r.set_cookie.substr(0, r.set_cookie.find(';'));
  }

  Reply Call(const std::string& cookie, const std::string& api, const std::string& method,
             const Json::Value& params = Json::Value(Json::objectValue), int version = 1) {
    Json::Value body;
    body["api"] = api;
    body["version"] = version;
    body["method"] = method;
    body["params"] = params;
    return Send("POST", "/webapi/entry", Compact(body), cookie);
  }

  Json::Value CalendarParams(const std::string& share, const std::string& destination,
                             const std::string& fullpath, const std::string& name) {
    Json::Value p;
    p["share"] = share;
    p["destination"] = destination;
    p["fullpath"] = fullpath;
    p["calendarname"] = name;
    return p;
  }

  e2e::TestRoot root_;
  e2e::Server server_;
};

TEST_F(HostHttpTest, LoginAnswersTheAccountAndSetsASafeCookie) {
  const Reply admin = Send(
      "POST", "/webapi/auth",
      R"({"account":"admin","password":")" + std::string(e2e::TestRoot::kAdminPassword) + "\"}");
  ASSERT_EQ(admin.status, 200);
  EXPECT_EQ(admin.body["success"], true);
  EXPECT_EQ(admin.body["data"]["account"], "admin");
  EXPECT_EQ(admin.body["data"]["is_admin"], true);
  EXPECT_THAT(admin.set_cookie, MatchesRegex("kivo_session=[0-9a-f]{32,};.*"));
  EXPECT_THAT(admin.set_cookie, HasSubstr("HttpOnly"));
  EXPECT_THAT(admin.set_cookie, HasSubstr("SameSite=Strict"));
  EXPECT_THAT(admin.set_cookie, HasSubstr("Path=/"));

  const Reply bob = Send("POST", "/webapi/auth", R"({"account":"bob","password":"bob-secret"})");
  ASSERT_EQ(bob.status, 200);
  EXPECT_EQ(bob.body["data"]["is_admin"], false);
  EXPECT_NE(bob.set_cookie, admin.set_cookie);
}

TEST_F(HostHttpTest, FailedLoginsAreRefused) {
  ASSERT_TRUE(root_.AddUser("dave"));  // no password set: locked
  struct Case {
    const char* body;
    int status;
    int code;
  } cases[] = {
      {R"({"account":"admin","password":"wrong"})", 401, 110},
      {R"({"account":"nobody","password":"x"})", 401, 110},
      {R"({"account":"dave","password":""})", 401, 110},
      {R"({"account":"dave","password":"!"})", 401, 110},
      {R"({"account":"admin"})", 400, 101},
      {R"({"account":"admin","password":5})", 400, 101},
      {R"(["admin","x"])", 400, 101},
      {"account=admin&password=x", 400, 101},
  };
  for (const Case& c : cases) {
    const Reply r = Send("POST", "/webapi/auth", c.body);
    EXPECT_EQ(r.status, c.status) << c.body;
    EXPECT_EQ(r.body, Refusal(c.code)) << c.body;
    EXPECT_EQ(r.set_cookie, "") << c.body;
  }
}

TEST_F(HostHttpTest, RepeatedFailuresLockTheAccountOnly) {
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Send("POST", "/webapi/auth", R"({"account":"bob","password":"guess"})").status, 401);
  }
  const Reply locked = Send("POST", "/webapi/auth", R"({"account":"bob","password":"bob-secret"})");
  EXPECT_EQ(locked.status, 429);
  EXPECT_EQ(locked.body, Refusal(119));
  EXPECT_NE(Login("carol", "carol-secret"), "") << "other accounts are not locked";
}

TEST_F(HostHttpTest, EntryNeedsASession) {
  const Reply none = Call("", kCalendar, "list");
  EXPECT_EQ(none.status, 401);
  EXPECT_EQ(none.body, Refusal(106));
  const Reply forged = Call("kivo_session=" + std::string(64, 'a'), kCalendar, "list");
  EXPECT_EQ(forged.status, 401);
  EXPECT_EQ(forged.body, Refusal(106));
}

TEST_F(HostHttpTest, NonAdministratorIsRefusedAdministrativeMethods) {
  const std::string bob = Login("bob", "bob-secret");
  ASSERT_NE(bob, "");
  Json::Value enable;
  enable["enable"] = true;
  Json::Value ids;
  ids["id"].append("x:public");
  const std::vector<std::pair<std::string, std::string>> refused = {
      {kWebDAV, "get"}, {kWebDAV, "set"},      {kCalDAV, "get"},
      {kCalDAV, "set"}, {kCalendar, "delete"}, {kCalendar, "set"},
  };
  for (const auto& call : refused) {
    const Json::Value params = call.first == kCalDAV ? enable : ids;
    const Reply r = Call(bob, call.first, call.second, params);
    EXPECT_EQ(r.status, 403) << call.first << " " << call.second;
    EXPECT_EQ(r.body, Refusal(105)) << call.first << " " << call.second;
  }
  EXPECT_EQ(root_.ConfValue("runCalDav"), "");
  EXPECT_TRUE(root_.Journal().empty());
}

TEST_F(HostHttpTest, NonAdministratorListsAndCreatesCalendars) {
  const std::string bob = Login("bob", "bob-secret");
  ASSERT_NE(bob, "");
  const Reply list = Call(bob, kCalendar, "list");
  EXPECT_EQ(list.status, 200);
  EXPECT_EQ(list.body["data"]["item"], Json::Value(Json::arrayValue));

  // In the own home (the module makes it as root and gives it to bob).
  const std::string home = root_.Path("/volume1/homes/bob");
  const Reply in_home = Call(bob, kCalendar, "create", CalendarParams("home", "home", home, "Cal"));
  ASSERT_EQ(in_home.status, 200);
  ASSERT_EQ(in_home.body["success"], true) << Compact(in_home.body);
  struct stat st = {};
  ASSERT_EQ(stat((home + "/Cal").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1025u);

  // In a share, made as bob himself.
  const std::string pub = root_.Path("/volume1/public");
  ASSERT_EQ(chmod(pub.c_str(), 01777), 0);
  const Reply in_share =
      Call(bob, kCalendar, "create", CalendarParams("public", "public", pub, "Team"));
  ASSERT_EQ(in_share.body["success"], true) << Compact(in_share.body);
  EXPECT_EQ(in_share.body["data"]["id"], "Team:public");

  const Reply after = Call(bob, kCalendar, "list");
  EXPECT_EQ(after.body["data"]["item"].size(), 2u);
  EXPECT_EQ(root_.Registry().size(), 2u);
}

TEST_F(HostHttpTest, NonAdministratorCannotCreateInAnotherHome) {
  const std::string bob = Login("bob", "bob-secret");
  ASSERT_NE(bob, "");
  const std::string admin_home = root_.Path("/volume1/homes/admin");
  const std::string bob_home = root_.Path("/volume1/homes/bob");
  ASSERT_EQ(symlink(admin_home.c_str(), (bob_home + "/elsewhere").c_str()), 0);
  struct Case {
    const char* share;
    std::string fullpath;
  } cases[] = {
      {"homes", admin_home},
      {"home", admin_home},
      {"HOME", root_.Path("/volume1/homes")},
      {"homes", bob_home + "/elsewhere"},             // a link out of the home
      {"homes", bob_home + "/../admin"},              // a walk out of the home
      {"homes", bob_home + "/missing"},               // does not resolve
      {"homes", root_.Path("/volume1/homes/bobby")},  // a name that only starts alike
  };
  for (const Case& c : cases) {
    const Reply r =
        Call(bob, kCalendar, "create", CalendarParams(c.share, c.share, c.fullpath, "X"));
    EXPECT_EQ(r.status, 403) << c.share << " " << c.fullpath;
    EXPECT_EQ(r.body, Refusal(105)) << c.share << " " << c.fullpath;
  }
  struct stat st;
  EXPECT_NE(lstat((admin_home + "/X").c_str(), &st), 0);
  EXPECT_TRUE(root_.Registry().isNull());

  // An administrator is not held to a home.
  const std::string carol = Login("carol", "carol-secret");
  const Reply admin = Call(carol, kCalendar, "create",
                           CalendarParams("homes", "homes/admin", admin_home, "Shared"));
  EXPECT_EQ(admin.body["success"], true) << Compact(admin.body);
}

TEST_F(HostHttpTest, HostRefusalsHaveTheirCodes) {
  const std::string admin = Login("admin", e2e::TestRoot::kAdminPassword);
  ASSERT_NE(admin, "");
  const std::string same_origin = "http://127.0.0.1:" + std::to_string(server_.port());
  const std::string get =
      R"({"api":"KIVO.Core.FileServ.WebDAV.CalDAV","version":1,"method":"get"})";
  struct Case {
    const char* what;
    std::string body;
    std::string content_type;
    httplib::Headers headers;
    std::string path;
    int status;
    int code;
  } cases[] = {
      {"unknown API",
       R"({"api":"KIVO.Nothing","version":1,"method":"get"})",
       "application/json",
       {},
       "/webapi/entry",
       404,
       102},
      {"unknown method",
       R"({"api":"KIVO.Core.FileServ.WebDAV.CalDAV","version":1,"method":"x"})",
       "application/json",
       {},
       "/webapi/entry",
       404,
       103},
      {"unknown version",
       R"({"api":"KIVO.Core.FileServ.WebDAV.CalDAV","version":2,"method":"get"})",
       "application/json",
       {},
       "/webapi/entry",
       404,
       103},
      {"not JSON", "api=x", "application/json", {}, "/webapi/entry", 400, 101},
      {"params not an object",
       R"({"api":"KIVO.Core.FileServ.WebDAV.CalDAV","version":1,"method":"get","params":[1]})",
       "application/json",
       {},
       "/webapi/entry",
       400,
       101},
      {"no api",
       R"({"version":1,"method":"get"})",
       "application/json",
       {},
       "/webapi/entry",
       400,
       101},
      {"version not a number",
       R"({"api":"KIVO.Core.FileServ.WebDAV.CalDAV","version":"v1","method":"get"})",
       "application/json",
       {},
       "/webapi/entry",
       400,
       101},
      {"form post", get, "application/x-www-form-urlencoded", {}, "/webapi/entry", 415, 104},
      {"text post", get, "text/plain", {}, "/webapi/entry", 415, 104},
      {"no content type", get, "", {}, "/webapi/entry", 415, 104},
      {"foreign origin",
       get,
       "application/json",
       {{"Origin", "http://evil.example"}},
       "/webapi/entry",
       403,
       108},
      {"foreign port",
       get,
       "application/json",
       {{"Origin", "http://127.0.0.1:1"}},
       "/webapi/entry",
       403,
       108},
      {"null origin", get, "application/json", {{"Origin", "null"}}, "/webapi/entry", 403, 108},
      {"too large",
       std::string(70 * 1024, ' ') + get,
       "application/json",
       {},
       "/webapi/entry",
       413,
       107},
      {"no such path", get, "application/json", {}, "/webapi/other", 404, 109},
  };
  for (const Case& c : cases) {
    const Reply r = Send("POST", c.path, c.body, admin, c.content_type, c.headers);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.body, Refusal(c.code)) << c.what;
  }
  const Reply same = Send("POST", "/webapi/entry", get, admin, "application/json; charset=utf-8",
                          {{"Origin", same_origin}});
  EXPECT_EQ(same.status, 200) << "own origin and a charset parameter are fine";
  EXPECT_EQ(same.body["success"], true);
}

TEST_F(HostHttpTest, EveryMethodReachesTheModule) {
  const std::string admin = Login("admin", e2e::TestRoot::kAdminPassword);
  ASSERT_NE(admin, "");
  const std::string pub = root_.Path("/volume1/public");
  Json::Value enable;
  enable["enable"] = true;
  const Reply created =
      Call(admin, kCalendar, "create", CalendarParams("public", "public", pub, "Work"));
  ASSERT_EQ(created.body["success"], true) << Compact(created.body);
  Json::Value ids;
  ids["id"].append(created.body["data"]["id"]);
  Json::Value rename;
  rename["items"] = Json::Value(Json::arrayValue);

  struct Case {
    const char* api;
    const char* method;
    Json::Value params;
  } cases[] = {
      {kWebDAV, "get", Json::Value(Json::objectValue)},
      {kWebDAV, "set", Json::Value(Json::objectValue)},
      {kCalDAV, "get", Json::Value(Json::objectValue)},
      {kCalDAV, "set", enable},
      {kCalendar, "list", Json::Value(Json::objectValue)},
      {kCalendar, "set", rename},
      {kCalendar, "delete", ids},
  };
  for (const Case& c : cases) {
    const Reply r = Call(admin, c.api, c.method, c.params);
    EXPECT_EQ(r.status, 200) << c.api << " " << c.method;
    // Either a result or one of the module's own codes: never a host refusal.
    if (r.body["success"] != true) {
      EXPECT_GE(r.body["error"]["code"].asInt(), 1701) << c.api << " " << c.method;
      EXPECT_LE(r.body["error"]["code"].asInt(), 1706) << c.api << " " << c.method;
    }
  }
  EXPECT_EQ(root_.ConfValue("runCalDav"), "yes");
  EXPECT_EQ(root_.Registry(), Json::Value(Json::arrayValue)) << "deleted again";
}

TEST_F(HostHttpTest, TheModuleSeesTheSessionsAccount) {
  const std::string carol = Login("carol", "carol-secret");
  ASSERT_NE(carol, "");
  Json::Value body;
  body["api"] = kCalDAV;
  body["version"] = "1";
  body["method"] = "set";
  body["params"]["enable"] = true;
  body["user"] = "admin";  // not a field the host takes
  const Reply r = Send("POST", "/webapi/entry", Compact(body), carol);
  ASSERT_EQ(r.status, 200);
  const std::vector<Json::Value> userlog = e2e::JournalOps(root_.Journal(), "userlog");
  ASSERT_EQ(userlog.size(), 1u);
  EXPECT_EQ(userlog[0]["user"], "carol");
  // The access line is written after the answer: stop the server to have it.
  EXPECT_EQ(server_.Stop(), 0);
  EXPECT_THAT(server_.Log(),
              HasSubstr(" POST /webapi/entry " + std::string(kCalDAV) + ".set carol 200 "));
}

TEST_F(HostHttpTest, LogoutEndsTheSession) {
  const std::string admin = Login("admin", e2e::TestRoot::kAdminPassword);
  ASSERT_NE(admin, "");
  EXPECT_EQ(Call(admin, kCalendar, "list").status, 200);
  const Reply out = Send("DELETE", "/webapi/auth", "", admin);
  EXPECT_EQ(out.status, 200);
  EXPECT_EQ(out.body["success"], true);
  EXPECT_THAT(out.set_cookie, HasSubstr("Max-Age=0"));
  EXPECT_EQ(Call(admin, kCalendar, "list").body, Refusal(106));
  EXPECT_EQ(Send("DELETE", "/webapi/auth", "", admin).status, 401);
}

TEST_F(HostHttpTest, StopsCleanlyOnSigterm) {
  EXPECT_EQ(server_.Stop(), 0);
  EXPECT_THAT(server_.Log(), HasSubstr("stopping"));
}

class HostHttpIdleTest : public HostHttpTest {
 protected:
  void SetUp() override { StartServer({"--session-idle", "1"}); }
};

TEST_F(HostHttpIdleTest, IdleSessionExpires) {
  const std::string admin = Login("admin", e2e::TestRoot::kAdminPassword);
  ASSERT_NE(admin, "");
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(Call(admin, kCalendar, "list").body, Refusal(106));
}

}  // namespace
