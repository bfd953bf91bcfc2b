// The LD_PRELOAD shim of tests/shim seen from an end-to-end test: the environment that loads it,
// and the record of calls it kept. Header-only (the daemon tests build without the shim).

#ifndef KIVO_TESTS_SUPPORT_SHIM_H_
#define KIVO_TESTS_SUPPORT_SHIM_H_

#include <fnmatch.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/e2e.h"

namespace e2e {

// The shim preloaded, recording calls below `root` in root/.shim-record (none for an empty
// root), with `extra` ("KIVO_SHIM_KILL=..." and the like).
inline std::vector<std::string> ShimEnv(const std::string& root,
                                        const std::vector<std::string>& extra = {}) {
  std::vector<std::string> env = {std::string("LD_PRELOAD=") + KIVO_REPLACE_SHIM};
  if (!root.empty()) {
    env.insert(env.end(), {"KIVO_SHIM_UNDER=" + root, "KIVO_SHIM_LOG=" + root + "/.shim-record"});
  }
  // Under AddressSanitizer the shim comes before its runtime: let it, and keep what it reports.
  const char* asan = getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                ":verify_asan_link_order=0");
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// A line of the record: "kind path second flag" ("-" for none).
struct ShimCall {
  std::string kind, path, second, flag;
};

inline std::vector<ShimCall> ShimRecord(const std::string& root) {
  std::vector<ShimCall> calls;
  for (const std::string& line : ReadLines(root + "/.shim-record")) {
    std::istringstream fields(line);
    ShimCall call;
    fields >> call.kind >> call.path >> call.second >> call.flag;
    calls.push_back(call);
  }
  return calls;
}

// The path below `root` as a glob that matches it in any root, with the names that differ from
// run to run as patterns: a replaced file's temporary (".NAME.XXXXXX"), a move's staging folder
// (".kivo-move-XXXXXXXX").
inline std::string ShimGlob(const std::string& path, const std::string& root) {
  std::string glob = "*";
  std::string::size_type start = path.compare(0, root.size(), root) == 0 ? root.size() : 0;
  while (start < path.size()) {
    std::string::size_type end = path.find('/', start + 1);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);  // with its leading '/'
    std::string::size_type keep = name.size();
    const std::string::size_type dot = name.rfind('.');
    if (name.compare(0, 12, "/.kivo-move-") == 0) {
      keep = 12;
    } else if (name.size() > 9 && name[1] == '.' && dot == name.size() - 7 && dot > 2) {
      keep = dot + 1;
    }
    for (std::string::size_type i = 0; i < keep; ++i) {
      if (std::string("*?[\\").find(name[i]) != std::string::npos) glob += '\\';
      glob += name[i];
    }
    if (keep < name.size()) glob += '*';
    start = end;
  }
  return glob;
}

// "kind:n@glob", as KIVO_SHIM_FAIL and _KILL name a call by what it does: the call at `index`
// of a record made below `root` is the n-th of its kind on its path (a rename's new path). Calls
// on one path come from one thread in every run here, so n holds whatever runs beside them;
// an index into the record would not.
inline std::string ShimSelector(const std::vector<ShimCall>& calls, size_t index,
                                const std::string& root) {
  const auto named = [](const ShimCall& c) { return c.kind == "rename" ? c.second : c.path; };
  const std::string glob = ShimGlob(named(calls[index]), root);
  int n = 0;
  for (size_t i = 0; i <= index; ++i) {
    n += calls[i].kind == calls[index].kind &&
         fnmatch(glob.c_str(), named(calls[i]).c_str(), 0) == 0;
  }
  return calls[index].kind + ":" + std::to_string(n) + "@" + glob;
}

}  // namespace e2e

#endif  // KIVO_TESTS_SUPPORT_SHIM_H_
