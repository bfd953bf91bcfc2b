// Calendar folders on disk: the identity switch to the logged-in user, making
// a calendar folder with its ".DAV" store and state files, judging a
// registered calendar's state, and removing a calendar folder.
//
// The process really runs as root. A create for a user who is not an
// administrator switches the effective identity to that user, so that the
// share's own permissions decide where the folder may go; home folders and
// administrators are served as root and the result given to the user.
//
// Whatever runs as root here acts relative to directory descriptors opened
// without following links (caldav/pinned_dir.h): the calendar folder's
// parent is resolved once, the folder, its ".DAV" and the state files are
// made new in it, and a rollback removes only the folder this call made.

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "caldav/caldav_calendar.h"
#include "caldav/pinned_dir.h"
#include "kivo/error_codes.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

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

// ---- identity -------------------------------------------------------------------------

bool CalDAVServiceHandler::SeteGUID(caldav::ActingAsUser* as_user, unsigned int* uid,
                                    unsigned int* gid, int* admin) {
  bool result = false;
  PKIVOUSER user = nullptr;
  std::string name;
  caldav::ActingAsUser::Step step = caldav::ActingAsUser::kDone;

  if (uid == nullptr || gid == nullptr || admin == nullptr) {
    KIVO_LOG("Wrong paramter");
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }
  name = request_->GetLoginUserName();
  if (KIVOUserGet(name.c_str(), &user) != 0 || user == nullptr) {
    KIVO_LOG("Fail to KIVOUserGet");
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }
  *gid = user->gid;
  *uid = user->uid;

  *admin = KLIBGroupIsAdminGroupMem(name.c_str(), 0);
  if (*admin == 1) {  // an administrator is served as root
    result = true;
    goto end;
  }
  if (*admin == -1) {
    KIVO_LOG("Check admin group failed for user==%s", name.c_str());
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    goto end;
  }

  // Supplementary groups first, then the effective group, then the user;
  // the scope takes the process back to root.
  step = as_user->Become(name.c_str(), *uid, *gid);
  switch (step) {
    case caldav::ActingAsUser::kDone:
      break;
    case caldav::ActingAsUser::kNoGroup:
      KIVO_LOG("Failed to get gid for user=%s", name.c_str());
      break;
    case caldav::ActingAsUser::kGroups:
      KIVO_LOG("Failed to initgroup for user=%s", name.c_str());
      break;
    case caldav::ActingAsUser::kGroup:
      KIVO_LOG("Failed to set gid for user=%s", name.c_str());
      break;
    case caldav::ActingAsUser::kNoUser:
      KIVO_LOG("Failed to get uid for user=%s", name.c_str());
      break;
    case caldav::ActingAsUser::kUser:
      KIVO_LOG("Failed to set uid for user=%s", name.c_str());
      break;
  }
  if (step != caldav::ActingAsUser::kDone) {
    SetError(WEBAPI_ERR_OPERATION_FAILED);
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

bool CalDAVServiceHandler::MKCalendarDIR(caldav::ActingAsUser* as_user, const std::string& path,
                                         bool root_for_homes, int uid, int gid, int admin) {
  const bool give_to_user = root_for_homes || admin == 1;
  KIVOVOLINFO volume;
  std::string parent, name;
  made_ = MadeFolder();

  // A user may not be able to write the homes share itself; home folders
  // are made as root and given to the user below.
  if (root_for_homes) as_user->BackToRoot();

  if (KIVOMountVolInfoGet(path.c_str(), &volume) < 0) {
    KIVO_LOG("Fail to get vol info.");
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  if (volume.writable == 0) {
    KIVO_LOG("Read Only Volume.[%s]", path.c_str());
    SetError(WEBAPI_ERR_READ_ONLY_VOLUME);
    return false;
  }
  // The parent, as the location check resolved it, is opened from its
  // share without links once; the folder is made in it, and from here on
  // every step acts on the folder's own descriptor.
  Location location = create_location_;
  if (location.path != path && !(pinned::SplitLast(path, &parent, &name) &&
                                 ResolveLocation(parent.c_str(), path.c_str(), &location))) {
    location = Location();
  }
  name = location.name;
  if (!name.empty()) made_.parent = OpenLocationParent(location);
  if (!made_.parent.valid() || mkdirat(made_.parent.get(), name.c_str(), 0777) < 0) {
    KIVO_LOG("Fail to create calendar dir.");
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    made_ = MadeFolder();  // nothing was made: nothing to take away
    return false;
  }
  made_.name = name;
  made_.folder = OpenOwnDirectory(made_.parent.get(), name);
  if (!made_.folder.valid()) {
    // Renamed away or replaced before it could be opened: not ours any more.
    KIVO_LOG("Fail to create calendar dir.");
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    made_ = MadeFolder();
    return false;
  }
  if (give_to_user) GiveToUser(made_.folder.get(), uid, gid);

  const std::string store = path + kStoreDir;
  if (!FitsPath(store) || mkdirat(made_.folder.get(), kStoreName, 0777) < 0 ||
      !(made_.store = OpenOwnDirectory(made_.folder.get(), kStoreName)).valid()) {
    KIVO_LOG("Fail to create calendar .DAV dir.");
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    RemoveMadeFolder();
    return false;
  }
  if (give_to_user) GiveToUser(made_.store.get(), uid, gid);
  return true;
}

// Runs while acting as the user; a folder left made on failure is the
// caller's to remove, as root, once the scope has ended.
bool CalDAVServiceHandler::CreateData(caldav::ActingAsUser* as_user, std::string path,
                                      unsigned int uid, unsigned int gid, int admin) {
  const std::string share = StringParam("share");
  if (IsPathExist(path.c_str())) {
    KIVO_LOG("Path [%s] exist", path.c_str());
    SetError(WEBAPI_ERR_TARGET_EXISTS);
    return false;
  }
  if (!MKCalendarDIR(as_user, path, share == "homes" || share == "home", static_cast<int>(uid),
                     static_cast<int>(gid), admin)) {
    return false;
  }

  // Both state files are made new (never through a link or onto a file that
  // someone placed in .DAV meanwhile) and filled through their descriptor;
  // the platform's copy reaches the template's copy by that descriptor too.
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
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  const pinned::Fd state = CreateStateFile(dir, kStateDir, 0777, O_SYNC);
  if (!state.valid()) {
    KIVO_LOG("open(%s, %d) failed, reason=%s\n", dir.c_str(), kStateFileFlags, strerror(errno));
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  return true;
}

pinned::Fd CalDAVServiceHandler::CreateStateFile(const std::string& path, const char* name,
                                                 mode_t mode, int extra_flags) {
  if (!FitsPath(path)) return pinned::Fd();
  return pinned::Fd(openat(made_.store.get(), name,
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | extra_flags,
                           mode));
}

void CalDAVServiceHandler::RemoveMadeFolder() {
  if (made_.folder.valid()) pinned::RemoveTree(made_.parent.get(), made_.name, made_.folder);
  made_ = MadeFolder();
}

// ---- state of a registered calendar -----------------------------------------------

bool CalDAVServiceHandler::GetCalendarStatus(const Json::Value& entry, std::string& status) {
  status = CalendarStatus(entry);
  return true;
}

// The three paths grow in one buffer kept by the handler, and are looked up
// from the share's directory, opened once per call: a list checks every
// registered calendar, and allocating the paths and walking the share's own
// path again for each was a good part of it. "./" keeps a folder path that
// starts with "/" inside the share, as it is in GetFullPath's path.
//
// The lookups never leave the share: links inside it count as stat(2) would
// count them, and a path that leads out of it is a damaged calendar
// ("crashed"), whether or not anything is where it leads, so that a list
// tells nothing about places outside the shares.
const char* CalDAVServiceHandler::CalendarStatus(const Json::Value& entry) {
  std::string& path = status_path_;
  path.assign("./");
  ShareDir* share = AppendFolderInShare(entry, path);
  if (share == nullptr) return "noexist";
  if (!share->dir_opened) {
    share->dir_opened = true;
    share->dir_fd.Reset(open(share->dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::unique_ptr<char, decltype(&free)> canonical(realpath(share->dir.c_str(), nullptr),
                                                           &free);
    if (canonical == nullptr) share->dir_fd.Reset();
    if (canonical != nullptr) share->canonical = canonical.get();
  }
  if (!share->dir_fd.valid()) return "noexist";  // no share directory, no folder in it
  const auto lookup = [&] {
    return pinned::LookUpBelow(share->dir_fd.get(), share->canonical, path);
  };
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

void CalDAVServiceHandler::RemoveCalFolder(const Json::Value& entry) {
  std::string path;
  RegisteredFolder folder;
  if (!GetFullPath(entry, path) || !PinRegisteredFolder(path, &folder)) return;
  if (!folder.folder.valid()) {
    // Gone, or something that is not a folder (a damaged calendar): only
    // the entry goes.
    if (folder.error != ENOENT) KIVO_LOG("Path [%s] is not a calendar folder", path.c_str());
    return;
  }
  // As "rm -rf" would, but only the folder found at the start, never
  // across a link or a mount below it.
  pinned::RemoveTree(folder.parent.get(), folder.location.name, folder.folder);
}

bool CalDAVServiceHandler::MoveCalendarFolder(const std::string& current, const Location& target) {
  RegisteredFolder from;
  if (!PinRegisteredFolder(current, &from)) return false;
  if (!from.folder.valid()) {
    if (from.error != ENOENT) KIVO_LOG("Path [%s] is not a calendar folder", current.c_str());
    return false;
  }
  const pinned::Fd to = OpenLocationParent(target);
  return to.valid() &&
         pinned::Move(from.parent.get(), from.location.name, to.get(), target.name, from.folder);
}
