// CalendarFolder: calendars' folders on disk, and address books' (laid out
// the same, known by their own kind's identity: see CalendarIdentity).
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
// administrator acts as that user (kivo::base::ThreadIdentity, a scope that
// takes the thread back to root however it is left), so that the share's own
// permissions decide where the folder may go; home folders and
// administrators are served as root and what is made is given to the user.
//
// Whatever runs as root here acts relative to directory descriptors
// (kivo::base::Fd) opened without following links: a folder's parent is
// resolved once, as the location check resolved it, and every later step
// acts on it; the folder a create made is held by descriptor until the call
// ends, and only that very folder is ever taken away again; a removal or a
// move acts on the folder found at the start and on nothing put in its place.
//
// Failures record their code in the module call's error code field (the
// last one counts) and are logged under the unit caldav_calendar.
//
// Threading: one object per call, used by one thread at a time. The steps
// of a create that act as the user (ActAsMaker, Make, MakeStateFiles) run on
// a thread of the caller's own (kivo::base::RunOnOwnThread) that has its own
// credentials and its own file-creation mask, 0, so that what is made gets
// exactly the modes asked for; the caller waits, and nothing of the process
// changes.

#ifndef KIVO_CALDAV_CALENDAR_FOLDER_H_
#define KIVO_CALDAV_CALENDAR_FOLDER_H_

#include <json/json.h>
#include <sys/types.h>

#include <map>
#include <string>

#include "base/pinned_dir.h"
#include "base/thread_identity_scope.h"
#include "caldav/calendar_identity.h"
#include "caldav/calendar_location.h"
#include "caldav/calendar_registry.h"
#include "kivo/handler_conventions.h"

namespace caldav {

// Whom a calendar is made for: the logged-in user's ids and what the
// administrators' group test said (kUnknown until the user was found).
struct Maker {
  enum class Admin { kUnknown, kMember, kNotMember, kTestFailed };
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  Admin admin = Admin::kUnknown;
};

class CalendarFolder {
 public:
  // Folders are found through `location` and known through `identity` (its
  // record loaded by the caller); `error_code` is the call's field.
  CalendarFolder(CalendarLocation* location, CalendarIdentity* identity, int* error_code);
  // A folder made by this object and not kept is taken away.
  ~CalendarFolder();

  CalendarFolder(const CalendarFolder&) = delete;
  CalendarFolder& operator=(const CalendarFolder&) = delete;

  // ---- making a calendar ----------------------------------------------------

  // Looks `login` up into `maker` and, unless an administrator, has the
  // calling thread act as that user through `as_user`: supplementary groups,
  // effective group, effective user.
  bool ActAsMaker(kivo::base::ThreadIdentity* as_user, const std::string& login, Maker* maker);
  // Makes the calendar folder `path` with its ".DAV" store, at `place` when
  // it is `path`'s as CalendarLocation::Judge resolved it (else judged
  // again). With `root_for_homes` as root (`as_user` back to root first);
  // as root (also for an administrator) the folders are given to the
  // maker. On failure nothing made is left.
  bool Make(kivo::base::ThreadIdentity* as_user, const std::string& path,
            const CalendarLocation::Place& place, bool root_for_homes, const Maker& maker);
  // Fills the made store: the template's copy (owned by `uid` and `gid`) and
  // the empty second state file. A failure leaves the folder made, for
  // RemoveMade to take away as root once the user's scope has ended.
  bool MakeStateFiles(const std::string& path, uid_t uid, gid_t gid);
  // Before anything is made: records the create of calendar `id` as `name`
  // in the folder `parent` as under way, with the token its folder is to
  // carry, and answers that token ("" when none could be drawn).
  std::string BeginCreate(const std::string& id, const std::string& parent,
                          const std::string& name);
  // Gives the made folder `token`, the identity of the calendar `id` (run
  // as root, before the entry is registered); false, nothing recorded, when
  // the folder cannot carry it on a file system that has the mechanism.
  bool MarkMade(const std::string& id, const std::string& token);
  // Syncs the made folder's parent, so that the folder's name survives a
  // power cut; run as root before the registry names it, on a thread of
  // its own while the registry's new content is synced (it touches nothing
  // else of this object). False, logged, errno kept, when it fails.
  bool SyncMade();
  // The made folder is registered: it stays.
  void KeepMade();
  // Takes away the folder made by this object, and only while its name
  // still stands for that very folder. Run as root.
  void RemoveMade();

