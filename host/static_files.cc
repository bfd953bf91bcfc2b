#include "host/static_files.h"

#include <limits.h>
#include <unistd.h>

namespace host {

bool LoadStaticFile(const std::string& www_dir, const std::string& url_path, StaticFile* out) {
  (void)www_dir;
  (void)url_path;
  (void)out;
  return false;  // No page yet.
}

std::string DefaultWwwDir() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return "www";
  std::string dir(exe, static_cast<size_t>(n));
  dir.erase(dir.rfind('/') + 1);
  return dir + "www";
}

}  // namespace host
