// The CalDAV switch against the fake: what is read, written, restarted and logged, and the codes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "module/api_table.h"
#include "tests/support/fake_platform.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

KIVO::APIResponse Call(APIEntryFunc entry, Json::Value params = Json::Value(Json::objectValue)) {
  KIVO::APIRequest request("alice", params);
  KIVO::APIResponse response;
  entry(&request, &response);
  EXPECT_EQ(response.answer_count(), 1);
  return response;
}

Json::Value Enable(const Json::Value& value) {
  Json::Value params(Json::objectValue);
  params["enable"] = value;
  return params;
}

// Sets up "runCalDav" (null: absent) on a fresh fake.
void Stored(const char* value) {
  fake::Reset();
  if (value != nullptr) fake::P().conf["runCalDav"] = value;
}

TEST(CalDAVSwitchTest, GetIsOnOnlyForExactlyYes) {
  for (const char* stored :
       {static_cast<const char*>(nullptr), "", "no", "YES", "yes ", "Yes", "1", "yes"}) {
    SCOPED_TRACE(stored ? stored : "(absent)");
    Stored(stored);
    KIVO::APIResponse response = Call(CalDAVConfGet);
    ASSERT_TRUE(response.success());
    Json::Value expected(Json::objectValue);
    expected["enable"] = stored != nullptr && std::string(stored) == "yes";
    EXPECT_EQ(response.data(), expected);
    EXPECT_THAT(fake::Actions(), IsEmpty());
  }
}

// Only a change is written, logged with the user name and followed by restarts.
TEST(CalDAVSwitchTest, SetWritesOnlyAChange) {
  const struct {
    const char* stored;
    bool enable;
    const char* written;  // null: nothing done at all
    const char* event;
  } cases[] = {{"yes", true, nullptr, nullptr},   {nullptr, false, nullptr, nullptr},
               {"no", false, nullptr, nullptr},   {"YES", false, nullptr, nullptr},
               {"no", true, "yes", "0x11B00878"}, {"yes", false, "no", "0x11B00879"}};
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases));
    Stored(c.stored);
    KIVO::APIResponse response = Call(CalDAVConfSet, Enable(c.enable));
    EXPECT_TRUE(response.success());
    EXPECT_TRUE(response.data().isNull());
    EXPECT_THAT(fake::LogsAbove(LOG_WARNING), IsEmpty());
    if (c.written == nullptr) {
      EXPECT_THAT(fake::Actions(), IsEmpty());
      continue;
    }
    EXPECT_THAT(fake::Actions(),
                ElementsAre("KLIBCINFOSetKeyValue(runCalDav, " + std::string(c.written) + ")",
                            "KIVOLogSet1(2, 1, " + std::string(c.event) + ", alice, , , )",
                            "KLIBServiceRestart(avahi)", "KLIBServiceRestart(webdav-httpd-pure)"));
  }
}

TEST(CalDAVSwitchTest, BadEnableIsRefusedBeforeAnythingIsRead) {
  const Json::Value missing(Json::objectValue);
  for (const Json::Value& params : {missing, Enable("true"), Enable(1), Enable(Json::Value())}) {
    const std::string message = params.isMember("enable") ? "wrong the paramter: enable"
                                                          : "cannot get the paramter: enable";
    SCOPED_TRACE(params.toStyledString());
    fake::Reset();
    KIVO::APIResponse response = Call(CalDAVConfSet, params);
    EXPECT_EQ(response.error_code(), 1705);
    EXPECT_TRUE(response.data().isNull());
    EXPECT_THAT(fake::Logs(), ElementsAre(::testing::MatchesRegex("caldav:[0-9]+ " + message)));
    EXPECT_THAT(fake::P().calls, IsEmpty());
  }
}

// A failed write stops before event and restarts; failed restarts are only logged.
TEST(CalDAVSwitchTest, FailedWriteAnswers1704AndFailedRestartsAreOnlyLogged) {
  Stored("no");
  fake::SetResult("KLIBCINFOSetKeyValue", -1);
  EXPECT_EQ(Call(CalDAVConfSet, Enable(true)).error_code(), 1704);
  EXPECT_THAT(fake::Logs(),
              ElementsAre(::testing::EndsWith(" Failed to set runCalDav in kivoinfo.conf.")));
  EXPECT_THAT(fake::Actions(), ElementsAre("KLIBCINFOSetKeyValue(runCalDav, yes)"));
  Stored("no");
  fake::SetResult("KLIBServiceRestart", -1);
  EXPECT_TRUE(Call(CalDAVConfSet, Enable(true)).success());
  EXPECT_TRUE(fake::Logged("Call KLIBNetService() error"));
  EXPECT_TRUE(fake::Logged("Failed to reload WEBDAV"));
  EXPECT_THAT(fake::CallsOf("KLIBServiceRestart"),
              ElementsAre("KLIBServiceRestart(avahi)", "KLIBServiceRestart(webdav-httpd-pure)"));
}

}  // namespace
