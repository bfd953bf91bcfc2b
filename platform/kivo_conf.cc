// kivoinfo.conf: the system configuration, `key="value"` lines. Readers see
// the value of the first line of a key; lines that are not of that form
// (comments, blank lines, anything unknown) are kept untouched by writers.

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "daemons/service_effects.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"
#include "platform/file_stamp.h"
#include "platform/journal.h"
#include "platform/last_error.h"
#include "platform/root_files.h"

namespace {

constexpr char kLogUnit[] = "kivo_conf";
constexpr char kConfPath[] = "/etc/kivoinfo.conf";

// Made once per root and thread: every settings call reads the file.
const std::string& ConfPath() {
  thread_local kivo::KeptRootedPath path(kConfPath);
  return path.Get(kivo::SnapshotRootText());
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// Splits a `key="value"` line. False for lines that carry no key.
bool ParseLine(const std::string& line, std::string* key, std::string* value) {
  std::string text = Trim(line);
  if (text.empty() || text[0] == '#') return false;
  size_t eq = text.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(text.substr(0, eq));
  if (key->empty()) return false;
  std::string raw = Trim(text.substr(eq + 1));
  if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
    *value = raw.substr(1, raw.size() - 2);
  } else {
    *value = raw;
  }
  return true;
}

std::vector<std::string> SplitLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    lines.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool Writable(const char* text, bool is_key) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\n' || *p == '\r' || *p == '"') return false;
    if (is_key && (*p == '=' || *p == ' ' || *p == '\t' || *p == '#')) return false;
  }
  return !is_key || text[0] != '\0';
}

int SetKeyValue(const char* key, const char* value) {
  if (key == nullptr || value == nullptr || !Writable(key, true) || !Writable(value, false)) {
    kivo::SetLastError(EINVAL);
    KIVO_LOG("refusing to store key [%s]", key == nullptr ? "(null)" : key);
    return -1;
  }
  std::string path = ConfPath();
  kivo::FileLock lock(kivo::LockPathFor(path));
  if (!lock.locked()) return -1;
  std::string content;
  bool missing = false;
  if (!kivo::ReadWholeFile(path, &content, &missing)) return -1;

  std::string wanted = std::string(key) + "=\"" + value + "\"";
  std::string updated;
  bool replaced = false;
  for (const std::string& line : SplitLines(content)) {
    std::string line_key, line_value;
    if (ParseLine(line, &line_key, &line_value) && line_key == key) {
      updated += wanted + "\n";
      replaced = true;
    } else {
      updated += line + "\n";
    }
  }
  if (!replaced) updated += wanted + "\n";
  if (!kivo::ReplaceFile(path, updated, 0644)) return -1;
  kivo::daemons::ConfValueChanged(key);

  Json::Value record(Json::objectValue);
  record["op"] = "conf.set";
  record["key"] = key;
  record["value"] = value;
  kivo::JournalDone(record);
  return 0;
}

}  // namespace

KivoConf::KivoConf() = default;
KivoConf::~KivoConf() = default;

bool KivoConf::Reload() {
  const unsigned long long snapshot = kivo::CurrentReadSnapshot();
  if (snapshot != 0 && looked_in_ == snapshot) return looked_ok_;
  looked_ok_ = ReloadNow();
  looked_in_ = snapshot;
  return looked_ok_;
}

bool KivoConf::ReloadNow() {
  const std::string& path = ConfPath();
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    // A missing file is an empty configuration.
    values_.clear();
    loaded_ino_ = loaded_size_ = loaded_mtime_ns_ = -1;
    return errno == ENOENT;
  }
  long long mtime_ns =
      static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  if (static_cast<long long>(st.st_ino) == loaded_ino_ &&
      static_cast<long long>(st.st_size) == loaded_size_ && mtime_ns == loaded_mtime_ns_) {
    return true;
  }
  std::string content;
  bool missing = false;
  if (!kivo::ReadWholeFile(path, &content, &missing)) return false;
  values_.clear();
  for (const std::string& line : SplitLines(content)) {
    std::string key, value;
    if (ParseLine(line, &key, &value)) values_.emplace(key, value);  // first line wins
  }
  loaded_ino_ = static_cast<long long>(st.st_ino);
  loaded_size_ = static_cast<long long>(st.st_size);
  loaded_mtime_ns_ = mtime_ns;
  return true;
}

const char* KivoConf::Info(const char* key, const char* default_value) {
  return kivo::Guarded<const char*>(default_value != nullptr ? default_value : "", [&] {
    const char* fallback = default_value != nullptr ? default_value : "";
    if (key == nullptr) return fallback;
    Reload();  // on failure the last values read stand
    auto it = values_.find(std::string_view(key));
    if (it == values_.end()) return fallback;
    answers_.push_back(it->second);
    return answers_.back().c_str();
  });
}

extern "C" int KLIBCINFOSetKeyValue(const char* key, const char* value) {
  return kivo::Guarded(-1, [&] { return SetKeyValue(key, value); });
}
