#include "host/accounts/accounts.h"

#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>

#include "base/root_files.h"
#include "host/common/root_paths.h"
#include "kivo/account_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "accounts";

}  // namespace

namespace host {

namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  while (true) {
    const std::string::size_type end = text.find(sep, start);
    fields.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fields;
}

// The lines of an account file; a missing file has none. False when it
// cannot be read or is larger than every reader's limit (logged by the
// platform).
bool ReadLines(const std::string& path, std::vector<std::string>* lines) {
  std::string content;
  bool missing = false;
  if (!kivo::base::ReadWholeFile(path, &content, &missing, KIVO_ACCOUNT_FILE_MAX)) return false;
  if (!content.empty() && content.back() == '\n') content.pop_back();
  if (!content.empty()) *lines = Split(content, '\n');
  return true;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string content;
  for (const std::string& line : lines) content += line + "\n";
  return content;
}

bool FirstFieldIs(const std::string& line, const std::string& name) {
  return line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
         line[name.size()] == ':';
}

}  // namespace

bool IsValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool lower = (c >= 'a' && c <= 'z') || c == '_';
    const bool tail = (c >= '0' && c <= '9') || c == '.' || c == '-';
    if (!lower && !(i > 0 && tail)) return false;
  }
  return true;
}

const char* ReservedNameReason(const std::string& name) {
  static const char* const kPathNames[] = {"homes", "public", "caldav", "carddav", "webapi"};
  // Names Debian and the packages beside us use for their own accounts, also
  // where they are not made yet.
  static const std::string kSystemNames =
      " root daemon bin sys sync games man lp mail news uucp proxy www-data backup list irc gnats"
      " nobody _apt radicale sshd messagebus avahi systemd-network systemd-resolve"
      " systemd-timesync administrators users ";
  for (const char* reserved : kPathNames) {
    if (name == reserved) return "it names a folder the WebDAV and CalDAV services serve";
  }
  if (kSystemNames.find(" " + name + " ") != std::string::npos) {
    return "it is the name of a system account or group";
  }
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      (found->pw_uid < kFirstServedUid || found->pw_uid == kNobodyUid)) {
    return "it is the name of a system account of this machine";
  }
  return nullptr;
}

bool MeetsPasswordRules(const std::string& password, const std::string& account) {
  int chars = 0;
  for (unsigned char c : password) {
    if (c < 0x20 || c == 0x7f) return false;
    if ((c & 0xc0) != 0x80) ++chars;  // continuation bytes belong to the character before
  }
  return chars >= kMinPasswordChars && chars <= kMaxPasswordChars && password != account;
}

bool LookupAccount(const std::string& name, Account* account) {
  PKIVOUSER user = nullptr;
  if (KIVOUserGet(name.c_str(), &user) != 0) return false;
  std::unique_ptr<KIVOUSER, decltype(&KIVOUserFree)> owned(user, &KIVOUserFree);
  account->name = user->name;
  account->uid = user->uid;
  account->gid = user->gid;
  account->home = user->home;
  return true;
}

bool IsAdministrator(const std::string& name) {
  return KLIBGroupIsAdminGroupMem(name.c_str(), 0) == 1;
}

AccountBar BarOf(const Account& account, const std::string& hash) {
  if (account.name == kGuestAccount) return AccountBar::kGuest;
  if (account.uid < kFirstServedUid || account.uid == kNobodyUid) return AccountBar::kSystemUid;
  if (account.gid == 0) return AccountBar::kGroupRoot;
  if (hash.size() > 1 && hash[0] == '!' && hash[1] == '$') return AccountBar::kLocked;
  if (hash.empty() || hash[0] != '$') return AccountBar::kNoPassword;
  return AccountBar::kNone;
}

const char* BarName(AccountBar bar) {
  switch (bar) {
    case AccountBar::kNone:
      return "";
    case AccountBar::kGuest:
      return "guest";
    case AccountBar::kSystemUid:
      return "system_uid";
    case AccountBar::kGroupRoot:
      return "group_root";
    case AccountBar::kLocked:
      return "locked";
    case AccountBar::kNoPassword:
      return "no_password";
  }
  return "";
}

std::vector<Account> ListAccounts(const std::string& root) {
  std::vector<Account> accounts;
  std::vector<std::string> lines;
  if (!ReadLines(InRoot(root, "/etc/passwd"), &lines)) return accounts;
  for (const std::string& line : lines) {
    const std::vector<std::string> f = Split(line, ':');
    if (f.size() < 6 || f[0].empty() || f[0][0] == '#') continue;
    Account a;
    a.name = f[0];
    a.uid = static_cast<uid_t>(std::strtoul(f[2].c_str(), nullptr, 10));
    a.gid = static_cast<gid_t>(std::strtoul(f[3].c_str(), nullptr, 10));
    a.home = f[5];
    accounts.push_back(std::move(a));
  }
  return accounts;
}

