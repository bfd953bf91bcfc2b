// A fake of the platform library for the handlers' unit tests: each call is recorded in order as
// "Op(arg, ...)" and answered from the state below or a script. File-system work stays real, and
// so do KIVOFileCopy and KLIBCExec unless scripted.

#ifndef KIVO_TESTS_SUPPORT_FAKE_PLATFORM_H_
#define KIVO_TESTS_SUPPORT_FAKE_PLATFORM_H_

#include <sys/types.h>
#include <syslog.h>

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
  std::vector<std::string> calls;           // e.g. "KLIBServiceRestart(avahi)"
  std::map<std::string, std::string> conf;  // kivoinfo.conf, set by KLIBCINFOSetKeyValue
  std::map<std::string, int> enabled;       // KLIBServiceIsEnabled answers (absent: 0)
  std::map<std::string, User> users;
  std::map<std::string, std::string> shares;  // name -> absolute directory
  int volume_writable = 1;
  int last_error = 0x1234;  // answer of KLIBCErrGet
  // Scripted results by exact call text or operation name (the text wins), until Reset().
  std::map<std::string, int> results;
};

// The one fake platform of the test process.
Platform& P();
// Forgets every call, state, scripted result and log line.
void Reset();
// Scripts the result of a call ("KLIBServiceRestart(avahi)") or of an operation's every call.
void SetResult(const std::string& call_or_op, int result);
// A scripted result that throws std::runtime_error, as an allocation failure below would.
constexpr int kThrows = -0x7fff0001;

// The calls that change something (no lookups, reads, state queries or hash bookkeeping).
std::vector<std::string> Actions();
// The calls of one operation.
std::vector<std::string> CallsOf(const std::string& op);

// Lines sent to syslog since the last Reset(), formatted.
const std::vector<std::string>& Logs();
// True when some log line ends with `message` (after its "unit:line " prefix).
bool Logged(const std::string& message);
// The lines sent at `priority` or a more severe one (LOG_WARNING: warnings and errors).
std::vector<std::string> LogsAbove(int priority);
// The priorities (LOG_ERR, LOG_WARNING, ...) of the log lines that end with `message`, in order.
std::vector<int> LogLevels(const std::string& message);
// How many log lines the regular expression `pattern` finds something in.
long LogCount(const std::string& pattern);

}  // namespace fake

#endif  // KIVO_TESTS_SUPPORT_FAKE_PLATFORM_H_
