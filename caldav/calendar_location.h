// CalendarLocation: where a calendar's folder is (or an address book's: the
// same rules, the kind's name member in place of "calendarname").
//
// A calendar entry names its folder by share, destination and calendarname
// (the registry's members). This part owns the rules that turn them into a
// folder: the home alias (share "home", any letter case, is the logged-in
// user's own folder in the "homes" share, stored as share "homes" with
// destination "homes/<user>..."), the homes upgrade of older entries
// (destination without the "homes/" prefix, unless an account is itself
// called "homes"), the folder's absolute path (the share's directory, the
// destination's part after its first "/", the calendarname), and the
// judgement of a proposed folder path (an ordinary last component directly
// inside an existing directory of a share).
//
// The calendar handler and its rules for ordinary accounts' creates
// (caldav/calendar_create_rules.h) both use it, so that the rules name the
// very folder the create will: one derivation, not two. It reads the share
// table and the accounts through the platform (KIVOShareGet, KIVOUserGet,
// KIVOShareNamePathGet) and changes nothing.
//
// Refusals: an object made for a module call records the code of each
// refusal in the call's error code field (the last one counts) and logs it
// under the unit caldav_calendar; an object made without one (the create rules')
// records and logs nothing and only answers.
//
// Threading: one object per call, used by one thread; it keeps the shares it
// looked up for its lifetime. Objects on different threads are independent.

#ifndef KIVO_CALDAV_CALENDAR_LOCATION_H_
#define KIVO_CALDAV_CALENDAR_LOCATION_H_

#include <json/json.h>

#include <map>
#include <string>

#include "caldav/collection_kind.h"

namespace caldav {

class CalendarLocation {
 public:
  // A proposed calendar folder as Judge accepted it: the path judged, its
  // parent's canonical path, the directory of the share that holds it (the
  // platform's word for it) and the folder's own name.
  struct Place {
    std::string path;
    std::string parent;
    std::string share_dir;
    std::string name;
  };

  // A share as KIVOShareGet gave it; found false: no such share.
  struct Share {
    bool found = false;
    std::string dir;
  };

  // `login` is the user the home alias stands for. `error_code` is the
  // module call's error code field, or null for a caller that answers no
  // module call; `kind` names the entries' name member. Asks once whether
  // an account named "homes" exists.
  CalendarLocation(std::string login, int* error_code, const CollectionKind& kind = kCalendars);

  CalendarLocation(const CalendarLocation&) = delete;
  CalendarLocation& operator=(const CalendarLocation&) = delete;

  // True when an account named "homes" exists (asked of the platform now).
  static bool HomesUserExists();
  // The answer HomesUserExists gave when this object was made.
  bool homes_user_exists() const { return homes_user_exists_; }

  // ---- calendar entries -----------------------------------------------------

  // The entry a request's location parameters stand for: the three members
  // as given, then the home alias ("home", any case) or the homes upgrade
  // (exactly "homes") applied.
  Json::Value EntryOf(const std::string& destination, const std::string& calendarname,
                      const std::string& share) const;
  // The home alias: share "homes", destination "homes/<login>" followed by
  // the old destination's text after its first four bytes (none when it
  // has fewer than five).
  void ApplyHomeAlias(Json::Value& entry) const;
  // "homes/" + `destination` into `prefixed`, unless its first five bytes
  // are "homes" in any case (then false and `prefixed` empty).
  static bool PrefixHomes(const std::string& destination, std::string& prefixed);
  // The homes upgrade of one entry of the "homes" share; true when its
  // destination changed. Never while an account named "homes" exists.
  bool UpgradeHomes(Json::Value& entry) const;

  // ---- folder paths -----------------------------------------------------------

  // The entry's share (looked up once per object), with the folder's path
  // inside the share's directory appended to `folder`; each member counts
  // up to 1023 bytes. Null when a member is missing or the share unknown,
  // `folder` then as it was.
  const Share* FolderInShare(const Json::Value& entry, std::string& folder);
  // The entry's folder: its share's directory, "/", the folder in it.
  // False as FolderInShare, `path` then untouched.
  bool FullPath(const Json::Value& entry, std::string& path);
  // The folder the home alias names for `user`: the "homes" share's
  // directory, "/", the name (not resolved); "" without a "homes" share.
  std::string HomeFolder(const std::string& user);

  // ---- proposed folders -------------------------------------------------------

  // True when `path` may become a calendar folder whose parent is `parent`:
  // its last component is an ordinary name, its directory part resolves
  // (realpath) to where `parent` resolves, and that directory lies in a
  // share. Keeps what it resolved in `place` when not null. A module
  // call's refusal is logged, never recorded: the caller chooses the code.
  bool Judge(const char* parent, const char* path, Place* place) const;
  // True when stat(2) of `path` succeeds (links followed).
  static bool Exists(const char* path);

 private:
  const Share& LookUpShare(const std::string& name);
  void Refuse(int code) const;

  const std::string login_;
  int* const error_code_;  // null: answers only
  const CollectionKind& kind_;
  const bool homes_user_exists_;
  std::map<std::string, Share> shares_;  // looked up by this object
};

}  // namespace caldav

#endif  // KIVO_CALDAV_CALENDAR_LOCATION_H_
