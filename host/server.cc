#include "host/server.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>

#include "host/accounts.h"
#include "host/accounts_version.h"
#include "host/calendar_rules.h"
#include "host/cli.h"
#include "host/host_log.h"
#include "host/http_rules.h"
#include "host/json_text.h"
#include "host/module_call.h"
#include "host/module_table.h"
#include "host/permissions.h"
#include "host/refusals.h"
#include "host/sessions.h"
#include "host/service_status.h"
#include "host/share_choices.h"
#include "host/static_files.h"
#include "host/work_queues.h"
#include "module/kivo_api.h"
#include "module/kivo_paths.h"
#include "platform/accounts.h"

namespace host {

namespace {

constexpr char kCalendarApi[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";
constexpr char kJson[] = "application/json";
constexpr size_t kMaxSessions = 4096;
constexpr size_t kMaxQueuedCalls = 256;
// Password checks: threads, checks one client address may have under way,
// checks waiting per /24 or /64 and in all.
constexpr FairLimits kPasswordChecks = {2, 4, 16, 64};
// Refusals of unknown accounts waiting to go out (more than the connections).
constexpr size_t kMaxDelayedRefusals = 2048;
// Failed logins of one account from one address: three free, then 1 s,
// doubling up to a minute; forgotten after 15 quiet minutes.
constexpr int kFreeFailures = 3;
constexpr std::chrono::seconds kFirstDelay(1), kMaxDelay(60), kForgetFailures(15 * 60);

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The access log's time stamp, formatted once a second per thread.
const char* UtcNow() {
  thread_local time_t last = -1;
  thread_local char text[32];
  const time_t now = time(nullptr);
  if (now != last) {
    struct tm tm;
    gmtime_r(&now, &tm);
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
    last = now;
  }
  return text;
}

HttpAnswer TextAnswer(int status, std::string text) {
  HttpAnswer answer;
  answer.status = status;
  answer.content_type = kJson;
  answer.body = std::move(text);
  return answer;
}

HttpAnswer JsonAnswer(int status, const Json::Value& body) {
  return TextAnswer(status, AnswerJson(body));
}

HttpAnswer RefusalAnswer(int code) {
  return TextAnswer(HttpStatusOf(code), AnswerText(false, code, Json::Value()));
}

// The host part of a Host header or Origin authority: brackets kept for
// IPv6, the port dropped, letter case folded.
std::string HostName(const std::string& authority) {
  std::string name = authority;
  if (!name.empty() && name[0] == '[') {
    name = name.substr(0, name.find(']') + 1);
  } else {
    name = name.substr(0, name.find(':'));
  }
  return Lower(name);
}

bool ReadWholeFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

std::string LogEscape(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out.empty() ? "-" : out;
}

namespace {

class WebApiServer final : public HttpHandler {
 public:
  WebApiServer(const ServeOptions& options, const ModuleTable& module,
               const Permissions& permissions)
      : options_(options),
        module_(module),
        permissions_(permissions),
        daemons_(this, options.limits),
        sessions_(options.session_idle, options.session_lifetime, kMaxSessions),
        accounts_version_(kivo::Root()),
        brake_(kFreeFailures, kFirstDelay, kMaxDelay, kForgetFailures),
        delayed_refusals_(kMaxDelayedRefusals),
        module_thread_(kMaxQueuedCalls),
        password_pool_(kPasswordChecks) {}

  int Run(const sigset_t& stop_signals);

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
                     const std::string& address, bool tls, const HttpReply& reply);
  std::chrono::nanoseconds HashTime() const { return std::chrono::nanoseconds(hash_ns_.load()); }
  void NoteHashTime(std::chrono::steady_clock::duration took);
  void Logout(const HttpRequest& request, const HttpReply& reply);
  void Entry(const HttpRequest& request, const HttpReply& reply);
  struct Call {
    std::string token;
    Grant grant;
    std::string api, method;
    long version = 0;
    APIEntryFunc entry = nullptr;
    Json::Value params;
  };
  void RunCall(Call& call, const HttpReply& reply);
  void Page(const HttpRequest& request, const HttpReply& reply);
  // GET endpoints that answer for the session's account, on the module
  // thread. Without a session: 106, or for the probe a 200 that says so.
  void SessionRead(const HttpRequest& request, const HttpReply& reply, bool probe,
                   Json::Value (*data)(const Grant& grant));
  bool SessionHolds(const std::string& token);

  const ServeOptions& options_;
  const ModuleTable& module_;
  const Permissions& permissions_;
  std::vector<std::string> names_;  // Host names we answer to, lower case
  // Declared before the threads that resume its connections: destroyed after
  // they have finished.
  HttpDaemons daemons_;
  SessionStore sessions_;
  AccountsVersion accounts_version_;
  LoginBrake brake_;
  // A calendar create switches the process's credentials for every thread
  // while it runs; the password checks read etc/shadow with root's rights.
  std::mutex credentials_mu_;
  // Before the password pool, whose threads post to it: destroyed after.
  DelayLine delayed_refusals_;
  std::atomic<int64_t> hash_ns_{0};  // what a password hash takes, lately
  WorkThread module_thread_;
  FairPool password_pool_;
};

bool WebApiServer::IsOurName(const std::string& name) const {
  return std::find(names_.begin(), names_.end(), name) != names_.end();
}

bool WebApiServer::OriginIsOurs(const HttpRequest& request, const std::string& origin) const {
  const std::string scheme = request.tls ? "https://" : "http://";
  if (Lower(origin).compare(0, scheme.size(), scheme) != 0) return false;
  const std::string port = std::to_string(request.port);
  for (const std::string& name : names_) {
    if (OriginMatchesHost(origin, name + ":" + port)) return true;
  }
  return false;
}

HttpAnswer WebApiServer::Refusal(const HttpRequest&, int status) {
  switch (status) {
    case 411:
      return RefusalAnswer(kLengthRequired);
    case 413:
      return RefusalAnswer(kTooLarge);
    case 431:
      return RefusalAnswer(kHeadersTooLarge);
    default:
      return RefusalAnswer(kMalformedRequest);
  }
}

// Judged on the headers alone, our names first: a request for another name
// (a rebound DNS name, for one) learns nothing else.
bool WebApiServer::Screen(const HttpRequest& request, HttpAnswer* answer) {
  if (!IsOurName(HostName(request.Header("Host")))) {
    *answer = RefusalAnswer(kMisdirected);
    return true;
  }
  if (request.HasHeader("Origin") && !OriginIsOurs(request, request.Header("Origin"))) {
    *answer = RefusalAnswer(kCrossSite);
    return true;
  }
  const int refusal = HeaderRefusal(request.method, nullptr, "", request.Header("Content-Type"));
  if (refusal != 0) {
    *answer = RefusalAnswer(refusal);
    return true;
  }
  return false;
}

void WebApiServer::Handle(const HttpRequest& request, HttpReply reply) {
  const std::string& m = request.method;
  const std::string& path = request.path;
  if (path == "/webapi/auth" && m == "POST") return Login(request, reply);
  if (path == "/webapi/auth" && m == "DELETE") return Logout(request, reply);
  if (path == "/webapi/entry" && m == "POST") return Entry(request, reply);
  if (path == "/webapi/shares" && m == "GET") {
    return SessionRead(request, reply, false, [](const Grant& grant) {
      Json::Value data = ShareChoices(grant.account, grant.admin);
      data["account"] = grant.account;
      data["is_admin"] = grant.admin;
      return data;
    });
  }
  if (path == "/webapi/services" && m == "GET") {
    return SessionRead(request, reply, false, [](const Grant&) { return ServiceStatusJson(); });
  }
  if (path == "/webapi/session" && m == "GET") {
    return SessionRead(request, reply, true, [](const Grant& grant) {
      Json::Value data(Json::objectValue);
      data["logged_in"] = true;
      data["account"] = grant.account;
      data["is_admin"] = grant.admin;
      return data;
    });
  }
  if (path.compare(0, 8, "/webapi/") != 0 && path != "/webapi" && (m == "GET" || m == "HEAD")) {
    return Page(request, reply);
  }
  reply(RefusalAnswer(kNoSuchEndpoint));
}

void WebApiServer::Page(const HttpRequest& request, const HttpReply& reply) {
  StaticFile file;
  if (!LoadStaticFile(options_.www_dir, request.path, &file)) {
    return reply(RefusalAnswer(kNoSuchEndpoint));
  }
  HttpAnswer answer;
  answer.content_type = file.content_type;
  answer.body = std::move(file.body);
  answer.headers = std::move(file.headers);
  reply(std::move(answer));
}

void WebApiServer::Login(const HttpRequest& request, const HttpReply& reply) {
  Json::Value body;
  if (!ParseJson(request.body, &body) || !body.isObject() || !body["account"].isString() ||
      !body["password"].isString()) {
    return reply(RefusalAnswer(kMalformedRequest));
  }
  const std::string account = body["account"].asString();
  const std::string address = request.client_address;
  const std::chrono::seconds wait = brake_.Wait(account, address);
  HttpAnswer busy = RefusalAnswer(kTooManyLogins);
  busy.log_account = account;
  if (wait.count() > 0) {
    busy.headers.emplace_back("Retry-After", std::to_string(wait.count()));
    return reply(std::move(busy));
  }
  const std::string password = body["password"].asString();
  const bool tls = request.tls;
  busy.headers.emplace_back("Retry-After", "1");
  const auto refuse = [reply, busy] { reply(busy); };
  if (!password_pool_.Post(
          address, ClientNetwork(address),
          [this, account, password, address, tls, reply] {
            CheckPassword(account, password, address, tls, reply);
          },
          refuse)) {
    refuse();
  }
}

void WebApiServer::NoteHashTime(std::chrono::steady_clock::duration took) {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
  const int64_t old = hash_ns_.load();
  hash_ns_.store(old == 0 ? ns : old + (ns - old) / 8);
}

// On the password pool.
void WebApiServer::CheckPassword(const std::string& account, const std::string& password,
                                 const std::string& address, bool tls, const HttpReply& reply) {
  const uint64_t version = accounts_version_.Current();
  Grant grant;
  grant.account = account;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(credentials_mu_);
    Account record;
    // The guest account serves anonymous WebDAV requests only.
    known = account != kGuestAccount && IsValidUserName(account) &&
            LookupAccount(account, &record) &&
            kivo::ReadPasswordHash(account, &grant.password_hash);
    grant.admin = known && IsAdministrator(account);
  }
  HttpAnswer refused = RefusalAnswer(kBadCredentials);
  refused.log_account = account;
  if (!known) {
    // Refused after as long as a hash takes, but without hashing: names
    // tried at random never hold up the threads that check real accounts.
    brake_.Record(account, address, false);
    if (!delayed_refusals_.Post(HashTime(), [reply, refused] { reply(refused); })) reply(refused);
    return;
  }
  // Outside the lock: the hashing is slow on purpose.
  const auto start = std::chrono::steady_clock::now();
  const bool ok = kivo::PasswordMatches(password, grant.password_hash);
  NoteHashTime(std::chrono::steady_clock::now() - start);
  brake_.Record(account, address, ok);
  if (!ok) return reply(std::move(refused));
  const std::string token = sessions_.Create(grant, version);
  if (token.empty()) {
    HOST_LOG("no random bytes for a session token");
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
    HOST_LOG("%zu module calls queued: refusing more", kMaxQueuedCalls);
    reply(RefusalAnswer(kServerBusy));
  }
}

// On the module thread, where nothing switches the process's credentials
// behind its back: the session's grant is re-checked here when the account
// files changed.
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
  const bool create = call.api == kCalendarApi && call.method == "create";
  if (create && !grant.admin) {
    if (!HomeCreateAllowed(call.params, grant.account) ||
        !CreateEntryMatchesFolder(call.params, grant.account)) {
      return answer(RefusalAnswer(kNotAllowed));
    }
  }
  ModuleCallResult result;
  if (create) {
    std::lock_guard<std::mutex> lock(credentials_mu_);
    result = RunModuleCall(call.entry, grant.account, std::move(call.params));
  } else {
    result = RunModuleCall(call.entry, grant.account, std::move(call.params));
  }
  if (!result.answered) {
    HOST_LOG("%s.%s left the call unanswered", call.api.c_str(), call.method.c_str());
    return answer(RefusalAnswer(kUnknownError));
  }
  answer(TextAnswer(200, std::move(result.answer)));
}

// On the module thread. Confirm also finds a session that ended (logout)
// while its work waited.
bool WebApiServer::SessionHolds(const std::string& token) {
  const auto still_holds = [](const Grant& g) {
    Account record;
    std::string hash;
    return LookupAccount(g.account, &record) && kivo::ReadPasswordHash(g.account, &hash) &&
           hash == g.password_hash && (!g.admin || IsAdministrator(g.account));
  };
  return sessions_.Confirm(token, accounts_version_.Current(), still_holds);
}

// The page's reads: which shares it may offer for a create, where the
// services are, whether it is logged in. On the module thread, since they
// read the account files and the daemons' files as root.
void WebApiServer::SessionRead(const HttpRequest& request, const HttpReply& reply, bool probe,
                               Json::Value (*data)(const Grant& grant)) {
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

void WebApiServer::Logged(const HttpRequest& request, const HttpAnswer& answer,
                          std::chrono::steady_clock::duration took) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  std::fprintf(stderr, "%s %s %s %s %s %d %lldms\n", UtcNow(), LogEscape(request.method).c_str(),
               LogEscape(request.path).c_str(), LogEscape(answer.log_call).c_str(),
               LogEscape(answer.log_account).c_str(), answer.status, static_cast<long long>(ms));
}

int WebApiServer::Run(const sigset_t& stop_signals) {
  // What an unknown account's refusal waits, until real checks tell.
  const auto start = std::chrono::steady_clock::now();
  kivo::PasswordMatches("", "");
  NoteHashTime(std::chrono::steady_clock::now() - start);
  names_ = {"localhost"};
  for (const std::string& name : options_.server_names) names_.push_back(Lower(name));
  std::string cert, key;
  bool tls = false;
  for (const Listen& l : options_.listens) tls = tls || l.tls;
  if (tls && (!ReadWholeFile(options_.tls_cert, &cert) || !ReadWholeFile(options_.tls_key, &key))) {
    HOST_LOG("cannot read the certificate %s or its key %s", options_.tls_cert.c_str(),
             options_.tls_key.c_str());
    return kExitFailed;
  }
  std::vector<std::string> announced;
  for (const Listen& l : options_.listens) {
    const int port = daemons_.Add(l, cert, key);
    if (port < 0) return kExitFailed;
    const bool v6 = l.address.find(':') != std::string::npos;
    names_.push_back(Lower(v6 ? "[" + l.address + "]" : l.address));
    announced.push_back("listening on " + (v6 ? "[" + l.address + "]" : l.address) + ":" +
                        std::to_string(port) + (l.tls ? " (https)" : ""));
  }
  // Plain listeners first: scripts read the first line.
  std::stable_sort(
      announced.begin(), announced.end(), [](const std::string& a, const std::string& b) {
        return a.find("(https)") == std::string::npos && b.find("(https)") != std::string::npos;
      });
  for (const std::string& line : announced) std::printf("%s\n", line.c_str());
  std::fflush(stdout);

  std::atomic<bool> stop(false);
  std::atomic<bool> done(false);
  std::thread waiter([&] {
    const struct timespec tick = {0, 100 * 1000 * 1000};
    while (!done && !stop) {
      if (sigtimedwait(&stop_signals, nullptr, &tick) > 0) {
        HOST_LOG("stopping");
        stop = true;
      }
    }
  });
  daemons_.Run(stop);
  done = true;
  waiter.join();
  return kExitOk;
}

bool ParseListen(const std::string& text, bool tls, std::vector<Listen>* listens) {
  const std::string::size_type colon = text.rfind(':');
  long port = -1;
  if (colon == std::string::npos || !ParseDecimal(text.substr(colon + 1), &port) || port < 0 ||
      port > 65535) {
    return false;
  }
  std::string address = text.substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  if (address.empty()) return false;
  listens->push_back(Listen{address, static_cast<int>(port), tls});
  return true;
}

}  // namespace

