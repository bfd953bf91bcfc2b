#include "host/hosting/module_table.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace host {

namespace {
constexpr char kModuleFile[] = "KIVO.Core.FileServ.WebDAV.so";
// A table longer than this has lost its terminator row.
constexpr size_t kMaxRows = 4096;
}  // namespace

bool ModuleTable::Open(const std::string& path, std::string* error) {
  // The handle is never closed: the entry functions must stay mapped for as
  // long as the process may call them.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *error = std::string("cannot load module: ") + dlerror();
    return false;
  }
  using GetTable = const APITableEntry* (*)();
  auto get_table = reinterpret_cast<GetTable>(dlsym(handle, "GetAPITable"));
  if (get_table == nullptr) {
    *error = "module " + path + " has no GetAPITable";
    return false;
  }
  const APITableEntry* row = get_table();
  rows_.clear();
  for (size_t i = 0; row != nullptr && row[i].api != nullptr; ++i) {
    if (i == kMaxRows || row[i].method == nullptr || row[i].function == nullptr) {
      *error = "module " + path + " has a malformed API table";
      rows_.clear();
      return false;
    }
    rows_.push_back(
        {row[i].api, static_cast<long>(row[i].version), row[i].method, row[i].function});
  }
  return true;
}

Match ModuleTable::Find(const std::string& api, long version, const std::string& method,
                        APIEntryFunc* function) const {
  Match match = Match::kUnknownApi;
  for (const ModuleRow& row : rows_) {
    if (row.api != api) continue;
    match = Match::kUnknownMethod;
    if (row.version == version && row.method == method) {
      *function = row.function;
      return Match::kFound;
    }
  }
  return match;
}

std::string DefaultModulePath() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return kModuleFile;
  std::string dir(exe, static_cast<size_t>(n));
  dir.erase(dir.rfind('/') + 1);
  return dir + kModuleFile;
}

std::string DescriptorPathFor(const std::string& module_path) {
  std::string path = module_path;
  const std::string suffix = ".so";
  if (path.size() >= suffix.size() && path.compare(path.size() - 3, 3, suffix) == 0) {
    path.erase(path.size() - 3);
  }
  return path + ".lib";
}

}  // namespace host
