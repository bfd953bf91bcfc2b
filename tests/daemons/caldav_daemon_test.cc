// The CalDAV daemon's control without starting it: the proxy section, a busy port replaced, a
// foreign pid file never signalled. Starting and serving: caldav_daemon_test.py (label daemon).

#include "daemons/radicale/caldav_daemon.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "daemons/radicale/caldav_proxy.h"
#include "tests/platform/temp_root.h"

namespace {

using kivo::daemons::AfterWebDAVDaemonChange;
using kivo::daemons::CalDAVDaemonPort;
using kivo::daemons::CalDAVDaemonStatus;
using kivo::daemons::CalDAVDaemonWanted;
using kivo::daemons::CalDAVProxySection;
using kivo::daemons::CalDAVSwitchedOn;
using kivo::daemons::StopCalDAVDaemon;
using ::testing::IsEmpty;

class CalDAVDaemonTest : public TempRootTest {
 protected:
  int RecordedPort() { return std::stoi(Read("var/lib/kivo/caldav/port")); }
};

// Each switch, exactly "yes", opens its own prefix and well-known address to the one daemon,
// which is wanted while either is on; with neither there is no section and nothing to stop.
TEST_F(CalDAVDaemonTest, EachSwitchProxiesItsOwnPrefix) {
  const struct {
    const char* conf;
    bool caldav;
    bool carddav;
  } cases[] = {
      {"", false, false},
      {"runCalDav=\"no\"\n", false, false},
      {"runCalDav=\"YES\"\n", false, false},
      {"runCalDav=\"yes \"\n", false, false},
      {"runCalDav=\"no\"\nrunCardDav=\"YES\"\n", false, false},
      {"runCalDav=\"yes\"\n", true, false},
      {"runCardDav=\"yes\"\n", false, true},
      {"runCardDav=\"yes\"\nrunCalDav=\"no\"\n", false, true},
      {"runCalDav=\"yes\"\nrunCardDav=\"yes\"\n", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf);
    Write("etc/kivoinfo.conf", c.conf);
    EXPECT_EQ(CalDAVSwitchedOn(), c.caldav);
    EXPECT_EQ(CalDAVDaemonWanted(), c.caldav || c.carddav);
    const std::string section = CalDAVProxySection();
    if (!c.caldav && !c.carddav) {
      EXPECT_EQ("", section);
      EXPECT_TRUE(AfterWebDAVDaemonChange(true));
      EXPECT_FALSE(CalDAVDaemonStatus().running);
      EXPECT_THAT(Journal(), IsEmpty());
      continue;
    }
    const int port = RecordedPort();
    const std::string backend = "http://127.0.0.1:" + std::to_string(port) + "/";
    const auto has = [&section](const std::string& line) {
      return section.find(line) != std::string::npos;
    };
    EXPECT_EQ(c.caldav, has("ProxyPass /caldav/ " + backend + " "));
    EXPECT_EQ(c.caldav, has("ProxyPassReverse /caldav/ " + backend + "\n"));
    EXPECT_EQ(c.caldav, has("RequestHeader set X-Script-Name /caldav\n"));
    EXPECT_EQ(c.caldav, has("Redirect 301 /.well-known/caldav /caldav/\n"));
    EXPECT_EQ(c.carddav, has("ProxyPass /carddav/ " + backend + "carddav/ "));
    EXPECT_EQ(c.carddav, has("Redirect 301 /.well-known/carddav /carddav/\n"));
    EXPECT_EQ(c.carddav, has("RequestHeader set X-Script-Name /carddav\n"));
    EXPECT_TRUE(has("ProxyPreserveHost On\n"));  // a MOVE's Destination
    EXPECT_TRUE(has("KivoDavProxyToken "));
    EXPECT_EQ(section, CalDAVProxySection());  // the port stays
    EXPECT_EQ(port, CalDAVDaemonStatus().port);
    EXPECT_EQ(port, kivo::daemons::ProxiedCalDAVPort(section));
  }
}

TEST_F(CalDAVDaemonTest, RecordedPortTakenBySomeoneElseIsReplaced) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, listen(fd, 1));
  ASSERT_EQ(0, getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len));
  const int busy = ntohs(addr.sin_port);
  Write("var/lib/kivo/caldav/port", std::to_string(busy) + "\n");

  const int port = CalDAVDaemonPort();
  close(fd);
  EXPECT_GT(port, 0);
  EXPECT_NE(busy, port);
  EXPECT_EQ(port, RecordedPort());
}

TEST_F(CalDAVDaemonTest, PidFileOfAnotherProcessIsNeverSignalled) {
  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    pause();
    _exit(0);
  }
  Write("var/run/kivo/caldav.pid", std::to_string(other) + "\n");

  EXPECT_FALSE(CalDAVDaemonStatus().running);
  EXPECT_TRUE(StopCalDAVDaemon());
  int status = 0;
  EXPECT_EQ(0, waitpid(other, &status, WNOHANG)) << "the process was signalled";
  EXPECT_THAT(List("var/run/kivo"), ::testing::Not(::testing::Contains("caldav.pid")));
  EXPECT_THAT(Journal(), IsEmpty());
  kill(other, SIGKILL);
  waitpid(other, &status, 0);
}

}  // namespace
