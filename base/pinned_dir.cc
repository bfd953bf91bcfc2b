#include "base/pinned_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace kivo::base::pinned {

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

// ---- moving -----------------------------------------------------------------------

constexpr const char* kStaged = kStagedEntry;

// A folder only root can enter, made new inside `parent` for the time of one
// removal or move: the folder removed or moved is taken into it, out of
// users' reach, and a copy across file systems is built in one. Whatever it
// holds at the end goes with it, through its own descriptor; its name goes
// only while the name still stands for it. What could not be put back is
// kept in it rather than removed.
class Staging {
 public:
  Staging() = default;
  ~Staging() { Discard(); }
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  bool Make(int parent) {
    for (int attempt = 0; attempt < 8; ++attempt) {
      unsigned int random = 0;
      if (getrandom(&random, sizeof random, 0) != sizeof random) return false;
      char name[32];
      snprintf(name, sizeof name, "%s%08x", kStagingPrefix, random);
      if (mkdirat(parent, name, 0700) != 0) {
        if (errno == EEXIST) continue;
        return false;
      }
      // Someone may have renamed it away and put a folder of theirs there.
      Fd fd = OpenChild(parent, name);
      struct stat st;
      std::vector<std::string> names;
      if (!fd.valid() || fstat(fd.get(), &st) != 0 || st.st_uid != geteuid() ||
          (st.st_mode & 07777) != 0700 || !ListNames(fd.get(), &names) || !names.empty()) {
        errno = EEXIST;
        return false;
      }
      parent_ = parent;
      name_ = name;
      fd_ = std::move(fd);
      return true;
    }
    errno = EEXIST;
    return false;
  }

  int fd() const { return fd_.get(); }

  // Takes `name` of `dir` in, only while it is `want`; something else that
  // took the name in the instant between goes back.
  bool TakeIn(int dir, const std::string& name, const EntryInfo& want) {
    if (!NameIs(dir, name, want)) {
      errno = ESTALE;
      return false;
    }
    if (renameat2(dir, name.c_str(), fd_.get(), kStaged, RENAME_NOREPLACE) != 0) return false;
    if (NameIs(fd_.get(), kStaged, want)) return true;
    PutBack(dir, name);
    errno = ESTALE;
    return false;
  }

  // Returns what was taken in to `name` of `dir`; if the name is taken
  // meanwhile, it stays here, and so does this folder.
  void PutBack(int dir, const std::string& name) {
    const int error = errno;
    if (renameat2(fd_.get(), kStaged, dir, name.c_str(), RENAME_NOREPLACE) != 0) fd_.Reset();
    errno = error;
  }

  // True when the folder and all it held are gone.
  bool Discard() {
    if (!fd_.valid()) return false;
    const int error = errno;
    EntryInfo self;
    const bool gone = Inspect(fd_.get(), "", AT_EMPTY_PATH, &self) &&
                      EmptyDirectory(fd_.get(), self.dev, 0) && NameIs(parent_, name_, self) &&
                      unlinkat(parent_, name_.c_str(), AT_REMOVEDIR) == 0;
    fd_.Reset();
    errno = error;
    return gone;
  }

 private:
  static bool NameIs(int dir, const std::string& name, const EntryInfo& want) {
    EntryInfo info;
    return Inspect(dir, name.c_str(), 0, &info) && SameFile(info, want);
  }

  int parent_ = -1;
  std::string name_;
  Fd fd_;
};

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

