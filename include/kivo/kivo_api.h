// The web API host's request and response objects, as the module sees them.
//
// The host builds one APIRequest and one APIResponse per web API call and
// hands both to the entry function of the matching API table row. The module
// only borrows them for the call: it reads parameters and the login name from
// the request and answers exactly once through the response. The objects are
// implemented by the host framework library (libkivoapi).

#ifndef KIVO_API_H_
#define KIVO_API_H_

#include <json/json.h>

#include <string>

namespace KIVO {

// What the host found the login user to be. An administrator may do all a
// method allows; a user is held to the module's rules for ordinary accounts
// (where a calendar create may make its folder, for one).
enum class Standing { kUser, kAdministrator };

class APIRequest {
 public:
  // `params` must be a JSON object (the host refuses anything else).
  APIRequest(std::string login_user, Json::Value params, Standing standing = Standing::kUser);

  APIRequest(const APIRequest&) = delete;
  APIRequest& operator=(const APIRequest&) = delete;

  // Operations the module calls.
  bool HasParam(const std::string& name) const;
  Json::Value GetParam(const std::string& name, const Json::Value& default_value) const;
  std::string GetLoginUserName() const;
  // Every parameter, as the call was made: for a module that records the
  // call to run it again.
  const Json::Value& params() const { return params_; }
  bool IsAdministrator() const { return standing_ == Standing::kAdministrator; }

 private:
  std::string login_user_;
  Json::Value params_;
  Standing standing_;
};

class APIResponse {
 public:
  APIResponse();

  // Operations the module calls. The answer is kept as given; a caller done
  // with it hands it over instead of having it copied.
  void SetSuccess(const Json::Value& data);
  void SetSuccess(Json::Value&& data);
  void SetError(int code, const Json::Value& data);

  // Host side: what the module answered.
  int answer_count() const { return answer_count_; }
  bool success() const { return success_; }
  int error_code() const { return error_code_; }
  const Json::Value& data() const { return data_; }

 private:
  int answer_count_;
  bool success_;
  int error_code_;
  Json::Value data_;
};

}  // namespace KIVO

#endif  // KIVO_API_H_
