// Service control, events, user log, firewall: the state file and the journal.

#include <gmock/gmock.h>
#include <syslog.h>

#include <algorithm>

#include "kivo/kivo_platform.h"
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
  KLIBCSZHASH* table = KLIBCSzHashAlloc(1);  // fewer places than pairs
  ASSERT_NE(table, nullptr);
  const char* pairs[][2] = {{"service", "webdav"}, {"action", "stop"}, {"action", "start"}};
  for (const auto& pair : pairs) EXPECT_EQ(KLIBCSzHashSetValue(&table, pair[0], pair[1]), 0);
  EXPECT_EQ(KLIBSyseventEmit("kivo.service.action", table, 1), 0);
  KLIBCSzHashFree(table);
  EXPECT_THAT(
      Journal(),
      ElementsAre(
          R"({"op":"service.start","service":"webdav-httpd-pure"})",
          R"({"op":"service.runkey","service":"webdav-httpd-pure","value":1})",
          R"({"op":"service.restart","service":"avahi"})",
          R"({"op":"service.stop","service":"webdav-httpd-ssl"})",
          R"({"op":"service.reload","service":"webdav-httpd-pure"})",
          R"({"op":"service.restart","service":"webdavs-avahi"})",
          R"({"op":"service.runkey","service":"avahi","value":2})",
          R"({"id":"0x11B00878","op":"userlog","user":"admin"})", R"({"op":"firewall.reload"})",
          R"({"id":"0x000000AB","op":"userlog","user":"alice"})",
          R"({"action":"start","name":"kivo.service.action","op":"event","service":"webdav"})"));
  EXPECT_EQ(Parse(Read(kServices)), Parse(R"({"avahi": {"run": 2, "running": true},
      "webdav-httpd-pure": {"run": 1, "running": true}, "webdav-httpd-ssl": {"running": false},
      "webdavs-avahi": {"running": true}})"));
  EXPECT_THAT(List("var/lib/kivo"), UnorderedElementsAre("services.json", ".services.json.lock"));
}

TEST_F(ServicesTest, EnabledExactlyWhenRunIsOne) {
  Write(kServices, R"({"one": {"run": 1}, "two": {"run": 2}, "text": {"run": "1"},
                       "flag": {"run": true}, "none": {"running": true}, "odd": 1})");
  Age(kServices);  // what is read may be kept; the changes below must still be seen
  EXPECT_EQ(KLIBServiceIsEnabled("one"), 1);
  for (const char* service : {"two", "text", "flag", "none", "odd", "absent", ""}) {
    EXPECT_EQ(KLIBServiceIsEnabled(service), 0) << service;
  }
  ASSERT_EQ(KLIBServicecfgRunKeySet("one", 2), 0);
  EXPECT_EQ(KLIBServiceIsEnabled("one"), 0);
  Age(kServices);
  EXPECT_EQ(KLIBServiceIsEnabled("one"), 0);
  Write(kServices, R"({"one": {"run": 1}})");
  EXPECT_EQ(KLIBServiceIsEnabled("one"), 1);
}

// The kept state and its path belong to one root: moving the root between
// calls on one thread (as tests do) never answers from the other root's file.
TEST_F(ServicesTest, KeptStateFollowsTheRoot) {
  const std::string first = root_, second = Path("second");
  for (const auto& [below, run] : {std::pair<std::string, int>{"", 1}, {"second/", 2}}) {
    Write(below + kServices, R"({"one": {"run": )" + std::to_string(run) + "}}");
    Age(below + kServices);
  }
  const struct {
    const std::string& root;
    int enabled;
  } rounds[] = {{first, 1}, {second, 0}, {first, 1}, {second, 0}};
  for (const auto& r : rounds) {
    setenv("KIVO_ROOT", r.root.c_str(), 1);
    EXPECT_EQ(KLIBServiceIsEnabled("one"), r.enabled) << r.root;
  }
  setenv("KIVO_ROOT", first.c_str(), 1);
}

// No action on a state file it cannot read.
TEST_F(ServicesTest, CorruptStateFailsTheAction) {
  for (const std::string content : {"{not json", "[1, 2]", R"({"avahi": 5})"}) {
    Write(kServices, content);
    EXPECT_LT(KLIBServiceRestart("avahi"), 0) << content;
    EXPECT_EQ(Read(kServices), content);
  }
  EXPECT_THAT(Journal(), IsEmpty());
}

// A journal that takes no line fails only the actions that are their line
// (events, user log, firewall); a change already made succeeds. The broken
// journal is told once, however many actions miss it (through syslog, here
// mirrored on stderr as kivo-webapi mirrors it).
TEST_F(ServicesTest, UnwritableJournalFailsOnlyTheActionsItCarries) {
  Write("var/log/kivo/platform.jsonl/blocker", "");  // a directory where the journal goes
  openlog("services_test", LOG_PERROR, LOG_USER);
  ::testing::internal::CaptureStderr();
  EXPECT_LT(KIVOFwRuleHup(), 0);
  EXPECT_LT(KIVOLogSet1(2, 1, 1, "admin", "", "", ""), 0);
  EXPECT_EQ(KLIBServicectlStart("webdav-httpd-pure", 0), 0);
  EXPECT_EQ(KLIBCINFOSetKeyValue("a", "1"), 0);
  const std::string told = ::testing::internal::GetCapturedStderr();
  openlog("services_test", 0, LOG_USER);
  EXPECT_EQ(Parse(Read(kServices)), Parse(R"({"webdav-httpd-pure": {"running": true}})"));
  EXPECT_EQ(Read("etc/kivoinfo.conf"), "a=\"1\"\n");
  EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
  EXPECT_THAT(told, ::testing::StartsWith("services_test: journal:"));
  EXPECT_THAT(told,
              ::testing::EndsWith(" cannot append to the action journal " +
                                  Path("var/log/kivo/platform.jsonl") + ": Is a directory\n"));
}

}  // namespace
