// The WebDAV daemon's test fixture: a fresh root with the account alice,
// free loopback ports, settings changed through the module (`kivo-webapi
// call`), clients (curl and raw sockets) against the real Apache, and every
// daemon of the root stopped in TearDown, also when a test fails. Shared by
// the daemon suites; one test at a time (the suites hold a resource lock).

#ifndef KIVO_TESTS_DAEMON_WEBDAV_FIXTURE_H_
#define KIVO_TESTS_DAEMON_WEBDAV_FIXTURE_H_

#include <arpa/inet.h>
#include <crypt.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e.h"
#include "tests/support/generated_stream.h"

namespace e2e {

inline constexpr char kAlicePassword[] = "alice-secret";

inline bool Listening(int port) {
  const int fd = Dial(port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

struct Answer {
  int status = 0;
  std::string body;
};

class WebDAVDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KIVO_DAEMONS", "on", 1);
    setenv("KIVO_WEBDAV_ADDRESS", "127.0.0.1", 1);
    ASSERT_TRUE(root_.ok()) << root_.init_result().err;
    ASSERT_TRUE(root_.AddUser("alice"));
    SetPassword("alice", kAlicePassword);
    http_port_ = FreePort();
    https_port_ = FreePort();
    ASSERT_NE(http_port_, https_port_);
  }

  // Whatever happened, no daemon of this root outlives the test.
  void TearDown() override {
    root_.WebApi({"services", "--stop-all"});
    if (const pid_t pid = DaemonPid(); pid > 0) {
      std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
      std::string args((std::istreambuf_iterator<char>(cmdline)), {});
      if (args.find(root_.path()) != std::string::npos) {
        ADD_FAILURE() << "the daemon survived --stop-all";
        kill(pid, SIGKILL);
      }
    }
  }

  Result Set(const std::string& params) { return root_.Call(kWebDAV, "set", params); }

  // The daemon's pid as its pid file says; 0 without one.
  pid_t DaemonPid() const {
    std::ifstream file(root_.Path("/var/run/kivo/webdav-httpd.pid"));
    pid_t pid = 0;
    file >> pid;
    return pid;
  }

  // A cheap hash of the same crypt(3) family keeps the suite fast; the
  // daemon treats it like the yescrypt hashes `passwd` makes.
  void SetPassword(const std::string& name, const std::string& password) {
    struct crypt_data data = {};
    const std::string hash = crypt_r(password.c_str(), "$5$rounds=1000$kivotest", &data);
    std::string shadow;
    for (const std::string& line : ReadLines(root_.Path("/etc/shadow"))) {
      shadow += line.rfind(name + ":", 0) == 0 ? name + ":" + hash + ":0:0:99999:7:::" : line;
      shadow += "\n";
    }
    ASSERT_TRUE(WriteFile(root_.Path("/etc/shadow"), shadow));
  }

  // Accounts besides alice, each with the password "<name>-secret".
  void AddUsers(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      if (name != "admin") {
        ASSERT_TRUE(root_.AddUser(name));
      }
      SetPassword(name, name + "-secret");
    }
  }

  // An account made as a storage server's administrator would with the
  // system's tools, not through kivo-webapi: its lines in etc/passwd and
  // etc/shadow (password "<name>-secret") and a 0700 home.
  void AddAccountByHand(const std::string& name, uid_t uid, gid_t gid) {
    const std::string home = root_.Path("/volume1/homes/" + name);
    ASSERT_TRUE(WriteFile(root_.Path("/etc/passwd"),
                          Read(root_.Path("/etc/passwd")) + name + ":x:" + std::to_string(uid) +
                              ":" + std::to_string(gid) + "::" + home + ":/usr/sbin/nologin\n"));
    ASSERT_TRUE(WriteFile(root_.Path("/etc/shadow"),
                          Read(root_.Path("/etc/shadow")) + name + ":!:0:0:99999:7:::\n"));
    SetPassword(name, name + "-secret");
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(chown(home.c_str(), uid, gid), 0);
  }

  uid_t UidOf(const std::string& name) const {
    for (const std::string& line : ReadLines(root_.Path("/etc/passwd"))) {
      if (line.rfind(name + ":x:", 0) == 0) return atoi(line.c_str() + name.size() + 3);
    }
    return 0;
  }

  void EnableHttp(int port) {
    const Result r = Set(R"({"enable_http": true, "http_port_num": )" + std::to_string(port) +
                         R"(, "enable_https": false})");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }

