#include "share/share_access_store.h"

#include <json/json.h>

#include <memory>
#include <sstream>

#include "base/root_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace {
constexpr char kLogUnit[] = "share_access";
}  // namespace

namespace share {

namespace {

// A list as the file must hold it: strings, strictly ascending.
bool ParseList(const Json::Value& value, std::set<std::string>* list) {
  if (value.isNull()) return true;
  if (!value.isArray()) return false;
  const std::string* last = nullptr;
  for (const Json::Value& entry : value) {
    if (!entry.isString() || entry.asString().empty()) return false;
    const auto inserted = list->insert(entry.asString());
    if (last != nullptr && !(*last < *inserted.first)) return false;
    last = &*inserted.first;
  }
  return true;
}

// The JSON reader skips comments even in its strict mode; the daemons'
// readers refuse them, so a "/" outside a string makes the file malformed
// here too.
bool HasCommentMark(const std::string& text) {
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (in_string && text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      in_string = !in_string;
    } else if (!in_string && text[i] == '/') {
      return true;
    }
  }
  return false;
}

Json::Value ListJson(const std::set<std::string>& list) {
  Json::Value array(Json::arrayValue);
  for (const std::string& entry : list) array.append(entry);
  return array;
}

}  // namespace

bool ParseAccessStore(const std::string& text, AccessStore* store) {
  // Strict JSON, as every reader of the file (C and Python) takes it.
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string error;
  if (HasCommentMark(text)) return false;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &error)) return false;
  if (!root.isObject() || !root["version"].isIntegral() || root["version"].asInt64() != 1) {
    return false;
  }
  const Json::Value& shares = root["shares"];
  if (!shares.isNull() && !shares.isObject()) return false;
  AccessStore parsed;
  for (const std::string& name : shares.getMemberNames()) {
    const Json::Value& entry = shares[name];
    if (name.empty() || !entry.isObject()) return false;
    for (const std::string& member : entry.getMemberNames()) {
      if (member != "read" && member != "write") return false;
    }
    AccessLists lists;
    if (!ParseList(entry["read"], &lists.read) || !ParseList(entry["write"], &lists.write)) {
      return false;
    }
    parsed[name] = std::move(lists);
  }
  *store = std::move(parsed);
  return true;
}

std::string AccessStoreText(const AccessStore& store) {
  Json::Value root(Json::objectValue);
  root["version"] = 1;
  Json::Value& shares = root["shares"] = Json::Value(Json::objectValue);
  for (const auto& [name, lists] : store) {
    if (lists.empty()) continue;
    shares[name]["read"] = ListJson(lists.read);
    shares[name]["write"] = ListJson(lists.write);
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  return Json::writeString(writer, root) + "\n";
}

std::string AccessStorePath() { return kivo::RootedPath(SZF_SHARE_ACCESS); }

bool ReadAccessStore(AccessStore* store) {
  const std::string path = AccessStorePath();
  std::string text;
  bool missing = false;
  if (!kivo::base::ReadWholeFile(path, &text, &missing, kMaxStoreBytes)) return false;
  if (missing) {
    store->clear();
    return true;
  }
  if (!ParseAccessStore(text, store)) {
    KIVO_LOG(LOG_ERR, "%s is malformed: the WebDAV service refuses every share but homes",
             path.c_str());
    return false;
  }
  return true;
}

}  // namespace share
