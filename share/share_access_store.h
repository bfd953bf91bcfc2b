// The per-share access lists, etc/kivo/share-access.json under the root:
// which accounts and groups ("@" + group name) may read and which may write
// each share over WebDAV. This module is its one writer; the WebDAV daemon
// and the CalDAV plug-ins read it and enforce it.
//
// The file: {"version": 1, "shares": {NAME: {"read": [...], "write": [...]}}},
// each list sorted, each entry once, root:root 0644. A share absent from
// "shares", or with both lists empty, has no lists, and the writer leaves
// such a share out. A file that breaks this shape is malformed as a whole:
// its readers refuse every share but homes, so the writer never replaces a
// malformed file by guessing what it meant.
//
// Threading: no state; callable from any thread. Writers serialise on the
// lock beside the file (base/root_files.h).

#ifndef KIVO_SHARE_SHARE_ACCESS_STORE_H_
#define KIVO_SHARE_SHARE_ACCESS_STORE_H_

#include <map>
#include <set>
#include <string>

namespace share {

struct AccessLists {
  std::set<std::string> read;
  std::set<std::string> write;

  bool empty() const { return read.empty() && write.empty(); }
  bool operator==(const AccessLists& other) const {
    return read == other.read && write == other.write;
  }
};

// Share name -> its lists.
using AccessStore = std::map<std::string, AccessLists>;

// The file is far below this; anything larger is not one.
constexpr size_t kMaxStoreBytes = 4 * 1024 * 1024;

// Parses the file's text. False, *store untouched, when it breaks the shape
// (a list entry repeated or out of order included).
bool ParseAccessStore(const std::string& text, AccessStore* store);

// The file's text for `store`, shares without lists left out.
std::string AccessStoreText(const AccessStore& store);

// Reads the file under the current root: true with an empty store when it
// is missing. False (logged) when it cannot be read or is malformed.
bool ReadAccessStore(AccessStore* store);

// The store file's path under the current root.
std::string AccessStorePath();

}  // namespace share

#endif  // KIVO_SHARE_SHARE_ACCESS_STORE_H_
