// Running a platform program (rm, mv, ...) to completion.

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/last_error.h"
#include "base/process.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "exec";

// In the child only async-signal-safe calls are allowed: the host may run
// other threads.
[[noreturn]] void RunChild(const char* program, char* const argv[]) {
  if (close_range(3, ~0U, 0) != 0) {
    long max_fd = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (max_fd > 0 ? max_fd : 1024); ++fd) close(static_cast<int>(fd));
  }
  kivo::base::UseDefaultScheduling();
  execv(program, argv);
  _exit(127);
}

int Exec(const char* program, const char* arg1, const char* arg2, const char* arg3,
         const char* arg4) {
  if (program == nullptr || program[0] == '\0') {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "exec without a program");
    return -1;
  }
  // The argument list ends at the first null.
  const char* args[] = {arg1, arg2, arg3, arg4};
  char* argv[6] = {const_cast<char*>(program)};
  int argc = 1;
  for (const char* arg : args) {
    if (arg == nullptr) break;
    argv[argc++] = const_cast<char*>(arg);
  }
  argv[argc] = nullptr;

  pid_t pid = fork();
  if (pid < 0) {
    kivo::base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "fork for %s failed: %s", program, strerror(errno));
    return -1;
  }
  if (pid == 0) RunChild(program, argv);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno == EINTR) continue;
    kivo::base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "waitpid for %s failed: %s", program, strerror(errno));
    return -1;
  }
  if (WIFEXITED(status)) {
    int code = WEXITSTATUS(status);
    if (code != 0) KIVO_LOG(LOG_ERR, "%s exited with %d", program, code);
    return code;
  }
  kivo::base::SetLastError(EINTR);
  KIVO_LOG(LOG_ERR, "%s ended by signal %d", program, WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return -1;
}

}  // namespace

extern "C" int KLIBCExec(const char* program, const char* arg1, const char* arg2, const char* arg3,
                         const char* arg4) {
  return kivo::base::Guarded(-1, [&] { return Exec(program, arg1, arg2, arg3, arg4); });
}

extern "C" int KLIBCErrGet(void) { return kivo::base::LastError(); }
