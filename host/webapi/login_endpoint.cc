// POST /webapi/auth (log in) and DELETE /webapi/auth (log out).

#include <time.h>

#include <chrono>
#include <string>

#include "host/accounts/accounts.h"
#include "host/common/json_text.h"
#include "host/webapi/http_rules.h"
#include "host/webapi/refusals.h"
#include "host/webapi/web_api_server.h"
#include "kivo/log.h"
#include "platform/accounts.h"

namespace {

constexpr char kLogUnit[] = "login_endpoint";

}  // namespace

namespace host {

void WebApiServer::Login(const HttpRequest& request, const HttpReply& reply) {
  Json::Value body;
  if (!ParseJson(request.body, &body) || !body.isObject() || !body["account"].isString() ||
      !body["password"].isString()) {
    return reply(RefusalAnswer(kMalformedRequest));
  }
  const std::string account = body["account"].asString();
  const std::string address = request.client_address;
  kb_login keys{};
  const std::chrono::seconds wait = TakeLogin(account, address, &keys);
  HttpAnswer busy = RefusalAnswer(kTooManyLogins);
  busy.log_account = account;
  if (wait.count() > 0) {
    // Answered a second late, without hashing: a guesser that waits for
    // its answers (as browsers and scripts do) slows down to the brake's
    // pace, and the event loop stays free for others' logins.
    busy.headers.emplace_back("Retry-After", std::to_string(wait.count()));
    if (!delayed_refusals_.Post(std::chrono::seconds(1), [reply, busy] { reply(busy); })) {
      reply(std::move(busy));
    }
    return;
  }
  const std::string password = body["password"].asString();
  const bool tls = request.tls;
  busy.headers.emplace_back("Retry-After", "1");
  // A try the checks were too busy for costs its account nothing.
  const auto refuse = [this, account, address, keys, reply, busy] {
    RecordLogin(account, address, keys, KB_UNCHECKED);
    reply(busy);
  };
  if (!password_pool_.Post(
          address,
          [this, account, password, address, keys, tls, reply] {
            CheckPassword(account, password, address, keys, tls, reply);
          },
          refuse)) {
    refuse();
  }
}

std::chrono::seconds WebApiServer::TakeLogin(const std::string& account, const std::string& address,
                                             kb_login* keys) {
  if (!shared_brake_) return brake_.Wait(account, address);
  kb_login_keys(shared_brake_.get(), account.c_str(), address.c_str(), keys);
  return std::chrono::seconds(kb_take(shared_brake_.get(), keys, time(nullptr)));
}

void WebApiServer::RecordLogin(const std::string& account, const std::string& address,
                               const kb_login& keys, int outcome) {
  if (shared_brake_) {
    kb_record(shared_brake_.get(), &keys, outcome, time(nullptr));
  } else if (outcome != KB_UNCHECKED) {
    brake_.Record(account, address, outcome == KB_SUCCEEDED);
  }
}

// On the password pool.
void WebApiServer::CheckPassword(const std::string& account, const std::string& password,
                                 const std::string& address, kb_login keys, bool tls,
                                 const HttpReply& reply) {
  const uint64_t version = accounts_version_.Current();
  Grant grant;
  grant.account = account;
  Account record;
  // The guest account serves anonymous WebDAV requests only.
  const bool known = account != kGuestAccount && IsValidUserName(account) &&
                     LookupAccount(account, &record) &&
                     kivo::ReadPasswordHash(account, &grant.password_hash);
  grant.admin = known && IsAdministrator(account);
  HttpAnswer refused = RefusalAnswer(kBadCredentials);
  refused.log_account = account;
  if (!known) {
    // Refused after as long as a hash takes, but without hashing: names
    // tried at random never hold up the threads that check real accounts.
    RecordLogin(account, address, keys, KB_FAILED);
    if (!delayed_refusals_.Post(brake_.HashTime(), [reply, refused] { reply(refused); })) {
      reply(refused);
    }
    return;
  }
  // The hashing is slow on purpose.
  const auto start = std::chrono::steady_clock::now();
  const bool ok = kivo::PasswordMatches(password, grant.password_hash);
  // The WebDAV daemon refuses unknown names after as long.
  brake_.NoteHash(std::chrono::steady_clock::now() - start);
  RecordLogin(account, address, keys, ok ? KB_SUCCEEDED : KB_FAILED);
  if (!ok) return reply(std::move(refused));
  const std::string token = sessions_.Create(grant, version);
  if (token.empty()) {
    KIVO_LOG(LOG_ERR, "no random bytes for a session token");
    return reply(RefusalAnswer(kUnknownError));
  }
  Json::Value body(Json::objectValue);
  body["success"] = true;
  body["data"]["account"] = account;
  body["data"]["is_admin"] = grant.admin;
  HttpAnswer answer = JsonAnswer(200, body);
  answer.headers.emplace_back("Set-Cookie", SessionCookie(token) + (tls ? "; Secure" : ""));
  answer.log_account = account;
  reply(std::move(answer));
}

void WebApiServer::Logout(const HttpRequest& request, const HttpReply& reply) {
  const std::string token = SessionTokenFromCookie(request.Header("Cookie"));
  Grant grant;
  HttpAnswer answer;
  if (token.empty() || !sessions_.Lookup(token, &grant) || !sessions_.Remove(token)) {
    answer = RefusalAnswer(kNotLoggedIn);
  } else {
    Json::Value body(Json::objectValue);
    body["success"] = true;
    body["data"] = Json::Value();
    answer = JsonAnswer(200, body);
    answer.log_account = grant.account;
  }
  answer.headers.emplace_back("Set-Cookie",
                              ExpiredSessionCookie() + (request.tls ? "; Secure" : ""));
  reply(std::move(answer));
}

}  // namespace host
