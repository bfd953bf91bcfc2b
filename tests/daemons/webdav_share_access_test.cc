// The WebDAV daemon and the share access lists (etc/kivo/share-access.json):
// readers, writers and everybody else on a listed share, method by method;
// a team folder its members share; the homes, which never follow lists; a
// change counted at the next request.

#include "tests/daemons/webdav_fixture.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class WebDAVShareAccessTest : public WebDAVDaemonTest {
 protected:
  // bob reads public, alice writes it, carol is on neither list; carol and
  // dave are the team, whose folder only they write.
  void SetUp() override {
    WebDAVDaemonTest::SetUp();
    AddUsers({"bob", "carol", "dave"});
    ASSERT_TRUE(WriteFile(root_.Path("/etc/group"),
                          Read(root_.Path("/etc/group")) + "team:x:3100:carol,dave\n"));
    WriteStore(R"({"version": 1, "shares": {"public": {"read": ["bob"], "write": ["alice"]},
        "team": {"read": ["bob"], "write": ["@team"]}, "homes": {"read": ["bob"]}}})");
  }

  // Written as the administration side writes it: whole, by rename, root's.
  void WriteStore(const std::string& text, mode_t mode = 0644) {
    const std::string path = root_.Path("/etc/kivo/share-access.json");
    ASSERT_TRUE(WriteFile(path + ".new", text));
    ASSERT_EQ(chmod((path + ".new").c_str(), mode), 0);
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
  }

  std::string Login(const std::string& name) const { return name + ":" + name + "-secret"; }

  std::vector<std::string> To(const std::string& path) const {
    return {"-H", "Destination: http://127.0.0.1:" + std::to_string(http_port_) + path};
  }

  void Put(const std::string& path, const std::string& user, int status) {
    EXPECT_EQ(Curl("PUT", path, Login(user), {"--data-binary", user}).status, status)
        << user << " PUT " << path;
  }
};

constexpr char kProppatch[] =
    R"(<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:"><D:set><D:prop>)"
    R"(<x xmlns="urn:t">1</x></D:prop></D:set></D:propertyupdate>)";

// Every method by each of the three on a listed public share (a sticky
// folder open to every account, so that the lists alone refuse): the
// reader reads and changes nothing, also as a COPY's or MOVE's destination
// from its own home; the writer changes; the third is refused everything.
TEST_F(WebDAVShareAccessTest, ReadersWritersAndOthersOnAListedShare) {
  EnableHttp(http_port_);
  Put("/public/a.txt", "alice", 201);
  ASSERT_EQ(Curl("MKCOL", "/public/dir", Login("alice")).status, 201);
  for (const std::string& user : std::vector<std::string>{"bob", "carol"}) {
    Put("/homes/" + user + "/mine.txt", user, 201);
  }
  const std::vector<std::string> depth = {"-H", "Depth: 1"};
  const std::vector<std::string> lock = {"--data", kLockBody};
  const std::vector<std::string> patch = {"--data", kProppatch};
  const struct {
    const char* method;
    std::string path;
    std::vector<std::string> args;
    int bob, carol;
  } cases[] = {
      {"GET", "/public/a.txt", {}, 200, 403},
      {"PROPFIND", "/public/", depth, 207, 403},
      {"PUT", "/public/a.txt", {"--data-binary", "x"}, 403, 403},
      {"PUT", "/public/new.txt", {"--data-binary", "x"}, 403, 403},
      {"MKCOL", "/public/new", {}, 403, 403},
      {"PROPPATCH", "/public/a.txt", patch, 403, 403},
      {"LOCK", "/public/new-lock.txt", lock, 403, 403},
      {"DELETE", "/public/a.txt", {}, 403, 403},
      {"DELETE", "/public/dir", {}, 403, 403},
      {"MOVE", "/public/a.txt", To("/public/b.txt"), 403, 403},
      {"COPY", "/public/a.txt", To("/public/c.txt"), 403, 403},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Curl(c.method, c.path, Login("bob"), c.args).status, c.bob) << "bob " << c.method;
    EXPECT_EQ(Curl(c.method, c.path, Login("carol"), c.args).status, c.carol)
        << "carol " << c.method << " " << c.path;
  }
  // Across shares each side is judged on its own share: the reader copies
  // out, and nobody but the writer copies or moves in.
  EXPECT_EQ(Curl("COPY", "/public/a.txt", Login("bob"), To("/homes/bob/a.txt")).status, 201);
  EXPECT_EQ(Curl("COPY", "/public/a.txt", Login("carol"), To("/homes/carol/a.txt")).status, 403);
  for (const std::string& user : std::vector<std::string>{"bob", "carol"}) {
    for (const char* method : {"COPY", "MOVE"}) {
      EXPECT_EQ(
          Curl(method, "/homes/" + user + "/mine.txt", Login(user), To("/public/in.txt")).status,
          403)
          << user << " " << method << " into public";
    }
  }
  EXPECT_FALSE(Exists(root_.Path("/volume1/public/in.txt")));
  EXPECT_EQ(Read(root_.Path("/volume1/public/a.txt")), "alice");
  EXPECT_TRUE(Exists(root_.Path("/volume1/public/dir")));
  EXPECT_EQ(Curl("MOVE", "/public/a.txt", Login("alice"), To("/homes/alice/a.txt")).status, 201);
  // The homes share is listed (bob alone may read): each still writes home.
  Put("/homes/alice/h.txt", "alice", 201);
  EXPECT_EQ(Curl("MKCOL", "/homes/carol/d", Login("carol")).status, 201);
}

