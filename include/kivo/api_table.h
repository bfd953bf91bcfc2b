// The contract between the host and a module: the API table.
//
// A module exports GetAPITable. The host calls it once, walks the rows until
// the row whose API name is null, and for every web API call runs the entry
// function of the row whose API name, version and method match. Rows are
// read-only and live as long as the module is loaded; the host never calls
// two entry functions at once.
//
// The table is the only door between host and module: besides the entry
// function, a row says who may call it and what the host must do around the
// call, so that the host names no API and keeps none of the module's rules.

#ifndef KIVO_API_TABLE_H_
#define KIVO_API_TABLE_H_

#include <cstdint>

#include "kivo/kivo_api.h"

extern "C" {

typedef void (*APIEntryFunc)(KIVO::APIRequest* request, KIVO::APIResponse* response);

// Who may call a row's method. The host refuses everybody else before the
// call; a row that names no audience is closed to all, so that a new method
// stays closed until its row says who may call it.
enum APIAudience {
  kAPINobody = 0,
  kAPIAdministrators = 1,  // members of "administrators"
  kAPIUsers = 2,           // every logged-in account
};

// What the host does around a row's call, or for the row at other times.
enum APICallFlag {
  // A settings change that must end whole: the host records it before the
  // call and runs it again, whole, when a killed host left it under way.
  kAPISettingsChange = 1 << 0,
  // The call changes the process's credentials for every thread while it
  // runs: nothing that needs root's rights may run beside it.
  kAPISwitchesCredentials = 1 << 1,
  // Run once, as administrator without parameters, when the host lays out
  // a root (init): it finishes changes a killed call left under way.
  kAPIFinishesAtStart = 1 << 2,
  // Its answer's "item" array lists the calendars (share, destination,
  // calendarname, id) the page's status names.
  kAPIListsCalendars = 1 << 3,
};

struct APITableEntry {
  const char* api;       // dotted API name; null in the terminator row
  intptr_t version;
  const char* method;
  APIEntryFunc function;
  intptr_t audience;  // APIAudience
  intptr_t flags;     // APICallFlag bits
};

const APITableEntry* GetAPITable(void);

}  // extern "C"

#endif  // KIVO_API_TABLE_H_
