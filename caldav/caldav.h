// CalDAVConfServiceHandler serves KIVO.Core.FileServ.WebDAV.CalDAV: the switch
// that turns the CalDAV calendar service on or off.
//
// The state is the kivoinfo.conf key "runCalDav" ("yes" is on, anything else
// off). A change is recorded in the user log and followed by restarts of the
// announcement daemon and the HTTP WebDAV service, which carries CalDAV.
// The CardDAV switch (carddav/carddav.h) is this handler made with its own
// key and log events: the same checks and the same restarts.
// One object serves one call; the first error code recorded is reported.

#ifndef KIVO_CALDAV_CALDAV_H_
#define KIVO_CALDAV_CALDAV_H_

#include <json/json.h>

#include <string>

#include "kivo/kivo_api.h"
#include "kivo/kivo_platform.h"

// A service switch: its kivoinfo.conf key and its user log events.
struct DavSwitch {
  const char* key;
  unsigned int on_event;
  unsigned int off_event;
};

extern const DavSwitch kCalDAVSwitch;

class CalDAVConfServiceHandler {
 public:
  CalDAVConfServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response,
                           const DavSwitch& service = kCalDAVSwitch);
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
  const DavSwitch& switch_;
  KivoConf conf_;
  int error_code_;
};

#endif  // KIVO_CALDAV_CALDAV_H_
