// Applying a WebDAV `set` against the fake platform: the exact order of what is
// written, controlled and logged, and what each failure leaves behind.

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
const std::string kDaemon = "webdav-httpd";

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

template <typename... Call>
std::vector<std::string> Calls(const Call&... calls) {
  return {calls...};
}

Json::Value Req(bool http, bool https,
                std::initializer_list<std::pair<const char*, Json::Value>> extra = {}) {
  Json::Value params(Json::objectValue);
  params["enable_http"] = http;
  params["enable_https"] = https;
  for (const auto& [name, value] : extra) params[name] = value;
  return params;
}

KIVO::APIResponse Call(const Json::Value& params) {
  KIVO::APIRequest request("alice", params);
  KIVO::APIResponse response;
  WebDAVSet(&request, &response);
  EXPECT_EQ(response.answer_count(), 1);
  return response;
}

// One `set` with the HTTPS port 5006 stored and the given enabled states.
struct Scenario {
  const char* name;
  int pure_now;  // KLIBServiceIsEnabled answers
  int ssl_now;
  Json::Value params;
  std::vector<std::string> actions;  // exact, in order
  std::string fail = "";             // a call or operation scripted to answer -1
  int code = 0;                      // 0: the call succeeds
  const char* message = nullptr;     // the one line logged; null: none at all
  const char* http_port = "5005";    // stored
};

void Verify(const Scenario& s) {
  SCOPED_TRACE(s.name);
  fake::Reset();
  fake::P().conf["WebDavPort"] = s.http_port;
  fake::P().conf["secure_WebDavPort"] = "5006";
  fake::P().enabled[kPure] = s.pure_now;
  fake::P().enabled[kSsl] = s.ssl_now;
  if (!s.fail.empty()) fake::SetResult(s.fail, -1);
  KIVO::APIResponse response = Call(s.params);
  EXPECT_EQ(response.success(), s.code == 0);
  EXPECT_EQ(response.error_code(), s.code);
  EXPECT_TRUE(response.data().isNull());
  EXPECT_THAT(fake::Actions(), ElementsAreArray(s.actions));
  if (s.message != nullptr) {
    EXPECT_THAT(fake::Logs(), ElementsAre(::testing::EndsWith(std::string(" ") + s.message)));
  } else {
    EXPECT_THAT(fake::Logs(), IsEmpty());
  }
}

