// Service control, events, user log and firewall reloads: the state file
// afterwards and the order of records in the journal.

#include <gmock/gmock.h>

#include "module/kivo_platform.h"
#include "tests/platform/temp_root.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

constexpr char kServices[] = "var/lib/kivo/services.json";

class ServicesTest : public TempRootTest {};

TEST_F(ServicesTest, ActionsUpdateStateAndJournalInOrder) {
  EXPECT_EQ(KLIBServiceIsEnabled("webdav-httpd-pure"), 0);  // no state file yet
  Write(kServices, R"({"avahi": {"run": 1, "running": false}})");
  EXPECT_EQ(KLIBServiceIsEnabled("avahi"), 1);
  EXPECT_EQ(KLIBServicectlStart("webdav-httpd-pure", 0), 0);
  EXPECT_EQ(KLIBServicecfgRunKeySet("webdav-httpd-pure", 1), 0);
  EXPECT_EQ(KLIBServiceRestart("avahi"), 0);
  EXPECT_EQ(KLIBServicectlStop("webdav-httpd-ssl", 0), 0);
  EXPECT_EQ(KLIBServiceReload("webdav-httpd-pure"), 0);
  EXPECT_EQ(KLIBServicectlRestart("webdavs-avahi", 0), 0);
  EXPECT_EQ(KLIBServicecfgRunKeySet("avahi", 2), 0);
  EXPECT_EQ(KIVOLogSet1(2, 1, 0x11B00878, "admin", "", "", ""), 0);
  EXPECT_EQ(KIVOFwRuleHup(), 0);
  EXPECT_EQ(KIVOLogSet1(2, 1, 0xab, "alice", "", "", ""), 0);
  EXPECT_EQ(KLIBServiceIsEnabled("webdav-httpd-pure"), 1);
  EXPECT_EQ(KLIBServiceIsEnabled("avahi"), 0);
  EXPECT_THAT(Journal(),
              ElementsAre(R"({"op":"service.start","service":"webdav-httpd-pure"})",
                          R"({"op":"service.runkey","service":"webdav-httpd-pure","value":1})",
                          R"({"op":"service.restart","service":"avahi"})",
                          R"({"op":"service.stop","service":"webdav-httpd-ssl"})",
                          R"({"op":"service.reload","service":"webdav-httpd-pure"})",
                          R"({"op":"service.restart","service":"webdavs-avahi"})",
                          R"({"op":"service.runkey","service":"avahi","value":2})",
                          R"({"id":"0x11B00878","op":"userlog","user":"admin"})",
                          R"({"op":"firewall.reload"})",
                          R"({"id":"0x000000AB","op":"userlog","user":"alice"})"));
  EXPECT_EQ(Parse(Read(kServices)), Parse(R"({"avahi": {"run": 2, "running": true},
      "webdav-httpd-pure": {"run": 1, "running": true}, "webdav-httpd-ssl": {"running": false},
      "webdavs-avahi": {"running": true}})"));
  EXPECT_THAT(List("var/lib/kivo"), UnorderedElementsAre("services.json", ".services.json.lock"));
}

TEST_F(ServicesTest, EnabledExactlyWhenRunIsOne) {
  Write(kServices, R"({"one": {"run": 1}, "two": {"run": 2}, "text": {"run": "1"},
                       "flag": {"run": true}, "none": {"running": true}, "odd": 1})");
  EXPECT_EQ(KLIBServiceIsEnabled("one"), 1);
  for (const char* service : {"two", "text", "flag", "none", "odd", "absent", ""}) {
    EXPECT_EQ(KLIBServiceIsEnabled(service), 0) << service;
  }
}

TEST_F(ServicesTest, EventCarriesTheTablePairsPastItsCapacity) {
  KLIBCSZHASH* table = KLIBCSzHashAlloc(1);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(KLIBCSzHashSetValue(&table, "service", "webdav"), 0);
  EXPECT_EQ(KLIBCSzHashSetValue(&table, "action", "stop"), 0);
  EXPECT_EQ(KLIBCSzHashSetValue(&table, "action", "start"), 0);  // replaced
  Json::Value expected = Parse(
      R"({"op": "event", "name": "kivo.service.action", "service": "webdav", "action": "start"})");
  for (int i = 0; i < 50; ++i) {
    const std::string key = "k" + std::to_string(i);
    ASSERT_EQ(KLIBCSzHashSetValue(&table, key.c_str(), "v"), 0);
    expected[key] = "v";
  }
  EXPECT_EQ(KLIBSyseventEmit("kivo.service.action", table, 1), 0);
  KLIBCSzHashFree(table);
  KLIBCSzHashFree(nullptr);
  ASSERT_EQ(Journal().size(), 1u);
  EXPECT_EQ(Parse(Journal()[0]), expected);
}

// No action without its journal record, nor on a state file it cannot read.
TEST_F(ServicesTest, UnwritableJournalOrCorruptStateFailsTheAction) {
  EXPECT_EQ(KLIBServicecfgRunKeySet("avahi", 0), -1);
  EXPECT_EQ(KLIBServicecfgRunKeySet("avahi", 3), -1);
  for (const std::string content : {"{not json", "[1, 2]", R"({"avahi": 5})"}) {
    Write(kServices, content);
    EXPECT_LT(KLIBServiceRestart("avahi"), 0) << content;
    EXPECT_EQ(Read(kServices), content);
  }
  EXPECT_THAT(Journal(), IsEmpty());
  unlink(Path(kServices).c_str());
  Write("var/log/kivo/platform.jsonl/blocker", "");  // a directory where the journal goes
  KLIBCSZHASH* table = KLIBCSzHashAlloc(4);
  EXPECT_LT(KLIBSyseventEmit("e", table, 1), 0);
  KLIBCSzHashFree(table);
  EXPECT_LT(KIVOFwRuleHup(), 0);
  EXPECT_LT(KIVOLogSet1(2, 1, 1, "admin", "", "", ""), 0);
  EXPECT_LT(KLIBServicectlStart("webdav-httpd-pure", 0), 0);
  EXPECT_EQ(KLIBCINFOSetKeyValue("a", "1"), -1);
}

}  // namespace
