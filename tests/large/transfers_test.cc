// Files past every 32-bit boundary through the WebDAV daemon, up and back
// over HTTP and HTTPS into a user's home, with a Content-Length and
// chunked. The content is made while it is sent and checked while it
// arrives (tests/support/generated_stream.h), each way hashed as it goes:
// nothing of the file is kept on the client side.

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "tests/daemons/webdav_fixture.h"
#include "tests/support/generated_stream.h"

namespace e2e {
namespace {

// 4.5 GiB and an odd tail: no size, offset or count of the way fits in
// 32 bits, signed or not, nor lands on a block boundary.
constexpr uint64_t kSize = (4608ull << 20) + 12345;

struct Stream {
  uint64_t seed = 0;
  uint64_t offset = 0;
  uint64_t first_difference = UINT64_MAX;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> hash{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
  explicit Stream(uint64_t s) : seed(s) { EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr); }

  std::string Digest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(hash.get(), digest, &len);
    return std::string(reinterpret_cast<char*>(digest), len);
  }
};

size_t SendGenerated(char* buffer, size_t size, size_t count, void* data) {
  Stream* stream = static_cast<Stream*>(data);
  const size_t len = static_cast<size_t>(std::min<uint64_t>(size * count, kSize - stream->offset));
  GeneratedBytes(stream->seed, stream->offset, buffer, len);
  EVP_DigestUpdate(stream->hash.get(), buffer, len);
  stream->offset += len;
  return len;
}

size_t CheckArriving(char* buffer, size_t size, size_t count, void* data) {
  Stream* stream = static_cast<Stream*>(data);
  const size_t len = size * count;
  if (stream->first_difference == UINT64_MAX &&
      !IsGenerated(stream->seed, stream->offset, buffer, len)) {
    stream->first_difference = stream->offset;
  }
  EVP_DigestUpdate(stream->hash.get(), buffer, len);
  stream->offset += len;
  return len;
}

class LargeTransfersTest : public WebDAVDaemonTest {
 protected:
  // One transfer of the file at `url`: a PUT of the generated stream (with
  // its length, or chunked) or a GET checked against it. The status.
  long Transfer(const std::string& url, bool put, bool chunked, Stream* stream) {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERPWD, Alice().c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    // Bounded: a stall of 30 s ends the transfer, and the test with it.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
    if (put) {
      curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
      curl_easy_setopt(curl, CURLOPT_READFUNCTION, SendGenerated);
      curl_easy_setopt(curl, CURLOPT_READDATA, stream);
      if (chunked) {
        headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
      } else {
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(kSize));
      }
      curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(
          curl, CURLOPT_WRITEFUNCTION,
          +[](char*, size_t size, size_t count, void*) { return size * count; });
    } else {
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CheckArriving);
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, stream);
    }
    const CURLcode done = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    EXPECT_EQ(done, CURLE_OK) << url << ": " << curl_easy_strerror(done);
    return status;
  }
};

TEST_F(LargeTransfersTest, AFilePastEvery32BitBoundaryGoesUpAndBackWhole) {
  const Result set =
      Set(R"({"enable_http": true, "http_port_num": )" + std::to_string(http_port_) +
          R"(, "enable_https": true, "https_port_num": )" + std::to_string(https_port_) + "}");
  ASSERT_EQ(set.status, 0) << set.out << set.err;
  const std::string http = "http://127.0.0.1:" + std::to_string(http_port_);
  const std::string https = "https://127.0.0.1:" + std::to_string(https_port_);
  const struct {
    const char* name;
    std::string up, down;
    bool chunked;
  } cases[] = {
      {"large-length.bin", http, https, false},
      {"large-chunked.bin", https, http, true},
  };
  uint64_t seed = 7;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = std::string("/homes/alice/") + c.name;
    Stream sent(++seed);
    ASSERT_EQ(Transfer(c.up + path, true, c.chunked, &sent), 201);
    ASSERT_EQ(sent.offset, kSize);
    const struct stat stored = StatOf(root_.Path("/volume1" + path));
    EXPECT_EQ(static_cast<uint64_t>(stored.st_size), kSize);
    EXPECT_EQ(stored.st_uid, UidOf("alice"));
    Stream back(seed);
    EXPECT_EQ(Transfer(c.down + path, false, false, &back), 200);
    EXPECT_EQ(back.offset, kSize);
    EXPECT_EQ(back.first_difference, UINT64_MAX) << "first difference at " << back.first_difference;
    EXPECT_EQ(back.Digest(), sent.Digest());
    unlink(root_.Path("/volume1" + path).c_str());
  }
}

}  // namespace
}  // namespace e2e
