// Port conflicts: the other WebDAV variant's port, ports declared by other
// services, ports something listens on, and the asking service's own port.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "module/kivo_platform.h"
#include "tests/platform/temp_root.h"

namespace {

class PortsTest : public TempRootTest {
 protected:
  void TearDown() override {
    if (listener_ >= 0) close(listener_);
    TempRootTest::TearDown();
  }

  // Listens on 127.0.0.1 at a port the kernel picks; answers the port.
  int Listen() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(listener_, 1), 0);
    socklen_t size = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &size);
    return ntohs(addr.sin_port);
  }

  // A port nothing listens on right now.
  static int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t size = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
    close(fd);
    return ntohs(addr.sin_port);
  }

  bool Conflict(const std::string& service, int port) {
    return WebUtils::IsPortConflict(service, port, port);
  }

  int listener_ = -1;
};

TEST_F(PortsTest, OtherVariantsStoredPortOrDefault) {
  EXPECT_TRUE(Conflict("webdav_http", 5006));    // HTTPS default
  EXPECT_TRUE(Conflict("webdavs_https", 5005));  // HTTP default
  Write("etc/kivoinfo.conf", "WebDavPort=\"8080\"\nsecure_WebDavPort=\"8443\"\n");
  EXPECT_TRUE(Conflict("webdav_http", 8443));
  EXPECT_TRUE(Conflict("webdavs_https", 8080));
  EXPECT_FALSE(Conflict("webdav_http", 5006));  // the default no longer applies
  EXPECT_FALSE(Conflict("webdavs_https", 5005));
  EXPECT_TRUE(Conflict("ftp", 8080));  // both variants are other services to anyone else
  EXPECT_TRUE(Conflict("ftp", 8443));
}

TEST_F(PortsTest, PortsDeclaredByOtherServices) {
  Write("etc/kivo/ports.json", R"({"ftp": [21, 55021], "webdav_http": [55080], "odd": "x"})");
  EXPECT_TRUE(Conflict("webdav_http", 55021));
  EXPECT_TRUE(Conflict("webdavs_https", 55080));
  EXPECT_FALSE(Conflict("webdav_http", 55080));                        // its own declaration
  EXPECT_TRUE(WebUtils::IsPortConflict("webdav_http", 55019, 55022));  // within a range
}

TEST_F(PortsTest, UnreadablePortTableRefusesEveryPort) {
  Write("etc/kivo/ports.json", "{broken");
  EXPECT_TRUE(Conflict("webdav_http", FreePort()));
}

TEST_F(PortsTest, PortSomethingListensOn) {
  int port = Listen();
  EXPECT_TRUE(Conflict("webdav_http", port));
  EXPECT_TRUE(Conflict("webdavs_https", port));
  close(listener_);
  listener_ = -1;
  EXPECT_FALSE(Conflict("webdav_http", port));
}

TEST_F(PortsTest, OwnStoredPortIsNotAConflict) {
  int port = Listen();  // the service itself listens there
  Write("etc/kivoinfo.conf", "WebDavPort=\"" + std::to_string(port) + "\"\n");
  EXPECT_FALSE(Conflict("webdav_http", port));
  EXPECT_TRUE(Conflict("webdavs_https", port));
}

TEST_F(PortsTest, UnusablePortsAreTaken) {
  EXPECT_TRUE(Conflict("webdav_http", 0));
  EXPECT_TRUE(Conflict("webdav_http", 65536));
  EXPECT_TRUE(WebUtils::IsPortConflict("webdav_http", 6000, 5999));
}

}  // namespace
