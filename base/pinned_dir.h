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
// Removals and moves given a folder's descriptor act on that very folder
// (device and inode), taken out of users' reach first, never on something
// put at its name meanwhile.
//
// Owns only the descriptors it opens; never touches anything that is not
// below a descriptor its caller handed in. Results: false (or an invalid Fd)
// with errno set.

#ifndef KIVO_BASE_PINNED_DIR_H_
#define KIVO_BASE_PINNED_DIR_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/fd.h"

namespace kivo::base::pinned {

// The staging folders of removals and moves: a root-only (0700) folder
// named with this prefix, holding the one entry kStagedEntry.
constexpr char kStagingPrefix[] = ".kivo-move-";
constexpr char kStagedEntry[] = "entry";

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

// Opens the directory `relative` below `dir` (the same rules as
// OpenDirectory, and never above `dir`); "" or "." opens `dir` again.
Fd OpenBelow(int dir, const std::string& relative);

// Opens the directory `relative` below `dir` without following any link,
// where ".." steps may go up as long as they never leave `dir`; O_PATH, or
// open for reading when `readable`. Invalid with errno (ENOSYS and the like
// where the kernel lacks openat2).
Fd OpenBeneath(int dir, const std::string& relative, bool readable = false);

// The staging folders in `parent` (root's own, 0700), by name: what a
// removal or move cut short left there.
std::vector<std::string> StagingFolders(int parent);

// Opens `name` inside `parent` as an O_PATH directory descriptor, refusing a
// symbolic link (ENOTDIR) and anything that is not a directory.
Fd OpenChild(int parent, const std::string& name);

// Looks `relative` up below the directory `dir`, whose canonical path is
// `dir_path`, as stat(2) would: links are followed, as long as every step
// stays below `dir` (an absolute link target must lie below `dir_path`).
// 0 when something is there; otherwise the errno of the failing step, and
// EXDEV whenever the lookup would leave `dir`, whether or not anything exists
// where it leads: nothing outside `dir` is ever looked at.
int LookUpBelow(int dir, const std::string& dir_path, const std::string& relative);

// Whether `relative` names something below `dir` reached without following
// any link: one lookup, the quick answer for paths that hold no link. False
// says nothing more; LookUpBelow tells why.
bool PlainlyBelow(int dir, const std::string& relative);

// True when `fd` is the directory (device, inode) that `name` in `parent`
// stands for right now, with no link in between.
bool IsEntry(int parent, const std::string& name, int fd);

// Removes `name` inside `parent`: a directory with everything below it, any
// other entry (a symbolic link included) as the entry itself. Never follows
// a link and never descends into another mount (a mount below is left, and
// the result is false). When `only` is valid, removes `name` only while it
// is that very directory: it is first renamed into a folder only root can
// enter, made beside it, and removed there. True when nothing is left of it.
bool RemoveTree(int parent, const std::string& name, const Fd& only = Fd());

// Moves `from` in `from_parent` to `to` in `to_parent`, never replacing an
// existing target (a directory or a link to one included: EEXIST). The
// source is first renamed into a folder only root can enter, made beside
// it, and only when it is `only` (when valid) does it go on (ESTALE
// otherwise, and whatever took its place in the instant goes back); then
// it is renamed to its target with renameat2(RENAME_NOREPLACE).
//
// Across file systems the copy is built inside another root-only folder
// made in `to_parent` (owners, modes, extended attributes and times set on
// descriptors, a folder's attributes before its content; links as
// links, nothing they point to touched; anything but folders, regular files
// and links left out; sources opened so that nothing can block), renamed
// into place whole, and the source then removed. On failure the source is
// back at its name (kept in its root-only folder if the name was taken
// meanwhile) and no copy is left.
bool Move(int from_parent, const std::string& from, int to_parent, const std::string& to,
          const Fd& only = Fd());

}  // namespace kivo::base::pinned

#endif  // KIVO_BASE_PINNED_DIR_H_
