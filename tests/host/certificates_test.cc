// An administrator's certificate before it replaces the served one: every
// check against chains made here with GnuTLS, the self-signed pair's names
// from a made-up interface list, and the replacement keeping the files'
// modes.

#include "host/http/certificates.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "host/http/tls_files.h"
#include "tests/platform/temp_root.h"

namespace {

using host::CertificateFault;

constexpr time_t kStart = 1700000000, kEnd = kStart + 400L * 24 * 3600;
constexpr time_t kNow = kStart + 24 * 3600;

// A key and a certificate signed by `issuer` (itself when null).
struct Made {
  std::shared_ptr<gnutls_x509_privkey_int> key;
  std::shared_ptr<gnutls_x509_crt_int> crt;
  std::string cert_pem, key_pem;
};

std::string Exported(int rc, gnutls_datum_t out) {
  std::string text = rc >= 0 ? std::string(reinterpret_cast<char*>(out.data), out.size) : "";
  gnutls_free(out.data);
  return text;
}

Made Make(const std::string& name, bool ca, const Made* issuer, time_t end = kEnd,
          unsigned rsa_bits = 0) {
  gnutls_x509_privkey_t key;
  gnutls_x509_crt_t crt;
  gnutls_x509_privkey_init(&key);
  gnutls_x509_crt_init(&crt);
  Made made{{key, gnutls_x509_privkey_deinit}, {crt, gnutls_x509_crt_deinit}, "", ""};
  if (rsa_bits != 0) {
    gnutls_x509_privkey_generate(key, GNUTLS_PK_RSA, rsa_bits, 0);
  } else {
    gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                 GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0);
  }
  static unsigned char serial = 1;
  ++serial;
  gnutls_x509_crt_set_version(crt, 3);
  gnutls_x509_crt_set_serial(crt, &serial, 1);
  gnutls_x509_crt_set_activation_time(crt, kStart);
  gnutls_x509_crt_set_expiration_time(crt, end);
  gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, name.data(), name.size());
  gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, name.data(), name.size(),
                                       GNUTLS_FSAN_APPEND);
  gnutls_x509_crt_set_key(crt, key);
  gnutls_x509_crt_set_basic_constraints(crt, ca ? 1 : 0, -1);
  gnutls_x509_crt_set_key_usage(crt, ca ? GNUTLS_KEY_KEY_CERT_SIGN : GNUTLS_KEY_DIGITAL_SIGNATURE);
  EXPECT_GE(gnutls_x509_crt_sign2(crt, issuer ? issuer->crt.get() : crt,
                                  issuer ? issuer->key.get() : key, GNUTLS_DIG_SHA256, 0),
            0);
  gnutls_datum_t out = {nullptr, 0};
  made.cert_pem = Exported(gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &out), out);
  made.key_pem = Exported(
      gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN, &out),
      out);
  return made;
}

TEST(CertificatesTest, EachCheckRefusesWhatItGuards) {
  const Made root = Make("Test Root CA", true, nullptr);
  const Made inter = Make("Test Intermediate", true, &root);
  const Made leaf = Make("nas.example", false, &inter);
  // The same name as the intermediate, another key: a chain that only
  // matches names would take it.
  const Made impostor = Make("Test Intermediate", true, &root);
  const Made forged = Make("nas.example", false, &impostor);
  const Made short_lived = Make("nas.example", false, &inter, kStart + 3600);
  const Made self = Make("nas.local", false, nullptr);
  const Made weak = Make("nas.local", false, nullptr, kEnd, 1024);
  const host::TrustRoots trusted{false, root.cert_pem}, untrusted{false, ""};
  const struct {
    const char* what;
    std::string chain, key;
    host::TrustRoots trust;
    time_t now;
    CertificateFault fault;
  } cases[] = {
      {"whole chain to a self-signed root", leaf.cert_pem + inter.cert_pem + root.cert_pem,
       leaf.key_pem, untrusted, kNow, CertificateFault::kNone},
      {"chain to a trusted CA", leaf.cert_pem + inter.cert_pem, leaf.key_pem, trusted, kNow,
       CertificateFault::kNone},
      {"self-signed alone", self.cert_pem, self.key_pem, untrusted, kNow, CertificateFault::kNone},
      {"text around the PEM", "subject=x\n" + self.cert_pem + "\n", self.key_pem, untrusted, kNow,
       CertificateFault::kNone},
      {"not PEM", "MIIBhello", leaf.key_pem, trusted, kNow, CertificateFault::kNotPem},
      {"key not PEM", self.cert_pem, "secret", untrusted, kNow, CertificateFault::kKeyNotPem},
      {"the CA's key", leaf.cert_pem + inter.cert_pem, inter.key_pem, trusted, kNow,
       CertificateFault::kKeyMismatch},
      {"another server's key", self.cert_pem, leaf.key_pem, untrusted, kNow,
       CertificateFault::kKeyMismatch},
      {"RSA 1024", weak.cert_pem, weak.key_pem, untrusted, kNow, CertificateFault::kWeakKey},
      {"intermediate missing", leaf.cert_pem + root.cert_pem, leaf.key_pem, trusted, kNow,
       CertificateFault::kChainIncomplete},
      {"intermediate missing, no root", leaf.cert_pem, leaf.key_pem, trusted, kNow,
       CertificateFault::kChainIncomplete},
      {"root not trusted nor sent", leaf.cert_pem + inter.cert_pem, leaf.key_pem, untrusted, kNow,
       CertificateFault::kChainIncomplete},
      {"root before intermediate", leaf.cert_pem + root.cert_pem + inter.cert_pem, leaf.key_pem,
       untrusted, kNow, CertificateFault::kChainOrder},
      {"intermediate first", inter.cert_pem + leaf.cert_pem, leaf.key_pem, trusted, kNow,
       CertificateFault::kKeyMismatch},
      {"signed by a namesake", forged.cert_pem + inter.cert_pem, forged.key_pem, trusted, kNow,
       CertificateFault::kBadSignature},
      {"expired", short_lived.cert_pem + inter.cert_pem, short_lived.key_pem, trusted, kNow,
       CertificateFault::kExpired},
      {"chain past its end", leaf.cert_pem + inter.cert_pem, leaf.key_pem, trusted, kEnd + 1,
       CertificateFault::kExpired},
      {"not yet valid", leaf.cert_pem + inter.cert_pem, leaf.key_pem, trusted, kStart - 1,
       CertificateFault::kNotYetValid},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(host::CertificateFaultName(host::CheckCertificate(c.chain, c.key, c.now, c.trust)),
                 host::CertificateFaultName(c.fault))
        << c.what;
  }
}

