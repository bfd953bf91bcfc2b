// One module call as every front end of the host runs it (`call` and
// `serve`'s module thread): build the request and response objects, run the
// row's entry function, and turn the response into the web API's answer.
//
// The module runs as root and changes nothing of the process: what acts as
// a user does so on a thread of its own with its own identity and creation
// mask (base/thread_identity_scope.h), so module calls may run beside
// logins and password checks. RunModuleCall checks after every call that
// the process's effective ids, supplementary groups and umask are still as
// the host started, and aborts the process when they are not: no later call
// or login may run under what a call left behind.

#ifndef KIVO_HOST_MODULE_CALL_H_
#define KIVO_HOST_MODULE_CALL_H_

#include <json/json.h>

#include <string>

#include "kivo/api_table.h"
#include "kivo/kivo_api.h"

namespace host {

struct ModuleCallResult {
  // False when the module left the call unanswered; `answer` is then empty.
  bool answered = false;
  bool success = false;
  int error_code = 0;  // the code of an error answer
  // The answer's text, written once: {"success":true,"data":...} or
  // {"success":false,"error":{"code":N}}.
  std::string answer;
};

// Runs `entry` once for `account`, with the standing the host found it to
// have, then checks the process (see above). With `data`, the answer's data
// is copied there as well, for a host that reads it rather than pass it on.
ModuleCallResult RunModuleCall(APIEntryFunc entry, const std::string& account,
                               KIVO::Standing standing, Json::Value params,
                               Json::Value* data = nullptr);

// Whether the calling thread still has the effective ids, groups and umask
// the process started with; logs what changed when not.
bool ProcessAsStarted();

}  // namespace host

#endif  // KIVO_HOST_MODULE_CALL_H_
