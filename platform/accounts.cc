// User and group lookups and passwords, read from the root's own account
// files with fopen + fgetXXent_r (never getpwnam and friends, which would
// consult the machine's /etc and its name services).

#include "platform/accounts.h"

#include <crypt.h>
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <shadow.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/file_stamp.h"
#include "base/last_error.h"
#include "base/root_files.h"
#include "kivo/account_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "accounts";
constexpr char kPasswdPath[] = "/etc/passwd";
constexpr char kGroupPath[] = "/etc/group";
constexpr char kShadowPath[] = "/etc/shadow";
constexpr char kAdminGroup[] = "administrators";

enum class Scan { kFound, kEnd, kError };

// Walks the entries of one account file until `visit` returns true. Reader
// is fgetpwent_r, fgetgrent_r or fgetspent_r.
template <typename Entry, typename Reader, typename Visit>
Scan ScanFile(const char* system_path, Reader read, Visit visit) {
  std::string path = kivo::RootedPath(system_path);
  FILE* file = kivo::base::OpenAccountFile(path);
  if (file == nullptr) {
    kivo::base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "cannot read %s: %s", path.c_str(), strerror(errno));
    return Scan::kError;
  }
  std::vector<char> buffer(4096);
  Scan result = Scan::kEnd;
  for (;;) {
    Entry entry;
    Entry* found = nullptr;
    int rc = read(file, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE) {
      buffer.resize(buffer.size() * 2);  // the reader rewinds to the entry's start
      continue;
    }
    if (rc == ENOENT) break;
    if (rc != 0 || found == nullptr) {
      kivo::base::SetLastError(rc != 0 ? rc : EIO);
      KIVO_LOG(LOG_ERR, "reading %s failed: %s", path.c_str(), strerror(rc));
      result = Scan::kError;
      break;
    }
    if (visit(*found)) {
      result = Scan::kFound;
      break;
    }
  }
  fclose(file);
  return result;
}

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

Scan FindAccount(const char* name, Account* account) {
  return ScanFile<struct passwd>(kPasswdPath, fgetpwent_r, [&](const struct passwd& pw) {
    if (strcmp(pw.pw_name, name) != 0) return false;
    account->name = pw.pw_name;
    account->uid = pw.pw_uid;
    account->gid = pw.pw_gid;
    account->home = pw.pw_dir != nullptr ? pw.pw_dir : "";
    return true;
  });
}

// Who is an administrator, as etc/passwd and etc/group say.
struct AdminTable {
  std::map<std::string, gid_t> primary_gid;  // every user
  bool has_group = false;
  gid_t group_gid = 0;
  std::set<std::string> members;

  bool Read() {
    Scan scan = ScanFile<struct passwd>(kPasswdPath, fgetpwent_r, [&](const struct passwd& pw) {
      primary_gid.emplace(pw.pw_name, pw.pw_gid);  // the first line of a name counts
      return false;
    });
    if (scan == Scan::kError) return false;
    scan = ScanFile<struct group>(kGroupPath, fgetgrent_r, [&](const struct group& g) {
      if (strcmp(g.gr_name, kAdminGroup) != 0) return false;
      has_group = true;
      group_gid = g.gr_gid;
      for (char** member = g.gr_mem; member != nullptr && *member != nullptr; ++member) {
        members.insert(*member);
      }
      return true;
    });
    return scan != Scan::kError;
  }
};

// Asked on every web API call: the table is kept while both files stay the same.
bool CurrentAdminTable(std::shared_ptr<const AdminTable>* table) {
  static auto* cache = new kivo::base::StampedValue<std::shared_ptr<const AdminTable>>();
  return cache->Get({kivo::RootedPath(kPasswdPath).c_str(), kivo::RootedPath(kGroupPath).c_str()},
                    table, [](std::shared_ptr<const AdminTable>* fresh) {
                      auto read = std::make_shared<AdminTable>();
                      if (!read->Read()) return false;
                      *fresh = std::move(read);
                      return true;
                    });
}

