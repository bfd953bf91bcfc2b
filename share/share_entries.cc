#include "share/share_entries.h"

#include <grp.h>
#include <pwd.h>
#include <stdio.h>

#include <cerrno>
#include <cstring>

#include "base/root_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace {
constexpr char kLogUnit[] = "share_access";
constexpr size_t kMaxNameLength = 32;
}  // namespace

namespace share {

bool IsListName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength || name[0] == '-' || name[0] == '.') {
    return false;
  }
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    if (!plain) return false;
  }
  return true;
}

AccountBook::AccountBook() {
  const std::string passwd_path = kivo::RootedPath(SZF_PASSWD);
  const std::string group_path = kivo::RootedPath(SZF_GROUP);
  FILE* passwd = kivo::base::OpenAccountFile(passwd_path);
  if (passwd == nullptr) {
    KIVO_LOG(LOG_ERR, "cannot read %s: %s", passwd_path.c_str(), strerror(errno));
    return;
  }
  char buffer[4096];
  struct passwd pw;
  struct passwd* found = nullptr;
  while (fgetpwent_r(passwd, &pw, buffer, sizeof(buffer), &found) == 0) {
    accounts_.insert(pw.pw_name);
  }
  fclose(passwd);
  FILE* group = kivo::base::OpenAccountFile(group_path);
  if (group == nullptr) {
    KIVO_LOG(LOG_ERR, "cannot read %s: %s", group_path.c_str(), strerror(errno));
    return;
  }
  // A group line lists its members and may be long; fgetgrent_r says ERANGE
  // and leaves the line to be read again with a larger buffer.
  std::vector<char> line(16384);
  struct group gr;
  struct group* got = nullptr;
  for (;;) {
    const int error = fgetgrent_r(group, &gr, line.data(), line.size(), &got);
    if (error == ERANGE && line.size() < (16u << 20)) {
      line.resize(line.size() * 4);
      continue;
    }
    if (error != 0) break;
    // The services never count the root group for anybody: on a list it
    // would promise what no daemon grants.
    if (gr.gr_gid != 0) groups_.emplace(gr.gr_name, gr.gr_gid);
  }
  fclose(group);
  ok_ = true;
}

bool AccountBook::GroupId(const std::string& name, gid_t* gid) const {
  const auto it = groups_.find(name);
  if (it == groups_.end()) return false;
  *gid = it->second;
  return true;
}

std::vector<std::string> AccountBook::GroupNames() const {
  std::vector<std::string> names;
  for (const auto& group : groups_) names.push_back(group.first);
  return names;
}

EntryFault CheckList(const std::vector<std::string>& entries, const AccountBook& book,
                     std::set<std::string>* list, std::string* culprit) {
  list->clear();
  if (entries.size() > kMaxListEntries) return EntryFault::kTooLong;
  for (const std::string& entry : entries) {
    const bool group = !entry.empty() && entry[0] == '@';
    const std::string name = group ? entry.substr(1) : entry;
    *culprit = entry;
    if (!IsListName(name) || !list->insert(entry).second) return EntryFault::kMalformed;
  }
  for (const std::string& entry : *list) {
    *culprit = entry;
    gid_t gid;
    if (entry[0] == '@') {
      if (!book.GroupId(entry.substr(1), &gid)) return EntryFault::kUnknownGroup;
    } else if (!book.HasAccount(entry)) {
      return EntryFault::kUnknownAccount;
    }
  }
  culprit->clear();
  return EntryFault::kOk;
}

}  // namespace share
