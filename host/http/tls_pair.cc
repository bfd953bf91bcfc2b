#include "host/http/tls_pair.h"

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "base/root_files.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "tls_pair";

}  // namespace

namespace host {

namespace {

constexpr unsigned kMaxChain = 16;
constexpr size_t kMaxFile = 1 << 20;

// What a file was when last read: a replacement is a new inode.
struct Stamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  struct timespec mtime = {0, 0};
  bool operator==(const Stamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

Stamp StampOf(const std::string& path) {
  struct stat st;
  Stamp stamp;
  if (stat(path.c_str(), &st) == 0) stamp = {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
  return stamp;
}

struct Pair {
  gnutls_pcert_st pcerts[kMaxChain];
  unsigned count = 0;
  gnutls_privkey_t key = nullptr;
  ~Pair() {
    for (unsigned i = 0; i < count; ++i) gnutls_pcert_deinit(&pcerts[i]);
    if (key != nullptr) gnutls_privkey_deinit(key);
  }
};

bool SameKey(const gnutls_pcert_st& pcert, gnutls_privkey_t key) {
  gnutls_pubkey_t pub;
  if (gnutls_pubkey_init(&pub) < 0) return false;
  unsigned char a[64], b[64];
  size_t a_size = sizeof a, b_size = sizeof b;
  const bool same =
      gnutls_pubkey_import_privkey(pub, key, 0, 0) >= 0 &&
      gnutls_pubkey_get_key_id(pub, GNUTLS_KEYID_USE_SHA256, a, &a_size) >= 0 &&
      gnutls_pubkey_get_key_id(pcert.pubkey, GNUTLS_KEYID_USE_SHA256, b, &b_size) >= 0 &&
      a_size == b_size && memcmp(a, b, a_size) == 0;
  gnutls_pubkey_deinit(pub);
  return same;
}

// Null when the files are no matching pair: between the key's and the
// certificate's replacement, for one.
std::unique_ptr<Pair> Load(const std::string& cert_path, const std::string& key_path) {
  std::string cert, key;
  if (!kivo::base::ReadWholeFile(cert_path, &cert, nullptr, kMaxFile) ||
      !kivo::base::ReadWholeFile(key_path, &key, nullptr, kMaxFile)) {
    return nullptr;
  }
  auto pair = std::make_unique<Pair>();
  const gnutls_datum_t cert_data = {reinterpret_cast<unsigned char*>(cert.data()),
                                    static_cast<unsigned>(cert.size())};
  const gnutls_datum_t key_data = {reinterpret_cast<unsigned char*>(key.data()),
                                   static_cast<unsigned>(key.size())};
  unsigned count = kMaxChain;
  if (gnutls_pcert_list_import_x509_raw(pair->pcerts, &count, &cert_data, GNUTLS_X509_FMT_PEM, 0) <
          0 ||
      count == 0) {
    return nullptr;
  }
  pair->count = count;
  if (gnutls_privkey_init(&pair->key) < 0 ||
      gnutls_privkey_import_x509_raw(pair->key, &key_data, GNUTLS_X509_FMT_PEM, nullptr, 0) < 0 ||
      !SameKey(pair->pcerts[0], pair->key)) {
    return nullptr;
  }
  return pair;
}

struct Served {
  std::mutex mu;
  std::string cert_path, key_path;
  Stamp cert_stamp, key_stamp;
  std::vector<std::unique_ptr<Pair>> pairs;  // the last one serves
};

Served& TheServed() {
  static Served* served = new Served;  // outlives the listeners' threads
  return *served;
}

int Retrieve(gnutls_session_t, const gnutls_datum_t*, int, const gnutls_pk_algorithm_t*, int,
             gnutls_pcert_st** pcert, unsigned int* pcert_length, gnutls_privkey_t* pkey) {
  Served& s = TheServed();
  std::lock_guard<std::mutex> lock(s.mu);
  const Stamp cert = StampOf(s.cert_path), key = StampOf(s.key_path);
  if (!(cert == s.cert_stamp) || !(key == s.key_stamp)) {
    std::unique_ptr<Pair> pair = Load(s.cert_path, s.key_path);
    // A pair half replaced is tried again at the next handshake; the one
    // before serves meanwhile.
    if (pair != nullptr) {
      s.pairs.push_back(std::move(pair));
      s.cert_stamp = cert;
      s.key_stamp = key;
      KIVO_LOG(LOG_NOTICE, "serving the certificate in %s", s.cert_path.c_str());
    }
  }
  if (s.pairs.empty()) return -1;
  Pair& pair = *s.pairs.back();
  *pcert = pair.pcerts;
  *pcert_length = pair.count;
  *pkey = pair.key;
  return 0;
}

}  // namespace

bool ServeTlsPairFrom(const std::string& cert_path, const std::string& key_path) {
  Served& s = TheServed();
  std::lock_guard<std::mutex> lock(s.mu);
  s.cert_path = cert_path;
  s.key_path = key_path;
  s.cert_stamp = StampOf(cert_path);
  s.key_stamp = StampOf(key_path);
  std::unique_ptr<Pair> pair = Load(cert_path, key_path);
  if (pair == nullptr) {
    KIVO_LOG(LOG_ERR, "%s and %s are no matching certificate and key", cert_path.c_str(),
             key_path.c_str());
    return false;
  }
  s.pairs.push_back(std::move(pair));
  return true;
}

gnutls_certificate_retrieve_function2* TlsPairCallback() {
  Served& s = TheServed();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.pairs.empty() ? nullptr : &Retrieve;
}

}  // namespace host
