// Each kind of event lands at the syslog priority its meaning gives it: a failure that loses a
// change at error, a refused request at warning, a change made at notice, a developer's aid at
// debug; and a change made is told once, by the step that made it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "caldav/caldav.h"
#include "module/api_table.h"
#include "tests/support/fake_platform.h"
#include "webdav/webdav.h"

namespace {

Json::Value Params(std::initializer_list<std::pair<const char*, Json::Value>> members) {
  Json::Value params(Json::objectValue);
  for (const auto& [name, value] : members) params[name] = value;
  return params;
}

void Answer(APIEntryFunc entry, const Json::Value& params) {
  KIVO::APIRequest request("alice", params);
  KIVO::APIResponse response;
  entry(&request, &response);
  EXPECT_EQ(response.answer_count(), 1);
}

TEST(LogLevelTest, EventsLandAtTheirLevel) {
  const struct {
    const char* what;
    std::function<void()> act;  // on a fresh fake whose runCalDav is "no"
    const char* message;        // the line's text after "unit:line "
    int level;
  } cases[] = {
      {"a setting changed",
       [] {
         Answer(CalDAVConfSet, Params({{"enable", true}}));
       },
       "runCalDav set to yes by alice", LOG_NOTICE},
      {"a port changed",
       [] {
         Answer(WebDAVSet,
                Params({{"enable_http", false}, {"enable_https", false}, {"http_port_num", 5080}}));
       },
       "WebDavPort set to 5080 by alice", LOG_NOTICE},
      {"a variant switched on",
       [] {
         Answer(WebDAVSet, Params({{"enable_http", true}, {"enable_https", false}}));
       },
       "webdav-httpd-pure on by alice", LOG_NOTICE},
      {"the change cannot be written",
       [] {
         fake::SetResult("KLIBCINFOSetKeyValue", -1);
         Answer(CalDAVConfSet, Params({{"enable", true}}));
       },
       "Failed to set runCalDav in kivoinfo.conf.", LOG_ERR},
      {"a parameter missing", [] { Answer(CalDAVConfSet, Params({})); },
       "cannot get the paramter: enable", LOG_WARNING},
      {"a port out of range",
       [] {
         Answer(WebDAVSet,
                Params({{"enable_http", false}, {"enable_https", false}, {"http_port_num", 0}}));
       },
       "webdav_port_num is not in port range 0", LOG_WARNING},
      {"a failure without a code",
       [] {
         KIVO::APIRequest request("alice", Json::Value(Json::objectValue));
         KIVO::APIResponse response;
         CalDAVConfServiceHandler(&request, &response).ReportError();
       },
       "There is no error setup", LOG_ERR},
      {"a value shown",
       [] {
         KIVO::APIRequest request("alice", Json::Value(Json::objectValue));
         KIVO::APIResponse response;
         WebDAVServiceHandler(&request, &response).ShowJson("v", Json::Value(1));
       },
       "v: 1\n", LOG_DEBUG},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake::Reset();
    fake::P().conf["runCalDav"] = "no";
    c.act();
    EXPECT_THAT(fake::LogLevels(c.message), ::testing::ElementsAre(c.level));
  }
}

// Asking for the state a setting already has changes nothing, and tells nothing.
TEST(LogLevelTest, NoChangeNoNotice) {
  fake::Reset();
  fake::P().conf["runCalDav"] = "yes";
  Answer(CalDAVConfSet, Params({{"enable", true}}));
  fake::P().enabled["webdav-httpd-pure"] = 1;
  Answer(WebDAVSet, Params({{"enable_http", true}, {"enable_https", false}}));
  EXPECT_THAT(fake::Logs(), ::testing::IsEmpty());
}

}  // namespace
