// Validation of a WebDAV `set` against the fake platform: parameter types,
// required parameters, the port range and port conflicts, and that a refused
// request changes nothing.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "module/api_table.h"
#include "tests/support/fake_platform.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

Json::Value Request(bool http = false, bool https = false) {
  Json::Value params(Json::objectValue);
  params["enable_http"] = http;
  params["enable_https"] = https;
  return params;
}

class WebDAVCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  KIVO::APIResponse Set(const Json::Value& params) {
    KIVO::APIRequest request("alice", params);
    KIVO::APIResponse response;
    WebDAVSet(&request, &response);
    EXPECT_EQ(response.answer_count(), 1);
    return response;
  }

  // A refused request answers `code` with a null value, logs `message` as its
  // only line, and changes nothing.
  void ExpectRefused(const Json::Value& params, int code, const std::string& message) {
    SCOPED_TRACE(params.toStyledString());
    fake::Reset();
    KIVO::APIResponse response = Set(params);
    EXPECT_FALSE(response.success());
    EXPECT_EQ(response.error_code(), code);
    EXPECT_TRUE(response.data().isNull());
    EXPECT_THAT(fake::Logs(), ElementsAre(::testing::EndsWith(" " + message)));
    EXPECT_THAT(fake::Actions(), IsEmpty());
  }
};

TEST_F(WebDAVCheckTest, BothSwitchesAloneAreEnough) {
  KIVO::APIResponse response = Set(Request());
  EXPECT_TRUE(response.success());
  EXPECT_TRUE(response.data().isNull());
  EXPECT_THAT(fake::Logs(), IsEmpty());
}

TEST_F(WebDAVCheckTest, MissingOrMistypedParametersAreRefusedWith1705) {
  Json::Value only_https(Json::objectValue);
  only_https["enable_https"] = "not even a bool";  // never examined
  Json::Value only_http(Json::objectValue);
  only_http["enable_http"] = true;

  const struct {
    const char* name;  // parameter to replace, or null
    Json::Value value;
    const char* message;
  } cases[] = {
      {"enable_http", 1, "wrong the paramter: enable_http"},
      {"enable_http", "true", "wrong the paramter: enable_http"},
      {"enable_http", Json::Value(), "wrong the paramter: enable_http"},
      {"enable_https", 0, "wrong the paramter: enable_https"},
      {"http_port_num", "5005", "wrong the paramter: http_port_num"},
      {"http_port_num", 8080.5, "wrong the paramter: http_port_num"},
      {"http_port_num", Json::Value(Json::arrayValue), "wrong the paramter: http_port_num"},
      {"https_port_num", "5006", "wrong the paramter: https_port_num"},
      {"anonymouslogin_enable", "yes", "wrong the paramter: anonymouslogin_enable"},
      {"depth_infinity_enable", 1, "wrong the paramter: depth_infinity_enable"},
  };
  for (const auto& c : cases) {
    Json::Value params = Request();
    params[c.name] = c.value;
    ExpectRefused(params, 1705, c.message);
  }
  ExpectRefused(only_https, 1705, "cannot get the paramter: enable_http");
  ExpectRefused(only_http, 1705, "cannot get the paramter: enable_https");
}

TEST_F(WebDAVCheckTest, MistypedPortIsRefusedBeforeStoredValueOrConflictIsAsked) {
  Json::Value params = Request();
  params["http_port_num"] = "0";
  ExpectRefused(params, 1705, "wrong the paramter: http_port_num");
  EXPECT_THAT(fake::CallsOf("KivoConf::Info"), IsEmpty());
  EXPECT_THAT(fake::CallsOf("WebUtils::IsPortConflict"), IsEmpty());
}

TEST_F(WebDAVCheckTest, PortsOutsideOneTo65535AreRefusedNamingThePort) {
  const struct {
    const char* name;
    int port;
  } cases[] = {{"http_port_num", 0},  {"http_port_num", -1},     {"http_port_num", 65536},
               {"https_port_num", 0}, {"https_port_num", 70000}, {"https_port_num", -5006}};
  for (const auto& c : cases) {
    Json::Value params = Request();
    params[c.name] = c.port;
    ExpectRefused(params, 1705, "webdav_port_num is not in port range " + std::to_string(c.port));
    EXPECT_THAT(fake::CallsOf("WebUtils::IsPortConflict"), IsEmpty());
  }
}

