// Read snapshots: one look at each kept file while one lives on a thread,
// fresh looks once it ends, and nothing seen on other threads.

#include <gtest/gtest.h>

#include <future>

#include "kivo/kivo_platform.h"
#include "tests/platform/temp_root.h"

namespace {

constexpr char kConf[] = "etc/kivoinfo.conf";
constexpr char kServices[] = "var/lib/kivo/services.json";

class ReadSnapshotTest : public TempRootTest {
 protected:
  // Both files changed in place within the same second: only a new look at
  // the file can tell.
  void Change(const char* port, int run) {
    Write(kConf, std::string("WebDavPort=\"") + port + "\"\n");
    Write(kServices, R"({"pure": {"run": )" + std::to_string(run) + "}}");
  }
};

TEST_F(ReadSnapshotTest, AnswersComeFromTheFirstLookUntilTheOutermostEnds) {
  Change("5005", 1);
  Age(kServices);  // kept between snapshots as well: the end must still be seen
  KivoConf conf;
  {
    const KivoReadSnapshot snapshot;
    EXPECT_STREQ(conf.Info("WebDavPort", ""), "5005");
    EXPECT_EQ(KLIBServiceIsEnabled("pure"), 1);
    Change("8080", 2);
    {
      const KivoReadSnapshot nested;
      EXPECT_STREQ(conf.Info("WebDavPort", ""), "5005");
    }
    EXPECT_STREQ(conf.Info("WebDavPort", ""), "5005");
    EXPECT_EQ(KLIBServiceIsEnabled("pure"), 1);
    EXPECT_STREQ(conf.Info("absent", "d"), "d");
  }
  EXPECT_STREQ(conf.Info("WebDavPort", ""), "8080");
  EXPECT_EQ(KLIBServiceIsEnabled("pure"), 0);

  // A file missing at the first look stays missing; a new snapshot looks again.
  unlink(Path(kConf).c_str());
  {
    const KivoReadSnapshot snapshot;
    EXPECT_STREQ(conf.Info("WebDavPort", "none"), "none");
    Change("9090", 1);
    EXPECT_STREQ(conf.Info("WebDavPort", "none"), "none");
  }
  const KivoReadSnapshot again;
  EXPECT_STREQ(conf.Info("WebDavPort", "none"), "9090");
  EXPECT_EQ(KLIBServiceIsEnabled("pure"), 1);
}

TEST_F(ReadSnapshotTest, AnotherThreadsSnapshotIsNotThisOnes) {
  Change("5005", 1);
  std::promise<void> read_once, changed;
  std::future<bool> seen = std::async(std::launch::async, [&] {
    const KivoReadSnapshot snapshot;
    KivoConf conf;
    const bool first =
        std::string(conf.Info("WebDavPort", "")) == "5005" && KLIBServiceIsEnabled("pure") == 1;
    read_once.set_value();
    changed.get_future().wait();
    return first && std::string(conf.Info("WebDavPort", "")) == "5005" &&
           KLIBServiceIsEnabled("pure") == 1;
  });
  read_once.get_future().wait();
  Change("8080", 2);
  KivoConf conf;
  EXPECT_STREQ(conf.Info("WebDavPort", ""), "8080");
  EXPECT_EQ(KLIBServiceIsEnabled("pure"), 0);
  changed.set_value();
  EXPECT_TRUE(seen.get());
}

}  // namespace
