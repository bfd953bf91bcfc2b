// Bytes and files two layers read differently (NUL and control characters, deep nesting, a
// registry others may write): refused or repaired.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

class HardeningInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("bob"));
    ASSERT_TRUE(root_.AddUser("carol"));
    home_ = root_.Path("/volume1/homes/bob");
  }

  std::string Registry() const { return root_.Path("/usr/kivo/etc/calendar.info"); }

  TestRoot root_;
  std::string home_;
};

// "homes\u0000/carol" once passed the host as bob's folder while the module read "homes": every
// location field and control byte is refused before the module runs.
TEST_F(HardeningInputTest, NulAndControlCharactersInLocationsAreRefused) {
  const std::pair<const char*, const char*> cases[] = {{"share", "\\u0000"},
                                                       {"destination", "\\u0001"},
                                                       {"fullpath", "\\n"},
                                                       {"calendarname", "\\u001f"}};
  for (const auto& [field, bad] : cases) {
    SCOPED_TRACE(std::string(field) + " " + bad);
    std::string text = Compact(CalendarParams("homes", "homes/bob", home_, "Cal"));
    const std::string key = std::string("\"") + field + "\":\"";
    text.insert(text.find(key) + key.size(), bad);
    const Result r = root_.Call(kCalendar, "create", text, "bob");
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr("PARAMS must be a JSON object"));
    EXPECT_FALSE(Exists(home_ + "/Cal"));
    EXPECT_FALSE(Exists(Registry()));
  }
  // In a key as well, and in the delete's ids.
  EXPECT_EQ(root_.Call(kCalendar, "delete", R"({"id\u0000":[]})").status, 2);
  EXPECT_EQ(root_.Call(kCalendar, "delete", R"({"id":["Cal:homes\u0000/carol"]})").status, 2);
}

// A registry nested 10,000 deep once threw through the module; now it is unparsable (1704), and
// a create that cannot register leaves no folder.
TEST_F(HardeningInputTest, DeeplyNestedRegistryAnswers1704) {
  ASSERT_TRUE(WriteFile(Registry(), std::string(10000, '[') + std::string(10000, ']')));
  const Result list = root_.Call(kCalendar, "list");
  EXPECT_EQ(list.status, 1) << list.err;
  EXPECT_EQ(list.answer, Refusal(1704));
  EXPECT_THAT(list.err, HasSubstr("Cannot parse json format from file"));
  EXPECT_THAT(list.err, ::testing::Not(HasSubstr("terminate")));

  const Result create = root_.Call(
      kCalendar, "create", Compact(CalendarParams("homes", "homes/bob", home_, "Cal")), "bob");
  EXPECT_EQ(create.answer, Refusal(1704)) << create.err;
  EXPECT_FALSE(Exists(home_ + "/Cal"));
}

// A user's home create leaves the registry root's and 0644; one others could write is repaired.
TEST_F(HardeningInputTest, RegistryIsNeverWritableByOthers) {
  const Result r = root_.Call(kCalendar, "create",
                              Compact(CalendarParams("homes", "homes/bob", home_, "Cal")), "bob");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  struct stat st = StatOf(Registry());
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(StatOf(home_ + "/Cal/.DAV").st_mode & 07777, 0777u);  // the calendar's own modes

  ASSERT_EQ(chmod(Registry().c_str(), 0666), 0);
  const Result list = root_.Call(kCalendar, "list");
  EXPECT_EQ(list.status, 0);
  EXPECT_THAT(list.err, HasSubstr("was writable by others"));
  EXPECT_EQ(StatOf(Registry()).st_mode & 07777, 0644u);

  // A rewrite keeps the owner and mode it finds.
  ASSERT_EQ(chmod(Registry().c_str(), 0640), 0);
  ASSERT_EQ(root_.Call(kCalendar, "delete", R"({"id":["Cal:homes/bob"]})").status, 0);
  EXPECT_EQ(StatOf(Registry()).st_mode & 07777, 0640u);
  EXPECT_EQ(root_.Registry(), Json::Value(Json::arrayValue));
}

}  // namespace
}  // namespace e2e
