// The module as the host sees it: a shared library whose GetAPITable names
// the entry function of every API, version and method it serves.
//
// The host loads it once and keeps it loaded for the life of the process;
// Find() matches a call to a row and tells an unknown API from an unknown
// method or version of a known one, which the host answers differently.

#ifndef KIVO_HOST_MODULE_TABLE_H_
#define KIVO_HOST_MODULE_TABLE_H_

#include <string>
#include <vector>

#include "kivo/api_table.h"

namespace host {

struct ModuleRow {
  std::string api;
  long version;
  std::string method;
  APIEntryFunc function;
};

enum class Match { kFound, kUnknownApi, kUnknownMethod };

class ModuleTable {
 public:
  ModuleTable() = default;
  ModuleTable(const ModuleTable&) = delete;
  ModuleTable& operator=(const ModuleTable&) = delete;

  // dlopens `path` and copies its table. False with a message in *error.
  bool Open(const std::string& path, std::string* error);

  // kFound sets *function; kUnknownMethod covers a known API asked for a
  // version or method it lacks.
  Match Find(const std::string& api, long version, const std::string& method,
             APIEntryFunc* function) const;

  const std::vector<ModuleRow>& rows() const { return rows_; }

 private:
  std::vector<ModuleRow> rows_;
};

// The module shipped beside the running program.
std::string DefaultModulePath();

// The permission descriptor installed beside a module: "x.so" -> "x.lib".
std::string DescriptorPathFor(const std::string& module_path);

}  // namespace host

#endif  // KIVO_HOST_MODULE_TABLE_H_
