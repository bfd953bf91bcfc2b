#include "host/webapi/server.h"

#include <errno.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "base/root_files.h"
#include "host/accounts/accounts.h"
#include "host/common/json_text.h"
#include "host/http/static_files.h"
#include "host/http/tls_pair.h"
#include "host/webapi/http_rules.h"
#include "host/webapi/refusals.h"
#include "host/webapi/service_status.h"
#include "host/webapi/web_api_server.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"
#include "platform/accounts.h"

namespace {

constexpr char kLogUnit[] = "server";

}  // namespace

namespace host {

namespace {

constexpr char kJson[] = "application/json";
constexpr size_t kMaxSessions = 4096;
// Password checks: threads, checks one client address may have under way,
// checks waiting per /24 or /64 and in all.
constexpr FairLimits kPasswordChecks = {2, 4, 16, 64};
// Refusals of unknown accounts waiting to go out (more than the connections).
constexpr size_t kMaxDelayedRefusals = 2048;
// Failed logins of one account from one address: three free, then 1 s,
// doubling up to a minute; forgotten after 15 quiet minutes.
constexpr int kFreeFailures = 3;
constexpr std::chrono::seconds kFirstDelay(1), kMaxDelay(60), kForgetFailures(15 * 60);

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

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
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

WebApiServer::WebApiServer(const ServeOptions& options, const ModuleTable& module)
    : options_(options),
      module_(module),
      daemons_(this, options.limits),
      sessions_(options.session_idle, options.session_lifetime, kMaxSessions),
      accounts_version_(kivo::Root()),
      brake_(kFreeFailures, kFirstDelay, kMaxDelay, kForgetFailures),
      delayed_refusals_(kMaxDelayedRefusals),
      module_thread_(kMaxQueuedCalls),
      password_pool_(kPasswordChecks) {
  // The login brake the WebDAV and CalDAV doors share (as root; a server
  // run by another account keeps a brake of its own).
  const std::string path = kivo::RootedPath(KB_STATE_PATH);
  if (geteuid() == 0 && kivo::base::MakeParentDirs(path))
    shared_brake_.reset(kb_open(path.c_str()));
  brake_.Share(shared_brake_.get());
  if (!shared_brake_ && geteuid() == 0) {
    KIVO_LOG(LOG_WARNING,
             "cannot open the shared login brake %s: %s; this server brakes on its own",
             path.c_str(), strerror(errno));
  }
}

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
  if (path == "/webapi/shares" && m == "GET") return Shares(request, reply);
  if (path == "/webapi/password" && m == "POST") return Password(request, reply);
  if (path == "/webapi/accounts" && m == "GET") return Accounts(request, reply);
  if (path == "/webapi/accounts/home" && m == "POST") return AccountHome(request, reply);
  if (path == "/webapi/accounts/create" && m == "POST") return CreateAccount(request, reply);
  if (path == "/webapi/accounts/lock" && m == "POST") return LockAccountRequest(request, reply);
  if (path == "/webapi/accounts/remove" && m == "POST") return RemoveAccountRequest(request, reply);
  if (path == "/webapi/certificate" && m == "GET") return Certificate(request, reply);
  if (path == "/webapi/certificate" && m == "POST") {
    return InstallOwnCertificate(request, reply, false);
  }
  if (path == "/webapi/certificate/self-signed" && m == "POST") {
    return InstallOwnCertificate(request, reply, true);
  }
  if (path == "/webapi/services" && m == "GET") {
    return SessionRead(request, reply, false, [this](const Grant& grant) {
      return ServiceStatusJson(module_, grant.account, grant.admin);
    });
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

void WebApiServer::Logged(const HttpRequest& request, const HttpAnswer& answer,
                          std::chrono::steady_clock::duration took) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  std::fprintf(stderr, "%s %s %s %s %s %d %lldms\n", UtcNow(), LogEscape(request.method).c_str(),
               LogEscape(request.path).c_str(), LogEscape(answer.log_call).c_str(),
               LogEscape(answer.log_account).c_str(), answer.status, static_cast<long long>(ms));
}

bool WebApiServer::Run(const sigset_t& stop_signals) {
  // What an unknown account's refusal waits, until real checks tell.
  const auto start = std::chrono::steady_clock::now();
  kivo::PasswordMatches("", "");
  brake_.NoteHash(std::chrono::steady_clock::now() - start);
  // The loopback names always: only a client on this machine reaches them
  // (an SSH tunnel to the page, for one), whatever address serve listens on.
  names_ = {"localhost", "127.0.0.1", "[::1]"};
  for (const std::string& name : options_.server_names) names_.push_back(Lower(name));
  std::string cert, key;
  bool tls = false;
  for (const Listen& l : options_.listens) tls = tls || l.tls;
  if (tls && (!ReadWholeFile(options_.tls_cert, &cert) || !ReadWholeFile(options_.tls_key, &key))) {
    KIVO_LOG(LOG_ERR, "cannot read the certificate %s or its key %s", options_.tls_cert.c_str(),
             options_.tls_key.c_str());
    return false;
  }
  // Read again at the first handshake after an install.
  if (tls && !ServeTlsPairFrom(options_.tls_cert, options_.tls_key)) return false;
  std::vector<std::string> announced;
  for (const Listen& l : options_.listens) {
    const int port = daemons_.Add(l, cert, key);
    if (port < 0) return false;
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
        KIVO_LOG(LOG_NOTICE, "stopping");
        stop = true;
      }
    }
  });
  daemons_.Run(stop);
  done = true;
  waiter.join();
  return true;
}

}  // namespace host
