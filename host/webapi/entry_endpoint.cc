// POST /webapi/entry: one call of a module method, run on the module thread.

#include <memory>
#include <string>

#include "host/common/decimal.h"
#include "host/common/json_text.h"
#include "host/hosting/changes_under_way.h"
#include "host/hosting/module_call.h"
#include "host/webapi/calendar_rules.h"
#include "host/webapi/http_rules.h"
#include "host/webapi/refusals.h"
#include "host/webapi/web_api_server.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "entry_endpoint";

}  // namespace

namespace host {

namespace {

// What the host does around a module call beyond the permission descriptor,
// by (api, method); calls not listed need nothing more.
struct CallPolicy {
  const char* api;
  const char* method;
  // A user who is no administrator must pass the calendar rules
  // (host/webapi/calendar_rules.h): a home folder only their own, an entry that
  // names the folder it makes.
  bool user_calendar_rules;
};

constexpr CallPolicy kCallPolicies[] = {
    {"KIVO.Core.FileServ.WebDAV.CalDAV.Calendar", "create", true},
};

const CallPolicy kNoPolicy = {"", "", false};

const CallPolicy& PolicyOf(const std::string& api, const std::string& method) {
  for (const CallPolicy& policy : kCallPolicies) {
    if (api == policy.api && method == policy.method) return policy;
  }
  return kNoPolicy;
}

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
    switch (module_.Find(call->api, call->version, call->method, &call->entry)) {
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
  if (call->entry == nullptr) {
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
  if (!MayCall(permissions_.Lookup(call.api, call.version, call.method), grant.admin)) {
    return answer(RefusalAnswer(kNotAllowed));
  }
  const CallPolicy& policy = PolicyOf(call.api, call.method);
  if (policy.user_calendar_rules && !grant.admin) {
    if (!HomeCreateAllowed(call.params, grant.account) ||
        !CreateEntryMatchesFolder(call.params, grant.account)) {
      return answer(RefusalAnswer(kNotAllowed));
    }
  }
  // A change a stopped process left half done ends first.
  RecoverChanges(module_);
  const ModuleCallResult result = RunModuleCall(call.entry, grant.account, std::move(call.params));
  if (!result.answered) {
    KIVO_LOG(LOG_ERR, "%s.%s left the call unanswered", call.api.c_str(), call.method.c_str());
    return answer(RefusalAnswer(kUnknownError));
  }
  answer(TextAnswer(200, std::move(result.answer)));
}

}  // namespace host
