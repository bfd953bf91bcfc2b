// Reading and replacing the platform's files under the root.
//
// The platform keeps its state in small files that several processes read
// and rewrite. A reader must never see half a file, and two writers must not
// lose each other's update, so every rewrite goes through a temporary file in
// the same directory that is synced and renamed over the old one, while the
// writer holds an exclusive lock on a lock file beside it.

#ifndef KIVO_BASE_ROOT_FILES_H_
#define KIVO_BASE_ROOT_FILES_H_

#include <sys/types.h>

#include <string>

namespace kivo::base {

// Reads the whole file. A missing file is not an error: it reads as empty
// with *missing set (when `missing` is given). False on any other failure.
bool ReadWholeFile(const std::string& path, std::string* content, bool* missing = nullptr);

// Writes all of `data`, going on after short writes and EINTR. False on the
// first error (errno tells).
bool WriteAll(int fd, const char* data, size_t size);

// Creates the directories above `path` that do not exist yet (mode 0755).
bool MakeParentDirs(const std::string& path);

// Replaces `path` by a file holding `content`: temporary file, fsync, rename,
// fsync of the directory. The new file keeps the mode and owner of the file
// it replaces, or gets `new_mode` when there was none. No temporary file is
// left behind, whatever fails.
bool ReplaceFile(const std::string& path, const std::string& content, mode_t new_mode);

// The lock file that serialises the writers of `path`: ".<name>.lock" in
// the same directory.
std::string LockPathFor(const std::string& path);

// Holds an exclusive flock on a lock file for its lifetime.
class FileLock {
 public:
  explicit FileLock(const std::string& lock_path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace kivo::base

#endif  // KIVO_BASE_ROOT_FILES_H_
