// The shipped module as a host reads it: its table as four words a row, exactly as a host written
// to that layout walks it, and its descriptor beside it, found from where the module was loaded.

#include "host/hosting/module_table.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host/hosting/module_call.h"
#include "kivo/error_codes.h"
#include "tests/platform/temp_root.h"

namespace {

// API, method, the exported entry function the row must name.
struct ShippedRow {
  const char* api;
  const char* method;
  const char* symbol;
};

constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";

const ShippedRow kShipped[] = {
    {kWebDAV, "get", "WebDAVGet"},
    {kWebDAV, "set", "WebDAVSet"},
    {kCalDAV, "get", "CalDAVConfGet"},
    {kCalDAV, "set", "CalDAVConfSet"},
    {kCalendar, "list", "CalDAVCalendarList"},
    {kCalendar, "create", "CalDAVCalendarCreate"},
    {kCalendar, "delete", "CalDAVCalendarDelete"},
    {kCalendar, "set", "CalDAVCalendarSet"},
};

// Reads the exported table through plain words, not through APITableEntry: eight rows of
// (name, version, method, function) and a row of four zero words, the layout hosts rely on.
TEST(ModuleTableLayout, TheExportedTableIsFourWordsARow) {
  void* handle = dlopen(KIVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const auto* words = static_cast<const uintptr_t*>(dlsym(handle, "gTable"));
  ASSERT_NE(words, nullptr);
  using GetTable = const void* (*)();
  const auto get_table = reinterpret_cast<GetTable>(dlsym(handle, "GetAPITable"));
  ASSERT_NE(get_table, nullptr);
  EXPECT_EQ(get_table(), static_cast<const void*>(words));
  for (const ShippedRow& expected : kShipped) {
    SCOPED_TRACE(std::string(expected.api) + " " + expected.method);
    ASSERT_NE(words[0], 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(words[0]), expected.api);
    EXPECT_EQ(words[1], 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(words[2]), expected.method);
    EXPECT_EQ(reinterpret_cast<void*>(words[3]), dlsym(handle, expected.symbol));
    words += 4;
  }
  EXPECT_EQ(words[0] | words[1] | words[2] | words[3], 0u) << "the terminator row";
}

class ModuleDescriptorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kivo-module-table-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    module_ = dir_ + "/KIVO.Core.FileServ.WebDAV.so";
    ASSERT_EQ(symlink(KIVO_MODULE_PATH, module_.c_str()), 0);
  }
  void TearDown() override {
    unlink(module_.c_str());
    unlink(descriptor().c_str());
    rmdir(dir_.c_str());
  }
  std::string descriptor() const { return dir_ + "/KIVO.Core.FileServ.WebDAV.lib"; }
  void WriteDescriptor(const std::string& text) { std::ofstream(descriptor()) << text; }

  std::string dir_, module_;
};

// The shipped descriptor, as the build puts it beside the module: every row named, the
// administrators' rows closed to other accounts, one row listing the page's calendars.
TEST_F(ModuleDescriptorTest, TheShippedDescriptorNamesEveryRow) {
  host::ModuleTable module;
  std::string error;
  ASSERT_TRUE(module.Open(KIVO_MODULE_PATH, &error)) << error;
  ASSERT_EQ(module.rows().size(), sizeof kShipped / sizeof kShipped[0]);
  std::vector<std::string> open_to_users, listing;
  for (const host::ModuleRow& row : module.rows()) {
    EXPECT_NE(row.audience, host::kAPINobody) << row.api << " " << row.method;
    EXPECT_TRUE(row.described) << row.api << " " << row.method << " lists no parameters";
    if (host::MayCall(row, false)) open_to_users.push_back(row.method);
    if (row.Has(host::kAPIListsCalendars)) listing.push_back(row.api + " " + row.method);
  }
  EXPECT_EQ(open_to_users, (std::vector<std::string>{"list", "create"}));
  EXPECT_EQ(listing, (std::vector<std::string>{std::string(kCalendar) + " list"}));
}

// The descriptor is the one beside the module that was loaded, and without a readable one
// nothing is open.
TEST_F(ModuleDescriptorTest, TheDescriptorBesideTheLoadedModuleDecides) {
  const std::string only_get = std::string(R"({")") + kWebDAV + R"(": {"1": {"get": "user"}}})";
  // Descriptor text, then whether WebDAV get and WebDAV set are open to an ordinary account.
  const struct {
    const char* why;
    std::string text;
    bool write, get, set;
  } cases[] = {
      {"none", "", false, false, false},
      {"its own", only_get, true, true, false},
      {"malformed", only_get + ",", true, false, false},
      {"a parameter of an unknown type",
       std::string(R"({")") + kWebDAV +
           R"(": {"1": {"get": {"who": "user", "params": [{"name": "x", "type": "float",
               "required": false, "about": ""}]}}}})",
       true, false, false},
      {"a folder", "", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    unlink(descriptor().c_str());
    if (c.write) WriteDescriptor(c.text);
    if (std::strcmp(c.why, "a folder") == 0) {
      ASSERT_EQ(mkdir(descriptor().c_str(), 0700), 0);
    }
    host::ModuleTable module;
    std::string error;
    ASSERT_TRUE(module.Open(module_, &error)) << error;
    const host::ModuleRow* row = nullptr;
    ASSERT_EQ(module.Find(kWebDAV, 1, "get", &row), host::Match::kFound);
    EXPECT_EQ(host::MayCall(*row, false), c.get);
    ASSERT_EQ(module.Find(kWebDAV, 1, "set", &row), host::Match::kFound);
    EXPECT_FALSE(host::MayCall(*row, false));
    EXPECT_EQ(host::MayCall(*row, true), c.set);
    rmdir(descriptor().c_str());
  }
}

