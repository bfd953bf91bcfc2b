// Applying a WebDAV `set` against the fake platform: the exact order of what
// is written, controlled and logged for every pair of variant statuses, for
// port and switch changes, and what each failure leaves behind.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "module/api_table.h"
#include "tests/support/fake_platform.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

const std::string kPure = "webdav-httpd-pure";
const std::string kSsl = "webdav-httpd-ssl";
const std::string kPureAvahi = "webdav-avahi";
const std::string kSslAvahi = "webdavs-avahi";

std::string Start(const std::string& service) { return "KLIBServicectlStart(" + service + ", 0)"; }
std::string Stop(const std::string& service) { return "KLIBServicectlStop(" + service + ", 0)"; }
std::string Restart(const std::string& service) {
  return "KLIBServicectlRestart(" + service + ", 0)";
}
std::string RunKey(const std::string& service, int value) {
  return "KLIBServicecfgRunKeySet(" + service + ", " + std::to_string(value) + ")";
}
std::string Event(const std::string& service, const std::string& action) {
  return "KLIBSyseventEmit(kivo.service.action, {SERVICE_ACTION=" + action +
         " SERVICE_NAME=" + service + "}, 1)";
}
std::string UserLog(const std::string& id) { return "KIVOLogSet1(2, 1, " + id + ", alice, , , )"; }
std::string Write(const std::string& key, const std::string& value) {
  return "KLIBCINFOSetKeyValue(" + key + ", " + value + ")";
}
std::string Reload(const std::string& service) { return "KLIBServiceReload(" + service + ")"; }
const std::string kFirewall = "KIVOFwRuleHup()";
const std::string kAvahiRestart = "KLIBServiceRestart(avahi)";

Json::Value Req(bool http, bool https,
                std::initializer_list<std::pair<const char*, Json::Value>> extra = {}) {
  Json::Value params(Json::objectValue);
  params["enable_http"] = http;
  params["enable_https"] = https;
  for (const auto& [name, value] : extra) params[name] = value;
  return params;
}

// One `set` call against a known platform state.
struct Scenario {
  const char* name;
  int pure_now;  // KLIBServiceIsEnabled answers
  int ssl_now;
  Json::Value params;
  std::vector<std::pair<std::string, int>> scripts;
  std::vector<std::string> actions;  // exact, in order
  int code;                          // 0: the call succeeds
  const char* message;               // the one line logged, or null for none at all
};

class WebDAVApplyTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  static KIVO::APIResponse Call(const Json::Value& params) {
    KIVO::APIRequest request("alice", params);
    KIVO::APIResponse response;
    WebDAVSet(&request, &response);
    EXPECT_EQ(response.answer_count(), 1);
    return response;
  }

  static void Run(const Scenario& s) {
    SCOPED_TRACE(s.name);
    fake::Reset();
    fake::P().conf["WebDavPort"] = "5005";
    fake::P().conf["secure_WebDavPort"] = "5006";
    fake::P().enabled[kPure] = s.pure_now;
    fake::P().enabled[kSsl] = s.ssl_now;
    for (const auto& [call, result] : s.scripts) fake::SetResult(call, result);
    KIVO::APIResponse response = Call(s.params);
    EXPECT_EQ(response.success(), s.code == 0);
    if (s.code != 0) {
      EXPECT_EQ(response.error_code(), s.code);
    }
    EXPECT_TRUE(response.data().isNull());
    EXPECT_THAT(fake::Actions(), ElementsAreArray(s.actions));
    if (s.message != nullptr) {
      EXPECT_THAT(fake::Logs(), ElementsAre(::testing::EndsWith(std::string(" ") + s.message)));
    } else {
      EXPECT_THAT(fake::Logs(), IsEmpty());
    }
  }
};

