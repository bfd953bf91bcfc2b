#include "base/changes_under_way.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <sstream>

#include "base/fd.h"
#include "base/random_text.h"
#include "base/root_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace kivo::base {
namespace {

constexpr char kLogUnit[] = "changes_under_way";

// Two whole copies of the settings files and a few calendar changes fit many
// times over; anything larger was not written by this code.
constexpr size_t kMaxBytes = 4 << 20;

constexpr char kOldSettingsRecord[] = "/var/lib/kivo/settings-under-way.json";
constexpr char kOldCalendarRecord[] = "/usr/kivo/etc/calendar.ids";
// Any calendar call finished the previous version's calendar changes; a
// list changes nothing else.
constexpr char kCalendarApi[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";

std::string RecordPath() { return RootedPath(ChangesUnderWay::kPath); }

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

enum class Found { kRecord, kNone, kRefused };

// Reads a file only root could have written, without following a link or
// waiting on a FIFO; kRefused (logged) for anything else.
Found ReadRootsFile(const std::string& path, std::string* text) {
  const Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid() && errno == ENOENT) return Found::kNone;
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    KIVO_LOG(LOG_ERR, "cannot read %s, reason=%s", path.c_str(), strerror(errno));
    return Found::kRefused;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022) != 0 ||
      static_cast<size_t>(st.st_size) > kMaxBytes) {
    KIVO_LOG(LOG_ERR, "refused %s: not a record of root's", path.c_str());
    return Found::kRefused;
  }
  char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      KIVO_LOG(LOG_ERR, "cannot read %s, reason=%s", path.c_str(), strerror(errno));
      return Found::kRefused;
    }
    if (n == 0) return Found::kRecord;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > kMaxBytes) return Found::kRefused;  // grew while read
  }
}

bool ParseJson(const std::string& text, Json::Value* value) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  std::string error;
  std::istringstream in(text);
  try {
    return Json::parseFromStream(builder, in, value, &error);
  } catch (const std::exception&) {
    return false;
  }
}

bool UsableChange(const Json::Value& change) {
  return change.isObject() && change["key"].isString() && change["owner"].isObject() &&
         change["call"].isObject() && change["call"]["api"].isString() &&
         change["call"]["version"].isIntegral() && change["call"]["method"].isString() &&
         change["call"]["account"].isString() && change["call"]["params"].isObject() &&
         change["replay"].isBool() && change["kind"].isString() &&
         (!change["replay"].asBool() || change["before"].isObject());
}

// The record as it stands (none: no changes). False when it is refused.
bool Load(Json::Value* changes) {
  *changes = Json::Value(Json::arrayValue);
  const std::string path = RecordPath();
  std::string text;
  const Found found = ReadRootsFile(path, &text);
  if (found == Found::kNone) return true;
  Json::Value record;
  if (found == Found::kRefused) return false;
  if (!ParseJson(text, &record) || !record.isObject() || !record["changes"].isArray() ||
      !std::all_of(record["changes"].begin(), record["changes"].end(), UsableChange)) {
    KIVO_LOG(LOG_ERR, "refused %s: not a record of changes under way", path.c_str());
    return false;
  }
  changes->swap(record["changes"]);
  return true;
}

// Writes `changes` as the record: replaced whole, or removed when empty.
bool Store(const Json::Value& changes, bool synced) {
  const std::string path = RecordPath();
  if (changes.empty()) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      KIVO_LOG(LOG_ERR, "cannot remove %s, reason=%s", path.c_str(), strerror(errno));
      return false;
    }
    if (synced) {
      const Fd folder(open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!folder.valid() || fsync(folder.get()) != 0) {
        KIVO_LOG(LOG_ERR, "cannot sync %s, reason=%s", Folder(path).c_str(), strerror(errno));
        return false;
      }
    }
    return true;
  }
  Json::Value record(Json::objectValue);
  record["changes"] = changes;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  ReplaceOptions options;
  options.new_mode = 0600;
  options.fresh = true;
  options.sync_folder = synced;
  return ReplaceFile(path, Json::writeString(writer, record) + "\n", options);
}

// This boot's id: a process of an earlier boot is never running.
std::string BootId() {
  static const std::string id = [] {
    std::string text;
    bool missing = false;
    ReadWholeFile("/proc/sys/kernel/random/boot_id", &text, &missing, 256);
    return text.substr(0, text.find('\n'));
  }();
  return id;
}

