#include <utility>

#include "kivo/kivo_api.h"

namespace KIVO {

APIRequest::APIRequest(std::string login_user, Json::Value params, Standing standing)
    : login_user_(std::move(login_user)), params_(std::move(params)), standing_(standing) {
  if (!params_.isObject()) params_ = Json::Value(Json::objectValue);
}

bool APIRequest::HasParam(const std::string& name) const { return params_.isMember(name); }

Json::Value APIRequest::GetParam(const std::string& name, const Json::Value& default_value) const {
  return params_.get(name, default_value);
}

std::string APIRequest::GetLoginUserName() const { return login_user_; }

APIResponse::APIResponse() : answer_count_(0), success_(false), error_code_(0) {}

void APIResponse::SetSuccess(const Json::Value& data) {
  ++answer_count_;
  success_ = true;
  error_code_ = 0;
  data_ = data;
}

void APIResponse::SetSuccess(Json::Value&& data) {
  ++answer_count_;
  success_ = true;
  error_code_ = 0;
  data_ = std::move(data);
}

void APIResponse::SetError(int code, const Json::Value& data) {
  ++answer_count_;
  success_ = false;
  error_code_ = code;
  data_ = data;
}

}  // namespace KIVO
