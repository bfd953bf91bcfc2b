// The share table's one C++ reader against the vectors every reader of the
// file runs (tests/vectors/shares.json; the CalDAV plug-ins run them in
// tests/unit/caldav_plugins_test.py), and the file itself under a root.

#include "base/share_table.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using kivo::base::ShareTable;
using kivo::base::ShareTableRead;

const char* ReadName(ShareTableRead read) {
  switch (read) {
    case ShareTableRead::kRead:
      return "table";
    case ShareTableRead::kMissing:
      return "missing";
    case ShareTableRead::kUnreadable:
      return "unreadable";
    case ShareTableRead::kNotATable:
      return "not a table";
  }
  return "?";
}

TEST(ShareTableTest, ReadsTheVectorsEveryReaderRuns) {
  std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/shares.json");
  Json::Value vectors;
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), file, &vectors, nullptr));
  ASSERT_GT(vectors["cases"].size(), 10u);
  for (const Json::Value& vector : vectors["cases"]) {
    std::string text = vector["text"].asString();
    if (vector.isMember("nest")) {
      const size_t depth = vector["nest"].asUInt();
      text = "{\"deep\": " + std::string(depth, '[') + vector["leaf"].asString() +
             std::string(depth, ']') + ", \"public\": \"/v/p\"}";
    }
    ShareTable shares;
    const ShareTableRead read = kivo::base::ParseShareTable(text, "vector", &shares);
    const std::string why = vector["why"].asString();
    EXPECT_STREQ(ReadName(read), vector["read"].asCString()) << why;
    ShareTable expected;
    for (const std::string& name : vector["shares"].getMemberNames()) {
      expected[name] = vector["shares"][name].asString();
    }
    EXPECT_EQ(shares, expected) << why;
  }
}

TEST(ShareTableTest, ReadsTheRootsFile) {
  char pattern[] = "/tmp/kivo-shares-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  setenv("KIVO_ROOT", root.c_str(), 1);
  ShareTable shares;
  EXPECT_EQ(kivo::base::ReadShareTable(&shares), ShareTableRead::kMissing);
  std::filesystem::create_directories(root + "/etc/kivo");
  std::ofstream(root + "/etc/kivo/shares.json") << R"({"public": "/volume1/public"})";
  EXPECT_EQ(kivo::base::ReadShareTable(&shares), ShareTableRead::kRead);
  EXPECT_EQ(shares, (ShareTable{{"public", "/volume1/public"}}));
  std::filesystem::remove_all(root);
}

}  // namespace
