// POST /webapi/accounts/create, /webapi/accounts/lock and
// /webapi/accounts/remove: the administrators' account changes, which
// `kivo-webapi useradd` and the account changes of host/hosting share.
//
// Threading: entered on the event loop. A creation hashes the new password
// on the password pool, behind the login brake of the administrator's
// account (whose own password it asks for, as a password change does); a
// lock or a removal runs on the module thread, a removal calling the
// module's calendar list there. All take account_changes_ in turn.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "host/accounts/accounts.h"
#include "host/common/json_text.h"
#include "host/hosting/account_changes.h"
#include "host/hosting/root_layout.h"
#include "host/webapi/http_rules.h"
#include "host/webapi/refusals.h"
#include "host/webapi/service_status.h"
#include "host/webapi/share_choices.h"
#include "host/webapi/web_api_server.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"
#include "platform/accounts.h"

namespace {

constexpr char kLogUnit[] = "account_admin_endpoints";

}  // namespace

namespace host {

namespace {

HttpAnswer RefusalSaying(int code, const std::string& message) {
  Json::Value body(Json::objectValue);
  body["success"] = false;
  body["error"]["code"] = code;
  body["error"]["message"] = message;
  return JsonAnswer(HttpStatusOf(code), body);
}

int ChangeRefusal(ChangeBar bar) {
  switch (bar) {
    case ChangeBar::kNone:
      return 0;
    case ChangeBar::kNoSuchAccount:
      return kNoSuchAccount;
    case ChangeBar::kGuest:
      return kGuestRefused;
    case ChangeBar::kSystemAccount:
      return kSystemAccount;
    case ChangeBar::kOwnAccount:
      return kOwnAccount;
    case ChangeBar::kLastAdministrator:
      return kLastAdmin;
    case ChangeBar::kFailed:
      return kUnknownError;
  }
  return kUnknownError;
}

bool FolderIsIn(const std::string& folder, const std::string& home) {
  return folder == home ||
         (folder.size() > home.size() && folder.compare(0, home.size(), home) == 0 &&
          folder[home.size()] == '/');
}

// Account name -> the listed `items` whose folder (`folder_of`) is in that
// account's home.
Json::Value InHomes(const Json::Value& items, bool (*folder_of)(const Json::Value&, std::string*)) {
  Json::Value homes(Json::objectValue);
  std::string dir;
  if (!ShareDirectory("homes", &dir)) return homes;
  for (const Account& account : ListAccounts(kivo::Root())) {
    const std::string home = dir + "/" + account.name;
    Json::Value listed(Json::arrayValue);
    for (const Json::Value& item : items) {
      std::string folder;
      if (folder_of(item, &folder) && FolderIsIn(folder, home)) listed.append(item);
    }
    if (!listed.empty()) homes[account.name] = listed;
  }
  return homes;
}

}  // namespace

Json::Value CalendarsInHomes(const ModuleTable& module, const std::string& admin) {
  return InHomes(ListedCalendars(module, admin, true), ListedCalendarFolder);
}

Json::Value AddressBooksInHomes(const ModuleTable& module, const std::string& admin) {
  return InHomes(ListedAddressBooks(module, admin, true), ListedAddressBookFolder);
}

bool WebApiServer::AdminChange(const HttpRequest& request, const HttpReply& reply,
                               std::string* token, Grant* grant, Json::Value* body,
                               HttpReply* answer) {
  *token = SessionTokenFromCookie(request.Header("Cookie"));
  if (token->empty() || !sessions_.Lookup(*token, grant)) {
    reply(RefusalAnswer(kNotLoggedIn));
    return false;
  }
  HttpAnswer refused;
  if (!ParseJson(request.body, body) || !body->isObject() || !(*body)["account"].isString()) {
    refused = RefusalAnswer(kMalformedRequest);
  } else if (!grant->admin) {
    refused = RefusalAnswer(kNotAllowed);
  } else {
    *answer = [by = grant->account, reply](HttpAnswer a) {
      a.log_account = by;
      reply(std::move(a));
    };
    return true;
  }
  refused.log_account = grant->account;
  reply(std::move(refused));
  return false;
}

void WebApiServer::PostAccountChange(const std::string& token, const HttpReply& answer,
                                     std::function<HttpAnswer()> change) {
  const bool posted = module_thread_.Post([this, token, answer, change = std::move(change)] {
    if (!SessionHolds(token)) return answer(RefusalAnswer(kNotLoggedIn));
    std::lock_guard<std::mutex> one_at_a_time(account_changes_);
    answer(change());
  });
  if (!posted) answer(RefusalAnswer(kServerBusy));
}

// On the event loop: the name's form and the password's rules here, the
// rest on the password pool, behind the login brake of the session's account.
void WebApiServer::CreateAccount(const HttpRequest& request, const HttpReply& reply) {
  auto made = std::make_shared<NewAccount>();
  Json::Value body;
  HttpReply answer;
  if (!AdminChange(request, reply, &made->token, &made->grant, &body, &answer)) return;
  const std::string& by = made->grant.account;
  if (!body["password"].isString() || !body["admin_password"].isString() ||
      (body.isMember("admin") && !body["admin"].isBool())) {
    return answer(RefusalAnswer(kMalformedRequest));
  }
  made->name = body["account"].asString();
  made->password = body["password"].asString();
  made->admin_password = body["admin_password"].asString();
  made->admin = body.get("admin", false).asBool();
  made->address = request.client_address;
  std::string why;
  if (!IsValidUserName(made->name)) {
    JudgeNewAccountName(made->name, &why);
    return answer(RefusalSaying(kNameRefused, why));
  }
  if (!MeetsPasswordRules(made->password, made->name)) return answer(RefusalAnswer(kPasswordRules));
  const std::chrono::seconds wait = brake_.Wait(by, made->address);
  HttpAnswer busy = RefusalAnswer(kTooManyLogins);
  if (wait.count() > 0) {
    busy.headers.emplace_back("Retry-After", std::to_string(wait.count()));
    return answer(std::move(busy));
  }
  busy.headers.emplace_back("Retry-After", "1");
  const auto refuse = [answer, busy] { answer(busy); };
  if (!password_pool_.Post(
          made->address, [this, made, answer] { answer(MakeAccount(*made)); }, refuse)) {
    refuse();
  }
}

// On the password pool.
HttpAnswer WebApiServer::MakeAccount(const NewAccount& made) {
  if (!SessionHolds(made.token)) return RefusalAnswer(kNotLoggedIn);
  std::string hash;
  if (!kivo::ReadPasswordHash(made.grant.account, &hash)) hash.clear();
  const auto start = std::chrono::steady_clock::now();
  const bool ok = kivo::PasswordMatches(made.admin_password, hash);
  brake_.NoteHash(std::chrono::steady_clock::now() - start);
  brake_.Record(made.grant.account, made.address, ok);
  if (!ok) return RefusalAnswer(kWrongPassword);
  const std::string root = kivo::Root();
  std::lock_guard<std::mutex> one_at_a_time(account_changes_);
  std::string why;
  switch (JudgeNewAccountName(made.name, &why)) {
    case NewNameBar::kNone:
      break;
    case NewNameBar::kExists:
      return RefusalSaying(kAccountExists, why);
    case NewNameBar::kInvalid:
    case NewNameBar::kReserved:
      return RefusalSaying(kNameRefused, why);
  }
  // useradd's own steps: the lines, a locked password, the private home.
  if (AddUser(root, made.name, 0, made.admin) != 0 ||
      kivo::SetPassword(made.name, made.password) != 0) {
    KIVO_LOG(LOG_ERR, "cannot make the account %s", made.name.c_str());
    return RefusalAnswer(kUnknownError);
  }
  KIVO_LOG(LOG_NOTICE, "administrator %s made the account %s%s", made.grant.account.c_str(),
           made.name.c_str(), made.admin ? " (an administrator)" : "");
  Account account;
  const bool found = LookupAccount(made.name, &account);
  Json::Value out(Json::objectValue);
  out["success"] = true;
  out["data"]["account"] = made.name;
  out["data"]["is_admin"] = IsAdministrator(made.name);
  out["data"]["home"] = found ? HomeStateName(HomeStateOf(root, account)) : "missing";
  return JsonAnswer(200, out);
}

void WebApiServer::LockAccountRequest(const HttpRequest& request, const HttpReply& reply) {
  std::string token;
  Grant grant;
  Json::Value body;
  HttpReply answer;
  if (!AdminChange(request, reply, &token, &grant, &body, &answer)) return;
  const std::string by = grant.account;
  if (!body["locked"].isBool()) return answer(RefusalAnswer(kMalformedRequest));
  const std::string name = body["account"].asString();
  const bool locked = body["locked"].asBool();
  PostAccountChange(token, answer, [this, by, name, locked] {
    const ChangeBar bar = LockAccount(kivo::Root(), by, name, locked);
    if (bar != ChangeBar::kNone) return RefusalAnswer(ChangeRefusal(bar));
    // Its sessions end now; the doors read the locked hash at their next login.
    const size_t ended = locked ? sessions_.PasswordChanged(name, "", "") : 0;
    KIVO_LOG(LOG_NOTICE, "administrator %s %s the account %s", by.c_str(),
             locked ? "locked" : "unlocked", name.c_str());
    Json::Value out(Json::objectValue);
    out["success"] = true;
    out["data"]["account"] = name;
    out["data"]["locked"] = locked;
    out["data"]["sessions_ended"] = static_cast<Json::UInt64>(ended);
    return JsonAnswer(200, out);
  });
}

void WebApiServer::RemoveAccountRequest(const HttpRequest& request, const HttpReply& reply) {
  std::string token;
  Grant grant;
  Json::Value body;
  HttpReply answer;
  if (!AdminChange(request, reply, &token, &grant, &body, &answer)) return;
  const std::string by = grant.account;
  // Said every time: a home is never removed by default, nor kept by mistake.
  if (!body["remove_home"].isBool()) return answer(RefusalAnswer(kMalformedRequest));
  const std::string name = body["account"].asString();
  const bool remove_home = body["remove_home"].asBool();
  PostAccountChange(token, answer, [this, by, name, remove_home] {
    const Json::Value left = CalendarsInHomes(module_, by)[name];
    const Json::Value books_left = AddressBooksInHomes(module_, by)[name];
    HomeFate home = HomeFate::kKept;
    const ChangeBar bar = RemoveAccount(kivo::Root(), by, name, remove_home, &home);
    if (bar != ChangeBar::kNone) return RefusalAnswer(ChangeRefusal(bar));
    const size_t ended = sessions_.PasswordChanged(name, "", "");
    KIVO_LOG(LOG_NOTICE, "administrator %s removed the account %s (home %s)", by.c_str(),
             name.c_str(), HomeFateName(home));
    Json::Value out(Json::objectValue);
    out["success"] = true;
    out["data"]["account"] = name;
    out["data"]["home"] = HomeFateName(home);
    out["data"]["calendars_left"] = left.isArray() ? left : Json::Value(Json::arrayValue);
    out["data"]["addressbooks_left"] =
        books_left.isArray() ? books_left : Json::Value(Json::arrayValue);
    out["data"]["sessions_ended"] = static_cast<Json::UInt64>(ended);
    return JsonAnswer(200, out);
  });
}

}  // namespace host
