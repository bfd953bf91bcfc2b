#include "host/http/tls_files.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
bool WriteNew(const std::string& path, const std::string& data, mode_t mode) {
  if (kivo::base::ReplaceFile(path, data, mode)) {
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

bool AddName(gnutls_x509_crt_t crt, const std::string& name) {
  return Check(gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, name.data(),
                                                    name.size(), GNUTLS_FSAN_APPEND),
               name.c_str());
}

bool AddAddress(gnutls_x509_crt_t crt, const std::string& address) {
  unsigned char bytes[16];
  const bool v6 = address.find(':') != std::string::npos;
  if (inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), bytes) != 1) return true;
  return Check(gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, bytes, v6 ? 16 : 4,
                                                    GNUTLS_FSAN_APPEND),
               address.c_str());
}

bool MakePair(const SelfSignedNames& names, gnutls_x509_privkey_t key, gnutls_x509_crt_t crt,
              gnutls_datum_t* cert_pem, gnutls_datum_t* key_pem) {
  const time_t now = time(nullptr);
  const std::string serial = kivo::base::RandomHex(16);
  if (serial.empty()) return false;
  unsigned char serial_bytes[8];
  for (size_t i = 0; i < sizeof serial_bytes; ++i) {
    serial_bytes[i] = static_cast<unsigned char>(std::stoul(serial.substr(2 * i, 2), nullptr, 16));
  }
  serial_bytes[0] &= 0x7f;  // a positive number
  // Clients show the common name: the host's own rather than "localhost".
  const std::string& common = names.dns.empty() ? std::string("localhost") : names.dns.front();
  bool ok = Check(gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                               GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
                  "key") &&
            Check(gnutls_x509_crt_set_version(crt, 3), "version") &&
            Check(gnutls_x509_crt_set_serial(crt, serial_bytes, sizeof serial_bytes), "serial") &&
            Check(gnutls_x509_crt_set_activation_time(crt, now - 60), "start") &&
            Check(gnutls_x509_crt_set_expiration_time(crt, now + kValidity), "end") &&
            Check(gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, common.data(),
                                                common.size()),
                  "name");
  for (const std::string& name : names.dns) ok = ok && AddName(crt, name);
  for (const std::string& address : names.addresses) ok = ok && AddAddress(crt, address);
  ok = ok && Check(gnutls_x509_crt_set_key(crt, key), "public key") &&
       Check(gnutls_x509_crt_set_basic_constraints(crt, 0, -1), "constraints") &&
       Check(gnutls_x509_crt_set_key_usage(crt, GNUTLS_KEY_DIGITAL_SIGNATURE), "usage") &&
       Check(gnutls_x509_crt_set_key_purpose_oid(crt, GNUTLS_KP_TLS_WWW_SERVER, 0), "purpose");
  return ok && Check(gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0), "sign") &&
         Check(gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, cert_pem), "export") &&
         Check(gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_PEM, nullptr,
                                                 GNUTLS_PKCS_PLAIN, key_pem),
               "export key");
}

// Link-local addresses (169.254/16, fe80::/10) are left out: a URL names
// them only with a zone (https://[fe80::1%25eth0]/) that no client matches
// against a certificate, and a 169.254 address is drawn anew on each link,
// so the name would be another machine's tomorrow.
bool LinkLocal(const std::string& address) {
  unsigned char bytes[16];
  if (inet_pton(AF_INET, address.c_str(), bytes) == 1) return bytes[0] == 169 && bytes[1] == 254;
  if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
    return bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
  }
  return true;  // not an address at all
}

}  // namespace

SelfSignedNames NamesForSelfSigned(const std::string& hostname,
                                   const std::vector<std::string>& addresses) {
  SelfSignedNames names;
  const auto add = [](std::vector<std::string>* list, const std::string& item) {
    if (!item.empty() && std::find(list->begin(), list->end(), item) == list->end()) {
      list->push_back(item);
    }
  };
  // The mDNS responder announces the first label under .local.
  const std::string label = hostname.substr(0, hostname.find('.'));
  if (!label.empty() && label != "localhost") {
    add(&names.dns, hostname);
    add(&names.dns, label + ".local");
  }
  add(&names.dns, "localhost");
  add(&names.addresses, "127.0.0.1");
  add(&names.addresses, "::1");
  for (const std::string& address : addresses) {
    const std::string bare = address.substr(0, address.find('%'));
    if (!LinkLocal(bare)) add(&names.addresses, bare);
  }
  return names;
}

std::vector<std::string> InterfaceAddresses() {
  std::vector<std::string> addresses;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    KIVO_LOG(LOG_WARNING, "cannot list the interfaces' addresses: %s", strerror(errno));
    return addresses;
  }
  for (struct ifaddrs* at = list; at != nullptr; at = at->ifa_next) {
    if (at->ifa_addr == nullptr || (at->ifa_flags & IFF_UP) == 0) continue;
    const int family = at->ifa_addr->sa_family;
    char text[INET6_ADDRSTRLEN];
    const void* bytes =
        family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(at->ifa_addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(at->ifa_addr)->sin6_addr);
    if ((family == AF_INET || family == AF_INET6) && inet_ntop(family, bytes, text, sizeof text)) {
      addresses.emplace_back(text);
    }
  }
  freeifaddrs(list);
  return addresses;
}

bool MakeSelfSigned(const SelfSignedNames& names, std::string* cert_pem, std::string* key_pem) {
  gnutls_x509_privkey_t key = nullptr;
  gnutls_x509_crt_t crt = nullptr;
  gnutls_datum_t cert = {nullptr, 0}, private_key = {nullptr, 0};
  const bool ok = gnutls_x509_privkey_init(&key) >= 0 && gnutls_x509_crt_init(&crt) >= 0 &&
                  MakePair(names, key, crt, &cert, &private_key);
  if (ok) {
    cert_pem->assign(reinterpret_cast<const char*>(cert.data), cert.size);
    key_pem->assign(reinterpret_cast<const char*>(private_key.data), private_key.size);
  }
  gnutls_free(cert.data);
  gnutls_free(private_key.data);
  if (crt != nullptr) gnutls_x509_crt_deinit(crt);
  if (key != nullptr) gnutls_x509_privkey_deinit(key);
  return ok;
}

std::string ThisHostName() {
  char hostname[256] = "";
  gethostname(hostname, sizeof hostname - 1);
  return hostname;
}

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
  std::string cert_pem, key_pem;
  if (!MakeSelfSigned(NamesForSelfSigned(ThisHostName(), InterfaceAddresses()), &cert_pem,
                      &key_pem)) {
    return false;
  }
  // The key first: a certificate alone is never left behind as a pair.
  return WriteNew(key_path, key_pem, 0600) && WriteNew(cert_path, cert_pem, 0644);
}

}  // namespace host
