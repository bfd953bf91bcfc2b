// POST /webapi/password (a password change), GET /webapi/accounts (the
// accounts list) and POST /webapi/accounts/home (make a home private): the
// account work the page does beside the module's calls.
//
// Threading: entered on the event loop. A password change is hashed on the
// password pool, behind the login brake, reading and writing etc/shadow
// through the platform's locked writer; the list and the homes run on the
// module thread.

#include <chrono>
#include <memory>
#include <string>

#include "host/accounts/accounts.h"
#include "host/common/json_text.h"
#include "host/hosting/root_layout.h"
#include "host/webapi/http_rules.h"
#include "host/webapi/refusals.h"
#include "host/webapi/web_api_server.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"
#include "platform/accounts.h"

namespace {

constexpr char kLogUnit[] = "account_endpoints";

}  // namespace

namespace host {

namespace {

// Answers a session's request: every answer's log line names the session's
// account.
HttpReply AnsweringAs(const std::string& account, const HttpReply& reply) {
  return [account, reply](HttpAnswer a) {
    a.log_account = account;
    reply(std::move(a));
  };
}

// The refusal for an account no password or home is given to, or 0.
int BarRefusal(AccountBar bar) {
  switch (bar) {
    case AccountBar::kGuest:
      return kGuestRefused;
    case AccountBar::kSystemUid:
    case AccountBar::kGroupRoot:
      return kSystemAccount;
    case AccountBar::kLocked:
      return kAccountLocked;
    case AccountBar::kNone:
    case AccountBar::kNoPassword:
      return 0;
  }
  return 0;
}

std::string HashOf(const std::string& name) {
  std::string hash;
  if (!kivo::ReadPasswordHash(name, &hash)) hash.clear();
  return hash;
}

// On the module thread.
Json::Value AccountsJson(const ModuleTable& module, const Grant& grant) {
  const std::string root = kivo::Root();
  // What a removal would leave behind, for the page to say before it asks.
  const Json::Value calendars = CalendarsInHomes(module, grant.account);
  const Json::Value books = AddressBooksInHomes(module, grant.account);
  Json::Value list(Json::arrayValue);
  for (const Account& account : ListAccounts(root)) {
    const AccountBar bar = BarOf(account, HashOf(account.name));
    Json::Value row(Json::objectValue);
    row["account"] = account.name;
    row["uid"] = static_cast<Json::UInt>(account.uid);
    row["is_admin"] = IsAdministrator(account.name);
    row["refused"] = BarName(bar);
    // Accounts the daemons never serve have no home there to speak of.
    const bool served = BarRefusal(bar) == 0 || bar == AccountBar::kLocked;
    row["home"] = served ? Json::Value(HomeStateName(HomeStateOf(root, account))) : Json::Value();
    row["calendars"] =
        calendars.isMember(account.name) ? calendars[account.name] : Json::Value(Json::arrayValue);
    row["addressbooks"] =
        books.isMember(account.name) ? books[account.name] : Json::Value(Json::arrayValue);
    list.append(row);
  }
  Json::Value data(Json::objectValue);
  data["accounts"] = list;
  return data;
}

}  // namespace

// On the event loop: what needs no account file is judged here, the rest on
// the password pool, behind the login brake of the session's account.
void WebApiServer::Password(const HttpRequest& request, const HttpReply& reply) {
  const std::string token = SessionTokenFromCookie(request.Header("Cookie"));
  Grant grant;
  if (token.empty() || !sessions_.Lookup(token, &grant)) {
    return reply(RefusalAnswer(kNotLoggedIn));
  }
  const HttpReply answer = AnsweringAs(grant.account, reply);
  Json::Value body;
  if (!ParseJson(request.body, &body) || !body.isObject() || !body["old_password"].isString() ||
      !body["password"].isString() || (body.isMember("account") && !body["account"].isString())) {
    return answer(RefusalAnswer(kMalformedRequest));
  }
  const std::string target = body.get("account", grant.account).asString();
  const std::string password = body["password"].asString();
  if (target != grant.account && !grant.admin) return answer(RefusalAnswer(kNotAllowed));
  if (!MeetsPasswordRules(password, target)) return answer(RefusalAnswer(kPasswordRules));
  const std::string address = request.client_address;
  const std::chrono::seconds wait = brake_.Wait(grant.account, address);
  HttpAnswer busy = RefusalAnswer(kTooManyLogins);
  busy.log_account = grant.account;
  if (wait.count() > 0) {
    busy.headers.emplace_back("Retry-After", std::to_string(wait.count()));
    return reply(std::move(busy));
  }
  busy.headers.emplace_back("Retry-After", "1");
  const auto refuse = [reply, busy] { reply(busy); };
  auto change = std::make_shared<PasswordChange>();
  change->token = token;
  change->grant = grant;
  change->target = target;
  change->old_password = body["old_password"].asString();
  change->password = password;
  change->address = address;
  if (!password_pool_.Post(
          address, [this, change, answer] { answer(ChangePassword(*change)); }, refuse)) {
    refuse();
  }
}

// On the password pool.
HttpAnswer WebApiServer::ChangePassword(const PasswordChange& change) {
  if (!SessionHolds(change.token)) return RefusalAnswer(kNotLoggedIn);
  const std::string hash = HashOf(change.grant.account);
  const auto start = std::chrono::steady_clock::now();
  const bool ok = kivo::PasswordMatches(change.old_password, hash);
  brake_.NoteHash(std::chrono::steady_clock::now() - start);
  brake_.Record(change.grant.account, change.address, ok);
  if (!ok) return RefusalAnswer(kWrongPassword);
  Account account;
  if (!IsValidUserName(change.target) || !LookupAccount(change.target, &account)) {
    return RefusalAnswer(kNoSuchAccount);
  }
  const int barred = BarRefusal(BarOf(account, HashOf(change.target)));
  if (barred != 0) return RefusalAnswer(barred);
  // The platform's writer, as `kivo-webapi passwd`: locked, replaced whole.
  if (kivo::SetPassword(change.target, change.password) != 0) {
    KIVO_LOG(LOG_ERR, "cannot set the password of %s", change.target.c_str());
    return RefusalAnswer(kUnknownError);
  }
  const std::string new_hash = HashOf(change.target);
  const bool own = change.target == change.grant.account;
  const size_t ended = sessions_.PasswordChanged(change.target, own ? change.token : "", new_hash);
  if (own) {
    KIVO_LOG(LOG_NOTICE, "%s changed their password", change.target.c_str());
  } else {
    KIVO_LOG(LOG_NOTICE, "administrator %s set the password of %s", change.grant.account.c_str(),
             change.target.c_str());
  }
  Json::Value body(Json::objectValue);
  body["success"] = true;
  body["data"]["account"] = change.target;
  body["data"]["sessions_ended"] = static_cast<Json::UInt64>(ended);
  return JsonAnswer(200, body);
}

void WebApiServer::Accounts(const HttpRequest& request, const HttpReply& reply) {
  Grant grant;
  const std::string token = SessionTokenFromCookie(request.Header("Cookie"));
  if (!token.empty() && sessions_.Lookup(token, &grant) && !grant.admin) {
    HttpAnswer refused = RefusalAnswer(kNotAllowed);
    refused.log_account = grant.account;
    return reply(std::move(refused));
  }
  SessionRead(request, reply, false,
              [this](const Grant& admin) { return AccountsJson(module_, admin); });
}

void WebApiServer::AccountHome(const HttpRequest& request, const HttpReply& reply) {
  const std::string token = SessionTokenFromCookie(request.Header("Cookie"));
  Grant grant;
  if (token.empty() || !sessions_.Lookup(token, &grant)) {
    return reply(RefusalAnswer(kNotLoggedIn));
  }
  const HttpReply answer = AnsweringAs(grant.account, reply);
  Json::Value body;
  if (!ParseJson(request.body, &body) || !body.isObject() || !body["account"].isString()) {
    return answer(RefusalAnswer(kMalformedRequest));
  }
  if (!grant.admin) return answer(RefusalAnswer(kNotAllowed));
  const std::string name = body["account"].asString();
  // On the module thread, in turn with the module's calls.
  const bool posted = module_thread_.Post([this, token, grant, name, answer] {
    if (!SessionHolds(token)) return answer(RefusalAnswer(kNotLoggedIn));
    const std::string root = kivo::Root();
    Account account;
    if (!IsValidUserName(name) || !LookupAccount(name, &account)) {
      return answer(RefusalAnswer(kNoSuchAccount));
    }
    const AccountBar bar = BarOf(account, HashOf(name));
    if (bar == AccountBar::kGuest || bar == AccountBar::kSystemUid ||
        bar == AccountBar::kGroupRoot) {
      return answer(RefusalAnswer(BarRefusal(bar)));
    }
    if (!MakePrivateHome(root, account)) return answer(RefusalAnswer(kUnknownError));
    KIVO_LOG(LOG_NOTICE, "administrator %s made the home of %s private", grant.account.c_str(),
             name.c_str());
    Json::Value out(Json::objectValue);
    out["success"] = true;
    out["data"]["account"] = name;
    out["data"]["home"] = HomeStateName(HomeStateOf(root, account));
    answer(JsonAnswer(200, out));
  });
  if (!posted) answer(RefusalAnswer(kServerBusy));
}

}  // namespace host
