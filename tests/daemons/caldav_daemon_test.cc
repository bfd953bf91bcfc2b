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
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class CalDAVDaemonTest : public TempRootTest {
 protected:
  void SwitchOn() { Write("etc/kivoinfo.conf", "runCalDav=\"yes\"\n"); }
  int RecordedPort() { return std::stoi(Read("var/lib/kivo/caldav/port")); }
};

TEST_F(CalDAVDaemonTest, SwitchedOffThereIsNoSectionAndNothingToStop) {
  for (const char* conf :
       {"", "runCalDav=\"no\"\n", "runCalDav=\"YES\"\n", "runCalDav=\"yes \"\n"}) {
    Write("etc/kivoinfo.conf", conf);
    EXPECT_EQ("", CalDAVProxySection()) << conf;
    EXPECT_TRUE(AfterWebDAVDaemonChange(true));
    EXPECT_FALSE(CalDAVDaemonStatus().running);
  }
  EXPECT_THAT(Journal(), IsEmpty());
}

// The daemon serves address books too: it is wanted while either switch is exactly "yes", and
// /caldav/ is served by CalDAV's switch alone.
TEST_F(CalDAVDaemonTest, TheDaemonIsWantedWhileEitherSwitchIsOn) {
  const struct {
    const char* conf;
    bool caldav;
    bool wanted;
  } cases[] = {{"", false, false},
               {"runCalDav=\"no\"\nrunCardDav=\"YES\"\n", false, false},
               {"runCalDav=\"yes\"\n", true, true},
               {"runCardDav=\"yes\"\n", false, true},
               {"runCalDav=\"no\"\nrunCardDav=\"yes\"\n", false, true}};
  for (const auto& c : cases) {
    Write("etc/kivoinfo.conf", c.conf);
    EXPECT_EQ(CalDAVSwitchedOn(), c.caldav) << c.conf;
    EXPECT_EQ(CalDAVDaemonWanted(), c.wanted) << c.conf;
  }
}

TEST_F(CalDAVDaemonTest, SectionProxiesToTheRecordedLoopbackPort) {
  SwitchOn();
  const std::string section = CalDAVProxySection();
  const int port = RecordedPort();
  const std::string backend = "http://127.0.0.1:" + std::to_string(port) + "/";
  EXPECT_THAT(section, HasSubstr("ProxyPass /caldav/ " + backend));
  EXPECT_THAT(section, HasSubstr("ProxyPassReverse /caldav/ " + backend));
  EXPECT_THAT(section, HasSubstr("RequestHeader set X-Script-Name /caldav\n"));
  EXPECT_THAT(section, HasSubstr("ProxyPreserveHost On\n"));  // a MOVE's Destination
  EXPECT_THAT(section, HasSubstr("Redirect 301 /.well-known/caldav /caldav/\n"));
  EXPECT_EQ(section, CalDAVProxySection());  // the port stays
  EXPECT_EQ(port, CalDAVDaemonStatus().port);
}

// Each switch opens its own prefix and well-known address, to the one
// daemon; either alone is enough for a section.
TEST_F(CalDAVDaemonTest, EachSwitchProxiesItsOwnPrefix) {
  const struct {
    const char* conf;
    bool caldav;
    bool carddav;
  } cases[] = {
      {"runCalDav=\"yes\"\n", true, false},
      {"runCardDav=\"yes\"\nrunCalDav=\"no\"\n", false, true},
      {"runCalDav=\"yes\"\nrunCardDav=\"yes\"\n", true, true},
      {"runCardDav=\"YES\"\n", false, false},
  };
  for (const auto& c : cases) {
    Write("etc/kivoinfo.conf", c.conf);
    const std::string section = CalDAVProxySection();
    const std::string port = std::to_string(RecordedPort());
    EXPECT_EQ(c.caldav, section.find("ProxyPass /caldav/ ") != std::string::npos) << c.conf;
    EXPECT_EQ(c.caldav, section.find("/.well-known/caldav ") != std::string::npos) << c.conf;
    EXPECT_EQ(c.carddav, section.find("ProxyPass /carddav/ http://127.0.0.1:" + port +
                                      "/carddav/ ") != std::string::npos)
        << c.conf;
    EXPECT_EQ(c.carddav,
              section.find("Redirect 301 /.well-known/carddav /carddav/\n") != std::string::npos)
        << c.conf;
    EXPECT_EQ(c.carddav,
              section.find("RequestHeader set X-Script-Name /carddav\n") != std::string::npos)
        << c.conf;
    EXPECT_EQ(c.caldav || c.carddav, section.find("KivoDavProxyToken ") != std::string::npos);
    if (!section.empty()) {
      EXPECT_EQ(std::stoi(port), kivo::daemons::ProxiedCalDAVPort(section));
    }
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
