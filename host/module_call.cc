#include "host/module_call.h"

#include "host/host_log.h"
#include "module/kivo_api.h"

namespace host {

ModuleCallResult RunModuleCall(APIEntryFunc entry, const std::string& account,
                               const Json::Value& params) {
  KIVO::APIRequest request(account, params);
  KIVO::APIResponse response;
  entry(&request, &response);
  ModuleCallResult result;
  if (response.answer_count() != 1) {
    HOST_LOG("module answered %d times", response.answer_count());
  }
  if (response.answer_count() == 0) return result;
  result.answered = true;
  result.success = response.success();
  result.answer = response.ToJson();
  return result;
}

}  // namespace host
