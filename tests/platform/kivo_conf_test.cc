// kivoinfo.conf writes and reads: the file afterwards, readers, the journal.

#include <gmock/gmock.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>

#include "kivo/kivo_platform.h"
#include "tests/platform/temp_root.h"

using ::testing::UnorderedElementsAre;

namespace {

constexpr char kConf[] = "etc/kivoinfo.conf";

class KivoConfTest : public TempRootTest {};

// Other lines and the mode stay (new files: 0644), no temporary file is left;
// what the format cannot hold is refused without a trace.
TEST_F(KivoConfTest, WriteReplacesOrAppendsOneLineOrRefuses) {
  // The file before (null: none), its mode, the key and value, the file after.
  const std::tuple<const char*, mode_t, const char*, const char*, const char*> cases[] = {
      {"# kept\nWebDavPort=\"5005\"\nodd line\nrunCalDav=\"no\"\n", 0600, "WebDavPort", "8080",
       "# kept\nWebDavPort=\"8080\"\nodd line\nrunCalDav=\"no\"\n"},
      {"# kept\nodd line\n", 0644, "newkey", "v", "# kept\nodd line\nnewkey=\"v\"\n"},
      {"a=\"1\"", 0640, "b", "2", "a=\"1\"\nb=\"2\"\n"},
      {nullptr, 0644, "runCalDav", "yes", "runCalDav=\"yes\"\n"}};
  size_t writes = 0;
  for (const auto& [before, mode, key, value, after] : cases) {
    unlink(Path(kConf).c_str());
    if (before != nullptr) Write(kConf, before);
    chmod(Path(kConf).c_str(), mode);
    ASSERT_EQ(KLIBCINFOSetKeyValue(key, value), 0) << key;
    EXPECT_EQ(Read(kConf), after);
    EXPECT_EQ(std::filesystem::status(Path(kConf)).permissions(), std::filesystem::perms(mode));
    EXPECT_THAT(List("etc"), UnorderedElementsAre("kivoinfo.conf", ".kivoinfo.conf.lock"));
    ASSERT_EQ(Journal().size(), ++writes);
    EXPECT_EQ(Journal().back(),
              std::string(R"({"key":")") + key + R"(","op":"conf.set","value":")" + value + "\"}");
  }
  const std::pair<const char*, const char*> refused[] = {{"", "v"},           {"k\n", "v"},
                                                         {"k", "v\nx=\"y\""}, {"k", "say \"hi\""},
                                                         {"k\"", "v"},        {"k=j", "v"}};
  for (const auto& [k, v] : refused) EXPECT_EQ(KLIBCINFOSetKeyValue(k, v), -1) << k << " / " << v;
  EXPECT_EQ(Read(kConf), "runCalDav=\"yes\"\n");
  EXPECT_EQ(Journal().size(), writes);
}

// The first line of a key counts; readers see writes, earlier answers stay valid.
TEST_F(KivoConfTest, ReaderParsesLinesAndSeesWrites) {
  KivoConf conf;
  EXPECT_STREQ(conf.Info("WebDavPort", "5005"), "5005");  // no file yet
  Write(kConf,
        "# comment=\"no\"\nrunCalDav=\"no\"\nempty=\"\"\nspaced = \"a b\"\nbare=plain\n"
        "runCalDav=\"second\"\njunk line\n");
  const std::pair<const char*, const char*> cases[] = {
      {"runCalDav", "no"}, {"empty", ""}, {"spaced", "a b"}, {"bare", "plain"}, {"# comment", "d"},
  };
  for (const auto& [key, value] : cases) EXPECT_STREQ(conf.Info(key, "d"), value) << key;
  const char* before = conf.Info("runCalDav", "");
  ASSERT_EQ(KLIBCINFOSetKeyValue("runCalDav", "yes"), 0);
  EXPECT_STREQ(conf.Info("runCalDav", ""), "yes");
  EXPECT_STREQ(before, "no");
  unlink(Path(kConf).c_str());
  EXPECT_STREQ(conf.Info("runCalDav", "gone"), "gone");
}

TEST_F(KivoConfTest, ConcurrentWritersLoseNoUpdate) {
  constexpr int kWriters = 4, kKeysEach = 15;
  const auto key = [](int k) { return "k" + std::to_string(k); };
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    children.push_back(fork());
    ASSERT_GE(children.back(), 0);
    if (children.back() > 0) continue;
    for (int k = w * kKeysEach; k < (w + 1) * kKeysEach; ++k)
      KLIBCINFOSetKeyValue(key(k).c_str(), "v");
    _exit(0);  // a failed write shows as a lost key
  }
  for (pid_t pid : children) ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  KivoConf conf;
  for (int k = 0; k < kWriters * kKeysEach; ++k)
    EXPECT_STREQ(conf.Info(key(k).c_str(), "lost"), "v");
  EXPECT_EQ(Journal().size(), static_cast<size_t>(kWriters * kKeysEach));
}

}  // namespace
