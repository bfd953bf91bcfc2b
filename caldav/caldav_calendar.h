// CalDAVServiceHandler serves KIVO.Core.FileServ.WebDAV.CalDAV.Calendar: the
// CalDAV calendars themselves (list, create, delete, set).
//
// A calendar is a folder inside a share or a user's home folder, holding a
// ".DAV" store with two state files. Every calendar is recorded in the
// calendar registry (a JSON array of {"calendarname", "destination", "share"}
// entries) and named on the web API by its id, calendarname ":" destination.
// A create makes the folder under the logged-in user's identity (as root for
// home folders and administrators) and switches back to root before it
// touches the registry.
//
// Each calendar method holds an exclusive lock on a file beside the registry
// from its first read of the registry to its last write, so that concurrent
// calls, from one host process or several, never lose an entry; and the
// registry is replaced by rename, so that it is never left empty or partial.
//
// One object serves one call; the last error code recorded is reported.

#ifndef KIVO_CALDAV_CALDAV_CALENDAR_H_
#define KIVO_CALDAV_CALDAV_CALENDAR_H_

#include <json/json.h>

#include <map>
#include <string>

#include "caldav/acting_user.h"
#include "caldav/pinned_dir.h"
#include "kivo/kivo_api.h"
#include "kivo/kivo_platform.h"

class CalDAVServiceHandler {
 public:
  CalDAVServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response);
  ~CalDAVServiceHandler();

  CalDAVServiceHandler(const CalDAVServiceHandler&) = delete;
  CalDAVServiceHandler& operator=(const CalDAVServiceHandler&) = delete;

  // Web API methods: each answers the response exactly once.
  void List();
  void Create();
  void Delete();
  void Set();

  // Conventions shared by the handlers.
  void SetError(int code);
  void ReportError();
  bool CHECK_PARAM_BOOL(std::string name, bool required);
  bool CHECK_PARAM_INT(std::string name, bool required);
  bool CHECK_PARAM_STRING(std::string name, bool required);
  bool CHECK_PARAM_JSONARRAY(std::string name, bool required);
  void ShowJson(const char* label, const Json::Value& value);

  // The calendar registry. GetCalendarInfo: 0 read, 1 no registry file (the
  // value untouched), -1 failure.
  int GetCalendarInfo(Json::Value& calendars);
  bool WriteCalendarInfo(Json::Value& calendars);
  bool ConcateID(const Json::Value& entry, std::string& id);
  bool AddCalendarItemToInfo(const Json::Value& entry);

  // Calendar locations and request input.
  bool IsPathExist(const char* path);
  bool IsPathValid(const char* parent, const char* path);
  bool IsUserNamedHomesExist();
  bool GetFullPath(const Json::Value& entry, std::string& path);
  bool UpdateHomeDest(Json::Value& entry);
  bool ConcateHomes(const std::string& destination, std::string& new_destination);
  bool UpdateHomesDest(Json::Value& entry);
  bool GetInputParam2Json(Json::Value& entry);

  // Calendar folders on disk.
  bool MKCalendarDIR(caldav::ActingAsUser* as_user, const std::string& path, bool root_for_homes,
                     int uid, int gid, int admin);
  bool CreateData(caldav::ActingAsUser* as_user, std::string path, unsigned int uid,
                  unsigned int gid, int admin);
  // Switches `as_user` to the logged-in user unless an administrator.
  bool SeteGUID(caldav::ActingAsUser* as_user, unsigned int* uid, unsigned int* gid, int* admin);
  bool GetCalendarStatus(const Json::Value& entry, std::string& status);
  void RemoveCalFolder(const Json::Value& entry);

  // Workers of the web API methods.
  bool ListCalendar(Json::Value& result);
  bool CreateCalendar(Json::Value& result);
  bool CheckCreateParam();
  bool DeleteCalendar();
  bool EditCalendar(Json::Value& result);
  bool EditSingleCalendar(Json::Value& entry);
  bool CheckEditParam();

 private:
  // Holds the registry lock for its lifetime (flock on a file beside the
  // registry). Must be taken as root and never nested within one call.
  class RegistryLock {
   public:
    RegistryLock();
    ~RegistryLock();
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

   private:
    int fd_;
  };

  // The request parameter as a string; "" when it is missing or has no
  // string form (array, object).
  std::string StringParam(const std::string& name);
  // Removes the calendar folder this call made, and only while its name
  // still stands for that very folder.
  void RemoveMadeFolder();
  // Makes state file `name` new in the made ".DAV" (`path` names it for the
  // service); invalid with errno when it cannot.
  pinned::Fd CreateStateFile(const std::string& path, const char* name, mode_t mode,
                             int extra_flags);
  // A calendar folder's place as the location rules resolve it, once: the
  // folder path judged, its parent's canonical path, the directory of the
  // share that holds it (the platform's word for it) and the folder's name.
  // Every later step opens the parent from the share's directory without
  // following links, so a link planted after the check fails the step.
  struct Location {
    std::string path;
    std::string parent;
    std::string share_dir;
    std::string name;
  };
  // IsPathValid, keeping what it resolved in `location` (when not null).
  bool ResolveLocation(const char* parent, const char* path, Location* location);
  pinned::Fd OpenLocationParent(const Location& location);
  // A registered calendar's folder, taken once: its parent resolved as a
  // create's is (no ".." step; a trailing "/" or a "." step is fine) and
  // opened, and the folder opened without following a link. `folder` is
  // invalid when nothing is at the name (error ENOENT) or something that is
  // not a folder (a damaged calendar). False, logged, when the location is
  // refused or its parent cannot be opened.
  struct RegisteredFolder {
    Location location;
    pinned::Fd parent;
    pinned::Fd folder;
    int error = 0;
  };
  bool PinRegisteredFolder(const std::string& path, RegisteredFolder* folder);
  // Moves the registered folder `current`, and only the folder found there
  // at the start, into the resolved `target`; never onto or into an
  // existing target.
  bool MoveCalendarFolder(const std::string& current, const Location& target);

  // The calendar folder made by this call, held by descriptor from its
  // making to the end of the call: every later step of the create, and its
  // rollback, acts on it and on nothing that took its place.
  struct MadeFolder {
    pinned::Fd parent;
    pinned::Fd folder;
    pinned::Fd store;  // its ".DAV"
    std::string name;
  };
  // A share's directory as KIVOShareGet gave it (found false: no such
  // share). A list resolves thousands of folders in a few shares, so each
  // share is looked up once per call, and its directory opened at most once
  // (dir_fd, invalid until then or when it cannot be).
  struct ShareDir {
    bool found = false;
    std::string dir;
    bool dir_opened = false;
    pinned::Fd dir_fd;
    std::string canonical;  // dir's real path, once opened
  };
  ShareDir& LookUpShare(const std::string& name);
  // GetFullPath in two parts: the entry's share, and the folder's path
  // inside the share's directory, appended to `folder`. Null, with the
  // message and the error code of GetFullPath, when the entry names no
  // share; `folder` is then as it was.
  ShareDir* AppendFolderInShare(const Json::Value& entry, std::string& folder);
  // GetCalendarStatus's answer as a string that lives as long as the module.
  const char* CalendarStatus(const Json::Value& entry);

  KIVO::APIRequest* request_;
  KIVO::APIResponse* response_;
  bool homes_user_exists_;
  int error_code_;
  MadeFolder made_;
  Location create_location_;                // what a create's location check resolved
  std::map<std::string, ShareDir> shares_;  // looked up during this call
  std::string status_path_;                 // reused by every status check of a list
};

#endif  // KIVO_CALDAV_CALDAV_CALENDAR_H_
