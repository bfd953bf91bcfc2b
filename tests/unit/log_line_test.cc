// The "%s:%d" of the shared checks names a line of the unit's own file that passes it, never the
// header's; ShowJson's line carries no comments of the value it shows.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>

#include "caldav/caldav.h"
#include "caldav/caldav_calendar.h"
#include "tests/support/fake_platform.h"
#include "webdav/webdav.h"

namespace {

// Line `number` of a source file, "" when there is none.
std::string SourceLine(const std::string& file, int number) {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/" + file);
  std::string line;
  for (int i = 1; std::getline(in, line); ++i) {
    if (i == number) return line;
  }
  return "";
}

TEST(LogLineTest, SharedChecksLogTheLineOfTheirUnit) {
  const Json::Value params = [] {
    Json::Value p(Json::objectValue);
    p["text"] = "x";
    return p;
  }();
  Json::Value commented;
  std::istringstream("// note\n[1 /* one */]") >> commented;  // comments kept, as the registry's
  // The unit, its file, what makes it log, the message.
  const struct {
    const char* unit;
    const char* file;
    std::function<void(KIVO::APIRequest*, KIVO::APIResponse*)> act;
    const char* message;
  } cases[] = {
      {"caldav", "caldav/caldav.cc",
       [](auto* q, auto* r) { CalDAVConfServiceHandler(q, r).CHECK_PARAM_BOOL("on", true); },
       "cannot get the paramter: on"},
      {"caldav", "caldav/caldav.cc",
       [](auto* q, auto* r) { CalDAVConfServiceHandler(q, r).CHECK_PARAM_BOOL("text", false); },
       "wrong the paramter: text"},
      {"caldav", "caldav/caldav.cc",
       [](auto* q, auto* r) { CalDAVConfServiceHandler(q, r).ReportError(); },
       "There is no error setup"},
      {"webdav", "webdav/webdav.cc",
       [](auto* q, auto* r) { WebDAVServiceHandler(q, r).CHECK_PARAM_INT("text", true); },
       "wrong the paramter: text"},
      {"webdav", "webdav/webdav.cc",
       [](auto* q, auto* r) { WebDAVServiceHandler(q, r).ReportError(); },
       "There is no error setup"},
      {"webdav", "webdav/webdav.cc",
       [&](auto* q, auto* r) { WebDAVServiceHandler(q, r).ShowJson("v", commented); }, "v: [1]\n"},
      {"caldav_calendar", "caldav/caldav_calendar.cc",
       [](auto* q, auto* r) { CalDAVServiceHandler(q, r).CHECK_PARAM_JSONARRAY("id", true); },
       "cannot get the paramter: id"},
      {"caldav_calendar", "caldav/caldav_calendar.cc",
       [](auto* q, auto* r) { CalDAVServiceHandler(q, r).CHECK_PARAM_INT("text", false); },
       "wrong the paramter: text"},
      {"caldav_calendar", "caldav/caldav_calendar.cc",
       [](auto* q, auto* r) { CalDAVServiceHandler(q, r).ReportError(); },
       "There is no error setup"},
      {"caldav_calendar", "caldav/caldav_calendar.cc",
       [&](auto* q, auto* r) { CalDAVServiceHandler(q, r).ShowJson("v", commented); }, "v: [1]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.unit) + " " + c.message);
    fake::Reset();
    KIVO::APIRequest request("alice", params);
    KIVO::APIResponse response;
    c.act(&request, &response);
    ASSERT_EQ(fake::Logs().size(), 1u);
    std::smatch m;
    const std::string& line = fake::Logs()[0];
    ASSERT_TRUE(std::regex_match(line, m, std::regex(std::string(c.unit) + ":([0-9]+) ([^]*)")))
        << line;
    EXPECT_EQ(m[2], c.message);
    EXPECT_THAT(SourceLine(c.file, std::stoi(m[1])), ::testing::HasSubstr("__LINE__"))
        << c.file << ":" << m[1];
  }
}

}  // namespace
