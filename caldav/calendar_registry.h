// CalendarRegistry: the calendar registry, usr/kivo/etc/calendar.info under
// the root, the one record of which calendars exist. Made for address books
// (caldav/collection_kind.h) it is theirs, usr/kivo/etc/addressbook.info,
// with "addressbookname" for "calendarname" and a lock of its own.
//
// The file holds a JSON array of calendar entries, objects with the string
// members "calendarname", "destination" and "share"; a calendar's id is its
// calendarname, ":" and its destination. An absent file is an empty
// registry. This part reads it (refusing anything the system never writes,
// and applying the homes upgrade of CalendarLocation, written back at once),
// replaces it whole (a temporary beside it, synced, renamed over it, with the
// old file's owner and mode, never writable by others), appends entries and
// computes ids. What the entries' folders hold is CalendarFolder's.
//
// It is the registry's one reader: the host's status asks the module's
// list rather than parse the file or build an id itself.
//
// The entries of the text a process last read or wrote are kept, with that
// text, for the next read: when the file holds the very same bytes they are
// taken instead of parsing the text again (at a thousand calendars the parse
// was most of a create's CPU); any other text is parsed, however little it
// differs and however soon it came. A text this process wrote is its
// entries' styled form, so an append adds the new entry's text to it rather
// than styling every entry again.
//
// Failures record their code in the module call's error code field (the
// last one counts) and are logged under the unit caldav_calendar.
//
// Threading: one object per call, used by one thread. A Lock serialises the
// read-modify-write cycles of all calls, across threads and processes; hold
// one from a call's first read to its last write. The kept entries are the
// process's, shared by its threads under a mutex of their own.

#ifndef KIVO_CALDAV_CALENDAR_REGISTRY_H_
#define KIVO_CALDAV_CALENDAR_REGISTRY_H_

#include <json/json.h>

#include <functional>
#include <string>
#include <vector>

#include "base/pinned_dir.h"
#include "caldav/calendar_location.h"
#include "caldav/collection_kind.h"
#include "kivo/handler_conventions.h"

namespace caldav {

// A calendar's id, the one way it is built: the entry's calendarname, ":"
// and its destination, into `id` (the caller's string, reused: a list
// builds thousands). False, `id` untouched, when either member is missing.
bool CalendarId(const Json::Value& entry, std::string& id);
// The same for a collection of `kind`: its name member, ":", its destination.
bool CollectionId(const CollectionKind& kind, const Json::Value& entry, std::string& id);

class CalendarRegistry {
 public:
  // Holds the registry lock for its lifetime (flock on a file beside the
  // registry). Take it as root (the lock file is root's), never nested
  // within one call. Without the registry's folder there is nothing to
  // protect and no lock; any other failure to take it is logged and the
  // call goes on unserialised.
  class Lock {
   public:
    explicit Lock(const CollectionKind& kind = kCalendars);
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    kivo::base::Fd fd_;  // closing it releases the lock
  };

  // `location` gives the homes upgrade; `error_code` is the call's field;
  // `kind` whose registry this is.
  CalendarRegistry(const CalendarLocation* location, int* error_code,
                   const CollectionKind& kind = kCalendars);

  CalendarRegistry(const CalendarRegistry&) = delete;
  CalendarRegistry& operator=(const CalendarRegistry&) = delete;

  // True with the entries (upgraded, and written back when any was), or
  // with `*found` false when nothing is at its path (`calendars` untouched);
  // false, the failure recorded.
  bool Read(Json::Value& calendars, bool* found = nullptr);
  // Replaces the registry with `calendars`; on failure the previous one
  // stays whole and no temporary is left. `sync_alongside`, when given, runs
  // while the new content is synced, before it replaces the old (see
  // kivo::base::ReplaceOptions); its false fails the write.
  bool Write(const Json::Value& calendars, const std::function<bool()>& sync_alongside = nullptr);
  // CalendarId, with a missing member recorded as the call's failure.
  bool Id(const Json::Value& entry, std::string& id);
  // Appends `entry` unless its id is registered, and rewrites the registry
  // either way (`sync_alongside` as for Write).
  bool Add(const Json::Value& entry, const std::function<bool()>& sync_alongside = nullptr);

 private:
  void Fail(int code) { conventions::RecordError(*error_code_, code); }
  // Read, with the kept entries moved out rather than copied when `take`
  // (the caller writes the registry next, and keeps them again), and their
  // text into `styled`, when given, if it is their toStyledString (else
  // empty).
  bool ReadEntries(Json::Value& calendars, bool* found, bool take, std::string* styled);
  // Write, keeping `calendars` (moved) with the text written: `styled` when
  // not empty (their toStyledString, made by the caller), else styled here.
  bool WriteAndKeep(Json::Value&& calendars, const std::function<bool()>& sync_alongside,
                    std::string&& styled);

  const CalendarLocation* const location_;
  int* const error_code_;
  const CollectionKind& kind_;
};

}  // namespace caldav

#endif  // KIVO_CALDAV_CALENDAR_REGISTRY_H_
