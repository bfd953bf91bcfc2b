// Random text from the kernel's random source (getrandom(2)): session tokens
// generated passwords and private file names. Both return "" when the source fails, and callers
// treat that as an error rather than fall back to anything weaker.

#ifndef KIVO_BASE_RANDOM_TEXT_H_
#define KIVO_BASE_RANDOM_TEXT_H_

#include <cstddef>
#include <string>

namespace kivo::base {

// `bytes` random bytes as lower-case hex (2 * bytes characters).
std::string RandomHex(size_t bytes);

// `length` characters from [A-Za-z0-9_-], 6 random bits each.
std::string RandomPassword(size_t length);

}  // namespace kivo::base

#endif  // KIVO_BASE_RANDOM_TEXT_H_
