#include "host/http/certificates.h"

#include <arpa/inet.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/last_error.h"
#include "base/root_files.h"
#include "host/common/root_paths.h"
#include "host/http/tls_files.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "certificates";

}  // namespace

namespace host {

namespace {

constexpr unsigned kMinRsaBits = 2048;
// Far more than any real chain; an upload is bounded before it gets here.
constexpr unsigned kMaxChain = 16;

struct Key {
  gnutls_x509_privkey_t key = nullptr;
  ~Key() {
    if (key != nullptr) gnutls_x509_privkey_deinit(key);
  }
};

// The certificates of a PEM text, in its order.
struct Chain {
  gnutls_x509_crt_t* crts = nullptr;
  unsigned size = 0;
  ~Chain() {
    for (unsigned i = 0; i < size; ++i) gnutls_x509_crt_deinit(crts[i]);
    gnutls_free(crts);
  }
  bool Import(const std::string& pem) {
    if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) return false;
    const gnutls_datum_t data = {reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                                 static_cast<unsigned>(pem.size())};
    return gnutls_x509_crt_list_import2(&crts, &size, &data, GNUTLS_X509_FMT_PEM, 0) >= 0 &&
           size > 0 && size <= kMaxChain;
  }
};

bool ImportKey(const std::string& pem, Key* key) {
  if (pem.find("-----BEGIN") == std::string::npos || pem.find("ENCRYPTED") != std::string::npos) {
    return false;
  }
  const gnutls_datum_t data = {reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                               static_cast<unsigned>(pem.size())};
  return gnutls_x509_privkey_init(&key->key) >= 0 &&
         gnutls_x509_privkey_import2(key->key, &data, GNUTLS_X509_FMT_PEM, nullptr,
                                     GNUTLS_PKCS_PLAIN) >= 0;
}

// The key's public half is the certificate's: their key ids agree.
bool KeyMatches(gnutls_x509_privkey_t key, gnutls_x509_crt_t crt) {
  unsigned char key_id[64], crt_id[64];
  size_t key_size = sizeof key_id, crt_size = sizeof crt_id;
  return gnutls_x509_privkey_get_key_id(key, GNUTLS_KEYID_USE_SHA256, key_id, &key_size) >= 0 &&
         gnutls_x509_crt_get_key_id(crt, GNUTLS_KEYID_USE_SHA256, crt_id, &crt_size) >= 0 &&
         key_size == crt_size && memcmp(key_id, crt_id, key_size) == 0;
}

bool WeakKey(gnutls_x509_crt_t crt) {
  unsigned bits = 0;
  const int algorithm = gnutls_x509_crt_get_pk_algorithm(crt, &bits);
  return (algorithm == GNUTLS_PK_RSA || algorithm == GNUTLS_PK_DSA) && bits < kMinRsaBits;
}

// Whether `issuer` signed `crt`. The dates are judged on their own, and an
// end certificate that signs itself is no CA.
bool SignedBy(gnutls_x509_crt_t crt, gnutls_x509_crt_t issuer) {
  unsigned status = 0;
  const unsigned flags = GNUTLS_VERIFY_DISABLE_TIME_CHECKS |
                         GNUTLS_VERIFY_DISABLE_TRUSTED_TIME_CHECKS |
                         (crt == issuer ? GNUTLS_VERIFY_DISABLE_CA_SIGN : 0);
  return gnutls_x509_crt_verify(crt, &issuer, 1, flags, &status) >= 0 && status == 0;
}

bool Trusted(gnutls_x509_crt_t last, const TrustRoots& trust) {
  gnutls_x509_trust_list_t list;
  if (gnutls_x509_trust_list_init(&list, 0) < 0) return false;
  std::unique_ptr<gnutls_x509_trust_list_st, void (*)(gnutls_x509_trust_list_t)> held(
      list, [](gnutls_x509_trust_list_t l) { gnutls_x509_trust_list_deinit(l, 1); });
  if (trust.system) gnutls_x509_trust_list_add_system_trust(list, 0, 0);
  if (!trust.extra_pem.empty()) {
    const gnutls_datum_t data = {
        reinterpret_cast<unsigned char*>(const_cast<char*>(trust.extra_pem.data())),
        static_cast<unsigned>(trust.extra_pem.size())};
    gnutls_x509_trust_list_add_trust_mem(list, &data, nullptr, GNUTLS_X509_FMT_PEM, 0, 0);
  }
  unsigned status = 0;
  return gnutls_x509_trust_list_verify_crt(
             list, &last, 1,
             GNUTLS_VERIFY_DISABLE_TIME_CHECKS | GNUTLS_VERIFY_DISABLE_TRUSTED_TIME_CHECKS, &status,
             nullptr) >= 0 &&
         status == 0;
}

// Whether the issuer of certificate `at` is in the upload, only not right
// after it: an order fault rather than a missing certificate.
bool IssuerElsewhere(const Chain& chain, unsigned at) {
  for (unsigned j = 0; j < chain.size; ++j) {
    if (j != at && j != at + 1 && gnutls_x509_crt_check_issuer(chain.crts[at], chain.crts[j])) {
      return true;
    }
  }
  return false;
}

CertificateFault ChainFault(const Chain& chain, const TrustRoots& trust) {
  for (unsigned i = 0; i < chain.size; ++i) {
    gnutls_x509_crt_t crt = chain.crts[i];
    if (i + 1 < chain.size) {
      if (!gnutls_x509_crt_check_issuer(crt, chain.crts[i + 1])) {
        return IssuerElsewhere(chain, i) ? CertificateFault::kChainOrder
                                         : CertificateFault::kChainIncomplete;
      }
      if (!SignedBy(crt, chain.crts[i + 1])) return CertificateFault::kBadSignature;
    } else if (gnutls_x509_crt_check_issuer(crt, crt)) {
      if (!SignedBy(crt, crt)) return CertificateFault::kBadSignature;
    } else if (!Trusted(crt, trust)) {
      return IssuerElsewhere(chain, i) ? CertificateFault::kChainOrder
                                       : CertificateFault::kChainIncomplete;
    }
  }
  return CertificateFault::kNone;
}

CertificateFault DateFault(const Chain& chain, time_t now) {
  for (unsigned i = 0; i < chain.size; ++i) {
    if (gnutls_x509_crt_get_expiration_time(chain.crts[i]) < now) return CertificateFault::kExpired;
    if (gnutls_x509_crt_get_activation_time(chain.crts[i]) > now) {
      return CertificateFault::kNotYetValid;
    }
  }
  return CertificateFault::kNone;
}

std::string DnOf(gnutls_x509_crt_t crt, bool issuer) {
  gnutls_datum_t dn = {nullptr, 0};
  const int rc =
      issuer ? gnutls_x509_crt_get_issuer_dn3(crt, &dn, 0) : gnutls_x509_crt_get_dn3(crt, &dn, 0);
  std::string text = rc >= 0 ? std::string(reinterpret_cast<char*>(dn.data), dn.size) : "";
  gnutls_free(dn.data);
  return text;
}

std::vector<std::string> NamesOf(gnutls_x509_crt_t crt) {
  std::vector<std::string> names;
  for (unsigned i = 0;; ++i) {
    char value[1024];
    size_t size = sizeof value;
    const int type = gnutls_x509_crt_get_subject_alt_name(crt, i, value, &size, nullptr);
    if (type == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) break;
    if (type == GNUTLS_SAN_DNSNAME) {
      names.emplace_back(value, size);
    } else if (type == GNUTLS_SAN_IPADDRESS && (size == 4 || size == 16)) {
      char text[INET6_ADDRSTRLEN];
      if (inet_ntop(size == 4 ? AF_INET : AF_INET6, value, text, sizeof text)) {
        names.emplace_back(text);
      }
    }
  }
  return names;
}

std::string PemOf(gnutls_x509_crt_t crt) {
  gnutls_datum_t out = {nullptr, 0};
  std::string text;
  if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &out) >= 0) {
    text.assign(reinterpret_cast<char*>(out.data), out.size);
  }
  gnutls_free(out.data);
  return text;
}