int Serve(const ServeOptions& options) {
  // Blocked before any thread starts, so that only the waiter takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Every thread started from here on inherits this. A thread woken by
  // another (the module thread by the loop, the loop by an answer) then
  // waits for the waker to block instead of preempting it: requests that
  // arrive together are handed over and answered together, at two thread
  // switches a batch instead of two a request. Sharing the CPUs stays fair.
  const struct sched_param normal = {};
  if (sched_setscheduler(0, SCHED_BATCH, &normal) != 0) {
    HOST_LOG("cannot batch wake-ups (%s): serving without", strerror(errno));
  }
  // Room for every connection the limit allows, beside the files in use.
  struct rlimit files;
  const rlim_t wanted = options.limits.connection_limit + 256;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < wanted) {
    files.rlim_cur = std::min(wanted, files.rlim_max);
    setrlimit(RLIMIT_NOFILE, &files);
  }

  ModuleTable module;
  Permissions permissions;
  std::string error;
  if (!module.Open(options.module_path, &error) ||
      !permissions.Load(options.descriptor_path, &error)) {
    HOST_LOG("%s", error.c_str());
    return kExitFailed;
  }
  for (const ModuleRow& row : module.rows()) {
    if (permissions.Lookup(row.api, row.version, row.method) == Audience::kNobody) {
      HOST_LOG("note: %s %ld %s has no permission entry: refused to everybody", row.api.c_str(),
               row.version, row.method.c_str());
    }
  }
  WebApiServer server(options, module, permissions);
  return server.Run(stop_signals);
}

