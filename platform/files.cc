// Volumes and file copies.

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

#include "base/fd.h"
#include "base/last_error.h"
#include "base/root_files.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "files";

// The path one component up: "/a/b" -> "/a", "/a" -> "/", "a" -> ".".
// False when there is nothing above.
bool Up(std::string* path) {
  while (path->size() > 1 && path->back() == '/') path->pop_back();
  if (*path == "/" || *path == ".") return false;
  size_t slash = path->find_last_of('/');
  if (slash == std::string::npos) {
    *path = ".";
  } else {
    path->erase(slash == 0 ? 1 : slash);
  }
  return true;
}

int VolumeInfo(const char* path, KIVOVOLINFO* info) {
  if (path == nullptr || path[0] == '\0' || info == nullptr) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "volume lookup with a null argument");
    return -1;
  }
  // The path may not exist yet: the volume that will hold it is the one of
  // its nearest existing ancestor.
  std::string probe = path;
  struct statvfs vfs;
  while (statvfs(probe.c_str(), &vfs) != 0) {
    int error = errno;
    if ((error != ENOENT && error != ENOTDIR) || !Up(&probe)) {
      kivo::base::SetLastError(error);
      KIVO_LOG(LOG_ERR, "statvfs(%s) failed: %s", probe.c_str(), strerror(error));
      return -1;
    }
  }
  info->total_bytes = static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize;
  info->free_bytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
  info->writable = (vfs.f_flag & ST_RDONLY) != 0 ? 0 : 1;
  return 0;
}

// Copies from `in` to `out` until the end of `in`; errno tells why not.
bool CopyContent(int in, int out) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!kivo::base::WriteAll(out, buffer, static_cast<size_t>(n))) return false;
  }
}

int Fail(const char* step, const char* path, int error) {
  kivo::base::SetLastError(error);
  KIVO_LOG(LOG_ERR, "copy: %s(%s) failed: %s", step, path, strerror(error));
  return -1;
}

int CopyFile(const char* source, const char* dest, const KIVOCOPYOPT* options) {
  if (source == nullptr || dest == nullptr || options == nullptr) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "copy with a null argument");
    return -1;
  }
  const kivo::base::Fd in(open(source, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return Fail("open", source, errno);
  struct stat from;
  if (fstat(in.get(), &from) != 0) return Fail("fstat", source, errno);
  if (!S_ISREG(from.st_mode)) return Fail("copy of a non-file", source, EINVAL);
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (options->overwrite == 1 ? O_TRUNC : O_EXCL);
  struct stat to;
  if (options->overwrite == 1 && stat(dest, &to) == 0 && to.st_dev == from.st_dev &&
      to.st_ino == from.st_ino) {
    return Fail("copy onto itself", dest, EINVAL);  // truncating would lose the source
  }
  bool existed = access(dest, F_OK) == 0;
  int out = open(dest, flags, from.st_mode & 0777);
  if (out < 0) return Fail("open", dest, errno);
  const char* step = "copy";
  bool ok = CopyContent(in.get(), out);
  if (ok) {
    step = "fchown";
    ok = fchown(out, options->uid, options->gid) == 0;
  }
  int error = errno;
  if (close(out) != 0 && ok) {
    ok = false;
    step = "close";
    error = errno;
  }
  if (!ok) {
    if (!existed) unlink(dest);  // no half copy left behind
    return Fail(step, dest, error);
  }
  return 0;
}

}  // namespace

extern "C" {

int KIVOMountVolInfoGet(const char* path, KIVOVOLINFO* info) {
  return kivo::base::Guarded(-1, [&] { return VolumeInfo(path, info); });
}

int KIVOFileCopy(const char* source, const char* dest, const KIVOCOPYOPT* options) {
  return kivo::base::Guarded(-1, [&] { return CopyFile(source, dest, options); });
}

}  // extern "C"
