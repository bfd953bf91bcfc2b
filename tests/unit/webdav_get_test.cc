// Reading the WebDAV settings: defaults, port texts, switch values, and the handler's error latch.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "caldav/caldav.h"
#include "module/api_table.h"
#include "tests/support/fake_platform.h"
#include "webdav/webdav.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

namespace {

Json::Value Get() {
  KIVO::APIRequest request("alice", Json::Value(Json::objectValue));
  KIVO::APIResponse response;
  WebDAVGet(&request, &response);
  EXPECT_EQ(response.answer_count(), 1);
  EXPECT_TRUE(response.success());
  EXPECT_THAT(fake::Actions(), IsEmpty());
  return response.data();
}

// No key stored: default ports, switches off; the variants' states as queried.
TEST(WebDAVGetTest, EmptyConfigurationGivesDefaultsAndTheEnabledStates) {
  const struct {
    int pure, ssl;
    bool http, https;
  } cases[] = {{0, 0, false, false}, {1, 1, true, true},    {1, 2, true, false},
               {-1, 1, false, true}, {2, -1, false, false}, {1, 0, true, false}};
  Json::Value expected(Json::objectValue);
  expected["http_port_num"] = 5005;
  expected["https_port_num"] = 5006;
  expected["anonymouslogin_enable"] = expected["depth_infinity_enable"] = false;
  for (const auto& c : cases) {
    fake::Reset();
    fake::P().enabled["webdav-httpd-pure"] = c.pure;
    fake::P().enabled["webdav-httpd-ssl"] = c.ssl;
    expected["enable_http"] = c.http;
    expected["enable_https"] = c.https;
    EXPECT_EQ(Get(), expected) << c.pure << "/" << c.ssl;
  }
}

// One text under both port keys; beyond the int range nothing is read, as with a stream.
TEST(WebDAVGetTest, PortTextIsReadLikeAFormattedIntegerRead) {
  const struct {
    const char* stored;
    int http, https;
  } cases[] = {{"8080", 8080, 8080},    {" 8080", 8080, 8080}, {"\t\n 443", 443, 443},
               {"8080abc", 8080, 8080}, {"80 81", 80, 80},     {"-12", -12, -12},
               {"abc", 0, 0},           {" ", 0, 0},           {"+-5", 0, 0},
               {"", 5005, 5006},        {"2147483648", 0, 0},  {"2147483647", INT_MAX, INT_MAX}};
  for (const auto& c : cases) {
    fake::Reset();
    fake::P().conf["WebDavPort"] = c.stored;
    fake::P().conf["secure_WebDavPort"] = c.stored;
    const Json::Value data = Get();
    EXPECT_TRUE(data["http_port_num"].isInt()) << "'" << c.stored << "'";
    EXPECT_EQ(data["http_port_num"].asInt(), c.http) << "'" << c.stored << "'";
    EXPECT_EQ(data["https_port_num"].asInt(), c.https) << "'" << c.stored << "'";
  }
}

TEST(WebDAVGetTest, SwitchesAreOnOnlyForExactlyYes) {
  const char* const stored[] = {nullptr, "", "no", "YES", "yes ", " yes", "1", "yes"};
  for (const char* value : stored) {
    const bool on = value != nullptr && std::string(value) == "yes";
    const std::string label = value != nullptr ? value : "(absent)";
    for (const std::string key : {"webdavanonymouslogin", "webdavdepthinfinity"}) {
      fake::Reset();
      if (value != nullptr) fake::P().conf[key] = value;
      const Json::Value data = Get();
      const bool anonymous = key == "webdavanonymouslogin";
      EXPECT_EQ(data["anonymouslogin_enable"], anonymous && on) << key << "=" << label;
      EXPECT_EQ(data["depth_infinity_enable"], !anonymous && on) << key << "=" << label;
    }
  }
}

// LoadData sets its six members on any object, keeping the rest; a loader alone adds its two.
TEST(WebDAVGetTest, LoadersFillWhateverObjectTheyAreGiven) {
  fake::Reset();
  fake::P().enabled["webdav-httpd-pure"] = 1;
  fake::P().conf["WebDavPort"] = "8080";
  fake::P().conf["webdavdepthinfinity"] = "yes";
  Json::Value six(Json::objectValue);
  six["enable_http"] = true;
  six["http_port_num"] = 8080;
  six["enable_https"] = false;
  six["https_port_num"] = 5006;
  six["anonymouslogin_enable"] = false;
  six["depth_infinity_enable"] = true;
  Json::Value stale(Json::objectValue);
  for (const std::string& name : six.getMemberNames()) stale[name] = "stale";
  stale["https_port_num"] = Json::UInt(5006);  // the same number, not an int
  Json::Value extra(Json::objectValue);
  extra["other"] = 7;
  KIVO::APIRequest request("alice", Json::Value(Json::objectValue));
  KIVO::APIResponse response;
  WebDAVServiceHandler handler(&request, &response);
  for (Json::Value given : {Json::Value(), Json::Value(Json::objectValue), stale, extra}) {
    Json::Value expected = six;
    if (given.isMember("other")) expected["other"] = 7;
    EXPECT_TRUE(handler.LoadData(given));
    EXPECT_EQ(given, expected);
  }
  Json::Value https;
  EXPECT_TRUE(handler.LoadHttps(https));
  EXPECT_EQ(https.getMemberNames(), (std::vector<std::string>{"enable_https", "https_port_num"}));
  EXPECT_EQ(https["https_port_num"], 5006);
}

// `get` never fails, so the record and ReportError are driven on a handler. Every handler keeps
// the code recorded last (the calendar handler's own test pins the same rule).
TEST(WebDAVConventionsTest, LastRecordedCodeWinsAndNoCodeReports1704) {
  fake::Reset();
  KIVO::APIRequest request("alice", Json::Value(Json::objectValue));
  KIVO::APIResponse latched, switched, unset;
  WebDAVServiceHandler first(&request, &latched);
  first.SetError(1701);
  first.SetError(1705);
  first.ReportError();
  EXPECT_EQ(latched.error_code(), 1705);
  EXPECT_TRUE(latched.data().isNull());
  CalDAVConfServiceHandler caldav(&request, &switched);
  caldav.SetError(1705);
  caldav.SetError(1704);
  caldav.ReportError();
  EXPECT_EQ(switched.error_code(), 1704);
  EXPECT_THAT(fake::Logs(), IsEmpty());

  WebDAVServiceHandler none(&request, &unset);
  none.ReportError();
  EXPECT_EQ(unset.answer_count(), 1);
  EXPECT_EQ(unset.error_code(), 1704);
  EXPECT_THAT(fake::Logs(), ElementsAre(MatchesRegex("webdav:[0-9]+ There is no error setup")));
}

}  // namespace
