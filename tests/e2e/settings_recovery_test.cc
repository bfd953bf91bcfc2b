// A settings change killed under the shim at each of its writes, fsyncs and renames ends whole:
// after `init` or the next call, the root is as a whole run leaves it, or as it was before.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/shim.h"

namespace e2e {
namespace {

struct Change {
  const char* name;
  const char* api;
  const char* params;
};

void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }

const Change kChanges[] = {
    {"webdav", kWebDAV,
     R"({"enable_http": true, "http_port_num": 18085, "enable_https": true,
         "https_port_num": 18086, "anonymouslogin_enable": true,
         "depth_infinity_enable": true})"},
    {"caldav", "KIVO.Core.FileServ.WebDAV.CalDAV", R"({"enable": true})"},
};

// What a settings change leaves: kivoinfo.conf and the services' run settings.
std::string Settings(const TestRoot& root) {
  std::ostringstream out;
  out << Read(root.Path("/etc/kivoinfo.conf")) << "\n";
  const Json::Value services = ParseJson(Read(root.Path("/var/lib/kivo/services.json")));
  for (const std::string& name : services.getMemberNames()) {
    out << name << " run " << services[name]["run"].asInt() << "\n";
  }
  return out.str();
}

class SettingsRecoveryTest : public ::testing::TestWithParam<Change> {
 protected:
  Result Run(const TestRoot& root, const std::string& kill) const {
    const Change& c = GetParam();
    return root.WebApi({"call", "--user", "admin", c.api, "1", "set", c.params}, "",
                       ShimEnv(root.path(), kill.empty() ? std::vector<std::string>{}
                                                         : std::vector<std::string>{"KIVO_SHIM_KILL=" + kill}));
  }
};

TEST_P(SettingsRecoveryTest, AKilledChangeEndsWholeAtTheNextStartOrCall) {
  // A whole run: its calls, and what it leaves.
  TestRoot whole;
  ASSERT_TRUE(whole.ok());
  const std::string before = Settings(whole);
  ASSERT_EQ(Run(whole, "").status, 0);
  const std::string after = Settings(whole);
  ASSERT_NE(before, after);
  std::map<std::string, int> calls;
  for (const std::string& line : ReadLines(whole.Path("/.shim-record"))) {
    ++calls[line.substr(0, line.find(' '))];
  }
  ASSERT_GT(calls["rename"], 1);

  int finished = 0, points = 0;
  for (const auto& kind : calls) {
    for (int n = 1; n <= kind.second; ++n, ++points) {
      const std::string point = kind.first + ":" + std::to_string(n);
      SCOPED_TRACE(point);
      TestRoot root;
      ASSERT_TRUE(root.ok());
      const Result killed = Run(root, point);
      ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;
      // Every other time the host's start comes first, else the next call.
      const Result next = points % 2 == 0 ? root.WebApi({"init"})
                                          : root.Call(GetParam().api, "get");
      EXPECT_EQ(next.status, 0) << next.out << next.err;
      const std::string left = Settings(root);
      EXPECT_THAT(left, ::testing::AnyOf(before, after));
      finished += left == after;
      EXPECT_FALSE(Exists(root.Path("/var/lib/kivo/settings-under-way.json")));
    }
  }
  // Only a kill before the record is whole leaves the old settings.
  EXPECT_GE(finished, points - 4) << finished << " of " << points;
}

INSTANTIATE_TEST_SUITE_P(Changes, SettingsRecoveryTest, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
