// The root the fuzzer's calls run against, laid out afresh before every
// input so that an input always meets the same world (and a crash found
// once can be replayed).
//
// Layout (paths relative to the root): the files `kivo-webapi init` makes;
// users admin (administrator, uid 1024), bob and carol (not administrators,
// uids 1025 and 1026), each with a home under volume1/homes; shares homes,
// public (mode 0777), locked (mode 0755, root's) and gone (registered, but
// its directory does not exist); a folder outside every share, `outside`,
// holding a canary file, reachable through the links volume1/public/escape
// and volume1/homes/bob/escape; and a registry of two calendars (one in the
// old homes form), one of them with its folder on disk.

#ifndef KIVO_FUZZ_FUZZ_ROOT_H_
#define KIVO_FUZZ_FUZZ_ROOT_H_

#include <string>

namespace fuzz {

// Removes whatever stands at `root` and lays the root out. False (with the
// reason on stderr) when a step fails.
bool LayOutRoot(const std::string& root);

// True when the canary outside every share is still whole.
bool OutsideIntact(const std::string& root);

}  // namespace fuzz

#endif  // KIVO_FUZZ_FUZZ_ROOT_H_
