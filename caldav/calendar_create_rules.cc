#include "caldav/calendar_create_rules.h"

#include <stdlib.h>
#include <strings.h>

#include <memory>

#include "caldav/calendar_location.h"

namespace caldav {
namespace {

bool IsString(const Json::Value& params, const char* name) {
  return params.isObject() && params[name].isString();
}

std::string Resolved(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved ? resolved.get() : "";
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

bool HomeCreateAllowed(const Json::Value& params, const std::string& user) {
  const Json::Value& share = params["share"];
  if (!share.isString()) return true;  // the handler refuses it before making anything
  const std::string name = share.asString();
  if (strcasecmp(name.c_str(), "homes") != 0 && strcasecmp(name.c_str(), "home") != 0) {
    return true;
  }
  const Json::Value& fullpath = params["fullpath"];
  if (!fullpath.isString()) return true;
  if (user.empty() || user == "." || user == ".." || user.find('/') != std::string::npos) {
    return false;
  }
  // An object of its own, made without the call's error code field: these
  // rules answer, and the refusal is the caller's to report.
  const std::string home = CalendarLocation(user, nullptr).HomeFolder(user);
  if (home.empty()) return false;
  const std::string resolved = Resolved(fullpath.asString());
  const std::string resolved_home = Resolved(home);
  if (resolved.empty() || resolved_home.empty()) return false;
  return resolved == resolved_home ||
         resolved.compare(0, resolved_home.size() + 1, resolved_home + "/") == 0;
}

bool CreateEntryMatchesFolder(const Json::Value& params, const std::string& user,
                              const CollectionKind& kind) {
  for (const char* name : {"share", "destination", kind.name_member, "fullpath"}) {
    if (!IsString(params, name)) return true;  // the handler refuses it
  }
  CalendarLocation location(user, nullptr, kind);
  const Json::Value entry =
      location.EntryOf(params["destination"].asString(), params[kind.name_member].asString(),
                       params["share"].asString());
  std::string registered;
  if (!location.FullPath(entry, registered)) return false;
  const std::string made =
      params["fullpath"].asString() + "/" + params[kind.name_member].asString();
  const std::string registered_dir = Resolved(DirectoryOf(registered));
  return !registered_dir.empty() && registered_dir == Resolved(DirectoryOf(made));
}

}  // namespace caldav
