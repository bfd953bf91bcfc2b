// CalDAVServiceHandler serves KIVO.Core.FileServ.WebDAV.CalDAV.Calendar: the
// CalDAV calendars themselves (list, create, delete, set).
//
// A calendar is a folder inside a share or a user's home folder, holding a
// ".DAV" store with two state files, and an entry in the calendar registry
// that names it by share, destination and calendarname; on the web API it is
// named by its id, calendarname ":" destination.
//
// The handler is the road of each method through three parts, each with its
// own contract: CalendarRegistry (caldav/calendar_registry.h: the lock, the
// file, ids), CalendarLocation (caldav/calendar_location.h: entries from the
// request, the home alias and homes upgrade, folder paths, judging a proposed
// folder) and CalendarFolder (caldav/calendar_folder.h: making a folder as
// the user, its state, removing and moving it). Its other members are the
// conventions every handler has, and one-line delegations to the parts.
//
// Which folder is which calendar, and which changes were under way when a
// call was cut short, is CalendarIdentity's (caldav/calendar_identity.h);
// every method first finishes or undoes such changes.
//
// Each method holds the registry lock from its first read of the registry
// to its last write; a create holds it from before it acts as the user to
// its registry write, so it is one step for every other calendar call. The
// steps of a create that act as the user run on a thread of their own,
// with its own identity and creation mask, while the call's thread waits.
//
// The same handler serves address books (KIVO.Core.FileServ.WebDAV.CardDAV.
// AddressBook, carddav/carddav.h) when made with caldav::kAddressBooks: the
// parts then keep that kind's registry, record and folders, and the
// requests name an address book by "addressbookname"; the rules are one.
//
// One object serves one call, on one thread; the parts record the reason of
// a failure in its error code field, and the last code recorded is reported.

#ifndef KIVO_CALDAV_CALDAV_CALENDAR_H_
#define KIVO_CALDAV_CALDAV_CALENDAR_H_

#include <json/json.h>

#include <string>

#include "base/thread_identity_scope.h"
#include "caldav/calendar_folder.h"
#include "caldav/calendar_identity.h"
#include "caldav/calendar_location.h"
#include "caldav/calendar_registry.h"
#include "caldav/collection_kind.h"
#include "kivo/kivo_api.h"

class CalDAVServiceHandler {
 public:
  CalDAVServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response,
                       const caldav::CollectionKind& kind = caldav::kCalendars);

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

  // The calendar registry (CalendarRegistry). GetCalendarInfo: true read,
  // with `*found` false when there is no registry file (the value
  // untouched); false a failure, its code recorded.
  bool GetCalendarInfo(Json::Value& calendars, bool* found = nullptr);
  bool WriteCalendarInfo(Json::Value& calendars);
  bool ConcateID(const Json::Value& entry, std::string& id);
  bool AddCalendarItemToInfo(const Json::Value& entry);

  // Calendar locations and request input (CalendarLocation).
  bool IsPathExist(const char* path);
  bool IsPathValid(const char* parent, const char* path);
  bool IsUserNamedHomesExist();
  bool GetFullPath(const Json::Value& entry, std::string& path);
  bool UpdateHomeDest(Json::Value& entry);
  bool ConcateHomes(const std::string& destination, std::string& new_destination);
  bool UpdateHomesDest(Json::Value& entry);
  bool GetInputParam2Json(Json::Value& entry);

  // Calendar folders on disk (CalendarFolder).
  // The identity arguments are the web API's own (SeteGUID's values); the
  // folder part gets them as a Maker. `place` is where IsPathValid's
  // judgement resolved `path`.
  bool MKCalendarDIR(kivo::base::ThreadIdentity* as_user, const std::string& path,
                     const caldav::CalendarLocation::Place& place, bool root_for_homes, int uid,
                     int gid, int admin);
  bool CreateData(kivo::base::ThreadIdentity* as_user, std::string path,
                  const caldav::CalendarLocation::Place& place, unsigned int uid, unsigned int gid,
                  int admin);
  // Switches the calling thread, through `as_user`, to the logged-in user
  // unless an administrator.
  bool SeteGUID(kivo::base::ThreadIdentity* as_user, unsigned int* uid, unsigned int* gid,
                int* admin);
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
  // Under the registry lock, first in every method: loads the identity
  // record and finishes or undoes the changes it names as under way
  // (registry included). False, with the code, when the record is unusable.
  bool LoadAndRecover();

  // The request parameter as a string; "" when it is missing or has no
  // string form (array, object).
  std::string StringParam(const std::string& name);

  KIVO::APIRequest* request_;
  KIVO::APIResponse* response_;
  const caldav::CollectionKind& kind_;
  int error_code_;  // declared before the parts, which record into it
  caldav::CalendarLocation location_;
  caldav::CalendarRegistry registry_;
  caldav::CalendarIdentity identity_;
  caldav::CalendarFolder folder_;  // gone before the location it uses
};

#endif  // KIVO_CALDAV_CALDAV_CALENDAR_H_
