// kivoinfo.conf, the system configuration: `key="value"` lines. Readers see
// the value of the first line of a key; lines that are not of that form
// (comments, blank lines, anything unknown) are kept untouched by writers.
//
// This room owns the file's path, its line rule and its reader (KivoConf,
// declared with the platform's operations), and the one reading of a stored
// port (kivo/port_text.h). The platform's KLIBCINFOSetKeyValue is its one
// writer, with these same lines.
//
// Threading: the path is kept per thread; a KivoConf is one thread's.

#ifndef KIVO_BASE_KIVO_CONF_H_
#define KIVO_BASE_KIVO_CONF_H_

#include <string>
#include <vector>

class KivoConf;

namespace kivo::base {

// The file under the current root (a snapshot's root while one lives).
const std::string& KivoConfPath();

// Splits a `key="value"` line. False for lines that carry no key.
bool ParseConfLine(const std::string& line, std::string* key, std::string* value);

// The file's lines, without their line ends.
std::vector<std::string> ConfLines(const std::string& content);

// A port the WebDAV daemon serves: its key and the variant's default.
struct PortSetting {
  const char* key;
  int fallback;
};
constexpr PortSetting kHttpPort{"WebDavPort", 5005};
constexpr PortSetting kHttpsPort{"secure_WebDavPort", 5006};

// The port served for `setting` as stored (port_text::Served).
int ServedPort(KivoConf* conf, const PortSetting& setting);

}  // namespace kivo::base

#endif  // KIVO_BASE_KIVO_CONF_H_
