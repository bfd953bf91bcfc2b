// The module as the host sees it: a shared library whose GetAPITable names
// the entry function of every API, version and method it serves, who may
// call each, and what the host does around the call (kivo/api_table.h).
//
// The host loads it once and keeps it loaded for the life of the process;
// Find() matches a call to a row and tells an unknown API from an unknown
// method or version of a known one, which the host answers differently.
// Everything the host knows of a call comes from its row: the host names no
// API.
// Threading: filled once before use, then read-only.

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
  APIAudience audience;
  long flags;  // APICallFlag bits

  bool Has(APICallFlag flag) const { return (flags & flag) != 0; }
};

enum class Match { kFound, kUnknownApi, kUnknownMethod };

class ModuleTable {
 public:
  ModuleTable() = default;
  ModuleTable(const ModuleTable&) = delete;
  ModuleTable& operator=(const ModuleTable&) = delete;

  // dlopens `path` and copies its table. False with a message in *error.
  bool Open(const std::string& path, std::string* error);
  // Copies the rows of a table already in memory, up to its terminator row
  // (what Open does with the module's). False, and no rows, for a table
  // with a row lacking its method or function, an audience that is none of
  // APIAudience's, or no terminator.
  bool Adopt(const APITableEntry* table, const std::string& origin, std::string* error);

  // kFound sets *row; kUnknownMethod covers a known API asked for a version
  // or method it lacks.
  Match Find(const std::string& api, long version, const std::string& method,
             const ModuleRow** row) const;

  const std::vector<ModuleRow>& rows() const { return rows_; }

 private:
  std::vector<ModuleRow> rows_;
};

// True when an account (an administrator or not) may call the row.
bool MayCall(const ModuleRow& row, bool is_admin);

// The module shipped beside the running program.
std::string DefaultModulePath();

}  // namespace host

#endif  // KIVO_HOST_MODULE_TABLE_H_
