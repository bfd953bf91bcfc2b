// The share table, etc/kivo/shares.json under the root: the shared folders
// by name. `kivo-webapi init` writes it (host/hosting/root_layout.cc), people edit
// it by hand; this is its one reader in C++: the platform's share lookups,
// the WebDAV daemon's configuration and the host's share choices ask it.
// The CalDAV daemon's plug-ins (kivo_root.py) read the file by the same
// rule, and both run the vectors in tests/vectors/shares.json.
//
// The rule: the file is one JSON object (// and /* */ comments allowed, a
// leading byte order mark skipped; nothing after the object, no trailing
// comma, no NaN, nesting at most 512 deep); a later member of the same name
// wins. A member is a share when its name is not empty and holds neither
// "/" nor a NUL, and its value is a string naming an absolute directory
// without a NUL and without a "." or ".." component (the shares are judged
// by whole components of canonical paths, which such a directory never
// matches). Other members are left out silently.
//
// Threading: no state; callable from any thread. Keeping a parse between
// calls is the caller's (platform/shares.cc keeps one under a file stamp).

#ifndef KIVO_BASE_SHARE_TABLE_H_
#define KIVO_BASE_SHARE_TABLE_H_

#include <map>
#include <string>

namespace kivo::base {

// Share name -> its directory as written (trailing slashes kept).
using ShareTable = std::map<std::string, std::string>;

enum class ShareTableRead {
  kRead,        // the table, possibly empty
  kMissing,     // no file: no table
  kUnreadable,  // cannot be read, or no JSON by the rule (logged)
  kNotATable,   // JSON, but no object (logged)
};

// The file under the current root.
ShareTableRead ReadShareTable(ShareTable* shares);

// The same rule over a file's content; `origin` names it in the log.
ShareTableRead ParseShareTable(const std::string& text, const std::string& origin,
                               ShareTable* shares);

}  // namespace kivo::base

#endif  // KIVO_BASE_SHARE_TABLE_H_