// The names clients reach the machine by, from a made-up interface list:
// loopback always, link-local never, the .local name from the first label.
TEST(CertificatesTest, SelfSignedNamesTheMachine) {
  const struct {
    const char* hostname;
    std::vector<std::string> interfaces, dns, addresses;
  } cases[] = {
      {"nas",
       {"127.0.0.1", "192.168.1.20", "fe80::1%eth0", "169.254.3.4", "2001:db8::5", "::1"},
       {"nas", "nas.local", "localhost"},
       {"127.0.0.1", "::1", "192.168.1.20", "2001:db8::5"}},
      {"nas.example.com",
       {"10.0.0.2"},
       {"nas.example.com", "nas.local", "localhost"},
       {"127.0.0.1", "::1", "10.0.0.2"}},
      {"localhost", {}, {"localhost"}, {"127.0.0.1", "::1"}},
  };
  for (const auto& c : cases) {
    const host::SelfSignedNames names = host::NamesForSelfSigned(c.hostname, c.interfaces);
    EXPECT_EQ(names.dns, c.dns) << c.hostname;
    EXPECT_EQ(names.addresses, c.addresses) << c.hostname;
  }
  std::string cert, key;
  ASSERT_TRUE(
      host::MakeSelfSigned(host::NamesForSelfSigned("nas", cases[0].interfaces), &cert, &key));
  host::CertificateFacts facts;
  ASSERT_TRUE(host::DescribeCertificate(cert, &facts));
  EXPECT_EQ(facts.names, (std::vector<std::string>{"nas", "nas.local", "localhost", "127.0.0.1",
                                                   "::1", "192.168.1.20", "2001:db8::5"}));
  EXPECT_TRUE(facts.self_signed);
  EXPECT_EQ(facts.sha256.size(), 32u * 3 - 1);
  EXPECT_EQ(host::CheckCertificate(cert, key, time(nullptr), {false, ""}), CertificateFault::kNone);
}

class InstallTest : public TempRootTest {};

// The replaced pair keeps its modes (a key its group reads stays so), and
// what is served afterwards is the new chain, issuer and all.
TEST_F(InstallTest, ReplacesBothFilesKeepingTheirModes) {
  std::filesystem::create_directories(Path("etc/kivo"));
  ASSERT_TRUE(host::EnsureTlsFiles(root_));
  const std::string key_path = Path(host::kTlsKeyPath + 1),
                    cert_path = Path(host::kTlsCertPath + 1);
  ASSERT_EQ(chmod(key_path.c_str(), 0640), 0);
  const Made root = Make("Test Root CA", true, nullptr);
  const Made leaf = Make("nas.example", false, &root);
  ASSERT_TRUE(host::InstallCertificate(root_, leaf.cert_pem + root.cert_pem, leaf.key_pem));
  struct stat st;
  ASSERT_EQ(stat(key_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_EQ(stat(cert_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  host::CertificateFacts facts;
  ASSERT_TRUE(host::DescribeCertificate(Read(host::kTlsCertPath + 1), &facts));
  EXPECT_EQ(facts.subject, "CN=nas.example");
  EXPECT_EQ(facts.issuer, "CN=Test Root CA");
  EXPECT_FALSE(facts.self_signed);
  EXPECT_EQ(host::CheckCertificate(Read(host::kTlsCertPath + 1), Read(host::kTlsKeyPath + 1), kNow,
                                   {false, ""}),
            CertificateFault::kNone);
}

}  // namespace
