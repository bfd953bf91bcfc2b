// The free space the WebDAV daemon shows clients (RFC 4331's
// quota-available-bytes and quota-used-bytes): what the Finder asks for a
// volume's size and what `df` shows on a davfs2 mount, on a file system of
// the test's own; and each account's own quota on an ext4 file system that
// keeps quotas, beside an account it sets none for.

#include <sys/mount.h>
#include <sys/quota.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/daemons/webdav_fixture.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kFinderAsks[] =
    R"(<?xml version="1.0" encoding="utf-8"?><D:propfind xmlns:D="DAV:"><D:prop>)"
    R"(<D:quota-available-bytes/><D:quota-used-bytes/></D:prop></D:propfind>)";

// Both figures of every collection a PROPFIND answered, in its order.
struct Figures {
  unsigned long long available = 0, used = 0;
  bool operator==(const Figures& o) const { return available == o.available && used == o.used; }
};
std::ostream& operator<<(std::ostream& out, const Figures& f) {
  return out << "{available " << f.available << ", used " << f.used << "}";
}

std::vector<Figures> FiguresOf(const std::string& body) {
  static const std::regex kBoth(R"(quota-available-bytes>(\d+)<[\s\S]*?quota-used-bytes>(\d+)<)");
  std::vector<Figures> all;
  for (std::sregex_iterator it(body.begin(), body.end(), kBoth), end; it != end; ++it) {
    all.push_back({std::stoull((*it)[1]), std::stoull((*it)[2])});
  }
  return all;
}

Figures VolumeFigures(const std::string& dir) {
  struct statvfs vfs = {};
  EXPECT_EQ(statvfs(dir.c_str(), &vfs), 0) << dir;
  return {vfs.f_bavail * vfs.f_frsize, (vfs.f_blocks - vfs.f_bfree) * vfs.f_frsize};
}

class WebDAVQuotaTest : public WebDAVDaemonTest {
 protected:
  // A folder for a file system of this test's own, unmounted at its end.
  void OwnFileSystemAt(const std::string& dir) {
    ASSERT_TRUE(PrivateMounts());
    ASSERT_TRUE(std::filesystem::create_directories(dir));
    unmount_.push_back(dir);
  }

  void TearDown() override {
    WebDAVDaemonTest::TearDown();
    for (const std::string& dir : unmount_) umount2(dir.c_str(), MNT_DETACH);
  }

  std::vector<Figures> Ask(const std::string& path, const std::string& user, const char* depth) {
    const Answer a = Curl("PROPFIND", path, user, {"-H", depth, "--data", kFinderAsks});
    EXPECT_EQ(a.status, 207) << path << " " << a.body;
    return FiguresOf(a.body);
  }

  // How many descriptors the daemon's processes hold on what lies at or
  // below `dir`.
  int DaemonDescriptorsUnder(const std::string& dir) const {
    const pid_t daemon = DaemonPid();
    int held = 0;
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
      const std::string pid = process.path().filename();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream stat(process.path() / "stat");
      std::string line;
      std::getline(stat, line);
      const size_t close = line.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream fields(line.substr(close + 2));
      char state;
      pid_t parent = 0;
      fields >> state >> parent;
      if (std::stoi(pid) != daemon && parent != daemon) continue;
      std::error_code error;
      for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", error)) {
        const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        held += target == dir || target.rfind(dir + "/", 0) == 0;
      }
    }
    return held;
  }

  std::vector<std::string> unmount_;
};

// RFC 4331's figures on a file system of the test's own: the Finder's
// question for a volume's size (both, Depth 0, on the share) and a Depth 1
// one, answered on every collection and on no file, as they are at each
// request; a propname lists them, an allprop leaves them out; davfs2 asks
// the same and `df` on its mount shows them.
TEST_F(WebDAVQuotaTest, TheFinderAndDavfsShowTheServersFigures) {
  const std::string volume = root_.Path("/volume1/space");
  OwnFileSystemAt(volume);
  ASSERT_EQ(mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=64m,mode=1777"), 0);
  ASSERT_EQ(mkdir((volume + "/sub").c_str(), 0777), 0);
  ASSERT_EQ(chmod((volume + "/sub").c_str(), 01777), 0);
  ASSERT_TRUE(WriteFile(volume + "/top.txt", "t"));
  ASSERT_TRUE(AddShare(root_, "space", volume));
  EnableHttp(http_port_);
  const Figures before = VolumeFigures(volume);
  EXPECT_EQ(Ask("/space/", Alice(), "Depth: 0"), std::vector<Figures>{before});
  ASSERT_TRUE(WriteFile(root_.Path("/a.bin"), std::string(1 << 20, 'a')));
  EXPECT_EQ(Curl("PUT", "/space/sub/a.bin", Alice(), {"-T", root_.Path("/a.bin")}).status, 201);
  const Figures after = VolumeFigures(volume);
  EXPECT_EQ(after.used, before.used + (1 << 20));
  const Answer listed =
      Curl("PROPFIND", "/space/", Alice(), {"-H", "Depth: 1", "--data", kFinderAsks});
  EXPECT_EQ(FiguresOf(listed.body), std::vector<Figures>(2, after)) << listed.body;
  EXPECT_THAT(listed.body, HasSubstr("404 Not Found")) << "top.txt has none";
  const Answer names = Curl(
      "PROPFIND", "/space/", Alice(),
      {"-H", "Depth: 0", "--data", R"(<D:propfind xmlns:D="DAV:"><D:propname/></D:propfind>)"});
  EXPECT_THAT(names.body, HasSubstr("quota-available-bytes/>"));
  const Answer all =
      Curl("PROPFIND", "/space/", Alice(),
           {"-H", "Depth: 0", "--data", R"(<D:propfind xmlns:D="DAV:"><D:allprop/></D:propfind>)"});
  EXPECT_EQ(all.status, 207);
  EXPECT_THAT(all.body, Not(HasSubstr("quota")));
  // Each listing reads the figures once for its file system, and keeps
  // nothing of the volume open after it: twenty more leave no descriptor.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(
        Curl("PROPFIND", "/space/", Alice(), {"-H", "Depth: 1", "--data", kFinderAsks}).status,
        207);
  }
  EXPECT_LT(DaemonDescriptorsUnder(volume), 10);

  // davfs2 asks at its first statfs (and again after its retry time).
  const Result r = OnDavfs("/space/", "",
                           "stat -f -c '%S %b %a' \"$w/mnt\" || { umount \"$w/mnt\"; exit 1; }\n");
  if (r.status == 77)
    GTEST_SKIP() << "davfs2 cannot mount here: " << r.err << Read(root_.Path("/davfs/mount.log"));
  ASSERT_EQ(r.status, 0) << r.out << r.err << Read(root_.Path("/davfs/mount.log"));
  unsigned long long block = 0, blocks = 0, avail = 0;
  std::istringstream(r.out) >> block >> blocks >> avail;
  ASSERT_GT(block, 0u) << r.out;
  EXPECT_EQ(avail, after.available / block) << r.out;
  EXPECT_EQ(blocks - avail, after.used / block) << r.out;
}

