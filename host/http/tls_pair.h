// The pair the host's HTTPS listeners serve, read from its two files and
// read again at the first handshake after either file changed, so that a
// certificate installed while `serve` runs is served from the next
// connection on, with no restart and no connection cut.
//
// Process-wide (libmicrohttpd's certificate callback carries no context):
// set once before the listeners start. The callback runs on the listeners'
// threads, under a mutex; every pair ever loaded stays in memory for the
// process's life, since a session may still use it (installs are rare).

#ifndef KIVO_HOST_HTTP_TLS_PAIR_H_
#define KIVO_HOST_HTTP_TLS_PAIR_H_

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>

#include <string>

namespace host {

// Serves the pair in these files from now on; false (logged) when they
// cannot be read as a matching pair.
bool ServeTlsPairFrom(const std::string& cert_path, const std::string& key_path);

// The callback for the listeners, or nullptr before ServeTlsPairFrom.
gnutls_certificate_retrieve_function2* TlsPairCallback();

}  // namespace host

#endif  // KIVO_HOST_HTTP_TLS_PAIR_H_
