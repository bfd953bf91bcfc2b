// What one account can do to the WebDAV daemon and to the others through
// it, end to end against the real Apache on loopback: objects a user makes
// that would hold a worker, names swapped while a request is judged, locks
// on others' folders, and what a listing of the homes tells.

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>

#include "tests/daemons/webdav_fixture.h"

namespace e2e {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

// Wakes every thread a FIFO's open holds (a writer's open lets the readers'
// opens return), so that a test of a daemon that blocks still ends.
void ReleaseReaders(const std::string& fifo) {
  for (int round = 0; round < 25; ++round) {
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
    usleep(20000);
  }
}

// A request sent on a fresh connection, which is closed at once without
// reading the answer.
void SendAndClose(int port, const std::string& request) {
  const int fd = Dial(port);
  if (fd < 0) return;
  const ssize_t sent = write(fd, request.data(), request.size());
  (void)sent;
  close(fd);
}

// FIFOs, sockets and devices a user puts into a served folder answer 403 at
// once to every method, as the target, a destination or a listed member;
// a flood of requests for one leaves every account served, and the daemon
// stops on SIGTERM.
TEST_F(WebDAVDaemonTest, FifosSocketsAndDevicesNeverHoldAWorker) {
  AddUsers({"bob"});
  setenv("KIVO_WEBDAV_THREADS", "8", 1);  // a stall shows after 8 requests
  EnableHttp(http_port_);
  unsetenv("KIVO_WEBDAV_THREADS");
  const std::string home = root_.Path("/volume1/homes/alice");
  const uid_t alice = UidOf("alice");
  const std::string fifo = home + "/pipe", box = home + "/box";
  struct Cleanup {
    std::vector<std::string> more;
    ~Cleanup() {
      for (const std::string& f : more) ReleaseReaders(f);
    }
  } cleanup{{fifo, box + "/pipe"}};
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  ASSERT_EQ(mknod((home + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = home + "/sock";
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(sock);
  ASSERT_EQ(mkdir(box.c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((box + "/pipe").c_str(), 0666), 0);
  ASSERT_TRUE(WriteFile(box + "/a.txt", "a"));
  for (const std::string& p :
       {fifo, home + "/null", sock_path, box, box + "/pipe", box + "/a.txt"}) {
    ASSERT_EQ(lchown(p.c_str(), alice, alice), 0);
  }
  ASSERT_EQ(Curl("PUT", "/homes/alice/f.txt", Alice(), {"--data-binary", "f"}).status, 201);

  const std::string dest = "Destination: http://127.0.0.1/homes/alice/";
  const struct {
    const char* method;
    const char* path;
    std::vector<std::string> extra;
  } requests[] = {
      {"GET", "", {}},
      {"HEAD", "", {"-I"}},
      {"PUT", "", {"--data-binary", "x"}},
      {"PROPFIND", "", {"-H", "Depth: 0"}},
      {"PROPPATCH", "", {"--data", "<x/>"}},
      {"LOCK", "", {"--data", kLockBody}},
      {"COPY", "", {"-H", dest + "copied"}},
      {"MOVE", "", {"-H", dest + "moved"}},
      {"DELETE", "", {}},
  };
  for (const char* name : {"pipe", "null", "sock"}) {
    const std::string target = std::string("/homes/alice/") + name;
    for (const auto& r : requests) {
      EXPECT_EQ(Curl(r.method, target, Alice(), r.extra).status, 403) << r.method << " " << name;
    }
    // As the destination, over what exists there.
    for (const char* method : {"COPY", "MOVE"}) {
      EXPECT_EQ(
          Curl(method, "/homes/alice/f.txt", Alice(), {"-H", dest + name, "-H", "Overwrite: T"})
              .status,
          403)
          << method << " onto " << name;
    }
  }
  EXPECT_FALSE(Exists(home + "/copied"));
  EXPECT_FALSE(Exists(home + "/moved"));
  EXPECT_TRUE(S_ISFIFO(StatOf(fifo).st_mode));
  EXPECT_EQ(Read(home + "/f.txt"), "f");
  // Members of a listing, a copy and a page: answered, the FIFO left out.
  EXPECT_EQ(Curl("PROPFIND", "/homes/alice/box/", Alice(), {"-H", "Depth: 1"}).status, 207);
  EXPECT_EQ(Curl("GET", "/homes/alice/box/", Alice()).status, 200);
  EXPECT_THAT(Curl("COPY", "/homes/alice/box", Alice(), {"-H", dest + "box2"}).status,
              ::testing::AnyOf(201, 207));
  EXPECT_EQ(Read(home + "/box2/a.txt"), "a");
  EXPECT_FALSE(Exists(home + "/box2/pipe"));

  // mod_dav_fs's own state beside a file (its dead properties in .DAV) made
  // FIFOs: the file's properties, its folder's listing and copy answer,
  // and the file is sent.
  const std::string props = home + "/props";
  ASSERT_EQ(mkdir(props.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((props + "/.DAV").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(props + "/p.txt", "p"));
  for (const char* state : {"/.DAV/p.txt", "/.DAV/p.txt.pag", "/.DAV/p.txt.dir",
                            "/.DAV/.state_for_dir", "/.DAV/.state_for_dir.pag"}) {
    ASSERT_EQ(mkfifo((props + state).c_str(), 0666), 0);
    cleanup.more.push_back(props + state);
  }
  for (const char* p : {"", "/.DAV", "/p.txt"}) {
    ASSERT_EQ(chown((props + p).c_str(), alice, alice), 0);
  }
  for (const char* depth : {"0", "1"}) {
    EXPECT_NE(
        Curl("PROPFIND", "/homes/alice/props/", Alice(), {"-H", std::string("Depth: ") + depth})
            .status,
        0);
  }
  EXPECT_NE(Curl("PROPFIND", "/homes/alice/props/p.txt", Alice(), {"-H", "Depth: 0"}).status, 0);
  // A GET reads no state file: the file itself is sent.
  EXPECT_EQ(Curl("GET", "/homes/alice/props/p.txt", Alice(), {"--max-time", "5"}).body, "p");
  EXPECT_NE(Curl("COPY", "/homes/alice/props", Alice(), {"-H", dest + "props2"}).status, 0);
  EXPECT_NE(Curl("COPY", "/homes/alice/props/p.txt", Alice(), {"-H", dest + "p2.txt"}).status, 0);

  // The flood: 200 GETs of the FIFO, each connection closed at once.
  const std::string get = "GET /homes/alice/pipe HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " +
                          Base64(Alice()) + "\r\n\r\n";
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&] {
      for (int i = 0; i < 50; ++i) SendAndClose(http_port_, get);
    });
  }
  for (std::thread& t : senders) t.join();
  ASSERT_EQ(Curl("PUT", "/homes/bob/b.txt", "bob:bob-secret", {"--data-binary", "b"}).status, 201);
  EXPECT_EQ(Curl("GET", "/homes/bob/b.txt", "bob:bob-secret", {"--max-time", "5"}).body, "b");
  EXPECT_EQ(Curl("GET", "/homes/alice/pipe", Alice(), {"--max-time", "5"}).status, 403);

  ASSERT_EQ(root_.WebApi({"services", "--stop-all"}).status, 0);
  EXPECT_FALSE(Listening(http_port_));
}

// One request's whole answer over a kept connection: status, headers, body.
struct Exchange {
  int status = 0;
  std::string text;
};

class KeptClient {
 public:
  KeptClient(int port, const std::string& user) : port_(port), auth_(Base64(user)) {}
  ~KeptClient() {
    if (fd_ >= 0) close(fd_);
  }

  Exchange Ask(const std::string& method, const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd_ < 0) {
        fd_ = Dial(port_);
        timeval limit = {10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      }
      const std::string body = method == "PROPFIND" ? kAllProp : "";
      std::string request =
          method + " " + path + " HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " + auth_ + "\r\n";
      if (method == "PROPFIND") request += "Depth: 0\r\nContent-Type: application/xml\r\n";
      request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
      Exchange answer;
      if (fd_ >= 0 &&
          write(fd_, request.data(), request.size()) == static_cast<ssize_t>(request.size()) &&
          Read(method == "HEAD", &answer)) {
        return answer;
      }
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
    }
    return {};
  }

 private:
  static constexpr char kAllProp[] =
      R"(<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:allprop/></D:propfind>)";

  bool ReadByte(char* c) { return read(fd_, c, 1) == 1; }

  bool Read(bool head, Exchange* out) {
    std::string& text = out->text;
    char c;
    while (text.find("\r\n\r\n") == std::string::npos) {
      if (!ReadByte(&c)) return false;
      text += c;
    }
    if (text.rfind("HTTP/1.1 ", 0) != 0) return false;
    out->status = atoi(text.c_str() + 9);
    const bool keep = text.find("Connection: close") == std::string::npos;
    if (head || out->status == 304) return true;
    const size_t at = text.find("Content-Length: ");
    if (at != std::string::npos) {
      for (long left = atol(text.c_str() + at + 16); left > 0; --left) {
        if (!ReadByte(&c)) return false;
        text += c;
      }
    } else if (text.find("chunked") != std::string::npos) {
      while (text.find("\r\n0\r\n\r\n") == std::string::npos) {
        if (!ReadByte(&c)) return false;
        text += c;
      }
    }
    if (!keep) {
      close(fd_);
      fd_ = -1;
    }
    return true;
  }

  int port_;
  std::string auth_;
  int fd_ = -1;
};

// A name swapped again and again with a link into another account's closed
// home while PROPFIND, HEAD and GET ask for it: no answer carries the other
// file's size or date, and one whose target is missing answers as one that
// exists (no 404 tells them apart). Two files of the account's own swapped
// likewise: each GET answers one of them whole, its length and body (never
// the headers of the one Apache mapped with the body of the one judged).
TEST_F(WebDAVDaemonTest, SwappedNamesNeverShowAnotherHome) {
  AddUsers({"bob"});
  EnableHttp(http_port_);
  const std::string bob_home = root_.Path("/volume1/homes/bob");
  const std::string secret = bob_home + "/secret.bin";
  ASSERT_TRUE(WriteFile(secret, std::string(54321, 's')));
  ASSERT_EQ(chown(secret.c_str(), UidOf("bob"), UidOf("bob")), 0);
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};  // 9 Sep 2001
  ASSERT_EQ(utimensat(AT_FDCWD, secret.c_str(), old, 0), 0);
  ASSERT_EQ(StatOf(bob_home).st_mode & 0777, 0700u);

  const std::string home = root_.Path("/volume1/homes/alice");
  ASSERT_EQ(Curl("PUT", "/homes/alice/a.txt", Alice(), {"--data-binary", "aa"}).status, 201);
  ASSERT_EQ(Curl("PUT", "/homes/alice/b.txt", Alice(), {"--data-binary", "bb"}).status, 201);
  ASSERT_EQ(symlink(secret.c_str(), (home + "/a.lnk").c_str()), 0);
  ASSERT_EQ(symlink((bob_home + "/missing.bin").c_str(), (home + "/b.lnk").c_str()), 0);
  const std::string shorter(10, 'p'), longer(3000, 'q');
  ASSERT_EQ(Curl("PUT", "/homes/alice/p.txt", Alice(), {"--data-binary", shorter}).status, 201);
  ASSERT_EQ(Curl("PUT", "/homes/alice/q.txt", Alice(), {"--data-binary", longer}).status, 201);

  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    const int dir = open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (!stop.load()) {
      syscall(SYS_renameat2, dir, "a.txt", dir, "a.lnk", RENAME_EXCHANGE);
      syscall(SYS_renameat2, dir, "b.txt", dir, "b.lnk", RENAME_EXCHANGE);
      syscall(SYS_renameat2, dir, "p.txt", dir, "q.txt", RENAME_EXCHANGE);
    }
    close(dir);
  });
  std::map<std::string, std::set<int>> statuses;
  std::vector<std::string> leaks, mixed;
  {
    KeptClient client(http_port_, Alice());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(50);
    for (int i = 0; i < 3600 && std::chrono::steady_clock::now() < deadline; ++i) {
      const std::string method = i % 3 == 0 ? "PROPFIND" : i % 3 == 1 ? "HEAD" : "GET";
      const std::string name = (i / 3) % 2 == 0 ? "a.txt" : "b.txt";
      const Exchange answer = client.Ask(method, "/homes/alice/" + name);
      statuses[name].insert(answer.status);
      if (answer.text.find("54321") != std::string::npos ||
          answer.text.find("Sep 2001") != std::string::npos) {
        leaks.push_back(method + " " + name + ":\n" + answer.text);
      }
      const Exchange got = client.Ask("GET", "/homes/alice/p.txt");
      const size_t body = got.text.find("\r\n\r\n");
      const std::string content = body == std::string::npos ? "" : got.text.substr(body + 4);
      if (got.status != 200 || (content != shorter && content != longer) ||
          got.text.find("Content-Length: " + std::to_string(content.size()) + "\r\n") ==
              std::string::npos) {
        mixed.push_back(got.text.substr(0, 300));
      }
    }
  }
  stop = true;
  swapper.join();
  EXPECT_TRUE(leaks.empty()) << leaks.size() << " answers showed bob's file, first:\n"
                             << (leaks.empty() ? "" : leaks[0]);
  EXPECT_TRUE(mixed.empty()) << mixed.size() << " GETs answered no whole file, first:\n"
                             << (mixed.empty() ? "" : mixed[0]);
  for (const auto& [name, seen] : statuses) {
    for (const int status : seen) {
      EXPECT_THAT(status, ::testing::AnyOf(200, 207, 403)) << name;
    }
  }
}

