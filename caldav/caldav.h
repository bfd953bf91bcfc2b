// CalDAVConfServiceHandler serves KIVO.Core.FileServ.WebDAV.CalDAV: the switch
// that turns the CalDAV calendar service on or off.
//
// The state is the kivoinfo.conf key "runCalDav" ("yes" is on, anything else
// off). A change is recorded in the user log and followed by restarts of the
// announcement daemon and the HTTP WebDAV service, which carries CalDAV.
// One object serves one call; the first error code recorded is reported.

#ifndef KIVO_CALDAV_CALDAV_H_
#define KIVO_CALDAV_CALDAV_H_

#include <json/json.h>

#include <string>

#include "kivo/kivo_api.h"
#include "kivo/kivo_platform.h"

class CalDAVConfServiceHandler {
 public:
  CalDAVConfServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response);
  ~CalDAVConfServiceHandler();

  CalDAVConfServiceHandler(const CalDAVConfServiceHandler&) = delete;
  CalDAVConfServiceHandler& operator=(const CalDAVConfServiceHandler&) = delete;

  // Web API methods: each answers the response exactly once.
  void Get();
  void Set();

  bool LoadCalDAVData(Json::Value& result);
  bool SaveCalDAV();
  bool SetCalDAV(bool& changed);

  void SetError(int code);
  void ReportError();
  bool CHECK_PARAM_BOOL(std::string name, bool required);

 private:
  KIVO::APIRequest* request_;
  KIVO::APIResponse* response_;
  KivoConf conf_;
  int error_code_;
};

#endif  // KIVO_CALDAV_CALDAV_H_
