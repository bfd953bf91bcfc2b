// System events, the user log and the firewall reload. The platform's event
// dispatcher and user log pick these actions up from the journal, so sending
// one means journalling it; the firewall reload writes its ruleset first
// (firewall.cc).

#include <errno.h>
#include <stdio.h>

#include <map>
#include <string>

#include "base/journal.h"
#include "base/last_error.h"
#include "daemons/firewall.h"
#include "daemons/service_effects.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

// String table of event parameters. A std::map keeps one value per key and
// never moves the table, so the capacity is only a hint.
struct KLIBCSZHASH {
  std::map<std::string, std::string> pairs;
};

namespace {
constexpr char kLogUnit[] = "events";
}  // namespace

extern "C" {

KLIBCSZHASH* KLIBCSzHashAlloc(int capacity) {
  if (capacity < 0) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "hash capacity %d refused", capacity);
    return nullptr;
  }
  return kivo::base::Guarded<KLIBCSZHASH*>(nullptr, [] { return new KLIBCSZHASH; });
}

int KLIBCSzHashSetValue(KLIBCSZHASH** table, const char* key, const char* value) {
  if (table == nullptr || *table == nullptr || key == nullptr || value == nullptr) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "hash set with a null argument");
    return -1;
  }
  return kivo::base::Guarded(-1, [&] {
    (*table)->pairs[key] = value;
    return 0;
  });
}

void KLIBCSzHashFree(KLIBCSZHASH* table) { delete table; }

int KLIBSyseventEmit(const char* name, KLIBCSZHASH* params, int /*flags*/) {
  if (name == nullptr || name[0] == '\0' || params == nullptr) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "event without name or parameters");
    return -1;
  }
  return kivo::base::Guarded(-1, [&] {
    Json::Value record(Json::objectValue);
    for (const auto& pair : params->pairs) record[pair.first] = pair.second;
    // The event's own members win over parameters of the same name.
    record["op"] = "event";
    record["name"] = name;
    return kivo::base::Journal(record) ? 0 : -1;
  });
}

int KIVOFwRuleHup(void) {
  return kivo::base::Guarded(-1, [] {
    const bool effects = kivo::daemons::EffectsWanted();
    if (effects && !kivo::daemons::ReloadFirewall()) return -1;
    Json::Value record(Json::objectValue);
    record["op"] = "firewall.reload";
    // Where the ruleset was written, the reload happened whatever the
    // journal says; elsewhere the line is all there is of it.
    if (!effects) return kivo::base::Journal(record) ? 0 : -1;
    kivo::base::JournalDone(record);
    return 0;
  });
}

int KIVOLogSet1(int /*level*/, int /*category*/, unsigned int event_id, const char* user,
                const char* /*arg1*/, const char* /*arg2*/, const char* /*arg3*/) {
  if (user == nullptr) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "user log event 0x%08X without user", event_id);
    return -1;
  }
  return kivo::base::Guarded(-1, [&] {
    char id[16];
    snprintf(id, sizeof id, "0x%08X", event_id);
    Json::Value record(Json::objectValue);
    record["op"] = "userlog";
    record["id"] = id;
    record["user"] = user;
    return kivo::base::Journal(record) ? 0 : -1;
  });
}

}  // extern "C"
