// A fresh root per calendar test: shares docs (0777) and homes, users alice and bob (admin), the
// registry folder and state template. Run as root; every call must leave the process root and
// its creation mask as they were. Address books follow the calendars' rules: a test of KindTest
// runs for both kinds, its entries, ids, registry and calls those of the kind it runs for.

#ifndef KIVO_TESTS_UNIT_CALENDAR_FIXTURE_H_
#define KIVO_TESTS_UNIT_CALENDAR_FIXTURE_H_

#include <fcntl.h>
#include <gmock/gmock.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "caldav/caldav_calendar.h"
#include "caldav/collection_kind.h"
#include "carddav/carddav.h"
#include "module/api_table.h"
#include "module/entry_frame.h"
#include "tests/support/fake_platform.h"

namespace calendar_test {

constexpr uid_t kAliceUid = 1000;
constexpr uid_t kBobUid = 1001;
constexpr gid_t kUsersGid = 100;
constexpr char kTemplateText[] = "state template\n";

inline std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

// The address books' entry functions, run in the module's frame as the CardDAV module's are.
inline constexpr char kAddressBookUnit[] = "caldav_calendar";
template <void (AddressBookServiceHandler::*kMethod)()>
void AddressBookEntry(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  entry_frame::RunOnce<AddressBookServiceHandler, kMethod, kAddressBookUnit>(request, response);
}

// A kind of collection as the tests drive it.
struct Kind {
  const char* label;
  const caldav::CollectionKind* kind;
  APIEntryFunc list, create, remove, set;
  const char* registry;  // below the root
  const char* ids;       // the identity record, below the root
};

inline const Kind kCalendarKind = {"Calendars",
                                   &caldav::kCalendars,
                                   CalDAVCalendarList,
                                   CalDAVCalendarCreate,
                                   CalDAVCalendarDelete,
                                   CalDAVCalendarSet,
                                   "usr/kivo/etc/calendar.info",
                                   "usr/kivo/etc/calendar.ids"};
inline const Kind kAddressBookKind = {"AddressBooks",
                                      &caldav::kAddressBooks,
                                      AddressBookEntry<&AddressBookServiceHandler::List>,
                                      AddressBookEntry<&AddressBookServiceHandler::Create>,
                                      AddressBookEntry<&AddressBookServiceHandler::Delete>,
                                      AddressBookEntry<&AddressBookServiceHandler::Set>,
                                      "usr/kivo/etc/addressbook.info",
                                      "usr/kivo/etc/addressbook.ids"};

// The kind the helpers below and the fixture's RegistryPath speak of: calendars unless a
// KindTest runs for address books.
inline const Kind* g_kind = &kCalendarKind;

inline std::string KindName(const ::testing::TestParamInfo<const Kind*>& info) {
  return info.param->label;
}

inline Json::Value Entry(const std::string& name, const std::string& destination,
                         const std::string& share) {
  Json::Value entry(Json::objectValue);
  entry[g_kind->kind->name_member] = name;
  entry["destination"] = destination;
  entry["share"] = share;
  return entry;
}

// What a create or set answers for the calendar `entry` names: its id.
inline Json::Value IdAnswer(const Json::Value& entry) {
  Json::Value answer(Json::objectValue);
  answer["id"] =
      entry[g_kind->kind->name_member].asString() + ":" + entry["destination"].asString();
  return answer;
}

inline Json::Value Array(std::initializer_list<Json::Value> items) {
  Json::Value array(Json::arrayValue);
  for (const Json::Value& item : items) array.append(item);
  return array;
}

inline Json::Value CreateParams(const std::string& destination, const std::string& name,
                                const std::string& fullpath, const std::string& share) {
  Json::Value params = Entry(name, destination, share);
  params["fullpath"] = fullpath;
  return params;
}

class CalendarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(geteuid(), 0u) << "calendar tests run as root";
    char dir[] = "/tmp/kivo_calendar_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
    // A non-administrator's create runs as that user: keep the root traversable.
    chmod(root_.c_str(), 0755);
    setenv("KIVO_ROOT", root_.c_str(), 1);
    umask(022);  // as the host keeps it between calls
    for (const char* sub : {"usr", "usr/kivo", "usr/kivo/etc", "usr/kivo/etc.defaults", "volume1",
                            "volume1/docs", "volume1/homes", "volume1/homes/alice", "outside"}) {
      ASSERT_EQ(mkdir(Path(sub).c_str(), 0755), 0) << sub;
    }
    chmod(Path("volume1/docs").c_str(), 0777);
    WriteFile(Path("usr/kivo/etc.defaults/.state_for_dir.pag"), kTemplateText);
    docs_ = Path("volume1/docs");
    homes_ = Path("volume1/homes");
    ResetPlatform();
    descriptors_ = OpenDescriptors();
  }

  // The descriptors this process holds: a call ends with none more (the
  // host runs for months; a descriptor a call leaves open is never closed).
  static int OpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) != -1;
    return count;
  }

  // Forgets every call and script, keeping the shares and users of SetUp.
  void ResetPlatform() {
    fake::Reset();
    fake::P().shares["docs"] = docs_;
    fake::P().shares["homes"] = homes_;
    fake::P().users["alice"] = {kAliceUid, kUsersGid, 0, homes_ + "/alice"};
    fake::P().users["bob"] = {kBobUid, kUsersGid, 1, homes_ + "/bob"};
  }

  void TearDown() override {
    EXPECT_EQ(OpenDescriptors(), descriptors_) << "descriptors left open";
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    unsetenv("KIVO_ROOT");
  }

  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  std::string RegistryPath() const { return Path(g_kind->registry); }

  // Runs one entry function as `user`; checks one answer and root again.
  // The host's standing is an administrator's unless told: what an ordinary
  // account may not create is CreateRuleTest's.
  KIVO::APIResponse Call(APIEntryFunc entry,
                         const Json::Value& params = Json::Value(Json::objectValue),
                         const std::string& user = "alice",
                         KIVO::Standing standing = KIVO::Standing::kAdministrator) {
    KIVO::APIRequest request(user, params, standing);
    KIVO::APIResponse response;
    const mode_t mask = umask(022);
    umask(mask);
    entry(&request, &response);
    EXPECT_EQ(response.answer_count(), 1);
    EXPECT_EQ(geteuid(), 0u);
    EXPECT_EQ(getegid(), 0u);
    const mode_t after = umask(mask);
    EXPECT_EQ(after, mask) << "a call leaves the process's creation mask as it was";
    return response;
  }

  // A complete calendar folder, as a create leaves it.
  void MakeCalendarFolder(const std::string& path) {
    std::filesystem::create_directories(path + "/.DAV");
    WriteFile(path + "/.DAV/.state_for_dir.pag", kTemplateText);
    WriteFile(path + "/.DAV/.state_for_dir.dir", "");
  }

  // Entries of the registry's directory: a temporary left behind is one more.
  long RegistryDirSize() const {
    const std::filesystem::directory_iterator entries(Path("usr/kivo/etc"));
    return std::distance(begin(entries), end(entries));
  }

  std::string root_, docs_, homes_;
  int descriptors_ = 0;
};

// A test run for each kind: calendars, then address books.
class KindTest : public CalendarTest, public ::testing::WithParamInterface<const Kind*> {
 protected:
  void SetUp() override {
    g_kind = GetParam();
    CalendarTest::SetUp();
  }
  void TearDown() override {
    CalendarTest::TearDown();
    g_kind = &kCalendarKind;
  }
  const Kind& kind() const { return *GetParam(); }
};

#define KIND_TEST_SUITE(suite)                                                                 \
  INSTANTIATE_TEST_SUITE_P(Kinds, suite, ::testing::Values(&kCalendarKind, &kAddressBookKind), \
                           KindName)

// A handler driven directly, for the members below the web API methods.
struct DirectHandler {
  explicit DirectHandler(const Json::Value& params = Json::Value(Json::objectValue))
      : request("alice", params, KIVO::Standing::kAdministrator), handler(&request, &response) {}

  // The code a failed call would answer with.
  int ReportedCode() {
    handler.ReportError();
    return response.error_code();
  }

  KIVO::APIRequest request;
  KIVO::APIResponse response;
  CalDAVServiceHandler handler;
};

}  // namespace calendar_test

#endif  // KIVO_TESTS_UNIT_CALENDAR_FIXTURE_H_
