// GET /webapi/shares, and the road every read of the page takes (the
// services and session reads as well): answered for the session's account
// on the module thread.

#include <string>

#include "host/common/json_text.h"
#include "host/webapi/http_rules.h"
#include "host/webapi/refusals.h"
#include "host/webapi/share_choices.h"
#include "host/webapi/web_api_server.h"

namespace host {

// Which shares the page may offer for a create, for whom.
void WebApiServer::Shares(const HttpRequest& request, const HttpReply& reply) {
  SessionRead(request, reply, false, [](const Grant& grant) {
    Json::Value data = ShareChoices(grant.account, grant.admin);
    data["account"] = grant.account;
    data["is_admin"] = grant.admin;
    return data;
  });
}

// The page's reads: which shares it may offer for a create, where the
// services are, whether it is logged in. On the module thread, since they
// read the account files and the daemons' files as root.
void WebApiServer::SessionRead(const HttpRequest& request, const HttpReply& reply, bool probe,
                               std::function<Json::Value(const Grant& grant)> data) {
  // A page that asks whether it is logged in gets its "no" as an answer,
  // not as an error its browser reports.
  const auto refuse = [probe, reply] {
    if (!probe) return reply(RefusalAnswer(kNotLoggedIn));
    Json::Value body(Json::objectValue);
    body["success"] = true;
    body["data"]["logged_in"] = false;
    reply(JsonAnswer(200, body));
  };
  const std::string token = SessionTokenFromCookie(request.Header("Cookie"));
  Grant grant;
  if (token.empty() || !sessions_.Lookup(token, &grant)) return refuse();
  if (!module_thread_.Post([this, token, grant, reply, refuse, data] {
        if (!SessionHolds(token)) return refuse();
        Json::Value body(Json::objectValue);
        body["success"] = true;
        body["data"] = data(grant);
        HttpAnswer answer = JsonAnswer(200, body);
        answer.log_account = grant.account;
        reply(std::move(answer));
      })) {
    reply(RefusalAnswer(kServerBusy));
  }
}

}  // namespace host