std::vector<gid_t> GroupsOf(const std::string& root, const Account& account) {
  std::vector<gid_t> groups;
  if (account.gid != 0) groups.push_back(account.gid);
  std::vector<std::string> lines;
  if (!ReadLines(InRoot(root, "/etc/group"), &lines)) return groups;
  for (const std::string& line : lines) {
    const std::vector<std::string> f = Split(line, ':');
    if (f.size() < 4 || f[3].empty()) continue;
    const gid_t gid = static_cast<gid_t>(std::strtoul(f[2].c_str(), nullptr, 10));
    const std::vector<std::string> members = Split(f[3], ',');
    if (gid != 0 && std::find(members.begin(), members.end(), account.name) != members.end()) {
      groups.push_back(gid);
    }
  }
  return groups;
}

bool MayOpenFolder(const std::string& path, const Account& account,
                   const std::vector<gid_t>& groups) {
  if (path.empty() || path[0] != '/') return false;
  const auto allowed = [&](const struct stat& st, mode_t owner_bits) {
    // The owner's bits, else the group's, else the others': never a mix.
    int shift = 0;
    if (st.st_uid == account.uid) {
      shift = 6;
    } else if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end()) {
      shift = 3;
    }
    const mode_t bits = (st.st_mode >> shift) & 7;
    return (bits & owner_bits) == owner_bits;
  };
  std::string::size_type end = 0;
  struct stat st;
  while ((end = path.find('/', end + 1)) != std::string::npos) {
    if (stat(path.substr(0, end).c_str(), &st) != 0 || !allowed(st, 1)) return false;
  }
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && allowed(st, 5);
}

namespace {

// Uids used in etc/passwd (empty when the file is missing).
std::vector<uid_t> UsedUids(const std::string& root) {
  std::vector<uid_t> uids;
  std::vector<std::string> lines;
  if (!ReadLines(InRoot(root, "/etc/passwd"), &lines)) return uids;
  for (const std::string& line : lines) {
    const std::vector<std::string> f = Split(line, ':');
    if (f.size() >= 3) uids.push_back(static_cast<uid_t>(std::strtoul(f[2].c_str(), nullptr, 10)));
  }
  return uids;
}

// Appends a line to an account file unless a line for `name` (its first
// field) is there already. *added tells which happened. Creates the file with
// `mode` when missing. False on an I/O error (logged).
bool EnsureEntry(const std::string& path, const std::string& name, const std::string& line,
                 mode_t mode, bool* added) {
  *added = false;
  kivo::base::FileLock lock(kivo::base::LockPathFor(path));
  std::vector<std::string> lines;
  if (!lock.locked() || !ReadLines(path, &lines)) return false;
  for (const std::string& existing : lines) {
    if (FirstFieldIs(existing, name)) return true;
  }
  lines.push_back(line);
  if (!kivo::base::ReplaceFile(path, Joined(lines), mode)) return false;
  *added = true;
  return true;
}

// Adds `member` to the member list of `group` in etc/group (no-op when it is
// listed). False when the group is missing or on an I/O error.
bool AddGroupMember(const std::string& root, const std::string& group, const std::string& member) {
  const std::string path = InRoot(root, "/etc/group");
  kivo::base::FileLock lock(kivo::base::LockPathFor(path));
  std::vector<std::string> lines;
  if (!lock.locked() || !ReadLines(path, &lines)) return false;
  for (std::string& line : lines) {
    if (!FirstFieldIs(line, group)) continue;
    std::vector<std::string> f = Split(line, ':');
    while (f.size() < 4) f.push_back("");
    std::vector<std::string> members;
    if (!f[3].empty()) members = Split(f[3], ',');
    for (const std::string& m : members) {
      if (m == member) return true;
    }
    f[3] += (f[3].empty() ? "" : ",") + member;
    line = f[0] + ":" + f[1] + ":" + f[2] + ":" + f[3];
    return kivo::base::ReplaceFile(path, Joined(lines), 0644);
  }
  KIVO_LOG(LOG_ERR, "no group %s in %s", group.c_str(), path.c_str());
  return false;
}

std::string PasswdLine(const std::string& root, const std::string& name, uid_t uid) {
  return name + ":x:" + std::to_string(uid) + ":" + std::to_string(kUsersGid) + ":" + name + ":" +
         InRoot(root, "/volume1/homes/" + name) + ":/bin/sh";
}

// Applies `edit` to the lines of the account file at `path` under its lock
// and replaces the file whole when `edit` answers true (it changed them).
// False on an I/O error (logged).
bool EditLines(const std::string& path, mode_t mode,
               const std::function<bool(std::vector<std::string>*)>& edit) {
  kivo::base::FileLock lock(kivo::base::LockPathFor(path));
  std::vector<std::string> lines;
  if (!lock.locked() || !ReadLines(path, &lines)) return false;
  if (!edit(&lines)) return true;
  return kivo::base::ReplaceFile(path, Joined(lines), mode);
}

}  // namespace

