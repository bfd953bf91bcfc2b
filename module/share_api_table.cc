// The second module, KIVO.Core.FileServ.WebDAV.Share.so: the per-share
// access lists. Its own table and descriptor
// (KIVO.Core.FileServ.WebDAV.Share.lib), so that the first module's table
// keeps its eight rows; the host loads both side by side.

#include <cxxabi.h>

#include <exception>

#include "kivo/api_table.h"
#include "kivo/error_codes.h"
#include "kivo/log.h"
#include "share/share_access.h"

#define KIVO_EXPORT __attribute__((visibility("default")))

namespace {
constexpr char kShare[] = "KIVO.Core.FileServ.WebDAV.Share";
constexpr char kLogUnit[] = "share_access";

// As the first module's entry functions: one handler per call, nothing
// escapes into the host, and a call left unanswered gets its recorded code.
template <void (ShareAccessHandler::*kMethod)()>
void RunOnce(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  try {
    ShareAccessHandler handler(request, response);
    try {
      (handler.*kMethod)();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const std::exception& e) {
      KIVO_LOG(LOG_ERR, "%s", e.what());
      if (response->answer_count() == 0) handler.ReportError();
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    if (response->answer_count() == 0) {
      try {
        response->SetError(WEBAPI_ERR_OPERATION_FAILED, Json::Value());
      } catch (...) {
      }
    }
  }
}
}  // namespace

extern "C" {

KIVO_EXPORT void ShareAccessList(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<&ShareAccessHandler::List>(request, response);
}

KIVO_EXPORT void ShareAccessSet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<&ShareAccessHandler::Set>(request, response);
}

KIVO_EXPORT extern const APITableEntry gTable[] = {
    {kShare, 1, "list", ShareAccessList},
    {kShare, 1, "set", ShareAccessSet},
    {nullptr, 0, nullptr, nullptr},
};

KIVO_EXPORT const APITableEntry* GetAPITable(void) { return gTable; }

}  // extern "C"
