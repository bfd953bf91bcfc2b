// The order in which the platform's files are replaced, seen through the LD_PRELOAD shim: write
// a temporary, fsync, rename, fsync the folder; each step failed in turn leaves the file whole
// (old, or new once renamed), the failure reported and no temporary left. And a settings change
// killed under the shim at each of its writes, fsyncs and renames ends whole: after `init` or the
// next call, the root is as a whole run leaves it, or as it was before.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/shim.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

struct Replacement {
  const char* name;
  const char* file;  // below the root
  // Brings a fresh root to the state before the replacement.
  std::function<void(const TestRoot&)> prepare;
  // The command that replaces the file: its arguments and stdin.
  std::function<std::vector<std::string>(const TestRoot&)> command;
  std::string input;
  // Whether the command fails when the file cannot be replaced (a service's state: it goes on).
  bool fails_with_it = true;
  // A folder below the root the command syncs beside the file, before the rename ("" for none).
  const char* synced_before_rename = "";
};

void PrintTo(const Replacement& r, std::ostream* os) { *os << r.name; }

Json::Value InPublic(const TestRoot& root, const std::string& name) {
  return CalendarParams("public", "public", root.Path("/volume1/public"), name);
}

const Replacement kReplacements[] = {
    {"registry", "/usr/kivo/etc/calendar.info",
     [](const TestRoot& root) {
       ASSERT_EQ(root.Call(kCalendar, "create", Compact(InPublic(root, "First"))).status, 0);
     },
     [](const TestRoot& root) -> std::vector<std::string> {
       return {
           "call", "--user", "admin", kCalendar, "1", "create", Compact(InPublic(root, "Second"))};
     },
     "", true, "/volume1/public"},
    {"kivoinfo.conf", "/etc/kivoinfo.conf", [](const TestRoot&) {},
     [](const TestRoot&) -> std::vector<std::string> {
       return {"call", "--user", "admin", kCalDAV, "1", "set", R"({"enable":true})"};
     },
     ""},
    {"services.json", "/var/lib/kivo/services.json", [](const TestRoot&) {},
     [](const TestRoot&) -> std::vector<std::string> {
       return {"call", "--user", "admin", kCalDAV, "1", "set", R"({"enable":true})"};
     },
     "", false},
    {"shadow by passwd", "/etc/shadow",
     [](const TestRoot& root) { ASSERT_TRUE(root.AddUser("alice")); },
     [](const TestRoot&) -> std::vector<std::string> {
       return {"passwd", "alice"};
     },
     "alice-secret\n"},
    {"passwd by useradd", "/etc/passwd", [](const TestRoot&) {},
     [](const TestRoot&) -> std::vector<std::string> {
       return {"useradd", "bob"};
     },
     ""},
    {"group by useradd", "/etc/group", [](const TestRoot&) {},
     [](const TestRoot&) -> std::vector<std::string> {
       return {"useradd", "bob", "--admin"};
     },
     ""},
};

// One replaced file's calls in the record, as indexes into it. Only calls of one thread are
// compared by index, and only within one record: a sync run beside the writer lands anywhere.
struct Order {
  std::vector<size_t> writes;
  size_t file_sync = 0, rename = 0, folder_sync = 0;
  bool complete = false;
};

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The first replacement of `target`: its temporary is what is renamed onto it.
Order OrderOf(const std::vector<ShimCall>& calls, const std::string& target) {
  Order order;
  size_t r = 0;
  while (r < calls.size() && !(calls[r].kind == "rename" && calls[r].second == target)) ++r;
  if (r == calls.size()) return order;
  order.rename = r;
  const std::string temporary = calls[r].path;
  bool synced = false;
  for (size_t i = 0; i < r; ++i) {
    if (calls[i].path != temporary) continue;
    if (calls[i].kind == "write") {
      order.writes.push_back(i);
      synced = false;  // a write after a sync needs another
    } else if (calls[i].kind == "fsync" && !order.writes.empty()) {
      order.file_sync = i;
      synced = true;
    }
  }
  size_t f = r + 1;
  while (f < calls.size() && !(calls[f].kind == "fsync" && calls[f].path == Folder(target))) ++f;
  order.folder_sync = f;
  order.complete = !order.writes.empty() && synced && f < calls.size();
  return order;
}

// The content without what differs between roots and runs: the root's path, salted hashes.
std::string Comparable(std::string content, const std::string& root) {
  for (size_t at; (at = content.find(root)) != std::string::npos;)
    content.replace(at, root.size(), "<root>");
  return std::regex_replace(content, std::regex(R"(\$[0-9a-z]+\$[^:\n]*)"), "<hash>");
}

class ReplaceOrderTest : public ::testing::TestWithParam<Replacement> {
 protected:
  // A fresh root in the state before the replacement; the command under the shim, failing `fail`.
  Result RunReplacement(const TestRoot& root, const std::string& fail, std::string* old) {
    const Replacement& r = GetParam();
    r.prepare(root);
    *old = Read(root.Path(r.file));
    std::vector<std::string> extra = {"KIVO_SHIM_TARGET=" + root.Path(r.file)};
    if (!fail.empty()) extra.push_back("KIVO_SHIM_FAIL=" + fail);
    return root.WebApi(r.command(root), r.input, ShimEnv(root.path(), extra));
  }

  // Names in the file's folder that are neither the file nor its lock.
  std::vector<std::string> Leftovers(const TestRoot& root) {
    const std::string target = root.Path(GetParam().file);
    const std::string base = target.substr(target.rfind('/') + 1);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(Folder(target))) {
      const std::string name = entry.path().filename();
      if (name.find(base) != std::string::npos && name != base && name != "." + base + ".lock")
        left.push_back(name);
    }
    return left;
  }
};

