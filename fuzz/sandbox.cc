#include "fuzz/sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace fuzz {

namespace {

bool Fail(std::string* error, const std::string& step) {
  *error = step + ": " + strerror(errno);
  return false;
}

bool SetReadOnly(const char* path, bool read_only, unsigned int flags) {
  struct mount_attr attr;
  memset(&attr, 0, sizeof attr);
  if (read_only) {
    attr.attr_set = MOUNT_ATTR_RDONLY;
  } else {
    attr.attr_clr = MOUNT_ATTR_RDONLY;
  }
  return mount_setattr(AT_FDCWD, path, flags, &attr, sizeof attr) == 0;
}

}  // namespace

bool EnterSandbox(std::string* error) {
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return Fail(error, "getcwd");
  if (unshare(CLONE_NEWNS) != 0) return Fail(error, "unshare(CLONE_NEWNS)");
  // Nothing done below may leak back into the host's mount table.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return Fail(error, "making / private");
  }
  // The working directory becomes a mount of its own, so that it can stay
  // writable while everything around it is not; entering it again makes the
  // process's cwd the new mount.
  if (mount(cwd, cwd, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    return Fail(error, std::string("bind-mounting ") + cwd);
  }
  if (chdir(cwd) != 0) return Fail(error, "chdir");
  if (mount("kivo-fuzz", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "size=512m,mode=1777") != 0) {
    return Fail(error, "tmpfs on /tmp");
  }
  if (!SetReadOnly("/", true, AT_RECURSIVE)) return Fail(error, "read-only /");
  if (!SetReadOnly(".", false, AT_RECURSIVE)) return Fail(error, "writable cwd");
  if (!SetReadOnly("/tmp", false, 0)) return Fail(error, "writable /tmp");
  // Proof rather than trust: a write outside the cage must fail now.
  const int probe = open("/etc/.kivo-fuzz-probe", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (probe >= 0) {
    close(probe);
    unlink("/etc/.kivo-fuzz-probe");
    errno = EPERM;
    return Fail(error, "/etc is still writable");
  }
  return true;
}

}  // namespace fuzz
