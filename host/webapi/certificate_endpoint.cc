// GET /webapi/certificate (what the host and the WebDAV daemon serve),
// POST /webapi/certificate (an administrator's own chain and key) and
// POST /webapi/certificate/self-signed (back to a new self-signed pair).
//
// Threading: entered on the event loop; the checks, the files and the
// WebDAV daemon's reload run on the module thread, in turn with the
// module's calls, so that two installs never interleave their two files.

#include <json/json.h>
#include <time.h>

#include <exception>
#include <memory>
#include <string>

#include "base/root_files.h"
#include "daemons/service_effects.h"
#include "host/common/root_paths.h"
#include "host/http/certificates.h"
#include "host/http/tls_files.h"
#include "host/webapi/http_rules.h"
#include "host/webapi/refusals.h"
#include "host/webapi/web_api_server.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "certificate_endpoint";

}  // namespace

namespace host {

namespace {

Json::Value FactsJson(const CertificateFacts& facts) {
  Json::Value data(Json::objectValue);
  data["subject"] = facts.subject;
  data["issuer"] = facts.issuer;
  data["names"] = Json::Value(Json::arrayValue);
  for (const std::string& name : facts.names) data["names"].append(name);
  data["self_signed"] = facts.self_signed;
  data["not_before"] = static_cast<Json::Int64>(facts.not_before);
  data["not_after"] = static_cast<Json::Int64>(facts.not_after);
  data["sha256"] = facts.sha256;
  return data;
}

// The pair on disk is what serves: the WebDAV daemon reads it at each
// (graceful) restart, the host at each HTTPS handshake.
Json::Value ServedJson() {
  std::string pem;
  CertificateFacts facts;
  Json::Value data(Json::objectValue);
  if (!kivo::base::ReadWholeFile(InRoot(kivo::Root(), kTlsCertPath), &pem) ||
      !DescribeCertificate(pem, &facts)) {
    data["certificate"] = Json::Value();
    return data;
  }
  data["certificate"] = FactsJson(facts);
  return data;
}

// A graceful restart: transfers under way end on their old workers, new
// connections get the new pair. The CalDAV proxy lives in the same daemon.
// A stopped daemon stays stopped and reads the pair when it starts.
void ReloadWebDAV() {
  if (!kivo::daemons::EffectsWanted()) return;
  if (!kivo::daemons::WebDAVDaemonEffect(kivo::daemons::ServiceOp::kReload)) {
    KIVO_LOG(LOG_ERR, "the WebDAV daemon did not take the new certificate");
  }
}

// PEM texts are lines: the request parser for the module's calls refuses
// every control character in a string, these two may hold line ends.
bool ParsePemBody(const std::string& text, Json::Value* body) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["rejectDupKeys"] = true;
  builder["stackLimit"] = 8;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), body, &errors)) return false;
  } catch (const std::exception&) {
    return false;
  }
  return body->isObject();
}

HttpAnswer CertificateRefusal(CertificateFault fault) {
  Json::Value body(Json::objectValue);
  body["success"] = false;
  body["error"]["code"] = kBadCertificate;
  body["error"]["reason"] = CertificateFaultName(fault);
  return JsonAnswer(HttpStatusOf(kBadCertificate), body);
}

}  // namespace

void WebApiServer::Certificate(const HttpRequest& request, const HttpReply& reply) {
  SessionRead(request, reply, false, [](const Grant&) { return ServedJson(); });
}

// On the event loop: the session and the body's shape; the rest on the
// module thread.
void WebApiServer::InstallOwnCertificate(const HttpRequest& request, const HttpReply& reply,
                                         bool self_signed) {
  const std::string token = SessionTokenFromCookie(request.Header("Cookie"));
  Grant grant;
  if (token.empty() || !sessions_.Lookup(token, &grant)) {
    return reply(RefusalAnswer(kNotLoggedIn));
  }
  const HttpReply answer = [account = grant.account, reply](HttpAnswer a) {
    a.log_account = account;
    reply(std::move(a));
  };
  Json::Value body;
  if (!ParsePemBody(request.body, &body) ||
      (!self_signed && (!body["certificate"].isString() || !body["key"].isString()))) {
    return answer(RefusalAnswer(kMalformedRequest));
  }
  if (!grant.admin) return answer(RefusalAnswer(kNotAllowed));
  const std::string chain = self_signed ? "" : body["certificate"].asString();
  const std::string key = self_signed ? "" : body["key"].asString();
  const bool posted = module_thread_.Post([this, token, grant, chain, key, self_signed, answer] {
    if (!SessionHolds(token)) return answer(RefusalAnswer(kNotLoggedIn));
    std::string cert_pem = chain, key_pem = key;
    if (self_signed) {
      if (!MakeSelfSigned(NamesForSelfSigned(ThisHostName(), InterfaceAddresses()), &cert_pem,
                          &key_pem)) {
        return answer(RefusalAnswer(kUnknownError));
      }
    } else {
      const CertificateFault fault = CheckCertificate(cert_pem, key_pem, time(nullptr));
      if (fault != CertificateFault::kNone) {
        KIVO_LOG(LOG_NOTICE, "a certificate from %s refused: %s", grant.account.c_str(),
                 CertificateFaultName(fault));
        return answer(CertificateRefusal(fault));
      }
    }
    if (!InstallCertificate(kivo::Root(), cert_pem, key_pem)) {
      return answer(RefusalAnswer(kUnknownError));
    }
    KIVO_LOG(LOG_NOTICE, "administrator %s installed %s certificate", grant.account.c_str(),
             self_signed ? "a new self-signed" : "their own");
    ReloadWebDAV();
    Json::Value out(Json::objectValue);
    out["success"] = true;
    out["data"] = ServedJson();
    answer(JsonAnswer(200, out));
  });
  if (!posted) answer(RefusalAnswer(kServerBusy));
}

}  // namespace host
