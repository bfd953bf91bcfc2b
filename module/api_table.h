// What this module serves: its API table and the entry functions its rows
// point to. The table's shape is the host's contract (kivo/api_table.h).

#ifndef KIVO_MODULE_API_TABLE_H_
#define KIVO_MODULE_API_TABLE_H_

#include "kivo/api_table.h"

extern "C" {

extern const APITableEntry gTable[];

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
