// Listener lookup without connecting, and with: which address and family a
// listening socket must have for a connection to an address to reach it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/process.h"

namespace {

// A socket of `family` bound to `address` on a port the kernel picks, listening
// or not; its port. The descriptor stays open until the test ends.
int Socket(int family, const char* address, bool listening, int* fd) {
  *fd = socket(family, SOCK_STREAM, 0);
  EXPECT_GE(*fd, 0);
  struct sockaddr_storage storage {};
  socklen_t len;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<struct sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, address, &in->sin_addr), 1);
    len = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, address, &in6->sin6_addr), 1);
    len = sizeof *in6;
  }
  EXPECT_EQ(bind(*fd, reinterpret_cast<struct sockaddr*>(&storage), len), 0);
  if (listening) {
    EXPECT_EQ(listen(*fd, 4), 0);
  }
  EXPECT_EQ(getsockname(*fd, reinterpret_cast<struct sockaddr*>(&storage), &len), 0);
  return ntohs(family == AF_INET ? reinterpret_cast<struct sockaddr_in*>(&storage)->sin_port
                                 : reinterpret_cast<struct sockaddr_in6*>(&storage)->sin6_port);
}

int OpenDescriptors() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) != -1;
  return count;
}

TEST(PortListeningTest, ListenersOnTheAddressOrEveryAddressCount) {
  const struct {
    int family;
    const char* bound;
    bool listening;
    const char* asked;
    bool found;
  } cases[] = {
      {AF_INET, "127.0.0.1", true, "127.0.0.1", true},
      {AF_INET, "127.0.0.1", true, "", true},  // "" is loopback
      {AF_INET, "127.0.0.1", true, "127.0.0.2", false},
      {AF_INET, "127.0.0.1", false, "127.0.0.1", false},  // bound, not listening
      {AF_INET, "0.0.0.0", true, "127.0.0.2", true},
      {AF_INET6, "::", true, "127.0.0.1", true},
      {AF_INET6, "::ffff:127.0.0.1", true, "127.0.0.1", true},
      {AF_INET6, "::ffff:127.0.0.1", true, "127.0.0.3", false},
      {AF_INET6, "::1", true, "127.0.0.1", false},
  };
  for (const auto& c : cases) {
    int fd = -1;
    const int port = Socket(c.family, c.bound, c.listening, &fd);
    EXPECT_EQ(kivo::base::PortListening(c.asked, port), c.found)
        << c.bound << (c.listening ? " listening" : " bound") << ", asked " << c.asked;
    // A connection made reaches exactly the listeners the lookup finds,
    // and leaves no descriptor behind.
    const int open_before = OpenDescriptors();
    EXPECT_EQ(kivo::base::PortAccepts(c.asked, port), c.found)
        << c.bound << (c.listening ? " listening" : " bound") << ", connected to " << c.asked;
    EXPECT_EQ(OpenDescriptors(), open_before);
    close(fd);
    EXPECT_FALSE(kivo::base::PortListening(c.asked, port)) << "closed: " << c.bound;
    EXPECT_FALSE(kivo::base::PortAccepts(c.asked, port)) << "closed: " << c.bound;
  }
}

}  // namespace