TEST_F(WebDAVCheckTest, RangeEdgesGoOnToTheConflictTest) {
  const struct {
    const char* name;
    int port;
    const char* conflict_call;
  } cases[] = {
      {"http_port_num", 1, "WebUtils::IsPortConflict(webdav_http, 1, 1)"},
      {"http_port_num", 65535, "WebUtils::IsPortConflict(webdav_http, 65535, 65535)"},
      {"https_port_num", 1, "WebUtils::IsPortConflict(webdavs_https, 1, 1)"},
      {"https_port_num", 65535, "WebUtils::IsPortConflict(webdavs_https, 65535, 65535)"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    Json::Value params = Request();
    params[c.name] = c.port;
    EXPECT_TRUE(Set(params).success()) << c.name << " " << c.port;
    EXPECT_THAT(fake::CallsOf("WebUtils::IsPortConflict"), ElementsAre(c.conflict_call));
  }
}

TEST_F(WebDAVCheckTest, PortTakenByAnotherServiceIsRefusedWith1701) {
  const struct {
    const char* name;
    const char* message;
  } cases[] = {{"http_port_num", "webdav_http is conflict"},
               {"https_port_num", "webdavs_https is conflict"}};
  for (const auto& c : cases) {
    Json::Value params = Request();
    params[c.name] = 8443;
    fake::Reset();
    fake::SetResult("WebUtils::IsPortConflict", 1);
    KIVO::APIResponse response = Set(params);
    EXPECT_EQ(response.error_code(), 1701) << c.name;
    EXPECT_TRUE(fake::Logged(c.message)) << c.name;
    EXPECT_THAT(fake::Actions(), IsEmpty());
  }
}

// Only a port whose text differs from the raw stored text is checked; the
// 5005/5006 defaults of `get` play no part here.
TEST_F(WebDAVCheckTest, OnlyAChangedPortTextIsChecked) {
  const struct {
    const char* key;
    const char* stored;  // null: key absent
    const char* name;
    int port;
    bool checked;
  } cases[] = {
      {"WebDavPort", "8080", "http_port_num", 8080, false},
      {"secure_WebDavPort", "8443", "https_port_num", 8443, false},
      {"WebDavPort", nullptr, "http_port_num", 5005, true},
      {"secure_WebDavPort", nullptr, "https_port_num", 5006, true},
      {"WebDavPort", "", "http_port_num", 5005, true},
      {"WebDavPort", "08080", "http_port_num", 8080, true},
      {"WebDavPort", " 8080", "http_port_num", 8080, true},
      {"WebDavPort", "8080", "http_port_num", 8081, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + std::to_string(c.port) + " stored " +
                 (c.stored ? c.stored : "(absent)"));
    fake::Reset();
    if (c.stored != nullptr) fake::P().conf[c.key] = c.stored;
    // The port counts as taken: only a port that is checked is refused.
    fake::SetResult("WebUtils::IsPortConflict", 1);
    Json::Value params = Request();
    params[c.name] = c.port;
    KIVO::APIResponse response = Set(params);
    EXPECT_EQ(response.success(), !c.checked);
    EXPECT_EQ(fake::CallsOf("WebUtils::IsPortConflict").size(), c.checked ? 1u : 0u);
    if (c.checked) {
      EXPECT_EQ(response.error_code(), 1701);
    }
  }
}

TEST_F(WebDAVCheckTest, AnUnchangedOutOfRangePortIsNotRangeChecked) {
  fake::P().conf["WebDavPort"] = "0";
  Json::Value params = Request();
  params["http_port_num"] = 0;
  EXPECT_TRUE(Set(params).success());
  EXPECT_THAT(fake::Logs(), IsEmpty());
}

TEST_F(WebDAVCheckTest, HttpPortFailureIsReportedBeforeAnythingAboutHttps) {
  {
    Json::Value params = Request();
    params["http_port_num"] = 0;
    params["https_port_num"] = 70000;
    ExpectRefused(params, 1705, "webdav_port_num is not in port range 0");
  }
  {
    Json::Value params = Request();
    params["http_port_num"] = 8080;
    params["https_port_num"] = 0;
    fake::Reset();
    fake::SetResult("WebUtils::IsPortConflict", 1);
    KIVO::APIResponse response = Set(params);
    EXPECT_EQ(response.error_code(), 1701);
    EXPECT_THAT(fake::Logs(), ElementsAre(::testing::EndsWith(" webdav_http is conflict")));
  }
  {
    Json::Value params = Request();
    params["http_port_num"] = -1;
    params["enable_https"] = "yes";
    ExpectRefused(params, 1705, "webdav_port_num is not in port range -1");
  }
}

TEST_F(WebDAVCheckTest, LogLinesCarryUnitAndLine) {
  Set(Json::Value(Json::objectValue));
  ASSERT_EQ(fake::Logs().size(), 1u);
  EXPECT_THAT(fake::Logs()[0],
              ::testing::MatchesRegex("webdav:[0-9]+ cannot get the paramter: enable_http"));
}

}  // namespace