int RunServe(const Args& args) {
  ParsedArgs parsed;
  ServeOptions options;
  long idle = 0, timeout = 0;
  bool ok = ParseArgs(args,
                      {"--listen", "--listen-tls", "--tls-cert", "--tls-key", "--tls-priority",
                       "--server-name", "--module", "--descriptor", "--www", "--session-idle",
                       "--client-timeout"},
                      {}, &parsed) &&
            parsed.positional.empty();
  for (const auto& option : parsed.options) {
    if (option.first == "--listen" || option.first == "--listen-tls") {
      ok = ok && ParseListen(option.second, option.first == "--listen-tls", &options.listens);
    } else if (option.first == "--server-name") {
      ok = ok && !option.second.empty();
      options.server_names.push_back(option.second);
    }
  }
  if (!ok || (parsed.Has("--tls-priority") && parsed.Get("--tls-priority", "").empty()) ||
      (parsed.Has("--session-idle") &&
       (!ParseDecimal(parsed.Get("--session-idle", ""), &idle) || idle <= 0)) ||
      (parsed.Has("--client-timeout") &&
       (!ParseDecimal(parsed.Get("--client-timeout", ""), &timeout) || timeout <= 0))) {
    HOST_LOG(
        "usage: kivo-webapi serve [--listen ADDR:PORT]... [--listen-tls ADDR:PORT]... "
        "[--tls-cert FILE] [--tls-key FILE] [--tls-priority GNUTLS-PRIORITIES] "
        "[--server-name NAME]... [--module PATH] "
        "[--descriptor PATH] [--www DIR] [--session-idle SECONDS] [--client-timeout SECONDS]");
    return kExitUsage;
  }
  if (options.listens.empty()) {
    options.listens = {Listen{"127.0.0.1", 5000, false}, Listen{"127.0.0.1", 5001, true}};
  }
  options.limits.tls_priorities = parsed.Get("--tls-priority", kDefaultTlsPriorities);
  if (idle > 0) options.session_idle = std::chrono::seconds(idle);
  if (timeout > 0) options.limits.client_timeout = std::chrono::seconds(timeout);
  options.tls_cert = parsed.Get("--tls-cert", InRoot(kivo::Root(), "/etc/kivo/tls/server.crt"));
  options.tls_key = parsed.Get("--tls-key", InRoot(kivo::Root(), "/etc/kivo/tls/server.key"));
  options.module_path = parsed.Get("--module", DefaultModulePath());
  options.descriptor_path = parsed.Get("--descriptor", DescriptorPathFor(options.module_path));
  options.www_dir = parsed.Get("--www", DefaultWwwDir());
  return Serve(options);
}

}  // namespace host
