// The host's TLS certificate and key under a root: etc/kivo/tls/server.crt
// and etc/kivo/tls/server.key (0600). `init` makes a self-signed pair when
// none is there; `serve --listen-tls` and the Apache front end use these two
// files. Never replaces a pair that exists (an administrator's own comes
// through certificates.h).

#ifndef KIVO_HOST_TLS_FILES_H_
#define KIVO_HOST_TLS_FILES_H_

#include <string>
#include <vector>

#include "kivo/kivo_paths.h"

namespace host {

constexpr char kTlsCertPath[] = SZF_TLS_CERT;
constexpr char kTlsKeyPath[] = SZF_TLS_KEY;

// What a self-signed certificate names, so that a client reaching the
// machine by any of its names or addresses sees no mismatch.
struct SelfSignedNames {
  std::vector<std::string> dns;        // the host name, its .local name, localhost
  std::vector<std::string> addresses;  // IPv4 and IPv6, as text
};

// The names for host name `hostname` (as gethostname gives it) and the
// interfaces' `addresses` (text): loopback always, link-local ones never.
SelfSignedNames NamesForSelfSigned(const std::string& hostname,
                                   const std::vector<std::string>& addresses);

// This machine's name, as gethostname gives it.
std::string ThisHostName();

// Every address of this machine's interfaces that are up, as text.
std::vector<std::string> InterfaceAddresses();

// A fresh ECDSA P-256 key and a self-signed certificate for `names`, valid
// ten years, as PEM. False (logged) on failure.
bool MakeSelfSigned(const SelfSignedNames& names, std::string* cert_pem, std::string* key_pem);

// A self-signed pair for this machine's names and addresses when the root
// has neither file. False (logged) on failure or when only one of them
// exists.
bool EnsureTlsFiles(const std::string& root);

}  // namespace host

#endif  // KIVO_HOST_TLS_FILES_H_
