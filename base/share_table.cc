#include "base/share_table.h"

#include <json/json.h>

#include <cstring>
#include <exception>
#include <memory>
#include <string_view>
#include <utility>

#include "base/root_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace kivo::base {

namespace {

constexpr char kLogUnit[] = "share_table";

// Deeper text is no share table; the CalDAV plug-ins stop at the same depth.
constexpr int kMaxNesting = 512;

// JSON as the rule above has it (and as Python's json module reads it once
// the comments are gone).
const Json::CharReaderBuilder& Builder() {
  static const Json::CharReaderBuilder builder = [] {
    Json::CharReaderBuilder b;
    b["allowComments"] = true;
    b["allowTrailingCommas"] = false;
    b["allowDroppedNullPlaceholders"] = false;
    b["allowNumericKeys"] = false;
    b["allowSingleQuotes"] = false;
    b["allowSpecialFloats"] = false;
    b["failIfExtra"] = true;
    b["rejectDupKeys"] = false;
    b["skipBom"] = true;
    b["strictRoot"] = false;
    b["stackLimit"] = kMaxNesting;
    return b;
  }();
  return builder;
}

bool UsableName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// Absolute, no NUL, no "." or ".." component.
bool UsableDir(const std::string& dir) {
  if (dir.empty() || dir[0] != '/' || dir.find('\0') != std::string::npos) return false;
  size_t start = 1;
  while (start <= dir.size()) {
    size_t end = dir.find('/', start);
    if (end == std::string::npos) end = dir.size();
    const std::string_view component(dir.data() + start, end - start);
    if (component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

ShareTableRead ParseShareTable(const std::string& text, const std::string& origin,
                               ShareTable* shares) {
  shares->clear();
  const std::unique_ptr<Json::CharReader> reader(Builder().newCharReader());
  Json::Value value;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &value, &errors);
  } catch (const std::exception& e) {
    errors = e.what();  // nesting beyond the limit
  }
  if (!parsed) {
    KIVO_LOG(LOG_ERR, "%s is not JSON: %s", origin.c_str(), errors.c_str());
    return ShareTableRead::kUnreadable;
  }
  if (!value.isObject()) {
    KIVO_LOG(LOG_ERR, "no share table in %s", origin.c_str());
    return ShareTableRead::kNotATable;
  }
  for (auto member = value.begin(); member != value.end(); ++member) {
    const char* name_end = nullptr;
    const char* name_begin = member.memberName(&name_end);
    const std::string name(name_begin, name_end);
    const char* dir_begin = nullptr;
    const char* dir_end = nullptr;
    if (!member->isString() || !member->getString(&dir_begin, &dir_end)) continue;
    std::string dir(dir_begin, dir_end);
    if (UsableName(name) && UsableDir(dir)) shares->emplace(name, std::move(dir));
  }
  return ShareTableRead::kRead;
}

ShareTableRead ReadShareTable(ShareTable* shares) {
  shares->clear();
  const std::string path = RootedPath(SZF_SHARES_JSON);
  std::string text;
  bool missing = false;
  if (!ReadWholeFile(path, &text, &missing)) return ShareTableRead::kUnreadable;  // logged
  if (missing) return ShareTableRead::kMissing;
  return ParseShareTable(text, path, shares);
}

}  // namespace kivo::base
