#include "host/hosting/root_layout.h"

#include <dirent.h>
#include <fcntl.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "base/fd.h"
#include "base/json_file.h"
#include "base/process.h"
#include "base/random_text.h"
#include "base/root_files.h"
#include "host/accounts/accounts.h"
#include "host/common/root_paths.h"
#include "host/hosting/changes_under_way.h"
#include "host/hosting/module_call.h"
#include "host/hosting/module_table.h"
#include "host/http/tls_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"
#include "platform/accounts.h"

namespace {

constexpr char kLogUnit[] = "root_layout";

}  // namespace

namespace host {

namespace {

constexpr mode_t kDirMode = 0755;

// Directories of a root, parents first.
const char* const kDirectories[] = {
    "/etc",           "/etc/kivo",       "/usr",
    "/usr/kivo",      "/usr/kivo/etc",   "/usr/kivo/etc.defaults",
    "/var",           "/var/lib",        "/var/lib/kivo",
    "/var/log",       "/var/log/kivo",   "/volume1",
    "/volume1/homes", "/volume1/public", "/volume1/homes/admin",
};

// What a calendar's state starts as; the WebDAV service fills it in later.
constexpr char kStateTemplate[] = "KIVO-DAV-STATE 1\n";

// The platform's own reserved ports, so that no service is configured on them:
// every port `serve` listens on by default (HTTP, HTTPS), the announcements'
// and SSH's (which the firewall keeps open).
constexpr char kReservedPorts[] =
    "{\n  \"webapi\": [5000, 5001],\n  \"mdns\": [5353],\n  \"ssh\": [22]\n}\n";

// Makes the directory (and missing parents) with kDirMode. Existing
// directories keep their mode: in the system's root they are the system's.
bool MakeDirectories(const std::string& path) {
  std::string partial;
  std::string::size_type pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), kDirMode) == 0) {
      if (chmod(partial.c_str(), kDirMode) != 0) {
        KIVO_LOG(LOG_ERR, "chmod %s: %s", partial.c_str(), strerror(errno));
        return false;
      }
    } else if (errno != EEXIST) {
      KIVO_LOG(LOG_ERR, "mkdir %s: %s", partial.c_str(), strerror(errno));
      return false;
    }
  }
  return true;
}

