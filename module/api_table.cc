#include "module/api_table.h"

#include "caldav/caldav.h"
#include "caldav/caldav_calendar.h"
#include "webdav/webdav.h"

#define KIVO_EXPORT __attribute__((visibility("default")))

namespace {
constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";
// Each entry function lives for one call: build the row's handler on the
// stack, run one method, let the handler go.
template <typename Handler, void (Handler::*kMethod)()>
void RunOnce(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  Handler handler(request, response);
  (handler.*kMethod)();
}

}  // namespace

extern "C" {

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
  RunOnce<WebDAVServiceHandler, &WebDAVServiceHandler::Get>(request, response);
}

KIVO_EXPORT void WebDAVSet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<WebDAVServiceHandler, &WebDAVServiceHandler::Set>(request, response);
}

KIVO_EXPORT void CalDAVConfGet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVConfServiceHandler, &CalDAVConfServiceHandler::Get>(request, response);
}

KIVO_EXPORT void CalDAVConfSet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVConfServiceHandler, &CalDAVConfServiceHandler::Set>(request, response);
}

KIVO_EXPORT void CalDAVCalendarList(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVServiceHandler, &CalDAVServiceHandler::List>(request, response);
}

KIVO_EXPORT void CalDAVCalendarCreate(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVServiceHandler, &CalDAVServiceHandler::Create>(request, response);
}

KIVO_EXPORT void CalDAVCalendarDelete(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVServiceHandler, &CalDAVServiceHandler::Delete>(request, response);
}

KIVO_EXPORT void CalDAVCalendarSet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CalDAVServiceHandler, &CalDAVServiceHandler::Set>(request, response);
}

}  // extern "C"
