#include "host/server.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "host/accounts.h"
#include "host/calendar_rules.h"
#include "host/cli.h"
#include "host/host_log.h"
#include "host/http_connection.h"
#include "host/http_rules.h"
#include "host/json_text.h"
#include "host/module_call.h"
#include "host/module_table.h"
#include "host/permissions.h"
#include "host/refusals.h"
#include "host/sessions.h"
#include "host/share_choices.h"
#include "host/static_files.h"
#include "module/kivo_api.h"
#include "platform/accounts.h"

namespace host {

namespace {

constexpr char kCalendarApi[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";
constexpr size_t kMaxSessions = 4096;
constexpr size_t kWorkerThreads = 48;
constexpr time_t kClientTimeoutSeconds = 3;

// What the access log line of the request being served on this worker
// thread says beyond the request line and status.
struct RequestTrace {
  std::chrono::steady_clock::time_point start;
  std::string call;     // api.method
  std::string account;  // session's account, or the one trying to log in
};
thread_local RequestTrace t_trace;

void Answer(httplib::Response& res, int status, Json::Value body) {
  res.status = status;
  res.set_content(AnswerJson(std::move(body)), "application/json");
}

void Refuse(httplib::Response& res, int code) {
  Json::Value body(Json::objectValue);
  body["success"] = false;
  body["error"]["code"] = code;
  Answer(res, HttpStatusOf(code), std::move(body));
}

int RefusalForStatus(int status) {
  switch (status) {
    case 400:
      return kMalformedRequest;
    case 404:
    case 405:
      return kNoSuchEndpoint;
    case 413:
      return kTooLarge;
    default:
      return kUnknownError;
  }
}

std::string UtcNow() {
  const time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  char text[32];
  strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

class WebApiServer {
 public:
  WebApiServer(const ServeOptions& options, const ModuleTable& module,
               const Permissions& permissions)
      : options_(options),
        module_(module),
        permissions_(permissions),
        sessions_(options.session_idle, kMaxSessions),
        guard_(options.max_login_failures, options.lockout, options.max_pending_logins) {}

  // Serves until `stop_requested` is set and the server is stopped.
  int Run(const sigset_t& stop_signals);

 private:
  httplib::Server::HandlerResponse PreRoute(const httplib::Request& req, httplib::Response& res);
  void Login(const httplib::Request& req, httplib::Response& res);
  void Logout(const httplib::Request& req, httplib::Response& res);
  void Entry(const httplib::Request& req, httplib::Response& res);
  void LogAccess(const httplib::Request& req, const httplib::Response& res);
  bool ParseEntry(const std::string& text, std::string* api, long* version, std::string* method,
                  Json::Value* params);

  const ServeOptions& options_;
  const ModuleTable& module_;
  const Permissions& permissions_;
  SessionStore sessions_;
  LoginGuard guard_;
  // The process's credentials and umask: a calendar create switches them for
  // every thread while it runs. Held around each module call and around host
  // work that needs root's rights (etc/shadow, resolving a user's paths).
  std::mutex process_mu_;
  BufferedServer http_;
};

httplib::Server::HandlerResponse WebApiServer::PreRoute(const httplib::Request& req,
                                                        httplib::Response& res) {
  t_trace = RequestTrace{std::chrono::steady_clock::now(), "", ""};
  std::string host = req.get_header_value("Host");
  if (host.empty()) host = options_.address + ":" + std::to_string(options_.port);
  const std::string origin = req.get_header_value("Origin");
  const int refusal = HeaderRefusal(req.method, req.has_header("Origin") ? &origin : nullptr, host,
                                    req.get_header_value("Content-Type"));
  if (refusal != 0) {
    Refuse(res, refusal);
    res.set_header("Connection", "close");  // the body was not read
    return httplib::Server::HandlerResponse::Handled;
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

void WebApiServer::Login(const httplib::Request& req, httplib::Response& res) {
  Json::Value body;
  if (!ParseJson(req.body, &body) || !body.isObject() || !body["account"].isString() ||
      !body["password"].isString()) {
    return Refuse(res, kMalformedRequest);
  }
  const std::string account = body["account"].asString();
  t_trace.account = account;
  switch (guard_.Begin(account)) {
    case LoginGuard::Admit::kLockedOut:
    case LoginGuard::Admit::kBusy:
      return Refuse(res, kTooManyLogins);
    case LoginGuard::Admit::kYes:
      break;
  }
  std::string hash;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(process_mu_);
    Account record;
    known = account != kGuestAccount && IsValidUserName(account) &&
            LookupAccount(account, &record) && kivo::ReadPasswordHash(account, &hash);
  }
  // Outside the lock: the hashing is slow on purpose, and an unknown account
  // costs the same hashing as a known one.
  const bool matches = kivo::PasswordMatches(body["password"].asString(), known ? hash : "");
  const bool ok = known && matches;
  guard_.End(account, ok);
  if (!ok) return Refuse(res, kBadCredentials);

  const std::string token = sessions_.Create(account);
  if (token.empty()) {
    HOST_LOG("no random bytes for a session token");
    return Refuse(res, kUnknownError);
  }
  res.set_header("Set-Cookie", SessionCookie(token));
  Json::Value answer(Json::objectValue);
  answer["success"] = true;
  answer["data"]["account"] = account;
  answer["data"]["is_admin"] = IsAdministrator(account);
  Answer(res, 200, std::move(answer));
}

void WebApiServer::Logout(const httplib::Request& req, httplib::Response& res) {
  const std::string token = SessionTokenFromCookie(req.get_header_value("Cookie"));
  res.set_header("Set-Cookie", ExpiredSessionCookie());
  if (token.empty() || !sessions_.Lookup(token, &t_trace.account) || !sessions_.Remove(token)) {
    return Refuse(res, kNotLoggedIn);
  }
  Json::Value answer(Json::objectValue);
  answer["success"] = true;
  answer["data"] = Json::Value();
  Answer(res, 200, std::move(answer));
}

bool WebApiServer::ParseEntry(const std::string& text, std::string* api, long* version,
                              std::string* method, Json::Value* params) {
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
  *params = body.isMember("params") ? body["params"] : Json::Value(Json::objectValue);
  if (params->isNull()) *params = Json::Value(Json::objectValue);
  return params->isObject();
}

void WebApiServer::Entry(const httplib::Request& req, httplib::Response& res) {
  std::string account;
  const std::string token = SessionTokenFromCookie(req.get_header_value("Cookie"));
  if (token.empty() || !sessions_.Lookup(token, &account)) return Refuse(res, kNotLoggedIn);
  t_trace.account = account;

  std::string api, method;
  long version = 0;
  Json::Value params;
  if (!ParseEntry(req.body, &api, &version, &method, &params)) {
    return Refuse(res, kMalformedRequest);
  }
  t_trace.call = api + "." + method;
  APIEntryFunc entry = nullptr;
  switch (module_.Find(api, version, method, &entry)) {
    case Match::kUnknownApi:
      return Refuse(res, kUnknownApi);
    case Match::kUnknownMethod:
      return Refuse(res, kUnknownMethod);
    case Match::kFound:
      break;
  }
  const bool admin = IsAdministrator(account);
  if (!MayCall(permissions_.Lookup(api, version, method), admin)) return Refuse(res, kNotAllowed);

  ModuleCallResult result;
  {
    std::lock_guard<std::mutex> lock(process_mu_);
    if (!admin && api == kCalendarApi && method == "create") {
      if (!HomeCreateAllowed(params, account) || !CreateEntryMatchesFolder(params, account)) {
        return Refuse(res, kNotAllowed);
      }
    }
    result = RunModuleCall(entry, account, params);
  }
  if (!result.answered) {
    HOST_LOG("%s left the call unanswered", t_trace.call.c_str());
    return Refuse(res, kUnknownError);
  }
  Answer(res, 200, std::move(result.answer));
}

void WebApiServer::LogAccess(const httplib::Request& req, const httplib::Response& res) {
  std::string duration = "-";
  if (t_trace.start.time_since_epoch().count() != 0) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t_trace.start);
    duration = std::to_string(ms.count()) + "ms";
  }
  std::fprintf(stderr, "%s %s %s %s %s %d %s\n", UtcNow().c_str(), req.method.c_str(),
               req.path.c_str(), t_trace.call.empty() ? "-" : t_trace.call.c_str(),
               t_trace.account.empty() ? "-" : t_trace.account.c_str(), res.status,
               duration.c_str());
  t_trace = RequestTrace();
}

int WebApiServer::Run(const sigset_t& stop_signals) {
  using httplib::Request;
  using httplib::Response;
  http_.set_payload_max_length(options_.max_body);
  // The answer's head and body go out in separate writes: without
  // TCP_NODELAY every kept-alive request waits for the client's delayed ACK.
  http_.set_tcp_nodelay(true);
  http_.set_keep_alive_max_count(1000);
  // A connection holds a worker while it waits for its client. Enough
  // workers, and short waits, keep clients that never finish a request from
  // starving the others.
  http_.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  http_.set_read_timeout(kClientTimeoutSeconds, 0);
  http_.set_write_timeout(kClientTimeoutSeconds, 0);
  http_.set_keep_alive_timeout(kClientTimeoutSeconds);
  http_.set_pre_routing_handler(
      [this](const Request& req, Response& res) { return PreRoute(req, res); });
  http_.Post("/webapi/auth", [this](const Request& req, Response& res) { Login(req, res); });
  http_.Delete("/webapi/auth", [this](const Request& req, Response& res) { Logout(req, res); });
  http_.Post("/webapi/entry", [this](const Request& req, Response& res) { Entry(req, res); });
  // The administration page: the shares it may offer, and its own files.
  http_.Get("/webapi/shares", [this](const Request& req, Response& res) {
    std::string account;
    const std::string token = SessionTokenFromCookie(req.get_header_value("Cookie"));
    if (token.empty() || !sessions_.Lookup(token, &account)) return Refuse(res, kNotLoggedIn);
    t_trace.account = account;
    Json::Value answer(Json::objectValue);
    answer["success"] = true;
    {
      std::lock_guard<std::mutex> lock(process_mu_);
      const bool admin = IsAdministrator(account);
      answer["data"] = ShareChoices(account, admin);
      answer["data"]["account"] = account;
      answer["data"]["is_admin"] = admin;
    }
    Answer(res, 200, std::move(answer));
  });
  http_.Get(".*", [www = DefaultWwwDir()](const Request& req, Response& res) {
    StaticFile file;
    if (req.path.compare(0, 8, "/webapi/") == 0 || !LoadStaticFile(www, req.path, &file)) {
      return Refuse(res, kNoSuchEndpoint);
    }
    for (const auto& header : file.headers) res.set_header(header.first, header.second);
    res.set_content(file.body, file.content_type);
  });
  http_.set_error_handler([](const Request&, Response& res) {
    if (res.body.empty()) Refuse(res, RefusalForStatus(res.status));
  });
  http_.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    HOST_LOG("request failed with an exception");
    Refuse(res, kUnknownError);
  });
  http_.set_logger([this](const Request& req, const Response& res) { LogAccess(req, res); });

