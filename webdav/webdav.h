// WebDAVServiceHandler serves KIVO.Core.FileServ.WebDAV (placeholder until
// the settings methods land).

#ifndef KIVO_WEBDAV_WEBDAV_H_
#define KIVO_WEBDAV_WEBDAV_H_

#include <json/json.h>

#include "module/kivo_api.h"
#include "module/kivo_platform.h"

class WebDAVServiceHandler {
 public:
  WebDAVServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response);
  void Get();
  void Set();
  void SetError(int code);
  void ReportError();

 private:
  KivoConf conf_;
  KIVO::APIRequest* request_;
  KIVO::APIResponse* response_;
  int error_code_;
};

#endif  // KIVO_WEBDAV_WEBDAV_H_