  // ---- registered calendars -------------------------------------------------
  //
  // A registered calendar's folder is judged one way by every method: the
  // entry's path (its share's directory, the destination after its first
  // "/", the calendarname) resolved as stat(2) would, ".." and links
  // included, to a folder that lies directly in a folder of some share (a
  // link into another share names that share's folder); a path that leads
  // out of every share names no folder. The folder found must be the
  // calendar's own by CalendarIdentity: the token it carries is the one
  // recorded for the calendar's id. A calendar recorded before tokens has
  // the folder found at its first use adopted, unless that folder carries
  // another calendar's token.

  // "normal", "crashed" or "noexist", as a string that lives as long as the
  // module: a path out of every share, a folder that is not the calendar's
  // own or holds no store is "crashed".
  const char* Status(const Json::Value& entry, const std::string& id);

  // What Prepare found for a delete or a move of the calendar `id`.
  enum class Found { kNone, kOwn, kForeign };
  // Judges the calendar's folder and, when it is the calendar's own, keeps
  // it for Remove or Move. kNone: nothing at the path, or no folder there, or
  // a path out of every share (only the entry can change).
  Found Prepare(const Json::Value& entry, const std::string& id);
  // Removes the prepared folder as "rm -rf" would, but only that very
  // folder, never across a link or a mount below it; a link the entry named
  // it by goes too. The pending removal is recorded first (false when it
  // cannot be, nothing touched).
  bool Remove(const std::string& id);
  // Moves the prepared folder to the judged `target`, never onto or into an
  // existing target, recording the pending move first; `new_id` and
  // `new_entry` are what the registry will hold once it is done.
  bool Move(const std::string& id, const std::string& new_id, const Json::Value& new_entry,
            const CalendarLocation::Place& target);

  // Finishes or undoes every change the record names as under way, in the
  // order begun; `calendars` (the registry's entries, or null) is brought
  // along. True when `calendars` changed.
  bool Recover(Json::Value& calendars, CalendarRegistry* registry);

 private:
  // The calendar folder made by this object, held by descriptor from its
  // making: every later step of the create, and its rollback, acts on it.
  struct Made {
    kivo::base::Fd parent;
    kivo::base::Fd folder;
    kivo::base::Fd store;  // its ".DAV"
    std::string name;
  };
  // A registered calendar's folder as the one judgement resolved it.
  struct Resolved {
    enum Kind { kGone, kOutside, kNotFolder, kFolder };
    Kind kind = kGone;
    std::string parent_path;  // the folder's parent, canonical
    std::string name;
    kivo::base::Fd parent;
    kivo::base::Fd folder;
    kivo::base::Fd link_parent;  // set when the entry names the folder by a link
    std::string link_name;
    std::string token;  // the calendar's recorded token; "" when unverified
  };
  // A share's directory opened for lookups; invalid when it cannot be.
  struct OpenedShare {
    kivo::base::Fd fd;
    std::string canonical;  // its real path
  };

  const OpenedShare& OpenShare(const std::string& dir);
  void Resolve(const Json::Value& entry, Resolved* out);
  bool ResolveByName(const std::string& full, Resolved* out);
  bool HoldsStore(const Resolved& folder);
  // Whether the resolved folder is the calendar's own; adopts the folder
  // of a calendar recorded before tokens.
  Found Identify(const std::string& id, Resolved* folder);
  void RemoveLink(const Resolved& folder);
  kivo::base::Fd OpenParent(const CalendarLocation::Place& place);
  kivo::base::Fd CreateStateFile(const std::string& path, const char* name, mode_t mode,
                                 int extra_flags);
  void Fail(int code) { conventions::RecordError(*error_code_, code); }

  CalendarLocation* const location_;
  CalendarIdentity* const identity_;
  int* const error_code_;
  Made made_;
  Resolved prepared_;                                 // what Prepare kept for Remove or Move
  std::map<std::string, OpenedShare> opened_shares_;  // by the share's directory
  std::string status_path_;                           // reused by every status check of a list
};

}  // namespace caldav

#endif  // KIVO_CALDAV_CALENDAR_FOLDER_H_
