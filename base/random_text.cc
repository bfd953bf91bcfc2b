#include "base/random_text.h"

#include <sys/random.h>

#include <cerrno>

namespace kivo::base {

namespace {

bool RandomBytes(size_t count, std::string* bytes) {
  bytes->assign(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t n = getrandom(&(*bytes)[got], count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string RandomHex(size_t bytes) {
  std::string raw;
  if (!RandomBytes(bytes, &raw)) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (char c : raw) {
    hex += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
    hex += kHex[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

std::string RandomPassword(size_t length) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
  std::string raw;
  if (!RandomBytes(length, &raw)) return "";
  // 64 symbols: every byte value maps to one with equal weight.
  std::string out;
  for (char b : raw) out += kAlphabet[static_cast<unsigned char>(b) & 63];
  return out;
}

}  // namespace kivo::base
