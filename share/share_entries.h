// What may stand on a share's access list: an account name, or "@" and a
// group name, each known to the root's etc/passwd or etc/group, and how
// long a list may be. The handler judges every entry of a `set` here before
// anything is written.
//
// Threading: AccountBook reads the two files once when built and is then
// read-only; the functions keep no state.

#ifndef KIVO_SHARE_SHARE_ENTRIES_H_
#define KIVO_SHARE_SHARE_ENTRIES_H_

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace share {

// A list longer than this is refused: the daemons scan the lists on every
// request, and a team is named by a group, not by hundreds of accounts.
constexpr size_t kMaxListEntries = 256;

// Why an entry or a list is refused; kOk when it may be stored.
enum class EntryFault {
  kOk,
  kMalformed,       // not a name by the rule below, or repeated
  kUnknownAccount,  // a well-formed account name etc/passwd lacks
  kUnknownGroup,    // a well-formed "@group" etc/group lacks (or the root group)
  kTooLong,         // more than kMaxListEntries entries
};

// A name of 1 to 32 characters from [A-Za-z0-9._-], not starting with "-"
// or ".": what an account or group may be called here, and nothing a shell,
// a JSON reader or an Apache directive could read two ways.
bool IsListName(const std::string& name);

// The root's accounts and groups, read once.
class AccountBook {
 public:
  // Reads etc/passwd and etc/group under the current root. ok() is false
  // (logged) when either cannot be read.
  AccountBook();

  bool ok() const { return ok_; }
  bool HasAccount(const std::string& name) const { return accounts_.count(name) != 0; }
  // The group's id; false when there is no such group.
  bool GroupId(const std::string& name, gid_t* gid) const;
  // Every group name, sorted.
  std::vector<std::string> GroupNames() const;

 private:
  bool ok_ = false;
  std::set<std::string> accounts_;
  std::map<std::string, gid_t> groups_;
};

// Judges one list: the first fault found, in the order the enum lists them
// after kOk but for kTooLong, which is judged first. On kOk, *list holds
// the entries sorted.
EntryFault CheckList(const std::vector<std::string>& entries, const AccountBook& book,
                     std::set<std::string>* list, std::string* culprit);

}  // namespace share

#endif  // KIVO_SHARE_SHARE_ENTRIES_H_
