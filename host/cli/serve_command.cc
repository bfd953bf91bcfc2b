// `kivo-webapi serve`: its arguments, and the process set up for serving.

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host/cli/cli.h"
#include "host/common/decimal.h"
#include "host/common/root_paths.h"
#include "host/hosting/changes_under_way.h"
#include "host/hosting/module_table.h"
#include "host/http/static_files.h"
#include "host/webapi/web_api_server.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "serve_command";

}  // namespace

namespace host {

namespace {

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

// Serves until SIGINT or SIGTERM. Prints "listening on ADDR:PORT" (plain) and
// "listening on ADDR:PORT (https)" on stdout once it accepts connections.
// 0 after a clean stop, 1 when it cannot start.
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
    KIVO_LOG(LOG_INFO, "cannot batch wake-ups (%s): serving without", strerror(errno));
  }
  // Room for every connection the limit allows, beside the files in use.
  struct rlimit files;
  const rlim_t wanted = options.limits.connection_limit + 256;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < wanted) {
    files.rlim_cur = std::min(wanted, files.rlim_max);
    setrlimit(RLIMIT_NOFILE, &files);
  }

  ModuleTable module;
  std::string error;
  if (!module.OpenAll(options.module_paths, &error)) {
    KIVO_LOG(LOG_ERR, "%s", error.c_str());
    return kExitFailed;
  }
  for (const ModuleRow& row : module.rows()) {
    if (row.audience == kAPINobody) {
      KIVO_LOG(LOG_WARNING, "note: %s %ld %s names no audience: refused to everybody",
               row.api.c_str(), row.version, row.method.c_str());
    }
  }
  // Before the first request: a change a stopped process left half done
  // ends now.
  RecoverChanges(module);
  WebApiServer server(options, module);
  return server.Run(stop_signals) ? kExitOk : kExitFailed;
}

}  // namespace

int RunServe(const Args& args) {
  ParsedArgs parsed;
  ServeOptions options;
  long idle = 0, timeout = 0;
  bool ok = ParseArgs(args,
                      {"--listen", "--listen-tls", "--tls-cert", "--tls-key", "--tls-priority",
                       "--server-name", "--module", "--www", "--session-idle", "--client-timeout"},
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
    return Usage(
        "serve [--listen ADDR:PORT]... [--listen-tls ADDR:PORT]... "
        "[--tls-cert FILE] [--tls-key FILE] [--tls-priority GNUTLS-PRIORITIES] "
        "[--server-name NAME]... [--module PATH]... "
        "[--www DIR] [--session-idle SECONDS] [--client-timeout SECONDS]");
    return kExitUsage;
  }
  if (options.listens.empty()) {
    options.listens = {Listen{"127.0.0.1", 5000, false}, Listen{"127.0.0.1", 5001, true}};
  }
  options.limits.tls_priorities = parsed.Get("--tls-priority", kDefaultTlsPriorities);
  if (idle > 0) options.session_idle = std::chrono::seconds(idle);
  if (timeout > 0) options.limits.client_timeout = std::chrono::seconds(timeout);
  options.tls_cert = parsed.Get("--tls-cert", InRoot(kivo::Root(), SZF_TLS_CERT));
  options.tls_key = parsed.Get("--tls-key", InRoot(kivo::Root(), SZF_TLS_KEY));
  options.module_paths = parsed.Has("--module") ? parsed.All("--module") : DefaultModulePaths();
  options.www_dir = parsed.Get("--www", DefaultWwwDir());
  return Serve(options);
}

}  // namespace host
