// A fresh root per test: the platform library reads and writes only below
// it (KIVO_ROOT), so tests never touch the machine's own files.

#ifndef KIVO_TESTS_PLATFORM_TEMP_ROOT_H_
#define KIVO_TESTS_PLATFORM_TEMP_ROOT_H_

#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
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

  void TearDown() override {
    nftw(
        root_.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }

  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  // Writes `content` to the root-relative path, making its directories.
  void Write(const std::string& relative, const std::string& content) {
    std::string path = Path(relative);
    for (size_t slash = path.find('/', root_.size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      mkdir(path.substr(0, slash).c_str(), 0755);
    }
    std::ofstream(path, std::ios::binary) << content;
  }

  std::string Read(const std::string& relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Names in a root-relative directory, "." and ".." aside.
  std::vector<std::string> List(const std::string& relative) const {
    std::vector<std::string> names;
    DIR* dir = opendir(Path(relative).c_str());
    if (dir == nullptr) return names;
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
  }

  // The action journal, one compact object per line, "time" left out.
  std::vector<std::string> Journal() const {
    std::vector<std::string> records;
    std::istringstream lines(Read("var/log/kivo/platform.jsonl"));
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    for (std::string line; std::getline(lines, line);) {
      Json::Value record;
      std::istringstream in(line);
      if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &record, nullptr)) {
        records.push_back("unparsable: " + line);
        continue;
      }
      EXPECT_TRUE(record["time"].isString()) << line;
      record.removeMember("time");
      records.push_back(Json::writeString(writer, record));
    }
    return records;
  }

  std::string root_;
};

#endif  // KIVO_TESTS_PLATFORM_TEMP_ROOT_H_
