// A WebDAV `set` against the fake: what it refuses (changing nothing), the exact order of
// what it writes, controls and logs, and what each failure leaves behind.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "module/api_table.h"
#include "tests/support/fake_platform.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

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

// HTTP and HTTPS going "start", "stop" or "" (no change): controls, then run keys and events,
// then user logs.
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
      {Req(false, false, {{"enable_http", 1}}), 1705, "wrong the paramter: enable_http"},
      {Req(false, false, {{"enable_http", Json::Value()}}), 1705,
       "wrong the paramter: enable_http"},
      {Req(false, false, {{"enable_https", 0}}), 1705, "wrong the paramter: enable_https"},
      {Req(false, false, {{"http_port_num", "0"}}), 1705, "wrong the paramter: http_port_num"},
      {Req(false, false, {{"http_port_num", 8080.5}}), 1705, "wrong the paramter: http_port_num"},
      {Req(false, false, {{"https_port_num", "5006"}}), 1705, "wrong the paramter: https_port_num"},
      {Req(false, false, {{"anonymouslogin_enable", "yes"}}), 1705,
       "wrong the paramter: anonymouslogin_enable"},
      {Req(false, false, {{"depth_infinity_enable", 1}}), 1705,
       "wrong the paramter: depth_infinity_enable"},
      {Req(false, false, {{"http_port_num", 0}}), 1705, "webdav_port_num is not in port range 0"},
      {Req(false, false, {{"http_port_num", 65536}}), 1705,
       "webdav_port_num is not in port range 65536"},
      {Req(false, false, {{"https_port_num", 0}}), 1705, "webdav_port_num is not in port range 0"},
      {Req(false, false, {{"https_port_num", 70000}}), 1705,
       "webdav_port_num is not in port range 70000"},
      // Both ports invalid: only HTTP's failure is reported.
      {Req(false, false, {{"http_port_num", 0}, {"https_port_num", 70000}}), 1705,
       "webdav_port_num is not in port range 0"},
      {Req(false, false, {{"http_port_num", -1}, {"enable_https", "yes"}}), 1705,
       "webdav_port_num is not in port range -1"},
      {Req(false, false, {{"http_port_num", 8080}, {"https_port_num", 0}}), 1701,
       "webdav_http is conflict"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params.toStyledString());
    fake::Reset();
    fake::SetResult("WebUtils::IsPortConflict", 1);
    KIVO::APIResponse response = Call(c.params);
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
    Json::Value params = Req(false, false);
    params[c.http ? "http_port_num" : "https_port_num"] = c.port;
    KIVO::APIResponse response = Call(params);
    EXPECT_EQ(response.success(), !c.checked);
    if (!c.checked) {
      EXPECT_THAT(fake::CallsOf("WebUtils::IsPortConflict"), IsEmpty());
      EXPECT_THAT(fake::LogsAbove(LOG_WARNING), IsEmpty());
      continue;
    }
    EXPECT_EQ(response.error_code(), 1701);
    EXPECT_THAT(fake::CallsOf("WebUtils::IsPortConflict"),
                ElementsAre("WebUtils::IsPortConflict(" + id + ", " + port + ", " + port + ")"));
    EXPECT_THAT(fake::Logs(), ElementsAre(MatchesRegex("webdav:[0-9]+ " + id + " is conflict")));
    EXPECT_THAT(fake::Actions(), IsEmpty());
  }
}

// One `set` with the given enabled states and stored keys (over ports 5005 and 5006).
struct Scenario {
  const char* name;
  int pure_now;  // KLIBServiceIsEnabled answers
  int ssl_now;
  Json::Value params;
  std::vector<std::string> actions;  // exact, in order
  int code = 0;                      // 0: the call succeeds
  const char* message = nullptr;     // the one warning or error logged; null: none at all
  std::string fail = "";             // answers -1; with a code, the last action by default
  std::map<std::string, std::string> stored = {};
};

void Verify(const Scenario& s) {
  SCOPED_TRACE(s.name);
  fake::Reset();
  fake::P().conf = {{"WebDavPort", "5005"}, {"secure_WebDavPort", "5006"}};
  for (const auto& [key, value] : s.stored) fake::P().conf[key] = value;
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
    EXPECT_THAT(fake::LogsAbove(LOG_WARNING),
                ElementsAre(::testing::EndsWith(std::string(" ") + s.message)));
  } else {
    EXPECT_THAT(fake::LogsAbove(LOG_WARNING), IsEmpty());
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
      {"stored 05005 differs from 5005",
       1,
       0,
       Req(true, false, {{"http_port_num", 5005}}),
       Calls(Write("WebDavPort", "5005"), Reload(kPure), kFirewall, kAvahiRestart),
       0,
       nullptr,
       "",
       {{"WebDavPort", "05005"}}},
  };
  for (const auto& row : rows) Verify(row);
}

// Switches are written only when they differ; an absent one reads as off once the other is sent.
TEST(WebDAVApplyTest, SwitchesAreWrittenOnlyWhenTheyDiffer) {
  const auto stored = [](const char* anon, const char* depth) {
    return std::map<std::string, std::string>{{"webdavanonymouslogin", anon},
                                              {"webdavdepthinfinity", depth}};
  };
  const std::pair<const char*, Json::Value> depth_off = {"depth_infinity_enable", false};
  const Seq anon_on = {Write("webdavanonymouslogin", "yes"), UserLog("0x11B00876")};
  const Scenario rows[] = {
      {"anon on, depth absent", 0, 0, Req(false, false, {kAnon}),
       Calls(anon_on, Write("webdavdepthinfinity", "no"), UserLog("0x11B0087B")), 0, nullptr, "",
       stored("no", "yes")},
      {"anon absent, depth off", 0, 0, Req(false, false, {depth_off}),
       Calls(Write("webdavanonymouslogin", "no"), UserLog("0x11B00877")), 0, nullptr, "",
       stored("yes", "no")},
      {"YES is not yes", 0, 0, Req(false, false, {kAnon}), anon_on, 0, nullptr, "",
       stored("YES", "")},
      {"both as stored", 0, 0, Req(false, false, {kAnon, depth_off}), Seq(), 0, nullptr, "",
       stored("yes", "no")},
      {"neither sent", 0, 0, Req(false, false), Seq(), 0, nullptr, "", stored("yes", "yes")},
  };
  for (const auto& row : rows) Verify(row);
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
