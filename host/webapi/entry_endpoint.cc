// POST /webapi/entry: one call of a module method, run on the module thread.

#include <memory>
#include <string>

#include "host/common/decimal.h"
#include "host/common/json_text.h"
#include "host/hosting/changes_under_way.h"
#include "host/hosting/module_call.h"
#include "host/webapi/http_rules.h"
#include "host/webapi/refusals.h"
#include "host/webapi/web_api_server.h"
#include "kivo/error_codes.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "entry_endpoint";

}  // namespace

namespace host {

namespace {

// The module answers an ordinary account's forbidden request with the very
// code the host refuses such calls with.
static_assert(static_cast<int>(kNotAllowed) == static_cast<int>(WEBAPI_ERR_NOT_ALLOWED));

bool ParseEntry(const std::string& text, std::string* api, long* version, std::string* method,
                Json::Value* params) {
  Json::Value body;
  if (!ParseJson(text, &body) || !body.isObject() || !body["api"].isString() ||
      !body["method"].isString()) {
    return false;
  }
  *api = body["api"].asString();
  *method = body["method"].asString();
  const Json::Value& v = body["version"];
  if (v.isInt()) {
    *version = v.asInt();
  } else if (!v.isString() || !ParseDecimal(v.asString(), version)) {
    return false;
  }
  if (!body.removeMember("params", params) || params->isNull()) {
    *params = Json::Value(Json::objectValue);
  }
  return params->isObject();
}

}  // namespace

void WebApiServer::Entry(const HttpRequest& request, const HttpReply& reply) {
  auto call = std::make_shared<Call>();
  call->token = SessionTokenFromCookie(request.Header("Cookie"));
  if (call->token.empty() || !sessions_.Lookup(call->token, &call->grant)) {
    return reply(RefusalAnswer(kNotLoggedIn));
  }
  HttpAnswer refused;
  if (!ParseEntry(request.body, &call->api, &call->version, &call->method, &call->params)) {
    refused = RefusalAnswer(kMalformedRequest);
  } else {
    switch (module_.Find(call->api, call->version, call->method, &call->row)) {
      case Match::kUnknownApi:
        refused = RefusalAnswer(kUnknownApi);
        break;
      case Match::kUnknownMethod:
        refused = RefusalAnswer(kUnknownMethod);
        break;
      case Match::kFound:
        break;
    }
  }
  if (call->row == nullptr) {
    refused.log_account = call->grant.account;
    refused.log_call = call->api.empty() ? "" : call->api + "." + call->method;
    return reply(std::move(refused));
  }
  if (!module_thread_.Post([this, call, reply] { RunCall(*call, reply); })) {
    KIVO_LOG(LOG_WARNING, "%zu module calls queued: refusing more", kMaxQueuedCalls);
    reply(RefusalAnswer(kServerBusy));
  }
}

// On the module thread: the session's grant is re-checked here when the
// account files changed.
void WebApiServer::RunCall(Call& call, const HttpReply& reply) {
  if (!SessionHolds(call.token)) return reply(RefusalAnswer(kNotLoggedIn));
  const Grant& grant = call.grant;
  const auto answer = [&](HttpAnswer a) {
    a.log_account = grant.account;
    a.log_call = call.api + "." + call.method;
    reply(std::move(a));
  };
  const ModuleRow& row = *call.row;
  if (!MayCall(row, grant.admin)) return answer(RefusalAnswer(kNotAllowed));
  // A change a stopped process left half done ends first.
  RecoverChanges(module_);
  const KIVO::Standing standing =
      grant.admin ? KIVO::Standing::kAdministrator : KIVO::Standing::kUser;
  const ModuleCallResult result =
      RunModuleCall(row.function, grant.account, standing, std::move(call.params));
  if (!result.answered) {
    KIVO_LOG(LOG_ERR, "%s.%s left the call unanswered", call.api.c_str(), call.method.c_str());
    return answer(RefusalAnswer(kUnknownError));
  }
  // The module refuses what an account may not do with the host's own
  // code for it, and the host answers it as its own refusal.
  const bool refused = !result.success && result.error_code == kNotAllowed;
  answer(TextAnswer(refused ? HttpStatusOf(kNotAllowed) : 200, std::move(result.answer)));
}

}  // namespace host
