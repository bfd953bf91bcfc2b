#include "module/api_table.h"

#include "caldav/caldav.h"
#include "caldav/caldav_calendar.h"
#include "kivo/error_codes.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"
#include "module/entry_frame.h"
#include "webdav/webdav.h"

#define KIVO_EXPORT __attribute__((visibility("default")))

using entry_frame::RunOnce;
using entry_frame::RunSettingsChange;

namespace {
constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";
// Log units of the three handlers: an escaped exception is logged as its
// handler's own line would be.
constexpr char kWebDAVUnit[] = "webdav";
constexpr char kCalDAVUnit[] = "caldav";
constexpr char kCalendarUnit[] = "caldav_calendar";
}  // namespace

extern "C" {

// Who may call each row, and which row's answer lists the page's
// calendars, is the module's descriptor's to say (KIVO.Core.FileServ.WebDAV.lib,
// installed beside this file): the rows stay the four words every host reads.
KIVO_EXPORT extern const APITableEntry gTable[] = {
    {kWebDAV, 1, "get", WebDAVGet},
    {kWebDAV, 1, "set", WebDAVSet},
    {kCalDAV, 1, "get", CalDAVConfGet},
    {kCalDAV, 1, "set", CalDAVConfSet},
    {kCalendar, 1, "list", CalDAVCalendarList},
    {kCalendar, 1, "create", CalDAVCalendarCreate},
    {kCalendar, 1, "delete", CalDAVCalendarDelete},
    {kCalendar, 1, "set", CalDAVCalendarSet},
    {nullptr, 0, nullptr, nullptr},
};

KIVO_EXPORT const APITableEntry* GetAPITable(void) { return gTable; }

KIVO_EXPORT void WebDAVGet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<WebDAVServiceHandler, &WebDAVServiceHandler::Get, kWebDAVUnit>(request, response);
}

KIVO_EXPORT void WebDAVSet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunSettingsChange<WebDAVServiceHandler, &WebDAVServiceHandler::Set, kWebDAVUnit, kWebDAV>(
      request, response);
}

KIVO_EXPORT void CalDAVConfGet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVConfServiceHandler, &CalDAVConfServiceHandler::Get, kCalDAVUnit>(request, response);
}

KIVO_EXPORT void CalDAVConfSet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunSettingsChange<CalDAVConfServiceHandler, &CalDAVConfServiceHandler::Set, kCalDAVUnit, kCalDAV>(
      request, response);
}

KIVO_EXPORT void CalDAVCalendarList(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVServiceHandler, &CalDAVServiceHandler::List, kCalendarUnit>(request, response);
}

KIVO_EXPORT void CalDAVCalendarCreate(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVServiceHandler, &CalDAVServiceHandler::Create, kCalendarUnit>(request, response);
}

KIVO_EXPORT void CalDAVCalendarDelete(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVServiceHandler, &CalDAVServiceHandler::Delete, kCalendarUnit>(request, response);
}

KIVO_EXPORT void CalDAVCalendarSet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVServiceHandler, &CalDAVServiceHandler::Set, kCalendarUnit>(request, response);
}

}  // extern "C"
