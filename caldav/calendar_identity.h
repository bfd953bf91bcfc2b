// CalendarIdentity: which folder is which calendar, and which changes of
// calendars' folders were under way when a call ended early.
//
// Address books are known the same way, each kind by its own attribute,
// record and kind of changes (caldav/collection_kind.h: "trusted.kivo.
// addressbook", usr/kivo/etc/addressbook.ids, "addressbook"); what follows
// says it for calendars.
//
// A calendar's folder carries the extended attribute "trusted.kivo.calendar"
// holding a random token drawn when the module made (or first met) the
// folder; only root can write attributes of the trusted namespace, and a
// user's copy of the folder never carries it. The tokens, by calendar id,
// are kept in a root-only file beside the registry, usr/kivo/etc/calendar.ids
// (0600), which leaves the registry's own format alone: one line a calendar,
// "<token> <id>" ("\" and newlines of the id escaped; "-" for an empty
// token). The changes under way go to the record of changes under way
// (base/changes_under_way.h), of kind "calendar", each a JSON object: {"op":
// "create" | "delete" | "move", "id", "token", "from", "name", and for a
// move "to", "to_name", "new_id", "entry"}; the calendar list is the call
// that finishes them.
//
// The lines are read in order, a later one winning: a save that only adds
// tokens appends their lines to the file rather than replacing it, one
// write and at most one fsync of the file, no rename and no folder sync; a
// forgotten id, or a file grown to about twice its whole content, is
// written whole again by replacement. A last line without its newline is an
// append cut short: it is ignored, and the next save writes the file whole.
// "pending" and "done" lines, the previous version's changes under way, are
// taken into the record of changes under way and left out of the next save.
//
// An id without a token is a calendar made before tokens were recorded; the
// module adopts its folder on first use. An empty token stands for a folder
// on a file system that refuses trusted attributes: such a calendar is
// served as before tokens existed (logged once per process).
//
// Failures record their code in the call's error code field and are logged
// under the unit caldav_calendar.
//
// Threading: one object per call, used by one thread, under the registry
// lock from Load to the last Save.

#ifndef KIVO_CALDAV_CALENDAR_IDENTITY_H_
#define KIVO_CALDAV_CALENDAR_IDENTITY_H_

#include <json/json.h>
#include <sys/types.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "caldav/collection_kind.h"

namespace caldav {

class CalendarIdentity {
 public:
  // What a folder's attribute says about it.
  enum Mark { kMarked, kUnmarked, kUnsupported, kUnreadable };

  // Folders, record and changes under way of `kind`.
  explicit CalendarIdentity(int* error_code, const CollectionKind& kind = kCalendars);

  const CollectionKind& kind() const { return kind_; }

  CalendarIdentity(const CalendarIdentity&) = delete;
  CalendarIdentity& operator=(const CalendarIdentity&) = delete;

  // Reads the record and the calendar changes under way (none: empty),
  // once, into a new object. False, logged, when either cannot be read.
  bool Load();
  // Writes the record back when it changed since Load: the new lines
  // appended and the file synced, or the whole record replaced (temporary,
  // fsync, rename, fsync of the folder); then the changes begun since are
  // recorded as under way (always synced) and those finished dropped.
  // False, logged, with 1704.
  // `kMayBeLost` appends without a sync: for a write whose loss in a power
  // cut leaves a state the next call can go on from (what was written
  // before stays, whole); a replacement is always synced.
  enum class Durability { kSynced, kMayBeLost };
  bool Save(Durability durability = Durability::kSynced);

  // The token recorded for `id` into `token`; false when none is (a
  // calendar from before tokens).
  bool TokenOf(const std::string& id, std::string* token) const;
  // Whether any calendar is recorded with `token`.
  bool TokenInUse(const std::string& token) const;
  void Record(const std::string& id, const std::string& token);
  void Forget(const std::string& id);

  // The changes under way, in the order they were begun.
  const Json::Value& pending() const { return pending_; }
  void Begin(const Json::Value& change);
  // Drops every pending change of the calendar with `token`.
  void Finish(const std::string& token);

  // A fresh random token (32 hex digits); "" when no randomness was to be had.
  static std::string NewToken();
  // Gives the folder `fd` (any descriptor of it, O_PATH included) `token`,
  // in the attribute of this object's kind. kUnsupported when the file
  // system has no trusted attributes: `token` should then be recorded as
  // "", and the first time a process meets this it logs it.
  Mark Put(int fd, const std::string& token) const;
  // The folder's token of this object's kind into `token`.
  Mark Get(int fd, std::string* token) const;

 private:
  // Appends `lines_` to the loaded file (synced when `sync`); false when
  // it is not that very file any more or the write fails (the caller then
  // writes the record whole).
  bool Append(const std::string& path, bool sync);
  bool Replace(const std::string& path);
  // Reads the calendar changes under way into `pending_`.
  bool LoadPending();

  int* const error_code_;
  const CollectionKind& kind_;
  std::unordered_map<std::string, std::string> ids_;  // token by id
  Json::Value pending_{Json::arrayValue};             // the changes under way
  std::vector<std::string> keys_;   // each one's key in the record; "" until saved
  std::vector<std::string> ended_;  // keys of changes finished since the last Save
  bool changed_ = false;
  std::string lines_;      // the changes since the last Load or Save, as lines
  bool whole_ = false;     // a change lines cannot say: the next Save replaces
  size_t file_lines_ = 0;  // lines in the file as last read or written
  bool on_disk_ = false;   // the file below, as last read or written
  dev_t device_ = 0;
  ino_t inode_ = 0;
  off_t size_ = 0;
};

}  // namespace caldav

#endif  // KIVO_CALDAV_CALENDAR_IDENTITY_H_
