#include "webdav/webdav.h"

#include <cstring>
#include <utility>

#include "kivo/error_codes.h"
#include "kivo/handler_conventions.h"
#include "kivo/log.h"
#include "kivo/port_text.h"

// One row per variant. SetHttp/SetHttps, LoadHttp/LoadHttps and the two pair
// switches differ only in these values.
struct WebDAVVariant {
  const char* service;            // its enabled state is the variant's switch
  const char* announcement;       // avahi service announcing the variant
  const char* enable_param;       // request parameter and `get` member
  const char* port_param;         // request parameter and `get` member
  const char* port_key;           // kivoinfo.conf key of the port
  const char* default_port;       // port text when the key is absent or empty
  const char* conflict_id;        // identifier for WebUtils::IsPortConflict
  const char* port_write_failed;  // message when the port key cannot be written
  const char* reload_failed;      // message when the service cannot be reloaded
  unsigned int start_event;       // user log event ids
  unsigned int stop_event;
};

namespace {

constexpr char kLogUnit[] = "webdav";

const WebDAVVariant kHttp = {
    "webdav-httpd-pure",
    "webdav-avahi",
    "enable_http",
    "http_port_num",
    "WebDavPort",
    "5005",
    "webdav_http",
    "Failed to set WebDav port in kivoinfo.conf.",
    "Failed to reload webDAV",
    0x11B00872,
    0x11B00873,
};

const WebDAVVariant kHttps = {
    "webdav-httpd-ssl",
    "webdavs-avahi",
    "enable_https",
    "https_port_num",
    "secure_WebDavPort",
    "5006",
    "webdavs_https",
    "Failed to set WebDav ssl port in kivoinfo.conf.",
    "Failed to reload WebDAV",
    0x11B00874,
    0x11B00875,
};

// The daemon that serves both variants.
constexpr char kDaemon[] = "webdav-httpd";
constexpr char kAvahi[] = "avahi";
constexpr char kAnonymousKey[] = "webdavanonymouslogin";
constexpr char kDepthKey[] = "webdavdepthinfinity";
constexpr unsigned int kLogEventAnonymousOn = 0x11B00876;
constexpr unsigned int kLogEventAnonymousOff = 0x11B00877;
constexpr unsigned int kLogEventDepthOn = 0x11B0087A;
constexpr unsigned int kLogEventDepthOff = 0x11B0087B;
constexpr int kPortMin = 1;
constexpr int kPortMax = 65535;

bool IsYes(const char* value) { return std::strcmp(value, "yes") == 0; }

// Sends "kivo.service.action" for one variant. Its failure is reported to the
// caller but never fails a `set`: the service itself has already changed.
int EmitServiceAction(const char* service, const char* action) {
  int result = -1;
  KLIBCSZHASH* table = KLIBCSzHashAlloc(1024);
  if (table == nullptr) {
    KIVO_LOG(LOG_ERR, "Failed to allocate hash");
  } else if (KLIBCSzHashSetValue(&table, "SERVICE_NAME", service) < 0 ||
             KLIBCSzHashSetValue(&table, "SERVICE_ACTION", action) < 0) {
    KIVO_LOG(LOG_ERR, "Failed to set parameters");
  } else if (KLIBSyseventEmit("kivo.service.action", table, 1) < 0) {
    KIVO_LOG(LOG_ERR, "Failed to emit service action event for [%s]", service);
  } else {
    result = 0;
  }
  KLIBCSzHashFree(table);
  return result;
}

// Starts or stops a variant and then its announcement. The announcement is
// left alone when the variant itself could not be switched.
int SwitchPair(const WebDAVVariant& variant, bool start, bool& announcementChanged) {
  auto control = start ? KLIBServicectlStart : KLIBServicectlStop;
  if (control(variant.service, 0) < 0) return -1;
  if (control(variant.announcement, 0) < 0) return -1;
  announcementChanged = true;
  return 0;
}

int SwitchHttpService(bool start, bool& announcementChanged) {
  return SwitchPair(kHttp, start, announcementChanged);
}

int SwitchHttpsService(bool start, bool& announcementChanged) {
  return SwitchPair(kHttps, start, announcementChanged);
}

bool IsEnabled(const WebDAVVariant& variant) { return KLIBServiceIsEnabled(variant.service) == 1; }

using Status = WebDAVServiceHandler::SERVICE_STATUS;

// The daemon serves both variants: it keeps running while either of them is
// enabled once the switches are through.
bool ControlDaemon(Status http, Status https) {
  bool keep = false;
  if (http == WebDAVServiceHandler::SERVICE_START || https == WebDAVServiceHandler::SERVICE_START) {
    keep = true;
  } else if (http == WebDAVServiceHandler::SERVICE_NO_CHANGE) {
    keep = IsEnabled(kHttp);
  } else if (https == WebDAVServiceHandler::SERVICE_NO_CHANGE) {
    keep = IsEnabled(kHttps);
  }
  return (keep ? KLIBServicectlRestart(kDaemon, 0) : KLIBServicectlStop(kDaemon, 0)) >= 0;
}

// Carries out the statuses of the two variants: pairs, announcement daemon,
// shared daemon, run keys and events. Stops at the first failure and leaves
// what was done in place.
bool SwitchServices(Status http, Status https) {
  bool announcementChanged = false;
  if (http != WebDAVServiceHandler::SERVICE_NO_CHANGE &&
      SwitchHttpService(http == WebDAVServiceHandler::SERVICE_START, announcementChanged) != 0) {
    return false;
  }
  if (https != WebDAVServiceHandler::SERVICE_NO_CHANGE &&
      SwitchHttpsService(https == WebDAVServiceHandler::SERVICE_START, announcementChanged) != 0) {
    return false;
  }
  if (announcementChanged && KLIBServicectlRestart(kAvahi, 0) < 0) return false;
  if (!ControlDaemon(http, https)) return false;
  const struct {
    const WebDAVVariant& variant;
    Status status;
  } changes[] = {{kHttp, http}, {kHttps, https}};
  for (const auto& change : changes) {
    if (change.status == WebDAVServiceHandler::SERVICE_NO_CHANGE) continue;
    const bool start = change.status == WebDAVServiceHandler::SERVICE_START;
    if (KLIBServicecfgRunKeySet(change.variant.service, start ? 1 : 2) < 0) return false;
    EmitServiceAction(change.variant.service, start ? "start" : "stop");
  }
  return true;
}

}  // namespace

