// The module as the host sees it: a shared library whose GetAPITable names
// the entry function of every API, version and method it serves
// (kivo/api_table.h), and its descriptor beside it, which says who may call
// each and what the host does for a row beyond the call.
//
// The descriptor (KIVO.Core.FileServ.WebDAV.lib for
// KIVO.Core.FileServ.WebDAV.so) is a JSON object: API name -> version
// (decimal text) -> method -> "admin" (members of "administrators"), "user"
// (every logged-in account), or an object {"who": "admin" or "user",
// "lists_calendars": true} for a row that carries a flag (the address
// books' list: "lists_addressbooks"). The object may also say what the
// method is for and what it reads, for `call --help`:
// "about", one line, and "params", an array of {"name", "type" ("bool",
// "int", "string" or "array": the JSON type the handler accepts),
// "required": bool, "about": one line}, in the order the handler checks
// them; [] for a method that reads none. Both are words for people: the
// host checks no call against them (the handler does, with its own code).
// A row without "params" is undescribed, not parameterless. It is the
// module's, not the table's, so that the rows keep the four words every host
// reads. A row the descriptor does not name is closed to everybody, and so
// is every row when the descriptor is missing or malformed: a new method
// stays closed until its module says who may call it. A method the
// descriptor names but the table lacks is logged and ignored.
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

// Who may call a row's method. The host refuses everybody else before the
// call.
enum APIAudience {
  kAPINobody = 0,
  kAPIAdministrators = 1,  // members of "administrators"
  kAPIUsers = 2,           // every logged-in account
};

// What the host does for a row beyond its call.
enum APICallFlag {
  // Its answer's "item" array lists the calendars (share, destination,
  // calendarname, id) the page's status names.
  kAPIListsCalendars = 1 << 0,
  // The same for the address books (share, destination, addressbookname,
  // id).
  kAPIListsAddressBooks = 1 << 1,
};

// One parameter of a method, as its descriptor describes it.
struct ModuleParam {
  std::string name;
  std::string type;  // "bool", "int", "string" or "array"
  bool required = false;
  std::string about;
};

struct ModuleRow {
  std::string api;
  long version;
  std::string method;
  APIEntryFunc function;
  APIAudience audience;
  long flags;  // APICallFlag bits
  // From the descriptor; `described` false when it lists no "params".
  std::string about;
  std::vector<ModuleParam> params;
  bool described = false;

  bool Has(APICallFlag flag) const { return (flags & flag) != 0; }
};

enum class Match { kFound, kUnknownApi, kUnknownMethod };

class ModuleTable {
 public:
  ModuleTable() = default;
  ModuleTable(const ModuleTable&) = delete;
  ModuleTable& operator=(const ModuleTable&) = delete;

  // dlopens `path`, copies its table and reads the descriptor beside it
  // (DescriptorPathFor). False with a message in *error when the module
  // cannot be loaded or its table is malformed; a missing or malformed
  // descriptor is logged and leaves every row closed.
  bool Open(const std::string& path, std::string* error);
  // Opens every module of `paths` into this one table, each read by Open's
  // rules with its own descriptor, so that a call finds its row whichever
  // module serves it. False with a message in *error, and no rows, when
  // one cannot be loaded, none is given, or two modules serve one API name
  // (which of them a call would reach is nobody's to guess).
  bool OpenAll(const std::vector<std::string>& paths, std::string* error);
  // Copies the rows of a table already in memory, up to its terminator row
  // (what Open does with the module's), every row closed until Describe.
  // False, and no rows, for a table with a row lacking its method or
  // function, or no terminator.
  bool Adopt(const APITableEntry* table, const std::string& origin, std::string* error);
  // Sets every row's audience and flags from descriptor text (what Open
  // does with the file's). False, logged, and every row closed, when the
  // text is malformed; `origin` names it in the log.
  bool Describe(const std::string& text, const std::string& origin);

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

// The modules shipped beside the running program: every KIVO.*.so in its
// folder, in name order.
std::vector<std::string> DefaultModulePaths();

// The descriptor of the module at `module_path`: its name with ".lib" in
// place of ".so".
std::string DescriptorPathFor(const std::string& module_path);

}  // namespace host

#endif  // KIVO_HOST_MODULE_TABLE_H_
