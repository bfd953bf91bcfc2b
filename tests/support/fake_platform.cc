#include "tests/support/fake_platform.h"

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>

#include "kivo/kivo_platform.h"

namespace fake {
namespace {

std::vector<std::string>& LogLines() {
  static std::vector<std::string> lines;
  return lines;
}

// The priority each line of LogLines() was sent at.
std::vector<int>& LogPriorities() {
  static std::vector<int> priorities;
  return priorities;
}

std::string Arg(const char* s) { return s == nullptr ? "(null)" : s; }
std::string Arg(const std::string& s) { return s; }
std::string Arg(long long n) { return std::to_string(n); }

// Records "op(arg, arg)"; true, with *scripted set, when a result is scripted.
bool Record(const std::string& op, const std::vector<std::string>& args, int* scripted) {
  std::string text = op + "(";
  for (size_t i = 0; i < args.size(); ++i) text += (i > 0 ? ", " : "") + args[i];
  P().calls.push_back(text + ")");
  auto it = P().results.find(P().calls.back());
  if (it == P().results.end()) it = P().results.find(op);
  if (it == P().results.end()) return false;
  if (it->second == kThrows) throw std::runtime_error(P().calls.back() + " threw");
  *scripted = it->second;
  return true;
}

// Records the call; answers its scripted result, else `otherwise`.
template <typename... Args>
int RecordOr(int otherwise, const std::string& op, const Args&... args) {
  Record(op, {Arg(args)...}, &otherwise);
  return otherwise;
}

// KIVOUserGet and KIVOShareGet: a copy of the entry `name` made by `make`.
template <typename T, typename Map, typename Make>
int Get(const char* op, const char* name, const Map& table, T** out, Make make) {
  auto it = table.find(Arg(name));
  int result = RecordOr(it == table.end() ? 1 : 0, op, name);
  if (out != nullptr) *out = result == 0 && it != table.end() ? make(*it) : nullptr;
  return result;
}

template <typename T>
void Free(const char* op, T* entry, char* T::*other) {
  RecordOr(0, op, entry == nullptr ? "null" : Arg(entry->name));
  if (entry == nullptr) return;
  free(entry->name);
  free(entry->*other);
  delete entry;
}

char* Dup(const std::string& s) { return strdup(s.c_str()); }

template <typename Keep>
std::vector<std::string> CallsWhere(Keep keep) {
  std::vector<std::string> out;
  for (const auto& call : P().calls) {
    if (keep(call.substr(0, call.find('(')))) out.push_back(call);
  }
  return out;
}

}  // namespace

Platform& P() {
  static Platform platform;
  return platform;
}

void Reset() {
  P() = Platform();
  LogLines().clear();
  LogPriorities().clear();
}

void SetResult(const std::string& call_or_op, int result) { P().results[call_or_op] = result; }

std::vector<std::string> Actions() {
  static const std::set<std::string> queries = {"KivoConf::Info",       "KLIBServiceIsEnabled",
                                                "KIVOUserGet",          "KIVOUserFree",
                                                "KIVOShareGet",         "KIVOShareFree",
                                                "KIVOShareNamePathGet", "KLIBGroupIsAdminGroupMem",
                                                "KIVOMountVolInfoGet",  "KLIBCErrGet",
                                                "KLIBCSzHashAlloc",     "KLIBCSzHashSetValue",
                                                "KLIBCSzHashFree",      "WebUtils::IsPortConflict"};
  return CallsWhere([](const std::string& op) { return queries.count(op) == 0; });
}

std::vector<std::string> CallsOf(const std::string& op) {
  return CallsWhere([&op](const std::string& each) { return each == op; });
}

const std::vector<std::string>& Logs() { return LogLines(); }

namespace {

bool EndsWith(const std::string& line, const std::string& message) {
  return line.size() >= message.size() &&
         line.compare(line.size() - message.size(), message.size(), message) == 0;
}

}  // namespace

bool Logged(const std::string& message) {
  return std::any_of(LogLines().begin(), LogLines().end(),
                     [&message](const std::string& line) { return EndsWith(line, message); });
}

std::vector<std::string> LogsAbove(int priority) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < LogLines().size(); ++i) {
    if (LogPriorities()[i] <= priority) lines.push_back(LogLines()[i]);
  }
  return lines;
}

