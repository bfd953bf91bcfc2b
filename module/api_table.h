// What the module serves: the API table the host walks, and the entry
// functions its rows point to.
//
// The host calls GetAPITable once, walks the rows until the row whose API
// name is null, and for every web API call runs the entry function of the row
// whose API name, version and method match.

#ifndef KIVO_MODULE_API_TABLE_H_
#define KIVO_MODULE_API_TABLE_H_

#include <cstdint>

#include "module/kivo_api.h"

extern "C" {

typedef void (*APIEntryFunc)(KIVO::APIRequest* request, KIVO::APIResponse* response);

struct APITableEntry {
  const char* api;       // dotted API name; null in the terminator row
  intptr_t version;
  const char* method;
  APIEntryFunc function;
};

extern const APITableEntry gTable[];
const APITableEntry* GetAPITable(void);

void WebDAVGet(KIVO::APIRequest* request, KIVO::APIResponse* response);
void WebDAVSet(KIVO::APIRequest* request, KIVO::APIResponse* response);
void CalDAVConfGet(KIVO::APIRequest* request, KIVO::APIResponse* response);
void CalDAVConfSet(KIVO::APIRequest* request, KIVO::APIResponse* response);
void CalDAVCalendarList(KIVO::APIRequest* request, KIVO::APIResponse* response);
void CalDAVCalendarCreate(KIVO::APIRequest* request, KIVO::APIResponse* response);
void CalDAVCalendarDelete(KIVO::APIRequest* request, KIVO::APIResponse* response);
void CalDAVCalendarSet(KIVO::APIRequest* request, KIVO::APIResponse* response);

}  // extern "C"

#endif  // KIVO_MODULE_API_TABLE_H_
