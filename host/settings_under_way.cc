#include "host/settings_under_way.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>

#include "base/fd.h"
#include "base/root_files.h"
#include "host/host_log.h"
#include "kivo/kivo_paths.h"

namespace host {
namespace {

constexpr char kRecord[] = "/var/lib/kivo/settings-under-way.json";

// The files a settings change rewrites: put back as they were before the
// call, then the call runs again whole. A call that finds its setting
// already as asked changes nothing (no restart, no reload), so a half-done
// change is undone first.
constexpr const char* kChangedFiles[] = {SZF_KIVOINFO_CONF, SZF_SERVICES_JSON};

std::string RecordPath() { return kivo::RootedPath(kRecord); }

bool Record(const std::string& api, long version, const std::string& method,
            const std::string& account, const Json::Value& params) {
  Json::Value record(Json::objectValue);
  record["api"] = api;
  record["version"] = static_cast<Json::Int64>(version);
  record["method"] = method;
  record["account"] = account;
  record["params"] = params;
  Json::Value& before = record["before"] = Json::Value(Json::objectValue);
  for (const char* file : kChangedFiles) {
    std::string content;
    bool missing = false;
    if (!kivo::base::ReadWholeFile(kivo::RootedPath(file), &content, &missing)) {
      HOST_LOG("cannot read %s: %s", file, strerror(errno));
      return false;
    }
    before[file] = missing ? Json::Value() : Json::Value(content);
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  const std::string path = RecordPath();
  if (!kivo::base::MakeParentDirs(path) ||
      !kivo::base::ReplaceFile(path, Json::writeString(writer, record) + "\n", 0600)) {
    HOST_LOG("cannot record the settings change under way in %s: %s", path.c_str(),
             strerror(errno));
    return false;
  }
  return true;
}

// Drops the record, for good: the folder is synced, so a later crash never
// brings it back to run a change twice.
void Drop() {
  const std::string path = RecordPath();
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    HOST_LOG("cannot drop %s: %s", path.c_str(), strerror(errno));
    return;
  }
  const std::string folder = path.substr(0, path.rfind('/'));
  const kivo::base::Fd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) fsync(fd.get());
}

}  // namespace

ModuleCallResult RunRecordedCall(const ModuleRow& row, const std::string& account,
                                 KIVO::Standing standing, Json::Value params) {
  const bool recorded = row.Has(kAPISettingsChange) &&
                        Record(row.api, row.version, row.method, account, params);
  ModuleCallResult result = RunModuleCall(row.function, account, standing, std::move(params));
  if (recorded) Drop();
  return result;
}

bool FinishSettingsUnderWay(const ModuleTable& module) {
  std::string text;
  bool missing = false;
  if (!kivo::base::ReadWholeFile(RecordPath(), &text, &missing)) {
    HOST_LOG("cannot read %s: %s", RecordPath().c_str(), strerror(errno));
    return false;
  }
  if (missing) return true;
  Json::Value record;
  const ModuleRow* row = nullptr;
  // The record holds whole files, new lines and all: read as JsonCpp wrote
  // it, not with the web API's stricter reader of requests.
  Json::CharReaderBuilder reader;
  std::string parse_error;
  std::istringstream in(text);
  const bool usable = Json::parseFromStream(reader, in, &record, &parse_error) &&
                      record.isObject() &&
                      record["api"].isString() && record["version"].isIntegral() &&
                      record["method"].isString() && record["account"].isString() &&
                      record["params"].isObject() && record["before"].isObject() &&
                      module.Find(record["api"].asString(), record["version"].asInt64(),
                                  record["method"].asString(), &row) == Match::kFound &&
                      row->Has(kAPISettingsChange);
  if (!usable) {
    HOST_LOG("dropped %s: not a settings change this module runs", RecordPath().c_str());
    Drop();
    return false;
  }
  const std::string call = record["api"].asString() + "." + record["method"].asString();
  HOST_LOG("note: finishing %s, which a stopped process left under way", call.c_str());
  for (const char* file : kChangedFiles) {
    const Json::Value& was = record["before"][file];
    const std::string path = kivo::RootedPath(file);
    const bool put_back = was.isString() ? kivo::base::ReplaceFile(path, was.asString(), 0644)
                                         : (unlink(path.c_str()) == 0 || errno == ENOENT);
    if (!put_back) HOST_LOG("cannot put %s back: %s", path.c_str(), strerror(errno));
  }
  // The record keeps no standing: run again as an ordinary account, the
  // least a module may grant.
  const ModuleCallResult result =
      RunModuleCall(row->function, record["account"].asString(), KIVO::Standing::kUser,
                    record["params"]);
  Drop();
  if (!result.answered || !result.success) {
    HOST_LOG("%s left under way could not be finished: %s", call.c_str(), result.answer.c_str());
    return false;
  }
  return true;
}

}  // namespace host