// Gives `to` the extended attributes of `from` (both open descriptors), the
// trusted namespace's among them, which only root reads and writes: a
// calendar's identity travels with its folder. A file system that has no
// attributes, or refuses one of them, leaves the copy without it.
bool CopyExtendedAttributes(int from, int to) {
  std::vector<char> names(4096);
  ssize_t size;
  while ((size = flistxattr(from, names.data(), names.size())) < 0 && errno == ERANGE) {
    names.resize(names.size() * 4);
  }
  if (size <= 0) return true;
  std::vector<char> value(4096);
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(strlen(&names[at])) + 1) {
    const char* name = &names[at];
    ssize_t n;
    while ((n = fgetxattr(from, name, value.data(), value.size())) < 0 && errno == ERANGE) {
      value.resize(value.size() * 4);
    }
    if (n < 0) continue;
    if (fsetxattr(to, name, value.data(), static_cast<size_t>(n), 0) != 0 && errno != ENOTSUP &&
        errno != EPERM) {
      return false;  // a full disk or a failing one: the copy is not whole
    }
  }
  return true;
}

// Gives `fd` (open for reading or writing) the owner, mode and times of
// `from`; owner first, since a change of owner clears the set-id bits.
bool CopyAttributes(int fd, const struct stat& from) {
  const struct timespec times[2] = {from.st_atim, from.st_mtim};
  return fchown(fd, from.st_uid, from.st_gid) == 0 && fchmod(fd, from.st_mode & 07777) == 0 &&
         futimens(fd, times) == 0;
}

// A link copied as a link: the new link, in a folder only root can enter,
// gets the old one's owner; nothing it points to is looked at.
bool CopyLink(int from_dir, const std::string& from, const struct stat& st, int to_dir,
              const std::string& to) {
  std::string link(static_cast<size_t>(st.st_size) + 1, '\0');
  const ssize_t n = readlinkat(from_dir, from.c_str(), &link[0], link.size());
  if (n < 0 || static_cast<size_t>(n) >= link.size()) {
    if (n >= 0) errno = ESTALE;  // grew since the look: changed under us
    return false;
  }
  link.resize(static_cast<size_t>(n));
  return symlinkat(link.c_str(), to_dir, to.c_str()) == 0 &&
         fchownat(to_dir, to.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) == 0;
}

