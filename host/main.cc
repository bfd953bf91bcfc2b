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
     "Set NAME's password. On a terminal it asks twice, without echo, and\n"
     "      refuses two that differ; from a pipe or a file it reads one line of\n"
     "      standard input, the first, without a prompt or echo to turn off\n"
     "      (echo PW | kivo-webapi passwd NAME). The page's rules hold:\n"
     "      8 to 256 characters, no control characters, not NAME."},
    {"usermod", host::RunUserMod, "usermod NAME (--lock | --unlock)",
     "Lock NAME (every login refused, at every door, at once; the password\n"
     "      is kept) or unlock it. The last administrator who can log in is\n"
     "      never locked."},
    {"userdel", host::RunUserDel, "userdel NAME [--remove-home]",
     "Remove NAME's account lines and group memberships; --remove-home\n"
     "      also removes its home folder in the homes share (only a folder\n"
     "      NAME owns; a link or another's folder there is kept). Calendars\n"
     "      in the home stay registered. Never the last administrator."},
    {"call", host::RunCall, "call [--user NAME] [--module PATH]... API VERSION METHOD [PARAMS]",
     "Run one web API call as NAME (default admin) with the JSON object\n"
     "      PARAMS; prints the answer. Exit 0 success, 1 error answer,\n"
     "      2 unknown API/method, bad PARAMS or module not loadable.\n"
     "      call --help also lists what the module serves and its parameters."},
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
     "Show each platform service of the root, one row each:\n"
     "        SERVICE  webdav-httpd (the WebDAV daemon), webdav-httpd-pure and\n"
     "                 webdav-httpd-ssl (its HTTP and HTTPS variants),\n"
     "                 webdav-avahi and webdavs-avahi (their DNS-SD\n"
     "                 announcements), avahi (the announcement daemon),\n"
     "                 caldav (the CalDAV daemon behind /caldav/).\n"
     "        RUN      the run setting in var/lib/kivo/services.json: 1 enabled,\n"
     "                 2 disabled, - none recorded; for caldav the switch in\n"
     "                 etc/kivoinfo.conf, 1 on, 0 off.\n"
     "        RUNNING  yes while it serves now: the daemons by their pid files\n"
     "                 and processes; a variant while the WebDAV daemon serves\n"
     "                 it; an announcement while its file in etc/avahi/services\n"
     "                 is written for a served variant and avahi runs to read it.\n"
     "        PID      its own process, - for none (a variant shows its daemon's).\n"
     "        PORTS    where it listens: the daemon's ports, a variant's or an\n"
     "                 announcement's stored port (etc/kivoinfo.conf), avahi's\n"
     "                 5353/udp, the CalDAV daemon's loopback port; - for none.\n"
     "      RUN 1 with RUNNING no: enabled, but not running now (stopped with\n"
     "      --stop-all, or a development root without KIVO_DAEMONS=on).\n"
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
  std::fprintf(out, "usage: kivo-webapi COMMAND [ARGS] | --version\n\ncommands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %s\n      %s\n", c.usage, c.help);
  std::fprintf(out,
               "\nThe root (prefix of every system path) is compiled in; test builds\n"
               "take it from $KIVO_ROOT when set.\n");
}

}  // namespace

int main(int argc, char** argv) {
  // The package's version alone, for scripts: the build takes it from
  // debian/changelog.
  if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
    std::printf("%s\n", KIVO_PACKAGE_VERSION);
    return host::kExitOk;
  }
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
      if (c.run == host::RunCall) return host::PrintCallHelp(args);
      return host::kExitOk;
    }
    return c.run(args);
  }
  std::fprintf(stderr, "kivo-webapi: unknown command '%s'\n", argv[1]);
  PrintHelp(stderr);
  return host::kExitUsage;
}
