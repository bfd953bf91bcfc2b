// Command-line plumbing shared by the kivo-webapi commands: each command is a
// function from its arguments (after the command word) to an exit status.
//
// Exit statuses: 0 success, 1 the operation failed, 2 the command was used
// wrongly (unknown option, missing argument, unknown API).

#ifndef KIVO_HOST_CLI_H_
#define KIVO_HOST_CLI_H_

#include <string>
#include <vector>

namespace host {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

// Shows `usage` (a command's synopsis after "kivo-webapi ") on stderr and
// answers kExitUsage. It is the command's answer to whoever typed it, not a
// diagnostic: it goes to stderr alone, never to syslog.
int Usage(const char* usage);

// Splits `args` into options that take a value ("--name VALUE" or
// "--name=VALUE", names listed in `valued`), flags (names in `flags`) and
// positional arguments. False with a message on stderr for an unknown option
// or a missing value.
struct ParsedArgs {
  std::vector<std::pair<std::string, std::string>> options;  // name -> value
  std::vector<std::string> positional;
  bool Has(const std::string& name) const;
  // The last value given for `name`, or `fallback`.
  std::string Get(const std::string& name, const std::string& fallback) const;
  // Every value given for `name`, in order.
  std::vector<std::string> All(const std::string& name) const;
};
bool ParseArgs(const Args& args, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, ParsedArgs* parsed);

int RunInit(const Args& args);
int RunUserAdd(const Args& args);
int RunPasswd(const Args& args);
int RunUserMod(const Args& args);
int RunUserDel(const Args& args);
int RunCall(const Args& args);
int RunServe(const Args& args);
int RunServices(const Args& args);

// After `call --help`'s usage: every API, version and method of the module
// (`--module PATH` in `args`, else the one beside the program), who may call
// each and the parameters its descriptor lists. kExitUsage when the module
// cannot be loaded.
int PrintCallHelp(const Args& args);

}  // namespace host

#endif  // KIVO_HOST_CLI_H_