WebDAVServiceHandler::WebDAVServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response)
    : conf_(), request_(request), response_(response), error_code_(0) {}

WebDAVServiceHandler::~WebDAVServiceHandler() = default;

// ---- get ----------------------------------------------------------------------

void WebDAVServiceHandler::Get() {
  Json::Value result(Json::objectValue);
  if (LoadData(result)) {
    response_->SetSuccess(std::move(result));
  } else {
    ReportError();
  }
}

bool WebDAVServiceHandler::LoadData(Json::Value& result) {
  // The six members come from one version of kivoinfo.conf and of the
  // service states, each file looked up once.
  const KivoReadSnapshot snapshot;
  if (!LoadHttp(result)) {
    KIVO_LOG(LOG_ERR, "Cannot get http");
    return false;
  }
  if (!LoadHttps(result)) {
    KIVO_LOG(LOG_ERR, "Cannot get https");
    return false;
  }
  if (!LoadAdditional(result)) {
    KIVO_LOG(LOG_ERR, "Cannot get the additional option");
    return false;
  }
  return true;
}

bool WebDAVServiceHandler::LoadHttp(Json::Value& result) { return LoadVariant(kHttp, result); }

bool WebDAVServiceHandler::LoadHttps(Json::Value& result) { return LoadVariant(kHttps, result); }

bool WebDAVServiceHandler::LoadVariant(const WebDAVVariant& variant, Json::Value& result) {
  // The member names are static strings: the answer refers to them rather
  // than copying them.
  result[Json::StaticString(variant.enable_param)] = IsEnabled(variant);
  const char* stored = conf_.Info(variant.port_key, "");
  result[Json::StaticString(variant.port_param)] =
      port_text::Read(stored[0] == '\0' ? variant.default_port : stored);
  return true;
}

bool WebDAVServiceHandler::LoadAdditional(Json::Value& result) {
  result[Json::StaticString("anonymouslogin_enable")] = IsYes(conf_.Info(kAnonymousKey, ""));
  result[Json::StaticString("depth_infinity_enable")] = IsYes(conf_.Info(kDepthKey, ""));
  return true;
}

// ---- set: validation ------------------------------------------------------------

bool WebDAVServiceHandler::CheckWebDAVParam() {
  return CHECK_PARAM_BOOL(kHttp.enable_param, true) && CheckVariantPort(kHttp) &&
         CHECK_PARAM_BOOL(kHttps.enable_param, true) && CheckVariantPort(kHttps) &&
         CHECK_PARAM_BOOL("anonymouslogin_enable", false) &&
         CHECK_PARAM_BOOL("depth_infinity_enable", false);
}

