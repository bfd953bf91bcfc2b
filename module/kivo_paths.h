// Where the system's fixed files are.
//
// Every fixed path is written as the system's own absolute path and taken
// through RootedPath(), which puts the build's root (KIVO_ROOT, empty in a
// production build) in front. Development and test builds use their own root
// so that they never touch the real system; test builds may also take the
// root from the environment variable KIVO_ROOT, one fresh root per test.

#ifndef KIVO_MODULE_KIVO_PATHS_H_
#define KIVO_MODULE_KIVO_PATHS_H_

#include <cstdlib>
#include <string>

#ifndef KIVO_ROOT
#define KIVO_ROOT ""
#endif

// The calendar registry.
#define SZF_CALENDAR_INFO "/usr/kivo/etc/calendar.info"
// Template of a calendar folder's WebDAV state.
#define SZF_STATE_TEMPLATE "/usr/kivo/etc.defaults/.state_for_dir.pag"

namespace kivo {

inline std::string Root() {
#ifdef KIVO_ROOT_FROM_ENV
  const char* env = std::getenv("KIVO_ROOT");
  if (env != nullptr && env[0] != '\0') return env;
#endif
  return KIVO_ROOT;
}

inline std::string RootedPath(const char* system_path) { return Root() + system_path; }

}  // namespace kivo

#endif  // KIVO_MODULE_KIVO_PATHS_H_