// The start time of process `pid` since boot, in clock ticks; "" when there
// is no such process. A pid used again belongs to a later start.
std::string StartOf(long pid) {
  std::string text;
  bool missing = false;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", &text, &missing, 4096) || missing) {
    return "";
  }
  // The command name, in parentheses, may hold spaces: fields count from
  // its end. The start time is the 22nd field, the 20th after the name.
  std::istringstream fields(text.substr(text.rfind(')') + 1));
  std::string field;
  for (int i = 0; i < 20 && fields >> field; ++i) {
  }
  return fields ? field : "";
}

Json::Value Self() {
  Json::Value owner(Json::objectValue);
  owner["boot"] = BootId();
  owner["pid"] = static_cast<Json::Int64>(getpid());
  owner["since"] = StartOf(getpid());
  return owner;
}

// Whether the process that began a change still runs it. This process's
// own are never: changes run one at a time where recovery runs, and one it
// left recorded is one it failed to end.
bool Running(const Json::Value& owner) {
  const long pid = owner["pid"].isIntegral() ? static_cast<long>(owner["pid"].asInt64()) : 0;
  if (pid <= 0 || pid == getpid() || owner["boot"].asString() != BootId()) return false;
  const std::string since = StartOf(pid);
  return !since.empty() && since == owner["since"].asString();
}

// Adds `change` (whole but for key and owner) to the record.
bool Add(Json::Value change, std::string* key) {
  const std::string path = RecordPath();
  const FileLock lock(LockPathFor(path));
  Json::Value changes;
  if (!MakeParentDirs(path) || !lock.locked() || !Load(&changes)) {
    KIVO_LOG(LOG_ERR, "cannot record a change under way in %s", path.c_str());
    return false;
  }
  *key = RandomHex(16);
  if (key->empty()) return false;
  change["key"] = *key;
  change["owner"] = Self();
  changes.append(change);
  return Store(changes, true);
}

