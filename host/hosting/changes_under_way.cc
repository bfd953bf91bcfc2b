#include "host/hosting/changes_under_way.h"

#include <json/json.h>

#include "base/changes_under_way.h"
#include "host/hosting/module_call.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "changes_under_way";

}  // namespace

namespace host {

bool RecoverChanges(const ModuleTable& module) {
  const bool finished = kivo::base::FinishChangesUnderWay([&module](const Json::Value& call) {
    const ModuleRow* row = nullptr;
    const std::string name = call["api"].asString() + "." + call["method"].asString();
    if (module.Find(call["api"].asString(), static_cast<long>(call["version"].asInt64()),
                    call["method"].asString(), &row) != Match::kFound) {
      KIVO_LOG(LOG_WARNING, "a change under way names %s, which this module does not serve",
               name.c_str());
      return false;
    }
    KIVO_LOG(LOG_NOTICE, "note: finishing %s, which a stopped process left under way",
             name.c_str());
    // The record keeps no standing: run again as an ordinary account, the
    // least a module may grant.
    const ModuleCallResult result = RunModuleCall(row->function, call["account"].asString(),
                                                  KIVO::Standing::kUser, call["params"]);
    if (!result.answered || !result.success) {
      KIVO_LOG(LOG_ERR, "%s left under way could not be finished: %s", name.c_str(),
               result.answer.c_str());
      return false;
    }
    return true;
  });
  return finished;
}

}  // namespace host
