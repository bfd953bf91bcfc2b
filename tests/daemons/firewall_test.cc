// The firewall ruleset: what it opens for a root's settings, that nft takes
// it, and, loaded in a private network namespace joined to another by a veth
// pair, that it lets in what it opens and drops the rest.

#include "daemons/firewall.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/process.h"
#include "tests/platform/temp_root.h"

namespace {

constexpr char kNft[] = "/usr/sbin/nft";
constexpr char kIp[] = "/usr/sbin/ip";

// The calling thread in a new network namespace; its descriptor, or -1.
int NewNetworkNamespace() {
  if (unshare(CLONE_NEWNET) != 0) return -1;
  return open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}

// Runs a program in the calling thread's network namespace; its output
// when it fails.
bool Succeeds(const std::vector<std::string>& argv) {
  std::string output;
  const int status = kivo::base::RunCaptured(argv, &output);
  EXPECT_EQ(status, 0) << argv[0] << " " << argv[1] << ": " << output;
  return status == 0;
}

// A TCP listener on every address (IPv4 and IPv6) of the calling thread's
// namespace.
int Listen(int port) {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int off = 0, on = 1;
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in6 address = {};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << port;
  EXPECT_EQ(listen(fd, 8), 0);
  return fd;
}

// Whether a connection from the calling thread's namespace to `host`:`port`
// is accepted within 700 ms (a dropped SYN is never answered).
bool Connects(const std::string& host, int port) {
  sockaddr_storage address = {};
  socklen_t size;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    size = sizeof *v4;
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr), 1) << host;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    size = sizeof *v6;
  }
  const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  connect(fd, reinterpret_cast<sockaddr*>(&address), size);
  pollfd wait = {fd, POLLOUT, 0};
  int error = -1;
  socklen_t error_size = sizeof error;
  if (poll(&wait, 1, 700) == 1) getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_size);
  close(fd);
  return error == 0;
}

class FirewallTest : public TempRootTest {
 protected:
  void EnableServices(const std::string& services_json) {
    Write("var/lib/kivo/services.json", services_json);
  }
};

TEST_F(FirewallTest, OpensSshTheWebApiAndEnabledVariantsAndNftTakesIt) {
  Write("etc/kivo/ports.json", R"({"webapi": [8000, 8443], "ssh": [2222], "mdns": [5353]})");
  Write("etc/kivoinfo.conf", "WebDavPort=\"8080\"\nsecure_WebDavPort=\"9443\"\n");
  EnableServices(R"({"webdav-httpd-ssl": {"run": 1}, "webdav-avahi": {"run": 1},
                     "webdav-httpd-pure": {"run": 2}})");
  kivo::daemons::FirewallOpenings open = kivo::daemons::CurrentOpenings();
  EXPECT_EQ(open.ssh, std::vector<int>{2222});
  EXPECT_EQ(open.tcp, (std::vector<int>{8000, 8443, 9443}));
  EXPECT_TRUE(open.mdns);

  ASSERT_TRUE(kivo::daemons::ReloadFirewall());
  const std::string ruleset = Read("etc/kivo/firewall.nft");
  EXPECT_THAT(ruleset, ::testing::HasSubstr("policy drop;"));
  EXPECT_THAT(ruleset, ::testing::HasSubstr("elements = { 8000, 8443, 9443 }"));
  EXPECT_THAT(ruleset, ::testing::HasSubstr("udp dport 5353 accept"));
  std::string output;
  if (kivo::base::RunCaptured({kNft, "-c", "-f", "/dev/null"}, &output) != 0) {
    GTEST_SKIP() << "nft cannot check rulesets here: " << output;
  }
  EXPECT_EQ(kivo::base::RunCaptured({kNft, "-c", "-f", Path("etc/kivo/firewall.nft")}, &output), 0)
      << output;

  // Without declarations or enabled variants: SSH 22 and the web API's
  // default ports only.
  Write("etc/kivo/ports.json", "{}");
  EnableServices("{}");
  open = kivo::daemons::CurrentOpenings();
  EXPECT_EQ(open.ssh, std::vector<int>{22});
  EXPECT_EQ(open.tcp, (std::vector<int>{5000, 5001}));
  EXPECT_FALSE(open.mdns);
  const std::string bare = kivo::daemons::FirewallRuleset(open);
  EXPECT_THAT(bare, ::testing::Not(::testing::HasSubstr("udp dport 5353")));
}

