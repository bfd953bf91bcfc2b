#include "host/hosting/module_table.h"

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <map>
#include <tuple>

#include "host/common/decimal.h"
#include "host/common/json_text.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "module_table";

}  // namespace

namespace host {

namespace {
constexpr char kModulePrefix[] = "KIVO.";
constexpr char kModuleSuffix[] = ".so";
// A table longer than this has lost its terminator row.
constexpr size_t kMaxRows = 4096;
// A descriptor names a few dozen methods; anything near this is not one.
constexpr size_t kMaxDescriptorBytes = 64 * 1024;

using RowKey = std::tuple<std::string, long, std::string>;

struct Grant {
  APIAudience audience;
  long flags;
  std::string about;
  std::vector<ModuleParam> params;
  bool described = false;
};

bool OnlyMembers(const Json::Value& object, std::initializer_list<const char*> known) {
  for (const std::string& member : object.getMemberNames()) {
    bool listed = false;
    for (const char* name : known) listed = listed || member == name;
    if (!listed) return false;
  }
  return true;
}

// {"name", "type", "required", "about"}, each present and of its type.
bool ParseParam(const Json::Value& entry, ModuleParam* param) {
  if (!entry.isObject() || !OnlyMembers(entry, {"name", "type", "required", "about"})) {
    return false;
  }
  const Json::Value &name = entry["name"], &type = entry["type"], &about = entry["about"];
  if (!name.isString() || name.asString().empty() || !type.isString() ||
      !entry["required"].isBool() || !about.isString()) {
    return false;
  }
  param->name = name.asString();
  param->type = type.asString();
  param->required = entry["required"].asBool();
  param->about = about.asString();
  return param->type == "bool" || param->type == "int" || param->type == "string" ||
         param->type == "array";
}

// The words of an entry object: "about" and "params", each optional.
bool ParseWords(const Json::Value& entry, Grant* grant) {
  const Json::Value& about = entry["about"];
  if (!about.isNull() && !about.isString()) return false;
  grant->about = about.asString();
  const Json::Value& params = entry["params"];
  if (params.isNull()) return true;
  if (!params.isArray()) return false;
  for (const Json::Value& item : params) {
    ModuleParam param;
    if (!ParseParam(item, &param)) return false;
    grant->params.push_back(param);
  }
  grant->described = true;
  return true;
}

// The descriptor's members that set a row's APICallFlag bits.
const struct CallFlagMember {
  const char* member;
  APICallFlag flag;
} kCallFlagMembers[] = {{"lists_calendars", kAPIListsCalendars},
                        {"lists_addressbooks", kAPIListsAddressBooks}};

// One method's entry: "admin", "user", or {"who": ..., "lists_calendars": bool,
// "lists_addressbooks": bool, "about": ..., "params": [...]}. A member it does
// not know makes it malformed, so that a misspelt flag is not taken for an
// absent one.
bool ParseGrant(const Json::Value& entry, Grant* grant) {
  const Json::Value* who = &entry;
  grant->flags = 0;
  if (entry.isObject()) {
    if (!OnlyMembers(entry, {"who", "lists_calendars", "lists_addressbooks", "about", "params"})) {
      return false;
    }
    for (const CallFlagMember& flag : kCallFlagMembers) {
      const Json::Value& lists = entry[flag.member];
      if (!lists.isNull() && !lists.isBool()) return false;
      if (lists.asBool()) grant->flags |= flag.flag;
    }
    if (!ParseWords(entry, grant)) return false;
    who = &entry["who"];
  }
  if (!who->isString()) return false;
  if (who->asString() == "admin") {
    grant->audience = kAPIAdministrators;
  } else if (who->asString() == "user") {
    grant->audience = kAPIUsers;
  } else {
    return false;
  }
  return true;
}

// The whole descriptor, or false with the reason in *error.
bool ParseDescriptor(const std::string& text, std::map<RowKey, Grant>* grants, std::string* error) {
  Json::Value root;
  if (!ParseJson(text, &root) || !root.isObject()) {
    *error = "not a JSON object";
    return false;
  }
  for (const std::string& api : root.getMemberNames()) {
    const Json::Value& versions = root[api];
    if (!versions.isObject()) {
      *error = api + ": versions must be an object";
      return false;
    }
    for (const std::string& version_text : versions.getMemberNames()) {
      long version = 0;
      const Json::Value& methods = versions[version_text];
      if (!ParseDecimal(version_text, &version) || !methods.isObject()) {
        *error = api + ": version '" + version_text + "' must be a decimal key of an object";
        return false;
      }
      for (const std::string& method : methods.getMemberNames()) {
        Grant grant{};
        if (!ParseGrant(methods[method], &grant)) {
          *error = api + " " + version_text + " " + method +
                   ": must be \"admin\", \"user\" or {\"who\": ..., \"lists_calendars\": bool, "
                   "\"lists_addressbooks\": bool, \"about\": text, \"params\": [{\"name\", "
                   "\"type\", \"required\", \"about\"}]}";
          return false;
        }
        (*grants)[RowKey(api, version, method)] = grant;
      }
    }
  }
  return true;
}
}  // namespace

bool ModuleTable::Open(const std::string& path, std::string* error) {
  // The handle is never closed: the entry functions must stay mapped for as
  // long as the process may call them.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *error = std::string("cannot load module: ") + dlerror();
    return false;
  }
  using GetTable = const APITableEntry* (*)();
  auto get_table = reinterpret_cast<GetTable>(dlsym(handle, "GetAPITable"));
  if (get_table == nullptr) {
    *error = "module " + path + " has no GetAPITable";
    return false;
  }
  if (!Adopt(get_table(), path, error)) return false;
  const std::string descriptor = DescriptorPathFor(path);
  std::ifstream in(descriptor, std::ios::binary);
  std::string text(kMaxDescriptorBytes + 1, '\0');
  if (in) in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(in ? text.size() : static_cast<size_t>(in.gcount()));
  if (!in.is_open() || in.bad()) {
    KIVO_LOG(LOG_ERR, "cannot read %s: every method of the module is closed", descriptor.c_str());
  } else if (text.size() > kMaxDescriptorBytes) {
    KIVO_LOG(LOG_ERR, "%s is larger than a descriptor: every method of the module is closed",
             descriptor.c_str());
  } else {
    Describe(text, descriptor);
  }
  return true;
}