// The words match the handlers: each listed parameter sent with the wrong JSON type, or a
// required one left out (the others valid), is the handler's parameter error, before
// anything of the (empty) root is read or changed.
class ModuleParamsTest : public TempRootTest {};

// For the first module and the CardDAV module, each read with its shipped descriptor.
TEST_F(ModuleParamsTest, EveryListedParameterIsOneItsHandlerChecks) {
  host::ModuleTable module;
  std::string error;
  ASSERT_TRUE(
      module.OpenAll({KIVO_MODULE_PATH, KIVO_SHARE_MODULE_PATH, KIVO_CARDDAV_MODULE_PATH}, &error))
      << error;
  ASSERT_EQ(module.rows().size(), sizeof kShipped / sizeof kShipped[0] + 2 + 6);
  const auto valid = [](const std::string& type) {
    return type == "bool"    ? Json::Value(false)
           : type == "int"   ? Json::Value(5005)
           : type == "array" ? Json::Value(Json::arrayValue)
                             : Json::Value("x");
  };
  const auto wrong = [](const std::string& type) {
    return type == "string" ? Json::Value(1) : Json::Value("1");
  };
  for (const host::ModuleRow& row : module.rows()) {
    EXPECT_TRUE(row.described) << row.api << " " << row.method << " lists no parameters";
    Json::Value params(Json::objectValue);
    for (const host::ModuleParam& param : row.params) {
      if (param.required) params[param.name] = valid(param.type);
    }
    // The required ones, valid, pass the handler's checks: no name is missing from them.
    EXPECT_NE(host::RunModuleCall(row.function, "admin", KIVO::Standing::kAdministrator, params)
                  .error_code,
              WEBAPI_ERR_BAD_PARAMETER)
        << row.api << " " << row.method;
    for (const host::ModuleParam& param : row.params) {
      for (const bool left_out : {false, true}) {
        SCOPED_TRACE(row.api + " " + row.method + " " + param.name + (left_out ? " left out" : ""));
        if (left_out && !param.required) continue;
        Json::Value sent = params;
        if (left_out) {
          sent.removeMember(param.name);
        } else {
          sent[param.name] = wrong(param.type);
        }
        const host::ModuleCallResult result =
            host::RunModuleCall(row.function, "admin", KIVO::Standing::kAdministrator, sent);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.error_code, WEBAPI_ERR_BAD_PARAMETER) << result.answer;
      }
    }
  }
}

// Modules side by side: each row read with its own module's descriptor (the first module's link
// here has none, so its rows stay closed while the second's are open), and an API that two
// modules serve refuses the whole set, whichever order they come in.
TEST_F(ModuleDescriptorTest, ModulesLoadSideBySideButNeverServeOneApiTwice) {
  constexpr char kShare[] = "KIVO.Core.FileServ.WebDAV.Share";
  host::ModuleTable both;
  std::string error;
  ASSERT_TRUE(both.OpenAll({module_, KIVO_SHARE_MODULE_PATH}, &error)) << error;
  const host::ModuleRow* row = nullptr;
  ASSERT_EQ(both.Find(kShare, 1, "set", &row), host::Match::kFound);
  EXPECT_TRUE(host::MayCall(*row, true));
  EXPECT_FALSE(host::MayCall(*row, false));
  ASSERT_EQ(both.Find(kWebDAV, 1, "get", &row), host::Match::kFound);
  EXPECT_FALSE(host::MayCall(*row, true)) << "the first module's descriptor is not beside it";
  EXPECT_EQ(both.Find(kShare, 1, "get", &row), host::Match::kUnknownMethod);

  const std::string twin = dir_ + "/KIVO.Twin.so";
  ASSERT_EQ(symlink(KIVO_MODULE_PATH, twin.c_str()), 0);
  for (const auto& paths : {std::vector<std::string>{module_, KIVO_SHARE_MODULE_PATH, twin},
                            std::vector<std::string>{twin, module_}}) {
    host::ModuleTable clash;
    error.clear();
    EXPECT_FALSE(clash.OpenAll(paths, &error));
    EXPECT_NE(error.find("both serve API KIVO.Core.FileServ.WebDAV"), std::string::npos) << error;
    EXPECT_TRUE(clash.rows().empty());
  }
  unlink(twin.c_str());
}

TEST(ModuleDescriptorPath, TheModulesNameWithLibForSo) {
  EXPECT_EQ(host::DescriptorPathFor("/a/b/M.so"), "/a/b/M.lib");
  EXPECT_EQ(host::DescriptorPathFor("/a.so/M"), "/a.so/M.lib");
  EXPECT_EQ(host::DescriptorPathFor("M.so.so"), "M.so.lib");
}

}  // namespace
