#include "caldav/caldav.h"

#include "kivo/error_codes.h"
#include "kivo/handler_conventions.h"
#include "kivo/log.h"

namespace {
constexpr char kLogUnit[] = "caldav";
}  // namespace

const DavSwitch kCalDAVSwitch = {"runCalDav", kLogEventCalDAVOn, kLogEventCalDAVOff};

CalDAVConfServiceHandler::CalDAVConfServiceHandler(KIVO::APIRequest* request,
                                                   KIVO::APIResponse* response,
                                                   const DavSwitch& service)
    : request_(request), response_(response), switch_(service), conf_(), error_code_(0) {}

CalDAVConfServiceHandler::~CalDAVConfServiceHandler() = default;

void CalDAVConfServiceHandler::Get() {
  Json::Value result;
  if (LoadCalDAVData(result)) {
    response_->SetSuccess(result);
  } else {
    ReportError();
  }
}

void CalDAVConfServiceHandler::Set() {
  if (CHECK_PARAM_BOOL("enable", true) && SaveCalDAV()) {
    response_->SetSuccess(Json::Value());
  } else {
    ReportError();
  }
}

bool CalDAVConfServiceHandler::LoadCalDAVData(Json::Value& result) {
  result["enable"] = std::string(conf_.Info(switch_.key, "")) == "yes";
  return true;
}

bool CalDAVConfServiceHandler::SaveCalDAV() {
  bool changed = false;
  if (!SetCalDAV(changed)) return false;
  if (!changed) return true;

  // The new state is written; a failed restart leaves it for the next start
  // of the services and does not fail the call.
  if (KLIBServiceRestart("avahi") < 0) {
    KIVO_LOG(LOG_ERR, "Call KLIBNetService() error");
  }
  if (KLIBServiceRestart("webdav-httpd-pure") < 0) {
    KIVO_LOG(LOG_ERR, "Failed to reload WEBDAV");
  }
  return true;
}

bool CalDAVConfServiceHandler::SetCalDAV(bool& changed) {
  const bool want = request_->GetParam("enable", Json::Value()).asBool();
  const bool current = std::string(conf_.Info(switch_.key, "")) == "yes";
  if (want == current) return true;

  if (KLIBCINFOSetKeyValue(switch_.key, want ? "yes" : "no") == -1) {
    KIVO_LOG(LOG_ERR, "Failed to set %s in kivoinfo.conf.", switch_.key);
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  const std::string user = request_->GetLoginUserName();
  KIVO_LOG(LOG_NOTICE, "%s set to %s by %s", switch_.key, want ? "yes" : "no", user.c_str());
  KIVOLogSet1(2, 1, want ? switch_.on_event : switch_.off_event, user.c_str(), "", "", "");
  changed = true;
  return true;
}

void CalDAVConfServiceHandler::SetError(int code) { conventions::RecordError(error_code_, code); }

void CalDAVConfServiceHandler::ReportError() {
  conventions::ReportError(kLogUnit, __LINE__, error_code_, response_);
}

bool CalDAVConfServiceHandler::CHECK_PARAM_BOOL(std::string name, bool required) {
  return conventions::CheckParam(*request_, name, required, &Json::Value::isBool, kLogUnit,
                                 __LINE__, this);
}