bool ModuleTable::OpenAll(const std::vector<std::string>& paths, std::string* error) {
  rows_.clear();
  if (paths.empty()) {
    *error = "no module to load";
    return false;
  }
  std::map<std::string, std::string> served_by;  // API name -> module path
  std::vector<ModuleRow> all;
  for (const std::string& path : paths) {
    ModuleTable one;
    if (!one.Open(path, error)) return false;
    for (const ModuleRow& row : one.rows()) {
      const auto claimed = served_by.emplace(row.api, path);
      if (!claimed.second && claimed.first->second != path) {
        *error = "modules " + claimed.first->second + " and " + path + " both serve API " + row.api;
        return false;
      }
    }
    all.insert(all.end(), one.rows_.begin(), one.rows_.end());
  }
  rows_ = std::move(all);
  return true;
}

bool ModuleTable::Adopt(const APITableEntry* table, const std::string& origin, std::string* error) {
  rows_.clear();
  for (size_t i = 0; table != nullptr && table[i].api != nullptr; ++i) {
    const APITableEntry& row = table[i];
    if (i == kMaxRows || row.method == nullptr || row.function == nullptr) {
      *error = "module " + origin + " has a malformed API table";
      rows_.clear();
      return false;
    }
    rows_.push_back({row.api,
                     static_cast<long>(row.version),
                     row.method,
                     row.function,
                     kAPINobody,
                     0,
                     "",
                     {},
                     false});
  }
  return true;
}

bool ModuleTable::Describe(const std::string& text, const std::string& origin) {
  for (ModuleRow& row : rows_) {
    row.audience = kAPINobody;
    row.flags = 0;
    row.about.clear();
    row.params.clear();
    row.described = false;
  }
  std::map<RowKey, Grant> grants;
  std::string error;
  if (!ParseDescriptor(text, &grants, &error)) {
    KIVO_LOG(LOG_ERR, "%s: %s: every method of the module is closed", origin.c_str(),
             error.c_str());
    return false;
  }
  for (ModuleRow& row : rows_) {
    const auto it = grants.find(RowKey(row.api, row.version, row.method));
    if (it == grants.end()) continue;
    row.audience = it->second.audience;
    row.flags = it->second.flags;
    row.about = it->second.about;
    row.params = it->second.params;
    row.described = it->second.described;
    grants.erase(it);
  }
  for (const auto& left : grants) {
    KIVO_LOG(LOG_WARNING, "%s names %s %ld %s, which the module lacks: ignored", origin.c_str(),
             std::get<0>(left.first).c_str(), std::get<1>(left.first),
             std::get<2>(left.first).c_str());
  }
  return true;
}

Match ModuleTable::Find(const std::string& api, long version, const std::string& method,
                        const ModuleRow** found) const {
  Match match = Match::kUnknownApi;
  for (const ModuleRow& row : rows_) {
    if (row.api != api) continue;
    match = Match::kUnknownMethod;
    if (row.version == version && row.method == method) {
      *found = &row;
      return Match::kFound;
    }
  }
  return match;
}

bool MayCall(const ModuleRow& row, bool is_admin) {
  switch (row.audience) {
    case kAPIUsers:
      return true;
    case kAPIAdministrators:
      return is_admin;
    case kAPINobody:
      break;
  }
  return false;
}

std::vector<std::string> DefaultModulePaths() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string("./");
  dir.erase(dir.rfind('/') + 1);
  std::vector<std::string> paths;
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return paths;
  const std::string prefix = kModulePrefix, suffix = kModuleSuffix;
  while (const struct dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() > prefix.size() + suffix.size() &&
        name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      paths.push_back(dir + name);
    }
  }
  closedir(folder);
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string DescriptorPathFor(const std::string& module_path) {
  std::string path = module_path;
  const std::string suffix = ".so";
  if (path.size() >= suffix.size() &&
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
    path.erase(path.size() - suffix.size());
  }
  return path + ".lib";
}

}  // namespace host