// Copies `from` in `from_dir` to the new entry `to` in `to_dir`, a folder
// that only root can enter; `want`, when given, is what `from` must be.
// FIFOs, sockets and devices are left out without being opened, and a source
// is opened so that nothing swapped in for it can block the copy.
bool CopyEntry(int from_dir, const std::string& from, int to_dir, const std::string& to, dev_t dev,
               int depth, const EntryInfo* want) {
  if (depth > kMaxDepth) {
    errno = ELOOP;
    return false;
  }
  struct stat st;
  if (fstatat(from_dir, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (want != nullptr && (st.st_dev != want->dev || st.st_ino != want->ino)) {
    errno = ESTALE;
    return false;
  }
  if (S_ISLNK(st.st_mode)) return CopyLink(from_dir, from, st, to_dir, to);
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return true;  // no place in a calendar
  const int flags =
      O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0);
  Fd source(openat(from_dir, from.c_str(), flags));
  struct stat opened;
  if (!source.valid() || fstat(source.get(), &opened) != 0) {
    if (errno == ELOOP || errno == ENOTDIR) errno = ESTALE;  // swapped for a link or a file
    return false;
  }
  if (opened.st_ino != st.st_ino || opened.st_dev != st.st_dev ||
      (opened.st_mode & S_IFMT) != (st.st_mode & S_IFMT)) {
    errno = ESTALE;
    return false;
  }
  if (S_ISREG(opened.st_mode)) {
    Fd target(
        openat(to_dir, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    // On disk before the source can go: the copy replaces it.
    return target.valid() && CopyContent(source.get(), target.get()) &&
           CopyExtendedAttributes(source.get(), target.get()) &&
           CopyAttributes(target.get(), opened) && fsync(target.get()) == 0;
  }
  if (opened.st_dev != dev) {
    errno = EXDEV;  // another mount below the folder
    return false;
  }
  if (mkdirat(to_dir, to.c_str(), 0700) != 0) return false;
  Fd target(openat(to_dir, to.c_str(), kListFlags));
  std::vector<std::string> names;
  // The attributes first: a copy cut short is known by them as the copy of
  // its source.
  if (!target.valid() || !CopyExtendedAttributes(source.get(), target.get()) ||
      !ListNames(source.get(), &names)) {
    return false;
  }
  for (const std::string& name : names) {
    if (!CopyEntry(source.get(), name, target.get(), name, dev, depth + 1, nullptr)) return false;
  }
  return CopyAttributes(target.get(), opened) && fsync(target.get()) == 0;
}

// ---- looking up below a folder ------------------------------------------------------

void PushComponents(const std::string& path, std::deque<std::string>* todo) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  todo->insert(todo->begin(), parts.begin(), parts.end());
}

// LookUpBelow one component at a time, for what openat2 refuses to follow
// (absolute link targets) and for kernels without it.
int WalkBelow(int dir, const std::string& dir_path, const std::string& relative) {
  constexpr int kMaxLinks = 40;  // as the kernel's own lookup
  std::deque<std::string> todo;
  PushComponents(relative, &todo);
  std::vector<Fd> entered;  // folders below `dir`, innermost last
  // Steps above `dir` are followed by name only, along `dir_path`: a path
  // that climbs out and comes straight back in never looks outside.
  std::vector<std::string> base;
  Components(dir_path, &base);
  size_t up = 0;
  int links = 0;
  while (!todo.empty()) {
    const std::string part = todo.front();
    todo.pop_front();
    const int here = entered.empty() ? dir : entered.back().get();
    if (part == ".") continue;
    if (part == "..") {
      if (!entered.empty()) {
        entered.pop_back();
      } else if (up < base.size()) {
        ++up;
      }
      continue;
    }
    if (up > 0) {
      if (part != base[base.size() - up]) return EXDEV;
      --up;
      continue;
    }
    struct stat st;
    if (fstatat(here, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return ELOOP;
      std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
      const ssize_t n = readlinkat(here, part.c_str(), &target[0], target.size());
      if (n <= 0 || static_cast<size_t>(n) >= target.size()) return n < 0 ? errno : ENOENT;
      target.resize(static_cast<size_t>(n));
      if (target[0] == '/') {
        const std::string prefix = dir_path == "/" ? "" : dir_path;
        if (target.compare(0, prefix.size(), prefix) != 0 ||
            (target.size() > prefix.size() && target[prefix.size()] != '/')) {
          return EXDEV;
        }
        target.erase(0, prefix.size());
        entered.clear();
        up = 0;
      }
      PushComponents(target, &todo);
      continue;
    }
    if (todo.empty()) return 0;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    Fd next(openat(here, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return errno;
    entered.push_back(std::move(next));
  }
  return up == 0 ? 0 : EXDEV;
}

// openat(2) of `path` below `dir` under `resolve`'s rules: a descriptor, or
// -1 with errno.
int OpenAt2(int dir, const char* path, uint64_t flags, uint64_t resolve) {
  struct open_how how = {};
  how.flags = flags;
  how.resolve = resolve;
  return static_cast<int>(syscall(SYS_openat2, dir, path, &how, sizeof how));
}

// Kernels before 5.6, and filters that deny the call: such callers take the
// long road, one component at a time.
bool Openat2Missing(int error) { return error == ENOSYS || error == EPERM || error == E2BIG; }

// Follows `parts` down from `dir`, one OpenChild at a time.
Fd WalkChildren(Fd dir, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) {
    if (!dir.valid()) break;
    dir = OpenChild(dir.get(), part);
  }
  return dir;
}

}  // namespace

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
  const int fd = OpenAt2(root.get(), Joined(parts).c_str(), kPathFlags,
                         RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
  if (fd >= 0) return Fd(fd);
  return Openat2Missing(errno) ? OpenDirectoryByWalk(path) : Fd();
}

Fd OpenDirectoryByWalk(const std::string& path) {
  std::vector<std::string> parts;
  if (!Components(path, &parts)) return Fd();
  return WalkChildren(Fd(open("/", kPathFlags)), parts);
}

Fd OpenBelow(int dir, const std::string& relative) {
  std::vector<std::string> parts;
  if (!Components("/" + relative, &parts)) return Fd();
  if (parts.empty()) return Fd(openat(dir, ".", kPathFlags));
  const int fd = OpenAt2(dir, Joined(parts).c_str(), kPathFlags,
                         RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
  if (fd >= 0) return Fd(fd);
  return Openat2Missing(errno) ? WalkChildren(Fd(openat(dir, ".", kPathFlags)), parts) : Fd();
}

bool PlainlyBelow(int dir, const std::string& relative) {
  return Fd(OpenAt2(dir, relative.c_str(), O_PATH | O_CLOEXEC,
                    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS))
      .valid();
}

int LookUpBelow(int dir, const std::string& dir_path, const std::string& relative) {
  if (Fd(OpenAt2(dir, relative.c_str(), O_PATH | O_CLOEXEC,
                 RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS))
          .valid()) {
    return 0;
  }
  // EXDEV: an absolute link, or a ".." that may come back; EAGAIN: a rename
  // raced the lookup. The walk tells those apart from a real way out.
  if (errno == EXDEV || errno == EAGAIN || Openat2Missing(errno)) {
    return WalkBelow(dir, dir_path, relative);
  }
  return errno;
}

Fd OpenChild(int parent, const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    errno = EINVAL;
    return Fd();
  }
  // O_PATH with O_NOFOLLOW would open a link itself; O_DIRECTORY refuses it.
  return Fd(openat(parent, name.c_str(), kPathFlags));
}

Fd OpenBeneath(int dir, const std::string& relative, bool readable) {
  const int flags = readable ? kListFlags : kPathFlags;
  if (relative.empty()) return Fd(openat(dir, ".", flags));
  return Fd(OpenAt2(dir, relative.c_str(), flags,
                    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS));
}

std::vector<std::string> StagingFolders(int parent) {
  std::vector<std::string> names, found;
  if (!ListNames(parent, &names)) return found;
  for (const std::string& name : names) {
    struct stat st;
    if (name.compare(0, strlen(kStagingPrefix), kStagingPrefix) == 0 &&
        fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == geteuid() && (st.st_mode & 07777) == 0700) {
      found.push_back(name);
    }
  }
  return found;
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
  EntryInfo want, found;
  if (!Inspect(only.get(), "", AT_EMPTY_PATH, &want)) return false;
  if (!Inspect(parent, name.c_str(), 0, &found)) return errno == ENOENT;
  // Out of users' reach first, so that nothing can be put in its place.
  Staging area;
  return area.Make(parent) && area.TakeIn(parent, name, want) && area.Discard();
}

bool Move(int from_parent, const std::string& from, int to_parent, const std::string& to,
          const Fd& only) {
  EntryInfo want;
  if (only.valid() ? !Inspect(only.get(), "", AT_EMPTY_PATH, &want)
                   : !Inspect(from_parent, from.c_str(), 0, &want)) {
    return false;
  }
  // Out of users' reach first: what is moved, or copied, is then the very
  // folder given, and nothing can change under the copy.
  Staging source;
  if (!source.Make(from_parent) || !source.TakeIn(from_parent, from, want)) return false;
  if (renameat2(source.fd(), kStaged, to_parent, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int error = errno;
  if (error == EXDEV) {
    // The copy is built where only root can enter and placed whole.
    Staging copy;
    if (copy.Make(to_parent) &&
        CopyEntry(source.fd(), kStaged, copy.fd(), kStaged, want.dev, 0, &want) &&
        renameat2(copy.fd(), kStaged, to_parent, to.c_str(), RENAME_NOREPLACE) == 0) {
      // The copy's new name on disk before the source goes with its
      // staging folder.
      const Fd placed(openat(to_parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (placed.valid()) fsync(placed.get());
      return true;
    }
    error = errno;
  }
  source.PutBack(from_parent, from);
  errno = error;
  return false;
}

}  // namespace kivo::base::pinned