int IsAdmin(const char* user) {
  if (user == nullptr || user[0] == '\0') {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "admin test without a user");
    return -1;
  }
  std::shared_ptr<const AdminTable> table;
  if (!CurrentAdminTable(&table)) return -1;
  const auto it = table->primary_gid.find(user);
  if (it == table->primary_gid.end()) {
    kivo::base::SetLastError(ENOENT);
    KIVO_LOG(LOG_WARNING, "no user %s", user);
    return -1;
  }
  if (!table->has_group) return 0;
  return it->second == table->group_gid || table->members.count(user) > 0 ? 1 : 0;
}

int GetUser(const char* name, PKIVOUSER* user) {
  if (user == nullptr) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "user lookup without a result place");
    return -1;
  }
  *user = nullptr;
  if (name == nullptr || name[0] == '\0') {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "user lookup without a name");
    return -1;
  }
  Account account;
  Scan scan = FindAccount(name, &account);
  if (scan != Scan::kFound) {
    if (scan == Scan::kEnd) kivo::base::SetLastError(ENOENT);
    return -1;
  }
  PKIVOUSER record = static_cast<PKIVOUSER>(calloc(1, sizeof(KIVOUSER)));
  if (record == nullptr) {
    kivo::base::SetLastError(ENOMEM);
    KIVO_LOG(LOG_ERR, "out of memory");
    return -1;
  }
  record->name = strdup(account.name.c_str());
  record->home = strdup(account.home.c_str());
  record->uid = account.uid;
  record->gid = account.gid;
  if (record->name == nullptr || record->home == nullptr) {
    KIVOUserFree(record);
    kivo::base::SetLastError(ENOMEM);
    KIVO_LOG(LOG_ERR, "out of memory");
    return -1;
  }
  *user = record;
  return 0;
}

// ---- passwords --------------------------------------------------------------

bool SameText(const char* a, const char* b) {
  // Constant time in the hash length, so a wrong guess teaches nothing.
  size_t la = strlen(a), lb = strlen(b);
  unsigned char diff = la == lb ? 0 : 1;
  for (size_t i = 0; i < la && i < lb; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool NewHash(const std::string& password, std::string* hash) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) == nullptr &&
      crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt) == nullptr) {
    kivo::base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "crypt_gensalt failed: %s", strerror(errno));
    return false;
  }
  auto data = std::make_unique<struct crypt_data>();
  const char* result = crypt_r(password.c_str(), salt, data.get());
  if (result == nullptr || result[0] == '*') {
    kivo::base::SetLastError(errno != 0 ? errno : EINVAL);
    KIVO_LOG(LOG_ERR, "crypt failed");
    return false;
  }
  *hash = result;
  return true;
}

// What a login without a usable hash is checked against: a hash of the
// same kind as real ones, made once. Nothing ever matches it, since the
// caller has decided the outcome already. Empty when hashing fails.
const std::string& DummyHash() {
  static const std::string dummy = [] {
    std::string hash;
    return NewHash("unusable", &hash) ? hash : std::string();
  }();
  return dummy;
}

bool SafeAccountText(const std::string& text) {
  return !text.empty() && text.find_first_of(":\n\r") == std::string::npos;
}

// The shadow file with the hash (and the day of the change) of `user` set.
std::string WithHash(const std::string& content, const std::string& user, const std::string& hash) {
  const std::string day = std::to_string(time(nullptr) / 86400);
  std::string updated;
  bool replaced = false;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    start = end + 1;
    if (!replaced && line.compare(0, user.size() + 1, user + ":") == 0) {
      // name:hash:lastchg:rest
      size_t hash_end = line.find(':', user.size() + 1);
      size_t day_end =
          hash_end == std::string::npos ? std::string::npos : line.find(':', hash_end + 1);
      std::string rest = day_end == std::string::npos ? ":0:99999:7:::" : line.substr(day_end);
      line = user + ":" + hash + ":" + day + rest;
      replaced = true;
    }
    updated += line + "\n";
  }
  if (!replaced) updated += user + ":" + hash + ":" + day + ":0:99999:7:::\n";
  return updated;
}

}  // namespace