// A port that is sent unchanged is accepted as it stands, even when the
// conflict test would now call it taken: the service already owns it.
bool WebDAVServiceHandler::CheckVariantPort(const WebDAVVariant& variant) {
  if (!CHECK_PARAM_INT(variant.port_param, false)) return false;
  std::string text;
  if (!RequestedPortChanged(variant, &text)) return true;
  return CHECK_PARAM_PORT(variant.port_param, variant.conflict_id);
}

// The stored text is compared raw (no default port): a key that is absent,
// or that spells the same number differently, counts as changed.
bool WebDAVServiceHandler::RequestedPortChanged(const WebDAVVariant& variant, std::string* text) {
  if (!request_->HasParam(variant.port_param)) return false;
  *text = std::to_string(request_->GetParam(variant.port_param, Json::Value()).asInt());
  return *text != conf_.Info(variant.port_key, "");
}

bool WebDAVServiceHandler::CHECK_PARAM_PORT(std::string name, std::string conflict_id) {
  if (!request_->HasParam(name)) {
    KIVO_LOG(LOG_WARNING, "Wrong paramter");
    SetError(WEBAPI_ERR_BAD_PARAMETER);
    return false;
  }
  const int port = request_->GetParam(name, Json::Value()).asInt();
  if (CheckPort(port, kPortMin, kPortMax)) {
    KIVO_LOG(LOG_WARNING, "webdav_port_num is not in port range %i", port);
    SetError(WEBAPI_ERR_BAD_PARAMETER);
    return false;
  }
  if (WebUtils::IsPortConflict(conflict_id, port, port)) {
    KIVO_LOG(LOG_WARNING, "%s is conflict", conflict_id.c_str());
    SetError(WEBAPI_ERR_PORT_IN_USE);
    return false;
  }
  return true;
}

bool WebDAVServiceHandler::CheckPort(int port, int low, int high) {
  return port < low || port > high;
}

// ---- set: applying ----------------------------------------------------------------

void WebDAVServiceHandler::Set() {
  if (!CheckWebDAVParam() || !SaveWebDav()) {
    ReportError();
    return;
  }
  response_->SetSuccess(Json::Value());
}

bool WebDAVServiceHandler::SetHttp(SERVICE_STATUS& status, bool& restartAvahi, bool& reloadFirewall,
                                   bool& reloadService) {
  return SetVariant(kHttp, status, restartAvahi, reloadFirewall, reloadService);
}

bool WebDAVServiceHandler::SetHttps(SERVICE_STATUS& status, bool& restartAvahi,
                                    bool& reloadFirewall, bool& reloadService) {
  return SetVariant(kHttps, status, restartAvahi, reloadFirewall, reloadService);
}

// Writes the variant's port when it changed and decides its status. The
// flags are only ever raised here; both variants share the avahi and
// firewall flags.
bool WebDAVServiceHandler::SetVariant(const WebDAVVariant& variant, SERVICE_STATUS& status,
                                      bool& restartAvahi, bool& reloadFirewall,
                                      bool& reloadService) {
  const bool want = request_->GetParam(variant.enable_param, Json::Value()).asBool();
  const bool current = IsEnabled(variant);
  std::string text;
  if (RequestedPortChanged(variant, &text)) {
    if (KLIBCINFOSetKeyValue(variant.port_key, text.c_str()) == -1) {
      KIVO_LOG(LOG_ERR, "%s", variant.port_write_failed);
      SetError(WEBAPI_ERR_OPERATION_FAILED);
      return false;
    }
    KIVO_LOG(LOG_NOTICE, "%s set to %s by %s", variant.port_key, text.c_str(),
             request_->GetLoginUserName().c_str());
    // A variant that keeps running must pick up its new port; one that is
    // started or stopped below does so anyway.
    if (want && current) reloadService = true;
    restartAvahi = true;
    reloadFirewall = true;
  }
  if (want == current) {
    status = SERVICE_NO_CHANGE;
  } else {
    status = want ? SERVICE_START : SERVICE_STOP;
  }
  return true;
}

