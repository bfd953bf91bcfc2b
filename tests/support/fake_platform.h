// A fake of the platform library for unit tests of the handlers.
//
// Every platform operation the module calls is recorded, in order, as a line
// "Op(arg, arg, ...)" and answers from the state below or from a scripted
// result. File-system work that the handlers do themselves (mkdir, stat,
// open) stays real; KIVOFileCopy and KLIBCExec act for real unless a result
// is scripted for them, so that tests can look at the folders on disk.

#ifndef KIVO_TESTS_SUPPORT_FAKE_PLATFORM_H_
#define KIVO_TESTS_SUPPORT_FAKE_PLATFORM_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace fake {

struct User {
  uid_t uid = 1000;
  gid_t gid = 100;
  int admin = 0;  // answer of KLIBGroupIsAdminGroupMem
  std::string home;
};

struct Platform {
  // Every call, in order, e.g. "KLIBServiceRestart(avahi)".
  std::vector<std::string> calls;
  // kivoinfo.conf; KLIBCINFOSetKeyValue writes here unless scripted to fail.
  std::map<std::string, std::string> conf;
  // Answers of KLIBServiceIsEnabled per service (absent: 0).
  std::map<std::string, int> enabled;
  std::map<std::string, User> users;
  // Share name -> absolute directory.
  std::map<std::string, std::string> shares;
  int volume_writable = 1;
  int last_error = 0x1234;  // answer of KLIBCErrGet
  // Scripted results, by exact call text or by operation name (the exact
  // text wins). They stay in force until Reset().
  std::map<std::string, int> results;
};

// The one fake platform of the test process.
Platform& P();
// Forget every call, state and scripted result.
void Reset();
// Scripts the result of a call ("KLIBServiceRestart(avahi)") or of every call
// of an operation ("KLIBServiceRestart").
void SetResult(const std::string& call_or_op, int result);

// The recorded calls that change something (no lookups, conf reads, service
// state queries or hash-table bookkeeping).
std::vector<std::string> Actions();
// The recorded calls of one operation.
std::vector<std::string> CallsOf(const std::string& op);

// Lines sent to syslog since the last Reset(), formatted.
const std::vector<std::string>& Logs();
// True when some log line ends with `suffix` (the "unit:line " prefix and
// the message's own text aside).
bool Logged(const std::string& message);

}  // namespace fake

#endif  // KIVO_TESTS_SUPPORT_FAKE_PLATFORM_H_