// A lock takes no folder from its owner: another account that may write in
// it locks neither the folder nor the owner's files in it, and the owner
// keeps adding, moving and removing; the owner and an administrator lock.
TEST_F(WebDAVDaemonTest, LocksNeverTakeAFolderFromItsOwner) {
  AddUsers({"bob", "admin"});
  EnableHttp(http_port_);
  const std::string bob = "bob:bob-secret", admin = "admin:admin-secret";
  const std::string open = root_.Path("/volume1/public/open");
  ASSERT_EQ(Curl("MKCOL", "/public/open", Alice()).status, 201);
  ASSERT_EQ(Curl("MKCOL", "/public/open/empty", Alice()).status, 201);
  ASSERT_EQ(Curl("PUT", "/public/open/a.txt", Alice(), {"--data-binary", "a"}).status, 201);
  for (const std::string& p : {open, open + "/empty"}) ASSERT_EQ(chmod(p.c_str(), 0777), 0);
  ASSERT_EQ(chmod((open + "/a.txt").c_str(), 0666), 0);
  const struct {
    const char* path;
    const char* depth;
  } refused[] = {
      {"/public/open", "0"},
      {"/public/open/", "infinity"},
      {"/public/open/empty", "infinity"},
      {"/public/open/empty/", "0"},
      {"/public/open/a.txt", "0"},
  };
  for (const auto& r : refused) {
    EXPECT_EQ(
        Curl("LOCK", r.path, bob, {"-H", std::string("Depth: ") + r.depth, "--data", kLockBody})
            .status,
        403)
        << r.path << " depth " << r.depth;
  }
  // A new name is the locker's own.
  const Answer own = Curl("LOCK", "/public/open/bob.txt", bob, {"-D", "-", "--data", kLockBody});
  EXPECT_EQ(own.status, 201);
  EXPECT_EQ(StatOf(open + "/bob.txt").st_uid, UidOf("bob"));

  // The owner goes on changing its folder.
  EXPECT_EQ(Curl("PUT", "/public/open/new.txt", Alice(), {"--data-binary", "n"}).status, 201);
  EXPECT_EQ(Curl("MKCOL", "/public/open/empty/d", Alice()).status, 201);
  EXPECT_EQ(Curl("MOVE", "/public/open/a.txt", Alice(),
                 {"-H", "Destination: http://127.0.0.1/public/open/empty/a.txt"})
                .status,
            201);
  EXPECT_EQ(Curl("DELETE", "/public/open/new.txt", Alice()).status, 204);
  EXPECT_EQ(Read(open + "/empty/a.txt"), "a");

  // The owner and an administrator lock it, and lift their locks.
  for (const std::string& user : {Alice(), admin}) {
    const Answer lock = Curl("LOCK", "/public/open/empty", user,
                             {"-D", "-", "-H", "Depth: 0", "--data", kLockBody});
    EXPECT_EQ(lock.status, 200) << user;
    EXPECT_EQ(Curl("UNLOCK", "/public/open/empty", user,
                   {"-H", "Lock-Token: <" + LockToken(lock.body) + ">"})
                  .status,
              204)
        << user;
  }
}