bool TakeInOldSettings() {
  const std::string path = RootedPath(kOldSettingsRecord);
  std::string text;
  const Found found = ReadRootsFile(path, &text);
  if (found == Found::kNone) return true;
  Json::Value old;
  bool usable = found == Found::kRecord && ParseJson(text, &old) && old.isObject() &&
                old["api"].isString() && old["version"].isIntegral() && old["method"].isString() &&
                old["account"].isString() && old["params"].isObject() && old["before"].isObject();
  std::string key;
  if (usable) {
    Json::Value change(Json::objectValue);
    change["kind"] = "settings";
    change["replay"] = true;
    change["before"] = old["before"];
    for (const char* member : {"api", "version", "method", "account", "params"}) {
      change["call"][member] = old[member];
    }
    usable = Add(change, &key);
    if (!usable) return false;  // kept for the next pass
  } else {
    KIVO_LOG(LOG_ERR, "dropped %s: not a settings change", path.c_str());
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    KIVO_LOG(LOG_ERR, "cannot remove %s, reason=%s", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool TakeInOldCalendarLines() {
  std::string text;
  const std::string path = RootedPath(kOldCalendarRecord);
  if (ReadRootsFile(path, &text) != Found::kRecord || text.find("pending ") == std::string::npos) {
    return true;
  }
  // In order, a later line winning; text after the last newline was an
  // append cut short.
  Json::Value pending(Json::arrayValue);
  std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
  for (std::string line; std::getline(lines, line);) {
    Json::Value change;
    if (line.rfind("pending ", 0) == 0 && ParseJson(line.substr(8), &change) && change.isObject() &&
        change["token"].isString()) {
      pending.append(change);
    } else if (line.rfind("done ", 0) == 0) {
      Json::Value kept(Json::arrayValue);
      for (const Json::Value& c : pending) {
        if (c["token"].asString() != line.substr(5)) kept.append(c);
      }
      pending.swap(kept);
    }
  }
  Json::Value recorded;
  if (!ChangesUnderWay::Read("calendar", &recorded)) return false;
  for (const Json::Value& change : pending) {
    const std::string token = change["token"].asString();
    if (std::any_of(recorded.begin(), recorded.end(),
                    [&](const Json::Value& c) { return c["data"]["token"].asString() == token; })) {
      continue;
    }
    ChangeUnderWay taken;
    taken.kind = "calendar";
    taken.data = change;
    taken.call["api"] = kCalendarApi;
    taken.call["version"] = 1;
    taken.call["method"] = "list";
    taken.call["account"] = "admin";
    taken.call["params"] = Json::Value(Json::objectValue);
    std::string key;
    if (!ChangesUnderWay::Begin(taken, &key)) return false;
  }
  return true;
}

// Puts the files a replayed call changes back as they were before it.
void PutBack(const Json::Value& before) {
  for (const std::string& file : before.getMemberNames()) {
    const Json::Value& was = before[file];
    const std::string path = RootedPath(file.c_str());
    const bool put_back = was.isString() ? ReplaceFile(path, was.asString(), 0644)
                                         : (unlink(path.c_str()) == 0 || errno == ENOENT);
    if (!put_back)
      KIVO_LOG(LOG_ERR, "cannot put %s back, reason=%s", path.c_str(), strerror(errno));
  }
}

}  // namespace

bool ChangesUnderWay::Begin(const ChangeUnderWay& change, std::string* key) {
  Json::Value entry(Json::objectValue);
  entry["kind"] = change.kind;
  entry["data"] = change.data;
  entry["call"] = change.call;
  entry["replay"] = change.replay;
  if (change.replay) {
    Json::Value& before = entry["before"] = Json::Value(Json::objectValue);
    for (const std::string& file : change.before) {
      std::string content;
      bool missing = false;
      if (!ReadWholeFile(RootedPath(file.c_str()), &content, &missing, kMaxBytes / 4)) {
        KIVO_LOG(LOG_ERR, "cannot read %s, reason=%s", file.c_str(), strerror(errno));
        return false;
      }
      before[file] = missing ? Json::Value() : Json::Value(content);
    }
  }
  const Json::Value& call = entry["call"];
  if (!call.isObject() || !call["api"].isString() || !call["version"].isIntegral() ||
      !call["method"].isString() || !call["account"].isString() || !call["params"].isObject()) {
    KIVO_LOG(LOG_ERR, "refused to record a change under way without its call");
    return false;
  }
  return Add(std::move(entry), key);
}

bool ChangesUnderWay::End(const std::vector<std::string>& keys, bool synced) {
  if (keys.empty()) return true;
  const std::string path = RecordPath();
  const FileLock lock(LockPathFor(path));
  Json::Value changes;
  if (!lock.locked() || !Load(&changes)) {
    KIVO_LOG(LOG_ERR, "cannot end a change under way in %s", path.c_str());
    return false;
  }
  Json::Value kept(Json::arrayValue);
  for (const Json::Value& change : changes) {
    if (std::find(keys.begin(), keys.end(), change["key"].asString()) == keys.end()) {
      kept.append(change);
    }
  }
  return kept.size() == changes.size() || Store(kept, synced);
}

bool ChangesUnderWay::Read(const std::string& kind, Json::Value* changes) {
  // Without the lock: the record is replaced whole, so a reader sees one
  // version of it, and a call that begins nothing leaves no lock file.
  Json::Value all;
  if (!Load(&all)) return false;
  *changes = Json::Value(Json::arrayValue);
  for (const Json::Value& change : all) {
    if (kind.empty() || change["kind"].asString() == kind) changes->append(change);
  }
  return true;
}

bool TakeInPreviousRecords() {
  const bool settings = TakeInOldSettings();
  return TakeInOldCalendarLines() && settings;
}

bool FinishChangesUnderWay(const RecordedCallRunner& run) {
  const std::string path = RecordPath();
  // The previous version's records are looked for once a process (its
  // first recovery: a host's start, or a `call`); only the package's
  // upgrade leaves them, and the calendar handler takes its own lines in
  // whenever it meets them.
  static std::atomic<bool> looked(false);
  const bool look = !looked.exchange(true);
  // Quick when nothing is under way: no lock file is made for that.
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
    std::string ids;
    if (!look || ((lstat(RootedPath(kOldSettingsRecord).c_str(), &st) != 0 && errno == ENOENT) &&
                  (ReadRootsFile(RootedPath(kOldCalendarRecord), &ids) != Found::kRecord ||
                   ids.find("pending ") == std::string::npos))) {
      return true;
    }
  }
  if (!MakeParentDirs(path)) return false;
  const FileLock recovering(Folder(path) + "/.changes-under-way.recovery.lock");
  if (!recovering.locked()) return false;
  bool ok = !look || TakeInPreviousRecords();
  Json::Value changes;
  if (!ChangesUnderWay::Read("", &changes)) return false;
  std::vector<Json::Value> calls_run;
  for (const Json::Value& change : changes) {
    if (Running(change["owner"])) continue;
    const Json::Value& call = change["call"];
    const bool replay = change["replay"].asBool();
    if (!replay && std::find(calls_run.begin(), calls_run.end(), call) != calls_run.end()) {
      continue;
    }
    // The runner says what it runs and how it ended: logged once, there.
    if (replay) PutBack(change["before"]);
    if (!run(call)) ok = false;
    calls_run.push_back(call);
    if (replay && !ChangesUnderWay::End({change["key"].asString()}, true)) ok = false;
  }
  return ok;
}

}  // namespace kivo::base
