#include "share/team_acl.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/fd.h"
#include "kivo/log.h"

namespace {
constexpr char kLogUnit[] = "share_access";
constexpr char kAccessAttr[] = "system.posix_acl_access";
constexpr char kDefaultAttr[] = "system.posix_acl_default";
constexpr uint32_t kAclVersion = 2;
constexpr uint32_t kNoId = 0xFFFFFFFFu;
// An ACL holds at most a few dozen entries here; the kernel's limit is far
// above what a listed share needs.
constexpr size_t kMaxAclBytes = 64 * 1024;
}  // namespace

namespace share {

namespace {

void PutLe(std::string* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t GetLe(const std::string& in, size_t at, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  }
  return value;
}

bool Ordered(const AclEntry& a, const AclEntry& b) {
  return a.tag != b.tag ? a.tag < b.tag : a.id < b.id;
}

// Reads one of the two ACL attributes; an absent one is an empty vector.
bool ReadAcl(const std::string& target, const char* attr, std::vector<AclEntry>* entries) {
  entries->clear();
  std::string bytes(kMaxAclBytes, '\0');
  const ssize_t n = getxattr(target.c_str(), attr, &bytes[0], bytes.size());
  if (n < 0) return errno == ENODATA;
  bytes.resize(static_cast<size_t>(n));
  if (DecodeAcl(bytes, entries)) return true;
  errno = EINVAL;
  return false;
}

// Names a descriptor by path, so that an O_PATH descriptor of a file (one
// that opening for I/O could block on or hand to a device) takes attributes.
std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Brings one object's ACLs to `groups`: its access ACL always, a folder's
// default ACL too. Writes only what differs.
bool PrepareObject(int fd, const struct stat& st, const TeamGroups& groups) {
  const std::string target = FdPath(fd);
  const bool folder = S_ISDIR(st.st_mode);
  std::vector<AclEntry> current;
  if (!ReadAcl(target, kAccessAttr, &current)) return false;
  if (current.empty()) current = ModeAcl(st.st_mode);
  const std::vector<AclEntry> wanted =
      TeamAcl(current, groups, folder, (st.st_mode & S_IXUSR) != 0);
  if (wanted != current) {
    const std::string bytes = EncodeAcl(wanted);
    if (setxattr(target.c_str(), kAccessAttr, bytes.data(), bytes.size(), 0) != 0) return false;
  }
  if (!folder) return true;
  std::vector<AclEntry> inherited;
  if (!ReadAcl(target, kDefaultAttr, &inherited)) return false;
  if (inherited.empty()) {
    if (groups.empty()) return true;
    // New objects start from what the folder grants its owning group and
    // others, never write: the umask no longer narrows them, and a folder
    // open to all (a sticky public one) must not make every new file
    // writable by all. The listed groups are who writes.
    inherited = ModeAcl(S_IRWXU | (st.st_mode & 05));
    for (const AclEntry& entry : wanted) {
      if (entry.tag == kAclGroupObj) inherited[1].perm = entry.perm & 05;
    }
  }
  const std::vector<AclEntry> next_default = TeamAcl(inherited, groups, true, true);
  if (next_default == inherited) return true;
  const bool named = std::any_of(next_default.begin(), next_default.end(), [](const AclEntry& e) {
    return e.tag == kAclUser || e.tag == kAclGroup;
  });
  // A default ACL without named entries would still override the umask of
  // whoever creates inside: none at all is what the folder had before.
  if (!named) return removexattr(target.c_str(), kDefaultAttr) == 0 || errno == ENODATA;
  const std::string bytes = EncodeAcl(next_default);
  return setxattr(target.c_str(), kDefaultAttr, bytes.data(), bytes.size(), 0) == 0;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

}  // namespace

bool DecodeAcl(const std::string& bytes, std::vector<AclEntry>* entries) {
  entries->clear();
  if (bytes.size() < 4 || (bytes.size() - 4) % 8 != 0 || GetLe(bytes, 0, 4) != kAclVersion) {
    return false;
  }
  for (size_t at = 4; at < bytes.size(); at += 8) {
    entries->push_back({static_cast<uint16_t>(GetLe(bytes, at, 2)),
                        static_cast<uint16_t>(GetLe(bytes, at + 2, 2)), GetLe(bytes, at + 4, 4)});
  }
  return true;
}

std::string EncodeAcl(std::vector<AclEntry> entries) {
  std::sort(entries.begin(), entries.end(), Ordered);
  std::string bytes;
  PutLe(&bytes, kAclVersion, 4);
  for (const AclEntry& entry : entries) {
    PutLe(&bytes, entry.tag, 2);
    PutLe(&bytes, entry.perm, 2);
    PutLe(&bytes, entry.id, 4);
  }
  return bytes;
}

std::vector<AclEntry> ModeAcl(mode_t mode) {
  return {{kAclUserObj, static_cast<uint16_t>((mode >> 6) & 7), kNoId},
          {kAclGroupObj, static_cast<uint16_t>((mode >> 3) & 7), kNoId},
          {kAclOther, static_cast<uint16_t>(mode & 7), kNoId}};
}

std::vector<AclEntry> TeamAcl(const std::vector<AclEntry>& current, const TeamGroups& groups,
                              bool folder, bool executable) {
  std::vector<AclEntry> next;
  // The old mask limited the owning group and named users: their entries
  // take the limit in, so that a mask grown for a listed group grants them
  // nothing they did not have (a file made under a default ACL keeps the
  // folder's x in its group entry, masked off).
  uint16_t old_mask = 7;
  for (const AclEntry& entry : current) {
    if (entry.tag == kAclMask) old_mask = entry.perm;
  }
  uint16_t mask = 0;
  bool named = false;
  for (AclEntry entry : current) {
    if (entry.tag == kAclGroup || entry.tag == kAclMask) continue;
    if (entry.tag == kAclUser) named = true;
    if (entry.tag == kAclUser || entry.tag == kAclGroupObj) {
      entry.perm &= old_mask;
      mask |= entry.perm;
    }
    next.push_back(entry);
  }
  const uint16_t x = (folder || executable) ? 1 : 0;
  for (const auto& [gid, write] : groups) {
    const uint16_t perm = static_cast<uint16_t>(4 | (write ? 2 : 0) | x);
    next.push_back({kAclGroup, perm, static_cast<uint32_t>(gid)});
    mask |= perm;
    named = true;
  }
  if (named) next.push_back({kAclMask, mask, kNoId});
  std::sort(next.begin(), next.end(), Ordered);
  return next;
}

bool PrepareTeamFolder(const std::string& folder, const TeamGroups& groups, WalkStats* stats) {
  *stats = WalkStats();
  kivo::base::Fd top(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat top_st;
  if (!top.valid() || fstat(top.get(), &top_st) != 0) {
    KIVO_LOG(LOG_ERR, "cannot open the share folder %s: %s", folder.c_str(), strerror(errno));
    return false;
  }
  int first_error = 0;
  const auto prepare = [&](int fd, const struct stat& st) {
    if (PrepareObject(fd, st, groups)) {
      ++(S_ISDIR(st.st_mode) ? stats->folders : stats->files);
    } else {
      if (first_error == 0) first_error = errno;
      ++stats->failures;
    }
  };
  prepare(top.get(), top_st);
  std::vector<Dir> open_folders;
  Dir first(fdopendir(top.Release()));
  if (first == nullptr) {
    KIVO_LOG(LOG_ERR, "cannot read the share folder %s: %s", folder.c_str(), strerror(errno));
    return false;
  }
  open_folders.push_back(std::move(first));
  while (!open_folders.empty()) {
    DIR* dir = open_folders.back().get();
    errno = 0;
    const struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) {
        if (first_error == 0) first_error = errno;
        ++stats->failures;
      }
      open_folders.pop_back();
      continue;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    // O_PATH opens nothing for I/O: a FIFO or device put where a file was
    // cannot stall the walk, and with O_NOFOLLOW a link is the link itself.
    kivo::base::Fd fd(openat(dirfd(dir), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
      ++stats->left_alone;  // gone since it was listed
      continue;
    }
    const bool same_mount = st.st_dev == top_st.st_dev;
    if (S_ISREG(st.st_mode) && same_mount && st.st_nlink == 1) {
      prepare(fd.get(), st);
      continue;
    }
    if (!S_ISDIR(st.st_mode) || !same_mount ||
        open_folders.size() >= static_cast<size_t>(kMaxDepth)) {
      ++stats->left_alone;
      continue;
    }
    // The folder the name now stands for, opened for reading from the
    // descriptor already held, so that a rename in between cannot swap it.
    kivo::base::Fd readable(openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Dir child(readable.valid() ? fdopendir(readable.get()) : nullptr);
    if (child == nullptr) {
      if (first_error == 0) first_error = errno;
      ++stats->failures;
      continue;
    }
    readable.Release();
    prepare(dirfd(child.get()), st);
    open_folders.push_back(std::move(child));
  }
  if (stats->failures != 0) {
    KIVO_LOG(LOG_ERR, "%s: the ACLs of %zu objects could not be set (first: %s)", folder.c_str(),
             stats->failures, strerror(first_error));
    return false;
  }
  return true;
}

}  // namespace share
