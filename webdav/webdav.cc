#include "webdav/webdav.h"

#include "module/error_codes.h"
#include "module/log.h"

namespace {
constexpr char kLogUnit[] = "webdav";
}

WebDAVServiceHandler::WebDAVServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response)
    : conf_(), request_(request), response_(response), error_code_(0) {}
void WebDAVServiceHandler::Get() { ReportError(); }
void WebDAVServiceHandler::Set() { ReportError(); }
void WebDAVServiceHandler::SetError(int code) {
  if (error_code_ == 0) error_code_ = code;
}
void WebDAVServiceHandler::ReportError() {
  if (error_code_ == 0) {
    KIVO_LOG("There is no error setup");
    error_code_ = WEBAPI_ERR_OPERATION_FAILED;
  }
  response_->SetError(error_code_, Json::Value());
}
