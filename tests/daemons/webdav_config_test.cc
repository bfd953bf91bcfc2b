// What the WebDAV daemon's configuration is made of: settings read from the
// root, and text Apache would read differently never reaching httpd.conf.

#include "daemons/httpd/webdav_config.h"

#include <gmock/gmock.h>
#include <json/json.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "daemons/apache/kivo_dav_shared.h"
#include "daemons/avahi_files.h"
#include "daemons/firewall.h"
#include "daemons/radicale/caldav_proxy.h"
#include "kivo/kivo_platform.h"
#include "kivo/port_text.h"
#include "tests/platform/temp_root.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class WebDAVConfigTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    unsetenv("KIVO_WEBDAV_ADDRESS");  // every address, as in production
    Write("etc/passwd",
          "root:x:0:0::/root:/bin/sh\nadmin:x:1024:100::/h/admin:/bin/sh\n"
          "guest:x:1023:100::/nonexistent:/bin/false\nlocked:x:1030:100::/h:/bin/sh\n"
          "Odd:x:1031:100::/h:/bin/sh\n");
    Write("etc/shadow",
          "root:$6$s$h:0:0:99999:7:::\nadmin:$5$rounds=1000$s$abc:0:0:99999:7:::\n"
          "guest:!:0:0:99999:7:::\nlocked:!$6$s$h:0:0:99999:7:::\nOdd:$6$s$h:0:0:99999:7:::\n");
    Write("var/lib/kivo/services.json",
          R"({"webdav-httpd-pure": {"run": 2, "running": true},
              "webdav-httpd-ssl": {"run": 1, "running": false}})");
  }

  std::string Config() {
    kivo::daemons::WebDAVSettings settings;
    settings.extra_server_text = kivo::daemons::CalDAVProxySection();  // as the daemon's caller
    EXPECT_TRUE(kivo::daemons::ReadWebDAVSettings(&settings));
    return kivo::daemons::WebDAVConfigText(settings);
  }
};

// The variant that runs listens (its run setting is stored only later). A
// stored port is one number for every reader: the one `get` shows is the
// one Apache listens on, the firewall opens and the announcement names (the
// variant's default when the text is no port at all).
TEST_F(WebDAVConfigTest, EveryReaderServesThePortGetShowsForTheRunningVariant) {
  Write("etc/kivoinfo.conf", "WebDavPort=\"18080\"\nsecure_WebDavPort=\"18443\"\n");
  const std::string config = Config();
  EXPECT_THAT(config, HasSubstr("\nListen 18080\n"));
  EXPECT_THAT(config, Not(HasSubstr("18443")));
  EXPECT_THAT(config, Not(HasSubstr("SSLEngine")));
  Write("var/lib/kivo/services.json", R"({"webdav-httpd-pure": {"run": 1, "running": true}})");
  const struct {
    const char* stored;
    int served;
  } cases[] = {{"8080", 8080},  {" 8080", 8080}, {"8080 ", 8080}, {"+8080", 8080},
               {"08080", 8080}, {"8080x", 8080}, {"", 5005},      {"x", 5005},
               {"0", 5005},     {"-80", 5005},   {"65536", 5005}, {"99999999999", 5005}};
  for (const auto& c : cases) {
    Write("etc/kivoinfo.conf", std::string("WebDavPort=\"") + c.stored + "\"\n");
    const int shown = port_text::Read(c.stored[0] ? c.stored : "5005");
    if (shown >= 1 && shown <= 65535) {
      EXPECT_EQ(shown, c.served) << "[" << c.stored << "]";
    }
    EXPECT_THAT(Config(), HasSubstr("\nListen " + std::to_string(c.served) + "\n"))
        << "[" << c.stored << "]";
    const std::vector<int> open = kivo::daemons::CurrentOpenings().tcp;
    EXPECT_NE(std::find(open.begin(), open.end(), c.served), open.end()) << "[" << c.stored << "]";
    ASSERT_TRUE(kivo::daemons::WriteAnnouncement("webdav-avahi"));
    EXPECT_THAT(Read("etc/avahi/services/kivo-webdav.service"),
                HasSubstr("<port>" + std::to_string(c.served) + "</port>"))
        << "[" << c.stored << "]";
  }
}

TEST_F(WebDAVConfigTest, DepthInfinityOnlyForTheExactYes) {
  const struct {
    const char* value;
    const char* directive;
  } cases[] = {{"yes", "DavDepthInfinity On"},
               {"Yes", "DavDepthInfinity Off"},
               {"yes ", "DavDepthInfinity Off"},
               {"1", "DavDepthInfinity Off"},
               {"", "DavDepthInfinity Off"}};
  for (const auto& c : cases) {
    Write("etc/kivoinfo.conf", std::string("webdavdepthinfinity=\"") + c.value + "\"\n");
    EXPECT_THAT(Config(), HasSubstr(c.directive)) << "[" << c.value << "]";
  }
}

