#include "caldav/calendar_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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
void GiveToUser(int fd, int uid, int gid) {
  const int ignored = fchownat(fd, "", uid, gid, AT_EMPTY_PATH);
  (void)ignored;
}

// The directory `name` in `parent` as this identity has just made it: a
// link, or a folder someone else put in its place, is refused.
pinned::Fd OpenOwnDirectory(int parent, const std::string& name) {
  pinned::Fd fd = pinned::OpenChild(parent, name);
  struct stat st;
  if (fd.valid() && (fstat(fd.get(), &st) != 0 || st.st_uid != geteuid())) {
    errno = EEXIST;
    return pinned::Fd();
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

}  // namespace

CalendarFolder::CalendarFolder(CalendarLocation* location, int* error_code)
    : location_(location), error_code_(error_code) {}

// A create cut short by an exception leaves no folder without an entry.
CalendarFolder::~CalendarFolder() {
  try {
    if (made_.folder.valid()) RemoveMade();
  } catch (...) {
  }
}

// ---- identity -------------------------------------------------------------------------

bool CalendarFolder::ActAsMaker(ActingAsUser* as_user, const std::string& login, unsigned int* uid,
                                unsigned int* gid, int* admin) {
  bool result = false;
  PKIVOUSER user = nullptr;
  ActingAsUser::Step step = ActingAsUser::kDone;

  if (uid == nullptr || gid == nullptr || admin == nullptr) {
    KIVO_LOG("Wrong paramter");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }
  if (KIVOUserGet(login.c_str(), &user) != 0 || user == nullptr) {
    KIVO_LOG("Fail to KIVOUserGet");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }
  *gid = user->gid;
  *uid = user->uid;

  *admin = KLIBGroupIsAdminGroupMem(login.c_str(), 0);
  if (*admin == 1) {  // an administrator is served as root
    result = true;
    goto end;
  }
  if (*admin == -1) {
    KIVO_LOG("Check admin group failed for user==%s", login.c_str());
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }

  // Supplementary groups first, then the effective group, then the user;
  // the scope takes the process back to root.
  step = as_user->Become(login.c_str(), *uid, *gid);
  switch (step) {
    case ActingAsUser::kDone:
      break;
    case ActingAsUser::kNoGroup:
      KIVO_LOG("Failed to get gid for user=%s", login.c_str());
      break;
    case ActingAsUser::kGroups:
      KIVO_LOG("Failed to initgroup for user=%s", login.c_str());
      break;
    case ActingAsUser::kGroup:
      KIVO_LOG("Failed to set gid for user=%s", login.c_str());
      break;
    case ActingAsUser::kNoUser:
      KIVO_LOG("Failed to get uid for user=%s", login.c_str());
      break;
    case ActingAsUser::kUser:
      KIVO_LOG("Failed to set uid for user=%s", login.c_str());
      break;
  }
  if (step != ActingAsUser::kDone) {
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }
  result = true;

end:
  if (user != nullptr) KIVOUserFree(user);
  // Folders and state files get exactly the modes asked for.
  umask(0);
  return result;
}

// ---- making a calendar ------------------------------------------------------------

pinned::Fd CalendarFolder::OpenParent(const CalendarLocation::Place& place) {
  const std::string& dir = place.parent;
  const std::string& share = place.share_dir;
  if (share.size() > 1 && dir.compare(0, share.size(), share) == 0 &&
      (dir.size() == share.size() || dir[share.size()] == '/')) {
    const pinned::Fd root = pinned::OpenDirectory(share);
    return root.valid() ? pinned::OpenBelow(root.get(), dir.substr(share.size())) : pinned::Fd();
  }
  return pinned::OpenDirectory(dir);
}

bool CalendarFolder::Make(ActingAsUser* as_user, const std::string& path,
                          const CalendarLocation::Place& place, bool root_for_homes, int uid,
                          int gid, int admin) {
  const bool give_to_user = root_for_homes || admin == 1;
  KIVOVOLINFO volume;
  std::string parent, name;
  made_ = Made();

  // A user may not be able to write the homes share itself; home folders
  // are made as root and given to the user below.
  if (root_for_homes) as_user->BackToRoot();

  if (KIVOMountVolInfoGet(path.c_str(), &volume) < 0) {
    KIVO_LOG("Fail to get vol info.");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  if (volume.writable == 0) {
    KIVO_LOG("Read Only Volume.[%s]", path.c_str());
    Fail(WEBAPI_ERR_READ_ONLY_VOLUME);
    return false;
  }
  // The parent, as the location check resolved it, is opened from its
  // share without links once; the folder is made in it, and from here on
  // every step acts on the folder's own descriptor.
  CalendarLocation::Place judged = place;
  if (judged.path != path && !(pinned::SplitLast(path, &parent, &name) &&
                               location_->Judge(parent.c_str(), path.c_str(), &judged))) {
    judged = CalendarLocation::Place();
  }
  name = judged.name;
  if (!name.empty()) made_.parent = OpenParent(judged);
  if (!made_.parent.valid() || mkdirat(made_.parent.get(), name.c_str(), 0777) < 0) {
    KIVO_LOG("Fail to create calendar dir.");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    made_ = Made();  // nothing was made: nothing to take away
    return false;
  }
  made_.name = name;
  made_.folder = OpenOwnDirectory(made_.parent.get(), name);
  if (!made_.folder.valid()) {
    // Renamed away or replaced before it could be opened: not ours any more.
    KIVO_LOG("Fail to create calendar dir.");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    made_ = Made();
    return false;
  }
  if (give_to_user) GiveToUser(made_.folder.get(), uid, gid);

  const std::string store = path + kStoreDir;
  if (!FitsPath(store) || mkdirat(made_.folder.get(), kStoreName, 0777) < 0 ||
      !(made_.store = OpenOwnDirectory(made_.folder.get(), kStoreName)).valid()) {
    KIVO_LOG("Fail to create calendar .DAV dir.");
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    RemoveMade();
    return false;
  }
  if (give_to_user) GiveToUser(made_.store.get(), uid, gid);
  return true;
}

// Both state files are made new (never through a link or onto a file that
// someone placed in .DAV meanwhile) and filled through their descriptor;
// the platform's copy reaches the template's copy by that descriptor too.
bool CalendarFolder::MakeStateFiles(const std::string& path, unsigned int uid, unsigned int gid) {
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
  const pinned::Fd copy = CreateStateFile(pag, kStatePag, 0600, 0);
  if (!copy.valid() ||
      KIVOFileCopy(template_path.c_str(), DescriptorPath(copy.get()).c_str(), &options) != 0 ||
      fchmod(copy.get(), TemplateMode(template_path)) != 0) {
    KIVO_LOG("Fail to cp calendar data for .state_for_dir.pag:%X",
             copy.valid() ? KLIBCErrGet() : errno);
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  const pinned::Fd state = CreateStateFile(dir, kStateDir, 0777, O_SYNC);
  if (!state.valid()) {
    KIVO_LOG("open(%s, %d) failed, reason=%s\n", dir.c_str(), kStateFileFlags, strerror(errno));
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  return true;
}

pinned::Fd CalendarFolder::CreateStateFile(const std::string& path, const char* name, mode_t mode,
                                           int extra_flags) {
  if (!FitsPath(path)) return pinned::Fd();
  return pinned::Fd(openat(made_.store.get(), name,
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | extra_flags,
                           mode));
}

void CalendarFolder::KeepMade() { made_ = Made(); }

void CalendarFolder::RemoveMade() {
  if (made_.folder.valid()) pinned::RemoveTree(made_.parent.get(), made_.name, made_.folder);
  made_ = Made();
}

// ---- state of a registered calendar -----------------------------------------------

// The three paths grow in one buffer kept by this object, and are looked up
// from the share's directory, opened once per object: a list checks every
// registered calendar, and allocating the paths and walking the share's own
// path again for each was a good part of it. "./" keeps a folder path that
// starts with "/" inside the share, as it is in the full path.
//
// The lookups never leave the share: links inside it count as stat(2) would
// count them, and a path that leads out of it is a damaged calendar
// ("crashed"), whether or not anything is where it leads, so that a list
// tells nothing about places outside the shares.
const char* CalendarFolder::Status(const Json::Value& entry) {
  std::string& path = status_path_;
  path.assign("./");
  const CalendarLocation::Share* share = location_->FolderInShare(entry, path);
  if (share == nullptr) return "noexist";
  auto opened = opened_shares_.find(share->dir);
  if (opened == opened_shares_.end()) {
    opened = opened_shares_.emplace(share->dir, OpenedShare()).first;
    OpenedShare& dir = opened->second;
    dir.fd.Reset(open(share->dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::unique_ptr<char, decltype(&free)> canonical(realpath(share->dir.c_str(), nullptr),
                                                           &free);
    if (canonical == nullptr) dir.fd.Reset();
    if (canonical != nullptr) dir.canonical = canonical.get();
  }
  const OpenedShare& dir = opened->second;
  if (!dir.fd.valid()) return "noexist";  // no share directory, no folder in it
  // Most calendars hold no link: their state file, reached in one lookup
  // without following any, answers for all three.
  const size_t folder_end = path.size();
  path += "/.DAV/";
  path += kStatePag;
  if (pinned::PlainlyBelow(dir.fd.get(), path)) return "normal";
  path.resize(folder_end);
  const auto lookup = [&] { return pinned::LookUpBelow(dir.fd.get(), dir.canonical, path); };
  const int folder = lookup();
  if (folder == EXDEV) return "crashed";
  if (folder != 0) return "noexist";
  path += "/.DAV";
  if (lookup() != 0) return "crashed";
  path += '/';
  path += kStatePag;
  if (lookup() != 0) return "crashed";
  return "normal";
}

// ---- removing and moving registered folders -----------------------------------------

bool CalendarFolder::PinRegistered(const std::string& path, Registered* folder) {
  // A create stores its destination as given: an entry may climb out of its
  // share and back into another user's folder, which no delete may follow.
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) {
      KIVO_LOG("Path [%s] is not a calendar folder", path.c_str());
      return false;
    }
    start = end + 1;
  }
  std::string parent, name;
  if (!pinned::SplitLast(path, &parent, &name)) {
    KIVO_LOG("Path [%s] is not a calendar folder", path.c_str());
    return false;
  }
  if (!location_->Judge(parent.c_str(), path.c_str(), &folder->place)) return false;
  folder->parent = OpenParent(folder->place);
  if (!folder->parent.valid()) {
    KIVO_LOG("Path [%s] changed since it was checked, reason=%s", path.c_str(), strerror(errno));
    return false;
  }
  folder->folder = pinned::OpenChild(folder->parent.get(), folder->place.name);
  folder->error = folder->folder.valid() ? 0 : errno;
  return true;
}

void CalendarFolder::Remove(const Json::Value& entry) {
  std::string path;
  Registered folder;
  if (!location_->FullPath(entry, path) || !PinRegistered(path, &folder)) return;
  if (!folder.folder.valid()) {
    // Gone, or something that is not a folder (a damaged calendar): only
    // the entry goes.
    if (folder.error != ENOENT) KIVO_LOG("Path [%s] is not a calendar folder", path.c_str());
    return;
  }
  pinned::RemoveTree(folder.parent.get(), folder.place.name, folder.folder);
}

bool CalendarFolder::Move(const std::string& current, const CalendarLocation::Place& target) {
  Registered from;
  if (!PinRegistered(current, &from)) return false;
  if (!from.folder.valid()) {
    if (from.error != ENOENT) KIVO_LOG("Path [%s] is not a calendar folder", current.c_str());
    return false;
  }
  const pinned::Fd to = OpenParent(target);
  return to.valid() &&
         pinned::Move(from.parent.get(), from.place.name, to.get(), target.name, from.folder);
}

}  // namespace caldav
