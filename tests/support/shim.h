// The LD_PRELOAD shim of tests/shim seen from an end-to-end test: the environment that loads it,
// and the record of calls it kept. Header-only (the daemon tests build without the shim).

#ifndef KIVO_TESTS_SUPPORT_SHIM_H_
#define KIVO_TESTS_SUPPORT_SHIM_H_

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

// "kind:n": the n-th call of its kind in the record, as KIVO_SHIM_FAIL and _KILL name it.
inline std::string ShimSelector(const std::vector<ShimCall>& calls, size_t index) {
  int n = 0;
  for (size_t i = 0; i <= index; ++i) n += calls[i].kind == calls[index].kind;
  return calls[index].kind + ":" + std::to_string(n);
}

}  // namespace e2e

#endif  // KIVO_TESTS_SUPPORT_SHIM_H_
