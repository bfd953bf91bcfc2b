// What a non-administrator's calendar create may do.
//
// A create in the "homes" share makes its folders as root, so it must stay
// inside the user's own home. And the module records a new calendar under
// the location the request names ("share" and "destination") but makes its
// folder at "fullpath" and never compares the two. The registry entry is
// what a later delete removes and a later set moves, as root; so a user
// could plant an entry that names some other folder (another user's, or
// one outside every share) for an administrator to delete. The host lets a
// non-administrator's create through only when the entry will name the very
// folder the create makes.
//
// Folders are named by the module's own rules (caldav/calendar_location.h),
// which the host links: what is checked here is what the module will do.

#ifndef KIVO_HOST_CALENDAR_RULES_H_
#define KIVO_HOST_CALENDAR_RULES_H_

#include <json/json.h>

#include <string>

namespace host {

// The user's home as the module's home alias means it: the folder named after
// `user` in the "homes" share's directory (not resolved). "" without a
// "homes" share.
std::string HomeFolderOf(const std::string& user);

// True when a calendar create of `params` may run for the non-administrator
// `user`: always unless the share is "homes" or "home" (any letter case), in
// which case the module makes the folders as root, so "fullpath" must
// resolve (realpath) to the user's home or below it. The home is the one the
// module's home alias means: the folder named after the user in the "homes"
// share, not the account's home field.
bool HomeCreateAllowed(const Json::Value& params, const std::string& user);

// The calendar folder the registry entry of a create by `user` will name
// (CalendarLocation: the home alias or the homes upgrade, then the share's
// directory, the destination's sub-path and the name). False when the
// parameters are not all strings or the share is unknown.
bool RegisteredFolderOf(const Json::Value& params, const std::string& user, std::string* folder);

// True when the create's registry entry names the folder the create makes:
// the directories above both resolve (realpath) to the same place. Requests
// the module refuses by itself (missing or mistyped parameters) pass.
bool CreateEntryMatchesFolder(const Json::Value& params, const std::string& user);

}  // namespace host

#endif  // KIVO_HOST_CALENDAR_RULES_H_
