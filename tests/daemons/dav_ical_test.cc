// The WebDAV daemon's check of a file put into a calendar's folder
// (mod_kivo_dav's kivo_dav_ical.c), without Apache: the table both the check
// and the CalDAV plug-ins run (tests/vectors/ical.json), and the bounds.

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>

extern "C" {
#include "daemons/apache/kivo_dav_ical.h"
}

namespace {

int Check(const std::string& text, std::string* why = nullptr) {
  char buffer[320];
  const int result = kd_ical_check(text.data(), text.size(), buffer, sizeof buffer);
  if (why != nullptr) *why = buffer;
  return result;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TEST(DavIcalTest, FilesFollowTheTableTheCalDAVDaemonRuns) {
  std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/ical.json");
  Json::Value table;
  ASSERT_TRUE(Json::Reader().parse(file, table));
  ASSERT_GT(table["cases"].size(), 30u);
  const std::map<std::string, int> results = {
      {"item", KD_ICAL_ITEM}, {"not ical", KD_ICAL_NOT_ICAL}, {"not one", KD_ICAL_NOT_ONE}};
  for (const Json::Value& vector : table["cases"]) {
    SCOPED_TRACE(vector["why"].asString());
    const std::string text =
        vector.isMember("hex") ? FromHex(vector["hex"].asString()) : vector["text"].asString();
    std::string why;
    EXPECT_EQ(Check(text, &why), results.at(vector["result"].asString())) << why;
    // A refusal says why; an item says nothing.
    EXPECT_EQ(why.empty(), vector["result"].asString() == "item") << why;
  }
}

TEST(DavIcalTest, SizesAndReasonsAreBounded) {
  const std::string head = "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:a\r\nX-FILL:",
                    tail = "\r\nDTSTART:20310101\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  // The largest item the CalDAV daemon reads, and one byte more.
  const std::string text =
      head + std::string(KD_ICAL_MAX_BYTES - head.size() - tail.size(), 'x') + tail;
  EXPECT_EQ(Check(text), KD_ICAL_ITEM);
  EXPECT_EQ(Check(text + "\n"), KD_ICAL_TOO_LARGE);
  // Long UIDs that differ only past what is quoted, or only in length.
  const std::string uid(5000, 'u');
  const auto two = [&](const std::string& a, const std::string& b) {
    return "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:" + a +
           "\r\nEND:VEVENT\r\nBEGIN:VEVENT\r\nUID:" + b + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  };
  EXPECT_EQ(Check(two(uid, uid)), KD_ICAL_ITEM);
  EXPECT_EQ(Check(two(uid + "a", uid + "b")), KD_ICAL_NOT_ONE);
  EXPECT_EQ(Check(two(uid, uid + "u")), KD_ICAL_NOT_ONE);
  // Each UID is quoted as it is, up to 60 bytes, never what follows it.
  for (const size_t length : {59, 60, 61}) {
    const std::string a(length, 'a'), b(length, 'b');
    const size_t shown = std::min<size_t>(length, 60);
    std::string why;
    EXPECT_EQ(Check(two(a, b), &why), KD_ICAL_NOT_ONE);
    EXPECT_NE(why.find("(" + a.substr(0, shown) + ", " + b.substr(0, shown) + ")"),
              std::string::npos)
        << length << ": " << why;
  }
  // The reason fits any buffer, cut and terminated; none is written to a buffer of none.
  char small[8];
  EXPECT_EQ(kd_ical_check("x", 1, small, sizeof small), KD_ICAL_NOT_ICAL);
  EXPECT_EQ(std::string(small).size(), sizeof small - 1);
  EXPECT_EQ(kd_ical_check("x", 1, nullptr, 0), KD_ICAL_NOT_ICAL);
}

}  // namespace
