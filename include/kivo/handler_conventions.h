// What the three handlers share: the parameter check, the error record and
// the error report.
//
// A failed call answers with one web API code (kivo/error_codes.h). Each
// handler owns the int that holds it, and the handler and its parts record
// into it only through RecordError: the last code recorded is the answer,
// since a step that knows more than the part below it (a location
// refused as a bad parameter rather than as a failed lookup) records after
// it. Below the handlers, platform and base calls report failures as a
// sentinel result plus the thread's last error (base/last_error.h). The
// helpers log with the handler's unit and the line its caller passes
// (__LINE__ in the unit's own file), so that a log line points into the unit
// that wrote it.

#ifndef KIVO_HANDLER_CONVENTIONS_H_
#define KIVO_HANDLER_CONVENTIONS_H_

#include <json/json.h>

#include <string>

#include "kivo/error_codes.h"
#include "kivo/kivo_api.h"
#include "kivo/log.h"

namespace conventions {

using TypeTest = bool (Json::Value::*)() const;

// True when parameter `name` may be used: present with the JSON type
// `type_test` accepts, or absent and not required. Otherwise logs the reason
// under `unit` and `line`, records 1705 with handler->SetError and answers
// false. An absent parameter is never fetched.
template <typename Handler>
bool CheckParam(const KIVO::APIRequest& request, const std::string& name, bool required,
                TypeTest type_test, const char* unit, int line, Handler* handler) {
  if (!request.HasParam(name)) {
    if (!required) return true;
    KIVO_LOG_AT(LOG_WARNING, unit, line, "cannot get the paramter: %s", name.c_str());
    handler->SetError(WEBAPI_ERR_BAD_PARAMETER);
    return false;
  }
  if ((request.GetParam(name, Json::Value()).*type_test)()) return true;
  KIVO_LOG_AT(LOG_WARNING, unit, line, "wrong the paramter: %s", name.c_str());
  handler->SetError(WEBAPI_ERR_BAD_PARAMETER);
  return false;
}

// Records `code` as the code the call answers with, replacing any earlier.
inline void RecordError(int& error_code, int code) { error_code = code; }

// Answers the call with the recorded code, or with 1704 (logged) when the
// worker failed without recording one.
inline void ReportError(const char* unit, int line, int& error_code, KIVO::APIResponse* response) {
  if (error_code == 0) {
    KIVO_LOG_AT(LOG_ERR, unit, line, "There is no error setup");
    error_code = WEBAPI_ERR_OPERATION_FAILED;
  }
  response->SetError(error_code, Json::Value());
}

// Logs `value` in its compact JSON form under `label`; a diagnostic aid.
// FastWriter leaves out the comments a value read from the registry carries.
inline void ShowJson(const char* unit, int line, const char* label, const Json::Value& value) {
  Json::FastWriter writer;
  KIVO_LOG_AT(LOG_DEBUG, unit, line, "%s: %s", label, writer.write(value).c_str());
}

}  // namespace conventions

#endif  // KIVO_HANDLER_CONVENTIONS_H_
