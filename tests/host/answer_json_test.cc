// The answer line is compact JSON without the comments a hand-edited value carries.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "host/json_text.h"

namespace {

TEST(AnswerJson, CommentsOfTheDataStayOut) {
  std::istringstream registry(R"(// head
[ // opening
  /* before */ {"calendarname": /* inside */ "Work"}, // after an entry
  {"calendarname": "Play"} // last
] /* tail */)");
  Json::Value calendars;
  Json::Reader reader;  // the registry's reader, which keeps comments
  ASSERT_TRUE(reader.parse(registry, calendars, /*collectComments=*/true));
  ASSERT_TRUE(calendars.hasComment(Json::commentBefore));
  Json::Value answer(Json::objectValue);
  answer["data"]["item"] = calendars;
  answer["success"] = true;
  EXPECT_EQ(
      host::AnswerJson(answer),
      R"({"success":true,"data":{"item":[{"calendarname":"Work"},{"calendarname":"Play"}]}})");
}

}  // namespace
