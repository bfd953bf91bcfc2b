// A number that changes whenever one of the root's account files (etc/passwd,
// etc/shadow, etc/group) is written, replaced or removed: sessions compare it
// with the one their grant was confirmed at, and look again when it moved.
//
// The number comes from an inotify watch on the root's etc folder, read
// without waiting on every question: the kernel queues an event before the
// write that caused it returns, so a change made before a request came in is
// always counted. Where no watch can be set, each question stats the three
// files instead. Thread-safe; owns its inotify descriptor and nothing else.

#ifndef KIVO_HOST_ACCOUNTS_VERSION_H_
#define KIVO_HOST_ACCOUNTS_VERSION_H_

#include <cstdint>
#include <mutex>
#include <string>

#include "base/fd.h"

namespace host {

class AccountsVersion {
 public:
  explicit AccountsVersion(const std::string& root);
  ~AccountsVersion();
  AccountsVersion(const AccountsVersion&) = delete;
  AccountsVersion& operator=(const AccountsVersion&) = delete;

  uint64_t Current();

 private:
  bool DrainEvents();  // false once the watch can no longer be trusted
  uint64_t FromStats() const;

  const std::string etc_;
  std::mutex mu_;
  kivo::base::Fd fd_;  // the inotify descriptor; none: stat the files
  uint64_t changes_ = 0;
};

}  // namespace host

#endif  // KIVO_HOST_ACCOUNTS_VERSION_H_
