// The CalDAV switch against the fake platform: what is read, written,
// restarted and logged, and the codes of the answer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "module/api_table.h"
#include "tests/support/fake_platform.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class CalDAVSwitchTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  KIVO::APIResponse Call(APIEntryFunc entry, Json::Value params = Json::Value(Json::objectValue)) {
    KIVO::APIRequest request("alice", params);
    KIVO::APIResponse response;
    entry(&request, &response);
    EXPECT_EQ(response.answer_count(), 1);
    return response;
  }

  static Json::Value Enable(const Json::Value& value) {
    Json::Value params(Json::objectValue);
    params["enable"] = value;
    return params;
  }
};

TEST_F(CalDAVSwitchTest, GetIsOnOnlyForExactlyYes) {
  const struct {
    const char* stored;  // null: key absent
    bool enabled;
  } cases[] = {{nullptr, false}, {"", false},  {"no", false},  {"YES", false},
               {"yes ", false},  {"Yes", false}, {"1", false}, {"yes", true}};
  for (const auto& c : cases) {
    fake::Reset();
    if (c.stored != nullptr) fake::P().conf["runCalDav"] = c.stored;
    KIVO::APIResponse response = Call(CalDAVConfGet);
    ASSERT_TRUE(response.success()) << (c.stored ? c.stored : "(absent)");
    Json::Value expected(Json::objectValue);
    expected["enable"] = c.enabled;
    EXPECT_EQ(response.data(), expected) << (c.stored ? c.stored : "(absent)");
    EXPECT_THAT(fake::Actions(), IsEmpty());
  }
}

TEST_F(CalDAVSwitchTest, SetToCurrentStateChangesNothing) {
  const struct {
    const char* stored;
    bool enable;
  } cases[] = {{"yes", true}, {nullptr, false}, {"no", false}, {"YES", false}};
  for (const auto& c : cases) {
    fake::Reset();
    if (c.stored != nullptr) fake::P().conf["runCalDav"] = c.stored;
    KIVO::APIResponse response = Call(CalDAVConfSet, Enable(c.enable));
    EXPECT_TRUE(response.success());
    EXPECT_TRUE(response.data().isNull());
    EXPECT_THAT(fake::Actions(), IsEmpty()) << (c.stored ? c.stored : "(absent)");
  }
}

TEST_F(CalDAVSwitchTest, SwitchingOnWritesLogsAndRestartsInOrder) {
  fake::P().conf["runCalDav"] = "no";
  KIVO::APIResponse response = Call(CalDAVConfSet, Enable(true));
  EXPECT_TRUE(response.success());
  EXPECT_TRUE(response.data().isNull());
  EXPECT_THAT(fake::Actions(),
              ElementsAre("KLIBCINFOSetKeyValue(runCalDav, yes)",
                          "KIVOLogSet1(2, 1, 0x11B00878, alice, , , )",
                          "KLIBServiceRestart(avahi)", "KLIBServiceRestart(webdav-httpd-pure)"));
  EXPECT_EQ(fake::P().conf["runCalDav"], "yes");
}

TEST_F(CalDAVSwitchTest, SwitchingOffWritesNo) {
  fake::P().conf["runCalDav"] = "yes";
  EXPECT_TRUE(Call(CalDAVConfSet, Enable(false)).success());
  EXPECT_THAT(fake::Actions(),
              ElementsAre("KLIBCINFOSetKeyValue(runCalDav, no)",
                          "KIVOLogSet1(2, 1, 0x11B00879, alice, , , )",
                          "KLIBServiceRestart(avahi)", "KLIBServiceRestart(webdav-httpd-pure)"));
}

TEST_F(CalDAVSwitchTest, BadEnableIsRefusedBeforeAnythingIsRead) {
  const struct {
    Json::Value params;
    const char* message;
  } cases[] = {
      {Json::Value(Json::objectValue), "cannot get the paramter: enable"},
      {Enable("true"), "wrong the paramter: enable"},
      {Enable(1), "wrong the paramter: enable"},
      {Enable(Json::Value()), "wrong the paramter: enable"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    KIVO::APIResponse response = Call(CalDAVConfSet, c.params);
    EXPECT_FALSE(response.success());
    EXPECT_EQ(response.error_code(), 1705);
    EXPECT_TRUE(response.data().isNull());
    EXPECT_TRUE(fake::Logged(c.message)) << c.message;
    EXPECT_THAT(fake::P().calls, IsEmpty());
  }
}

TEST_F(CalDAVSwitchTest, FailedWriteAnswers1704WithoutEventOrRestart) {
  fake::SetResult("KLIBCINFOSetKeyValue", -1);
  KIVO::APIResponse response = Call(CalDAVConfSet, Enable(true));
  EXPECT_EQ(response.error_code(), 1704);
  EXPECT_TRUE(fake::Logged("Failed to set runCalDav in kivoinfo.conf."));
  EXPECT_THAT(fake::Actions(), ElementsAre("KLIBCINFOSetKeyValue(runCalDav, yes)"));
}

TEST_F(CalDAVSwitchTest, FailedRestartsAreOnlyLogged) {
  fake::SetResult("KLIBServiceRestart", -1);
  KIVO::APIResponse response = Call(CalDAVConfSet, Enable(true));
  EXPECT_TRUE(response.success());
  EXPECT_TRUE(fake::Logged("Call KLIBNetService() error"));
  EXPECT_TRUE(fake::Logged("Failed to reload WEBDAV"));
  EXPECT_THAT(fake::CallsOf("KLIBServiceRestart"),
              ElementsAre("KLIBServiceRestart(avahi)", "KLIBServiceRestart(webdav-httpd-pure)"));
}

TEST_F(CalDAVSwitchTest, LogLinesCarryUnitAndLine) {
  Call(CalDAVConfSet);
  ASSERT_EQ(fake::Logs().size(), 1u);
  EXPECT_THAT(fake::Logs()[0], ::testing::MatchesRegex("caldav:[0-9]+ cannot get the paramter: enable"));
}

}  // namespace
