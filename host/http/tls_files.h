// The host's TLS certificate and key under a root: etc/kivo/tls/server.crt
// and etc/kivo/tls/server.key (0600). `init` makes a self-signed pair when
// none is there; `serve --listen-tls` and the Apache front end use these two
// files. Never replaces a pair that exists.

#ifndef KIVO_HOST_TLS_FILES_H_
#define KIVO_HOST_TLS_FILES_H_

#include <string>

#include "kivo/kivo_paths.h"

namespace host {

constexpr char kTlsCertPath[] = SZF_TLS_CERT;
constexpr char kTlsKeyPath[] = SZF_TLS_KEY;

// A fresh ECDSA P-256 key and a self-signed certificate for "localhost",
// 127.0.0.1, ::1 and this machine's name, valid ten years, when the root has
// neither file. False (logged) on failure or when only one of them exists.
bool EnsureTlsFiles(const std::string& root);

}  // namespace host

#endif  // KIVO_HOST_TLS_FILES_H_
