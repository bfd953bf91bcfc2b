// What the platform keeps of files it reads on every call: a value worked out
// from one or more files, kept with the identity of each file (device, inode,
// size, modification and change times) at the moment it was read. Every use stats the
// files again, so a replaced or edited file is seen at once; only the reading
// and parsing are saved.
//
// A file changed within the last two seconds may still change in place
// without its size or coarse time stamps moving, so values read from such a
// file are not kept.

#ifndef KIVO_BASE_FILE_STAMP_H_
#define KIVO_BASE_FILE_STAMP_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kivo::base {

// The identities of some files at one moment; a file that cannot be stat'ed
// has none, and never matches. Holds no paths and allocates nothing, so that
// the common case (nothing changed) costs the `stat` calls alone.
class FileStamps {
 public:
  // At most this many files make one value.
  static constexpr size_t kMaxFiles = 4;

  // Stats each of `paths`; more than kMaxFiles give stamps that never match.
  static FileStamps Of(std::initializer_list<const char*> paths);

  // Every file was there and has not been modified for a while.
  bool Settled() const;
  bool operator==(const FileStamps& other) const;

 private:
  struct Stamp {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {};
    struct timespec ctime = {};  // moves with every change; cannot be set back
  };
  std::array<Stamp, kMaxFiles> stamps_{};
  size_t count_ = 0;
  bool complete_ = false;  // false: too many files to stamp
};

// The calling thread's KivoReadSnapshot: 0 while none is open, else a
// number that no earlier snapshot of any thread had.
unsigned long long CurrentReadSnapshot();

// RootText() as the calling thread's open snapshot first saw it, so that a
// call finding several kept files looks the root up once; RootText() itself
// while none is open.
const char* SnapshotRootText();

// What each kept value answered first within the thread's open snapshot, so
// that later questions in it neither stat nor read its files again. Values
// are found by the address of their StampedValue; none while no snapshot
// is open.
std::shared_ptr<const void> SnapshotValue(const void* owner);
void KeepInSnapshot(const void* owner, std::shared_ptr<const void> value);

// One value kept for the files it was read from. Thread-safe.
template <typename T>
class StampedValue {
 public:
  // *value as read from `paths`: the kept one while none of them changed,
  // else what read(value) gives, kept when the files have settled. False
  // when read fails. Inside a KivoReadSnapshot the files are looked at by
  // the first Get only.
  template <typename Read>
  bool Get(std::initializer_list<const char*> paths, T* value, Read read) {
    return InSnapshot(value) || Load(paths, value, read);
  }

  // *value as this thread's open snapshot holds it; false when there is
  // none or it holds no value yet. Lets a caller skip making the paths.
  bool InSnapshot(T* value) { return FromSnapshot(value); }

  // Get, for a caller that has just found InSnapshot false.
  template <typename Read>
  bool Load(std::initializer_list<const char*> paths, T* value, Read read) {
    const FileStamps stamps = FileStamps::Of(paths);
    if (!Find(paths, stamps, value)) {
      if (!read(value)) return false;
      Keep(paths, stamps, *value);
    }
    IntoSnapshot(*value);
    return true;
  }

 private:
  // Only shared, immutable values take part in snapshots.
  template <typename U>
  bool FromSnapshot(std::shared_ptr<const U>* value) {
    std::shared_ptr<const void> kept = SnapshotValue(this);
    if (kept == nullptr) return false;
    *value = std::static_pointer_cast<const U>(kept);
    return true;
  }
  template <typename V>
  bool FromSnapshot(V*) {
    return false;
  }
  template <typename U>
  void IntoSnapshot(const std::shared_ptr<const U>& value) {
    KeepInSnapshot(this, value);
  }
  template <typename V>
  void IntoSnapshot(const V&) {}

  bool Find(std::initializer_list<const char*> paths, const FileStamps& stamps, T* value) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!valid_ || !(stamps_ == stamps) || !SamePaths(paths)) return false;
    *value = value_;
    return true;
  }

  void Keep(std::initializer_list<const char*> paths, const FileStamps& stamps, const T& value) {
    std::lock_guard<std::mutex> lock(mu_);
    valid_ = stamps.Settled();
    if (!valid_) return;
    stamps_ = stamps;
    paths_.assign(paths.begin(), paths.end());
    value_ = value;
  }

  // The kept value was read from these files (a root moved by a test is
  // other files).
  bool SamePaths(std::initializer_list<const char*> paths) const {
    if (paths.size() != paths_.size()) return false;
    size_t i = 0;
    for (const char* path : paths) {
      if (paths_[i++] != path) return false;
    }
    return true;
  }

  std::mutex mu_;
  bool valid_ = false;
  FileStamps stamps_;
  std::vector<std::string> paths_;
  T value_;
};

}  // namespace kivo::base

#endif  // KIVO_BASE_FILE_STAMP_H_
