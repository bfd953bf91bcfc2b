// The contract between the host and a module: the API table.
//
// A module exports GetAPITable. The host calls it once, walks the rows until
// the row whose API name is null, and for every web API call runs the entry
// function of the row whose API name, version and method match. Rows are
// read-only and live as long as the module is loaded; the host never calls
// two entry functions at once.
//
// The table is the only door between host and module, and its rows are
// four pointer-sized words (API, version, method, entry function), the
// layout every host written to this contract reads: who may call a method,
// and what the host does for a row beyond the call, come from the module's
// descriptor beside it (host/hosting/module_table.h), never from more
// fields here.

#ifndef KIVO_API_TABLE_H_
#define KIVO_API_TABLE_H_

#include <cstdint>

#include "kivo/kivo_api.h"

extern "C" {

typedef void (*APIEntryFunc)(KIVO::APIRequest* request, KIVO::APIResponse* response);

struct APITableEntry {
  const char* api;  // dotted API name; null in the terminator row
  intptr_t version;
  const char* method;
  APIEntryFunc function;
};

static_assert(sizeof(APITableEntry) == 4 * sizeof(void*),
              "a row is four words: API, version, method, entry function");

const APITableEntry* GetAPITable(void);

}  // extern "C"

#endif  // KIVO_API_TABLE_H_
