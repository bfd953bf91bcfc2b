// Real WebDAV clients against the WebDAV daemon, the way users run them:
// litmus (a warning fails), the request sequence davfs2 sends for a new file
// and a real davfs2 mount where FUSE allows it, rclone into new nested
// folders for two users at once and with a file past 1 GiB, gio (GNOME's
// gvfs) and cadaver. The
// CalDAV clients (vdirsyncer, python3-caldav, parallel kept-alive clients)
// run in caldav_daemon_test.py. Where a client cannot run on
// the machine the test says so and skips.

#include <future>

#include "tests/daemons/webdav_fixture.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class WebDAVClientsTest : public WebDAVDaemonTest {
 protected:
  // rclone's remote for `user` (password "<user>-secret", or alice's).
  std::string RcloneRemote(const std::string& user) const {
    const std::string password = user == "alice" ? kAlicePassword : user + "-secret";
    const Result obscured = e2e::Run({"/usr/bin/rclone", "obscure", password}, root_.path());
    std::string pass = obscured.out.substr(0, obscured.out.find('\n'));
    return ":webdav,url='" + Url("") + "',vendor=other,user=" + user + ",pass=" + pass + ":";
  }

  // rclone with `args`, no configuration and one try, given `seconds` at most.
  Result Rclone(const std::vector<std::string>& args, const std::string& seconds = "600") const {
    std::vector<std::string> argv = {
        "/usr/bin/timeout", seconds, "/usr/bin/rclone",     "--config", "/dev/null",
        "--retries",        "1",     "--low-level-retries", "1"};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::Run(argv, root_.path());
  }
};

TEST_F(WebDAVClientsTest, LitmusPassesWithoutAWarning) {
  EnableHttp(http_port_);
  setenv("TESTS", "basic copymove props locks http", 1);
  // litmus leaves debug.log and child.log in its working folder: the root.
  const Result r = e2e::Run({"/bin/sh", "-c", "cd \"$KIVO_ROOT\" && exec /usr/bin/litmus \"$@\"",
                             "litmus", Url("/homes/alice/"), "alice", kAlicePassword},
                            root_.path());
  unsetenv("TESTS");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, Not(HasSubstr("FAIL"))) << r.out;
  EXPECT_THAT(r.out, Not(HasSubstr("WARNING"))) << r.out;
  EXPECT_THAT(r.out, HasSubstr("<- summary for `locks'")) << r.out;
}

// davfs2 writes a new file as: LOCK of the new name, HEAD for its ETag, PUT
// with If-Match on that ETag and the lock token, UNLOCK. Every step at
// once, as davfs2 does, so the ETag is the one of a file made this second.
TEST_F(WebDAVClientsTest, TheSequenceOfDavfsStoresTheContent) {
  AddUsers({"bob"});
  EnableHttp(http_port_);
  const struct {
    std::string user, path;
  } cases[] = {{Alice(), "/homes/alice/new.txt"},
               {"bob:bob-secret", "/public/bob-new.txt"},
               {Alice(), "/public/alice-new.txt"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Answer lock = Curl("LOCK", c.path, c.user, {"-D", "-", "--data", kLockBody});
    ASSERT_EQ(lock.status, 201) << lock.body;
    const std::string token = LockToken(lock.body);
    const Answer head = Curl("HEAD", c.path, c.user, {"-I"});
    const size_t at = head.body.find("ETag: ");
    ASSERT_NE(at, std::string::npos) << head.body;
    const std::string etag = head.body.substr(at + 6, head.body.find('\r', at) - at - 6);
    EXPECT_EQ(Curl("PUT", c.path, c.user,
                   {"-H", "If-Match: " + etag, "-H", "If: (<" + token + ">)", "--data-binary",
                    "content of " + c.path})
                  .status,
              204);
    EXPECT_EQ(Curl("UNLOCK", c.path, c.user, {"-H", "Lock-Token: <" + token + ">"}).status, 204);
    EXPECT_EQ(Curl("GET", c.path, c.user).body, "content of " + c.path);
  }
}

// A davfs2 mount, where the machine lets this test mount FUSE file systems
// in a mount namespace of its own: a file copied in is on the server after
// the unmount.
TEST_F(WebDAVClientsTest, ADavfsMountKeepsWhatIsCopiedIn) {
  EnableHttp(http_port_);
  ASSERT_TRUE(WriteFile(root_.Path("/copied.txt"), "kept by davfs2\n"));
  const Result r = OnDavfs("/homes/alice/", "use_locks 1\ndelay_upload 0\n",
                           "cp \"$w/../copied.txt\" \"$w/mnt/file.txt\"\n");
  if (r.status == 77)
    GTEST_SKIP() << "davfs2 cannot mount here: " << r.err << Read(root_.Path("/davfs/mount.log"));
  ASSERT_EQ(r.status, 0) << r.out << r.err << Read(root_.Path("/davfs/mount.log"));
  EXPECT_EQ(Read(root_.Path("/volume1/homes/alice/file.txt")), "kept by davfs2\n");
}

// rclone copies a tree of new nested folders up (it makes a parent when a
// child answers 409) and back down, for two users at once, each in their
// own home; `rclone check` finds both sides the same.
TEST_F(WebDAVClientsTest, RcloneSyncsNewNestedFoldersForTwoUsersAtOnce) {
  AddUsers({"bob"});
  EnableHttp(http_port_);
  auto sync = [this](const std::string& user) {
    const std::string local = root_.Path("/rclone-" + user), back = local + "-back";
    for (int i = 0; i < 300; ++i) {
      const std::string dir = local + "/l1-" + std::to_string(i % 3) + "/l2-" +
                              std::to_string(i % 5) + "/l3-" + std::to_string(i % 2);
      std::filesystem::create_directories(dir);
      WriteFile(dir + "/f" + std::to_string(i) + ".txt", user + " file " + std::to_string(i));
    }
    const std::string remote = RcloneRemote(user) + "homes/" + user + "/tree";
    std::string out;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"copy", local, remote},
                                                 std::vector<std::string>{"copy", remote, back},
                                                 std::vector<std::string>{"check", local, remote},
                                                 std::vector<std::string>{"check", local, back}}) {
      const Result r = Rclone(args);
      if (r.status != 0) out += args[0] + " failed: " + r.out + r.err;
    }
    return out;
  };
  auto alice = std::async(std::launch::async, sync, "alice");
  auto bob = std::async(std::launch::async, sync, "bob");
  EXPECT_EQ(alice.get(), "");
  EXPECT_EQ(bob.get(), "");
  const struct stat made = StatOf(root_.Path("/volume1/homes/bob/tree/l1-2/l2-4/l3-0"));
  EXPECT_EQ(made.st_uid, UidOf("bob"));
}