std::string PemOf(gnutls_x509_privkey_t key) {
  gnutls_datum_t out = {nullptr, 0};
  std::string text;
  if (gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN,
                                        &out) >= 0) {
    text.assign(reinterpret_cast<char*>(out.data), out.size);
  }
  gnutls_free(out.data);
  return text;
}

}  // namespace

const char* CertificateFaultName(CertificateFault fault) {
  switch (fault) {
    case CertificateFault::kNone:
      return "none";
    case CertificateFault::kNotPem:
      return "certificate_not_pem";
    case CertificateFault::kKeyNotPem:
      return "key_not_pem";
    case CertificateFault::kKeyMismatch:
      return "key_mismatch";
    case CertificateFault::kWeakKey:
      return "weak_key";
    case CertificateFault::kChainOrder:
      return "chain_order";
    case CertificateFault::kChainIncomplete:
      return "chain_incomplete";
    case CertificateFault::kBadSignature:
      return "bad_signature";
    case CertificateFault::kExpired:
      return "expired";
    case CertificateFault::kNotYetValid:
      return "not_yet_valid";
  }
  return "unknown";
}

CertificateFault CheckCertificate(const std::string& chain_pem, const std::string& key_pem,
                                  time_t now, const TrustRoots& trust) {
  Chain chain;
  if (!chain.Import(chain_pem)) return CertificateFault::kNotPem;
  Key key;
  if (!ImportKey(key_pem, &key)) return CertificateFault::kKeyNotPem;
  if (!KeyMatches(key.key, chain.crts[0])) return CertificateFault::kKeyMismatch;
  if (WeakKey(chain.crts[0])) return CertificateFault::kWeakKey;
  const CertificateFault chain_fault = ChainFault(chain, trust);
  if (chain_fault != CertificateFault::kNone) return chain_fault;
  return DateFault(chain, now);
}

