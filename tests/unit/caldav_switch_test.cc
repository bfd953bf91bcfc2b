// The CalDAV and CardDAV switches against the fake: what is read, written, restarted and logged,
// and the codes; one handler over two keys.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "carddav/carddav.h"
#include "module/api_table.h"
#include "module/entry_frame.h"
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

constexpr char kCardDAVUnit[] = "caldav";
template <void (CardDAVConfServiceHandler::*kMethod)()>
void CardDAVEntry(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  entry_frame::RunOnce<CardDAVConfServiceHandler, kMethod, kCardDAVUnit>(request, response);
}

struct Switch {
  const char* label;
  const char* key;
  APIEntryFunc get, set;
  const char* on_event;
  const char* off_event;
};

const Switch kCalDAV = {"CalDAV",      "runCalDav",  CalDAVConfGet,
                        CalDAVConfSet, "0x11B00878", "0x11B00879"};
const Switch kCardDAV = {"CardDAV",
                         "runCardDav",
                         CardDAVEntry<&CardDAVConfServiceHandler::Get>,
                         CardDAVEntry<&CardDAVConfServiceHandler::Set>,
                         "0x11B0087A",
                         "0x11B0087B"};

class CalDAVSwitchTest : public ::testing::TestWithParam<const Switch*> {
 protected:
  const Switch& sw() const { return *GetParam(); }
  // Sets up the switch's key (null: absent) on a fresh fake; the other switch's key is on, and
  // never read nor written.
  void Stored(const char* value) {
    fake::Reset();
    fake::P().conf[&sw() == &kCalDAV ? kCardDAV.key : kCalDAV.key] = "yes";
    if (value != nullptr) fake::P().conf[sw().key] = value;
  }
};

TEST_P(CalDAVSwitchTest, GetIsOnOnlyForExactlyYes) {
  for (const char* stored :
       {static_cast<const char*>(nullptr), "", "no", "YES", "yes ", "Yes", "1", "yes"}) {
    SCOPED_TRACE(stored ? stored : "(absent)");
    Stored(stored);
    KIVO::APIResponse response = Call(sw().get);
    ASSERT_TRUE(response.success());
    Json::Value expected(Json::objectValue);
    expected["enable"] = stored != nullptr && std::string(stored) == "yes";
    EXPECT_EQ(response.data(), expected);
    EXPECT_THAT(fake::Actions(), IsEmpty());
  }
}

// Only a change is written, logged with the user name and followed by restarts.
TEST_P(CalDAVSwitchTest, SetWritesOnlyAChange) {
  const struct {
    const char* stored;
    bool enable;
    const char* written;  // null: nothing done at all
    const char* event;
  } cases[] = {{"yes", true, nullptr, nullptr},    {nullptr, false, nullptr, nullptr},
               {"no", false, nullptr, nullptr},    {"YES", false, nullptr, nullptr},
               {"no", true, "yes", sw().on_event}, {"yes", false, "no", sw().off_event}};
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases));
    Stored(c.stored);
    KIVO::APIResponse response = Call(sw().set, Enable(c.enable));
    EXPECT_TRUE(response.success());
    EXPECT_TRUE(response.data().isNull());
    EXPECT_THAT(fake::LogsAbove(LOG_WARNING), IsEmpty());
    if (c.written == nullptr) {
      EXPECT_THAT(fake::Actions(), IsEmpty());
      continue;
    }
    EXPECT_THAT(
        fake::Actions(),
        ElementsAre("KLIBCINFOSetKeyValue(" + std::string(sw().key) + ", " + c.written + ")",
                    "KIVOLogSet1(2, 1, " + std::string(c.event) + ", alice, , , )",
                    "KLIBServiceRestart(avahi)", "KLIBServiceRestart(webdav-httpd-pure)"));
  }
}

TEST_P(CalDAVSwitchTest, BadEnableIsRefusedBeforeAnythingIsRead) {
  const Json::Value missing(Json::objectValue);
  for (const Json::Value& params : {missing, Enable("true"), Enable(1), Enable(Json::Value())}) {
    const std::string message = params.isMember("enable") ? "wrong the paramter: enable"
                                                          : "cannot get the paramter: enable";
    SCOPED_TRACE(params.toStyledString());
    Stored(nullptr);
    KIVO::APIResponse response = Call(sw().set, params);
    EXPECT_EQ(response.error_code(), 1705);
    EXPECT_TRUE(response.data().isNull());
    EXPECT_THAT(fake::Logs(), ElementsAre(::testing::MatchesRegex("caldav:[0-9]+ " + message)));
    EXPECT_THAT(fake::P().calls, IsEmpty());
  }
}

// A failed write stops before event and restarts; failed restarts are only logged.
TEST_P(CalDAVSwitchTest, FailedWriteAnswers1704AndFailedRestartsAreOnlyLogged) {
  Stored("no");
  fake::SetResult("KLIBCINFOSetKeyValue", -1);
  EXPECT_EQ(Call(sw().set, Enable(true)).error_code(), 1704);
  EXPECT_THAT(fake::Logs(), ElementsAre(::testing::EndsWith(
                                " Failed to set " + std::string(sw().key) + " in kivoinfo.conf.")));
  EXPECT_THAT(fake::Actions(),
              ElementsAre("KLIBCINFOSetKeyValue(" + std::string(sw().key) + ", yes)"));
  Stored("no");
  fake::SetResult("KLIBServiceRestart", -1);
  EXPECT_TRUE(Call(sw().set, Enable(true)).success());
  EXPECT_TRUE(fake::Logged("Call KLIBNetService() error"));
  EXPECT_TRUE(fake::Logged("Failed to reload WEBDAV"));
  EXPECT_THAT(fake::CallsOf("KLIBServiceRestart"),
              ElementsAre("KLIBServiceRestart(avahi)", "KLIBServiceRestart(webdav-httpd-pure)"));
}

INSTANTIATE_TEST_SUITE_P(Switches, CalDAVSwitchTest, ::testing::Values(&kCalDAV, &kCardDAV),
                         [](const auto& info) { return std::string(info.param->label); });

}  // namespace
