#include "caldav/pinned_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace pinned {

namespace {

constexpr int kPathFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kListFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Deeper trees are left standing rather than holding a descriptor per level.
constexpr int kMaxDepth = 256;
// Entries added while a folder is emptied are picked up by another pass.
constexpr int kPasses = 3;

// The components of an absolute path; false for a relative path or a "..".
bool Components(const std::string& path, std::vector<std::string>* parts) {
  if (path.empty() || path[0] != '/') {
    errno = EINVAL;
    return false;
  }
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      errno = EXDEV;
      return false;
    }
    if (!part.empty() && part != ".") parts->push_back(part);
    start = end + 1;
  }
  return true;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "/") + part;
  return text;
}

// What an entry is, without following it; mount roots are told apart even
// when a bind mount keeps the device number.
struct EntryInfo {
  mode_t mode = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  bool mount_root = false;
};

bool Inspect(int dir, const char* name, int flags, EntryInfo* info) {
  struct statx stx;
  if (statx(dir, name, flags | AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO, &stx) != 0) {
    return false;
  }
  info->mode = stx.stx_mode;
  info->dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
  info->ino = stx.stx_ino;
  info->mount_root = (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                     (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return true;
}

bool SameFile(const EntryInfo& a, const EntryInfo& b) { return a.dev == b.dev && a.ino == b.ino; }

// The names in directory `dir` but "." and "..".
bool ListNames(int dir, std::vector<std::string>* names) {
  const int fd = openat(dir, ".", kListFlags);
  if (fd < 0) return false;
  DIR* stream = fdopendir(fd);
  if (stream == nullptr) {
    close(fd);
    return false;
  }
  errno = 0;
  while (const struct dirent* entry = readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
    errno = 0;
  }
  const int error = errno;
  closedir(stream);
  errno = error;
  return error == 0;
}

bool RemoveEntry(int parent, const std::string& name, const EntryInfo* only, int depth);

// Empties the directory `dir`, which lies on device `dev`.
bool EmptyDirectory(int dir, dev_t dev, int depth) {
  if (depth > kMaxDepth) {
    errno = ELOOP;
    return false;
  }
  bool ok = true;
  for (int pass = 0; pass < kPasses; ++pass) {
    std::vector<std::string> names;
    if (!ListNames(dir, &names)) return false;
    if (names.empty()) return ok;
    ok = true;
    for (const std::string& name : names) {
      EntryInfo info;
      if (!Inspect(dir, name.c_str(), 0, &info)) {
        if (errno != ENOENT) ok = false;
        continue;
      }
      if (S_ISDIR(info.mode) && (info.mount_root || info.dev != dev)) {
        ok = false;  // another file system: not ours to empty
        errno = EXDEV;
        continue;
      }
      if (!RemoveEntry(dir, name, S_ISDIR(info.mode) ? &info : nullptr, depth + 1)) ok = false;
    }
  }
  return ok;
}

// Removes `name` in `parent`; a directory only while it is `*only`.
bool RemoveEntry(int parent, const std::string& name, const EntryInfo* only, int depth) {
  EntryInfo info;
  if (!Inspect(parent, name.c_str(), 0, &info)) return errno == ENOENT;
  if (!S_ISDIR(info.mode)) {
    if (only != nullptr) {
      errno = ESTALE;
      return false;
    }
    return unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT;
  }
  if (only != nullptr && !SameFile(info, *only)) {
    errno = ESTALE;
    return false;
  }
  Fd dir(openat(parent, name.c_str(), kListFlags));
  EntryInfo opened, above;
  if (!dir.valid() || !Inspect(dir.get(), "", AT_EMPTY_PATH, &opened) ||
      !Inspect(parent, "", AT_EMPTY_PATH, &above)) {
    return false;
  }
  // Swapped between the look and the open, or a mount: leave it.
  if (!SameFile(opened, info) || opened.mount_root || opened.dev != above.dev) {
    errno = ESTALE;
    return false;
  }
  if (!EmptyDirectory(dir.get(), opened.dev, depth)) return false;
  // The folder emptied must still be the one that the name stands for.
  if (!Inspect(parent, name.c_str(), 0, &info) || !SameFile(info, opened)) {
    errno = ESTALE;
    return false;
  }
  return unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// ---- copying across file systems --------------------------------------------------

bool CopyContent(int in, int out) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

// Gives `fd` (open for reading or writing) the owner, mode and times of
// `from`; owner first, since a change of owner clears the set-id bits.
bool CopyAttributes(int fd, const struct stat& from) {
  const struct timespec times[2] = {from.st_atim, from.st_mtim};
  return fchown(fd, from.st_uid, from.st_gid) == 0 && fchmod(fd, from.st_mode & 07777) == 0 &&
         futimens(fd, times) == 0;
}

// Copies `from` in `from_dir` to the new entry `to` in `to_dir`; `*made`
// tells whether `to` was made (and so may be taken away again).
bool CopyEntry(int from_dir, const std::string& from, int to_dir, const std::string& to, dev_t dev,
               int depth, bool* made) {
  if (depth > kMaxDepth) {
    errno = ELOOP;
    return false;
  }
  struct stat st;
  if (fstatat(from_dir, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    Fd source(openat(from_dir, from.c_str(), kListFlags));
    struct stat opened;
    if (!source.valid() || fstat(source.get(), &opened) != 0) return false;
    if (opened.st_ino != st.st_ino || opened.st_dev != dev) {
      errno = EXDEV;  // swapped, or another mount below the folder
      return false;
    }
    if (mkdirat(to_dir, to.c_str(), 0700) != 0) return false;
    *made = true;
    Fd target(openat(to_dir, to.c_str(), kListFlags));
    if (!target.valid()) return false;
    std::vector<std::string> names;
    if (!ListNames(source.get(), &names)) return false;
    for (const std::string& name : names) {
      bool inner = false;
      if (!CopyEntry(source.get(), name, target.get(), name, dev, depth + 1, &inner)) return false;
    }
    return CopyAttributes(target.get(), opened);
  }
  if (S_ISREG(st.st_mode)) {
    Fd source(openat(from_dir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened;
    if (!source.valid() || fstat(source.get(), &opened) != 0) return false;
    if (opened.st_ino != st.st_ino || !S_ISREG(opened.st_mode)) {
      errno = ESTALE;
      return false;
    }
    Fd target(
        openat(to_dir, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    *made = target.valid();
    return target.valid() && CopyContent(source.get(), target.get()) &&
           CopyAttributes(target.get(), opened);
  }
  if (S_ISLNK(st.st_mode)) {
    std::string link(static_cast<size_t>(st.st_size) + 1, '\0');
    const ssize_t n = readlinkat(from_dir, from.c_str(), &link[0], link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) return false;
    link.resize(static_cast<size_t>(n));
    if (symlinkat(link.c_str(), to_dir, to.c_str()) != 0) return false;
    *made = true;
    return fchownat(to_dir, to.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) == 0;
  }
  if (S_ISFIFO(st.st_mode)) {
    if (mkfifoat(to_dir, to.c_str(), 0600) != 0) return false;
    *made = true;
    return fchownat(to_dir, to.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) == 0 &&
           fchmodat(to_dir, to.c_str(), st.st_mode & 07777, 0) == 0;
  }
  errno = EPERM;  // devices and sockets have no place in a calendar
  return false;
}

}  // namespace

void Fd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

bool SplitLast(const std::string& path, std::string* parent, std::string* name) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return false;
  const size_t slash = path.rfind('/', end - 1);
  *name = path.substr(slash == std::string::npos ? 0 : slash + 1,
                      end - (slash == std::string::npos ? 0 : slash + 1));
  if (slash == std::string::npos) {
    *parent = ".";
  } else {
    size_t cut = slash;
    while (cut > 0 && path[cut - 1] == '/') --cut;
    *parent = cut == 0 ? "/" : path.substr(0, cut);
  }
  return true;
}

Fd OpenDirectory(const std::string& path) {
  std::vector<std::string> parts;
  if (!Components(path, &parts)) return Fd();
  Fd root(open("/", kPathFlags));
  if (!root.valid() || parts.empty()) return root;
  struct open_how how = {};
  how.flags = kPathFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, root.get(), Joined(parts).c_str(), &how, sizeof how);
  if (fd >= 0) return Fd(static_cast<int>(fd));
  // Kernels before 5.6, and filters that deny the call, take the long road.
  if (errno == ENOSYS || errno == EPERM || errno == E2BIG) return OpenDirectoryByWalk(path);
  return Fd();
}

Fd OpenDirectoryByWalk(const std::string& path) {
  std::vector<std::string> parts;
  if (!Components(path, &parts)) return Fd();
  Fd dir(open("/", kPathFlags));
  for (const std::string& part : parts) {
    if (!dir.valid()) break;
    dir = OpenChild(dir.get(), part);
  }
  return dir;
}

Fd OpenChild(int parent, const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    errno = EINVAL;
    return Fd();
  }
  // O_PATH with O_NOFOLLOW would open a link itself; O_DIRECTORY refuses it.
  return Fd(openat(parent, name.c_str(), kPathFlags));
}

bool IsEntry(int parent, const std::string& name, int fd) {
  EntryInfo by_name, by_fd;
  return Inspect(parent, name.c_str(), 0, &by_name) && Inspect(fd, "", AT_EMPTY_PATH, &by_fd) &&
         S_ISDIR(by_name.mode) && SameFile(by_name, by_fd);
}

bool RemoveTree(int parent, const std::string& name, const Fd& only) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  if (!only.valid()) return RemoveEntry(parent, name, nullptr, 0);
  EntryInfo expected;
  if (!Inspect(only.get(), "", AT_EMPTY_PATH, &expected)) return false;
  return RemoveEntry(parent, name, &expected, 0);
}

bool Move(int from_parent, const std::string& from, int to_parent, const std::string& to) {
  if (renameat2(from_parent, from.c_str(), to_parent, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EXDEV) return false;
  struct stat st;
  if (fstatat(from_parent, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  bool made = false;
  if (!CopyEntry(from_parent, from, to_parent, to, st.st_dev, 0, &made)) {
    const int error = errno;
    if (made) RemoveTree(to_parent, to);
    errno = error;
    return false;
  }
  return RemoveTree(from_parent, from);
}

}  // namespace pinned