// Every pair of statuses, without ports or switches in the request. The
// fake's enabled states do not follow the starts and stops, so the daemon
// rule for STOP with NO_CHANGE sees the state from before the call.
TEST_F(WebDAVApplyTest, EveryPairOfStatusesControlsServicesInOrder) {
  const Scenario rows[] = {
      {"START START",
       0,
       0,
       Req(true, true),
       {},
       {Start(kPure), Start(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"),
        Restart("webdav-httpd"), RunKey(kPure, 1), Event(kPure, "start"), RunKey(kSsl, 1),
        Event(kSsl, "start"), UserLog("0x11B00872"), UserLog("0x11B00874")},
       0,
       nullptr},
      {"START STOP",
       0,
       1,
       Req(true, false),
       {},
       {Start(kPure), Start(kPureAvahi), Stop(kSsl), Stop(kSslAvahi), Restart("avahi"),
        Restart("webdav-httpd"), RunKey(kPure, 1), Event(kPure, "start"), RunKey(kSsl, 2),
        Event(kSsl, "stop"), UserLog("0x11B00872"), UserLog("0x11B00875")},
       0,
       nullptr},
      {"START NO_CHANGE",
       0,
       1,
       Req(true, true),
       {},
       {Start(kPure), Start(kPureAvahi), Restart("avahi"), Restart("webdav-httpd"),
        RunKey(kPure, 1), Event(kPure, "start"), UserLog("0x11B00872")},
       0,
       nullptr},
      {"STOP START",
       1,
       0,
       Req(false, true),
       {},
       {Stop(kPure), Stop(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"),
        Restart("webdav-httpd"), RunKey(kPure, 2), Event(kPure, "stop"), RunKey(kSsl, 1),
        Event(kSsl, "start"), UserLog("0x11B00873"), UserLog("0x11B00874")},
       0,
       nullptr},
      {"STOP STOP",
       1,
       1,
       Req(false, false),
       {},
       {Stop(kPure), Stop(kPureAvahi), Stop(kSsl), Stop(kSslAvahi), Restart("avahi"),
        Stop("webdav-httpd"), RunKey(kPure, 2), Event(kPure, "stop"), RunKey(kSsl, 2),
        Event(kSsl, "stop"), UserLog("0x11B00873"), UserLog("0x11B00875")},
       0,
       nullptr},
      {"STOP NO_CHANGE, ssl enabled",
       1,
       1,
       Req(false, true),
       {},
       {Stop(kPure), Stop(kPureAvahi), Restart("avahi"), Restart("webdav-httpd"), RunKey(kPure, 2),
        Event(kPure, "stop"), UserLog("0x11B00873")},
       0,
       nullptr},
      {"STOP NO_CHANGE, ssl disabled",
       1,
       0,
       Req(false, false),
       {},
       {Stop(kPure), Stop(kPureAvahi), Restart("avahi"), Stop("webdav-httpd"), RunKey(kPure, 2),
        Event(kPure, "stop"), UserLog("0x11B00873")},
       0,
       nullptr},
      {"STOP NO_CHANGE, ssl answers 2",
       1,
       2,
       Req(false, false),
       {},
       {Stop(kPure), Stop(kPureAvahi), Restart("avahi"), Stop("webdav-httpd"), RunKey(kPure, 2),
        Event(kPure, "stop"), UserLog("0x11B00873")},
       0,
       nullptr},
      {"NO_CHANGE START",
       0,
       0,
       Req(false, true),
       {},
       {Start(kSsl), Start(kSslAvahi), Restart("avahi"), Restart("webdav-httpd"), RunKey(kSsl, 1),
        Event(kSsl, "start"), UserLog("0x11B00874")},
       0,
       nullptr},
      {"NO_CHANGE STOP, pure enabled",
       1,
       1,
       Req(true, false),
       {},
       {Stop(kSsl), Stop(kSslAvahi), Restart("avahi"), Restart("webdav-httpd"), RunKey(kSsl, 2),
        Event(kSsl, "stop"), UserLog("0x11B00875")},
       0,
       nullptr},
      {"NO_CHANGE STOP, pure disabled",
       0,
       1,
       Req(false, false),
       {},
       {Stop(kSsl), Stop(kSslAvahi), Restart("avahi"), Stop("webdav-httpd"), RunKey(kSsl, 2),
        Event(kSsl, "stop"), UserLog("0x11B00875")},
       0,
       nullptr},
      {"NO_CHANGE NO_CHANGE, both on", 1, 1, Req(true, true), {}, {}, 0, nullptr},
      {"NO_CHANGE NO_CHANGE, both off", 0, 0, Req(false, false), {}, {}, 0, nullptr},
      {"NO_CHANGE NO_CHANGE, -1 reads as off", -1, 2, Req(false, false), {}, {}, 0, nullptr},
  };
  for (const auto& row : rows) Run(row);
}

TEST_F(WebDAVApplyTest, PortChangesWriteReloadAndRefreshFirewallAndAvahi) {
  const Scenario rows[] = {
      {"HTTP port, HTTP stays enabled",
       1,
       0,
       Req(true, false, {{"http_port_num", 8080}}),
       {},
       {Write("WebDavPort", "8080"), Reload(kPure), kFirewall, kAvahiRestart},
       0,
       nullptr},
      {"HTTP port while disabling HTTP, HTTPS enabled",
       1,
       1,
       Req(false, true, {{"http_port_num", 8080}}),
       {},
       {Write("WebDavPort", "8080"), Stop(kPure), Stop(kPureAvahi), Restart("avahi"),
        Restart("webdav-httpd"), RunKey(kPure, 2), Event(kPure, "stop"), UserLog("0x11B00873"),
        kFirewall, kAvahiRestart},
       0,
       nullptr},
      {"HTTP port while disabling HTTP, HTTPS disabled",
       1,
       0,
       Req(false, false, {{"http_port_num", 8080}}),
       {},
       {Write("WebDavPort", "8080"), Stop(kPure), Stop(kPureAvahi), Restart("avahi"),
        Stop("webdav-httpd"), RunKey(kPure, 2), Event(kPure, "stop"), UserLog("0x11B00873"),
        kFirewall, kAvahiRestart},
       0,
       nullptr},
      {"HTTP port while enabling HTTP: no reload",
       0,
       0,
       Req(true, false, {{"http_port_num", 8080}}),
       {},
       {Write("WebDavPort", "8080"), Start(kPure), Start(kPureAvahi), Restart("avahi"),
        Restart("webdav-httpd"), RunKey(kPure, 1), Event(kPure, "start"), UserLog("0x11B00872"),
        kFirewall, kAvahiRestart},
       0,
       nullptr},
      {"HTTP port, HTTP stays disabled",
       0,
       0,
       Req(false, false, {{"http_port_num", 8080}}),
       {},
       {Write("WebDavPort", "8080"), kFirewall, kAvahiRestart},
       0,
       nullptr},
      {"both ports, both stay enabled: only HTTPS reloads",
       1,
       1,
       Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       {},
       {Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443"), Reload(kSsl), kFirewall,
        kAvahiRestart},
       0,
       nullptr},
      {"HTTPS port only, HTTPS stays enabled",
       0,
       1,
       Req(false, true, {{"https_port_num", 8443}}),
       {},
       {Write("secure_WebDavPort", "8443"), Reload(kSsl), kFirewall, kAvahiRestart},
       0,
       nullptr},
      {"both ports, HTTPS being enabled: HTTP reloads",
       1,
       0,
       Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       {},
       {Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443"), Reload(kPure), Start(kSsl),
        Start(kSslAvahi), Restart("avahi"), Restart("webdav-httpd"), RunKey(kSsl, 1),
        Event(kSsl, "start"), UserLog("0x11B00874"), kFirewall, kAvahiRestart},
       0,
       nullptr},
      {"flip HTTP sending the stored port",
       0,
       0,
       Req(true, false, {{"http_port_num", 5005}}),
       {},
       {Start(kPure), Start(kPureAvahi), Restart("avahi"), Restart("webdav-httpd"),
        RunKey(kPure, 1), Event(kPure, "start"), UserLog("0x11B00872")},
       0,
       nullptr},
      {"everything at once, in the fixed order",
       1,
       0,
       Req(true, true,
           {{"http_port_num", 8080},
            {"https_port_num", 8443},
            {"anonymouslogin_enable", true},
            {"depth_infinity_enable", true}}),
       {},
       {Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443"), Reload(kPure), Start(kSsl),
        Start(kSslAvahi), Restart("avahi"), Restart("webdav-httpd"), RunKey(kSsl, 1),
        Event(kSsl, "start"), UserLog("0x11B00874"), Write("webdavanonymouslogin", "yes"),
        UserLog("0x11B00876"), Write("webdavdepthinfinity", "yes"), UserLog("0x11B0087A"),
        kFirewall, kAvahiRestart},
       0,
       nullptr},
  };
  for (const auto& row : rows) Run(row);
}

TEST_F(WebDAVApplyTest, WrittenPortsAreTheRequestsPlainDecimalText) {
  fake::P().conf["WebDavPort"] = "08080";
  fake::P().enabled[kPure] = 1;
  EXPECT_TRUE(Call(Req(true, false, {{"http_port_num", 8080}, {"https_port_num", 443}})).success());
  EXPECT_EQ(fake::P().conf["WebDavPort"], "8080");
  EXPECT_EQ(fake::P().conf["secure_WebDavPort"], "443");
}

TEST_F(WebDAVApplyTest, RequestEqualToCurrentSettingsDoesNothing) {
  const struct {
    const char* name;
    Json::Value params;
  } cases[] = {
      {"all given", Req(true, false,
                        {{"http_port_num", 8080},
                         {"https_port_num", 8443},
                         {"anonymouslogin_enable", true},
                         {"depth_infinity_enable", false}})},
      {"switches and ports absent", Req(true, false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    fake::P().conf["WebDavPort"] = "8080";
    fake::P().conf["secure_WebDavPort"] = "8443";
    fake::P().conf["webdavanonymouslogin"] = "yes";
    fake::P().conf["webdavdepthinfinity"] = "no";
    fake::P().enabled[kPure] = 1;
    KIVO::APIResponse response = Call(c.params);
    EXPECT_TRUE(response.success());
    EXPECT_TRUE(response.data().isNull());
    EXPECT_THAT(fake::Actions(), IsEmpty());
    EXPECT_THAT(fake::Logs(), IsEmpty());
  }
}

// An absent switch reads as off once the request carries the other one.
TEST_F(WebDAVApplyTest, SwitchesAreWrittenOnlyWhenTheyDiffer) {
  const struct {
    const char* anon_stored;  // null: absent
    const char* depth_stored;
    int anon;  // -1: absent from the request
    int depth;
    std::vector<std::string> actions;
  } cases[] = {
      {"no",
       "yes",
       1,
       -1,
       {Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876"),
        Write("webdavdepthinfinity", "no"), UserLog("0x11B0087B")}},
      {nullptr,
       nullptr,
       1,
       1,
       {Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876"),
        Write("webdavdepthinfinity", "yes"), UserLog("0x11B0087A")}},
      {"yes",
       "yes",
       0,
       0,
       {Write("webdavanonymouslogin", "no"), UserLog("0x11B00877"),
        Write("webdavdepthinfinity", "no"), UserLog("0x11B0087B")}},
      {"yes", "no", -1, 0, {Write("webdavanonymouslogin", "no"), UserLog("0x11B00877")}},
      {"YES", "", 1, -1, {Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876")}},
      {"yes", "no", 1, 0, {}},
      {"yes", "yes", -1, -1, {}},
      {nullptr, "junk", 0, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.anon_stored ? c.anon_stored : "(absent)") + "/" +
                 (c.depth_stored ? c.depth_stored : "(absent)") + " <- " + std::to_string(c.anon) +
                 "/" + std::to_string(c.depth));
    fake::Reset();
    if (c.anon_stored != nullptr) fake::P().conf["webdavanonymouslogin"] = c.anon_stored;
    if (c.depth_stored != nullptr) fake::P().conf["webdavdepthinfinity"] = c.depth_stored;
    Json::Value params = Req(false, false);
    if (c.anon >= 0) params["anonymouslogin_enable"] = c.anon == 1;
    if (c.depth >= 0) params["depth_infinity_enable"] = c.depth == 1;
    EXPECT_TRUE(Call(params).success());
    EXPECT_THAT(fake::Actions(), ElementsAreArray(c.actions));
  }
}

// Nothing is rolled back: whatever ran before the failure stays, nothing
// after it runs, and the answer carries the first code recorded.
TEST_F(WebDAVApplyTest, FailuresStopTheCallAndKeepWhatWasDone) {
  const Json::Value anon = Json::Value(true);
  const Scenario rows[] = {
      {"HTTP port write",
       0,
       0,
       Req(true, false, {{"http_port_num", 8080}}),
       {{Write("WebDavPort", "8080"), -1}},
       {Write("WebDavPort", "8080")},
       1704,
       "Failed to set WebDav port in kivoinfo.conf."},
      {"HTTPS port write after HTTP's",
       1,
       1,
       Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       {{Write("secure_WebDavPort", "8443"), -1}},
       {Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443")},
       1704,
       "Failed to set WebDav ssl port in kivoinfo.conf."},
      {"HTTPS reload",
       1,
       1,
       Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       {{Reload(kSsl), -1}},
       {Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443"), Reload(kSsl)},
       1704,
       "Failed to reload WebDAV"},
      {"HTTP reload",
       1,
       0,
       Req(true, true, {{"http_port_num", 8080}}),
       {{Reload(kPure), -1}},
       {Write("WebDavPort", "8080"), Reload(kPure)},
       1704,
       "Failed to reload webDAV"},
      {"variant start",
       0,
       0,
       Req(true, false, {{"anonymouslogin_enable", anon}}),
       {{Start(kPure), -1}},
       {Start(kPure)},
       1704,
       "Service start error"},
      {"announcement start after the variant started",
       0,
       0,
       Req(true, false, {{"http_port_num", 8080}, {"anonymouslogin_enable", anon}}),
       {{Start(kPureAvahi), -1}},
       {Write("WebDavPort", "8080"), Start(kPure), Start(kPureAvahi)},
       1704,
       "Service start error"},
      {"HTTPS pair after the HTTP pair",
       0,
       0,
       Req(true, true, {{"anonymouslogin_enable", anon}}),
       {{Start(kSsl), -1}},
       {Start(kPure), Start(kPureAvahi), Start(kSsl)},
       1704,
       "Service start error"},
      {"HTTPS announcement stop",
       1,
       1,
       Req(true, false, {{"anonymouslogin_enable", anon}}),
       {{Stop(kSslAvahi), -1}},
       {Stop(kSsl), Stop(kSslAvahi)},
       1704,
       "Service start error"},
      {"avahi through service control",
       0,
       1,
       Req(true, true, {{"anonymouslogin_enable", anon}}),
       {{Restart("avahi"), -1}},
       {Start(kPure), Start(kPureAvahi), Restart("avahi")},
       1704,
       "Service start error"},
      {"daemon restart",
       0,
       1,
       Req(true, true, {{"anonymouslogin_enable", anon}}),
       {{Restart("webdav-httpd"), -1}},
       {Start(kPure), Start(kPureAvahi), Restart("avahi"), Restart("webdav-httpd")},
       1704,
       "Service start error"},
      {"daemon stop",
       1,
       1,
       Req(false, false, {{"anonymouslogin_enable", anon}}),
       {{Stop("webdav-httpd"), -1}},
       {Stop(kPure), Stop(kPureAvahi), Stop(kSsl), Stop(kSslAvahi), Restart("avahi"),
        Stop("webdav-httpd")},
       1704,
       "Service start error"},
      {"HTTP run key",
       0,
       0,
       Req(true, true, {{"anonymouslogin_enable", anon}}),
       {{RunKey(kPure, 1), -1}},
       {Start(kPure), Start(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"),
        Restart("webdav-httpd"), RunKey(kPure, 1)},
       1704,
       "Service start error"},
      {"HTTPS run key after HTTP's",
       0,
       0,
       Req(true, true, {{"anonymouslogin_enable", anon}}),
       {{RunKey(kSsl, 1), -1}},
       {Start(kPure), Start(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"),
        Restart("webdav-httpd"), RunKey(kPure, 1), Event(kPure, "start"), RunKey(kSsl, 1)},
       1704,
       "Service start error"},
      {"anonymous switch write",
       0,
       1,
       Req(true, true,
           {{"http_port_num", 8080},
            {"anonymouslogin_enable", anon},
            {"depth_infinity_enable", true}}),
       {{Write("webdavanonymouslogin", "yes"), -1}},
       {Write("WebDavPort", "8080"), Start(kPure), Start(kPureAvahi), Restart("avahi"),
        Restart("webdav-httpd"), RunKey(kPure, 1), Event(kPure, "start"), UserLog("0x11B00872"),
        Write("webdavanonymouslogin", "yes")},
       1704,
       "Failed to set webdavanonymouslogin in kivoinfo.conf."},
      {"depth switch write",
       1,
       0,
       Req(true, false, {{"anonymouslogin_enable", anon}, {"depth_infinity_enable", true}}),
       {{Write("webdavdepthinfinity", "yes"), -1}},
       {Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876"),
        Write("webdavdepthinfinity", "yes")},
       1704,
       "Failed to set webdavdepthinfinity in kivoinfo.conf."},
  };
  for (const auto& row : rows) Run(row);
}

TEST_F(WebDAVApplyTest, FailuresThatAreOnlyLoggedLetTheCallSucceed) {
  const std::vector<std::string> start_ssl = {Start(kSsl), Start(kSslAvahi), Restart("avahi"),
                                              Restart("webdav-httpd"), RunKey(kSsl, 1)};
  auto with = [](std::vector<std::string> head, std::initializer_list<std::string> tail) {
    head.insert(head.end(), tail);
    return head;
  };
  const Scenario rows[] = {
      {"hash table allocation",
       0,
       0,
       Req(false, true, {{"anonymouslogin_enable", true}}),
       {{"KLIBCSzHashAlloc", 1}},
       with(start_ssl,
            {UserLog("0x11B00874"), Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876")}),
       0,
       "Failed to allocate hash"},
      {"service name entry",
       0,
       0,
       Req(false, true),
       {{"KLIBCSzHashSetValue", -1}},
       with(start_ssl, {UserLog("0x11B00874")}),
       0,
       "Failed to set parameters"},
      {"service action entry",
       0,
       0,
       Req(false, true),
       {{"KLIBCSzHashSetValue(SERVICE_ACTION, start)", -1}},
       with(start_ssl, {UserLog("0x11B00874")}),
       0,
       "Failed to set parameters"},
      {"HTTP event emission, HTTPS goes on",
       0,
       0,
       Req(true, true),
       {{Event(kPure, "start"), -1}},
       {Start(kPure), Start(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"),
        Restart("webdav-httpd"), RunKey(kPure, 1), Event(kPure, "start"), RunKey(kSsl, 1),
        Event(kSsl, "start"), UserLog("0x11B00872"), UserLog("0x11B00874")},
       0,
       "Failed to emit service action event for [webdav-httpd-pure]"},
      {"firewall reload",
       1,
       0,
       Req(true, false, {{"http_port_num", 8080}}),
       {{"KIVOFwRuleHup", -1}},
       {Write("WebDavPort", "8080"), Reload(kPure), kFirewall, kAvahiRestart},
       0,
       "Failed to reload firewall rules."},
      {"final avahi restart",
       1,
       0,
       Req(true, false, {{"http_port_num", 8080}}),
       {{kAvahiRestart, -1}},
       {Write("WebDavPort", "8080"), Reload(kPure), kFirewall, kAvahiRestart},
       0,
       "Call KLIBNetService() error"},
  };
  for (const auto& row : rows) Run(row);
}

TEST_F(WebDAVApplyTest, EventTableIsAllocatedFilledAndFreed) {
  EXPECT_TRUE(Call(Req(true, false)).success());
  EXPECT_THAT(fake::CallsOf("KLIBCSzHashAlloc"), ElementsAre("KLIBCSzHashAlloc(1024)"));
  EXPECT_THAT(fake::CallsOf("KLIBCSzHashSetValue"),
              ElementsAre("KLIBCSzHashSetValue(SERVICE_NAME, webdav-httpd-pure)",
                          "KLIBCSzHashSetValue(SERVICE_ACTION, start)"));
  EXPECT_THAT(fake::CallsOf("KLIBCSzHashFree"), ElementsAre("KLIBCSzHashFree(table)"));
}

TEST_F(WebDAVApplyTest, FailedAllocationStillFreesAndEmitsNothing) {
  fake::SetResult("KLIBCSzHashAlloc", 1);
  EXPECT_TRUE(Call(Req(true, false)).success());
  EXPECT_THAT(fake::CallsOf("KLIBCSzHashSetValue"), IsEmpty());
  EXPECT_THAT(fake::CallsOf("KLIBSyseventEmit"), IsEmpty());
  EXPECT_THAT(fake::CallsOf("KLIBCSzHashFree"), ElementsAre("KLIBCSzHashFree(null)"));
}

TEST_F(WebDAVApplyTest, PortKeyWrittenBeforeAFailureStays) {
  fake::P().enabled[kPure] = 1;
  fake::P().enabled[kSsl] = 1;
  fake::SetResult(Write("secure_WebDavPort", "8443"), -1);
  KIVO::APIResponse response =
      Call(Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}));
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_EQ(fake::P().conf["WebDavPort"], "8080");
  EXPECT_EQ(fake::P().conf.count("secure_WebDavPort"), 0u);
}

}  // namespace
