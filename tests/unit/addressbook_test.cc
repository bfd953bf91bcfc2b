// Address books beside calendars: each kind keeps its own registry, record and folder marks, an id
// of one kind never names a collection of the other, and a folder of the other kind is never taken
// for one's own. (What the two kinds share is run for both by the calendar tests' KindTest.)

#include <sys/xattr.h>

#include <map>

#include "tests/unit/calendar_fixture.h"

namespace calendar_test {
namespace {

Json::Value Ids(const std::string& id) {
  Json::Value params(Json::objectValue);
  params["id"].append(id);
  return params;
}

class AddressBookTest : public CalendarTest {
 protected:
  // A collection of `kind` named `name` in docs, made through its own create.
  void Make(const Kind& kind, const std::string& name) {
    g_kind = &kind;
    ASSERT_TRUE(Call(kind.create, CreateParams("docs", name, docs_, "docs")).success()) << name;
    g_kind = &kCalendarKind;
  }
  // What `kind`'s list answers: id -> status.
  std::map<std::string, std::string> List(const Kind& kind) {
    std::map<std::string, std::string> listed;
    const KIVO::APIResponse response = Call(kind.list);
    for (const Json::Value& item : response.data()["item"]) {
      listed[item["id"].asString()] = item["status"].asString();
    }
    return listed;
  }
  bool Marked(const std::string& folder, const Kind& kind) {
    return getxattr(folder.c_str(), kind.kind->attribute, nullptr, 0) >= 0;
  }
  void TearDown() override {
    g_kind = &kCalendarKind;
    CalendarTest::TearDown();
  }
};

TEST_F(AddressBookTest, EachKindKeepsItsOwnRegistryRecordAndMarks) {
  Make(kCalendarKind, "Cal");
  Make(kAddressBookKind, "Book");
  EXPECT_EQ(ReadFile(Path("usr/kivo/etc/calendar.info")),
            "[\n\t{\n\t\t\"calendarname\" : \"Cal\",\n\t\t\"destination\" : \"docs\",\n\t\t"
            "\"share\" : \"docs\"\n\t}\n]\n");
  EXPECT_EQ(ReadFile(Path("usr/kivo/etc/addressbook.info")),
            "[\n\t{\n\t\t\"addressbookname\" : \"Book\",\n\t\t\"destination\" : \"docs\",\n\t\t"
            "\"share\" : \"docs\"\n\t}\n]\n");
  EXPECT_THAT(ReadFile(Path(kCalendarKind.ids)),
              ::testing::MatchesRegex("[0-9a-f]{32} Cal:docs\n"));
  EXPECT_THAT(ReadFile(Path(kAddressBookKind.ids)),
              ::testing::MatchesRegex("[0-9a-f]{32} Book:docs\n"));
  EXPECT_TRUE(Marked(docs_ + "/Cal", kCalendarKind));
  EXPECT_FALSE(Marked(docs_ + "/Cal", kAddressBookKind));
  EXPECT_TRUE(Marked(docs_ + "/Book", kAddressBookKind));
  EXPECT_FALSE(Marked(docs_ + "/Book", kCalendarKind));
  EXPECT_EQ(StatOf(Path("usr/kivo/etc/addressbook.info")).st_mode & 07777, 0644u);
  EXPECT_EQ(StatOf(Path(kAddressBookKind.ids)).st_mode & 07777, 0600u);
}

// An id names a collection of its own kind only: the other kind's delete matches nothing, its set
// finds nothing, its list shows nothing, whichever way round.
TEST_F(AddressBookTest, AnIdNeverNamesACollectionOfTheOtherKind) {
  Make(kCalendarKind, "Cal");
  Make(kAddressBookKind, "Book");
  const std::string registries[] = {ReadFile(Path(kCalendarKind.registry)),
                                    ReadFile(Path(kAddressBookKind.registry))};
  const struct {
    const Kind* asking;
    const char* other_id;
    const char* own_id;
  } cases[] = {{&kAddressBookKind, "Cal:docs", "Book:docs"},
               {&kCalendarKind, "Book:docs", "Cal:docs"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asking->label);
    EXPECT_EQ(List(*c.asking), (std::map<std::string, std::string>{{c.own_id, "normal"}}));
    EXPECT_TRUE(Call(c.asking->remove, Ids(c.other_id)).success());
    g_kind = c.asking;
    Json::Value edit = CreateParams("docs", "Moved", docs_, "docs");
    g_kind = &kCalendarKind;
    edit["id"] = c.other_id;
    EXPECT_EQ(Call(c.asking->set, edit).error_code(), 1705);
    EXPECT_FALSE(Exists(docs_ + "/Moved"));
    EXPECT_TRUE(Exists(docs_ + "/Cal/.DAV/.state_for_dir.pag"));
    EXPECT_TRUE(Exists(docs_ + "/Book/.DAV/.state_for_dir.pag"));
    EXPECT_EQ(ReadFile(Path(kCalendarKind.registry)), registries[0]);
    EXPECT_EQ(ReadFile(Path(kAddressBookKind.registry)), registries[1]);
  }
}

// An entry of one kind that names the other kind's folder (an entry from before tokens, or one
// written by hand) is never adopted: listed "crashed", neither removed nor moved.
TEST_F(AddressBookTest, AFolderOfTheOtherKindIsNeverTakenForOne) {
  const struct {
    const Kind* made;
    const Kind* claiming;
  } cases[] = {{&kCalendarKind, &kAddressBookKind}, {&kAddressBookKind, &kCalendarKind}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.claiming->label);
    std::filesystem::remove_all(docs_ + "/Col");
    for (const Kind* kind : {c.made, c.claiming}) {
      std::filesystem::remove(Path(kind->registry));
      std::filesystem::remove(Path(kind->ids));
    }
    Make(*c.made, "Col");
    g_kind = c.claiming;
    WriteFile(Path(c.claiming->registry), Array({Entry("Col", "docs", "docs")}).toStyledString());
    Json::Value edit = CreateParams("docs", "Moved", docs_, "docs");
    g_kind = &kCalendarKind;
    edit["id"] = "Col:docs";
    EXPECT_EQ(List(*c.claiming), (std::map<std::string, std::string>{{"Col:docs", "crashed"}}));
    EXPECT_EQ(Call(c.claiming->set, edit).error_code(), 1704);
    EXPECT_EQ(Call(c.claiming->remove, Ids("Col:docs")).error_code(), 1704);
    EXPECT_TRUE(Exists(docs_ + "/Col/.DAV/.state_for_dir.pag"));
    EXPECT_FALSE(Exists(docs_ + "/Moved"));
    EXPECT_FALSE(Marked(docs_ + "/Col", *c.claiming));
  }
}

}  // namespace
}  // namespace calendar_test