// "server" and "client", two private network namespaces joined by a veth pair
// (10.200.0.1 and fd00:200::1 the server's side). With the ruleset of a root
// that enables plain WebDAV (5005) loaded in "server": SSH, the web API's
// HTTPS port and 5005 are reachable over IPv4 and IPv6 (which needs
// neighbour discovery), 5006 and 8080 are not though something listens
// there; the server still reaches out (answers come back) and reaches its
// own closed ports over loopback.
TEST_F(FirewallTest, LoadedInANamespaceItLetsInWhatItOpensOnly) {
  Write("etc/kivo/ports.json", "{}");
  EnableServices(R"({"webdav-httpd-pure": {"run": 1}})");
  ASSERT_TRUE(kivo::daemons::ReloadFirewall());
  const std::string ruleset = Path("etc/kivo/firewall.nft");
  if (access(kNft, X_OK) != 0 || access(kIp, X_OK) != 0) GTEST_SKIP() << "no nft or ip";

  std::map<std::string, bool> reached;  // "host port" -> connected
  bool skipped = false;
  std::thread in_namespaces([&] {
    const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int server = NewNetworkNamespace();
    const int client = server < 0 ? -1 : NewNetworkNamespace();
    if (client < 0) {
      skipped = true;
      return;
    }
    const std::string client_path =
        "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(client);
    std::vector<int> sockets;
    const auto check = [&](const std::string& host, int port, const std::string& what) {
      reached[what + " " + host + " " + std::to_string(port)] = Connects(host, port);
    };
    setns(server, CLONE_NEWNET);
    bool ready = Succeeds({kIp, "link", "set", "lo", "up"}) &&
                 Succeeds({kIp, "link", "add", "srv", "type", "veth", "peer", "name", "cli",
                           "netns", client_path}) &&
                 Succeeds({kIp, "addr", "add", "10.200.0.1/24", "dev", "srv"}) &&
                 Succeeds({kIp, "addr", "add", "fd00:200::1/64", "dev", "srv", "nodad"}) &&
                 Succeeds({kIp, "link", "set", "srv", "up"});
    for (int port : {22, 5001, 5005, 5006, 8080}) sockets.push_back(Listen(port));
    setns(client, CLONE_NEWNET);
    ready = ready && Succeeds({kIp, "link", "set", "lo", "up"}) &&
            Succeeds({kIp, "addr", "add", "10.200.0.2/24", "dev", "cli"}) &&
            Succeeds({kIp, "addr", "add", "fd00:200::2/64", "dev", "cli", "nodad"}) &&
            Succeeds({kIp, "link", "set", "cli", "up"});
    sockets.push_back(Listen(7000));
    if (ready) {
      // The veth pair carries packets only once the kernel has seen both
      // ends up, which may take a moment: wait for it (bounded) before
      // judging anything.
      for (int tries = 0; tries < 10 && !Connects("10.200.0.1", 5006); ++tries) {
      }
      check("10.200.0.1", 5006, "before");
      setns(server, CLONE_NEWNET);
      ready = Succeeds({kNft, "-f", ruleset});
    }
    if (ready) {
      setns(client, CLONE_NEWNET);
      for (const char* host : {"10.200.0.1", "fd00:200::1"}) {
        for (int port : {22, 5001, 5005, 5006, 8080}) check(host, port, "in");
      }
      setns(server, CLONE_NEWNET);
      check("10.200.0.2", 7000, "out");
      check("127.0.0.1", 5006, "loopback");
    }
    for (int fd : sockets) close(fd);
    setns(home, CLONE_NEWNET);
    for (int fd : {home, server, client}) close(fd);
  });
  in_namespaces.join();
  if (skipped) GTEST_SKIP() << "no private network namespaces here";
  const std::map<std::string, bool> expected = {
      {"before 10.200.0.1 5006", true},  {"in 10.200.0.1 22", true},
      {"in 10.200.0.1 5001", true},      {"in 10.200.0.1 5005", true},
      {"in 10.200.0.1 5006", false},     {"in 10.200.0.1 8080", false},
      {"in fd00:200::1 22", true},       {"in fd00:200::1 5001", true},
      {"in fd00:200::1 5005", true},     {"in fd00:200::1 5006", false},
      {"in fd00:200::1 8080", false},    {"out 10.200.0.2 7000", true},
      {"loopback 127.0.0.1 5006", true},
  };
  EXPECT_EQ(reached, expected);
}

}  // namespace
