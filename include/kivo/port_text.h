// How a port stored in kivoinfo.conf is read. The module shows it in `get`,
// the platform's conflict check compares against it, and the daemons, the
// firewall and the host's status serve it: all read it here, so a port one
// of them sees is a port the others see.

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

// The port a daemon serves for a stored text: the number `get` shows
// (Read) when it is a port, 1 to 65535; `fallback` (the variant's default)
// for anything else, the empty text included. Every reader of a stored
// port (the WebDAV daemon's configuration, the firewall, the host's status)
// reads it here, so the number shown is the number served.
inline int Served(const char* text, int fallback) {
  const int port = Read(text);
  return port >= 1 && port <= 65535 ? port : fallback;
}

}  // namespace port_text

#endif  // KIVO_PORT_TEXT_H_
