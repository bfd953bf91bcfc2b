// What the platform keeps of files it reads on every call: a value worked out
// from one or more files, kept with the identity of each file (device, inode,
// size, modification time) at the moment it was read. Every use stats the
// files again, so a replaced or edited file is seen at once; only the reading
// and parsing are saved.
//
// A file modified within the last two seconds may still change in place
// without its size or coarse modification time moving, so values read from
// such a file are not kept.

#ifndef KIVO_PLATFORM_FILE_STAMP_H_
#define KIVO_PLATFORM_FILE_STAMP_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace kivo {

// The identities of some files at one moment; a file that cannot be stat'ed
// has none, and never matches.
class FileStamps {
 public:
  static FileStamps Of(std::initializer_list<std::string> paths);

  // Every file was there and has not been modified for a while.
  bool Settled() const;
  bool operator==(const FileStamps& other) const;

 private:
  struct Stamp {
    std::string path;
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {};
  };
  std::vector<Stamp> stamps_;
};

// One value kept for the files it was read from. Thread-safe.
template <typename T>
class StampedValue {
 public:
  // *value as read from `paths`: the kept one while none of them changed,
  // else what read(value) gives, kept when the files have settled. False
  // when read fails.
  template <typename Read>
  bool Get(std::initializer_list<std::string> paths, T* value, Read read) {
    const FileStamps stamps = FileStamps::Of(paths);
    if (Find(stamps, value)) return true;
    if (!read(value)) return false;
    Keep(stamps, *value);
    return true;
  }

 private:
  bool Find(const FileStamps& stamps, T* value) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!valid_ || !(stamps_ == stamps)) return false;
    *value = value_;
    return true;
  }

  void Keep(const FileStamps& stamps, const T& value) {
    std::lock_guard<std::mutex> lock(mu_);
    valid_ = stamps.Settled();
    if (!valid_) return;
    stamps_ = stamps;
    value_ = value;
  }

  std::mutex mu_;
  bool valid_ = false;
  FileStamps stamps_;
  T value_;
};

}  // namespace kivo

#endif  // KIVO_PLATFORM_FILE_STAMP_H_
