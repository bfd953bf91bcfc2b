// A certificate an administrator brings for the host's HTTPS and the WebDAV
// daemon: the checks it must pass before it replaces the pair in use, what
// the page shows of the one served, and the replacement itself.
//
// The checks read nothing but their arguments (and, for the trust store,
// the system's CA list when asked to), so that they run the same on any
// thread and in tests. Install writes under the root and is run by one
// caller at a time (the host's module thread).

#ifndef KIVO_HOST_HTTP_CERTIFICATES_H_
#define KIVO_HOST_HTTP_CERTIFICATES_H_

#include <time.h>

#include <string>
#include <vector>

namespace host {

// Why a certificate was refused, the first check that failed.
enum class CertificateFault {
  kNone,
  kNotPem,           // no PEM certificate in the text, or one that does not parse
  kKeyNotPem,        // no unencrypted PEM private key
  kKeyMismatch,      // the key is not the first certificate's
  kWeakKey,          // RSA or DSA below 2048 bits
  kChainOrder,       // a certificate is not issued by the one after it
  kChainIncomplete,  // the last is neither self-signed nor issued by a trusted CA
  kBadSignature,     // a signature in the chain does not verify
  kExpired,          // a certificate of the chain is past its end
  kNotYetValid,      // a certificate of the chain starts later
};

// The word a refusal carries ("key_mismatch", ...).
const char* CertificateFaultName(CertificateFault fault);

// Where the last certificate of a chain may lead besides itself: the
// system's CA list, and/or CAs given as PEM (tests).
struct TrustRoots {
  bool system = true;
  std::string extra_pem;
};

// Checks a chain (server certificate first, each one issued by the next)
// and its key at `now`.
CertificateFault CheckCertificate(const std::string& chain_pem, const std::string& key_pem,
                                  time_t now, const TrustRoots& trust = {});

// What a client is shown of a certificate, for the page.
struct CertificateFacts {
  std::string subject, issuer;
  std::vector<std::string> names;  // DNS names and addresses it is valid for
  bool self_signed = false;
  time_t not_before = 0, not_after = 0;
  std::string sha256;  // "AB:CD:..." as browsers show it
};

// The first certificate of `pem`; false when there is none.
bool DescribeCertificate(const std::string& pem, CertificateFacts* facts);

// Replaces the root's pair (tls_files.h) with a checked chain and key, both
// rewritten as plain PEM, through the atomic replacement: the files keep
// their owners and modes, and the old pair stays whole until the new key
// and certificate are both in place (the old key is put back when the
// certificate cannot be written). False, logged, on failure.
bool InstallCertificate(const std::string& root, const std::string& chain_pem,
                        const std::string& key_pem);

}  // namespace host

#endif  // KIVO_HOST_HTTP_CERTIFICATES_H_
