// The frame every module's entry functions run a call in: one handler per
// call, nothing escapes into the host, and a settings change is recorded as
// under way around its run. Shared by the modules of this folder, each of
// which builds its own table of entry functions on it.
//
// Threading: each call on the host's thread that makes it; nothing shared.

#ifndef KIVO_MODULE_ENTRY_FRAME_H_
#define KIVO_MODULE_ENTRY_FRAME_H_

#include <cxxabi.h>
#include <syslog.h>

#include <exception>
#include <string>

#include "base/changes_under_way.h"
#include "kivo/error_codes.h"
#include "kivo/kivo_api.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace entry_frame {

// What escaped, for the log line.
inline const char* Describe(const std::exception_ptr& error) {
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

}  // namespace entry_frame

#endif  // KIVO_MODULE_ENTRY_FRAME_H_
