// The WebDAV settings end to end: the real module loaded by `kivo-webapi
// call` in a temporary root, checked through the answers, kivoinfo.conf,
// the service states and the platform's action journal.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";

// One journal entry as a short text, e.g. "service.stop webdav-avahi",
// "conf.set WebDavPort=18080", "event webdav-httpd-ssl stop",
// "userlog 0x11B00873 admin"; the time stamp is left out.
std::string Describe(const Json::Value& entry) {
  const std::string op = entry["op"].asString();
  if (op == "conf.set") return op + " " + entry["key"].asString() + "=" + entry["value"].asString();
  if (op == "service.runkey") {
    return op + " " + entry["service"].asString() + "=" + std::to_string(entry["value"].asInt());
  }
  if (op.compare(0, 8, "service.") == 0) return op + " " + entry["service"].asString();
  if (op == "event") {
    return op + " " + entry["name"].asString() + " " + entry["SERVICE_NAME"].asString() + " " +
           entry["SERVICE_ACTION"].asString();
  }
  if (op == "userlog") return op + " " + entry["id"].asString() + " " + entry["user"].asString();
  return op;
}

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

  // Runs `set` and answers the journal entries it added, described.
  std::vector<std::string> Set(const std::string& params) {
    const size_t before = root_.Journal().size();
    const e2e::Result r = root_.Call(kWebDAV, 1, "set", params);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.answer["success"].asBool()) << r.out;
    EXPECT_TRUE(r.answer["data"].isNull()) << r.out;
    const std::vector<Json::Value> journal = root_.Journal();
    std::vector<std::string> added;
    for (size_t i = before; i < journal.size(); ++i) added.push_back(Describe(journal[i]));
    return added;
  }

  Json::Value Get() {
    const e2e::Result r = root_.Call(kWebDAV, 1, "get");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.answer["success"].asBool()) << r.out;
    return r.answer["data"];
  }

  e2e::TestRoot root_;
};

TEST_F(WebDAVEndToEndTest, SetThenGetReportsTheNewSettings) {
  SetRun(2, 2);
  Set(R"({"enable_http": true, "http_port_num": 18080, "enable_https": false,
          "https_port_num": 18443, "anonymouslogin_enable": true,
          "depth_infinity_enable": false})");

  Json::Value expected(Json::objectValue);
  expected["enable_http"] = true;
  expected["http_port_num"] = 18080;
  expected["enable_https"] = false;
  expected["https_port_num"] = 18443;
  expected["anonymouslogin_enable"] = true;
  expected["depth_infinity_enable"] = false;
  EXPECT_EQ(Get(), expected);
  EXPECT_EQ(root_.ConfValue("WebDavPort"), "18080");
  EXPECT_EQ(root_.ConfValue("secure_WebDavPort"), "18443");
  EXPECT_EQ(root_.ConfValue("webdavanonymouslogin"), "yes");
}

TEST_F(WebDAVEndToEndTest, FreshRootReportsDefaults) {
  const Json::Value data = Get();
  EXPECT_EQ(data["http_port_num"], 5005);
  EXPECT_EQ(data["https_port_num"], 5006);
  EXPECT_EQ(data["enable_http"], false);
  EXPECT_EQ(data["anonymouslogin_enable"], false);
}

TEST_F(WebDAVEndToEndTest, PortChangeOfAnEnabledVariantReloadsIt) {
  SetRun(1, 2);
  ASSERT_TRUE(root_.WriteConf({{"WebDavPort", "18080"}}));
  EXPECT_THAT(Set(R"({"enable_http": true, "http_port_num": 18081, "enable_https": false})"),
              ElementsAre("conf.set WebDavPort=18081", "service.reload webdav-httpd-pure",
                          "firewall.reload", "service.restart avahi"));
  EXPECT_EQ(Get()["http_port_num"], 18081);
}

TEST_F(WebDAVEndToEndTest, DisablingBothVariantsStopsEverything) {
  SetRun(1, 1);
  EXPECT_THAT(Set(R"({"enable_http": false, "enable_https": false})"),
              ElementsAre("service.stop webdav-httpd-pure", "service.stop webdav-avahi",
                          "service.stop webdav-httpd-ssl", "service.stop webdavs-avahi",
                          "service.restart avahi", "service.stop webdav-httpd",
                          "service.runkey webdav-httpd-pure=2",
                          "event kivo.service.action webdav-httpd-pure stop",
                          "service.runkey webdav-httpd-ssl=2",
                          "event kivo.service.action webdav-httpd-ssl stop",
                          "userlog 0x11B00873 admin", "userlog 0x11B00875 admin"));
  const Json::Value data = Get();
  EXPECT_EQ(data["enable_http"], false);
  EXPECT_EQ(data["enable_https"], false);
}

TEST_F(WebDAVEndToEndTest, RequestEqualToCurrentSettingsTouchesNothing) {
  SetRun(1, 2);
  ASSERT_TRUE(root_.WriteConf({{"WebDavPort", "18080"},
                               {"secure_WebDavPort", "18443"},
                               {"webdavanonymouslogin", "yes"},
                               {"webdavdepthinfinity", "no"}}));
  std::string conf_before, services_before;
  ASSERT_TRUE(e2e::ReadFile(root_.Path("/etc/kivoinfo.conf"), &conf_before));
  ASSERT_TRUE(e2e::ReadFile(root_.Path("/var/lib/kivo/services.json"), &services_before));

  EXPECT_THAT(Set(R"({"enable_http": true, "http_port_num": 18080, "enable_https": false,
                      "https_port_num": 18443, "anonymouslogin_enable": true,
                      "depth_infinity_enable": false})"),
              IsEmpty());

  std::string conf_after, services_after;
  ASSERT_TRUE(e2e::ReadFile(root_.Path("/etc/kivoinfo.conf"), &conf_after));
  ASSERT_TRUE(e2e::ReadFile(root_.Path("/var/lib/kivo/services.json"), &services_after));
  EXPECT_EQ(conf_after, conf_before);
  EXPECT_EQ(services_after, services_before);
}

TEST_F(WebDAVEndToEndTest, RefusedRequestAnswersItsCodeAndWritesNothing) {
  SetRun(2, 2);
  const size_t before = root_.Journal().size();
  const e2e::Result r = root_.Call(kWebDAV, 1, "set", R"({"enable_http": true, "http_port_num": 0,
                                        "enable_https": false})");
  EXPECT_NE(r.status, 0);
  EXPECT_FALSE(r.answer["success"].asBool()) << r.out;
  EXPECT_EQ(r.answer["error"]["code"], 1705) << r.out;
  EXPECT_THAT(r.err, ::testing::HasSubstr("webdav_port_num is not in port range 0"));
  EXPECT_EQ(root_.Journal().size(), before);
}

}  // namespace
