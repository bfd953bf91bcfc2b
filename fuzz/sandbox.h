// A cage for the fuzzer process: the module runs as root and removes and
// moves folders named by whatever the fuzzer registered, so the process is
// moved into a mount namespace of its own in which every file system is
// read-only, except a fresh tmpfs over /tmp (where the fuzzed root lives)
// and the working directory (corpus and crash files).
//
// Nothing of this survives the process: the namespace, its tmpfs and every
// change inside it go away when the fuzzer exits.

#ifndef KIVO_FUZZ_SANDBOX_H_
#define KIVO_FUZZ_SANDBOX_H_

#include <string>

namespace fuzz {

// Enters the cage. False, with the reason in `error`, when the process may
// not make one (no CAP_SYS_ADMIN): the caller must then not go on.
bool EnterSandbox(std::string* error);

}  // namespace fuzz

#endif  // KIVO_FUZZ_SANDBOX_H_
