#include "caldav/calendar_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivo/error_codes.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace caldav {

namespace {

constexpr char kLogUnit[] = "caldav_calendar";
// The flags a state file is known by in the log; it is opened exclusively.
constexpr int kStateFileFlags = O_WRONLY | O_CREAT | O_TRUNC | O_SYNC;
constexpr char kStoreDir[] = "/.DAV/";
constexpr char kStatePag[] = ".state_for_dir.pag";
constexpr char kStateDir[] = ".state_for_dir.dir";

constexpr char kStoreName[] = ".DAV";

// A folder that cannot be given to the user stays usable by the service,
// which runs as root: the calendar is made all the same.
void GiveToUser(int fd, uid_t uid, gid_t gid) {
  const int ignored = fchownat(fd, "", uid, gid, AT_EMPTY_PATH);
  (void)ignored;
}

// The directory `name` in `parent` as this identity has just made it: a
// link, or a folder someone else put in its place, is refused.
kivo::base::Fd OpenOwnDirectory(int parent, const std::string& name) {
  kivo::base::Fd fd = kivo::base::pinned::OpenChild(parent, name);
  struct stat st;
  if (fd.valid() && (fstat(fd.get(), &st) != 0 || st.st_uid != geteuid())) {
    errno = EEXIST;
    return kivo::base::Fd();
  }
  return fd;
}

// Paths the service reaches by name must fit the system's limit, even where
// the module itself works relative to a descriptor.
bool FitsPath(const std::string& path) {
  if (path.size() < PATH_MAX) return true;
  errno = ENAMETOOLONG;
  return false;
}

// The copy of the template gets the template's permission bits.
mode_t TemplateMode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0600;
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The supplementary groups `login` has with the primary group `gid`, as the
// group database lists them (what initgroups would set, without setting it
// for the whole process).
bool UserGroups(const std::string& login, gid_t gid, std::vector<gid_t>* groups) {
  int count = 32;
  for (int tries = 0; tries < 4; ++tries) {
    groups->resize(static_cast<size_t>(count));
    const int wanted = count;
    if (getgrouplist(login.c_str(), gid, groups->data(), &count) >= 0) {
      groups->resize(static_cast<size_t>(count));
      return true;
    }
    if (count <= wanted) count = wanted * 2;  // some databases do not say how many
  }
  return false;
}

}  // namespace

CalendarFolder::CalendarFolder(CalendarLocation* location, CalendarIdentity* identity,
                               int* error_code)
    : location_(location), identity_(identity), error_code_(error_code) {}

// A create cut short by an exception leaves no folder without an entry.
CalendarFolder::~CalendarFolder() {
  try {
    if (made_.folder.valid()) RemoveMade();
  } catch (...) {
  }
}

// ---- identity -------------------------------------------------------------------------

