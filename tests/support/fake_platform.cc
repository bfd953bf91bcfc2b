#include "tests/support/fake_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "module/kivo_platform.h"

namespace fake {
namespace {

std::vector<std::string>& LogLines() {
  static std::vector<std::string> lines;
  return lines;
}

std::string Str(const char* s) { return s == nullptr ? "(null)" : s; }

// Records the call and answers its scripted result, if any.
bool Record(const std::string& op, const std::vector<std::string>& args, int* scripted) {
  std::string text = op + "(";
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) text += ", ";
    text += args[i];
  }
  text += ")";
  P().calls.push_back(text);
  auto& results = P().results;
  auto it = results.find(text);
  if (it == results.end()) it = results.find(op);
  if (it == results.end()) return false;
  *scripted = it->second;
  return true;
}

int RecordOr(const std::string& op, const std::vector<std::string>& args, int otherwise) {
  int result = 0;
  return Record(op, args, &result) ? result : otherwise;
}

const std::set<std::string>& QueryOps() {
  static const std::set<std::string> ops = {
      "KivoConf::Info",      "KLIBServiceIsEnabled", "KIVOUserGet",         "KIVOUserFree",
      "KIVOShareGet",        "KIVOShareFree",        "KIVOShareNamePathGet", "KLIBGroupIsAdminGroupMem",
      "KIVOMountVolInfoGet", "KLIBCErrGet",          "KLIBCSzHashAlloc",    "KLIBCSzHashSetValue",
      "KLIBCSzHashFree",     "WebUtils::IsPortConflict"};
  return ops;
}

std::string OpOf(const std::string& call) { return call.substr(0, call.find('(')); }

char* Dup(const std::string& s) { return strdup(s.c_str()); }

}  // namespace

Platform& P() {
  static Platform platform;
  return platform;
}

void Reset() {
  P() = Platform();
  LogLines().clear();
}

void SetResult(const std::string& call_or_op, int result) { P().results[call_or_op] = result; }

std::vector<std::string> Actions() {
  std::vector<std::string> out;
  for (const auto& call : P().calls) {
    if (QueryOps().count(OpOf(call)) == 0) out.push_back(call);
  }
  return out;
}

std::vector<std::string> CallsOf(const std::string& op) {
  std::vector<std::string> out;
  for (const auto& call : P().calls) {
    if (OpOf(call) == op) out.push_back(call);
  }
  return out;
}

const std::vector<std::string>& Logs() { return LogLines(); }

