// libFuzzer target: the module's eight entry functions, driven the way a
// host drives them, with fuzzed parameters and login names, against a root
// laid out afresh for every input (fuzz_root.h), with the real platform
// library underneath.
//
// An input is up to eight lines, one call each:
//
//   byte 0      the API table row (modulo the number of rows)
//   byte 1      the login name (modulo kUsers)
//   the rest    the parameters as JSON text; anything that is not a JSON
//               object is sent as an empty object
//
// In the JSON text @R stands for the root, @P for the public share's
// directory, @H for the homes share's, @L for the locked share's and @O for
// the folder outside every share, so that short inputs reach real places.
//
// After every call the process must have been answered exactly once and run
// as root again, and the registry must be whole (a JSON array, no temporary
// files left beside it). With KIVO_FUZZ_CHECK_OUTSIDE=1 the folder outside
// every share must also be untouched.
//
// Every call acts as root on the folders it is given, so the process first
// shuts itself into a mount namespace where nothing but its tmpfs root and
// its working directory can be written (sandbox.h). As a second fence, an
// absolute "fullpath" that does not lie under the root is moved under it
// ("/etc" becomes "<root>/etc"): the module still sees a path outside every
// share, and the machine is never the target.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_root.h"
#include "fuzz/sandbox.h"
#include "module/api_table.h"

namespace {

constexpr char kRoot[] = "/tmp/kivo-fuzz-root";
constexpr size_t kMaxCalls = 8;
const char* const kUsers[] = {"admin", "bob", "carol", "root", "", "nobody", "homes", "admin "};
constexpr size_t kUserCount = sizeof kUsers / sizeof kUsers[0];

std::vector<const APITableEntry*> gRows;
bool gCheckOutside = false;

[[noreturn]] void Broken(const char* what, const APITableEntry* row, const std::string& user) {
  std::fprintf(stderr, "INVARIANT BROKEN: %s after %s.%s as [%s]\n", what, row->api, row->method,
               user.c_str());
  std::abort();
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos)) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

Json::Value Params(std::string text) {
  const std::string root = kRoot;
  ReplaceAll(text, "@P", root + "/volume1/public");
  ReplaceAll(text, "@H", root + "/volume1/homes");
  ReplaceAll(text, "@L", root + "/volume1/locked");
  ReplaceAll(text, "@O", root + "/outside");
  ReplaceAll(text, "@R", root);

  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value params;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &params, &errors);
  } catch (const std::exception&) {
    parsed = false;  // nesting beyond the reader's limit: the host refuses it
  }
  if (!parsed || !params.isObject()) return Json::Value(Json::objectValue);

  const Json::Value& fullpath = params["fullpath"];
  if (fullpath.isString()) {
    const std::string path = fullpath.asString();
    const bool under_root = path.compare(0, root.size(), root) == 0 &&
                            (path.size() == root.size() || path[root.size()] == '/');
    if (!path.empty() && path[0] == '/' && !under_root) params["fullpath"] = root + path;
  }
  return params;
}

// The registry is a JSON array, and no half-written temporary is left.
const char* RegistryProblem() {
  const std::string dir = std::string(kRoot) + "/usr/kivo/etc";
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return nullptr;  // removed by a hostile call: checked elsewhere
  const char* problem = nullptr;
  while (dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.find(".tmp.") != std::string::npos) problem = "temporary registry file left behind";
  }
  closedir(listing);
  if (problem != nullptr) return problem;

  FILE* file = std::fopen((dir + "/calendar.info").c_str(), "re");
  if (file == nullptr) return nullptr;
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors) || !value.isArray()) {
    return "registry is not a JSON array";
  }
  return nullptr;
}

// The calling thread's groups and umask, as the kernel reports them (the
// umask read, never set): what no call may change.
std::string GroupsAndMask() {
  std::FILE* status = std::fopen("/proc/thread-self/status", "re");
  std::string kept;
  char line[512];
  while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "Groups:", 7) == 0 || std::strncmp(line, "Umask:", 6) == 0) kept += line;
  }
  if (status != nullptr) std::fclose(status);
  return kept;
}

std::string gStartGroupsAndMask;

void RunCall(const APITableEntry* row, const std::string& user, const Json::Value& params) {
  // As the host would judge these names: only admin is an administrator.
  KIVO::APIRequest request(
      user, params, user == "admin" ? KIVO::Standing::kAdministrator : KIVO::Standing::kUser);
  KIVO::APIResponse response;
  row->function(&request, &response);
  if (response.answer_count() != 1) Broken("not answered exactly once", row, user);
  if (geteuid() != 0 || getegid() != 0) Broken("process left without root identity", row, user);
  if (GroupsAndMask() != gStartGroupsAndMask) {
    Broken("process left with other groups or umask", row, user);
  }
  if (const char* problem = RegistryProblem()) Broken(problem, row, user);
  if (gCheckOutside && !fuzz::OutsideIntact(kRoot)) {
    Broken("folder outside every share changed", row, user);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (geteuid() != 0) {
    std::fprintf(stderr, "entry_fuzzer: must run as root (the module switches identities)\n");
    std::exit(2);
  }
  std::string error;
  if (!fuzz::EnterSandbox(&error)) {
    std::fprintf(stderr, "entry_fuzzer: refusing to run outside its sandbox: %s\n", error.c_str());
    std::exit(2);
  }
  setenv("KIVO_ROOT", kRoot, 1);
  setenv("TMPDIR", "/tmp", 1);
  const char* check = std::getenv("KIVO_FUZZ_CHECK_OUTSIDE");
  gCheckOutside = check != nullptr && check[0] == '1';
  for (const APITableEntry* row = GetAPITable(); row->api != nullptr; ++row) gRows.push_back(row);
  if (gRows.empty() || !fuzz::LayOutRoot(kRoot)) std::exit(2);
  umask(022);
  gStartGroupsAndMask = GroupsAndMask();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every input starts from the same root; no call changes the process.
  if (!fuzz::LayOutRoot(kRoot)) std::abort();

  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  for (size_t call = 0; call < kMaxCalls && start + 2 <= input.size(); ++call) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    if (end - start >= 2) {
      const APITableEntry* row = gRows[static_cast<uint8_t>(input[start]) % gRows.size()];
      const std::string user = kUsers[static_cast<uint8_t>(input[start + 1]) % kUserCount];
      RunCall(row, user, Params(input.substr(start + 2, end - start - 2)));
    }
    start = end + 1;
  }
  return 0;
}