// A listing of the homes shows an account its own home only (names that
// share a prefix included), an administrator every home, a guest none;
// guests get no calendar's folder either.
TEST_F(WebDAVDaemonTest, HomesListOnlyTheAccountsOwn) {
  AddUsers({"bob", "ali", "admin"});
  EnableHttp(http_port_);
  ASSERT_EQ(chmod(root_.Path("/volume1/homes/bob").c_str(), 0755), 0);  // open, still unlisted
  // An administrator's page lists the homes it may open (its own, bob's, and
  // enough open folders that the listing reaches the filter in several parts).
  std::vector<std::string> open_homes = {"bob", "admin"};
  for (int i = 0; i < 24; ++i) {
    open_homes.push_back("member-" + std::to_string(i));
    ASSERT_EQ(mkdir(root_.Path("/volume1/homes/" + open_homes.back()).c_str(), 0755), 0);
  }
  const struct {
    std::string user;
    std::vector<std::string> shown, hidden;
  } viewers[] = {
      {Alice(), {"alice"}, {"bob", "ali", "admin", "member-0"}},
      {"ali:ali-secret", {"ali"}, {"alice", "bob", "admin"}},
      {"admin:admin-secret", open_homes, {}},
  };
  for (const auto& v : viewers) {
    const Answer listing = Curl("PROPFIND", "/homes/", v.user, {"-H", "Depth: 1"});
    EXPECT_EQ(listing.status, 207) << v.user;
    EXPECT_THAT(listing.body, HasSubstr("<D:href>/homes/</D:href>"));
    EXPECT_EQ(listing.body.rfind("<?xml", 0), 0u) << v.user << ": the answer whole";
    EXPECT_THAT(listing.body, EndsWith("</D:multistatus>\n")) << v.user << ": to its end";
    const Answer page = Curl("GET", "/homes/", v.user);
    EXPECT_EQ(page.status, 200) << v.user;
    for (const std::string& name : v.shown) {
      EXPECT_THAT(listing.body, HasSubstr("<D:href>/homes/" + name + "/</D:href>")) << v.user;
      EXPECT_THAT(page.body, HasSubstr("href=\"" + name + "/\"")) << v.user;
    }
    if (v.hidden.empty()) {
      for (const std::string name : {"alice", "ali"}) {
        EXPECT_THAT(listing.body, HasSubstr("<D:href>/homes/" + name + "/</D:href>"));
      }
    }
    for (const std::string& name : v.hidden) {
      EXPECT_THAT(listing.body, Not(HasSubstr("/homes/" + name + "/"))) << v.user;
      EXPECT_THAT(page.body, Not(HasSubstr("\"" + name + "/\""))) << v.user;
    }
  }
  // bob's open home stays readable to whom its mode lets in.
  EXPECT_EQ(Curl("PROPFIND", "/homes/bob/", Alice(), {"-H", "Depth: 0"}).status, 207);

  // Guests: no home, no calendar; the rest of a share as before.
  const std::string team = root_.Path("/volume1/public/Team");
  ASSERT_EQ(mkdir(team.c_str(), 0777), 0);
  ASSERT_TRUE(WriteFile(team + "/e.ics", "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n"));
  ASSERT_EQ(chmod((team + "/e.ics").c_str(), 0644), 0);
  ASSERT_TRUE(WriteFile(root_.Path("/volume1/public/open.txt"), "o"));
  ASSERT_EQ(chmod(root_.Path("/volume1/public/open.txt").c_str(), 0644), 0);
  const std::string registry = root_.Path("/usr/kivo/etc/calendar.info");
  ASSERT_TRUE(WriteFile(
      registry, R"([{"calendarname": "Team", "destination": "public", "share": "public"}])"));
  ASSERT_EQ(chmod(registry.c_str(), 0644), 0);
  ASSERT_EQ(
      Set(R"({"enable_http": true, "enable_https": false, "anonymouslogin_enable": true})").status,
      0);
  const struct {
    const char* method;
    const char* path;
    int status;
  } guest[] = {
      {"GET", "/homes/", 401},
      {"PROPFIND", "/homes/", 401},
      {"PROPFIND", "/homes/bob/", 401},
      {"GET", "/homes/bob/", 401},
      {"GET", "/public/Team/e.ics", 401},
      {"PROPFIND", "/public/Team/", 401},
      {"GET", "/public/open.txt", 200},
  };
  for (const auto& g : guest) {
    const Answer answer = Curl(g.method, g.path, "", {"-H", "Depth: 1"});
    EXPECT_EQ(answer.status, g.status) << g.method << " " << g.path;
    EXPECT_THAT(answer.body, Not(HasSubstr("bob"))) << g.method << " " << g.path;
    EXPECT_THAT(answer.body, Not(HasSubstr("VCALENDAR"))) << g.method << " " << g.path;
  }
  EXPECT_EQ(Curl("PROPFIND", "/homes/", Alice(), {"-H", "Depth: 1"}).status, 207);
}

}  // namespace
}  // namespace e2e
