// Reading the WebDAV settings against the fake platform: defaults, how port
// texts and switch values are read, and the error conventions of the handler.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "module/api_table.h"
#include "tests/support/fake_platform.h"
#include "webdav/webdav.h"

using ::testing::IsEmpty;

namespace {

class WebDAVGetTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  Json::Value Get() {
    KIVO::APIRequest request("alice", Json::Value(Json::objectValue));
    KIVO::APIResponse response;
    WebDAVGet(&request, &response);
    EXPECT_EQ(response.answer_count(), 1);
    EXPECT_TRUE(response.success());
    EXPECT_THAT(fake::Actions(), IsEmpty());
    return response.data();
  }
};

TEST_F(WebDAVGetTest, EmptyConfigurationGivesDefaults) {
  fake::P().enabled["webdav-httpd-pure"] = 1;
  Json::Value expected(Json::objectValue);
  expected["enable_http"] = true;
  expected["http_port_num"] = 5005;
  expected["enable_https"] = false;
  expected["https_port_num"] = 5006;
  expected["anonymouslogin_enable"] = false;
  expected["depth_infinity_enable"] = false;
  EXPECT_EQ(Get(), expected);
}

TEST_F(WebDAVGetTest, EnableStatesAreIndependentAndOnlyOneMeansEnabled) {
  const struct {
    int pure, ssl;
    bool http, https;
  } cases[] = {{0, 0, false, false}, {1, 0, true, false},  {0, 1, false, true},  {1, 1, true, true},
               {1, 2, true, false},  {-1, 1, false, true}, {2, -1, false, false}};
  for (const auto& c : cases) {
    fake::Reset();
    fake::P().enabled["webdav-httpd-pure"] = c.pure;
    fake::P().enabled["webdav-httpd-ssl"] = c.ssl;
    const Json::Value data = Get();
    EXPECT_EQ(data["enable_http"], c.http) << c.pure << "/" << c.ssl;
    EXPECT_EQ(data["enable_https"], c.https) << c.pure << "/" << c.ssl;
  }
}

TEST_F(WebDAVGetTest, PortTextIsReadLikeAFormattedIntegerRead) {
  const struct {
    const char* stored;
    int http;   // read from WebDavPort
    int https;  // the same text in secure_WebDavPort
  } cases[] = {
      {"8080", 8080, 8080},
      {" 8080", 8080, 8080},
      {"\t\n 443", 443, 443},
      {"8080abc", 8080, 8080},
      {"80 81", 80, 80},
      {"0080", 80, 80},
      {"+7", 7, 7},
      {"-12", -12, -12},
      {"abc", 0, 0},
      {" ", 0, 0},
      {"-", 0, 0},
      {"+-5", 0, 0},
      {"", 5005, 5006},
      {"2147483647", INT_MAX, INT_MAX},
      {"-2147483648", INT_MIN, INT_MIN},
      // Beyond the int range nothing is read, as with a failing stream read.
      {"2147483648", 0, 0},
      {"-2147483649", 0, 0},
      {"99999999999999999999999", 0, 0},
  };
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

TEST_F(WebDAVGetTest, SwitchesAreOnOnlyForExactlyYes) {
  const struct {
    const char* stored;  // null: key absent
    bool on;
  } cases[] = {{nullptr, false}, {"", false},     {"no", false}, {"YES", false},  {"Yes", false},
               {"yes ", false},  {" yes", false}, {"1", false},  {"true", false}, {"yes", true}};
  for (const auto& c : cases) {
    const std::string label = c.stored ? c.stored : "(absent)";
    for (const char* key : {"webdavanonymouslogin", "webdavdepthinfinity"}) {
      fake::Reset();
      if (c.stored != nullptr) fake::P().conf[key] = c.stored;
      const Json::Value data = Get();
      const bool anonymous = std::string(key) == "webdavanonymouslogin";
      EXPECT_EQ(data["anonymouslogin_enable"], anonymous && c.on) << key << "=" << label;
      EXPECT_EQ(data["depth_infinity_enable"], !anonymous && c.on) << key << "=" << label;
    }
  }
}

// The error latch and ReportError cannot be reached through `get`, whose
// loaders never fail; they are exercised on a handler directly.
TEST(WebDAVConventionsTest, FirstRecordedCodeIsReported) {
  fake::Reset();
  KIVO::APIRequest request("alice", Json::Value(Json::objectValue));
  KIVO::APIResponse response;
  WebDAVServiceHandler handler(&request, &response);
  handler.SetError(1701);
  handler.SetError(1705);
  handler.ReportError();
  EXPECT_EQ(response.error_code(), 1701);
  EXPECT_TRUE(response.data().isNull());
  EXPECT_THAT(fake::Logs(), IsEmpty());
}

TEST(WebDAVConventionsTest, NoRecordedCodeReports1704AndSaysSo) {
  fake::Reset();
  KIVO::APIRequest request("alice", Json::Value(Json::objectValue));
  KIVO::APIResponse response;
  WebDAVServiceHandler handler(&request, &response);
  handler.ReportError();
  EXPECT_EQ(response.answer_count(), 1);
  EXPECT_EQ(response.error_code(), 1704);
  ASSERT_EQ(fake::Logs().size(), 1u);
  EXPECT_THAT(fake::Logs()[0], ::testing::MatchesRegex("webdav:[0-9]+ There is no error setup"));
}

TEST(WebDAVConventionsTest, ShowJsonLogsLabelAndCompactValue) {
  fake::Reset();
  KIVO::APIRequest request("alice", Json::Value(Json::objectValue));
  KIVO::APIResponse response;
  WebDAVServiceHandler handler(&request, &response);
  Json::Value value(Json::objectValue);
  value["a"] = 1;
  handler.ShowJson("params", value);
  ASSERT_EQ(fake::Logs().size(), 1u);
  EXPECT_THAT(fake::Logs()[0], ::testing::StartsWith("webdav:"));
  EXPECT_THAT(fake::Logs()[0], ::testing::HasSubstr(" params: {\"a\":1}"));
  EXPECT_EQ(response.answer_count(), 0);
}

}  // namespace
