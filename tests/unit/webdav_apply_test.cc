// A WebDAV `set` against the fake: the exact order of what is written, controlled and
// logged, and what each failure leaves behind.

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
std::string Restart(const std::string& s) { return "KLIBServicectlRestart(" + s + ", 0)"; }
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

using Seq = std::vector<std::string>;

void Append(Seq& all, const std::string& call) { all.push_back(call); }
void Append(Seq& all, const Seq& calls) { all.insert(all.end(), calls.begin(), calls.end()); }

template <typename... Part>
Seq Calls(const Part&... parts) {
  Seq all;
  (Append(all, parts), ...);
  return all;
}

// The first `count` calls: where a failure stops the sequence.
Seq Head(size_t count, Seq calls) {
  calls.resize(count);
  return calls;
}

// HTTP and HTTPS going "start" or "stop" ("": no change): variants with their
// announcements, avahi, the daemon; then run keys and events; then user logs.
Seq Switch(const std::string& http, const std::string& https, bool daemon_stops = false) {
  Seq controls, keys, logs;
  for (const bool is_http : {true, false}) {
    const std::string& action = is_http ? http : https;
    if (action.empty()) continue;
    const bool on = action == "start";
    const std::string variant = is_http ? kPure : kSsl, avahi = is_http ? kPureAvahi : kSslAvahi;
    Append(controls, {on ? Start(variant) : Stop(variant), on ? Start(avahi) : Stop(avahi)});
    Append(keys, {RunKey(variant, on ? 1 : 2), Event(variant, action)});
    logs.push_back(
        UserLog(is_http ? (on ? "0x11B00872" : "0x11B00873") : (on ? "0x11B00874" : "0x11B00875")));
  }
  return Calls(controls, Restart("avahi"), daemon_stops ? Stop(kDaemon) : Restart(kDaemon), keys,
               logs);
}

const std::pair<const char*, Json::Value> kAnon = {"anonymouslogin_enable", true};
const std::pair<const char*, Json::Value> kDepth = {"depth_infinity_enable", true};

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
  int code = 0;                      // 0: the call succeeds
  const char* message = nullptr;     // the one line logged; null: none at all
  std::string fail = "";             // answers -1; with a code, the last action by default
  const char* http_port = "5005";    // stored
};