// The fake's enabled states do not follow starts and stops: the daemon rule
// for STOP with NO_CHANGE sees the state from before the call.
TEST(WebDAVApplyTest, EveryPairOfStatusesControlsServicesInOrder) {
  const Scenario rows[] = {
      {"START START", 0, 0, Req(true, true),
       Calls(Start(kPure), Start(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"),
             Restart(kDaemon), RunKey(kPure, 1), Event(kPure, "start"), RunKey(kSsl, 1),
             Event(kSsl, "start"), UserLog("0x11B00872"), UserLog("0x11B00874"))},
      {"START STOP", 0, 1, Req(true, false),
       Calls(Start(kPure), Start(kPureAvahi), Stop(kSsl), Stop(kSslAvahi), Restart("avahi"),
             Restart(kDaemon), RunKey(kPure, 1), Event(kPure, "start"), RunKey(kSsl, 2),
             Event(kSsl, "stop"), UserLog("0x11B00872"), UserLog("0x11B00875"))},
      {"START NO_CHANGE", 0, 1, Req(true, true),
       Calls(Start(kPure), Start(kPureAvahi), Restart("avahi"), Restart(kDaemon), RunKey(kPure, 1),
             Event(kPure, "start"), UserLog("0x11B00872"))},
      {"STOP START", 1, 0, Req(false, true),
       Calls(Stop(kPure), Stop(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"),
             Restart(kDaemon), RunKey(kPure, 2), Event(kPure, "stop"), RunKey(kSsl, 1),
             Event(kSsl, "start"), UserLog("0x11B00873"), UserLog("0x11B00874"))},
      {"STOP STOP", 1, 1, Req(false, false),
       Calls(Stop(kPure), Stop(kPureAvahi), Stop(kSsl), Stop(kSslAvahi), Restart("avahi"),
             Stop(kDaemon), RunKey(kPure, 2), Event(kPure, "stop"), RunKey(kSsl, 2),
             Event(kSsl, "stop"), UserLog("0x11B00873"), UserLog("0x11B00875"))},
      {"STOP NO_CHANGE, ssl enabled", 1, 1, Req(false, true),
       Calls(Stop(kPure), Stop(kPureAvahi), Restart("avahi"), Restart(kDaemon), RunKey(kPure, 2),
             Event(kPure, "stop"), UserLog("0x11B00873"))},
      {"STOP NO_CHANGE, ssl answers 2", 1, 2, Req(false, false),
       Calls(Stop(kPure), Stop(kPureAvahi), Restart("avahi"), Stop(kDaemon), RunKey(kPure, 2),
             Event(kPure, "stop"), UserLog("0x11B00873"))},
      {"NO_CHANGE START", 0, 0, Req(false, true),
       Calls(Start(kSsl), Start(kSslAvahi), Restart("avahi"), Restart(kDaemon), RunKey(kSsl, 1),
             Event(kSsl, "start"), UserLog("0x11B00874"))},
      {"NO_CHANGE STOP, pure enabled", 1, 1, Req(true, false),
       Calls(Stop(kSsl), Stop(kSslAvahi), Restart("avahi"), Restart(kDaemon), RunKey(kSsl, 2),
             Event(kSsl, "stop"), UserLog("0x11B00875"))},
      {"NO_CHANGE STOP, pure answers -1", -1, 1, Req(false, false),
       Calls(Stop(kSsl), Stop(kSslAvahi), Restart("avahi"), Stop(kDaemon), RunKey(kSsl, 2),
             Event(kSsl, "stop"), UserLog("0x11B00875"))},
      {"NO_CHANGE NO_CHANGE", 1, 2, Req(true, false), {}},
  };
  for (const auto& row : rows) Verify(row);
}

TEST(WebDAVApplyTest, PortChangesWriteReloadAndRefreshFirewallAndAvahi) {
  const Scenario rows[] = {
      {"ports change as HTTP stops and HTTPS starts: no reload", 1, 0,
       Req(false, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       Calls(Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443"), Stop(kPure),
             Stop(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"), Restart(kDaemon),
             RunKey(kPure, 2), Event(kPure, "stop"), RunKey(kSsl, 1), Event(kSsl, "start"),
             UserLog("0x11B00873"), UserLog("0x11B00874"), kFirewall, kAvahiRestart)},
      {"both ports, both enabled: only HTTPS reloads", 1, 1,
       Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       Calls(Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443"), Reload(kSsl),
             kFirewall, kAvahiRestart)},
      {"everything at once, in the fixed order", 1, 0,
       Req(true, true,
           {{"http_port_num", 8080},
            {"https_port_num", 8443},
            {"anonymouslogin_enable", true},
            {"depth_infinity_enable", true}}),
       Calls(Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443"), Reload(kPure),
             Start(kSsl), Start(kSslAvahi), Restart("avahi"), Restart(kDaemon), RunKey(kSsl, 1),
             Event(kSsl, "start"), UserLog("0x11B00874"), Write("webdavanonymouslogin", "yes"),
             UserLog("0x11B00876"), Write("webdavdepthinfinity", "yes"), UserLog("0x11B0087A"),
             kFirewall, kAvahiRestart)},
      {"flip HTTP sending both stored ports", 0, 0,
       Req(true, false, {{"http_port_num", 5005}, {"https_port_num", 5006}}),
       Calls(Start(kPure), Start(kPureAvahi), Restart("avahi"), Restart(kDaemon), RunKey(kPure, 1),
             Event(kPure, "start"), UserLog("0x11B00872"))},
      {"stored 05005 differs from 5005", 1, 0, Req(true, false, {{"http_port_num", 5005}}),
       Calls(Write("WebDavPort", "5005"), Reload(kPure), kFirewall, kAvahiRestart), "", 0, nullptr,
       "05005"},
  };
  for (const auto& row : rows) Verify(row);
}

// An absent switch reads as off once the request carries the other one.
TEST(WebDAVApplyTest, SwitchesAreWrittenOnlyWhenTheyDiffer) {
  const struct {
    const char* anon_stored;
    const char* depth_stored;
    int anon;  // -1: absent from the request
    int depth;
    std::vector<std::string> actions;
  } cases[] = {
      {"no", "yes", 1, -1,
       Calls(Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876"),
             Write("webdavdepthinfinity", "no"), UserLog("0x11B0087B"))},
      {"yes", "no", -1, 0, Calls(Write("webdavanonymouslogin", "no"), UserLog("0x11B00877"))},
      {"YES", "", 1, -1, Calls(Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876"))},
      {"yes", "no", 1, 0, {}},
      {"yes", "yes", -1, -1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases));
    fake::Reset();
    fake::P().conf["webdavanonymouslogin"] = c.anon_stored;
    fake::P().conf["webdavdepthinfinity"] = c.depth_stored;
    Json::Value params = Req(false, false);
    if (c.anon >= 0) params["anonymouslogin_enable"] = c.anon == 1;
    if (c.depth >= 0) params["depth_infinity_enable"] = c.depth == 1;
    EXPECT_TRUE(Call(params).success());
    EXPECT_THAT(fake::Actions(), ElementsAreArray(c.actions));
  }
}

// Nothing is rolled back: whatever ran before a failure stays. A failure with
// a code ends the call there; one without is only logged and the call goes on.
TEST(WebDAVApplyTest, EachFailureLogsOnceAndStopsOrGoesOn) {
  const std::pair<const char*, Json::Value> anon = {"anonymouslogin_enable", true};
  const Scenario rows[] = {
      {"HTTP port write", 0, 0, Req(true, false, {{"http_port_num", 8080}}),
       Calls(Write("WebDavPort", "8080")), Write("WebDavPort", "8080"), 1704,
       "Failed to set WebDav port in kivoinfo.conf."},
      {"HTTPS port write after HTTP's", 1, 1,
       Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       Calls(Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443")),
       Write("secure_WebDavPort", "8443"), 1704, "Failed to set WebDav ssl port in kivoinfo.conf."},
      {"HTTPS reload", 1, 1, Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       Calls(Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443"), Reload(kSsl)),
       Reload(kSsl), 1704, "Failed to reload WebDAV"},
      {"HTTP reload", 1, 0, Req(true, true, {{"http_port_num", 8080}}),
       Calls(Write("WebDavPort", "8080"), Reload(kPure)), Reload(kPure), 1704,
       "Failed to reload webDAV"},
      {"variant start", 0, 0, Req(true, false, {anon}), Calls(Start(kPure)), Start(kPure), 1704,
       "Service start error"},
      {"announcement start after its variant", 0, 0,
       Req(true, false, {{"http_port_num", 8080}, anon}),
       Calls(Write("WebDavPort", "8080"), Start(kPure), Start(kPureAvahi)), Start(kPureAvahi), 1704,
       "Service start error"},
      {"HTTPS announcement stop after HTTP pair", 0, 1, Req(true, false, {anon}),
       Calls(Start(kPure), Start(kPureAvahi), Stop(kSsl), Stop(kSslAvahi)), Stop(kSslAvahi), 1704,
       "Service start error"},
      {"avahi through service control", 0, 1, Req(true, true, {anon}),
       Calls(Start(kPure), Start(kPureAvahi), Restart("avahi")), Restart("avahi"), 1704,
       "Service start error"},
      {"daemon restart", 0, 1, Req(true, true, {anon}),
       Calls(Start(kPure), Start(kPureAvahi), Restart("avahi"), Restart(kDaemon)), Restart(kDaemon),
       1704, "Service start error"},
      {"daemon stop", 1, 1, Req(false, false, {anon}),
       Calls(Stop(kPure), Stop(kPureAvahi), Stop(kSsl), Stop(kSslAvahi), Restart("avahi"),
             Stop(kDaemon)),
       Stop(kDaemon), 1704, "Service start error"},
      {"HTTP run key", 0, 1, Req(true, true, {anon}),
       Calls(Start(kPure), Start(kPureAvahi), Restart("avahi"), Restart(kDaemon), RunKey(kPure, 1)),
       RunKey(kPure, 1), 1704, "Service start error"},
      {"HTTPS run key after HTTP's", 0, 0, Req(true, true, {anon}),
       Calls(Start(kPure), Start(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"),
             Restart(kDaemon), RunKey(kPure, 1), Event(kPure, "start"), RunKey(kSsl, 1)),
       RunKey(kSsl, 1), 1704, "Service start error"},
      {"anonymous switch write", 0, 1,
       Req(true, true, {{"http_port_num", 8080}, anon, {"depth_infinity_enable", true}}),
       Calls(Write("WebDavPort", "8080"), Start(kPure), Start(kPureAvahi), Restart("avahi"),
             Restart(kDaemon), RunKey(kPure, 1), Event(kPure, "start"), UserLog("0x11B00872"),
             Write("webdavanonymouslogin", "yes")),
       Write("webdavanonymouslogin", "yes"), 1704,
       "Failed to set webdavanonymouslogin in kivoinfo.conf."},
      {"depth switch write", 1, 0, Req(true, false, {anon, {"depth_infinity_enable", true}}),
       Calls(Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876"),
             Write("webdavdepthinfinity", "yes")),
       Write("webdavdepthinfinity", "yes"), 1704,
       "Failed to set webdavdepthinfinity in kivoinfo.conf."},
      {"hash table allocation", 0, 0, Req(false, true, {anon}),
       Calls(Start(kSsl), Start(kSslAvahi), Restart("avahi"), Restart(kDaemon), RunKey(kSsl, 1),
             UserLog("0x11B00874"), Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876")),
       "KLIBCSzHashAlloc", 0, "Failed to allocate hash"},
      {"service action entry", 0, 0, Req(false, true),
       Calls(Start(kSsl), Start(kSslAvahi), Restart("avahi"), Restart(kDaemon), RunKey(kSsl, 1),
             UserLog("0x11B00874")),
       "KLIBCSzHashSetValue(SERVICE_ACTION, start)", 0, "Failed to set parameters"},
      {"HTTP event emission, HTTPS goes on", 0, 0, Req(true, true),
       Calls(Start(kPure), Start(kPureAvahi), Start(kSsl), Start(kSslAvahi), Restart("avahi"),
             Restart(kDaemon), RunKey(kPure, 1), Event(kPure, "start"), RunKey(kSsl, 1),
             Event(kSsl, "start"), UserLog("0x11B00872"), UserLog("0x11B00874")),
       Event(kPure, "start"), 0, "Failed to emit service action event for [webdav-httpd-pure]"},
      {"firewall reload", 1, 0, Req(true, false, {{"http_port_num", 8080}}),
       Calls(Write("WebDavPort", "8080"), Reload(kPure), kFirewall, kAvahiRestart), "KIVOFwRuleHup",
       0, "Failed to reload firewall rules."},
      {"final avahi restart", 1, 0, Req(true, false, {{"http_port_num", 8080}}),
       Calls(Write("WebDavPort", "8080"), Reload(kPure), kFirewall, kAvahiRestart), kAvahiRestart,
       0, "Call KLIBNetService() error"},
  };
  for (const auto& row : rows) Verify(row);
}

TEST(WebDAVApplyTest, EventTableIsFilledWhenAllocatedAndAlwaysFreed) {
  fake::Reset();
  EXPECT_TRUE(Call(Req(true, false)).success());
  EXPECT_THAT(fake::CallsOf("KLIBCSzHashAlloc"), ElementsAre("KLIBCSzHashAlloc(1024)"));
  EXPECT_THAT(fake::CallsOf("KLIBCSzHashSetValue"),
              ElementsAre("KLIBCSzHashSetValue(SERVICE_NAME, webdav-httpd-pure)",
                          "KLIBCSzHashSetValue(SERVICE_ACTION, start)"));
  EXPECT_THAT(fake::CallsOf("KLIBCSzHashFree"), ElementsAre("KLIBCSzHashFree(table)"));
  // A failed allocation still hands its null table to free.
  fake::Reset();
  fake::SetResult("KLIBCSzHashAlloc", 1);
  EXPECT_TRUE(Call(Req(true, false)).success());
  EXPECT_THAT(fake::CallsOf("KLIBCSzHashFree"), ElementsAre("KLIBCSzHashFree(null)"));
}

}  // namespace