  int port = options_.port;
  if (port == 0) {
    port = http_.bind_to_any_port(options_.address);
  } else if (!http_.bind_to_port(options_.address, port)) {
    port = -1;
  }
  if (port <= 0) {
    HOST_LOG("cannot listen on %s:%d", options_.address.c_str(), options_.port);
    return kExitFailed;
  }
  std::printf("listening on %s:%d\n", options_.address.c_str(), port);
  std::fflush(stdout);

  std::atomic<bool> done(false);
  std::atomic<bool> stop_requested(false);
  std::thread waiter([&] {
    const struct timespec tick = {0, 100 * 1000 * 1000};
    while (!done) {
      if (!stop_requested && sigtimedwait(&stop_signals, nullptr, &tick) > 0) {
        HOST_LOG("stopping");
        stop_requested = true;
      }
      // Repeated, since a stop that comes before the server runs is lost.
      if (stop_requested) {
        http_.stop();
        nanosleep(&tick, nullptr);
      }
    }
  });
  const bool listened = http_.listen_after_bind();
  done = true;
  waiter.join();
  return listened || stop_requested ? kExitOk : kExitFailed;
}

bool ParseListen(const std::string& text, ServeOptions* options) {
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
  options->address = address;
  options->port = static_cast<int>(port);
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
  long idle = 0;
  if (!ParseArgs(args, {"--listen", "--module", "--descriptor", "--session-idle"}, {}, &parsed) ||
      !parsed.positional.empty() ||
      (parsed.Has("--listen") && !ParseListen(parsed.Get("--listen", ""), &options)) ||
      (parsed.Has("--session-idle") &&
       (!ParseDecimal(parsed.Get("--session-idle", ""), &idle) || idle <= 0))) {
    HOST_LOG(
        "usage: kivo-webapi serve [--listen ADDR:PORT] [--module PATH] [--descriptor PATH] "
        "[--session-idle SECONDS]");
    return kExitUsage;
  }
  if (idle > 0) options.session_idle = std::chrono::seconds(idle);
  options.module_path = parsed.Get("--module", DefaultModulePath());
  options.descriptor_path = parsed.Get("--descriptor", DescriptorPathFor(options.module_path));
  return Serve(options);
}

}  // namespace host