TEST_P(ReplaceOrderTest, WriteSyncRenameSyncAndEachFailureLeavesTheFileWhole) {
  const Replacement& r = GetParam();
  struct Step {
    const char* step;
    ShimCall call;  // its paths made alike in every root (ShimGlob)
    std::string selector;
    bool renamed;
  };
  std::vector<Step> steps;
  std::string new_content;
  {
    TestRoot root;
    ASSERT_TRUE(root.ok()) << root.init_result().err;
    std::string old;
    const Result done = RunReplacement(root, "", &old);
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    const std::vector<ShimCall> calls = ShimRecord(root.path());
    const Order order = OrderOf(calls, root.Path(r.file));
    std::string text;
    for (const ShimCall& c : calls) text += c.kind + " " + c.path + " " + c.second + "\n";
    ASSERT_TRUE(order.complete) << "write, fsync of the file, rename, fsync of the folder:\n"
                                << text;
    if (*r.synced_before_rename != '\0') {
      // Joined before the rename: a power cut never leaves a record of a folder not yet synced.
      const std::string synced = root.Path(r.synced_before_rename);
      size_t at = 0;
      while (at < order.rename && !(calls[at].kind == "fsync" && calls[at].path == synced)) ++at;
      EXPECT_LT(at, order.rename) << "no fsync of " << synced << " before the rename:\n" << text;
    }
    // As the first replacement left it.
    new_content = Comparable(Read(root.path() + "/.shim-record.snapshot"), root.path());
    ASSERT_NE(new_content, Comparable(old, root.path()));
    const auto step = [&](const char* name, size_t index, bool renamed) {
      const ShimCall c = calls[index];
      return Step{name,
                  {c.kind, ShimGlob(c.path, root.path()), ShimGlob(c.second, root.path()), ""},
                  ShimSelector(calls, index, root.path()),
                  renamed};
    };
    steps = {step("write", order.writes.front(), false),
             step("fsync of the file", order.file_sync, false), step("rename", order.rename, false),
             step("fsync of the folder", order.folder_sync, true)};
  }
  for (const Step& step : steps) {
    SCOPED_TRACE(step.step);
    TestRoot root;
    ASSERT_TRUE(root.ok()) << root.init_result().err;
    std::string old;
    const Result failed = RunReplacement(root, step.selector, &old);
    // The call failed is the one named, whatever ran beside it.
    std::vector<ShimCall> failures;
    for (const ShimCall& c : ShimRecord(root.path()))
      if (c.flag == "FAILED") failures.push_back(c);
    ASSERT_EQ(failures.size(), 1u) << step.selector;
    EXPECT_EQ(failures[0].kind, step.call.kind);
    EXPECT_EQ(ShimGlob(failures[0].path, root.path()), step.call.path);
    EXPECT_EQ(ShimGlob(failures[0].second, root.path()), step.call.second);

    EXPECT_THAT(failed.err, HasSubstr("Input/output error")) << "not reported";
    const std::string now = Read(root.path() + "/.shim-record.snapshot");
    if (step.renamed) {
      EXPECT_THAT(Comparable(now, root.path()),
                  ::testing::AnyOf(Comparable(old, root.path()), new_content));
    } else {
      if (r.fails_with_it) {
        EXPECT_NE(failed.status, 0) << failed.out;
      }
      EXPECT_EQ(now, old);
    }
    EXPECT_THAT(Leftovers(root), ::testing::IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ReplaceOrderTest, ::testing::ValuesIn(kReplacements),
                         [](const ::testing::TestParamInfo<Replacement>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != '\0'; ++c)
                             name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                           return name;
                         });

// ---- settings changes killed at every step ---------------------------------------

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
    return root.WebApi(
        {"call", "--user", "admin", c.api, "1", "set", c.params}, "",
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
      const Result next =
          points % 2 == 0 ? root.WebApi({"init"}) : root.Call(GetParam().api, "get");
      EXPECT_EQ(next.status, 0) << next.out << next.err;
      const std::string left = Settings(root);
      EXPECT_THAT(left, ::testing::AnyOf(before, after));
      finished += left == after;
      EXPECT_FALSE(Exists(root.Path("/var/lib/kivo/changes-under-way.json")));
    }
  }
  // Only a kill before the record is whole leaves the old settings.
  EXPECT_GE(finished, points - 4) << finished << " of " << points;
}

// A call the previous version left recorded in settings-under-way.json, with the files as they
// were before it, is run again whole at the host's start.
TEST_P(SettingsRecoveryTest, ACallThePreviousVersionLeftRecordedEndsWholeAtStart) {
  TestRoot root;
  ASSERT_TRUE(root.ok());
  Json::Value old(Json::objectValue);
  old["api"] = GetParam().api;
  old["version"] = 1;
  old["method"] = "set";
  old["account"] = "admin";
  old["params"] = ParseJson(GetParam().params);
  for (const char* file : {"/etc/kivoinfo.conf", "/var/lib/kivo/services.json"}) {
    old["before"][file] = Read(root.Path(file));
  }
  const std::string before = Settings(root);
  const std::string record = root.Path("/var/lib/kivo/settings-under-way.json");
  ASSERT_TRUE(WriteFile(record, Json::FastWriter().write(old)));
  ASSERT_EQ(chmod(record.c_str(), 0600), 0);
  const Result init = root.WebApi({"init"});
  EXPECT_EQ(init.status, 0) << init.err;
  EXPECT_NE(Settings(root), before);
  EXPECT_FALSE(Exists(record));
  EXPECT_FALSE(Exists(root.Path("/var/lib/kivo/changes-under-way.json")));
}

INSTANTIATE_TEST_SUITE_P(Changes, SettingsRecoveryTest, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
