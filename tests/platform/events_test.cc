// Events, user log and firewall reloads as journal records; the string
// table's argument checks.

#include <gmock/gmock.h>

#include "module/kivo_platform.h"
#include "tests/platform/temp_root.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class EventsTest : public TempRootTest {};

TEST_F(EventsTest, EventCarriesTheTablePairs) {
  KLIBCSZHASH* table = KLIBCSzHashAlloc(1024);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(KLIBCSzHashSetValue(&table, "service", "webdav"), 0);
  EXPECT_EQ(KLIBCSzHashSetValue(&table, "action", "stop"), 0);
  EXPECT_EQ(KLIBCSzHashSetValue(&table, "action", "start"), 0);  // replaced
  EXPECT_EQ(KLIBSyseventEmit("kivo.service.action", table, 1), 0);
  KLIBCSzHashFree(table);
  KLIBCSzHashFree(nullptr);
  EXPECT_THAT(Journal(), ElementsAre(R"({"action":"start","name":"kivo.service.action",)"
                                     R"("op":"event","service":"webdav"})"));
}

TEST_F(EventsTest, TableGrowsPastItsCapacity) {
  KLIBCSZHASH* table = KLIBCSzHashAlloc(1);
  ASSERT_NE(table, nullptr);
  for (int i = 0; i < 50; ++i) {
    std::string key = "k" + std::to_string(i);
    ASSERT_EQ(KLIBCSzHashSetValue(&table, key.c_str(), "v"), 0);
  }
  ASSERT_EQ(KLIBSyseventEmit("e", table, 0), 0);
  KLIBCSzHashFree(table);
  Json::Value record;
  std::istringstream in(Journal().at(0));
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &record, nullptr));
  EXPECT_EQ(record["k49"], "v");
  EXPECT_EQ(record.size(), 52u);
}

TEST_F(EventsTest, NullArgumentsFail) {
  KLIBCSZHASH* table = KLIBCSzHashAlloc(4);
  KLIBCSZHASH* none = nullptr;
  EXPECT_LT(KLIBCSzHashSetValue(nullptr, "k", "v"), 0);
  EXPECT_LT(KLIBCSzHashSetValue(&none, "k", "v"), 0);
  EXPECT_LT(KLIBCSzHashSetValue(&table, nullptr, "v"), 0);
  EXPECT_LT(KLIBCSzHashSetValue(&table, "k", nullptr), 0);
  EXPECT_LT(KLIBSyseventEmit(nullptr, table, 1), 0);
  EXPECT_LT(KLIBSyseventEmit("e", nullptr, 1), 0);
  EXPECT_EQ(KLIBCSzHashAlloc(-1), nullptr);
  KLIBCSzHashFree(table);
  EXPECT_THAT(Journal(), IsEmpty());
}

TEST_F(EventsTest, UserLogAndFirewallInOrder) {
  EXPECT_EQ(KIVOLogSet1(2, 1, 0x11B00878, "admin", "", "", ""), 0);
  EXPECT_EQ(KIVOFwRuleHup(), 0);
  EXPECT_EQ(KIVOLogSet1(2, 1, 0xab, "alice", "", "", ""), 0);
  EXPECT_THAT(Journal(), ElementsAre(R"({"id":"0x11B00878","op":"userlog","user":"admin"})",
                                     R"({"op":"firewall.reload"})",
                                     R"({"id":"0x000000AB","op":"userlog","user":"alice"})"));
}

TEST_F(EventsTest, UnwritableJournalFailsTheAction) {
  Write("var/log/kivo/platform.jsonl/blocker", "");
  KLIBCSZHASH* table = KLIBCSzHashAlloc(4);
  EXPECT_LT(KLIBSyseventEmit("e", table, 1), 0);
  KLIBCSzHashFree(table);
  EXPECT_LT(KIVOFwRuleHup(), 0);
  EXPECT_LT(KIVOLogSet1(2, 1, 1, "admin", "", "", ""), 0);
  EXPECT_LT(KLIBServicectlStart("avahi", 0), 0);
}

}  // namespace
