// How a port stored in kivoinfo.conf is read. The module shows it in `get`
// and the platform's conflict check compares against it: both read it here,
// so a port one of them sees is a port the other sees.

#ifndef KIVO_PORT_TEXT_H_
#define KIVO_PORT_TEXT_H_

#include <cctype>
#include <climits>

namespace port_text {

// Reads a port text the way `stream >> int` does: leading white space is
// skipped, an optional sign and the digits up to the first other character
// are taken, the rest is ignored. Text without a number gives 0. A number
// outside the int range also gives 0: such a stream read fails, and 0 is
// what every other unreadable text gives, so no caller sees a port that was
// never stored.
inline int Read(const char* text) {
  const char* p = text;
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
  long long value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return 0;
  }
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return 0;
  return static_cast<int>(value);
}

}  // namespace port_text

#endif  // KIVO_PORT_TEXT_H_