// Names and folders that would change the meaning of a directive are left
// out whole; the others are served.
TEST_F(WebDAVConfigTest, SharesThatApacheWouldReadDifferentlyAreLeftOut) {
  Write("etc/kivo/shares.json", R"({
      "public": "/v/public", "with space": "/v/with space",
      "quote\"name": "/v/q", ".hidden": "/v/h", "slash/name": "/v/s", "dollar": "/v/${HOME}",
      "newline": "/v/a\n<Directory />", "relative": "v/r", "back": "/v/b\\\"x"})");
  const std::string config = Config();
  EXPECT_THAT(config, HasSubstr("Alias \"/public\" \"/v/public\""));
  EXPECT_THAT(config, HasSubstr("Alias \"/with space\" \"/v/with space\""));
  for (const char* left_out : {"quote", ".hidden", "slash", "${HOME}", "/v/a", "\"v/r\"", "/v/b"}) {
    EXPECT_THAT(config, Not(HasSubstr(left_out))) << left_out;
  }
}

// While CalDAV is on, /caldav/ belongs to the proxy: its section stands
// outside every share's block (no Apache login, no identity switch there),
// and a share of that name, which the proxy would shadow, is left out.
TEST_F(WebDAVConfigTest, CalDAVProxyStandsOutsideTheSharesWhileSwitchedOn) {
  Write("etc/kivo/shares.json", R"({"caldav": "/v/caldav", "public": "/v/public"})");
  for (const bool on : {true, false}) {
    Write("etc/kivoinfo.conf", std::string("runCalDav=\"") + (on ? "yes" : "no") + "\"\n");
    const std::string config = Config();
    EXPECT_EQ(config.find("\"/v/caldav\"") == std::string::npos, on) << on;
    const size_t proxy = config.find("\nProxyPass /caldav/ http://127.0.0.1:");
    ASSERT_EQ(proxy != std::string::npos, on);
    if (!on) continue;
    const size_t location = config.find("<Location /caldav/>", proxy);
    const std::string section =
        config.substr(location, config.find("</Location>", location) - location);
    EXPECT_THAT(section, Not(HasSubstr("AssignUserID")));
    EXPECT_THAT(section, Not(HasSubstr("AuthType Basic")));
    // The door checks every /caldav/ login and hands it on with the token's
    // file (root's, the daemon's group's); the daemon's Server never shows.
    EXPECT_THAT(config, HasSubstr("\nKivoDavProxied /caldav/\n"));
    EXPECT_THAT(config, HasSubstr("\nKivoDavProxyToken \"" +
                                  Path("var/lib/kivo/caldav/door-token") + "\"\n"));
    EXPECT_EQ(65u, Read("var/lib/kivo/caldav/door-token").size());
    EXPECT_THAT(section, HasSubstr("\n  Header always unset Server\n"));
    EXPECT_LT(config.find("<Directory />"), proxy);
    EXPECT_LT(proxy, config.find("Alias \"/public\""));
  }
}

// No account is named: mod_kivo_dav gives each verified login its identity
// from the root's files at that login, so an account made later needs no
// new configuration. Every DAV block, the listing's and each share's,
// requires a login and carries the access check; the module is loaded.
TEST_F(WebDAVConfigTest, EveryDavBlockAuthenticatesAndNamesNoAccount) {
  Write("etc/kivo/shares.json", R"({"homes": "/v/homes", "public": "/v/public"})");
  const std::string config = Config();
  EXPECT_THAT(config, HasSubstr("\nLoadModule kivo_dav_module \""));
  EXPECT_THAT(config, HasSubstr("\nKivoDavRoot \""));
  EXPECT_THAT(config, HasSubstr("\nKivoDavAnonymous Off\n"));
  EXPECT_THAT(config, HasSubstr("\nUser #65534\nGroup #65534\n"));
  for (const char* never : {"AssignUserID", "<If", "reqenv", "#1024", "#1030"}) {
    EXPECT_THAT(config, Not(HasSubstr(never))) << never;
  }
  // With anonymous login, the processes idle as guest, found after lines of any length.
  Write("etc/passwd", "long:x:2000:100:" + std::string(40000, 'g') + ":/h:/bin/sh\n" +
                          "guest:x:1023:101::/nonexistent:/bin/false\n");
  Write("etc/kivoinfo.conf", "webdavanonymouslogin=\"yes\"\n");
  EXPECT_THAT(Config(), HasSubstr("\nUser #1023\nGroup #101\n"));
  int dav_blocks = 0;
  std::istringstream lines(config);
  std::string line;
  bool in_dav = false, checked = false, authenticated = false;
  while (std::getline(lines, line)) {
    if (line.rfind("<Directory ", 0) == 0) in_dav = checked = authenticated = false;
    if (line == "  Dav kivo") in_dav = true;
    if (line == "  KivoDavCheck On") checked = true;
    if (line == "  Require valid-user") authenticated = true;
    if (line == "</Directory>" && in_dav) {
      ++dav_blocks;
      EXPECT_TRUE(checked && authenticated) << "a DAV block without its checks";
    }
  }
  EXPECT_EQ(dav_blocks, 3);  // the listing and two shares
}

