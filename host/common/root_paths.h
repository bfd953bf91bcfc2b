// Where the host finds a system path inside the root it lays out and serves
// (kivo::Root(): a temporary folder in tests, "" or "/" on a machine).
// Plain string work, callable from any thread.

#ifndef KIVO_HOST_COMMON_ROOT_PATHS_H_
#define KIVO_HOST_COMMON_ROOT_PATHS_H_

#include <string>

namespace host {

// True when the root is the system's own ("" or "/"), whose account files the
// host never edits.
inline bool IsSystemRoot(const std::string& root) {
  return root.find_first_not_of('/') == std::string::npos;
}

// Absolute path of a system path inside the root ("/etc/passwd" -> ...).
inline std::string InRoot(const std::string& root, const std::string& system_path) {
  std::string base = root;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + system_path;
}

}  // namespace host

#endif  // KIVO_HOST_COMMON_ROOT_PATHS_H_
