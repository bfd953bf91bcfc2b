#include "base/service_states.h"

#include "base/file_stamp.h"
#include "base/json_file.h"
#include "kivo/kivo_paths.h"

namespace kivo::base {
namespace {

const Json::Value* Entry(const Json::Value& states, const char* service) {
  if (!states.isObject()) return nullptr;
  const Json::Value& entry = states[service];
  return entry.isObject() ? &entry : nullptr;
}

}  // namespace

// Asked by every WebDAV get: the path is made once per root and thread.
const std::string& ServicesPath() {
  thread_local KeptRootedPath path(SZF_SERVICES_JSON);
  return path.Get(SnapshotRootText());
}

bool ReadServiceStates(Json::Value* states, bool* missing) {
  return ReadJsonFile(ServicesPath(), states, missing);
}

int ServiceRun(const Json::Value& states, const char* service) {
  const Json::Value* entry = Entry(states, service);
  const Json::Value& run = entry != nullptr ? (*entry)["run"] : Json::Value::nullSingleton();
  return run.isInt() ? run.asInt() : -1;
}

bool ServiceRunning(const Json::Value& states, const char* service) {
  const Json::Value* entry = Entry(states, service);
  if (entry == nullptr) return false;
  const Json::Value& running = (*entry)["running"];
  return running.isBool() && running.asBool();
}

}  // namespace kivo::base