bool Logged(const std::string& message) {
  for (const auto& line : LogLines()) {
    if (line.size() >= message.size() &&
        line.compare(line.size() - message.size(), message.size(), message) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace fake

using fake::P;

// ---- syslog, interposed so that tests read the module's diagnostics --------

extern "C" void vsyslog(int, const char* format, va_list args) {
  char line[8192];
  vsnprintf(line, sizeof line, format, args);
  fake::LogLines().push_back(line);
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
  int unused = 0;
  fake::Record("KivoConf::Info", {fake::Str(key)}, &unused);
  auto it = P().conf.find(fake::Str(key));
  answers_.push_back(it != P().conf.end() ? it->second : fake::Str(default_value));
  return answers_.back().c_str();
}

bool WebUtils::IsPortConflict(const std::string& service, int port_from, int port_to) {
  return fake::RecordOr("WebUtils::IsPortConflict",
                        {service, std::to_string(port_from), std::to_string(port_to)}, 0) != 0;
}

// ---- the C operations ----------------------------------------------------------

struct KLIBCSZHASH {
  std::map<std::string, std::string> pairs;
};

extern "C" {

int KLIBCINFOSetKeyValue(const char* key, const char* value) {
  int result = fake::RecordOr("KLIBCINFOSetKeyValue", {fake::Str(key), fake::Str(value)}, 0);
  if (result != -1) P().conf[fake::Str(key)] = fake::Str(value);
  return result;
}

int KLIBServiceIsEnabled(const char* service) {
  auto it = P().enabled.find(fake::Str(service));
  return fake::RecordOr("KLIBServiceIsEnabled", {fake::Str(service)},
                        it == P().enabled.end() ? 0 : it->second);
}

int KLIBServiceReload(const char* service) {
  return fake::RecordOr("KLIBServiceReload", {fake::Str(service)}, 0);
}

int KLIBServiceRestart(const char* service) {
  return fake::RecordOr("KLIBServiceRestart", {fake::Str(service)}, 0);
}

int KLIBServicectlStart(const char* service, int flags) {
  return fake::RecordOr("KLIBServicectlStart", {fake::Str(service), std::to_string(flags)}, 0);
}

int KLIBServicectlStop(const char* service, int flags) {
  return fake::RecordOr("KLIBServicectlStop", {fake::Str(service), std::to_string(flags)}, 0);
}

int KLIBServicectlRestart(const char* service, int flags) {
  return fake::RecordOr("KLIBServicectlRestart", {fake::Str(service), std::to_string(flags)}, 0);
}

int KLIBServicecfgRunKeySet(const char* service, int run_key) {
  return fake::RecordOr("KLIBServicecfgRunKeySet", {fake::Str(service), std::to_string(run_key)},
                        0);
}

KLIBCSZHASH* KLIBCSzHashAlloc(int capacity) {
  if (fake::RecordOr("KLIBCSzHashAlloc", {std::to_string(capacity)}, 0) != 0) return nullptr;
  return new KLIBCSZHASH();
}

int KLIBCSzHashSetValue(KLIBCSZHASH** table, const char* key, const char* value) {
  int result = fake::RecordOr("KLIBCSzHashSetValue", {fake::Str(key), fake::Str(value)}, 0);
  if (result >= 0 && table != nullptr && *table != nullptr) {
    (*table)->pairs[fake::Str(key)] = fake::Str(value);
  }
  return result;
}

void KLIBCSzHashFree(KLIBCSZHASH* table) {
  int unused = 0;
  fake::Record("KLIBCSzHashFree", {table == nullptr ? "null" : "table"}, &unused);
  delete table;
}

int KLIBSyseventEmit(const char* name, KLIBCSZHASH* params, int flags) {
  std::string pairs = "{";
  if (params != nullptr) {
    for (const auto& [key, value] : params->pairs) {
      if (pairs.size() > 1) pairs += " ";
      pairs += key + "=" + value;
    }
  }
  pairs += "}";
  return fake::RecordOr("KLIBSyseventEmit", {fake::Str(name), pairs, std::to_string(flags)}, 0);
}

int KLIBCExec(const char* program, const char* arg1, const char* arg2, const char* arg3,
              const char* arg4) {
  std::vector<std::string> args = {fake::Str(program)};
  for (const char* arg : {arg1, arg2, arg3, arg4}) args.push_back(fake::Str(arg));
  int scripted = 0;
  if (fake::Record("KLIBCExec", args, &scripted)) return scripted;
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

int KLIBCErrGet(void) { return fake::RecordOr("KLIBCErrGet", {}, P().last_error); }

int KLIBGroupIsAdminGroupMem(const char* user, int flags) {
  auto it = P().users.find(fake::Str(user));
  return fake::RecordOr("KLIBGroupIsAdminGroupMem", {fake::Str(user), std::to_string(flags)},
                        it == P().users.end() ? 0 : it->second.admin);
}

int KIVOUserGet(const char* name, PKIVOUSER* user) {
  auto it = P().users.find(fake::Str(name));
  int result = fake::RecordOr("KIVOUserGet", {fake::Str(name)}, it == P().users.end() ? 1 : 0);
  if (user == nullptr) return result;
  *user = nullptr;
  if (result == 0 && it != P().users.end()) {
    *user = new KIVOUSER{fake::Dup(it->first), it->second.uid, it->second.gid,
                         fake::Dup(it->second.home)};
  }
  return result;
}

void KIVOUserFree(PKIVOUSER user) {
  int unused = 0;
  fake::Record("KIVOUserFree", {user == nullptr ? "null" : fake::Str(user->name)}, &unused);
  if (user == nullptr) return;
  free(user->name);
  free(user->home);
  delete user;
}

int KIVOShareGet(const char* name, PKIVOSHARE* share) {
  auto it = P().shares.find(fake::Str(name));
  int result = fake::RecordOr("KIVOShareGet", {fake::Str(name)}, it == P().shares.end() ? 1 : 0);
  if (share == nullptr) return result;
  *share = nullptr;
  if (result == 0 && it != P().shares.end()) {
    *share = new KIVOSHARE{fake::Dup(it->first), fake::Dup(it->second)};
  }
  return result;
}

void KIVOShareFree(PKIVOSHARE share) {
  int unused = 0;
  fake::Record("KIVOShareFree", {share == nullptr ? "null" : fake::Str(share->name)}, &unused);
  if (share == nullptr) return;
  free(share->name);
  free(share->path);
  delete share;
}

int KIVOShareNamePathGet(const char* path, char* share_name, int share_name_size,
                         char* share_path, int share_path_size) {
  const std::string p = fake::Str(path);
  int found = 1;
  for (const auto& [name, dir] : P().shares) {
    if (p == dir || (p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 &&
                     p[dir.size()] == '/')) {
      found = 0;
      if (share_name != nullptr && share_name_size > 0) {
        snprintf(share_name, share_name_size, "%s", name.c_str());
      }
      if (share_path != nullptr && share_path_size > 0) {
        snprintf(share_path, share_path_size, "%s", dir.c_str());
      }
      break;
    }
  }
  return fake::RecordOr("KIVOShareNamePathGet",
                        {p, std::to_string(share_name_size), std::to_string(share_path_size)},
                        found);
}

int KIVOMountVolInfoGet(const char* path, KIVOVOLINFO* info) {
  int result = fake::RecordOr("KIVOMountVolInfoGet", {fake::Str(path)}, 0);
  if (result >= 0 && info != nullptr) {
    *info = KIVOVOLINFO{};
    info->writable = P().volume_writable;
  }
  return result;
}

int KIVOFileCopy(const char* source, const char* dest, const KIVOCOPYOPT* options) {
  std::vector<std::string> args = {fake::Str(source), fake::Str(dest)};
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
  if (!out) return 1;
  out << in.rdbuf();
  out.close();
  if (!out) return 1;
  if (options != nullptr && chown(dest, options->uid, options->gid) != 0) return 1;
  return 0;
}

int KIVOFwRuleHup(void) { return fake::RecordOr("KIVOFwRuleHup", {}, 0); }

int KIVOLogSet1(int level, int category, unsigned int event_id, const char* user,
                const char* arg1, const char* arg2, const char* arg3) {
  char id[16];
  snprintf(id, sizeof id, "0x%X", event_id);
  return fake::RecordOr("KIVOLogSet1",
                        {std::to_string(level), std::to_string(category), id, fake::Str(user),
                         fake::Str(arg1), fake::Str(arg2), fake::Str(arg3)},
                        0);
}

}  // extern "C"
