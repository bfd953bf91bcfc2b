// One module call as every front end of the host runs it (`call` and
// `serve`'s module thread): build the request and response objects, run the
// row's entry function, and turn the response into the web API's answer.
//
// The module runs as root and may leave the process changed (a calendar
// create switches the effective identity, the supplementary groups and the
// file-creation mask for the whole process). RunModuleCall is the one place
// that puts the process back as the host keeps it, after every call and
// before anything else runs (another call, or a program the host starts);
// nothing else in the host changes it. Effective group, then
// effective user, as the host started; its supplementary groups as at start;
// the host's file-creation mask, 022. It must never run on two threads at once.

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
// have; the process is restored after it. With `data`, the answer's data
// is copied there as well, for a host that reads it rather than pass it on.
ModuleCallResult RunModuleCall(APIEntryFunc entry, const std::string& account,
                               KIVO::Standing standing, Json::Value params,
                               Json::Value* data = nullptr);

// Puts the process back as the host keeps it (see above). Aborts when the
// identity cannot be restored: no later call may run as a user.
void RestoreProcess();

}  // namespace host

#endif  // KIVO_HOST_MODULE_CALL_H_
