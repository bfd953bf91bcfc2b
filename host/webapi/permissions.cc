#include "host/webapi/permissions.h"

#include <fstream>
#include <sstream>

#include "host/common/decimal.h"
#include "host/common/json_text.h"

namespace host {

bool Permissions::Load(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read permission descriptor " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!Parse(text.str(), error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool Permissions::Parse(const std::string& text, std::string* error) {
  Json::Value root;
  table_.clear();
  std::map<std::tuple<std::string, long, std::string>, Audience> table;
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
        const std::string who = methods[method].isString() ? methods[method].asString() : "";
        if (who != "admin" && who != "user") {
          *error = api + " " + version_text + " " + method + ": audience must be admin or user";
          return false;
        }
        table[std::make_tuple(api, version, method)] =
            who == "admin" ? Audience::kAdmin : Audience::kUser;
      }
    }
  }
  table_.swap(table);
  return true;
}

Audience Permissions::Lookup(const std::string& api, long version,
                             const std::string& method) const {
  const auto it = table_.find(std::make_tuple(api, version, method));
  return it == table_.end() ? Audience::kNobody : it->second;
}

bool MayCall(Audience audience, bool is_admin) {
  switch (audience) {
    case Audience::kUser:
      return true;
    case Audience::kAdmin:
      return is_admin;
    case Audience::kNobody:
      return false;
  }
  return false;
}

}  // namespace host
