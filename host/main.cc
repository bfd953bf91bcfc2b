// kivo-webapi: the web API host of the WebDAV module, and the tools that
// prepare a root for it.

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host/cli/cli.h"

namespace {

struct Command {
  const char* name;
  int (*run)(const host::Args& args);
  const char* usage;
  const char* help;
};

const Command kCommands[] = {
    {"init", host::RunInit, "init [--admin-password-file FILE]",
     "Lay out the root (directories, configuration, accounts). Keeps what\n"
     "      exists. Without FILE a random admin password is printed once."},
    {"useradd", host::RunUserAdd, "useradd NAME [--uid N] [--admin]",
     "Add a user (group \"users\", home NAME in the homes share, 0700, no\n"
     "      password yet; in the system's root through the system's useradd);\n"
     "      --admin also lists the user in \"administrators\". Then set a\n"
     "      password with passwd or on the page. Names the services read as\n"
     "      folders (homes, public, caldav, carddav, webapi) and system\n"
     "      accounts' names are refused."},
    {"passwd", host::RunPasswd, "passwd NAME",
     "Set NAME's password. From a terminal it asks twice, without echo;\n"
     "      otherwise it reads the first line of standard input, without a\n"
     "      prompt (echo PW | kivo-webapi passwd NAME). The page's rules hold:\n"
     "      8 to 256 characters, no control characters, not NAME."},
    {"call", host::RunCall, "call [--user NAME] [--module PATH]... API VERSION METHOD [PARAMS]",
     "Run one web API call as NAME (default admin) with the JSON object\n"
     "      PARAMS; prints the answer. Exit 0 success, 1 error answer,\n"
     "      2 unknown API/method, bad PARAMS or module not loadable."},
    {"serve", host::RunServe,
     "serve [--listen ADDR:PORT]... [--listen-tls ADDR:PORT]... [--tls-cert FILE]\n"
     "        [--tls-key FILE] [--tls-priority GNUTLS-PRIORITIES] [--server-name NAME]...\n"
     "        [--module PATH]... [--www DIR] [--session-idle SECONDS]\n"
     "        [--client-timeout SECONDS]",
     "Serve the web API over HTTP and HTTPS (default 127.0.0.1:5000 and,\n"
     "      over HTTPS, 127.0.0.1:5001; port 0 picks a free one; certificate\n"
     "      and key default to the ones init made in etc/kivo/tls; TLS 1.2\n"
     "      and 1.3 only unless --tls-priority says otherwise). Requests must\n"
     "      name the listen address, localhost or a NAME. Who may call what\n"
     "      comes from the module's API table. Sessions\n"
     "      end after SECONDS idle (900) or 12 h; clients get SECONDS (10) for\n"
     "      headers and for body."},
    {"services", host::RunServices, "services [--start | --stop-all]",
     "Show each platform service: run setting, running, pid, ports.\n"
     "      --start starts the daemons the settings ask for (the WebDAV daemon\n"
     "      for the enabled variants, the CalDAV daemon while CalDAV is on).\n"
     "      --stop-all stops the daemons the platform started under this root\n"
     "      and says which (its settings stay; --start or the next service\n"
     "      restart starts them again)."},
};

// `kivo-webapi COMMAND --help` (or -h), before "--": the command's usage.
bool AsksHelp(const host::Args& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

void PrintHelp(FILE* out) {
  std::fprintf(out, "usage: kivo-webapi COMMAND [ARGS]\n\ncommands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %s\n      %s\n", c.usage, c.help);
  std::fprintf(out,
               "\nThe root (prefix of every system path) is compiled in; test builds\n"
               "take it from $KIVO_ROOT when set.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    PrintHelp(argc < 2 ? stderr : stdout);
    return argc < 2 ? host::kExitUsage : host::kExitOk;
  }
  // The module logs through syslog; LOG_PERROR shows its lines on stderr too.
  openlog("kivo-webapi", LOG_PID | LOG_PERROR, LOG_USER);
  const host::Args args(argv + 2, argv + argc);
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    if (AsksHelp(args)) {
      std::printf("usage: kivo-webapi %s\n      %s\n", c.usage, c.help);
      return host::kExitOk;
    }
    return c.run(args);
  }
  std::fprintf(stderr, "kivo-webapi: unknown command '%s'\n", argv[1]);
  PrintHelp(stderr);
  return host::kExitUsage;
}
