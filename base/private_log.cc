#include "base/private_log.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/fd.h"
#include "base/root_files.h"
#include "kivo/kivo_paths.h"

namespace kivo::base {
namespace {

constexpr mode_t kLogMode = 0640;

// The gid of "administrators" in the root's etc/group; 0 when none.
gid_t AdministratorsGid() {
  FILE* file = OpenAccountFile(RootedPath(SZF_GROUP));
  if (file == nullptr) return 0;
  gid_t gid = 0;
  struct group* entry;
  while ((entry = fgetgrent(file)) != nullptr) {
    if (strcmp(entry->gr_name, "administrators") == 0) {
      gid = entry->gr_gid;
      break;
    }
  }
  fclose(file);
  return gid;
}

}  // namespace

int OpenPrivateLog(const std::string& path) {
  // Non-blocking: a FIFO in a log's place fails at once (no reader) instead
  // of stalling the caller; a regular file's appends are not affected.
  const int fd = open(
      path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLogMode);
  struct stat st;
  int error = 0;
  if (fd < 0 || fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = EINVAL;
  }
  if (error != 0) {
    if (fd >= 0) close(fd);
    errno = error;  // the caller says which log failed, once
    return -1;
  }
  // Already private: root's, of the administrators' group, 0640. Any other
  // group (users, say) would read every line, so the group is looked up
  // each time; etc/group is small.
  const gid_t administrators = AdministratorsGid();
  if (st.st_uid == 0 && st.st_gid == administrators && (st.st_mode & 07777) == kLogMode) return fd;
  if (geteuid() == 0 && (fchown(fd, 0, administrators) != 0 || fchmod(fd, kLogMode) != 0)) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool MakePrivateLog(const std::string& path) { return Fd(OpenPrivateLog(path)).valid(); }

}  // namespace kivo::base
