// Long and busy use of the WebDAV daemon: one kept-alive connection used
// for a long time by several logins, every setting changed while an upload
// and a download are under way, and uploads into a full disk.

#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/daemons/webdav_fixture.h"
#include "tests/support/generated_stream.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string Request(const std::string& method, const std::string& path, const std::string& user,
                    const std::string& body = "", const std::string& extra = "") {
  std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra;
  if (!user.empty()) text += "Authorization: Basic " + Base64(user) + "\r\n";
  return text + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

using WebDAVTransfersTest = WebDAVDaemonTest;

// A kept-alive connection whose login is always due for its re-check (an
// interval of 0 s: every request is a request past it) answers every
// request, whoever's login it carries, none or a wrong one, and keeps the
// connection open after a refusal as plain Apache does (a Windows client
// sends its credentials on the connection its 401 came on). Each request
// acts as its own login.
TEST_F(WebDAVTransfersTest, AKeptConnectionAnswersEveryRequestPastItsLoginsRecheck) {
  AddUsers({"bob"});
  // A recheck past a day is no setting the module takes: the daemon stays off.
  setenv("KIVO_WEBDAV_LOGIN_RECHECK", "86401", 1);
  EXPECT_NE(Set(R"({"enable_http": true, "http_port_num": )" + std::to_string(http_port_) +
                R"(, "enable_https": false})")
                .status,
            0);
  EXPECT_FALSE(Listening(http_port_));
  setenv("KIVO_WEBDAV_LOGIN_RECHECK", "0", 1);
  EnableHttp(http_port_);
  unsetenv("KIVO_WEBDAV_LOGIN_RECHECK");
  const std::string bob = "bob:bob-secret";
  struct Step {
    std::string request;
    int status;
  };
  std::vector<Step> steps;
  for (int round = 0; round < 5; ++round) {
    const std::string n = std::to_string(round);
    const std::vector<Step> one = {
        {Request("PROPFIND", "/homes/", "", "", "Depth: 0\r\n"), 401},
        {Request("PROPFIND", "/homes/alice/", Alice(), "", "Depth: 0\r\n"), 207},
        {Request("PUT", "/homes/alice/kept-" + n + ".txt", Alice(), "alice " + n), 201},
        {Request("GET", "/homes/alice/kept-" + n + ".txt", Alice()), 200},
        {Request("PUT", "/homes/alice/bob-" + n + ".txt", bob, "bob " + n), 403},
        {Request("PUT", "/homes/bob/kept-" + n + ".txt", bob, "bob " + n), 201},
        {Request("DELETE", "/homes/alice/kept-" + n + ".txt", Alice()), 204},
    };
    steps.insert(steps.end(), one.begin(), one.end());
  }
  steps.push_back({Request("PUT", "/homes/alice/wrong.txt", "alice:wrong", "w"), 401});
  steps.push_back({Request("PUT", "/homes/alice/after.txt", Alice(), "after"), 201});

  const int fd = Dial(http_port_);
  ASSERT_GE(fd, 0);
  for (size_t i = 0; i < steps.size(); ++i) {
    const KeptAnswer answer = Kept(fd, steps[i].request);
    ASSERT_EQ(answer.status, steps[i].status)
        << "request " << i << ": " << steps[i].request.substr(0, steps[i].request.find('\r'));
    ASSERT_FALSE(answer.closes) << "request " << i;
  }
  // Locked while the connection is kept: refused, and the connection stays
  // for the next login.
  std::string shadow = Read(root_.Path("/etc/shadow"));
  ASSERT_NE(shadow.find("\nbob:$"), std::string::npos);
  ASSERT_TRUE(WriteFile(root_.Path("/etc/shadow"), shadow.insert(shadow.find("\nbob:$") + 5, "!")));
  EXPECT_EQ(Kept(fd, Request("PUT", "/homes/bob/locked.txt", bob, "x")).status, 401);
  EXPECT_EQ(Kept(fd, Request("PROPFIND", "/homes/alice/", Alice(), "", "Depth: 0\r\n")).status,
            207);
  close(fd);
  // A refused request's long body is never read for a client that did not
  // log in: it is answered at once, and its connection closes, saying so.
  for (const std::string& refused :
       {std::string("PUT /homes/alice/big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    "Content-Length: 1099511627776\r\n\r\n"),
        "PUT /homes/alice/big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
            Base64("alice:wrong") + "\r\nTransfer-Encoding: chunked\r\n\r\n10000\r\n"}) {
    const int fresh = Dial(http_port_);
    ASSERT_GE(fresh, 0);
    const KeptAnswer answer = Kept(fresh, refused);
    EXPECT_EQ(answer.status, 401) << refused;
    EXPECT_TRUE(answer.closes) << refused;
    close(fresh);
  }

  for (int round = 0; round < 5; ++round) {
    const std::string n = std::to_string(round);
    EXPECT_EQ(StatOf(root_.Path("/volume1/homes/bob/kept-" + n + ".txt")).st_uid, UidOf("bob"));
    EXPECT_FALSE(Exists(root_.Path("/volume1/homes/alice/bob-" + n + ".txt")));
    EXPECT_FALSE(Exists(root_.Path("/volume1/homes/alice/kept-" + n + ".txt")));
  }
  EXPECT_FALSE(Exists(root_.Path("/volume1/homes/alice/wrong.txt")));
  EXPECT_FALSE(Exists(root_.Path("/volume1/homes/bob/locked.txt")));
  EXPECT_EQ(StatOf(root_.Path("/volume1/homes/alice/after.txt")).st_uid, UidOf("alice"));
  const std::string log = Read(root_.Path("/var/log/kivo/webdav-error.log"));
  EXPECT_THAT(log, Not(HasSubstr("held an identity")));
}

// Every WebDAV and CalDAV setting changed, one after the other, while a
// 200 MiB upload and a 200 MiB download are under way on the HTTP port
// (paced by the client until the last change is made): both arrive whole,
// and the daemon is the same process all along (Apache's graceful
// restart, never a stop and a start).
TEST_F(WebDAVTransfersTest, SettingChangesNeverCutATransfer) {
  constexpr uint64_t kSize = 200ull << 20, kUpSeed = 1, kDownSeed = 2;
  constexpr size_t kChunk = 64 * 1024;
  const std::string home = root_.Path("/volume1/homes/alice");
  ASSERT_TRUE(WriteGenerated(home + "/down.bin", kDownSeed, kSize));
  ASSERT_EQ(chown((home + "/down.bin").c_str(), UidOf("alice"), static_cast<gid_t>(-1)), 0);

  struct Settings {
    bool http = true, https = true, anonymous = false, depth = false;
    int http_port, https_port;
  } now{true, true, false, false, http_port_, https_port_};
  auto apply = [this](const Settings& s) {
    return Set(std::string("{\"enable_http\": ") + (s.http ? "true" : "false") +
               ", \"enable_https\": " + (s.https ? "true" : "false") +
               ", \"http_port_num\": " + std::to_string(s.http_port) +
               ", \"https_port_num\": " + std::to_string(s.https_port) +
               ", \"anonymouslogin_enable\": " + (s.anonymous ? "true" : "false") +
               ", \"depth_infinity_enable\": " + (s.depth ? "true" : "false") + "}");
  };
  {
    const Result r = apply(now);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  const pid_t daemon = DaemonPid();
  ASSERT_GT(daemon, 0);

  std::atomic<bool> changed{false};
  std::atomic<uint64_t> sent{0}, received{0};
  // Paced until the changes are made, and the last chunk held back until
  // then, so that each transfer is under way at every change.
  auto pace = [&changed](uint64_t done) {
    if (changed) return;
    if (done + kChunk < kSize) {
      usleep(20000);
      return;
    }
    while (!changed) usleep(50000);
  };
  const std::string auth = "Authorization: Basic " + Base64(Alice()) + "\r\n";
  std::string upload_error;
  int upload_status = 0;
  std::thread upload([&] {
    const int fd = Dial(http_port_);
    const std::string head = "PUT /homes/alice/up.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
                             "Content-Length: " + std::to_string(kSize) + "\r\n\r\n";
    if (fd < 0 ||
        send(fd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size())) {
      upload_error = "cannot send the request";
    }
    std::vector<char> chunk(kChunk);
    while (upload_error.empty() && sent < kSize) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, kSize - sent));
      GeneratedBytes(kUpSeed, sent, chunk.data(), n);
      if (send(fd, chunk.data(), n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) {
        upload_error = "the connection ended after " + std::to_string(sent) + " bytes";
        break;
      }
      sent += n;
      pace(sent);
    }
    if (upload_error.empty()) upload_status = Kept(fd, "").status;
    if (fd >= 0) close(fd);
  });
  std::string download_error;
  std::thread download([&] {
    const int fd = Dial(http_port_);
    const std::string request =
        "GET /homes/alice/down.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth + "\r\n";
    std::string head;
    char c;
    if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(request.size())) {
      while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) head += c;
    }
    if (head.rfind("HTTP/1.1 200", 0) != 0 ||
        head.find("Content-Length: " + std::to_string(kSize) + "\r\n") == std::string::npos) {
      download_error = "answered " + head;
    }
    std::vector<char> chunk(kChunk);
    while (download_error.empty() && received < kSize) {
      const ssize_t n =
          read(fd, chunk.data(), static_cast<size_t>(std::min<uint64_t>(kChunk, kSize - received)));
      if (n <= 0) {
        download_error = "the connection ended after " + std::to_string(received) + " bytes";
      } else if (!IsGenerated(kDownSeed, received, chunk.data(), static_cast<size_t>(n))) {
        download_error = "other bytes at " + std::to_string(received);
      } else {
        received += static_cast<uint64_t>(n);
        pace(received);
      }
    }
    if (fd >= 0) close(fd);
  });
  for (int i = 0; i < 600 && (sent < (1u << 20) || received < (1u << 20)); ++i) usleep(50000);
  EXPECT_GE(sent, 1u << 20);
  EXPECT_GE(received, 1u << 20);

  const int new_http = FreePort({http_port_, https_port_});
  const int new_https = FreePort({http_port_, https_port_, new_http});
  struct Change {
    const char* what;
    std::function<void(Settings*)> edit;
    bool caldav;
  };
  const std::vector<Change> changes = {
      {"anonymous login on", [](Settings* s) { s->anonymous = true; }, false},
      {"anonymous login off", [](Settings* s) { s->anonymous = false; }, false},
      {"depth infinity on", [](Settings* s) { s->depth = true; }, false},
      {"depth infinity off", [](Settings* s) { s->depth = false; }, false},
      {"HTTPS off", [](Settings* s) { s->https = false; }, false},
      {"HTTPS on", [](Settings* s) { s->https = true; }, false},
      {"HTTPS port", [&](Settings* s) { s->https_port = new_https; }, false},
      {"HTTP port", [&](Settings* s) { s->http_port = new_http; }, false},
      {"HTTP off", [](Settings* s) { s->http = false; }, false},
      {"HTTP on", [](Settings* s) { s->http = true; }, false},
      {"CalDAV on", nullptr, true},
      {"CalDAV off", nullptr, true},
  };
  bool caldav = false;
  for (const Change& change : changes) {
    Result r;
    if (change.caldav) {
      caldav = !caldav;
      r = root_.Call(kCalDAV, "set", caldav ? R"({"enable": true})" : R"({"enable": false})");
    } else {
      change.edit(&now);
      r = apply(now);
    }
    EXPECT_EQ(r.status, 0) << change.what << ": " << r.out << r.err;
    EXPECT_EQ(DaemonPid(), daemon) << change.what << " restarted the daemon";
  }
  EXPECT_LT(sent, kSize) << "the upload ended before the last change";
  EXPECT_LT(received, kSize) << "the download ended before the last change";
  // The settings took effect: the new ports serve, the old one no longer.
  EXPECT_EQ(RawStatus(new_http, Request("PROPFIND", "/homes/alice/", Alice(), "", "Depth: 0\r\n")),
            207);
  EXPECT_FALSE(Listening(http_port_));
  changed = true;
  upload.join();
  download.join();

  EXPECT_EQ(upload_error, "");
  EXPECT_EQ(upload_status, 201);
  EXPECT_EQ(download_error, "");
  EXPECT_EQ(received, kSize);
  std::ifstream stored(home + "/up.bin", std::ios::binary);
  std::vector<char> block(1 << 20);
  uint64_t at = 0;
  bool same = true;
  while (same &&
         stored.read(block.data(), static_cast<std::streamsize>(block.size())).gcount() > 0) {
    const size_t n = static_cast<size_t>(stored.gcount());
    same = IsGenerated(kUpSeed, at, block.data(), n);
    at += n;
  }
  EXPECT_TRUE(same) << "the stored upload differs at " << at;
  EXPECT_EQ(at, kSize);
}

