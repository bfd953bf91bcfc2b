// services.json: each service's run setting ("run": 1 enabled, 2 disabled)
// and whether it was last started ("running"). The platform's service
// operations (platform/services.cc) are its one writer; every room reads it
// here.
//
// Threading: the path is kept per thread; the rest holds no state.

#ifndef KIVO_BASE_SERVICE_STATES_H_
#define KIVO_BASE_SERVICE_STATES_H_

#include <json/json.h>

#include <string>

namespace kivo::base {

// The file under the current root (a snapshot's root while one lives).
const std::string& ServicesPath();

// Parses the file; a missing one reads as null with *missing set. False when
// it cannot be read or is not JSON (logged). Whether it holds an object is
// the caller's question: the readers below answer "none" for anything else.
bool ReadServiceStates(Json::Value* states, bool* missing);

// The service's run setting, or -1 when it has none.
int ServiceRun(const Json::Value& states, const char* service);

// Whether its run setting is 1 (the reading KLIBServiceIsEnabled answers).
inline bool ServiceEnabled(const Json::Value& states, const char* service) {
  return ServiceRun(states, service) == 1;
}

// Whether it is marked running.
bool ServiceRunning(const Json::Value& states, const char* service);

}  // namespace kivo::base

#endif  // KIVO_BASE_SERVICE_STATES_H_