// Writes `content` into a new file; an existing file is kept as it is.
bool WriteIfMissing(const std::string& path, const std::string& content, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    if (errno == EEXIST) return true;
    KIVO_LOG(LOG_ERR, "cannot create %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  bool ok = fchmod(fd, mode) == 0 && kivo::base::WriteAll(fd, content.data(), content.size());
  if (close(fd) != 0) ok = false;
  if (!ok) KIVO_LOG(LOG_ERR, "cannot write %s: %s", path.c_str(), strerror(errno));
  return ok;
}

std::string SharesJson(const std::string& root) {
  Json::Value shares(Json::objectValue);
  shares["homes"] = InRoot(root, "/volume1/homes");
  shares["public"] = InRoot(root, "/volume1/public");
  return kivo::base::StyledJson(shares);
}

bool ReadFirstLine(const std::string& path, std::string* line) {
  std::ifstream in(path);
  if (!in) {
    KIVO_LOG(LOG_ERR, "cannot read %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  std::getline(in, *line);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// Opens `name` in the folder `dir_fd` as a folder, never through a link: a
// user who swapped a home for a link to a system folder gets nothing given.
int OpenOwnFolder(int dir_fd, const std::string& name) {
  return openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The homes share's folder, opened without following a link in its place.
int OpenHomes(const std::string& root) {
  return open(InRoot(root, "/volume1/homes").c_str(),
              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Gives a home folder to its account, private (0700), when the root knows
// the account: no other account reads, lists or writes in it, calendars
// included.
bool OwnHome(const std::string& root, const std::string& name) {
  Account account;
  if (!LookupAccount(name, &account)) return true;
  return MakePrivateHome(root, account);
}

// Every home folder init finds that belongs to an account of the root.
bool OwnFoundHomes(const std::string& root) {
  DIR* dir = opendir(InRoot(root, "/volume1/homes").c_str());
  if (dir == nullptr) return true;
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_type == DT_DIR && entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  bool ok = true;
  for (const std::string& name : names) ok = OwnHome(root, name) && ok;
  return ok;
}

// The public share: every account writes in it, and the sticky bit keeps
// each one's entries from being removed or renamed by the others.
bool OpenPublicShare(const std::string& root) {
  const std::string volume = InRoot(root, "/volume1");
  const kivo::base::Fd volume_fd(
      open(volume.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const kivo::base::Fd public_fd(volume_fd.valid() ? OpenOwnFolder(volume_fd.get(), "public") : -1);
  const int fd = public_fd.get();
  struct stat st;
  const bool ok = fd >= 0 && fstat(fd, &st) == 0 && (st.st_uid != 0 || fchmod(fd, 01777) == 0);
  if (!ok)
    KIVO_LOG(LOG_ERR, "cannot open %s/public to every account: %s", volume.c_str(),
             strerror(errno));
  return ok;
}

// Sets the admin password unless admin has one already.
bool InitAdminPassword(const std::string& password_file) {
  std::string hash;
  if (kivo::ReadPasswordHash("admin", &hash) && !hash.empty() && hash[0] == '$') {
    if (!password_file.empty()) {
      KIVO_LOG(LOG_INFO,
               "note: admin already has a password; keeping it (use 'kivo-webapi passwd admin')");
    }
    return true;
  }
  std::string password;
  const bool generated = password_file.empty();
  if (generated) {
    password = kivo::base::RandomPassword(20);
  } else if (!ReadFirstLine(password_file, &password)) {
    return false;
  }
  if (password.empty()) {
    KIVO_LOG(LOG_WARNING, "empty admin password");
    return false;
  }
  if (kivo::SetPassword("admin", password) != 0) return false;
  if (generated) std::printf("admin password: %s\n", password.c_str());
  return true;
}

bool InitAccounts(const std::string& root, const std::string& password_file) {
  return WriteFirstAccounts(root) && InitAdminPassword(password_file);
}

// Changes a stopped process left under way end at the host's start, so
// that no calendar stays hidden and no daemon half set until someone asks.
// Without the module, nothing.
void FinishChangesUnderWay() {
  ModuleTable module;
  std::string error;
  if (!module.OpenAll(DefaultModulePaths(), &error)) {
    KIVO_LOG(LOG_WARNING, "note: changes under way not looked at: %s", error.c_str());
    return;
  }
  RecoverChanges(module);
}

}  // namespace

HomeState HomeStateOf(const std::string& root, const Account& account) {
  const kivo::base::Fd homes(OpenHomes(root));
  struct stat st;
  const int found =
      !homes.valid() ? -1 : fstatat(homes.get(), account.name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
  const int error = errno;
  if (found != 0) return error == ENOENT ? HomeState::kMissing : HomeState::kNotAFolder;
  if (!S_ISDIR(st.st_mode)) return HomeState::kNotAFolder;
  if (st.st_uid != account.uid) return HomeState::kNotOwned;
  return (st.st_mode & 077) != 0 ? HomeState::kReadable : HomeState::kPrivate;
}

const char* HomeStateName(HomeState state) {
  switch (state) {
    case HomeState::kPrivate:
      return "private";
    case HomeState::kMissing:
      return "missing";
    case HomeState::kReadable:
      return "readable";
    case HomeState::kNotOwned:
      return "not_owned";
    case HomeState::kNotAFolder:
      return "not_a_folder";
  }
  return "";
}

bool MakePrivateHome(const std::string& root, const Account& account) {
  const char* name = account.name.c_str();
  const kivo::base::Fd homes(OpenHomes(root));
  const int homes_fd = homes.get();
  // Made root's and closed to all, then given away: never open to others.
  const bool made = homes_fd >= 0 && (mkdirat(homes_fd, name, 0700) == 0 || errno == EEXIST);
  const kivo::base::Fd home(made ? OpenOwnFolder(homes_fd, name) : -1);
  const int fd = home.get();
  const bool ok = fd >= 0 && fchown(fd, account.uid, account.gid) == 0 && fchmod(fd, 0700) == 0;
  if (!ok) KIVO_LOG(LOG_ERR, "cannot give the home %s to its account: %s", name, strerror(errno));
  return ok;
}

int InitRoot(const std::string& root, const std::string& admin_password_file) {
  if (!root.empty() && !MakeDirectories(root)) return 1;
  for (const char* dir : kDirectories) {
    if (!MakeDirectories(InRoot(root, dir))) return 1;
  }
  struct File {
    const char* path;
    std::string content;
    mode_t mode;
  };
  const File files[] = {
      {"/usr/kivo/etc.defaults/.state_for_dir.pag", kStateTemplate, 0644},
      {SZF_KIVOINFO_CONF, "", 0644},
      {SZF_SHARES_JSON, SharesJson(root), 0644},
      {SZF_PORTS_JSON, kReservedPorts, 0644},
      {SZF_SERVICES_JSON, "{}\n", 0644},
  };
  for (const File& f : files) {
    if (!WriteIfMissing(InRoot(root, f.path), f.content, f.mode)) return 1;
  }
  if (IsSystemRoot(root)) {
    KIVO_LOG(LOG_INFO,
             "note: system root: etc/passwd, etc/group and etc/shadow are left to the system");
  } else if (!InitAccounts(root, admin_password_file)) {
    return 1;
  }
  if (!EnsureTlsFiles(root)) return 1;
  if (!OpenPublicShare(root) || !OwnFoundHomes(root)) return 1;
  FinishChangesUnderWay();
  return 0;
}

namespace {

// In the system's root the account files are the system's: its useradd
// writes them (with its locks and its uid range), without a home of its
// making, since Debian's would be 0755 or under /home.
bool SystemUserAdd(const std::string& name, uid_t uid, bool admin) {
  std::vector<std::string> argv = {"/usr/sbin/useradd",
                                   "--gid",
                                   "users",
                                   "--home-dir",
                                   "/volume1/homes/" + name,
                                   "--no-create-home",
                                   "--shell",
                                   "/usr/sbin/nologin",
                                   "--comment",
                                   name};
  if (uid != 0) argv.insert(argv.end(), {"--uid", std::to_string(uid)});
  if (admin) argv.insert(argv.end(), {"--groups", kAdministratorsGroup});
  argv.push_back(name);
  std::string output;
  const int status = kivo::base::RunCaptured(argv, &output);
  if (status != 0) {
    KIVO_LOG(LOG_ERR, "useradd %s failed (%d): %s", name.c_str(), status, output.c_str());
    return false;
  }
  return true;
}

}  // namespace

NewNameBar JudgeNewAccountName(const std::string& name, std::string* why) {
  Account existing;
  if (!IsValidUserName(name)) {
    *why = "invalid user name '" + name + "'";
    return NewNameBar::kInvalid;
  }
  if (const char* reason = ReservedNameReason(name)) {
    *why = "'" + name + "' cannot be an account: " + reason + "; choose another name";
    return NewNameBar::kReserved;
  }
  if (LookupAccount(name, &existing)) {
    *why = "user " + name + " exists";
    return NewNameBar::kExists;
  }
  return NewNameBar::kNone;
}

int AddUser(const std::string& root, const std::string& name, uid_t uid, bool admin) {
  std::string why;
  if (JudgeNewAccountName(name, &why) != NewNameBar::kNone) {
    KIVO_LOG(LOG_WARNING, "%s", why.c_str());
    return 1;
  }
  if (IsSystemRoot(root)) {
    if (!SystemUserAdd(name, uid, admin) || !MakeDirectories(InRoot(root, "/volume1/homes"))) {
      return 1;
    }
    return OwnHome(root, name) ? 0 : 1;
  }
  if (!WriteNewAccount(root, name, uid, admin)) return 1;
  if (!MakeDirectories(InRoot(root, "/volume1/homes"))) return 1;
  return OwnHome(root, name) ? 0 : 1;
}

}  // namespace host