bool WebDAVServiceHandler::SaveWebDav() {
  bool restartAvahi = false;
  bool reloadFirewall = false;
  bool reloadHttp = false;
  bool reloadHttps = false;
  SERVICE_STATUS http = SERVICE_NO_CHANGE;
  SERVICE_STATUS https = SERVICE_NO_CHANGE;
  if (!SetHttp(http, restartAvahi, reloadFirewall, reloadHttp)) return false;
  if (!SetHttps(https, restartAvahi, reloadFirewall, reloadHttps)) return false;

  // One reload at most: both variants run in the one daemon, so a single
  // reload picks up either port.
  const WebDAVVariant* reload = reloadHttps ? &kHttps : (reloadHttp ? &kHttp : nullptr);
  if (reload != nullptr && KLIBServiceReload(reload->service) < 0) {
    KIVO_LOG(LOG_ERR, "%s", reload->reload_failed);
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }

  if ((http != SERVICE_NO_CHANGE || https != SERVICE_NO_CHANGE) && !SwitchServices(http, https)) {
    KIVO_LOG(LOG_ERR, "Service start error");
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }

  const std::string user = request_->GetLoginUserName();
  if (http != SERVICE_NO_CHANGE) {
    KIVO_LOG(LOG_NOTICE, "%s %s by %s", kHttp.service, http == SERVICE_START ? "on" : "off",
             user.c_str());
    KIVOLogSet1(2, 1, http == SERVICE_START ? kHttp.start_event : kHttp.stop_event, user.c_str(),
                "", "", "");
  }
  if (https != SERVICE_NO_CHANGE) {
    KIVO_LOG(LOG_NOTICE, "%s %s by %s", kHttps.service, https == SERVICE_START ? "on" : "off",
             user.c_str());
    KIVOLogSet1(2, 1, https == SERVICE_START ? kHttps.start_event : kHttps.stop_event, user.c_str(),
                "", "", "");
  }

  if (!SetWebDavAdv()) return false;

  // The new ports are in place; firewall and announcements catch up on their
  // next reload if these fail, so the call still succeeds.
  if (reloadFirewall && KIVOFwRuleHup() < 0) {
    KIVO_LOG(LOG_ERR, "Failed to reload firewall rules.");
  }
  if (restartAvahi && KLIBServiceRestart(kAvahi) < 0) {
    KIVO_LOG(LOG_ERR, "Call KLIBNetService() error");
  }
  return true;
}

// An absent switch reads as off, so a request that carries only one of the
// two turns the other off.
bool WebDAVServiceHandler::SetWebDavAdv() {
  if (!request_->HasParam("anonymouslogin_enable") &&
      !request_->HasParam("depth_infinity_enable")) {
    return true;
  }
  const bool anonymous = request_->GetParam("anonymouslogin_enable", Json::Value()).asBool();
  const bool depth = request_->GetParam("depth_infinity_enable", Json::Value()).asBool();
  return SetSwitchKey(kAnonymousKey, anonymous, kLogEventAnonymousOn, kLogEventAnonymousOff) &&
         SetSwitchKey(kDepthKey, depth, kLogEventDepthOn, kLogEventDepthOff);
}

bool WebDAVServiceHandler::SetSwitchKey(const char* key, bool want, unsigned int on_event,
                                        unsigned int off_event) {
  if (want == IsYes(conf_.Info(key, ""))) return true;
  if (KLIBCINFOSetKeyValue(key, want ? "yes" : "no") == -1) {
    KIVO_LOG(LOG_ERR, "Failed to set %s in kivoinfo.conf.", key);
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  const std::string user = request_->GetLoginUserName();
  KIVO_LOG(LOG_NOTICE, "%s set to %s by %s", key, want ? "yes" : "no", user.c_str());
  KIVOLogSet1(2, 1, want ? on_event : off_event, user.c_str(), "", "", "");
  return true;
}

// ---- conventions ------------------------------------------------------------------

void WebDAVServiceHandler::SetError(int code) { conventions::RecordError(error_code_, code); }

void WebDAVServiceHandler::ReportError() {
  conventions::ReportError(kLogUnit, __LINE__, error_code_, response_);
}

bool WebDAVServiceHandler::CHECK_PARAM_BOOL(std::string name, bool required) {
  return conventions::CheckParam(*request_, name, required, &Json::Value::isBool, kLogUnit,
                                 __LINE__, this);
}

bool WebDAVServiceHandler::CHECK_PARAM_INT(std::string name, bool required) {
  return conventions::CheckParam(*request_, name, required, &Json::Value::isInt, kLogUnit, __LINE__,
                                 this);
}

void WebDAVServiceHandler::ShowJson(const char* label, const Json::Value& value) {
  conventions::ShowJson(kLogUnit, __LINE__, label, value);
}
