// A fresh root per test: the platform library reads and writes only below
// it (KIVO_ROOT), so tests never touch the machine's own files.

#ifndef KIVO_TESTS_PLATFORM_TEMP_ROOT_H_
#define KIVO_TESTS_PLATFORM_TEMP_ROOT_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

class TempRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kivo-platform-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    setenv("KIVO_ROOT", root_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  // Writes `content` to the root-relative path, making its directories.
  void Write(const std::string& relative, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(Path(relative)).parent_path());
    std::ofstream(Path(relative), std::ios::binary) << content;
  }

  // Dates the file a minute back, so that the platform may keep what it read.
  void Age(const std::string& relative) {
    const struct timespec minute_ago[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Path(relative).c_str(), minute_ago, 0), 0) << relative;
  }

  std::string Read(const std::string& relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Names in a root-relative directory.
  std::vector<std::string> List(const std::string& relative) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Path(relative))) {
      names.push_back(entry.path().filename());
    }
    return names;
  }

  static Json::Value Parse(const std::string& text) {
    Json::Value value;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr)) << text;
    return value;
  }

  // The action journal, one compact object per line, "time" left out.
  std::vector<std::string> Journal() const {
    std::vector<std::string> records;
    std::istringstream lines(Read("var/log/kivo/platform.jsonl"));
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    for (std::string line; std::getline(lines, line);) {
      Json::Value record = Parse(line);
      EXPECT_TRUE(record["time"].isString()) << line;
      record.removeMember("time");
      records.push_back(Json::writeString(writer, record));
    }
    return records;
  }

  std::string root_;
};

#endif  // KIVO_TESTS_PLATFORM_TEMP_ROOT_H_