// Anonymous requests run as the first line naming guest in the accounts every reader runs
// (tests/vectors/accounts.json): never "guests", "guest1" or a later guest line.
TEST_F(WebDAVConfigTest, AnonymousRequestsRunAsTheTablesGuest) {
  std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/accounts.json");
  Json::Value table;
  ASSERT_TRUE(Json::Reader().parse(file, table));
  Write("etc/passwd", table["passwd"].asString());
  Write("etc/kivoinfo.conf", "webdavanonymouslogin=\"yes\"\n");
  const Json::Value& guest = table["anonymous"];
  EXPECT_THAT(Config(), HasSubstr("\nUser #" + std::to_string(guest["uid"].asUInt()) + "\nGroup #" +
                                  std::to_string(guest["gid"].asUInt()) + "\n"));
}

// The CalDAV switch restarts "webdav-httpd-pure" whatever its state: that
// restarts the daemon, and must not switch a stopped variant on.
TEST_F(WebDAVConfigTest, RestartOrReloadOfAVariantKeepsItsState) {
  Write("var/lib/kivo/services.json", R"({"webdav-httpd-pure": {"run": 2, "running": false}})");
  ASSERT_EQ(KLIBServiceRestart("webdav-httpd-pure"), 0);
  ASSERT_EQ(KLIBServiceReload("webdav-httpd-ssl"), 0);
  EXPECT_EQ(Parse(Read("var/lib/kivo/services.json")),
            Parse(R"({"webdav-httpd-pure": {"run": 2, "running": false},
                      "webdav-httpd-ssl": {"running": false}})"));
  EXPECT_THAT(Config(), Not(HasSubstr("\nListen ")));
  ASSERT_EQ(KLIBServicectlStart("webdav-httpd-pure", 0), 0);
  ASSERT_EQ(KLIBServiceRestart("webdav-httpd-pure"), 0);
  EXPECT_THAT(Config(), HasSubstr("Listen 5005"));
}

}  // namespace

namespace {

// The numbers of the first match of `pattern` in `text`; none when it does not match.
std::vector<int> Numbers(const std::string& text, const std::string& pattern) {
  std::smatch found;
  std::vector<int> numbers;
  if (!std::regex_search(text, found, std::regex(pattern))) return numbers;
  for (size_t i = 1; i < found.size(); ++i) numbers.push_back(std::stoi(found[i].str()));
  return numbers;
}

// docs/SECURITY.md says what the configuration does: its figures for the
// connections not logged in yet, and TRACE refused on every virtual host.
TEST_F(WebDAVConfigTest, SecurityDocSaysTheConfiguredFigures) {
  Write("etc/kivo/shares.json", R"({"public": "/v/public"})");
  Write("var/lib/kivo/services.json",
        R"({"webdav-httpd-pure": {"run": 1, "running": true},
            "webdav-httpd-ssl": {"run": 1, "running": true}})");
  const std::string config = Config();
  const std::vector<int> limits =
      Numbers(config, "\nKivoDavPendingConnections (\\d+) (\\d+) (\\d+)\n");
  ASSERT_EQ(3u, limits.size()) << config;
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/docs/SECURITY.md");
  std::stringstream doc;
  doc << in.rdbuf();
  // Blanks and line ends alike, as a reader sees them.
  const std::string text = std::regex_replace(doc.str(), std::regex("\\s+"), " ");
  const int address = limits[0], network = limits[1], total = limits[2];
  EXPECT_EQ(std::vector<int>({address, network, KD_BURST * address, KD_BURST * network, total}),
            Numbers(text,
                    "\\| WebDAV connections not logged in \\| (\\d+) slow \\(2 s\\) per "
                    "address, (\\d+) per network, (\\d+) and (\\d+) while fresh, (\\d+) in all"));
  EXPECT_EQ(std::vector<int>({total, address, network, total}),
            Numbers(text,
                    "connections not logged in hold at most (\\d+) of the threads, [^.]*? "
                    "(\\d+) from one address and (\\d+) from one network once slow\\. "
                    "At the bound of (\\d+)"));
  EXPECT_EQ(std::vector<int>({total, total}),
            Numbers(text,
                    "connections that have not logged in: (\\d+) in all, so floods hold at "
                    "most (\\d+) workers"));
  // Every virtual host refuses TRACE, as the server does.
  const size_t host = config.find("<VirtualHost ");
  ASSERT_NE(std::string::npos, host);
  EXPECT_THAT(config.substr(0, host), HasSubstr("\nTraceEnable Off\n"));
  EXPECT_THAT(config.substr(host), HasSubstr("\n  TraceEnable Off\n"));
}

}  // namespace
