// The WebDAV settings end to end: the real module loaded by `kivo-webapi
// call` in a temporary root, checked through the answers, kivoinfo.conf,
// the service states and the platform's action journal.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e.h"

namespace {

using e2e::kWebDAV;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class WebDAVEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(root_.ok()) << root_.init_result().err; }

  // Gives each variant its run setting (1 enabled, 2 disabled).
  void SetRun(int pure, int ssl) {
    Json::Value states(Json::objectValue);
    states["webdav-httpd-pure"]["run"] = pure;
    states["webdav-httpd-pure"]["running"] = pure == 1;
    states["webdav-httpd-ssl"]["run"] = ssl;
    states["webdav-httpd-ssl"]["running"] = ssl == 1;
    ASSERT_TRUE(e2e::WriteFile(root_.Path("/var/lib/kivo/services.json"), states.toStyledString()));
  }

  Json::Value Get() {
    const e2e::Result r = root_.Call(kWebDAV, 1, "get");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.answer["success"].asBool()) << r.out;
    return r.answer["data"];
  }

  // Runs a `set` that must succeed and be reported back by `get`; answers
  // the actions it journaled.
  std::vector<std::string> Set(const std::string& params) {
    const size_t before = root_.Actions().size();
    const e2e::Result r = root_.Call(kWebDAV, 1, "set", params);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"success\":true,\"data\":null}\n");
    const Json::Value wanted = e2e::ParseJson(params), now = Get();
    for (const std::string& key : wanted.getMemberNames()) EXPECT_EQ(now[key], wanted[key]) << key;
    const std::vector<std::string> actions = root_.Actions();
    return std::vector<std::string>(actions.begin() + before, actions.end());
  }

  e2e::TestRoot root_;
};

TEST_F(WebDAVEndToEndTest, SetThenGetReportsTheNewSettings) {
  const Json::Value defaults = Get();
  EXPECT_EQ(defaults["http_port_num"], 5005);
  EXPECT_EQ(defaults["https_port_num"], 5006);
  EXPECT_EQ(defaults["enable_http"], false);
  EXPECT_EQ(defaults["anonymouslogin_enable"], false);

  SetRun(2, 2);
  const e2e::Result refused = root_.Call(
      kWebDAV, 1, "set", R"({"enable_http": true, "http_port_num": 0, "enable_https": false})");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.answer, e2e::Refusal(1705)) << refused.out;
  EXPECT_THAT(refused.err, HasSubstr("webdav_port_num is not in port range 0"));
  EXPECT_THAT(root_.Actions(), IsEmpty());

  const std::string all = R"({"enable_http": true, "http_port_num": 18080, "enable_https": false,
      "https_port_num": 18443, "anonymouslogin_enable": true, "depth_infinity_enable": false})";
  Set(all);
  EXPECT_EQ(Get(), e2e::ParseJson(all));
  EXPECT_EQ(root_.ConfValue("WebDavPort"), "18080");
  EXPECT_EQ(root_.ConfValue("secure_WebDavPort"), "18443");
  EXPECT_EQ(root_.ConfValue("webdavanonymouslogin"), "yes");
}

TEST_F(WebDAVEndToEndTest, SetJournalsItsActionsInOrder) {
  SetRun(1, 2);
  ASSERT_TRUE(root_.WriteConf({{"WebDavPort", "18080"}}));
  EXPECT_THAT(Set(R"({"enable_http": true, "http_port_num": 18081, "enable_https": false})"),
              ElementsAre("conf.set WebDavPort 18081", "service.reload webdav-httpd-pure",
                          "firewall.reload", "service.restart avahi"));

  SetRun(1, 1);
  EXPECT_THAT(Set(R"({"enable_http": false, "enable_https": false})"),
              ElementsAre("service.stop webdav-httpd-pure", "service.stop webdav-avahi",
                          "service.stop webdav-httpd-ssl", "service.stop webdavs-avahi",
                          "service.restart avahi", "service.stop webdav-httpd",
                          "service.runkey webdav-httpd-pure 2",
                          "event stop webdav-httpd-pure kivo.service.action",
                          "service.runkey webdav-httpd-ssl 2",
                          "event stop webdav-httpd-ssl kivo.service.action",
                          "userlog 0x11B00873 admin", "userlog 0x11B00875 admin"));

  // A request equal to the current settings writes nothing.
  SetRun(1, 2);
  ASSERT_TRUE(root_.WriteConf({{"WebDavPort", "18080"},
                               {"secure_WebDavPort", "18443"},
                               {"webdavanonymouslogin", "yes"},
                               {"webdavdepthinfinity", "no"}}));
  const std::string conf = e2e::Read(root_.Path("/etc/kivoinfo.conf"));
  const std::string services = e2e::Read(root_.Path("/var/lib/kivo/services.json"));
  EXPECT_THAT(Set(R"({"enable_http": true, "http_port_num": 18080, "enable_https": false,
                      "https_port_num": 18443, "anonymouslogin_enable": true,
                      "depth_infinity_enable": false})"),
              IsEmpty());
  EXPECT_EQ(e2e::Read(root_.Path("/etc/kivoinfo.conf")), conf);
  EXPECT_EQ(e2e::Read(root_.Path("/var/lib/kivo/services.json")), services);
}

}  // namespace
