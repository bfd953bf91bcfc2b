// Descriptor-relative folder work for code that runs as root inside folders
// that users can write.
//
// A path a user can change is resolved once, into a directory descriptor, and
// every later step acts relative to that descriptor: a component swapped for
// a symbolic link between a check and the act can then no longer redirect
// the act. Opening refuses a symbolic link in any component (openat2 with
// RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS, or a walk of
// O_NOFOLLOW opens where the kernel lacks it); removal never follows a link
// and never descends into another mount; a move never replaces its target.
//
// Owns only the descriptors it opens; never touches anything that is not
// below a descriptor its caller handed in. Results: false (or an invalid Fd)
// with errno set.

#ifndef KIVO_CALDAV_PINNED_DIR_H_
#define KIVO_CALDAV_PINNED_DIR_H_

#include <sys/types.h>

#include <string>

namespace pinned {

// A file descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Splits `path` into the part before its last component and that component
// ("/a/b/" gives "/a" and "b", "/a" gives "/" and "a"). False when there is
// no last component ("/", "").
bool SplitLast(const std::string& path, std::string* parent, std::string* name);

// Opens the directory at the absolute `path` as an O_PATH descriptor. Fails
// (ELOOP or ENOTDIR) when any component is a symbolic link, and (EXDEV) when
// a component is "..": the path must name its directory without resolution.
// Only search rights are needed along the way, as for mkdir(2).
Fd OpenDirectory(const std::string& path);
// The same walk done one O_NOFOLLOW open at a time, as on kernels without
// openat2; exposed so that both roads can be tested.
Fd OpenDirectoryByWalk(const std::string& path);

// Opens `name` inside `parent` as an O_PATH directory descriptor, refusing a
// symbolic link.
Fd OpenChild(int parent, const std::string& name);

// True when `fd` is the directory (device, inode) that `name` in `parent`
// stands for right now, with no link in between.
bool IsEntry(int parent, const std::string& name, int fd);

// Removes `name` inside `parent`: a directory with everything below it, any
// other entry (a symbolic link included) as the entry itself. Never follows
// a link and never descends into another mount (a mount below is left, and
// the result is false). When `only` is valid, removes `name` only while it
// is that very directory. True when nothing is left of it.
bool RemoveTree(int parent, const std::string& name, const Fd& only = Fd());

// Moves `from` in `from_parent` to `to` in `to_parent` with
// renameat2(RENAME_NOREPLACE): an existing target (a directory or a link to
// one included) fails with EEXIST instead of receiving the source. Across
// file systems the entry is copied (owners, modes, times; links as links)
// and then removed, both descriptor-relative; a failed copy is taken away.
bool Move(int from_parent, const std::string& from, int to_parent, const std::string& to);

}  // namespace pinned

#endif  // KIVO_CALDAV_PINNED_DIR_H_