  // curl against the daemon; `user` "" sends no credentials.
  Answer Curl(const std::string& method, const std::string& path, const std::string& user,
              const std::vector<std::string>& extra = {}, int port = 0,
              const std::string& scheme = "http") const {
    std::vector<std::string> argv = {
        "/usr/bin/curl", "-s", "-k", "--max-time", "10", "-X", method, "-o", "-", "-w",
        "\n%{http_code}"};
    if (!user.empty()) {
      argv.push_back("-u");
      argv.push_back(user);
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(scheme + "://127.0.0.1:" + std::to_string(port ? port : http_port_) + path);
    const Result r = e2e::Run(argv, root_.path());
    Answer answer;
    const size_t last = r.out.rfind('\n');
    if (last == std::string::npos) return answer;
    answer.status = atoi(r.out.c_str() + last + 1);
    answer.body = r.out.substr(0, last);
    return answer;
  }

  std::string Alice() const { return std::string("alice:") + kAlicePassword; }

  // `commands` run by a shell on a davfs2 mount (at "$w/mnt") of `path` as alice, in a mount
  // namespace of its own, davfs2.conf holding `conf` too; "$w" is the root's /davfs, with the
  // mount's log. Status 77: davfs2 cannot mount here (nor when it or FUSE is missing).
  Result OnDavfs(const std::string& path, const std::string& conf, const std::string& commands) {
    if (access("/usr/sbin/mount.davfs", X_OK) != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
      Result none;
      none.status = 77;
      none.err = "no davfs2 or no /dev/fuse";
      return none;
    }
    const std::string work = root_.Path("/davfs"), url = Url(path);
    std::filesystem::create_directories(work + "/mnt");
    std::filesystem::create_directories(work + "/cache");  // davfs2's, as its own account
    chmod((work + "/cache").c_str(), 01777);
    EXPECT_TRUE(WriteFile(work + "/davfs2.conf",
                          conf + "cache_dir " + work + "/cache\nsecrets " + work + "/secrets\n"));
    EXPECT_TRUE(WriteFile(work + "/secrets", url + " alice " + kAlicePassword + "\n"));
    chmod((work + "/secrets").c_str(), 0600);
    const std::string script =
        "set -e\nw=\"$1\"\nmount.davfs -o conf=\"$w/davfs2.conf\" \"$2\" "
        "\"$w/mnt\" </dev/null >\"$w/mount.log\" 2>&1 || exit 77\n" +
        commands + "umount \"$w/mnt\"\n";
    return e2e::Run({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                     script, "davfs", work, url},
                    root_.path());
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(http_port_) + path;
  }

  TestRoot root_;
  int http_port_ = 0, https_port_ = 0;
};

inline std::string Base64(const std::string& text) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < text.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(text[i]) << 16;
    if (i + 1 < text.size()) n |= static_cast<unsigned char>(text[i + 1]) << 8;
    if (i + 2 < text.size()) n |= static_cast<unsigned char>(text[i + 2]);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += i + 1 < text.size() ? kDigits[(n >> 6) & 63] : '=';
    out += i + 2 < text.size() ? kDigits[n & 63] : '=';
  }
  return out;
}

// Writes `size` bytes (whole MiB) of the generated stream `seed` to `path`.
inline bool WriteGenerated(const std::string& path, uint64_t seed, uint64_t size) {
  std::ofstream file(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (uint64_t at = 0; at < size; at += block.size()) {
    GeneratedBytes(seed, at, block.data(), block.size());
    file.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  return file.good();
}

inline constexpr char kLockBody[] =
    R"(<?xml version="1.0"?><D:lockinfo xmlns:D="DAV:"><D:lockscope><D:exclusive/>)"
    R"(</D:lockscope><D:locktype><D:write/></D:locktype></D:lockinfo>)";

// The token of a LOCK answer printed with its headers (curl -D -).
inline std::string LockToken(const std::string& answer) {
  const size_t at = answer.find("Lock-Token: <");
  if (at == std::string::npos) return "";
  return answer.substr(at + 13, answer.find('>', at) - at - 13);
}

// One whole answer to `request` on the kept connection `fd` (its body read
// past): its status (0 when the daemon closed the connection instead) and
// whether it says the connection closes.
struct KeptAnswer {
  int status = 0;
  bool closes = false;
};

inline KeptAnswer Kept(int fd, const std::string& request) {
  KeptAnswer answer;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return answer;
  }
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) head += c;
  if (head.rfind("HTTP/1.1 ", 0) != 0 || head.find("\r\n\r\n") == std::string::npos) {
    return answer;
  }
  std::string lower = head;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  const size_t at = lower.find("\r\ncontent-length: ");
  for (long left = at == std::string::npos ? 0 : atol(lower.c_str() + at + 18); left > 0; --left) {
    if (read(fd, &c, 1) != 1) return answer;
  }
  std::string chunks;
  while (lower.find("transfer-encoding: chunked") != std::string::npos &&
         chunks.find("\r\n0\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) {
    chunks += c;
  }
  answer.status = atoi(head.c_str() + 9);
  answer.closes = lower.find("\r\nconnection: close") != std::string::npos;
  return answer;
}

inline int KeptStatus(int fd, const std::string& request) { return Kept(fd, request).status; }

// The status of one request sent straight from this process: no client
// program starts between a setting's return and the request.
inline int RawStatus(int port, const std::string& request) {
  const int fd = Dial(port);
  const int status = fd < 0 ? 0 : KeptStatus(fd, request);
  if (fd >= 0) close(fd);
  return status;
}

}  // namespace e2e

#endif  // KIVO_TESTS_DAEMON_WEBDAV_FIXTURE_H_
