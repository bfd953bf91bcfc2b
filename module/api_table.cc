#include "module/api_table.h"

#include <cxxabi.h>

#include <exception>

#include "base/changes_under_way.h"
#include "caldav/caldav.h"
#include "caldav/caldav_calendar.h"
#include "kivo/error_codes.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"
#include "webdav/webdav.h"

#define KIVO_EXPORT __attribute__((visibility("default")))

namespace {
constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";
// Log units of the three handlers: an escaped exception is logged as its
// handler's own line would be.
constexpr char kWebDAVUnit[] = "webdav";
constexpr char kCalDAVUnit[] = "caldav";
constexpr char kCalendarUnit[] = "caldav_calendar";

// What escaped, for the log line.
const char* Describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// Each entry function lives for one call: build the row's handler on the
// stack, run one method, let the handler go. Nothing escapes into the host:
// an exception is logged, and a call left unanswered gets the code its
// handler recorded (1704 when none). Nothing of the process is changed by
// then whatever way the call left: the only switch to a user's identity is
// a kivo::base::ThreadIdentity scope on a thread of the call's own, which
// the unwinding ends before the thread does.
template <typename Handler, void (Handler::*kMethod)(), const char* kUnit>
void RunOnce(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  std::exception_ptr error;
  try {
    Handler handler(request, response);
    try {
      (handler.*kMethod)();
    } catch (abi::__forced_unwind&) {
      throw;  // thread cancellation must pass
    } catch (...) {
      error = std::current_exception();
      KIVO_LOG_AT(LOG_ERR, kUnit, __LINE__, "%s", Describe(error));
      if (response->answer_count() == 0) handler.ReportError();
      return;
    }
    return;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    error = std::current_exception();
  }
  // The handler could not be built, or its report failed as well.
  try {
    KIVO_LOG_AT(LOG_ERR, kUnit, __LINE__, "%s", Describe(error));
  } catch (...) {
  }
  if (response->answer_count() == 0) {
    try {
      response->SetError(WEBAPI_ERR_OPERATION_FAILED, Json::Value());
    } catch (...) {
    }
  }
}

// A settings `set` rewrites kivoinfo.conf keys and services.json run
// settings one after another and starts, stops or reloads daemons between
// them: it is recorded as under way, with those two files as they were,
// before it runs, so that a process killed halfway has them put back and
// the call run again whole by the next recovery. A call that cannot be
// recorded still runs (logged), as it would have before the record.
template <typename Handler, void (Handler::*kMethod)(), const char* kUnit, const char* kApi>
void RunSettingsChange(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  std::string key;
  bool recorded = false;
  try {
    kivo::base::ChangeUnderWay change;
    change.kind = "settings";
    change.call["api"] = kApi;
    change.call["version"] = 1;
    change.call["method"] = "set";
    change.call["account"] = request->GetLoginUserName();
    change.call["params"] = request->params();
    change.replay = true;
    change.before = {SZF_KIVOINFO_CONF, SZF_SERVICES_JSON};
    recorded = kivo::base::ChangesUnderWay::Begin(change, &key);
  } catch (...) {
    syslog(LOG_ERR, "%s:%d cannot record the change under way", kUnit, __LINE__);
  }
  RunOnce<Handler, kMethod, kUnit>(request, response);
  try {
    if (recorded) kivo::base::ChangesUnderWay::End({key}, true);
  } catch (...) {
    syslog(LOG_ERR, "%s:%d cannot end the change under way", kUnit, __LINE__);
  }
}

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
