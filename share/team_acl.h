// Team folders: the POSIX ACLs a share's folder tree carries for the groups
// on its access lists, so that members of a group on `write` edit each
// other's files, and members of a group only on `read` read them.
//
// Every folder gets an access and a default entry per listed group
// (rwx for writers, r-x for readers), every regular file an access entry
// (rw- or r--, with x only where the file's owner has it), each ACL its
// mask. The default entries are what makes it last: a file or folder made
// later inside, by any process and whatever its umask, inherits them.
// The lists own the named-group entries of the tree: a group that left the
// lists loses its entries, and entries for groups never listed are removed
// too, so that one walk brings any tree, however a killed walk left it,
// to what the lists say. Named-user entries are kept as they are.
//
// The walk starts from the share's folder and goes on from descriptors
// only: it never follows a link, never enters another mount, and touches
// only folders and regular files with one name (a FIFO, a device, a link
// or a file with a second name, which may lie outside the share, is left
// alone). It is bounded in depth (kMaxDepth folders open at once: deeper
// folders are left alone, logged) and otherwise as long as the tree; its
// cost is two or three extended-attribute calls per object.
//
// Threading: no state; the caller serialises walks of one share.

#ifndef KIVO_SHARE_TEAM_ACL_H_
#define KIVO_SHARE_TEAM_ACL_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace share {

// Listed group -> true when it may write, false when it may only read.
using TeamGroups = std::map<gid_t, bool>;

// One entry of an ACL as the kernel keeps it in the extended attribute.
struct AclEntry {
  uint16_t tag;
  uint16_t perm;  // 4 read, 2 write, 1 execute
  uint32_t id;    // the user or group of a named entry; -1 otherwise

  bool operator==(const AclEntry& other) const {
    return tag == other.tag && perm == other.perm && id == other.id;
  }
};

// Tags of AclEntry, as the kernel numbers them.
enum : uint16_t {
  kAclUserObj = 0x01,
  kAclUser = 0x02,
  kAclGroupObj = 0x04,
  kAclGroup = 0x08,
  kAclMask = 0x10,
  kAclOther = 0x20,
};

// The attribute's bytes <-> its entries. DecodeAcl is false on bytes that are
// no ACL of the kernel's version.
bool DecodeAcl(const std::string& bytes, std::vector<AclEntry>* entries);
std::string EncodeAcl(std::vector<AclEntry> entries);

// The ACL an object should carry: `current` (its ACL, or the three entries
// its mode makes) with its named-group entries those of `groups` and its
// mask recomputed (no mask when no named entry is left: the kernel then
// keeps the ACL as the mode alone). `folder` and `executable` pick the
// permissions; a folder's default ACL takes a folder's.
std::vector<AclEntry> TeamAcl(const std::vector<AclEntry>& current, const TeamGroups& groups,
                              bool folder, bool executable);

// The three entries a mode makes.
std::vector<AclEntry> ModeAcl(mode_t mode);

struct WalkStats {
  size_t folders = 0;     // folders prepared
  size_t files = 0;       // files prepared
  size_t left_alone = 0;  // links, FIFOs, devices, other mounts, second names, too deep
  size_t failures = 0;    // objects whose ACL could not be read or written
};

constexpr int kMaxDepth = 128;

// Brings the tree below `folder` (the share's folder) to `groups`. False
// (logged once) when the folder cannot be opened or any object failed.
bool PrepareTeamFolder(const std::string& folder, const TeamGroups& groups, WalkStats* stats);

}  // namespace share

#endif  // KIVO_SHARE_TEAM_ACL_H_