// rclone copies a file past Apache's own default limit of a body (1 GiB) up
// and checks it back byte for byte (made on the client's side from
// generated data, not kept in memory).
TEST_F(WebDAVClientsTest, RcloneCopiesAFileLargerThanAGibibyte) {
  EnableHttp(http_port_);
  constexpr uint64_t kSize = 1100ull << 20;
  const std::string local = root_.Path("/rclone-large");
  ASSERT_TRUE(std::filesystem::create_directories(local));
  ASSERT_TRUE(WriteGenerated(local + "/big.bin", 11, kSize));
  const std::string remote = RcloneRemote("alice") + "homes/alice/large";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"copy", local, remote},
        std::vector<std::string>{"check", "--download", local, remote}}) {
    const Result r = Rclone(args, "100");
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.out << r.err;
  }
  const struct stat stored = StatOf(root_.Path("/volume1/homes/alice/large/big.bin"));
  EXPECT_EQ(static_cast<uint64_t>(stored.st_size), kSize);
  EXPECT_EQ(stored.st_uid, UidOf("alice"));
  unlink(root_.Path("/volume1/homes/alice/large/big.bin").c_str());
}

// A GNOME file manager's layer (gio over gvfs, on a private session bus):
// log in when asked, make nested folders one by one as a file manager does
// (gvfs reads a 409 as an error, not as a missing parent, with any
// server), copy a file up and back.
TEST_F(WebDAVClientsTest, GioCopiesIntoNewNestedFolders) {
  if (access("/usr/bin/gio", X_OK) != 0 || access("/usr/libexec/gvfsd-dav", X_OK) != 0 ||
      access("/usr/bin/dbus-run-session", X_OK) != 0) {
    GTEST_SKIP() << "no gio with its WebDAV backend here";
  }
  EnableHttp(http_port_);
  const std::string work = root_.Path("/gio");
  ASSERT_TRUE(std::filesystem::create_directories(work));
  ASSERT_TRUE(WriteFile(work + "/up.txt", "from gio\n"));
  const std::string script =
      "cd \"$1\" && export HOME=\"$1\" && u=dav://127.0.0.1:$2/homes/alice\n"
      "printf 'alice\\n\\n%s\\n' \"$3\" | gio mount \"$u/\" || exit 1\n"
      "for d in gio gio/a gio/a/b; do gio mkdir \"$u/$d\" || exit 2; done\n"
      "gio copy up.txt \"$u/gio/a/b/up.txt\" || exit 3\n"
      "gio copy \"$u/gio/a/b/up.txt\" down.txt || exit 4\n"
      "gio mount -u \"$u/\"\n";
  const Result r = e2e::Run({"/usr/bin/timeout", "60", "/usr/bin/dbus-run-session", "--", "/bin/sh",
                             "-c", script, "gio", work, std::to_string(http_port_), kAlicePassword},
                            root_.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Read(root_.Path("/volume1/homes/alice/gio/a/b/up.txt")), "from gio\n");
  EXPECT_EQ(StatOf(root_.Path("/volume1/homes/alice/gio/a")).st_uid, UidOf("alice"));
  EXPECT_EQ(Read(work + "/down.txt"), "from gio\n");
}

// cadaver, scripted as a user types: a folder, a file up and down, a move.
TEST_F(WebDAVClientsTest, CadaverSession) {
  if (access("/usr/bin/cadaver", X_OK) != 0) GTEST_SKIP() << "no cadaver here";
  EnableHttp(http_port_);
  const std::string home = root_.Path("/cadaver-home");
  ASSERT_TRUE(std::filesystem::create_directories(home));
  ASSERT_TRUE(WriteFile(home + "/.netrc", "machine 127.0.0.1 login alice password " +
                                              std::string(kAlicePassword) + "\n"));
  chmod((home + "/.netrc").c_str(), 0600);
  ASSERT_TRUE(WriteFile(home + "/up.txt", "from cadaver\n"));
  const std::string script =
      "cd \"$1\" && HOME=\"$1\" exec /usr/bin/cadaver \"$2\" <<'EOF'\n"
      "mkcol docs\ncd docs\nput up.txt\nmove up.txt kept.txt\nget kept.txt down.txt\nquit\nEOF\n";
  const Result r =
      e2e::Run({"/bin/sh", "-c", script, "cadaver", home, Url("/homes/alice/")}, root_.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, Not(HasSubstr("failed"))) << r.out;
  EXPECT_EQ(Read(root_.Path("/volume1/homes/alice/docs/kept.txt")), "from cadaver\n");
  EXPECT_EQ(Read(home + "/down.txt"), "from cadaver\n");
}

}  // namespace
}  // namespace e2e