bool WriteFirstAccounts(const std::string& root) {
  struct Entry {
    const char* file;
    const char* name;
    std::string line;
    mode_t mode;
  };
  const Entry entries[] = {
      {"/etc/group", "root", "root:x:0:", 0644},
      {"/etc/group", "users", "users:x:100:", 0644},
      {"/etc/group", kAdministratorsGroup, "administrators:x:101:admin", 0644},
      {"/etc/passwd", "root", "root:x:0:0:root:/root:/bin/sh", 0644},
      {"/etc/passwd", "admin", PasswdLine(root, "admin", kFirstUserUid), 0644},
      {"/etc/shadow", "root", "root:*:0:0:99999:7:::", 0600},
      {"/etc/passwd", kGuestAccount,
       std::string(kGuestAccount) + ":x:" + std::to_string(kGuestUid) + ":" +
           std::to_string(kUsersGid) + ":guest:/nonexistent:/usr/sbin/nologin",
       0644},
      {"/etc/shadow", kGuestAccount, std::string(kGuestAccount) + ":!:0:0:99999:7:::", 0600},
  };
  for (const Entry& e : entries) {
    bool added = false;
    if (!EnsureEntry(InRoot(root, e.file), e.name, e.line, e.mode, &added)) return false;
  }
  return true;
}

bool WriteNewAccount(const std::string& root, const std::string& name, uid_t uid, bool admin) {
  const std::vector<uid_t> used = UsedUids(root);
  if (uid == 0) {
    uid = kFirstUserUid;
    while (std::find(used.begin(), used.end(), uid) != used.end()) ++uid;
  } else if (std::find(used.begin(), used.end(), uid) != used.end()) {
    KIVO_LOG(LOG_WARNING, "uid %u is taken", static_cast<unsigned>(uid));
    return false;
  }
  bool added = false;
  if (!EnsureEntry(InRoot(root, SZF_PASSWD), name, PasswdLine(root, name, uid), 0644, &added) ||
      !EnsureEntry(InRoot(root, SZF_SHADOW), name, name + ":!:0:0:99999:7:::", 0600, &added)) {
    return false;
  }
  return !admin || AddGroupMember(root, kAdministratorsGroup, name);
}

bool SetPasswordLocked(const std::string& root, const std::string& name, bool locked) {
  bool found = false;
  const bool ok = EditLines(InRoot(root, SZF_SHADOW), 0600, [&](std::vector<std::string>* lines) {
    for (std::string& line : *lines) {
      if (!FirstFieldIs(line, name)) continue;
      found = true;
      const std::string::size_type hash = name.size() + 1;
      const bool is_locked = line.compare(hash, 2, "!$") == 0;
      if (locked && !is_locked && line.compare(hash, 1, "$") == 0) {
        line.insert(hash, "!");
        return true;
      }
      if (!locked && is_locked) {
        line.erase(hash, 1);
        return true;
      }
      return false;
    }
    return false;
  });
  if (ok && !found) KIVO_LOG(LOG_WARNING, "%s has no line in etc/shadow", name.c_str());
  return ok && found;
}

bool RemoveAccountLines(const std::string& root, const std::string& name) {
  const auto drop_line = [&](std::vector<std::string>* lines) {
    const auto end = std::remove_if(lines->begin(), lines->end(), [&](const std::string& line) {
      return FirstFieldIs(line, name);
    });
    const bool changed = end != lines->end();
    lines->erase(end, lines->end());
    return changed;
  };
  const auto drop_member = [&](std::vector<std::string>* lines) {
    bool changed = false;
    for (std::string& line : *lines) {
      std::vector<std::string> f = Split(line, ':');
      if (f.size() < 4 || f[3].empty()) continue;
      std::vector<std::string> members = Split(f[3], ',');
      const auto end = std::remove(members.begin(), members.end(), name);
      if (end == members.end()) continue;
      members.erase(end, members.end());
      f[3].clear();
      for (const std::string& m : members) f[3] += (f[3].empty() ? "" : ",") + m;
      line = f[0];
      for (size_t i = 1; i < f.size(); ++i) line += ":" + f[i];
      changed = true;
    }
    return changed;
  };
  return EditLines(InRoot(root, SZF_SHADOW), 0600, drop_line) &&
         EditLines(InRoot(root, "/etc/group"), 0644, drop_member) &&
         EditLines(InRoot(root, SZF_PASSWD), 0644, drop_line);
}

}  // namespace host
