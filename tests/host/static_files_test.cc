// Page files as `serve` hands them out: plain files of the page folder only, whatever the path
// spells, with headers against foreign content; and which shares the page offers to whom.

#include "host/http/static_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "host/webapi/share_choices.h"
#include "tests/platform/temp_root.h"

namespace {

class StaticFilesTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    Write("www/index.html", "<!doctype html>");
    Write("www/app.js", "'use strict';");
    Write("www/style.css", "body{}");
    Write("secret.js", "outside");
    Write("www/.hidden.js", "hidden");
    Write("www/sub/x.js", "below");
    ASSERT_EQ(symlink(Path("secret.js").c_str(), Path("www/link.js").c_str()), 0);
    ASSERT_EQ(mkdir(Path("www/dir.js").c_str(), 0755), 0);
  }

  std::string Header(const host::StaticFile& file, const std::string& name) {
    for (const auto& header : file.headers) {
      if (header.first == name) return header.second;
    }
    return "";
  }
};

TEST_F(StaticFilesTest, ServesPageFilesWithTypeAndCaching) {
  const struct {
    const char* url;
    const char* type;
    const char* cache;
    const char* body;
  } cases[] = {
      {"/", "text/html; charset=utf-8", "no-cache", "<!doctype html>"},
      {"/index.html", "text/html; charset=utf-8", "no-cache", "<!doctype html>"},
      {"/app.js", "text/javascript; charset=utf-8", "max-age=300", "'use strict';"},
      {"/style.css", "text/css; charset=utf-8", "max-age=300", "body{}"},
  };
  for (const auto& c : cases) {
    host::StaticFile file;
    ASSERT_TRUE(host::LoadStaticFile(Path("www"), c.url, &file)) << c.url;
    EXPECT_EQ(file.content_type, c.type) << c.url;
    EXPECT_EQ(file.body, c.body) << c.url;
    EXPECT_EQ(Header(file, "Cache-Control"), c.cache) << c.url;
    EXPECT_EQ(Header(file, "X-Content-Type-Options"), "nosniff") << c.url;
    const std::string policy = Header(file, "Content-Security-Policy");
    EXPECT_NE(policy.find("script-src 'self';"), std::string::npos) << policy;
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << policy;
    EXPECT_EQ(policy.find("unsafe"), std::string::npos) << policy;
  }
}

TEST_F(StaticFilesTest, RefusesEverythingElse) {
  const std::string urls[] = {
      "",               // not a path
      "index.html",     // not absolute
      "/../secret.js",  // out of the folder
      "/..%2fsecret.js",
      "/%2e%2e/secret.js",
      "/sub/x.js",    // the folder is flat
      "/.hidden.js",  // hidden files
      "/link.js",     // a link, even to a page-like file
      "/dir.js",      // not a regular file
      "/missing.js",
      "/app.js/",
      "/app.js%00.html",
      std::string("/app.js\0.html", 13),
      "/app.js?x=1",  // the caller strips the query
      "/index.htm",   // no known type
      "/app.JS",
      "/CMakeLists.txt",
      "//app.js",
  };
  for (const std::string& url : urls) {
    host::StaticFile file;
    EXPECT_FALSE(host::LoadStaticFile(Path("www"), url, &file)) << url;
  }
  host::StaticFile file;
  EXPECT_FALSE(host::LoadStaticFile(Path("no-such-folder"), "/", &file));
}

TEST_F(StaticFilesTest, OffersUsersTheirHomeAndWritableSharesOnly) {
  Write("etc/passwd", "admin:x:1024:100::" + Path("volume1/homes/admin") +
                          ":/bin/sh\n"
                          // The home field plays no part: alice's home is her folder in homes.
                          "alice:x:1025:100::/nonexistent:/bin/sh\n");
  Write("etc/group", "users:x:100:\nadministrators:x:101:admin\n");
  Write("etc/kivo/shares.json", "{\"homes\": \"" + Path("volume1/homes") + "\", \"public\": \"" +
                                    Path("volume1/public") + "\", \"team\": \"" +
                                    Path("volume1/team") + "\"}");
  for (const char* dir : {"volume1/homes/alice", "volume1/public", "volume1/team"}) {
    std::filesystem::create_directories(Path(dir));
  }
  ASSERT_EQ(chmod(Path("volume1/public").c_str(), 0755), 0);  // root's
  ASSERT_EQ(chmod(Path("volume1/team").c_str(), 0777), 0);

  auto names = [](const Json::Value& choices) {
    std::string text;
    for (const Json::Value& c : choices["shares"]) {
      text += c["share"].asString() + "=" + c["path"].asString() + " ";
    }
    return text;
  };
  EXPECT_EQ(names(host::ShareChoices("alice", false)),
            "home=" + Path("volume1/homes/alice") + " team=" + Path("volume1/team") + " ");
  EXPECT_EQ(names(host::ShareChoices("admin", true)),
            "home=" + Path("volume1/homes/admin") + " homes=" + Path("volume1/homes") +
                " public=" + Path("volume1/public") + " team=" + Path("volume1/team") + " ");
  EXPECT_EQ(names(host::ShareChoices("nobody", false)), "");
}

}  // namespace