// On ext4 with quotas kept, each account is shown its own usage there and
// what its quota still allows (the hard limit, never past the volume's free
// space, 0 once over it), on every collection of a Depth 1 PROPFIND; an
// account without a limit is shown the volume's figures. Asked in turn on
// the same daemon, so that no account's figures reach the next.
TEST_F(WebDAVQuotaTest, EachAccountSeesItsOwnQuota) {
  const std::string volume = root_.Path("/volume1/quota");
  OwnFileSystemAt(volume);
  const std::string image = root_.Path("/quota.img");
  const Result made = e2e::Run({"/bin/sh", "-c",
                                "truncate -s 64M \"$1\" && mkfs.ext4 -q -F -O quota -E "
                                "quotatype=usrquota,lazy_itable_init=0,lazy_journal_init=0 \"$1\"",
                                "mkfs", image},
                               root_.path());
  ASSERT_EQ(made.status, 0) << made.out << made.err;
  const Result mounted =
      e2e::Run({"/usr/bin/mount", "-o", "loop,usrquota", image, volume}, root_.path());
  if (mounted.status != 0) {
    const Result kernel = e2e::Run({"/bin/sh", "-c", "dmesg 2>/dev/null | tail -3"}, root_.path());
    GTEST_SKIP() << "NO QUOTA TEST: this machine gives no loop device or no ext4 quotas ("
                 << mounted.err << kernel.out << "); the volume's figures are tested alone";
  }
  ASSERT_EQ(chmod(volume.c_str(), 0755), 0);
  AddUsers({"bob", "carol", "dave"});
  const struct {
    std::string name;
    unsigned long long hard_kib, soft_kib, file;
  } accounts[] = {
      {"alice", 4096, 2048, 1 << 20},     // under both limits: the hard one counts
      {"bob", 0, 0, 1 << 20},             // no limit: the volume's figures
      {"carol", 1024, 0, 2 << 20},        // over its limit
      {"dave", 1ULL << 30, 0, 512 << 10}  // a limit past the volume's free space
  };
  for (const auto& a : accounts) {
    const uid_t uid = UidOf(a.name);
    ASSERT_NE(uid, 0u) << a.name;
    const std::string home = volume + "/" + a.name;
    ASSERT_TRUE(std::filesystem::create_directories(home + "/sub"));
    ASSERT_TRUE(WriteFile(home + "/sub/f.bin", std::string(a.file, 'q')));
    for (const std::string& path : {home, home + "/sub", home + "/sub/f.bin"}) {
      ASSERT_EQ(chown(path.c_str(), uid, uid), 0) << path;
    }
    ASSERT_EQ(chmod(home.c_str(), 0700), 0);
    if (a.hard_kib == 0) continue;
    const Result set =
        e2e::Run({"/usr/sbin/setquota", "-u", std::to_string(uid), std::to_string(a.soft_kib),
                  std::to_string(a.hard_kib), "0", "0", volume},
                 root_.path());
    ASSERT_EQ(set.status, 0) << set.out << set.err;
  }
  sync();
  ASSERT_TRUE(AddShare(root_, "quota", volume));
  EnableHttp(http_port_);
  const Figures whole = VolumeFigures(volume);
  const int fd = open(volume.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int round = 0; round < 2; ++round) {
    for (const auto& a : accounts) {
      SCOPED_TRACE(a.name);
      struct dqblk dq = {};
      ASSERT_EQ(syscall(SYS_quotactl_fd, fd, QCMD(Q_GETQUOTA, USRQUOTA), UidOf(a.name), &dq), 0)
          << strerror(errno);
      const unsigned long long used = dq.dqb_curspace;
      ASSERT_GE(used, a.file);
      ASSERT_LT(used, a.file + (64 << 10)) << "its file and two folders";
      const unsigned long long limit = a.hard_kib << 10;
      Figures expected = {limit > used ? std::min(limit - used, whole.available) : 0, used};
      if (a.hard_kib == 0) expected = whole;
      const std::vector<Figures> shown =
          Ask("/quota/" + a.name + "/",
              a.name == "alice" ? Alice() : a.name + ":" + a.name + "-secret", "Depth: 1");
      EXPECT_EQ(shown, std::vector<Figures>(2, expected));
    }
  }
  close(fd);
  EXPECT_EQ(VolumeFigures(volume), whole) << "nothing wrote meanwhile";
}

}  // namespace
}  // namespace e2e