bool CalendarFolder::ActAsMaker(kivo::base::ThreadIdentity* as_user, const std::string& login,
                                Maker* maker) {
  bool result = false;
  PKIVOUSER user = nullptr;
  kivo_thread_step step = KIVO_THREAD_DONE;
  std::vector<gid_t> groups;
  int admin = 0;

  if (maker == nullptr) {
    KIVO_LOG(LOG_WARNING, "Wrong paramter");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }
  if (KIVOUserGet(login.c_str(), &user) != 0 || user == nullptr) {
    KIVO_LOG(LOG_ERR, "Fail to KIVOUserGet");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }
  maker->gid = user->gid;
  maker->uid = user->uid;

  admin = KLIBGroupIsAdminGroupMem(login.c_str(), 0);
  maker->admin = admin == 1    ? Maker::Admin::kMember
                 : admin == -1 ? Maker::Admin::kTestFailed
                               : Maker::Admin::kNotMember;
  if (maker->admin == Maker::Admin::kMember) {  // an administrator is served as root
    result = true;
    goto end;
  }
  if (maker->admin == Maker::Admin::kTestFailed) {
    KIVO_LOG(LOG_ERR, "Check admin group failed for user==%s", login.c_str());
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }

  if (maker->gid == static_cast<gid_t>(-1)) {
    KIVO_LOG(LOG_ERR, "Failed to get gid for user=%s", login.c_str());
  } else if (!UserGroups(login, maker->gid, &groups)) {
    KIVO_LOG(LOG_ERR, "Failed to initgroup for user=%s", login.c_str());
  } else if (maker->uid == static_cast<uid_t>(-1)) {
    KIVO_LOG(LOG_ERR, "Failed to get uid for user=%s", login.c_str());
  } else {
    // Supplementary groups first, then the effective group, then the user;
    // the scope takes the thread back to root.
    step = as_user->Take(maker->uid, maker->gid, groups);
    switch (step) {
      case KIVO_THREAD_DONE:
        result = true;
        break;
      case KIVO_THREAD_ROOT:
      case KIVO_THREAD_GROUPS:
        KIVO_LOG(LOG_ERR, "Failed to initgroup for user=%s", login.c_str());
        break;
      case KIVO_THREAD_GID:
        KIVO_LOG(LOG_ERR, "Failed to set gid for user=%s", login.c_str());
        break;
      case KIVO_THREAD_UID:
      case KIVO_THREAD_LOST:
        KIVO_LOG(LOG_ERR, "Failed to set uid for user=%s", login.c_str());
        break;
    }
  }
  if (!result) Fail(WEBAPI_ERR_OPERATION_FAILED);

end:
  if (user != nullptr) KIVOUserFree(user);
  return result;
}

// ---- making a calendar ------------------------------------------------------------

// The parent is a resolved path: opened whole, refusing a link or ".." at
// any component (from the share down or from the top, the same walk).
kivo::base::Fd CalendarFolder::OpenParent(const CalendarLocation::Place& place) {
  return kivo::base::pinned::OpenDirectory(place.parent);
}

