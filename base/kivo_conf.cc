#include "base/kivo_conf.h"

#include <errno.h>
#include <sys/stat.h>

#include <string_view>

#include "base/file_stamp.h"
#include "base/last_error.h"
#include "base/root_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/port_text.h"

namespace kivo::base {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

// Made once per root and thread: every settings call reads the file.
const std::string& KivoConfPath() {
  thread_local KeptRootedPath path(SZF_KIVOINFO_CONF);
  return path.Get(SnapshotRootText());
}

bool ParseConfLine(const std::string& line, std::string* key, std::string* value) {
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

std::vector<std::string> ConfLines(const std::string& content) {
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

int ServedPort(KivoConf* conf, const PortSetting& setting) {
  return port_text::Served(conf->Info(setting.key, ""), setting.fallback);
}

}  // namespace kivo::base

KivoConf::KivoConf() = default;
KivoConf::~KivoConf() = default;

bool KivoConf::Reload() {
  const unsigned long long snapshot = kivo::base::CurrentReadSnapshot();
  if (snapshot != 0 && looked_in_ == snapshot) return looked_ok_;
  looked_ok_ = ReloadNow();
  looked_in_ = snapshot;
  return looked_ok_;
}

bool KivoConf::ReloadNow() {
  const std::string& path = kivo::base::KivoConfPath();
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
  if (!kivo::base::ReadWholeFile(path, &content, &missing)) return false;
  values_.clear();
  for (const std::string& line : kivo::base::ConfLines(content)) {
    std::string key, value;
    if (kivo::base::ParseConfLine(line, &key, &value))
      values_.emplace(key, value);  // first line wins
  }
  loaded_ino_ = static_cast<long long>(st.st_ino);
  loaded_size_ = static_cast<long long>(st.st_size);
  loaded_mtime_ns_ = mtime_ns;
  return true;
}

const char* KivoConf::Info(const char* key, const char* default_value) {
  return kivo::base::Guarded<const char*>(default_value != nullptr ? default_value : "", [&] {
    const char* fallback = default_value != nullptr ? default_value : "";
    if (key == nullptr) return fallback;
    Reload();  // on failure the last values read stand
    auto it = values_.find(std::string_view(key));
    if (it == values_.end()) return fallback;
    answers_.push_back(it->second);
    return answers_.back().c_str();
  });
}
