// Port conflicts: the other WebDAV variant, declared ports, listeners, own port.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kivo/kivo_platform.h"
#include "tests/platform/temp_root.h"

namespace {

class PortsTest : public TempRootTest {
 protected:
  // Binds a loopback port the kernel picks, listens (`keep`) or closes; the
  // port. `reuse` binds with SO_REUSEADDR, as the daemons do.
  // A loopback socket on a port free on every address: a port the kernel
  // hands out for loopback alone may still be the source port of another
  // program's connection (on 127.0.0.2, say) waiting out TIME_WAIT, which
  // rightly counts as in use for a server binding all addresses.
  int Bind(bool keep, int* fd_out = nullptr, bool reuse = false) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (reuse) {
      EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
    }
    struct sockaddr_in addr {};
    for (int attempt = 0; attempt < 20; ++attempt) {
      addr = {};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_ANY);
      socklen_t size = sizeof addr;
      const int probe = socket(AF_INET, SOCK_STREAM, 0);  // bound, never listening
      EXPECT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), size), 0);
      EXPECT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &size), 0);
      close(probe);
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (bind(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0) break;
    }
    EXPECT_EQ(keep ? listen(fd, 1) : close(fd), 0);
    if (fd_out != nullptr) *fd_out = fd;
    return ntohs(addr.sin_port);
  }

  bool Conflict(const std::string& service, int port) {
    return WebUtils::IsPortConflict(service, port, port);
  }
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

// The other variant's port is read as its settings show it: blanks before
// the number and anything after it do not hide it.
TEST_F(PortsTest, StoredPortIsReadAsTheSettingsShowIt) {
  const int port = Bind(false);
  const std::string p = std::to_string(port);
  const std::pair<std::string, bool> cases[] = {
      {" " + p, true}, {"\t" + p, true}, {p + "abc", true}, {"+" + p, true},
      {"0" + p, true}, {"-" + p, false}, {"x" + p, false},  {p + "0000000000", false},
  };
  for (const auto& [stored, taken] : cases) {
    Write("etc/kivoinfo.conf", "WebDavPort=\"" + stored + "\"\n");
    EXPECT_EQ(Conflict("webdavs_https", port), taken) << "'" << stored << "'";
  }
}

// Below the kernel's ephemeral range, where the free loopback ports that
// daemons of tests running alongside pick never land: a listener there
// would make a port conflict that this test does not mean.
TEST_F(PortsTest, PortsDeclaredByOtherServices) {
  Write("etc/kivo/ports.json", R"({"ftp": [21, 15021], "webdav_http": [15080], "odd": "x"})");
  EXPECT_TRUE(Conflict("webdav_http", 15021));
  EXPECT_TRUE(Conflict("webdavs_https", 15080));
  EXPECT_FALSE(Conflict("webdav_http", 15080));                        // its own declaration
  EXPECT_TRUE(WebUtils::IsPortConflict("webdav_http", 15019, 15022));  // within a range
  const int free_port = Bind(false);
  EXPECT_FALSE(Conflict("webdav_http", free_port));
  Write("etc/kivo/ports.json", "{broken");  // unreadable: every port is refused
  EXPECT_TRUE(Conflict("webdav_http", free_port));
}

TEST_F(PortsTest, PortSomethingListensOnUnlessItIsTheServicesOwn) {
  int listener = -1;
  const int port = Bind(true, &listener);
  EXPECT_TRUE(Conflict("webdav_http", port));
  Write("etc/kivoinfo.conf", "WebDavPort=\"" + std::to_string(port) + "\"\n");
  EXPECT_FALSE(Conflict("webdav_http", port));  // the service itself listens there
  EXPECT_TRUE(Conflict("webdavs_https", port));
  close(listener);
}

// A server that has gone (binding with SO_REUSEADDR, as the daemons do)
// leaves its connections in TIME_WAIT for a minute; the port is free for the
// next daemon all the same.
TEST_F(PortsTest, ConnectionsOfAGoneServerDoNotHoldItsPort) {
  int listener = -1;
  const int port = Bind(true, &listener, true);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const int served = accept(listener, nullptr, nullptr);
  ASSERT_GE(served, 0);
  close(served);  // the server's side closes first: its end waits in TIME_WAIT
  close(listener);
  char byte;
  EXPECT_EQ(read(client, &byte, 1), 0);
  close(client);
  EXPECT_FALSE(Conflict("webdav_http", port));
}

}  // namespace
