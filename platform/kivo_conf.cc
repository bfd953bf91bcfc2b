// The one writer of kivoinfo.conf (its lines and reader: base/kivo_conf.h):
// a changed value replaces the first line of its key, every other line is
// kept untouched, and the daemons hear of the change.

#include "base/kivo_conf.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/journal.h"
#include "base/last_error.h"
#include "base/root_files.h"
#include "daemons/service_effects.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "kivo_conf";

bool Writable(const char* text, bool is_key) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\n' || *p == '\r' || *p == '"') return false;
    if (is_key && (*p == '=' || *p == ' ' || *p == '\t' || *p == '#')) return false;
  }
  return !is_key || text[0] != '\0';
}

int SetKeyValue(const char* key, const char* value) {
  if (key == nullptr || value == nullptr || !Writable(key, true) || !Writable(value, false)) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_WARNING, "refusing to store key [%s]", key == nullptr ? "(null)" : key);
    return -1;
  }
  std::string path = kivo::base::KivoConfPath();
  kivo::base::FileLock lock(kivo::base::LockPathFor(path));
  if (!lock.locked()) return -1;
  std::string content;
  bool missing = false;
  if (!kivo::base::ReadWholeFile(path, &content, &missing)) return -1;

  std::string wanted = std::string(key) + "=\"" + value + "\"";
  std::string updated;
  bool replaced = false;
  for (const std::string& line : kivo::base::ConfLines(content)) {
    std::string line_key, line_value;
    if (kivo::base::ParseConfLine(line, &line_key, &line_value) && line_key == key) {
      updated += wanted + "\n";
      replaced = true;
    } else {
      updated += line + "\n";
    }
  }
  if (!replaced) updated += wanted + "\n";
  if (!kivo::base::ReplaceFile(path, updated, 0644)) return -1;
  kivo::daemons::ConfValueChanged(key);

  Json::Value record(Json::objectValue);
  record["op"] = "conf.set";
  record["key"] = key;
  record["value"] = value;
  kivo::base::JournalDone(record);
  return 0;
}

}  // namespace

extern "C" int KLIBCINFOSetKeyValue(const char* key, const char* value) {
  return kivo::base::Guarded(-1, [&] { return SetKeyValue(key, value); });
}
