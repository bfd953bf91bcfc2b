// WebDAVServiceHandler serves KIVO.Core.FileServ.WebDAV: the settings of the
// WebDAV file service.
//
// The service has a plain-HTTP and an HTTPS variant. Each variant's switch is
// the enabled state of its platform service, its port a kivoinfo.conf key;
// two more keys hold the anonymous-login and depth-infinity switches. `get`
// reports them; `set` validates a request, then writes the changed keys and
// starts, stops, restarts or reloads the services that depend on them. Nothing
// is rolled back: whatever a failing `set` did before its failure stays.
// One object serves one call; the first error code recorded is reported.

#ifndef KIVO_WEBDAV_WEBDAV_H_
#define KIVO_WEBDAV_WEBDAV_H_

#include <json/json.h>

#include <string>

#include "kivo/kivo_api.h"
#include "kivo/kivo_platform.h"

// Where one variant (HTTP or HTTPS) keeps its settings and what it reports;
// the two rows live in webdav.cc.
struct WebDAVVariant;

class WebDAVServiceHandler {
 public:
  // What `set` does to one variant, decided by SetHttp / SetHttps.
  enum SERVICE_STATUS {
    SERVICE_START = 0,      // requested enabled, now disabled
    SERVICE_STOP = 1,       // requested disabled, now enabled
    SERVICE_NO_CHANGE = 2,  // requested state is the current one
  };

  WebDAVServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response);
  ~WebDAVServiceHandler();

  WebDAVServiceHandler(const WebDAVServiceHandler&) = delete;
  WebDAVServiceHandler& operator=(const WebDAVServiceHandler&) = delete;

  // Web API methods: each answers the response exactly once.
  void Get();
  void Set();

  // Reading: each loader adds its members to `result`.
  bool LoadData(Json::Value& result);
  bool LoadHttp(Json::Value& result);
  bool LoadHttps(Json::Value& result);
  bool LoadAdditional(Json::Value& result);

  // Validation of a `set` request; writes nothing.
  bool CheckWebDAVParam();
  bool CHECK_PARAM_PORT(std::string name, std::string conflict_id);
  // True when `port` lies OUTSIDE [low, high].
  bool CheckPort(int port, int low, int high);

  // Applying a validated `set` request.
  bool SaveWebDav();
  bool SetHttp(SERVICE_STATUS& status, bool& restartAvahi, bool& reloadFirewall,
               bool& reloadService);
  bool SetHttps(SERVICE_STATUS& status, bool& restartAvahi, bool& reloadFirewall,
                bool& reloadService);
  bool SetWebDavAdv();

  void SetError(int code);
  void ReportError();
  bool CHECK_PARAM_BOOL(std::string name, bool required);
  bool CHECK_PARAM_INT(std::string name, bool required);
  // Diagnostic aid: logs `label` and `value` on one line.
  void ShowJson(const char* label, const Json::Value& value);

 private:
  bool LoadVariant(const WebDAVVariant& variant, Json::Value& result);
  // Steps of CheckWebDAVParam for one variant's port parameter.
  bool CheckVariantPort(const WebDAVVariant& variant);
  // True when the request carries the variant's port and its text differs
  // from the stored key; `text` then holds the requested port text.
  bool RequestedPortChanged(const WebDAVVariant& variant, std::string* text);
  bool SetVariant(const WebDAVVariant& variant, SERVICE_STATUS& status, bool& restartAvahi,
                  bool& reloadFirewall, bool& reloadService);
  bool SetSwitchKey(const char* key, bool want, unsigned int on_event, unsigned int off_event);

  KivoConf conf_;
  KIVO::APIRequest* request_;
  KIVO::APIResponse* response_;
  int error_code_;
};

#endif  // KIVO_WEBDAV_WEBDAV_H_
