// CalDAVServiceHandler serves KIVO.Core.FileServ.WebDAV.CalDAV.Calendar
// (placeholder until the calendar methods land).

#ifndef KIVO_CALDAV_CALDAV_CALENDAR_H_
#define KIVO_CALDAV_CALDAV_CALENDAR_H_

#include <json/json.h>

#include "module/kivo_api.h"
#include "module/kivo_platform.h"

class CalDAVServiceHandler {
 public:
  CalDAVServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response);
  void List();
  void Create();
  void Delete();
  void Set();
  void SetError(int code);
  void ReportError();

 private:
  KIVO::APIRequest* request_;
  KIVO::APIResponse* response_;
  bool homes_user_exists_;
  int error_code_;
};

#endif  // KIVO_CALDAV_CALDAV_CALENDAR_H_
