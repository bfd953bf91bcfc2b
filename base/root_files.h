// Reading and replacing the platform's files under the root.
//
// The platform keeps its state in small files that several processes read
// and rewrite. A reader must never see half a file, and two writers must not
// lose each other's update, so every rewrite goes through a temporary file in
// the same directory that is synced and renamed over the old one, while the
// writer holds an exclusive lock on a lock file beside it.

#ifndef KIVO_BASE_ROOT_FILES_H_
#define KIVO_BASE_ROOT_FILES_H_

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <functional>
#include <string>

#include "base/fd.h"

namespace kivo::base {

// Reads the whole file. A missing file is not an error: it reads as empty
// with *missing set (when `missing` is given). False on any other failure,
// a file of more than `max_size` bytes among them (EFBIG), logged.
bool ReadWholeFile(const std::string& path, std::string* content, bool* missing = nullptr,
                   size_t max_size = SIZE_MAX);

// Opens one of the root's account files (etc/passwd, etc/group,
// etc/shadow) for a reader of its entries (fgetpwent_r and the like), which
// has no bound of its own: nullptr with errno when it cannot be opened or
// holds more than KIVO_ACCOUNT_FILE_MAX bytes, every reader's limit
// (kivo/account_files.h; EFBIG). Not logged: the caller says what failed.
FILE* OpenAccountFile(const std::string& path);

// Writes all of `data`, going on after short writes and EINTR. False on the
// first error (errno tells).
bool WriteAll(int fd, const char* data, size_t size);

// Creates the directories above `path` that do not exist yet (mode 0755).
bool MakeParentDirs(const std::string& path);

// How ReplaceFile sets the new file's mode and owner, and what counts as
// its failure.
struct ReplaceOptions {
  mode_t new_mode = 0644;  // a file made where none was
  // A replaced file whose mode has any of these bits gets `new_mode`
  // instead of its own (logged): a file others could write is theirs no
  // more.
  mode_t refused_bits = 0;
  // Whether the new file must keep a replaced file's owner: true fails when
  // it cannot; false keeps it where the process may give files away.
  bool owner_or_fail = false;
  // The new file is the process's own with `new_mode`, whatever the
  // replaced one was (a record only root reads).
  bool fresh = false;
  bool make_parents = true;  // make missing folders above it (0755)
  // Whether a failed fsync of the folder after the rename fails the call
  // (the new content is in place either way; the failure is logged).
  bool folder_sync_fails = true;
  // Whether the folder is synced at all. Only for a file whose rename may
  // be lost in a power cut (the old content then stays, whole): the new
  // content itself is always synced before the rename.
  bool sync_folder = true;
  // Runs on a thread of its own while the temporary is synced (inline when
  // no thread can be had); false (errno set) fails the call before the
  // rename, the old file untouched. For a sync of something else that must
  // be on disk before the new content names it: the two syncs then wait
  // for one journal commit and one flush of the disk's cache together
  // rather than one after the other.
  std::function<bool()> sync_alongside;
};

// The one atomic replacement: `path` becomes a file holding `content`
// through a temporary in its folder (mode and owner set on it first, written
// whole, fsync), a rename over `path` and an fsync of the folder. The new
// file keeps the mode and owner of the file it replaces (see
// ReplaceOptions), or gets `new_mode` when there was none. No temporary is
// left behind, whatever fails; every failure is logged once.
bool ReplaceFile(const std::string& path, const std::string& content,
                 const ReplaceOptions& options);
inline bool ReplaceFile(const std::string& path, const std::string& content, mode_t new_mode) {
  ReplaceOptions options;
  options.new_mode = new_mode;
  return ReplaceFile(path, content, options);
}

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

  bool locked() const { return fd_.valid(); }

 private:
  Fd fd_;
};

}  // namespace kivo::base

#endif  // KIVO_BASE_ROOT_FILES_H_
