// Validation of a WebDAV `set`: types, presence, port range and conflicts; a refusal changes
// nothing.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "module/api_table.h"
#include "tests/support/fake_platform.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

namespace {

// Both required switches off, then `extra` on top.
Json::Value Request(std::initializer_list<std::pair<const char*, Json::Value>> extra = {}) {
  Json::Value params(Json::objectValue);
  params["enable_http"] = false;
  params["enable_https"] = false;
  for (const auto& [name, value] : extra) params[name] = value;
  return params;
}

KIVO::APIResponse Set(const Json::Value& params) {
  KIVO::APIRequest request("alice", params);
  KIVO::APIResponse response;
  WebDAVSet(&request, &response);
  EXPECT_EQ(response.answer_count(), 1);
  return response;
}

// Every port counts as taken: a 1705 shows the checks stopped before the conflict test.
TEST(WebDAVCheckTest, RefusalsReportTheFirstFailureAndChangeNothing) {
  Json::Value no_http(Json::objectValue);
  no_http["enable_https"] = "not even a bool";  // never examined
  Json::Value no_https(Json::objectValue);
  no_https["enable_http"] = true;
  const struct {
    Json::Value params;
    int code;
    const char* message;
  } cases[] = {
      {no_http, 1705, "cannot get the paramter: enable_http"},
      {no_https, 1705, "cannot get the paramter: enable_https"},
      {Request({{"enable_http", 1}}), 1705, "wrong the paramter: enable_http"},
      {Request({{"enable_http", Json::Value()}}), 1705, "wrong the paramter: enable_http"},
      {Request({{"enable_https", 0}}), 1705, "wrong the paramter: enable_https"},
      {Request({{"http_port_num", "0"}}), 1705, "wrong the paramter: http_port_num"},
      {Request({{"http_port_num", 8080.5}}), 1705, "wrong the paramter: http_port_num"},
      {Request({{"https_port_num", "5006"}}), 1705, "wrong the paramter: https_port_num"},
      {Request({{"anonymouslogin_enable", "yes"}}), 1705,
       "wrong the paramter: anonymouslogin_enable"},
      {Request({{"depth_infinity_enable", 1}}), 1705, "wrong the paramter: depth_infinity_enable"},
      {Request({{"http_port_num", 0}}), 1705, "webdav_port_num is not in port range 0"},
      {Request({{"http_port_num", 65536}}), 1705, "webdav_port_num is not in port range 65536"},
      {Request({{"https_port_num", 0}}), 1705, "webdav_port_num is not in port range 0"},
      {Request({{"https_port_num", 70000}}), 1705, "webdav_port_num is not in port range 70000"},
      // Both ports invalid: only HTTP's failure is reported.
      {Request({{"http_port_num", 0}, {"https_port_num", 70000}}), 1705,
       "webdav_port_num is not in port range 0"},
      {Request({{"http_port_num", -1}, {"enable_https", "yes"}}), 1705,
       "webdav_port_num is not in port range -1"},
      {Request({{"http_port_num", 8080}, {"https_port_num", 0}}), 1701, "webdav_http is conflict"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params.toStyledString());
    fake::Reset();
    fake::SetResult("WebUtils::IsPortConflict", 1);
    KIVO::APIResponse response = Set(c.params);
    EXPECT_EQ(response.error_code(), c.code);
    EXPECT_TRUE(response.data().isNull());
    EXPECT_THAT(fake::Logs(), ElementsAre(MatchesRegex(std::string("webdav:[0-9]+ ") + c.message)));
    EXPECT_THAT(fake::Actions(), IsEmpty());
  }
}

// Only a port text differing from the raw stored text is checked (1701), else it passes.
TEST(WebDAVCheckTest, OnlyAChangedPortIsRangeAndConflictChecked) {
  const struct {
    bool http;  // else HTTPS
    int port;
    const char* stored;  // the port's key; null: absent
    bool checked;
  } cases[] = {
      {true, 1, nullptr, true},     {true, 65535, nullptr, true}, {false, 1, nullptr, true},
      {true, 8080, "8080", false},  {false, 8443, "8443", false}, {true, 0, "0", false},
      {true, 5005, nullptr, true},  {false, 5006, nullptr, true}, {true, 5005, "", true},
      {true, 8080, "08080", true},  {true, 8080, " 8080", true},  {true, 8081, "8080", true},
      {false, 65535, nullptr, true}};
  for (const auto& c : cases) {
    const std::string id = c.http ? "webdav_http" : "webdavs_https";
    const std::string port = std::to_string(c.port);
    SCOPED_TRACE(id + " " + port + " stored " + (c.stored ? c.stored : "(absent)"));
    fake::Reset();
    fake::SetResult("WebUtils::IsPortConflict", 1);
    if (c.stored != nullptr) fake::P().conf[c.http ? "WebDavPort" : "secure_WebDavPort"] = c.stored;
    Json::Value params = Request();
    params[c.http ? "http_port_num" : "https_port_num"] = c.port;
    KIVO::APIResponse response = Set(params);
    EXPECT_EQ(response.success(), !c.checked);
    if (!c.checked) {
      EXPECT_THAT(fake::CallsOf("WebUtils::IsPortConflict"), IsEmpty());
      EXPECT_THAT(fake::Logs(), IsEmpty());
      continue;
    }
    EXPECT_EQ(response.error_code(), 1701);
    EXPECT_THAT(fake::CallsOf("WebUtils::IsPortConflict"),
                ElementsAre("WebUtils::IsPortConflict(" + id + ", " + port + ", " + port + ")"));
    EXPECT_THAT(fake::Logs(), ElementsAre(MatchesRegex("webdav:[0-9]+ " + id + " is conflict")));
    EXPECT_THAT(fake::Actions(), IsEmpty());
  }
}

}  // namespace
