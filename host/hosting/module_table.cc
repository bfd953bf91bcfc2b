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
  return Adopt(get_table(), path, error);
}

bool ModuleTable::Adopt(const APITableEntry* table, const std::string& origin, std::string* error) {
  rows_.clear();
  for (size_t i = 0; table != nullptr && table[i].api != nullptr; ++i) {
    const APITableEntry& row = table[i];
    const bool audience_known = row.audience == kAPINobody || row.audience == kAPIAdministrators ||
                                row.audience == kAPIUsers;
    if (i == kMaxRows || row.method == nullptr || row.function == nullptr || !audience_known) {
      *error = "module " + origin + " has a malformed API table";
      rows_.clear();
      return false;
    }
    rows_.push_back({row.api, static_cast<long>(row.version), row.method, row.function,
                     static_cast<APIAudience>(row.audience), static_cast<long>(row.flags)});
  }
  return true;
}

Match ModuleTable::Find(const std::string& api, long version, const std::string& method,
                        const ModuleRow** found) const {
  Match match = Match::kUnknownApi;
  for (const ModuleRow& row : rows_) {
    if (row.api != api) continue;
    match = Match::kUnknownMethod;
    if (row.version == version && row.method == method) {
      *found = &row;
      return Match::kFound;
    }
  }
  return match;
}

bool MayCall(const ModuleRow& row, bool is_admin) {
  switch (row.audience) {
    case kAPIUsers:
      return true;
    case kAPIAdministrators:
      return is_admin;
    case kAPINobody:
      break;
  }
  return false;
}

std::string DefaultModulePath() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return kModuleFile;
  std::string dir(exe, static_cast<size_t>(n));
  dir.erase(dir.rfind('/') + 1);
  return dir + kModuleFile;
}

}  // namespace host
