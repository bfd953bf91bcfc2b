#include "base/root_files.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/fd.h"
#include "base/last_error.h"
#include "kivo/account_files.h"
#include "kivo/log.h"

namespace kivo::base {
namespace {

constexpr char kLogUnit[] = "root_files";

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool SyncDir(const std::string& dir) {
  Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const bool ok = fd.valid() && fsync(fd.get()) == 0;
  const int saved = errno;
  fd.Reset();
  errno = saved;
  return ok;
}

// Runs a ReplaceOptions::sync_alongside from its construction to Join, on
// a thread of its own, or inline in Join when none could be started.
class SyncAlongside {
 public:
  explicit SyncAlongside(const std::function<bool()>& sync) : sync_(sync) {
    if (!sync_) return;
    try {
      thread_ = std::thread([this] {
        ok_ = sync_();
        error_ = errno;
      });
    } catch (const std::system_error&) {
      // No thread: Join runs it.
    }
  }
  ~SyncAlongside() {
    if (thread_.joinable()) thread_.join();
  }
  SyncAlongside(const SyncAlongside&) = delete;
  SyncAlongside& operator=(const SyncAlongside&) = delete;

  // Waits for the sync; false with its errno in `error` when it failed.
  bool Join(int* error) {
    if (!sync_) return true;
    if (thread_.joinable()) {
      thread_.join();
    } else {
      ok_ = sync_();
      error_ = errno;
    }
    *error = error_;
    return ok_;
  }

 private:
  const std::function<bool()>& sync_;
  std::thread thread_;
  bool ok_ = false;
  int error_ = 0;
};

}  // namespace

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {  // no progress and no reason: report it as a full device
      errno = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* content, bool* missing, size_t max_size) {
  content->clear();
  if (missing != nullptr) *missing = false;
  const Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const int fd = file.get();
  if (fd < 0) {
    if (errno == ENOENT && missing != nullptr) {
      *missing = true;
      return true;
    }
    SetLastError(errno);
    KIVO_LOG(LOG_ERR, "open(%s) failed: %s", path.c_str(), strerror(errno));
    return false;
  }
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(errno);
      KIVO_LOG(LOG_ERR, "read(%s) failed: %s", path.c_str(), strerror(errno));
      return false;
    }
    if (static_cast<size_t>(n) > max_size - content->size()) {
      SetLastError(EFBIG);
      KIVO_LOG(LOG_WARNING, "%s holds more than %zu bytes: not read", path.c_str(), max_size);
      content->clear();
      return false;
    }
    content->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

FILE* OpenAccountFile(const std::string& path) {
  FILE* file = fopen(path.c_str(), "re");
  struct stat st;
  if (file != nullptr && fstat(fileno(file), &st) == 0 && st.st_size > KIVO_ACCOUNT_FILE_MAX) {
    fclose(file);
    errno = EFBIG;
    return nullptr;
  }
  return file;
}

bool MakeParentDirs(const std::string& path) {
  std::string dir = DirName(path);
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (dir == "/" || dir == ".") return false;
  if (!MakeParentDirs(dir)) return false;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    SetLastError(errno);
    KIVO_LOG(LOG_ERR, "mkdir(%s) failed: %s", dir.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool ReplaceFile(const std::string& path, const std::string& content,
                 const ReplaceOptions& options) {
  if (options.make_parents && !MakeParentDirs(path)) return false;
  std::string dir = DirName(path);
  std::string base = path.substr(path.find_last_of('/') + 1);
  std::string pattern = dir + "/." + base + ".XXXXXX";
  std::vector<char> temp(pattern.begin(), pattern.end());
  temp.push_back('\0');
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno);
    KIVO_LOG(LOG_ERR, "mkstemp in %s failed: %s", dir.c_str(), strerror(errno));
    return false;
  }
  struct stat old;
  bool had_old = !options.fresh && stat(path.c_str(), &old) == 0;
  mode_t mode = had_old ? (old.st_mode & 07777) : options.new_mode;
  if (had_old && (mode & options.refused_bits) != 0) {
    KIVO_LOG(LOG_WARNING, "%s was writable by others (mode %o), rewritten %o", path.c_str(),
             static_cast<unsigned>(mode), static_cast<unsigned>(options.new_mode));
    mode = options.new_mode;
  }
  // Keep the replaced file's owner: some of these files (shadow) are not
  // root's alone. Giving a file away needs privilege, so only try when the
  // owner differs.
  bool ok = true;
  if (had_old && (old.st_uid != geteuid() || old.st_gid != getegid())) {
    ok = fchown(fd, old.st_uid, old.st_gid) == 0 || !options.owner_or_fail;
  }
  // Mode and owner are set before the content and the rename: at no moment
  // may anyone else write the file.
  ok = ok && fchmod(fd, mode) == 0 && WriteAll(fd, content.data(), content.size());
  int saved = errno;
  if (ok) {
    SyncAlongside alongside(options.sync_alongside);
    ok = fsync(fd) == 0;
    saved = errno;
    int other = 0;
    if (!alongside.Join(&other) && ok) {
      ok = false;
      saved = other;
    }
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temp.data(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temp.data());
    SetLastError(saved);
    KIVO_LOG(LOG_ERR, "replacing %s failed: %s", path.c_str(), strerror(saved));
    return false;
  }
  if (!options.sync_folder) return true;
  // The new content is in place; syncing the folder makes the rename itself
  // survive a power loss.
  if (!SyncDir(dir)) {
    const int error = errno;
    KIVO_LOG(LOG_ERR, "fsync of %s failed: %s", dir.c_str(), strerror(error));
    if (!options.folder_sync_fails) return true;
    SetLastError(error);
    return false;
  }
  return true;
}

std::string LockPathFor(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "." + path + ".lock";
  return path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".lock";
}

FileLock::FileLock(const std::string& lock_path) {
  if (!MakeParentDirs(lock_path)) return;
  Fd fd(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    SetLastError(errno);
    KIVO_LOG(LOG_ERR, "open(%s) failed: %s", lock_path.c_str(), strerror(errno));
    return;
  }
  while (flock(fd.get(), LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    SetLastError(errno);
    KIVO_LOG(LOG_ERR, "flock(%s) failed: %s", lock_path.c_str(), strerror(errno));
    return;
  }
  fd_ = std::move(fd);
}

FileLock::~FileLock() = default;

}  // namespace kivo::base