bool DescribeCertificate(const std::string& pem, CertificateFacts* facts) {
  Chain chain;
  if (!chain.Import(pem)) return false;
  gnutls_x509_crt_t crt = chain.crts[0];
  facts->subject = DnOf(crt, false);
  facts->issuer = DnOf(crt, true);
  facts->names = NamesOf(crt);
  facts->self_signed = gnutls_x509_crt_check_issuer(crt, crt) && SignedBy(crt, crt);
  facts->not_before = gnutls_x509_crt_get_activation_time(crt);
  facts->not_after = gnutls_x509_crt_get_expiration_time(crt);
  unsigned char digest[32];
  size_t size = sizeof digest;
  facts->sha256.clear();
  if (gnutls_x509_crt_get_fingerprint(crt, GNUTLS_DIG_SHA256, digest, &size) >= 0) {
    for (size_t i = 0; i < size; ++i) {
      char hex[4];
      snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
      facts->sha256 += hex;
    }
  }
  return true;
}

bool InstallCertificate(const std::string& root, const std::string& chain_pem,
                        const std::string& key_pem) {
  Chain chain;
  Key key;
  if (!chain.Import(chain_pem) || !ImportKey(key_pem, &key)) return false;
  std::string cert_text;
  for (unsigned i = 0; i < chain.size; ++i) cert_text += PemOf(chain.crts[i]);
  const std::string key_text = PemOf(key.key);
  if (cert_text.empty() || key_text.empty()) return false;
  const std::string cert_path = InRoot(root, kTlsCertPath), key_path = InRoot(root, kTlsKeyPath);
  std::string old_key;
  bool no_key = false;
  if (!kivo::base::ReadWholeFile(key_path, &old_key, &no_key)) return false;
  // The key first, as `init` writes them: each file is whole at any time,
  // and a failed certificate puts the old key back.
  kivo::base::ReplaceOptions key_options;
  key_options.new_mode = 0600;
  key_options.refused_bits = 007;
  if (!kivo::base::ReplaceFile(key_path, key_text, key_options)) return false;
  if (kivo::base::ReplaceFile(cert_path, cert_text, 0644)) return true;
  if (!no_key && !kivo::base::ReplaceFile(key_path, old_key, key_options)) {
    KIVO_LOG(LOG_ERR, "%s no longer matches %s: install a pair again", key_path.c_str(),
             cert_path.c_str());
  }
  return false;
}

}  // namespace host
