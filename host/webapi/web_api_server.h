// The server behind `kivo-webapi serve` (host/webapi/server.h), for the files that
// make it up: its frame (routing, screening, the access log, the run) in
// host/webapi/server.cc, its endpoints in host/webapi/login_endpoint.cc,
// host/webapi/entry_endpoint.cc, host/webapi/shares_endpoint.cc and
// host/webapi/account_endpoints.cc, and the command that
// starts it in host/cli/serve_command.cc. Internal to the host.
//
// Threading: the endpoints are entered on the event loop; what they post runs
// on the module thread or the password pool, as each says.

#ifndef KIVO_HOST_WEB_API_SERVER_H_
#define KIVO_HOST_WEB_API_SERVER_H_

#include <json/json.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "daemons/apache/kivo_login_brake.h"
#include "host/accounts/accounts.h"
#include "host/hosting/module_table.h"
#include "host/http/http_daemon.h"
#include "host/http/work_queues.h"
#include "host/webapi/server.h"
#include "host/webapi/sessions.h"

namespace host {

// Module calls waiting for the module thread before more are refused.
constexpr size_t kMaxQueuedCalls = 256;

// Letter case folded (ASCII).
std::string Lower(std::string text);
// JSON answers: a text as it is, a value, and a refusal's answer by its code
// (host/webapi/refusals.h).
HttpAnswer TextAnswer(int status, std::string text);
HttpAnswer JsonAnswer(int status, const Json::Value& body);
HttpAnswer RefusalAnswer(int code);
// Account name -> the calendars of the module's list (as the administrator
// `admin` gets it) whose folder is in that account's home; accounts with
// none are left out. Only where module calls run.
Json::Value CalendarsInHomes(const ModuleTable& module, const std::string& admin);
// The same for the address books.
Json::Value AddressBooksInHomes(const ModuleTable& module, const std::string& admin);

class WebApiServer final : public HttpHandler {
 public:
  WebApiServer(const ServeOptions& options, const ModuleTable& module);

  // Serves until one of `stop_signals` comes; false when it cannot start.
  bool Run(const sigset_t& stop_signals);

  bool Screen(const HttpRequest& request, HttpAnswer* answer) override;
  HttpAnswer Refusal(const HttpRequest& request, int status) override;
  void Handle(const HttpRequest& request, HttpReply reply) override;
  void Logged(const HttpRequest& request, const HttpAnswer& answer,
              std::chrono::steady_clock::duration took) override;

 private:
  bool IsOurName(const std::string& name) const;
  bool OriginIsOurs(const HttpRequest& request, const std::string& origin) const;
  void Login(const HttpRequest& request, const HttpReply& reply);
  void CheckPassword(const std::string& account, const std::string& password,
                     const std::string& address, kb_login keys, bool tls, const HttpReply& reply);
  // The brake on logins: every door's shared one, or this process's own
  // where it cannot be opened (not root).
  std::chrono::seconds TakeLogin(const std::string& account, const std::string& address,
                                 kb_login* keys);
  void RecordLogin(const std::string& account, const std::string& address, const kb_login& keys,
                   int outcome);
  void Logout(const HttpRequest& request, const HttpReply& reply);
  void Entry(const HttpRequest& request, const HttpReply& reply);
  // host/webapi/account_endpoints.cc
  void Password(const HttpRequest& request, const HttpReply& reply);
  struct PasswordChange {
    std::string token;
    Grant grant;
    std::string target, old_password, password, address;
  };
  HttpAnswer ChangePassword(const PasswordChange& change);
  void Accounts(const HttpRequest& request, const HttpReply& reply);
  void AccountHome(const HttpRequest& request, const HttpReply& reply);
  // The administrator's session and JSON body of an account change, and the
  // reply that names the administrator in the access log; false when it was
  // answered (refused) here.
  bool AdminChange(const HttpRequest& request, const HttpReply& reply, std::string* token,
                   Grant* grant, Json::Value* body, HttpReply* answer);
  // Runs `change` on the module thread, one account change at a time, while
  // the session `token` still holds; 503 when the thread's queue is full.
  void PostAccountChange(const std::string& token, const HttpReply& answer,
                         std::function<HttpAnswer()> change);
  void CreateAccount(const HttpRequest& request, const HttpReply& reply);
  struct NewAccount {
    std::string token;
    Grant grant;
    std::string name, password, admin_password, address;
    bool admin = false;
  };
  HttpAnswer MakeAccount(const NewAccount& account);
  void LockAccountRequest(const HttpRequest& request, const HttpReply& reply);
  void RemoveAccountRequest(const HttpRequest& request, const HttpReply& reply);
  void Shares(const HttpRequest& request, const HttpReply& reply);
  // host/webapi/certificate_endpoint.cc
  void Certificate(const HttpRequest& request, const HttpReply& reply);
  void InstallOwnCertificate(const HttpRequest& request, const HttpReply& reply, bool self_signed);
  struct Call {
    std::string token;
    Grant grant;
    std::string api, method;
    long version = 0;
    const ModuleRow* row = nullptr;
    Json::Value params;
  };
  void RunCall(Call& call, const HttpReply& reply);
  void Page(const HttpRequest& request, const HttpReply& reply);
  // GET endpoints that answer for the session's account, on the module
  // thread. Without a session: 106, or for the probe a 200 that says so.
  void SessionRead(const HttpRequest& request, const HttpReply& reply, bool probe,
                   std::function<Json::Value(const Grant& grant)> data);
  bool SessionHolds(const std::string& token);

  const ServeOptions& options_;
  const ModuleTable& module_;
  std::vector<std::string> names_;  // Host names we answer to, lower case
  // Declared before the threads that resume its connections: destroyed after
  // they have finished.
  HttpDaemons daemons_;
  SessionStore sessions_;
  AccountsVersion accounts_version_;
  LoginBrake brake_;
  std::unique_ptr<kb_brake, void (*)(kb_brake*)> shared_brake_{nullptr, kb_close};
  // Before the password pool, whose threads post to it: destroyed after.
  DelayLine delayed_refusals_;
  // Account changes one at a time (creations on the password pool, the rest
  // on the module thread): each judges the files the one before left.
  std::mutex account_changes_;
  WorkThread module_thread_;
  FairPool password_pool_;
};

}  // namespace host

#endif  // KIVO_HOST_WEB_API_SERVER_H_
