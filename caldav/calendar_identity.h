// CalendarIdentity: which folder is which calendar, and which changes of
// calendars' folders were under way when a call ended early.
//
// A calendar's folder carries the extended attribute "trusted.kivo.calendar"
// holding a random token drawn when the module made (or first met) the
// folder; only root can write attributes of the trusted namespace, and a
// user's copy of the folder never carries it. The tokens, by calendar id,
// and the changes under way are kept in a root-only file beside the
// registry, usr/kivo/etc/calendar.ids (0600), which leaves the registry's
// own format alone. One line a calendar, "<token> <id>" ("\" and newlines
// of the id escaped; "-" for an empty token), and one a change under way,
// "pending " and a JSON object: {"op": "delete" | "move", "id", "token",
// "from", "name", and for a move "to", "to_name", "new_id", "entry"}.
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

#include <string>
#include <unordered_map>

namespace caldav {

class CalendarIdentity {
 public:
  // What a folder's attribute says about it.
  enum Mark { kMarked, kUnmarked, kUnsupported, kUnreadable };

  // The attribute a calendar folder carries its token in.
  static constexpr char kAttribute[] = "trusted.kivo.calendar";

  explicit CalendarIdentity(int* error_code);

  CalendarIdentity(const CalendarIdentity&) = delete;
  CalendarIdentity& operator=(const CalendarIdentity&) = delete;

  // Reads the record (none: empty). False, logged, when it cannot be read.
  bool Load();
  // Writes the record back when it changed since Load (temporary, fsync,
  // rename, fsync of the folder). False, logged, with 1704.
  // `kMayBeLost` leaves the folder unsynced: for a write that the next
  // call's recovery would redo if a power cut took its rename away (the
  // old record then stays, whole).
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
  // Gives the folder `fd` (any descriptor of it, O_PATH included) `token`.
  // kUnsupported when the file system has no trusted attributes: `token`
  // should then be recorded as "", and the first time a process meets this
  // it logs it.
  static Mark Put(int fd, const std::string& token);
  // The folder's token into `token`.
  static Mark Get(int fd, std::string* token);

 private:
  int* const error_code_;
  std::unordered_map<std::string, std::string> ids_;  // token by id
  Json::Value pending_;                               // the changes under way
  bool changed_ = false;
};

}  // namespace caldav

#endif  // KIVO_CALDAV_CALENDAR_IDENTITY_H_