// Members of the team's write group create, edit, rename and delete each
// other's files and folders in its folder (group default ACLs, which the
// daemon's umask must not narrow); its reader reads what the folder's
// modes show every account, and an account on neither list reaches nothing.
TEST_F(WebDAVShareAccessTest, TeamMembersShareTheirFolder) {
  const std::string team = root_.Path("/volume1/team");
  ASSERT_TRUE(std::filesystem::create_directories(team));
  ASSERT_EQ(chown(team.c_str(), 0, 3100), 0);
  ASSERT_EQ(chmod(team.c_str(), 02775), 0);
  const Result acl = e2e::Run(
      {"/usr/bin/setfacl", "-m", "g:3100:rwx,d:u::rwx,d:g::rwx,d:g:3100:rwx,d:o::rx", team},
      root_.path());
  ASSERT_EQ(acl.status, 0) << acl.err;
  ASSERT_TRUE(AddShare(root_, "team", team));
  EnableHttp(http_port_);
  Put("/team/c.txt", "carol", 201);
  ASSERT_EQ(Curl("MKCOL", "/team/cdir", Login("carol")).status, 201);
  Put("/team/cdir/f.txt", "carol", 201);
  Put("/team/c.txt", "dave", 204);
  EXPECT_EQ(Read(team + "/c.txt"), "dave");
  EXPECT_EQ(Curl("MOVE", "/team/c.txt", Login("dave"), To("/team/d.txt")).status, 201);
  Put("/team/cdir/f.txt", "dave", 204);
  EXPECT_EQ(Curl("MOVE", "/team/cdir", Login("dave"), To("/team/ddir")).status, 201);
  Put("/team/ddir/g.txt", "dave", 201);
  Put("/team/ddir/g.txt", "carol", 204);
  EXPECT_EQ(Curl("GET", "/team/d.txt", Login("bob")).body, "dave");
  EXPECT_EQ(Curl("GET", "/team/d.txt", Login("alice")).status, 403);
  for (const std::string& user : std::vector<std::string>{"bob", "alice"}) {
    Put("/team/d.txt", user, 403);
    Put("/team/ddir/new.txt", user, 403);
    EXPECT_EQ(Curl("DELETE", "/team/ddir", Login(user)).status, 403) << user;
  }
  EXPECT_EQ(Curl("DELETE", "/team/d.txt", Login("carol")).status, 204);
  EXPECT_EQ(Curl("DELETE", "/team/ddir", Login("carol")).status, 204);
  EXPECT_TRUE(std::filesystem::is_empty(team));
}

// A change of the lists counts at the next request, without a restart,
// also a second one within the same second; a store that is not root's
// alone or not JSON refuses every share but the homes.
TEST_F(WebDAVShareAccessTest, ChangesCountAtTheNextRequest) {
  const std::string open = root_.Path("/volume1/open");
  ASSERT_TRUE(std::filesystem::create_directories(open));
  ASSERT_TRUE(AddShare(root_, "open", open));
  EnableHttp(http_port_);
  EXPECT_EQ(Curl("PROPFIND", "/open/", Login("carol"), {"-H", "Depth: 0"}).status, 207);
  const std::string put = "PUT /public/x.txt HTTP/1.1\r\nHost: h\r\nAuthorization: Basic " +
                          Base64(Login("bob")) + "\r\nContent-Length: 1\r\n\r\nx";
  EXPECT_EQ(RawStatus(http_port_, put), 403);
  WriteStore(R"({"version": 1, "shares": {"public": {"write": ["bob"]}}})");
  EXPECT_EQ(RawStatus(http_port_, put), 201);
  WriteStore(R"({"version": 1, "shares": {"public": {"write": ["bxb"]}}})");
  EXPECT_EQ(RawStatus(http_port_, put), 403) << "a second change within the second";
  WriteStore("{}");
  EXPECT_EQ(RawStatus(http_port_, put), 204) << "no lists: the modes decide";
  for (const auto& [text, mode] : std::vector<std::pair<std::string, mode_t>>{
           {R"({"version": 1, "shares": {"public": )", 0644}, {"{}", 0666}}) {
    WriteStore(text, mode);
    EXPECT_EQ(RawStatus(http_port_, put), 403) << text << " " << mode;
    EXPECT_EQ(Curl("PROPFIND", "/open/", Login("carol"), {"-H", "Depth: 0"}).status, 403)
        << "an unlisted share";
    Put("/homes/alice/h.txt", "alice",
        Exists(root_.Path("/volume1/homes/alice/h.txt")) ? 204 : 201);
  }
}

}  // namespace
}  // namespace e2e