void Verify(const Scenario& s) {
  SCOPED_TRACE(s.name);
  fake::Reset();
  fake::P().conf["WebDavPort"] = s.http_port;
  fake::P().conf["secure_WebDavPort"] = "5006";
  fake::P().enabled[kPure] = s.pure_now;
  fake::P().enabled[kSsl] = s.ssl_now;
  if (!s.fail.empty() || s.code != 0)
    fake::SetResult(s.fail.empty() ? s.actions.back() : s.fail, -1);
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

// The fake's enabled states ignore starts and stops: the daemon rule sees them as before the call.
TEST(WebDAVApplyTest, EveryPairOfStatusesControlsServicesInOrder) {
  const Scenario rows[] = {
      {"START START", 0, 0, Req(true, true), Switch("start", "start")},
      {"START STOP", 0, 1, Req(true, false), Switch("start", "stop")},
      {"START NO_CHANGE", 0, 1, Req(true, true), Switch("start", "")},
      {"STOP START", 1, 0, Req(false, true), Switch("stop", "start")},
      {"STOP STOP", 1, 1, Req(false, false), Switch("stop", "stop", true)},
      {"STOP NO_CHANGE, ssl enabled", 1, 1, Req(false, true), Switch("stop", "")},
      {"STOP NO_CHANGE, ssl answers 2", 1, 2, Req(false, false), Switch("stop", "", true)},
      {"NO_CHANGE START", 0, 0, Req(false, true), Switch("", "start")},
      {"NO_CHANGE STOP, pure enabled", 1, 1, Req(true, false), Switch("", "stop")},
      {"NO_CHANGE STOP, pure answers -1", -1, 1, Req(false, false), Switch("", "stop", true)},
      {"NO_CHANGE NO_CHANGE", 1, 2, Req(true, false), {}},
  };
  for (const auto& row : rows) Verify(row);
}

TEST(WebDAVApplyTest, PortChangesWriteReloadAndRefreshFirewallAndAvahi) {
  const Seq both_written = {Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443")};
  const Scenario rows[] = {
      {"ports change as HTTP stops and HTTPS starts: no reload", 1, 0,
       Req(false, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       Calls(both_written, Switch("stop", "start"), kFirewall, kAvahiRestart)},
      {"both ports, both enabled: only HTTPS reloads", 1, 1,
       Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}}),
       Calls(both_written, Reload(kSsl), kFirewall, kAvahiRestart)},
      {"everything at once, in the fixed order", 1, 0,
       Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}, kAnon, kDepth}),
       Calls(both_written, Reload(kPure), Switch("", "start"), Write("webdavanonymouslogin", "yes"),
             UserLog("0x11B00876"), Write("webdavdepthinfinity", "yes"), UserLog("0x11B0087A"),
             kFirewall, kAvahiRestart)},
      {"flip HTTP sending both stored ports", 0, 0,
       Req(true, false, {{"http_port_num", 5005}, {"https_port_num", 5006}}), Switch("start", "")},
      {"stored 05005 differs from 5005", 1, 0, Req(true, false, {{"http_port_num", 5005}}),
       Calls(Write("WebDavPort", "5005"), Reload(kPure), kFirewall, kAvahiRestart), 0, nullptr, "",
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

// Nothing is rolled back. A failure with a code ends the call; one without is only logged.
TEST(WebDAVApplyTest, EachFailureLogsOnceAndStopsOrGoesOn) {
  const Json::Value both_ports =
      Req(true, true, {{"http_port_num", 8080}, {"https_port_num", 8443}});
  const Seq ssl_started = Calls(Head(5, Switch("", "start")), UserLog("0x11B00874"));  // no event
  const Seq new_http = Calls(Write("WebDavPort", "8080"), Reload(kPure), kFirewall, kAvahiRestart);
  const char* start_error = "Service start error";
  const Scenario rows[] = {
      {"HTTP port write", 0, 0, Req(true, false, {{"http_port_num", 8080}}),
       Calls(Write("WebDavPort", "8080")), 1704, "Failed to set WebDav port in kivoinfo.conf."},
      {"HTTPS port write after HTTP's", 1, 1, both_ports,
       Calls(Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443")), 1704,
       "Failed to set WebDav ssl port in kivoinfo.conf."},
      {"HTTPS reload", 1, 1, both_ports,
       Calls(Write("WebDavPort", "8080"), Write("secure_WebDavPort", "8443"), Reload(kSsl)), 1704,
       "Failed to reload WebDAV"},
      {"HTTP reload", 1, 0, Req(true, true, {{"http_port_num", 8080}}),
       Calls(Write("WebDavPort", "8080"), Reload(kPure)), 1704, "Failed to reload webDAV"},
      {"variant start", 0, 0, Req(true, false, {kAnon}), Calls(Start(kPure)), 1704, start_error},
      {"announcement start after its variant", 0, 0,
       Req(true, false, {{"http_port_num", 8080}, kAnon}),
       Calls(Write("WebDavPort", "8080"), Start(kPure), Start(kPureAvahi)), 1704, start_error},
      {"HTTPS announcement stop after HTTP pair", 0, 1, Req(true, false, {kAnon}),
       Head(4, Switch("start", "stop")), 1704, start_error},
      {"avahi through service control", 0, 1, Req(true, true, {kAnon}),
       Head(3, Switch("start", "")), 1704, start_error},
      {"daemon restart", 0, 1, Req(true, true, {kAnon}), Head(4, Switch("start", "")), 1704,
       start_error},
      {"daemon stop", 1, 1, Req(false, false, {kAnon}), Head(6, Switch("stop", "stop", true)), 1704,
       start_error},
      {"HTTP run key", 0, 1, Req(true, true, {kAnon}), Head(5, Switch("start", "")), 1704,
       start_error},
      {"HTTPS run key after HTTP's", 0, 0, Req(true, true, {kAnon}),
       Head(9, Switch("start", "start")), 1704, start_error},
      {"anonymous switch write", 0, 1, Req(true, true, {{"http_port_num", 8080}, kAnon, kDepth}),
       Calls(Write("WebDavPort", "8080"), Switch("start", ""),
             Write("webdavanonymouslogin", "yes")),
       1704, "Failed to set webdavanonymouslogin in kivoinfo.conf."},
      {"depth switch write", 1, 0, Req(true, false, {kAnon, kDepth}),
       Calls(Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876"),
             Write("webdavdepthinfinity", "yes")),
       1704, "Failed to set webdavdepthinfinity in kivoinfo.conf."},
      {"hash table allocation", 0, 0, Req(false, true, {kAnon}),
       Calls(ssl_started, Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876")), 0,
       "Failed to allocate hash", "KLIBCSzHashAlloc"},
      {"service action entry", 0, 0, Req(false, true), ssl_started, 0, "Failed to set parameters",
       "KLIBCSzHashSetValue(SERVICE_ACTION, start)"},
      {"HTTP event emission, HTTPS goes on", 0, 0, Req(true, true), Switch("start", "start"), 0,
       "Failed to emit service action event for [webdav-httpd-pure]", Event(kPure, "start")},
      {"firewall reload", 1, 0, Req(true, false, {{"http_port_num", 8080}}), new_http, 0,
       "Failed to reload firewall rules.", "KIVOFwRuleHup"},
      {"final avahi restart", 1, 0, Req(true, false, {{"http_port_num", 8080}}), new_http, 0,
       "Call KLIBNetService() error", kAvahiRestart},
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
