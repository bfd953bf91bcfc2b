// What an ordinary account's calendar create may do.
//
// A create in the "homes" share makes its folders as root, so it must stay
// inside the user's own home. And the handler records a new calendar under
// the location the request names ("share" and "destination") but makes its
// folder at "fullpath"; the registry entry is what a later delete removes
// and a later set moves, as root. So a user could plant an entry that names
// some other folder (another user's, or one outside every share) for an
// administrator to delete. An ordinary account's create goes on only when
// the entry will name the very folder the create makes; an administrator is
// held to neither rule.
//
// Folders are named by CalendarLocation, the handler's own rules: what is
// checked here is what the create will do. Reads the share table and the
// accounts through the platform, resolves paths with root's view (realpath),
// changes nothing. Threading: none of its own; any thread.

#ifndef KIVO_CALDAV_CALENDAR_CREATE_RULES_H_
#define KIVO_CALDAV_CALENDAR_CREATE_RULES_H_

#include <json/json.h>

#include <string>

#include "caldav/collection_kind.h"

namespace caldav {

// True when a calendar create of `params` may run for the ordinary account
// `user`: always unless the share is "homes" or "home" (any letter case), in
// which case "fullpath" must resolve (realpath) to the user's home or below
// it. The home is the one the home alias means: the folder named after the
// user in the "homes" share, not the account's home field. Requests the
// handler refuses by itself (missing or mistyped parameters) pass.
bool HomeCreateAllowed(const Json::Value& params, const std::string& user);

// True when the create's registry entry names the folder the create makes:
// the directories above both resolve (realpath) to the same place. Requests
// the handler refuses by itself pass. The name parameter is `kind`'s.
bool CreateEntryMatchesFolder(const Json::Value& params, const std::string& user,
                              const CollectionKind& kind = kCalendars);

}  // namespace caldav

#endif  // KIVO_CALDAV_CALENDAR_CREATE_RULES_H_