std::vector<int> LogLevels(const std::string& message) {
  std::vector<int> levels;
  for (size_t i = 0; i < LogLines().size(); ++i) {
    if (EndsWith(LogLines()[i], message)) levels.push_back(LogPriorities()[i]);
  }
  return levels;
}

long LogCount(const std::string& pattern) {
  const std::regex re(pattern);
  return std::count_if(LogLines().begin(), LogLines().end(),
                       [&re](const std::string& line) { return std::regex_search(line, re); });
}

}  // namespace fake

using fake::Arg;
using fake::P;
using fake::RecordOr;

// ---- syslog, interposed so that tests read the module's diagnostics --------

extern "C" void vsyslog(int priority, const char* format, va_list args) {
  char line[8192];
  vsnprintf(line, sizeof line, format, args);
  fake::LogLines().push_back(line);
  fake::LogPriorities().push_back(LOG_PRI(priority));
}

extern "C" void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

extern "C" void __syslog_chk(int priority, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

// ---- KivoConf and WebUtils ---------------------------------------------------

KivoConf::KivoConf() {}
KivoConf::~KivoConf() {}

const char* KivoConf::Info(const char* key, const char* default_value) {
  RecordOr(0, "KivoConf::Info", key);
  auto it = P().conf.find(Arg(key));
  answers_.push_back(it != P().conf.end() ? it->second : Arg(default_value));
  return answers_.back().c_str();
}

// Snapshots only change how often the real platform looks at its files.
KivoReadSnapshot::KivoReadSnapshot() {}
KivoReadSnapshot::~KivoReadSnapshot() {}

bool WebUtils::IsPortConflict(const std::string& service, int port_from, int port_to) {
  return RecordOr(0, "WebUtils::IsPortConflict", service, port_from, port_to) != 0;
}

// ---- the C operations ----------------------------------------------------------

struct KLIBCSZHASH {
  std::map<std::string, std::string> pairs;
};

extern "C" {

int KLIBCINFOSetKeyValue(const char* key, const char* value) {
  int result = RecordOr(0, "KLIBCINFOSetKeyValue", key, value);
  if (result != -1) P().conf[Arg(key)] = Arg(value);
  return result;
}

int KLIBServiceIsEnabled(const char* service) {
  auto it = P().enabled.find(Arg(service));
  return RecordOr(it == P().enabled.end() ? 0 : it->second, "KLIBServiceIsEnabled", service);
}

int KLIBServiceReload(const char* service) { return RecordOr(0, "KLIBServiceReload", service); }
int KLIBServiceRestart(const char* service) { return RecordOr(0, "KLIBServiceRestart", service); }
int KLIBServicectlStart(const char* service, int flags) {
  return RecordOr(0, "KLIBServicectlStart", service, flags);
}
int KLIBServicectlStop(const char* service, int flags) {
  return RecordOr(0, "KLIBServicectlStop", service, flags);
}
int KLIBServicectlRestart(const char* service, int flags) {
  return RecordOr(0, "KLIBServicectlRestart", service, flags);
}
int KLIBServicecfgRunKeySet(const char* service, int run_key) {
  return RecordOr(0, "KLIBServicecfgRunKeySet", service, run_key);
}

KLIBCSZHASH* KLIBCSzHashAlloc(int capacity) {
  return RecordOr(0, "KLIBCSzHashAlloc", capacity) != 0 ? nullptr : new KLIBCSZHASH();
}

int KLIBCSzHashSetValue(KLIBCSZHASH** table, const char* key, const char* value) {
  int result = RecordOr(0, "KLIBCSzHashSetValue", key, value);
  if (result >= 0 && table != nullptr && *table != nullptr) (*table)->pairs[Arg(key)] = Arg(value);
  return result;
}

void KLIBCSzHashFree(KLIBCSZHASH* table) {
  RecordOr(0, "KLIBCSzHashFree", table == nullptr ? "null" : "table");
  delete table;
}

int KLIBSyseventEmit(const char* name, KLIBCSZHASH* params, int flags) {
  std::string pairs;
  if (params != nullptr) {
    for (const auto& [key, value] : params->pairs) {
      pairs += (pairs.empty() ? "" : " ") + key + "=" + value;
    }
  }
  return RecordOr(0, "KLIBSyseventEmit", name, "{" + pairs + "}", flags);
}

int KLIBCExec(const char* program, const char* arg1, const char* arg2, const char* arg3,
              const char* arg4) {
  int scripted = 0;
  if (fake::Record("KLIBCExec", {Arg(program), Arg(arg1), Arg(arg2), Arg(arg3), Arg(arg4)},
                   &scripted)) {
    return scripted;
  }
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    execl(program, program, arg1, arg2, arg3, arg4, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

int KLIBCErrGet(void) { return RecordOr(P().last_error, "KLIBCErrGet"); }

int KLIBGroupIsAdminGroupMem(const char* user, int flags) {
  auto it = P().users.find(Arg(user));
  return RecordOr(it == P().users.end() ? 0 : it->second.admin, "KLIBGroupIsAdminGroupMem", user,
                  flags);
}

int KIVOUserGet(const char* name, PKIVOUSER* user) {
  return fake::Get("KIVOUserGet", name, P().users, user, [](const auto& entry) {
    const fake::User& u = entry.second;
    return new KIVOUSER{fake::Dup(entry.first), u.uid, u.gid, fake::Dup(u.home)};
  });
}

void KIVOUserFree(PKIVOUSER user) { fake::Free("KIVOUserFree", user, &KIVOUSER::home); }

int KIVOShareGet(const char* name, PKIVOSHARE* share) {
  return fake::Get("KIVOShareGet", name, P().shares, share, [](const auto& entry) {
    return new KIVOSHARE{fake::Dup(entry.first), fake::Dup(entry.second)};
  });
}

void KIVOShareFree(PKIVOSHARE share) { fake::Free("KIVOShareFree", share, &KIVOSHARE::path); }

int KIVOShareNamePathGet(const char* path, char* share_name, int share_name_size, char* share_path,
                         int share_path_size) {
  auto copy = [](char* out, int size, const std::string& text) {
    if (out != nullptr && size > 0) snprintf(out, size, "%s", text.c_str());
  };
  const std::string p = Arg(path);
  int found = 1;
  for (const auto& [name, dir] : P().shares) {
    if (p.compare(0, dir.size(), dir) == 0 && (p.size() == dir.size() || p[dir.size()] == '/')) {
      copy(share_name, share_name_size, name);
      copy(share_path, share_path_size, dir);
      found = 0;
      break;
    }
  }
  return RecordOr(found, "KIVOShareNamePathGet", p, share_name_size, share_path_size);
}

int KIVOMountVolInfoGet(const char* path, KIVOVOLINFO* info) {
  int result = RecordOr(0, "KIVOMountVolInfoGet", path);
  if (result >= 0 && info != nullptr) *info = KIVOVOLINFO{0, 0, P().volume_writable};
  return result;
}

int KIVOFileCopy(const char* source, const char* dest, const KIVOCOPYOPT* options) {
  std::vector<std::string> args = {Arg(source), Arg(dest)};
  if (options != nullptr) {
    args.push_back("overwrite=" + std::to_string(options->overwrite));
    args.push_back("uid=" + std::to_string(options->uid));
    args.push_back("gid=" + std::to_string(options->gid));
  }
  int scripted = 0;
  if (fake::Record("KIVOFileCopy", args, &scripted)) return scripted;
  std::ifstream in(source, std::ios::binary);
  if (!in) return 1;
  std::ofstream out(dest, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.close();
  if (!out) return 1;
  return options != nullptr && chown(dest, options->uid, options->gid) != 0 ? 1 : 0;
}

int KIVOFwRuleHup(void) { return RecordOr(0, "KIVOFwRuleHup"); }

int KIVOLogSet1(int level, int category, unsigned int event_id, const char* user, const char* arg1,
                const char* arg2, const char* arg3) {
  char id[16];
  snprintf(id, sizeof id, "0x%X", event_id);
  return RecordOr(0, "KIVOLogSet1", level, category, id, user, arg1, arg2, arg3);
}

}  // extern "C"
