#include "caldav/caldav_calendar.h"

#include "module/error_codes.h"
#include "module/log.h"

namespace {
constexpr char kLogUnit[] = "caldav_calendar";
}

CalDAVServiceHandler::CalDAVServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response)
    : request_(request), response_(response), homes_user_exists_(false), error_code_(0) {}
void CalDAVServiceHandler::List() { ReportError(); }
void CalDAVServiceHandler::Create() { ReportError(); }
void CalDAVServiceHandler::Delete() { ReportError(); }
void CalDAVServiceHandler::Set() { ReportError(); }
void CalDAVServiceHandler::SetError(int code) { error_code_ = code; }
void CalDAVServiceHandler::ReportError() {
  if (error_code_ == 0) {
    KIVO_LOG("There is no error setup");
    error_code_ = WEBAPI_ERR_OPERATION_FAILED;
  }
  response_->SetError(error_code_, Json::Value());
}
