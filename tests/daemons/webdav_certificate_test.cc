// An administrator's certificate installed through the host while the
// WebDAV daemon serves: a download under way (held by the test, which reads
// nothing until the install has answered) arrives whole from the same
// daemon, and new HTTPS connections get the new certificate.

#include <sys/socket.h>

#include <string>
#include <vector>

#include "tests/daemons/webdav_fixture.h"
#include "tests/support/generated_stream.h"

namespace e2e {
namespace {

constexpr uint64_t kSize = 64ull << 20, kSeed = 7;

class WebDAVCertificateTest : public WebDAVDaemonTest {
 protected:
  // curl over HTTPS trusting only `ca_file`: the status, 0 when the
  // handshake (or the name check) failed.
  int HttpsStatus(const std::string& ca_file) const {
    const Result r =
        e2e::Run({"/usr/bin/curl", "-s", "--max-time", "10", "--cacert", ca_file, "-o", "/dev/null",
                  "-w", "%{http_code}", "https://127.0.0.1:" + std::to_string(https_port_) + "/"},
                 root_.path());
    return atoi(r.out.c_str());
  }
};

TEST_F(WebDAVCertificateTest, AnInstalledCertificateIsServedWithoutCuttingATransfer) {
  ASSERT_EQ(Set(R"({"enable_http": true, "http_port_num": )" + std::to_string(http_port_) +
                R"(, "enable_https": true, "https_port_num": )" + std::to_string(https_port_) + "}")
                .status,
            0);
  const std::string old_cert = root_.Path("/old.crt");
  ASSERT_TRUE(WriteFile(old_cert, Read(root_.Path("/etc/kivo/tls/server.crt"))));
  EXPECT_EQ(HttpsStatus(old_cert), 401);

  // The administrator's own: made now, for the address the test connects to.
  const std::string cert = root_.Path("/own.crt"), key = root_.Path("/own.key");
  const Result made = e2e::Run(
      {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
       "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30", "-subj", "/CN=installed.test",
       "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert},
      root_.path());
  ASSERT_EQ(made.status, 0) << made.err;

  const std::string home = root_.Path("/volume1/homes/alice");
  ASSERT_TRUE(WriteGenerated(home + "/big.bin", kSeed, kSize));
  ASSERT_EQ(chown((home + "/big.bin").c_str(), UidOf("alice"), static_cast<gid_t>(-1)), 0);
  const pid_t daemon = DaemonPid();
  ASSERT_GT(daemon, 0);

  // The download starts; its worker fills the socket and waits on it.
  const int fd = Dial(http_port_);
  ASSERT_GE(fd, 0);
  const std::string request =
      "GET /homes/alice/big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Authorization: Basic " +
      Base64(Alice()) + "\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) head += c;
  ASSERT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;

  Server server;
  ASSERT_TRUE(server.Start(root_));
  Http admin(server.port());
  ASSERT_TRUE(admin.Login("admin", TestRoot::kAdminPassword));
  Json::Value upload(Json::objectValue);
  upload["certificate"] = Read(cert);
  upload["key"] = Read(key);
  const Reply installed =
      admin.Send("POST", "/webapi/certificate", Json::FastWriter().write(upload));
  ASSERT_EQ(installed.status, 200) << installed.text;
  EXPECT_EQ(installed.body["data"]["certificate"]["subject"], "CN=installed.test");

  // New connections get the new certificate, from the same daemon.
  EXPECT_EQ(HttpsStatus(cert), 401);
  EXPECT_EQ(HttpsStatus(old_cert), 0);
  EXPECT_EQ(DaemonPid(), daemon);

  // The download, read only now, arrives whole.
  std::vector<char> chunk(1 << 16);
  uint64_t received = 0;
  while (received < kSize) {
    const ssize_t n = read(fd, chunk.data(), std::min<uint64_t>(chunk.size(), kSize - received));
    ASSERT_GT(n, 0) << "the connection ended after " << received << " bytes";
    ASSERT_TRUE(IsGenerated(kSeed, received, chunk.data(), static_cast<size_t>(n)))
        << "other bytes at " << received;
    received += static_cast<uint64_t>(n);
  }
  close(fd);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace e2e
