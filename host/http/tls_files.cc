#include "host/http/tls_files.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "base/last_error.h"
#include "base/random_text.h"
#include "base/root_files.h"
#include "host/common/root_paths.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "tls_files";

}  // namespace

namespace host {

namespace {

constexpr time_t kValidity = 10L * 365 * 24 * 60 * 60;

// Writes `data` to a new file `path` with `mode` through a temporary name.
bool WriteNew(const std::string& path, const gnutls_datum_t& data, mode_t mode) {
  if (kivo::base::ReplaceFile(
          path, std::string(reinterpret_cast<const char*>(data.data), data.size), mode)) {
    return true;
  }
  KIVO_LOG(LOG_ERR, "cannot write %s: %s", path.c_str(), strerror(kivo::base::LastError()));
  return false;
}

bool Check(int status, const char* what) {
  if (status >= 0) return true;
  KIVO_LOG(LOG_ERR, "TLS certificate: %s: %s", what, gnutls_strerror(status));
  return false;
}

bool MakePair(gnutls_x509_privkey_t key, gnutls_x509_crt_t crt, gnutls_datum_t* cert_pem,
              gnutls_datum_t* key_pem) {
  const time_t now = time(nullptr);
  const std::string serial = kivo::base::RandomHex(16);
  char hostname[256] = "";
  gethostname(hostname, sizeof hostname - 1);
  unsigned char v4[4], v6[16];
  inet_pton(AF_INET, "127.0.0.1", v4);
  inet_pton(AF_INET6, "::1", v6);
  if (serial.empty()) return false;
  unsigned char serial_bytes[8];
  for (size_t i = 0; i < sizeof serial_bytes; ++i) {
    serial_bytes[i] = static_cast<unsigned char>(std::stoul(serial.substr(2 * i, 2), nullptr, 16));
  }
  serial_bytes[0] &= 0x7f;  // a positive number
  bool ok =
      Check(gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                         GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
            "key") &&
      Check(gnutls_x509_crt_set_version(crt, 3), "version") &&
      Check(gnutls_x509_crt_set_serial(crt, serial_bytes, sizeof serial_bytes), "serial") &&
      Check(gnutls_x509_crt_set_activation_time(crt, now - 60), "start") &&
      Check(gnutls_x509_crt_set_expiration_time(crt, now + kValidity), "end") &&
      Check(gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, "localhost", 9),
            "name") &&
      Check(gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, "localhost", 9,
                                                 GNUTLS_FSAN_APPEND),
            "localhost") &&
      Check(gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, v4, sizeof v4,
                                                 GNUTLS_FSAN_APPEND),
            "127.0.0.1") &&
      Check(gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, v6, sizeof v6,
                                                 GNUTLS_FSAN_APPEND),
            "::1") &&
      Check(gnutls_x509_crt_set_key(crt, key), "public key") &&
      Check(gnutls_x509_crt_set_basic_constraints(crt, 0, -1), "constraints") &&
      Check(gnutls_x509_crt_set_key_usage(crt, GNUTLS_KEY_DIGITAL_SIGNATURE), "usage") &&
      Check(gnutls_x509_crt_set_key_purpose_oid(crt, GNUTLS_KP_TLS_WWW_SERVER, 0), "purpose");
  if (ok && hostname[0] != '\0' && strcmp(hostname, "localhost") != 0) {
    ok = Check(gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, hostname,
                                                    strlen(hostname), GNUTLS_FSAN_APPEND),
               "host name");
  }
  return ok && Check(gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0), "sign") &&
         Check(gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, cert_pem), "export") &&
         Check(gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_PEM, nullptr,
                                                 GNUTLS_PKCS_PLAIN, key_pem),
               "export key");
}

}  // namespace

bool EnsureTlsFiles(const std::string& root) {
  const std::string cert_path = InRoot(root, kTlsCertPath), key_path = InRoot(root, kTlsKeyPath);
  struct stat st;
  const bool has_cert = lstat(cert_path.c_str(), &st) == 0;
  const bool has_key = lstat(key_path.c_str(), &st) == 0;
  if (has_cert && has_key) return true;
  if (has_cert || has_key) {
    KIVO_LOG(LOG_WARNING, "%s without %s: remove it to have a new pair made",
             has_cert ? cert_path.c_str() : key_path.c_str(),
             has_cert ? key_path.c_str() : cert_path.c_str());
    return false;
  }
  const std::string dir = cert_path.substr(0, cert_path.rfind('/'));
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    KIVO_LOG(LOG_ERR, "cannot create %s: %s", dir.c_str(), strerror(errno));
    return false;
  }
  gnutls_x509_privkey_t key = nullptr;
  gnutls_x509_crt_t crt = nullptr;
  gnutls_datum_t cert_pem = {nullptr, 0}, key_pem = {nullptr, 0};
  bool ok = gnutls_x509_privkey_init(&key) >= 0 && gnutls_x509_crt_init(&crt) >= 0 &&
            MakePair(key, crt, &cert_pem, &key_pem);
  // The key first: a certificate alone is never left behind as a pair.
  ok = ok && WriteNew(key_path, key_pem, 0600) && WriteNew(cert_path, cert_pem, 0644);
  gnutls_free(cert_pem.data);
  gnutls_free(key_pem.data);
  if (crt != nullptr) gnutls_x509_crt_deinit(crt);
  if (key != nullptr) gnutls_x509_privkey_deinit(key);
  return ok;
}

}  // namespace host