namespace kivo {

bool ReadPasswordHash(const std::string& user, std::string* hash) {
  return base::Guarded(false, [&] {
    if (!SafeAccountText(user)) return false;
    Scan scan = ScanFile<struct spwd>(kShadowPath, fgetspent_r, [&](const struct spwd& sp) {
      if (user != sp.sp_namp) return false;
      *hash = sp.sp_pwdp != nullptr ? sp.sp_pwdp : "";
      return true;
    });
    return scan == Scan::kFound;
  });
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
  return base::Guarded(false, [&] {
    // Empty, locked ("!...") and disabled ("*") hashes admit nobody; they are
    // checked against a throwaway hash of the same kind so that the refusal
    // takes as long as a wrong password would.
    const bool usable = !hash.empty() && hash[0] != '!' && hash[0] != '*';
    // crypt reads up to the first NUL: a password is compared whole or not at all.
    const bool whole = password.find('\0') == std::string::npos;
    const std::string& against = usable ? hash : DummyHash();
    auto data = std::make_unique<struct crypt_data>();
    const char* result = crypt_r(password.c_str(), against.c_str(), data.get());
    return usable && whole && result != nullptr && result[0] != '*' &&
           SameText(result, hash.c_str());
  });
}

bool VerifyPassword(const std::string& user, const std::string& password) {
  std::string stored;
  if (!ReadPasswordHash(user, &stored)) stored.clear();
  return PasswordMatches(password, stored);
}

int SetPassword(const std::string& user, const std::string& password) {
  return base::Guarded(-1, [&] {
    if (!SafeAccountText(user) || password.find('\0') != std::string::npos) {
      base::SetLastError(EINVAL);
      KIVO_LOG(LOG_WARNING, "password change refused for [%s]", user.c_str());
      return -1;
    }
    Account account;
    if (FindAccount(user.c_str(), &account) != Scan::kFound) {
      KIVO_LOG(LOG_WARNING, "no account %s for a password", user.c_str());
      return -1;
    }
    std::string hash;
    if (!NewHash(password, &hash)) return -1;
    std::string path = RootedPath(kShadowPath);
    base::FileLock lock(base::LockPathFor(path));
    if (!lock.locked()) return -1;
    // The system's own shadow file is also the system's tools' (passwd,
    // chpasswd, usermod): take their lock too, for as long as ours.
    const bool system_file = path == kShadowPath;
    if (system_file && lckpwdf() != 0) {
      base::SetLastError(errno);
      KIVO_LOG(LOG_ERR, "cannot lock the system's account files: %s", strerror(errno));
      return -1;
    }
    struct Unlock {
      bool held;
      ~Unlock() {
        if (held) ulckpwdf();
      }
    } unlock{system_file};
    std::string content;
    bool missing = false;
    if (!base::ReadWholeFile(path, &content, &missing, KIVO_ACCOUNT_FILE_MAX)) return -1;
    return base::ReplaceFile(path, WithHash(content, user, hash), 0640) ? 0 : -1;
  });
}

}  // namespace kivo

extern "C" {

int KIVOUserGet(const char* name, PKIVOUSER* user) {
  return kivo::base::Guarded(-1, [&] { return GetUser(name, user); });
}

void KIVOUserFree(PKIVOUSER user) {
  if (user == nullptr) return;
  free(user->name);
  free(user->home);
  free(user);
}

int KLIBGroupIsAdminGroupMem(const char* user, int /*flags*/) {
  return kivo::base::Guarded(-1, [&] { return IsAdmin(user); });
}

}  // extern "C"