// A folder on a disk of 256 KiB for the test's length.
struct SmallDisk {
  explicit SmallDisk(const std::string& at) : path(at) {
    mounted = mkdir(at.c_str(), 0755) == 0 &&
              mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k,mode=0755") == 0;
  }
  ~SmallDisk() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
  }
  std::string path;
  bool mounted = false;
};

// An upload the disk cannot hold answers 507 and leaves the file it was
// to replace whole and nothing beside it, whether the disk fills midway or
// with the upload's last bytes.
TEST_F(WebDAVTransfersTest, AnUploadTheDiskCannotHoldChangesNothing) {
  EnableHttp(http_port_);
  SmallDisk disk(root_.Path("/volume1/homes/alice/small"));
  ASSERT_TRUE(disk.mounted) << strerror(errno);
  ASSERT_EQ(chown(disk.path.c_str(), UidOf("alice"), UidOf("alice")), 0);
  const std::string kept(64 * 1024, 'k');
  ASSERT_TRUE(WriteFile(root_.Path("/upload"), kept));
  ASSERT_EQ(
      Curl("PUT", "/homes/alice/small/f", Alice(), {"--data-binary", "@" + root_.Path("/upload")})
          .status,
      201);
  // 192 KiB are left: 1 MiB fills them midway, 202 KiB with its last 10.
  for (const size_t size : {size_t{1} << 20, size_t{202} * 1024}) {
    ASSERT_TRUE(WriteFile(root_.Path("/upload"), std::string(size, 'n')));
    EXPECT_EQ(
        Curl("PUT", "/homes/alice/small/f", Alice(), {"--data-binary", "@" + root_.Path("/upload")})
            .status,
        507)
        << size;
    EXPECT_EQ(Read(disk.path + "/f"), kept) << size;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(disk.path)) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"f"}) << size;
  }
}

}  // namespace
}  // namespace e2e