bool CalendarFolder::Make(kivo::base::ThreadIdentity* as_user, const std::string& path,
                          const CalendarLocation::Place& place, bool root_for_homes,
                          const Maker& maker) {
  const bool give_to_user = root_for_homes || maker.admin == Maker::Admin::kMember;
  KIVOVOLINFO volume;
  std::string parent, name;
  made_ = Made();

  // A user may not be able to write the homes share itself; home folders
  // are made as root and given to the user below.
  if (root_for_homes && !as_user->GiveBack()) {
    KIVO_LOG(LOG_ERR, "Failed to set uid back to root, reason=%s", strerror(errno));
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }

  if (KIVOMountVolInfoGet(path.c_str(), &volume) < 0) {
    KIVO_LOG(LOG_ERR, "Fail to get vol info.");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  if (volume.writable == 0) {
    KIVO_LOG(LOG_WARNING, "Read Only Volume.[%s]", path.c_str());
    Fail(WEBAPI_ERR_READ_ONLY_VOLUME);
    return false;
  }
  // The parent, as the location check resolved it, is opened from its
  // share without links once; the folder is made in it, and from here on
  // every step acts on the folder's own descriptor.
  CalendarLocation::Place judged = place;
  if (judged.path != path && !(kivo::base::pinned::SplitLast(path, &parent, &name) &&
                               location_->Judge(parent.c_str(), path.c_str(), &judged))) {
    judged = CalendarLocation::Place();
  }
  name = judged.name;
  if (!name.empty()) made_.parent = OpenParent(judged);
  if (!made_.parent.valid() || mkdirat(made_.parent.get(), name.c_str(), 0777) < 0) {
    KIVO_LOG(LOG_ERR, "Fail to create calendar dir.");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    made_ = Made();  // nothing was made: nothing to take away
    return false;
  }
  made_.name = name;
  made_.folder = OpenOwnDirectory(made_.parent.get(), name);
  if (!made_.folder.valid()) {
    // Renamed away or replaced before it could be opened: not ours any more.
    KIVO_LOG(LOG_ERR, "Fail to create calendar dir.");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    made_ = Made();
    return false;
  }
  if (give_to_user) GiveToUser(made_.folder.get(), maker.uid, maker.gid);

  const std::string store = path + kStoreDir;
  if (!FitsPath(store) || mkdirat(made_.folder.get(), kStoreName, 0777) < 0 ||
      !(made_.store = OpenOwnDirectory(made_.folder.get(), kStoreName)).valid()) {
    KIVO_LOG(LOG_ERR, "Fail to create calendar .DAV dir.");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    RemoveMade();
    return false;
  }
  if (give_to_user) GiveToUser(made_.store.get(), maker.uid, maker.gid);
  return true;
}

// Both state files are made new (never through a link or onto a file that
// someone placed in .DAV meanwhile) and filled through their descriptor;
// the platform's copy reaches the template's copy by that descriptor too.
bool CalendarFolder::MakeStateFiles(const std::string& path, uid_t uid, gid_t gid) {
  const std::string store = path + kStoreDir;
  const std::string pag = store + kStatePag;
  const std::string dir = store + kStateDir;
  const std::string template_path = kivo::RootedPath(SZF_STATE_TEMPLATE);
  KIVOCOPYOPT options;
  memset(&options, 0, sizeof options);
  options.overwrite = 1;
  options.uid = uid;
  options.gid = gid;
  // Writable by its maker until filled, whatever the template's bits.
  const kivo::base::Fd copy = CreateStateFile(pag, kStatePag, 0600, 0);
  if (!copy.valid() ||
      KIVOFileCopy(template_path.c_str(), DescriptorPath(copy.get()).c_str(), &options) != 0 ||
      fchmod(copy.get(), TemplateMode(template_path)) != 0) {
    KIVO_LOG(LOG_ERR, "Fail to cp calendar data for .state_for_dir.pag:%X",
             copy.valid() ? KLIBCErrGet() : errno);
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  const kivo::base::Fd state = CreateStateFile(dir, kStateDir, 0777, O_SYNC);
  if (!state.valid()) {
    KIVO_LOG(LOG_ERR, "open(%s, %d) failed, reason=%s\n", dir.c_str(), kStateFileFlags,
             strerror(errno));
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  return true;
}

kivo::base::Fd CalendarFolder::CreateStateFile(const std::string& path, const char* name,
                                               mode_t mode, int extra_flags) {
  if (!FitsPath(path)) return kivo::base::Fd();
  return kivo::base::Fd(openat(made_.store.get(), name,
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | extra_flags,
                               mode));
}

bool CalendarFolder::SyncMade() {
  // The parent is held O_PATH, which takes no fsync.
  const kivo::base::Fd parent(
      made_.parent.valid() ? openat(made_.parent.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                           : -1);
  if (parent.valid() && fsync(parent.get()) == 0) return true;
  const int error = made_.parent.valid() ? errno : EBADF;
  KIVO_LOG(LOG_ERR, "cannot sync the folder of a new calendar, reason=%s", strerror(error));
  Fail(WEBAPI_ERR_OPERATION_FAILED);
  errno = error;
  return false;
}

void CalendarFolder::KeepMade() { made_ = Made(); }

void CalendarFolder::RemoveMade() {
  if (made_.folder.valid())
    kivo::base::pinned::RemoveTree(made_.parent.get(), made_.name, made_.folder);
  made_ = Made();
}

// ---- identity of a made folder ------------------------------------------------------

std::string CalendarFolder::BeginCreate(const std::string& id, const std::string& parent,
                                        const std::string& name) {
  const std::string token = CalendarIdentity::NewToken();
  if (token.empty()) {
    KIVO_LOG(LOG_ERR, "cannot draw a calendar's token");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return "";
  }
  // Where the folder will be, as root sees it now: only a place to look,
  // opened again without links, and only a folder that carries the token
  // or is still as freshly made is ever taken away there.
  const std::unique_ptr<char, decltype(&free)> canonical(realpath(parent.c_str(), nullptr), &free);
  if (canonical != nullptr) {
    Json::Value change(Json::objectValue);
    change["op"] = "create";
    change["id"] = id;
    change["token"] = token;
    change["from"] = canonical.get();
    change["name"] = name;
    identity_->Begin(change);
  }
  return token;
}

bool CalendarFolder::MarkMade(const std::string& id, const std::string& token) {
  if (!made_.folder.valid()) {
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  switch (identity_->Put(made_.folder.get(), token)) {
    case CalendarIdentity::kMarked:
      identity_->Record(id, token);
      return true;
    case CalendarIdentity::kUnsupported:
      identity_->Record(id, "");  // known by name only, as before tokens
      return true;
    default:
      Fail(WEBAPI_ERR_OPERATION_FAILED);
      return false;
  }
}

// ---- the one judgement of a registered calendar's folder ---------------------------

const CalendarFolder::OpenedShare& CalendarFolder::OpenShare(const std::string& dir) {
  auto opened = opened_shares_.find(dir);
  if (opened == opened_shares_.end()) {
    opened = opened_shares_.emplace(dir, OpenedShare()).first;
    OpenedShare& share = opened->second;
    share.fd.Reset(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::unique_ptr<char, decltype(&free)> canonical(realpath(dir.c_str(), nullptr), &free);
    if (canonical == nullptr) share.fd.Reset();
    if (canonical != nullptr) share.canonical = canonical.get();
  }
  return opened->second;
}

// Most calendars hold no link and no "..": their parent opens below the
// share's directory in one lookup that follows nothing. Anything else is
// resolved by name, as stat(2) would, and then has to land directly in a
// folder of a share; it is opened again from that share without following
// anything, so that a link swapped in meanwhile makes the open fail.
void CalendarFolder::Resolve(const Json::Value& entry, Resolved* out) {
  *out = Resolved();
  std::string folder = "./";
  const CalendarLocation::Share* share = location_->FolderInShare(entry, folder);
  if (share == nullptr) return;  // no such share: no folder in it
  const OpenedShare& dir = OpenShare(share->dir);
  if (!dir.fd.valid()) return;
  std::string parent, name;
  if (kivo::base::pinned::SplitLast(folder, &parent, &name) && name != "." && name != "..") {
    kivo::base::Fd at = kivo::base::pinned::OpenBeneath(dir.fd.get(), parent);
    struct stat st;
    if (at.valid()) {
      if (fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return;
      } else if (S_ISDIR(st.st_mode)) {
        // Open for reading: its identity is read through this descriptor.
        out->folder.Reset(
            openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!out->folder.valid()) return;  // gone in the instant
        out->parent = std::move(at);
        out->name = name;
        out->kind = Resolved::kFolder;
        return;
      } else if (!S_ISLNK(st.st_mode)) {
        out->kind = Resolved::kNotFolder;
        return;
      }
    } else if (errno == ENOENT) {
      return;
    }
  }
  const int below = kivo::base::pinned::LookUpBelow(dir.fd.get(), dir.canonical, folder);
  if (below != 0 && below != EXDEV) {
    out->kind = below == ENOTDIR ? Resolved::kNotFolder : Resolved::kGone;
    return;
  }
  if (!ResolveByName(share->dir + "/" + folder, out) && below == EXDEV) {
    out->kind = Resolved::kOutside;
  }
}

bool CalendarFolder::ResolveByName(const std::string& full, Resolved* out) {
  const std::unique_ptr<char, decltype(&free)> canonical(realpath(full.c_str(), nullptr), &free);
  if (canonical == nullptr) return false;
  CalendarLocation::Place place;
  std::string parent, name;
  if (!kivo::base::pinned::SplitLast(canonical.get(), &parent, &name) ||
      !location_->Judge(parent.c_str(), canonical.get(), &place)) {
    out->kind = Resolved::kOutside;
    return true;
  }
  out->parent = OpenParent(place);
  if (out->parent.valid())
    out->folder = kivo::base::pinned::OpenChild(out->parent.get(), place.name);
  if (!out->folder.valid()) {
    out->kind = errno == ENOENT ? Resolved::kGone : Resolved::kNotFolder;
    return true;
  }
  out->parent_path = place.parent;
  out->name = place.name;
  out->kind = Resolved::kFolder;
  // The entry names the folder by a link: the link goes with the folder.
  struct stat st;
  std::string link_parent, link_name;
  CalendarLocation::Place at;
  if (lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
      kivo::base::pinned::SplitLast(full, &link_parent, &link_name) &&
      location_->Judge(link_parent.c_str(), full.c_str(), &at)) {
    out->link_parent = OpenParent(at);
    out->link_name = at.name;
  }
  return true;
}

// The store's state file, looked up from the folder without following a
// link, or else as stat(2) would, as long as it lies in a share.
bool CalendarFolder::HoldsStore(const Resolved& folder) {
  static const std::string kState = std::string(kStoreName) + "/" + kStatePag;
  if (kivo::base::pinned::PlainlyBelow(folder.folder.get(), kState)) return true;
  const std::string path = "/proc/self/fd/" + std::to_string(folder.folder.get()) + "/" + kState;
  const std::unique_ptr<char, decltype(&free)> canonical(realpath(path.c_str(), nullptr), &free);
  std::string parent, name;
  return canonical != nullptr && kivo::base::pinned::SplitLast(canonical.get(), &parent, &name) &&
         location_->Judge(parent.c_str(), canonical.get(), nullptr);
}

CalendarFolder::Found CalendarFolder::Identify(const std::string& id, Resolved* folder) {
  std::string want, have;
  const bool recorded = identity_->TokenOf(id, &want);
  if (recorded && want.empty()) return Found::kOwn;  // known by name only
  const CalendarIdentity::Mark mark = identity_->Get(folder->folder.get(), &have);
  if (recorded) {
    if (mark == CalendarIdentity::kMarked && have == want) {
      folder->token = want;
      return Found::kOwn;
    }
    return Found::kForeign;
  }
  // A calendar from before tokens: its folder as it is now, unless it is
  // another calendar's, or a collection of another kind. A folder marked by
  // a call whose record was never written keeps the mark it has.
  if (CarriesOtherKind(identity_->kind(), folder->folder.get())) return Found::kForeign;
  if (mark == CalendarIdentity::kMarked) {
    if (identity_->TokenInUse(have)) return Found::kForeign;
    identity_->Record(id, have);
    folder->token = have;
    return Found::kOwn;
  }
  if (mark == CalendarIdentity::kUnreadable) return Found::kForeign;
  const std::string token = CalendarIdentity::NewToken();
  if (token.empty()) return Found::kForeign;
  switch (identity_->Put(folder->folder.get(), token)) {
    case CalendarIdentity::kMarked:
      identity_->Record(id, token);
      folder->token = token;
      return Found::kOwn;
    case CalendarIdentity::kUnsupported:
      identity_->Record(id, "");
      return Found::kOwn;
    default:
      return Found::kForeign;
  }
}

// A list checks every registered calendar: most hold no link and no "..",
// and their folder opens below the share's directory in one lookup that
// follows nothing; the path grows in a buffer kept by this object. The rest
// take the one judgement's longer road.
const char* CalendarFolder::Status(const Json::Value& entry, const std::string& id) {
  std::string& path = status_path_;
  path.assign("./");
  const CalendarLocation::Share* share = location_->FolderInShare(entry, path);
  if (share == nullptr) return "noexist";
  const OpenedShare& dir = OpenShare(share->dir);
  if (!dir.fd.valid()) return "noexist";  // no share directory, no folder in it
  const size_t slash = path.rfind('/');
  const char* last = path.c_str() + slash + 1;
  if (*last != '\0' && strcmp(last, ".") != 0 && strcmp(last, "..") != 0) {
    // A whole calendar reached without a link: its token read by name
    // (the folder's own name not followed). A swap in the instant between
    // can only make this one answer "crashed"; nothing is acted on.
    const size_t folder_end = path.size();
    path += '/';
    path += kStoreName;
    path += '/';
    path += kStatePag;
    if (kivo::base::pinned::PlainlyBelow(dir.fd.get(), path)) {
      path.resize(folder_end);
      std::string want;
      if (identity_->TokenOf(id, &want) && !want.empty()) {
        const std::string full = dir.canonical + "/" + path;
        char have[128];
        const ssize_t n = lgetxattr(full.c_str(), identity_->kind().attribute, have, sizeof have);
        return n >= 0 && want.compare(0, std::string::npos, have, static_cast<size_t>(n)) == 0
                   ? "normal"
                   : "crashed";
      }
    }
    path.resize(folder_end);
  }
  Resolved folder;
  Resolve(entry, &folder);
  switch (folder.kind) {
    case Resolved::kGone:
      return "noexist";
    case Resolved::kOutside:
    case Resolved::kNotFolder:
      return "crashed";
    case Resolved::kFolder:
      break;
  }
  if (Identify(id, &folder) != Found::kOwn) return "crashed";
  return HoldsStore(folder) ? "normal" : "crashed";
}

// ---- removing and moving registered folders -----------------------------------------

CalendarFolder::Found CalendarFolder::Prepare(const Json::Value& entry, const std::string& id) {
  Resolve(entry, &prepared_);
  if (prepared_.kind == Resolved::kOutside) {
    std::string path;
    location_->FullPath(entry, path);
    KIVO_LOG(LOG_WARNING, "Path [%s] is not a calendar folder", path.c_str());
  }
  if (prepared_.kind != Resolved::kFolder) return Found::kNone;
  if (prepared_.parent_path.empty()) {
    // The parent's path as the kernel knows its descriptor: what a change
    // under way records, to find it again.
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", prepared_.parent.get());
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0 || path[0] != '/') {
      KIVO_LOG(LOG_ERR, "cannot tell where a calendar folder is, reason=%s", strerror(errno));
      return Found::kNone;
    }
    prepared_.parent_path.assign(path, static_cast<size_t>(n));
  }
  const Found found = Identify(id, &prepared_);
  if (found == Found::kForeign) {
    KIVO_LOG(LOG_WARNING, "the folder at [%s/%s] is not the calendar %s",
             prepared_.parent_path.c_str(), prepared_.name.c_str(), id.c_str());
  }
  return found;
}

void CalendarFolder::RemoveLink(const Resolved& folder) {
  struct stat st;
  if (folder.link_parent.valid() &&
      fstatat(folder.link_parent.get(), folder.link_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    unlinkat(folder.link_parent.get(), folder.link_name.c_str(), 0);
  }
}

bool CalendarFolder::Remove(const std::string& id) {
  Resolved& folder = prepared_;
  if (folder.kind != Resolved::kFolder) return true;
  if (!folder.token.empty()) {
    Json::Value change(Json::objectValue);
    change["op"] = "delete";
    change["id"] = id;
    change["token"] = folder.token;
    change["from"] = folder.parent_path;
    change["name"] = folder.name;
    identity_->Begin(change);
    if (!identity_->Save()) return false;
  }
  const bool removed =
      kivo::base::pinned::RemoveTree(folder.parent.get(), folder.name, folder.folder);
  if (removed) RemoveLink(folder);
  return true;
}

bool CalendarFolder::Move(const std::string& id, const std::string& new_id,
                          const Json::Value& new_entry, const CalendarLocation::Place& target) {
  Resolved& from = prepared_;
  if (from.kind != Resolved::kFolder) return false;
  const kivo::base::Fd to = OpenParent(target);
  if (!to.valid()) return false;
  if (!from.token.empty()) {
    Json::Value change(Json::objectValue);
    change["op"] = "move";
    change["id"] = id;
    change["new_id"] = new_id;
    change["token"] = from.token;
    change["from"] = from.parent_path;
    change["name"] = from.name;
    change["to"] = target.parent;
    change["to_name"] = target.name;
    change["entry"] = new_entry;
    identity_->Begin(change);
    if (!identity_->Save()) return false;
  }
  if (!kivo::base::pinned::Move(from.parent.get(), from.name, to.get(), target.name, from.folder)) {
    const int error = errno;
    if (!from.token.empty()) {
      identity_->Finish(from.token);
      identity_->Save();
    }
    errno = error;
    return false;
  }
  RemoveLink(from);
  return true;
}

// ---- finishing what a call cut short -------------------------------------------------

namespace {

// The token of the folder `name` in `parent` (a staging folder's entry
// included), "" when it has none.
std::string TokenAt(const CalendarIdentity& identity, int parent, const std::string& name) {
  const kivo::base::Fd folder = kivo::base::pinned::OpenChild(parent, name);
  std::string token;
  if (!folder.valid() || identity.Get(folder.get(), &token) != CalendarIdentity::kMarked) return "";
  return token;
}

// The staging folders in `parent` whose entry carries `token`.
std::vector<std::string> StagedWith(const CalendarIdentity& identity, int parent,
                                    const std::string& token) {
  std::vector<std::string> found;
  for (const std::string& name : kivo::base::pinned::StagingFolders(parent)) {
    const kivo::base::Fd staging = kivo::base::pinned::OpenChild(parent, name);
    if (staging.valid() &&
        TokenAt(identity, staging.get(), kivo::base::pinned::kStagedEntry) == token) {
      found.push_back(name);
    }
  }
  return found;
}

// Removes the staging folders in `parent` left empty (a call killed between
// making one and filling it, or after emptying it).
void RemoveEmptyStaging(int parent) {
  for (const std::string& name : kivo::base::pinned::StagingFolders(parent)) {
    unlinkat(parent, name.c_str(), AT_REMOVEDIR);  // only while empty
  }
}

// Removes the staging folders in `parent` whose entry carries `token`, and
// the empty ones.
void RemoveStaged(const CalendarIdentity& identity, int parent, const std::string& token) {
  for (const std::string& name : StagedWith(identity, parent, token))
    kivo::base::pinned::RemoveTree(parent, name);
  RemoveEmptyStaging(parent);
}

// The names in the folder `fd` but "." and ".."; false when unreadable.
bool NamesIn(int fd, std::vector<std::string>* names) {
  const int listed = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
  if (dir == nullptr) {
    if (listed >= 0) close(listed);
    return false;
  }
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(dir);
  return true;
}

// A calendar folder as a create leaves it before it carries its token:
// nothing but a store holding nothing but the state files, as files.
bool AsFreshlyMade(int folder) {
  std::vector<std::string> names, stored;
  if (!NamesIn(folder, &names) || names.size() > 1) return false;
  if (names.empty()) return true;
  if (names[0] != kStoreName) return false;
  const kivo::base::Fd store = kivo::base::pinned::OpenChild(folder, kStoreName);
  if (!store.valid() || !NamesIn(store.get(), &stored)) return false;
  for (const std::string& name : stored) {
    struct stat st;
    if ((name != kStatePag && name != kStateDir) ||
        fstatat(store.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
      return false;
    }
  }
  return true;
}

bool SameFolder(int a, int b) {
  struct stat sa, sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

bool CalendarFolder::Recover(Json::Value& calendars, CalendarRegistry* registry) {
  bool changed = false;
  const Json::Value pending = identity_->pending();
  for (const Json::Value& change : pending) {
    const std::string token = change["token"].asString();
    const std::string id = change["id"].asString();
    if (token.empty()) continue;
    const kivo::base::Fd from = kivo::base::pinned::OpenDirectory(change["from"].asString());
    const std::string name = change["name"].asString();
    if (change["op"].asString() == "create") {
      // Registered: done. Not registered: the folder made for it goes.
      bool registered = false;
      if (calendars.isArray()) {
        for (const Json::Value& entry : calendars) {
          std::string entry_id;
          registered = registered || (registry->Id(entry, entry_id) && entry_id == id);
        }
      }
      if (!registered) {
        const kivo::base::Fd folder =
            from.valid() ? kivo::base::pinned::OpenChild(from.get(), name) : kivo::base::Fd();
        std::string have;
        const CalendarIdentity::Mark mark =
            folder.valid() ? identity_->Get(folder.get(), &have) : CalendarIdentity::kUnreadable;
        if ((mark == CalendarIdentity::kMarked && have == token) ||
            (mark == CalendarIdentity::kUnmarked && AsFreshlyMade(folder.get()) &&
             !CarriesOtherKind(identity_->kind(), folder.get()))) {
          kivo::base::pinned::RemoveTree(from.get(), name, folder);
        }
        std::string recorded;
        if (identity_->TokenOf(id, &recorded) && recorded == token) identity_->Forget(id);
        KIVO_LOG(LOG_NOTICE, "took away the folder of calendar %s, never registered", id.c_str());
      }
      identity_->Finish(token);
      continue;
    }
    std::string new_id;
    const Json::Value* replacement = nullptr;
    if (change["op"].asString() == "move") {
      const kivo::base::Fd to = kivo::base::pinned::OpenDirectory(change["to"].asString());
      const bool arrived =
          to.valid() && TokenAt(*identity_, to.get(), change["to_name"].asString()) == token;
      if (arrived) {
        // The folder is in its new place: the rest of the move is done (a
        // source left after its copy, staging folders).
        if (from.valid()) RemoveStaged(*identity_, from.get(), token);
        if (to.valid()) RemoveStaged(*identity_, to.get(), token);
        new_id = change["new_id"].asString();
        replacement = &change["entry"];
        KIVO_LOG(LOG_NOTICE, "finished the move of calendar %s to %s", id.c_str(), new_id.c_str());
      } else {
        // Not there: the folder goes back to its name, then a copy begun
        // on the other volume goes.
        for (const std::string& staging : from.valid() ? StagedWith(*identity_, from.get(), token)
                                                       : std::vector<std::string>()) {
          const kivo::base::Fd area = kivo::base::pinned::OpenChild(from.get(), staging);
          if (area.valid() && renameat2(area.get(), kivo::base::pinned::kStagedEntry, from.get(),
                                        name.c_str(), RENAME_NOREPLACE) == 0) {
            unlinkat(from.get(), staging.c_str(), AT_REMOVEDIR);
          } else {
            KIVO_LOG(LOG_ERR, "calendar %s stays in %s/%s: %s", id.c_str(),
                     change["from"].asString().c_str(), staging.c_str(), strerror(errno));
          }
        }
        if (from.valid()) RemoveEmptyStaging(from.get());
        // Copies exist only in another folder than the source's; a source
        // that could not go back stays where it is.
        if (to.valid() && !(from.valid() && SameFolder(from.get(), to.get()))) {
          RemoveStaged(*identity_, to.get(), token);
        }
        KIVO_LOG(LOG_NOTICE, "undid the move of calendar %s", id.c_str());
      }
    } else {
      // A removal goes on to its end.
      if (from.valid()) {
        RemoveStaged(*identity_, from.get(), token);
        const kivo::base::Fd folder = kivo::base::pinned::OpenChild(from.get(), name);
        if (folder.valid() && TokenAt(*identity_, from.get(), name) == token) {
          kivo::base::pinned::RemoveTree(from.get(), name, folder);
        }
      }
      KIVO_LOG(LOG_NOTICE, "finished the removal of calendar %s", id.c_str());
    }
    // A removal drops the entry, a finished move replaces it, an undone
    // move leaves it.
    const bool removal = change["op"].asString() != "move";
    if (calendars.isArray() && (removal || replacement != nullptr)) {
      Json::Value kept(Json::arrayValue);
      for (const Json::Value& entry : calendars) {
        std::string entry_id;
        if (registry->Id(entry, entry_id) && entry_id == id) {
          changed = true;
          if (replacement != nullptr) kept.append(*replacement);
        } else {
          kept.append(entry);
        }
      }
      calendars.swap(kept);
    }
    if (removal || replacement != nullptr) identity_->Forget(id);
    if (replacement != nullptr) identity_->Record(new_id, token);
    identity_->Finish(token);
  }
  return changed;
}

}  // namespace caldav
