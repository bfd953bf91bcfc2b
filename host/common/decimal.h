// Whole decimal numbers as the host reads them from its callers: the
// commands' arguments, and the API versions of requests and of the
// permission descriptor. One reading for all, so that a version the
// descriptor names is the version a caller must send.

#ifndef KIVO_HOST_COMMON_DECIMAL_H_
#define KIVO_HOST_COMMON_DECIMAL_H_

#include <cstdlib>
#include <string>

namespace host {

// Parses a whole decimal integer (optional '-'); false for anything else.
// At most 18 characters, so that it never overflows a long.
inline bool ParseDecimal(const std::string& text, long* value) {
  if (text.empty() || text.size() > 18) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool sign = i == 0 && text[i] == '-' && text.size() > 1;
    if (!sign && (text[i] < '0' || text[i] > '9')) return false;
  }
  *value = std::strtol(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace host

#endif  // KIVO_HOST_COMMON_DECIMAL_H_
