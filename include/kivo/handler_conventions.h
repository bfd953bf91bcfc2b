// What the three handlers share: the parameter check and the error report.
//
// Each handler keeps its own error code field and its own SetError (the
// WebDAV and CalDAV switch handlers keep the first code recorded, the
// calendar handler the last one); these helpers record through it and log
// with the handler's unit and the line its caller passes (__LINE__ in the
// unit's own file), so that a log line points into the unit that wrote it.

#ifndef KIVO_HANDLER_CONVENTIONS_H_
#define KIVO_HANDLER_CONVENTIONS_H_

#include <json/json.h>
#include <syslog.h>

#include <string>

#include "kivo/error_codes.h"
#include "kivo/kivo_api.h"

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
    syslog(LOG_ERR, "%s:%d cannot get the paramter: %s", unit, line, name.c_str());
    handler->SetError(WEBAPI_ERR_BAD_PARAMETER);
    return false;
  }
  if ((request.GetParam(name, Json::Value()).*type_test)()) return true;
  syslog(LOG_ERR, "%s:%d wrong the paramter: %s", unit, line, name.c_str());
  handler->SetError(WEBAPI_ERR_BAD_PARAMETER);
  return false;
}

// Answers the call with the recorded code, or with 1704 (logged) when the
// worker failed without recording one.
inline void ReportError(const char* unit, int line, int& error_code, KIVO::APIResponse* response) {
  if (error_code == 0) {
    syslog(LOG_ERR, "%s:%d There is no error setup", unit, line);
    error_code = WEBAPI_ERR_OPERATION_FAILED;
  }
  response->SetError(error_code, Json::Value());
}

// Logs `value` in its compact JSON form under `label`; a diagnostic aid.
// FastWriter leaves out the comments a value read from the registry carries.
inline void ShowJson(const char* unit, int line, const char* label, const Json::Value& value) {
  Json::FastWriter writer;
  syslog(LOG_ERR, "%s:%d %s: %s", unit, line, label, writer.write(value).c_str());
}

}  // namespace conventions

#endif  // KIVO_HANDLER_CONVENTIONS_H_
