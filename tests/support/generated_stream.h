// A file's content that is never stored on the client side: each byte is a
// function of its offset, so a sender makes any part of it at once and a
// receiver checks what arrives against it, however large the file.
//
// Threading: no state; any thread.

#ifndef KIVO_TESTS_SUPPORT_GENERATED_STREAM_H_
#define KIVO_TESTS_SUPPORT_GENERATED_STREAM_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace e2e {

// splitmix64 of the word's index and the stream's seed: no two words of a
// stream repeat in a pattern a lost or doubled block could hide in.
inline uint64_t GeneratedWord(uint64_t seed, uint64_t index) {
  uint64_t z = seed + (index + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The `len` bytes of stream `seed` from `offset` into `out`.
inline void GeneratedBytes(uint64_t seed, uint64_t offset, char* out, size_t len) {
  while (len > 0) {
    const uint64_t word = GeneratedWord(seed, offset / 8);
    const size_t skip = offset % 8, take = len < 8 - skip ? len : 8 - skip;
    memcpy(out, reinterpret_cast<const char*>(&word) + skip, take);
    out += take;
    offset += take;
    len -= take;
  }
}

// Whether `data` is the stream's `len` bytes from `offset`.
inline bool IsGenerated(uint64_t seed, uint64_t offset, const char* data, size_t len) {
  char expected[65536];
  while (len > 0) {
    const size_t take = len < sizeof expected ? len : sizeof expected;
    GeneratedBytes(seed, offset, expected, take);
    if (memcmp(expected, data, take) != 0) return false;
    data += take;
    offset += take;
    len -= take;
  }
  return true;
}

}  // namespace e2e

#endif  // KIVO_TESTS_SUPPORT_GENERATED_STREAM_H_
