// Service states: var/lib/kivo/services.json maps each service to its run
// setting ("run": 1 started at boot, 2 not) and whether it is running. Each
// operation first does what it says (daemons/service_effects.h: the WebDAV
// daemon, its announcements, avahi), then keeps this file current and
// journals it.

#include <errno.h>
#include <string.h>

#include <memory>
#include <string>

#include "base/file_stamp.h"
#include "base/journal.h"
#include "base/json_file.h"
#include "base/last_error.h"
#include "base/root_files.h"
#include "base/service_states.h"
#include "daemons/service_effects.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "services";
using kivo::base::ServicesPath;

// Reads the whole state; a missing file is an empty one.
bool ReadStates(Json::Value* states) {
  bool missing = false;
  if (!kivo::base::ReadServiceStates(states, &missing)) return false;
  if (missing) *states = Json::Value(Json::objectValue);
  if (!states->isObject()) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "%s does not hold an object", ServicesPath().c_str());
    return false;
  }
  return true;
}

// The state as last read, for the questions asked on every settings call.
// Shared, not copied: a WebDAV get asks twice, and copying the whole state
// cost more than the question.
bool ReadStatesCached(std::shared_ptr<const Json::Value>* states) {
  static auto* cache =  // never destroyed: used at exit
      new kivo::base::StampedValue<std::shared_ptr<const Json::Value>>();
  if (cache->InSnapshot(states)) return true;
  return cache->Load({ServicesPath().c_str()}, states,
                     [](std::shared_ptr<const Json::Value>* fresh) {
                       auto read = std::make_shared<Json::Value>();
                       if (!ReadStates(read.get())) return false;
                       *fresh = std::move(read);
                       return true;
                     });
}

bool ValidName(const char* service) {
  if (service != nullptr && service[0] != '\0') return true;
  kivo::base::SetLastError(EINVAL);
  KIVO_LOG(LOG_ERR, "no service named");
  return false;
}

// Sets `member` of the service's entry to `value` (null: keeps a boolean
// there, else false) under the writers' lock, then journals `record`.
int UpdateService(const char* service, const char* member, const Json::Value& value,
                  Json::Value record) {
  if (!ValidName(service)) return -1;
  std::string path = ServicesPath();
  kivo::base::FileLock lock(kivo::base::LockPathFor(path));
  if (!lock.locked()) return -1;
  Json::Value states;
  if (!ReadStates(&states)) return -1;
  Json::Value& entry = states[service];
  if (entry.isNull()) entry = Json::Value(Json::objectValue);
  if (!entry.isObject()) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "state of service %s is not an object", service);
    return -1;
  }
  if (!value.isNull()) {
    entry[member] = value;
  } else if (!entry[member].isBool()) {
    entry[member] = false;
  }
  if (!kivo::base::ReplaceFile(path, kivo::base::StyledJson(states), 0644)) return -1;
  record["service"] = service;
  kivo::base::JournalDone(record);
  return 0;
}

// The operation's effect first; only what has happened is recorded.
int Act(const char* service, kivo::daemons::ServiceOp op, bool running, const char* name) {
  return kivo::base::Guarded(-1, [&] {
    if (!ValidName(service)) return -1;
    if (!kivo::daemons::ServiceEffect(service, op)) {
      KIVO_LOG(LOG_ERR, "%s of service %s failed", name, service);
      return -1;
    }
    Json::Value record(Json::objectValue);
    record["op"] = name;
    // Without a mark the state stays as read under the writers' lock.
    Json::Value state =
        kivo::daemons::MarksRunning(service, op) ? Json::Value(running) : Json::Value();
    return UpdateService(service, "running", state, record);
  });
}

}  // namespace

extern "C" {

int KLIBServiceIsEnabled(const char* service) {
  return kivo::base::Guarded(0, [&] {
    if (!ValidName(service)) return 0;
    std::shared_ptr<const Json::Value> states;
    if (!ReadStatesCached(&states)) return 0;
    const Json::Value* entry = states->find(service, service + strlen(service));
    if (entry == nullptr || !entry->isObject()) return 0;
    const Json::Value& run = (*entry)["run"];
    return run.isInt() && run.asInt() == 1 ? 1 : 0;
  });
}

int KLIBServiceReload(const char* service) {
  return Act(service, kivo::daemons::ServiceOp::kReload, true, "service.reload");
}

int KLIBServiceRestart(const char* service) {
  return Act(service, kivo::daemons::ServiceOp::kRestart, true, "service.restart");
}

int KLIBServicectlStart(const char* service, int /*flags*/) {
  return Act(service, kivo::daemons::ServiceOp::kStart, true, "service.start");
}

int KLIBServicectlStop(const char* service, int /*flags*/) {
  return Act(service, kivo::daemons::ServiceOp::kStop, false, "service.stop");
}

int KLIBServicectlRestart(const char* service, int /*flags*/) {
  return Act(service, kivo::daemons::ServiceOp::kRestart, true, "service.restart");
}

int KLIBServicecfgRunKeySet(const char* service, int run_key) {
  if (run_key != 1 && run_key != 2) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "run setting %d refused for %s", run_key,
             service == nullptr ? "(null)" : service);
    return -1;
  }
  return kivo::base::Guarded(-1, [&] {
    Json::Value record(Json::objectValue);
    record["op"] = "service.runkey";
    record["value"] = run_key;
    return UpdateService(service, "run", run_key, record);
  });
}

}  // extern "C"
