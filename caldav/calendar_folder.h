// CalendarFolder: calendars' folders on disk.
//
// A calendar folder holds a ".DAV" store with two state files:
// ".state_for_dir.pag", a copy of the platform's template, and
// ".state_for_dir.dir", empty. This part makes a new calendar's folder under
// the identity the rules choose, judges a registered calendar's state
// ("normal", "crashed", "noexist"), and removes or moves registered folders.
// Where the folders are is CalendarLocation's; the registry is
// CalendarRegistry's.
//
// Identity: the process really runs as root. A create for a user who is no
// administrator acts as that user (ActingAsUser, a scope that takes the
// process back to root however it is left), so that the share's own
// permissions decide where the folder may go; home folders and
// administrators are served as root and what is made is given to the user.
//
// Whatever runs as root here acts relative to directory descriptors
// (pinned::Fd) opened without following links: a folder's parent is
// resolved once, as the location check resolved it, and every later step
// acts on it; the folder a create made is held by descriptor until the call
// ends, and only that very folder is ever taken away again; a removal or a
// move acts on the folder found at the start and on nothing put in its place.
//
// Failures record their code in the module call's error code field (the
// last one counts) and are logged under the unit caldav_calendar.
//
// Threading: one object per call, used by one thread. Identity switches and
// the file-creation mask are process-wide: creates must not overlap within a
// process (the caller holds the registry lock around one).

#ifndef KIVO_CALDAV_CALENDAR_FOLDER_H_
#define KIVO_CALDAV_CALENDAR_FOLDER_H_

#include <json/json.h>
#include <sys/types.h>

#include <map>
#include <string>

#include "caldav/acting_user.h"
#include "caldav/calendar_location.h"
#include "caldav/pinned_dir.h"

namespace caldav {

class CalendarFolder {
 public:
  // Folders are found through `location`; `error_code` is the call's field.
  CalendarFolder(CalendarLocation* location, int* error_code);
  // A folder made by this object and not kept is taken away.
  ~CalendarFolder();

  CalendarFolder(const CalendarFolder&) = delete;
  CalendarFolder& operator=(const CalendarFolder&) = delete;

  // ---- making a calendar ----------------------------------------------------

  // Looks `login` up (uid, gid, and the admin flag: 1 administrator, -1
  // unknown) and, unless an administrator, has `as_user` act as that user:
  // supplementary groups, effective group, effective user. Sets the
  // file-creation mask to 0 either way, so that what is made gets exactly
  // the modes asked for.
  bool ActAsMaker(ActingAsUser* as_user, const std::string& login, unsigned int* uid,
                  unsigned int* gid, int* admin);
  // Makes the calendar folder `path` with its ".DAV" store, at `place` when
  // it is `path`'s as CalendarLocation::Judge resolved it (else judged
  // again). With `root_for_homes` as root (`as_user` back to root first);
  // as root the folders are given to uid and gid. On failure nothing made
  // is left.
  bool Make(ActingAsUser* as_user, const std::string& path, const CalendarLocation::Place& place,
            bool root_for_homes, int uid, int gid, int admin);
  // Fills the made store: the template's copy (owned by uid and gid) and
  // the empty second state file. A failure leaves the folder made, for
  // RemoveMade to take away as root once the user's scope has ended.
  bool MakeStateFiles(const std::string& path, unsigned int uid, unsigned int gid);
  // The made folder is registered: it stays.
  void KeepMade();
  // Takes away the folder made by this object, and only while its name
  // still stands for that very folder. Run as root.
  void RemoveMade();

  // ---- registered calendars -------------------------------------------------

  // "normal", "crashed" or "noexist", as a string that lives as long as the
  // module. Looked up from the share's directory, opened once per object,
  // never leaving it: a path that leads out of the share is "crashed".
  const char* Status(const Json::Value& entry);
  // Removes the entry's folder as "rm -rf" would, but only the folder found
  // at the start, never across a link or a mount below it. Gone or no
  // folder: nothing is removed.
  void Remove(const Json::Value& entry);
  // Moves the registered folder at `current`, and only the folder found
  // there at the start, to the judged `target`; never onto or into an
  // existing target.
  bool Move(const std::string& current, const CalendarLocation::Place& target);

 private:
  // The calendar folder made by this object, held by descriptor from its
  // making: every later step of the create, and its rollback, acts on it.
  struct Made {
    pinned::Fd parent;
    pinned::Fd folder;
    pinned::Fd store;  // its ".DAV"
    std::string name;
  };
  // A registered calendar's folder, taken once: its parent resolved as a
  // create's is (no ".." step; a trailing "/" or a "." step is fine) and
  // opened, and the folder opened without following a link. `folder` is
  // invalid when nothing is at the name (error ENOENT) or something that is
  // not a folder (a damaged calendar).
  struct Registered {
    CalendarLocation::Place place;
    pinned::Fd parent;
    pinned::Fd folder;
    int error = 0;
  };
  // A share's directory opened for status lookups; invalid when it cannot be.
  struct OpenedShare {
    pinned::Fd fd;
    std::string canonical;  // its real path
  };

  pinned::Fd OpenParent(const CalendarLocation::Place& place);
  // False, logged, when the path is refused or its parent cannot be opened.
  bool PinRegistered(const std::string& path, Registered* folder);
  pinned::Fd CreateStateFile(const std::string& path, const char* name, mode_t mode,
                             int extra_flags);
  void Fail(int code) { *error_code_ = code; }

  CalendarLocation* const location_;
  int* const error_code_;
  Made made_;
  std::map<std::string, OpenedShare> opened_shares_;  // by the share's directory
  std::string status_path_;                           // reused by every status check of a list
};

}  // namespace caldav

#endif  // KIVO_CALDAV_CALENDAR_FOLDER_H_
