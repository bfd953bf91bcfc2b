// Service control: the state file afterwards, the run setting that counts as
// enabled, and the order of actions in the journal.

#include <gmock/gmock.h>

#include "module/kivo_platform.h"
#include "tests/platform/temp_root.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr char kServices[] = "var/lib/kivo/services.json";

class ServicesTest : public TempRootTest {
 protected:
  Json::Value States() {
    Json::Value states;
    std::istringstream in(Read(kServices));
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &states, nullptr));
    return states;
  }
};

TEST_F(ServicesTest, ActionsUpdateStateAndJournalInOrder) {
  Write(kServices, R"({"avahi": {"run": 1, "running": false}})");
  EXPECT_EQ(KLIBServicectlStart("webdav-httpd-pure", 0), 0);
  EXPECT_EQ(KLIBServicecfgRunKeySet("webdav-httpd-pure", 1), 0);
  EXPECT_EQ(KLIBServiceRestart("avahi"), 0);
  EXPECT_EQ(KLIBServicectlStop("webdav-httpd-ssl", 0), 0);
  EXPECT_EQ(KLIBServiceReload("webdav-httpd-pure"), 0);
  EXPECT_EQ(KLIBServicectlRestart("webdavs-avahi", 0), 0);
  EXPECT_EQ(KLIBServicecfgRunKeySet("webdav-httpd-ssl", 2), 0);

  EXPECT_THAT(Journal(),
              ElementsAre(R"({"op":"service.start","service":"webdav-httpd-pure"})",
                          R"({"op":"service.runkey","service":"webdav-httpd-pure","value":1})",
                          R"({"op":"service.restart","service":"avahi"})",
                          R"({"op":"service.stop","service":"webdav-httpd-ssl"})",
                          R"({"op":"service.reload","service":"webdav-httpd-pure"})",
                          R"({"op":"service.restart","service":"webdavs-avahi"})",
                          R"({"op":"service.runkey","service":"webdav-httpd-ssl","value":2})"));
  Json::Value states = States();
  EXPECT_EQ(states["avahi"]["run"], 1);
  EXPECT_EQ(states["avahi"]["running"], true);
  EXPECT_EQ(states["webdav-httpd-pure"]["run"], 1);
  EXPECT_EQ(states["webdav-httpd-pure"]["running"], true);
  EXPECT_EQ(states["webdav-httpd-ssl"]["run"], 2);
  EXPECT_EQ(states["webdav-httpd-ssl"]["running"], false);
  EXPECT_EQ(states["webdavs-avahi"]["running"], true);
  EXPECT_THAT(List("var/lib/kivo"),
              testing::UnorderedElementsAre("services.json", ".services.json.lock"));
}

TEST_F(ServicesTest, EnabledExactlyWhenRunIsOne) {
  Write(kServices, R"({
    "one": {"run": 1}, "two": {"run": 2}, "text": {"run": "1"}, "flag": {"run": true},
    "none": {"running": true}, "odd": 1})");
  const struct {
    const char* service;
    int enabled;
  } cases[] = {{"one", 1},  {"two", 0}, {"text", 0},   {"flag", 0},
               {"none", 0}, {"odd", 0}, {"absent", 0}, {"", 0}};
  for (const auto& c : cases) EXPECT_EQ(KLIBServiceIsEnabled(c.service), c.enabled) << c.service;
  EXPECT_EQ(KLIBServiceIsEnabled(nullptr), 0);
}

TEST_F(ServicesTest, EnabledFollowsTheStoredRunSetting) {
  EXPECT_EQ(KLIBServiceIsEnabled("webdav-httpd"), 0);  // no state file yet
  ASSERT_EQ(KLIBServicecfgRunKeySet("webdav-httpd", 1), 0);
  EXPECT_EQ(KLIBServiceIsEnabled("webdav-httpd"), 1);
  ASSERT_EQ(KLIBServicecfgRunKeySet("webdav-httpd", 2), 0);
  EXPECT_EQ(KLIBServiceIsEnabled("webdav-httpd"), 0);
}

TEST_F(ServicesTest, RefusesBadArgumentsWithoutActing) {
  EXPECT_EQ(KLIBServicecfgRunKeySet("avahi", 0), -1);
  EXPECT_EQ(KLIBServicecfgRunKeySet("avahi", 3), -1);
  EXPECT_EQ(KLIBServicecfgRunKeySet(nullptr, 1), -1);
  EXPECT_EQ(KLIBServicectlStart(nullptr, 0), -1);
  EXPECT_EQ(KLIBServicectlStop("", 0), -1);
  EXPECT_EQ(KLIBServiceReload(nullptr), -1);
  EXPECT_THAT(Journal(), IsEmpty());
}

TEST_F(ServicesTest, CorruptStateFileFailsAndStaysAsItWas) {
  const std::string corrupt[] = {"{not json", "[1, 2]", R"({"avahi": 5})"};
  for (const std::string& content : corrupt) {
    Write(kServices, content);
    EXPECT_LT(KLIBServiceRestart("avahi"), 0) << content;
    EXPECT_EQ(Read(kServices), content);
  }
  EXPECT_THAT(Journal(), IsEmpty());
}

}  // namespace
