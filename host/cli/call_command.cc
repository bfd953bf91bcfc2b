// `kivo-webapi call`: one web API call from the command line, run as root
// with the login name given, answered on stdout as the web API encodes it.

#include <cstdio>
#include <string>
#include <utility>

#include "daemons/service_effects.h"
#include "host/cli/cli.h"
#include "host/common/decimal.h"
#include "host/common/json_text.h"
#include "host/hosting/changes_under_way.h"
#include "host/hosting/module_call.h"
#include "host/hosting/module_table.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "call_command";

}  // namespace

namespace host {

int RunCall(const Args& args) {
  ParsedArgs parsed;
  if (!ParseArgs(args, {"--user", "--module"}, {}, &parsed) || parsed.positional.size() < 3 ||
      parsed.positional.size() > 4) {
    return Usage("call [--user NAME] [--module PATH]... API VERSION METHOD [PARAMS]");
  }
  const std::string& api = parsed.positional[0];
  const std::string& method = parsed.positional[2];
  long version = 0;
  if (!ParseDecimal(parsed.positional[1], &version)) {
    KIVO_LOG(LOG_WARNING, "version '%s' is not a decimal integer", parsed.positional[1].c_str());
    return kExitUsage;
  }
  Json::Value params(Json::objectValue);
  if (parsed.positional.size() == 4 &&
      (!ParseJson(parsed.positional[3], &params) || !params.isObject())) {
    KIVO_LOG(LOG_WARNING, "PARAMS must be a JSON object");
    return kExitUsage;
  }

  ModuleTable module;
  std::string error;
  if (!module.OpenAll(parsed.Has("--module") ? parsed.All("--module") : DefaultModulePaths(),
                      &error)) {
    KIVO_LOG(LOG_WARNING, "%s", error.c_str());
    return kExitUsage;
  }
  const ModuleRow* row = nullptr;
  switch (module.Find(api, version, method, &row)) {
    case Match::kUnknownApi:
      KIVO_LOG(LOG_WARNING, "unknown API %s", api.c_str());
      return kExitUsage;
    case Match::kUnknownMethod:
      KIVO_LOG(LOG_WARNING, "API %s has no method %s at version %ld", api.c_str(), method.c_str(),
               version);
      return kExitUsage;
    case Match::kFound:
      break;
  }

  // A change a stopped process left half done ends first.
  RecoverChanges(module);
  // The operator's tool, run as root: it holds the login user to no
  // ordinary account's rules.
  ModuleCallResult result = RunModuleCall(row->function, parsed.Get("--user", "admin"),
                                          KIVO::Standing::kAdministrator, std::move(params));
  // Unanswered: the host's "unknown error".
  const std::string answer =
      result.answered ? result.answer : AnswerText(false, 100, Json::Value());
  std::printf("%s\n", answer.c_str());
  std::fflush(stdout);
  // A development or test root's daemons hear of a change only with
  // KIVO_DAEMONS=on (a second shell beside scripts/run.sh lacks it): the
  // stored settings and the running daemon now differ, and nothing else says so.
  if (kivo::daemons::DaemonEffectsSkipped()) {
    KIVO_LOG(
        LOG_NOTICE,
        "the change is stored, but no WebDAV or CalDAV daemon of this root heard of it: they are "
        "started, stopped and reloaded only with KIVO_DAEMONS=on");
  }
  return result.answered && result.success ? kExitOk : kExitFailed;
}

namespace {

const char* AudienceWords(APIAudience audience) {
  switch (audience) {
    case kAPIAdministrators:
      return "administrators";
    case kAPIUsers:
      return "every logged-in user";
    case kAPINobody:
      break;
  }
  return "nobody (the descriptor names no one)";
}

}  // namespace

int PrintCallHelp(const Args& args) {
  ParsedArgs parsed;
  ParseArgs(args, {"--user", "--module"}, {"--help", "-h"}, &parsed);
  ModuleTable module;
  std::string error;
  const std::vector<std::string> paths =
      parsed.Has("--module") ? parsed.All("--module") : DefaultModulePaths();
  if (!module.OpenAll(paths, &error)) {
    KIVO_LOG(LOG_WARNING, "%s", error.c_str());
    return kExitUsage;
  }
  // Everything below comes from the modules' tables and their descriptors:
  // the host names no API, so that a module's new method is listed as it ships.
  std::printf(
      "\nAPI VERSION METHOD [who may call it through serve; call runs each as an\n"
      "administrator], then each parameter: name, type, required or not, meaning.\n"
      "From the modules' tables and their descriptors:\n");
  for (const std::string& path : paths) std::printf("  %s\n", path.c_str());
  for (const ModuleRow& row : module.rows()) {
    std::printf("\n  %s %ld %s  [%s]\n", row.api.c_str(), row.version, row.method.c_str(),
                AudienceWords(row.audience));
    if (!row.about.empty()) std::printf("      %s\n", row.about.c_str());
    if (!row.described) {
      std::printf("      (its parameters are not described)\n");
    } else if (row.params.empty()) {
      std::printf("      no parameters\n");
    }
    for (const ModuleParam& param : row.params) {
      std::printf("      %-22s %-6s %-9s %s\n", param.name.c_str(), param.type.c_str(),
                  param.required ? "required" : "optional", param.about.c_str());
    }
  }
  return kExitOk;
}

}  // namespace host
