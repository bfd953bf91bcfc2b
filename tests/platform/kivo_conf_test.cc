// kivoinfo.conf through KivoConf and KLIBCINFOSetKeyValue: what the file
// holds afterwards, what readers see, and the journal.

#include <gmock/gmock.h>
#include <sys/wait.h>
#include <unistd.h>

#include "module/kivo_platform.h"
#include "tests/platform/temp_root.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

constexpr char kConf[] = "etc/kivoinfo.conf";

class KivoConfTest : public TempRootTest {};

TEST_F(KivoConfTest, MissingFileReadsAsDefaults) {
  KivoConf conf;
  EXPECT_STREQ(conf.Info("WebDavPort", ""), "");
  EXPECT_STREQ(conf.Info("WebDavPort", "5005"), "5005");
  EXPECT_STREQ(conf.Info("WebDavPort", nullptr), "");
  EXPECT_STREQ(conf.Info(nullptr, "d"), "d");
}

TEST_F(KivoConfTest, ReadsKeyValueLines) {
  Write(kConf,
        "# comment=\"no\"\n"
        "runCalDav=\"yes\"\n"
        "empty=\"\"\n"
        "spaced = \"a b\"\n"
        "bare=plain\n"
        "runCalDav=\"second\"\n"
        "junk line\n");
  KivoConf conf;
  EXPECT_STREQ(conf.Info("runCalDav", ""), "yes");  // the first line of a key counts
  EXPECT_STREQ(conf.Info("empty", "d"), "");
  EXPECT_STREQ(conf.Info("spaced", ""), "a b");
  EXPECT_STREQ(conf.Info("bare", ""), "plain");
  EXPECT_STREQ(conf.Info("# comment", "d"), "d");
}

TEST_F(KivoConfTest, ReplaceKeepsEveryOtherLineAsItWas) {
  Write(kConf, "# kept\nWebDavPort=\"5005\"\nodd line\nrunCalDav=\"no\"\n");
  ASSERT_EQ(KLIBCINFOSetKeyValue("WebDavPort", "8080"), 0);
  EXPECT_EQ(Read(kConf), "# kept\nWebDavPort=\"8080\"\nodd line\nrunCalDav=\"no\"\n");
  ASSERT_EQ(KLIBCINFOSetKeyValue("newkey", "v"), 0);
  EXPECT_EQ(Read(kConf), "# kept\nWebDavPort=\"8080\"\nodd line\nrunCalDav=\"no\"\nnewkey=\"v\"\n");
  EXPECT_THAT(Journal(), ElementsAre(R"({"key":"WebDavPort","op":"conf.set","value":"8080"})",
                                     R"({"key":"newkey","op":"conf.set","value":"v"})"));
}

TEST_F(KivoConfTest, AppendsToAFileWithoutFinalNewline) {
  Write(kConf, "a=\"1\"");
  ASSERT_EQ(KLIBCINFOSetKeyValue("b", "2"), 0);
  EXPECT_EQ(Read(kConf), "a=\"1\"\nb=\"2\"\n");
}

TEST_F(KivoConfTest, CreatesAMissingFileAtomically) {
  ASSERT_EQ(KLIBCINFOSetKeyValue("runCalDav", "yes"), 0);
  EXPECT_EQ(Read(kConf), "runCalDav=\"yes\"\n");
  // Only the file and its lock: no temporary file is left behind.
  EXPECT_THAT(List("etc"), UnorderedElementsAre("kivoinfo.conf", ".kivoinfo.conf.lock"));
  struct stat st;
  ASSERT_EQ(stat(Path(kConf).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(KivoConfTest, KeepsTheModeOfTheReplacedFile) {
  Write(kConf, "a=\"1\"\n");
  chmod(Path(kConf).c_str(), 0600);
  ASSERT_EQ(KLIBCINFOSetKeyValue("a", "2"), 0);
  struct stat st;
  ASSERT_EQ(stat(Path(kConf).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(KivoConfTest, ReaderSeesWritesAndKeepsEarlierAnswers) {
  Write(kConf, "runCalDav=\"no\"\n");
  KivoConf conf;
  const char* before = conf.Info("runCalDav", "");
  ASSERT_EQ(KLIBCINFOSetKeyValue("runCalDav", "yes"), 0);
  const char* after = conf.Info("runCalDav", "");
  EXPECT_STREQ(after, "yes");
  EXPECT_STREQ(before, "no");  // still valid while the reader lives
  unlink(Path(kConf).c_str());
  EXPECT_STREQ(conf.Info("runCalDav", "gone"), "gone");
}

TEST_F(KivoConfTest, RefusesWhatTheFormatCannotHold) {
  Write(kConf, "a=\"1\"\n");
  const struct {
    const char* key;
    const char* value;
  } cases[] = {{nullptr, "v"},      {"k", nullptr},      {"", "v"},    {"k\n", "v"},
               {"k", "v\nx=\"y\""}, {"k", "say \"hi\""}, {"k\"", "v"}, {"k=j", "v"}};
  for (const auto& c : cases) {
    EXPECT_EQ(KLIBCINFOSetKeyValue(c.key, c.value), -1)
        << (c.key ? c.key : "(null)") << " / " << (c.value ? c.value : "(null)");
  }
  EXPECT_EQ(Read(kConf), "a=\"1\"\n");
  EXPECT_THAT(Journal(), IsEmpty());
}

TEST_F(KivoConfTest, FailsWhenTheFileCannotBeReplaced) {
  Write("etc", "a file where the directory belongs");
  EXPECT_EQ(KLIBCINFOSetKeyValue("a", "2"), -1);
  EXPECT_EQ(Read("etc"), "a file where the directory belongs");
  EXPECT_THAT(Journal(), IsEmpty());
}

TEST_F(KivoConfTest, FailsWhenTheJournalCannotBeWritten) {
  Write("var/log/kivo/platform.jsonl/blocker", "");  // a directory where the journal goes
  EXPECT_EQ(KLIBCINFOSetKeyValue("a", "1"), -1);
}

TEST_F(KivoConfTest, ConcurrentWritersLoseNoUpdate) {
  constexpr int kWriters = 4;
  constexpr int kKeysEach = 15;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int k = 0; k < kKeysEach; ++k) {
        std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
        failures += KLIBCINFOSetKeyValue(key.c_str(), "v") != 0;
      }
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  KivoConf conf;
  for (int w = 0; w < kWriters; ++w) {
    for (int k = 0; k < kKeysEach; ++k) {
      std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
      EXPECT_STREQ(conf.Info(key.c_str(), "lost"), "v") << key;
    }
  }
  EXPECT_EQ(Journal().size(), static_cast<size_t>(kWriters * kKeysEach));
}

}  // namespace
