#include "base/process.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/fd.h"
#include "base/last_error.h"
#include "base/root_files.h"
#include "kivo/log.h"

namespace kivo::base {
namespace {

constexpr char kLogUnit[] = "process";

char* kChildEnv[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                     const_cast<char*>("LANG=C"), nullptr};

std::vector<char*> ArgvOf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// In the child, between fork and exec: only async-signal-safe calls.
// `envp` null: the minimal environment of every child. `at_root`: the
// file-creation mask 022 and the folder "/", for a daemon that must not keep
// its starter's.
[[noreturn]] void ExecWith(char* const argv[], char* const envp[], int in_fd, int out_fd,
                           bool at_root = false) {
  if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(out_fd, 2) < 0) _exit(126);
  if (at_root) {
    umask(022);
    if (chdir("/") != 0) _exit(126);
  }
  if (close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction fresh;
  memset(&fresh, 0, sizeof fresh);
  fresh.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &fresh, nullptr);  // a host ignoring it would pass that on
  UseDefaultScheduling();
  execve(argv[0], argv, envp != nullptr ? envp : kChildEnv);
  _exit(127);
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunCaptured(const std::vector<std::string>& args, std::string* output) {
  output->clear();
  int pipe_fds[2];
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0) {
    SetLastError(errno);
    KIVO_LOG(LOG_ERR, "no pipe for %s: %s", args[0].c_str(), strerror(errno));
    if (null_fd >= 0) close(null_fd);
    return -1;
  }
  std::vector<char*> argv = ArgvOf(args);
  pid_t pid = fork();
  if (pid == 0) ExecWith(argv.data(), nullptr, null_fd, pipe_fds[1]);
  close(null_fd);
  close(pipe_fds[1]);
  if (pid < 0) {
    SetLastError(errno);
    KIVO_LOG(LOG_ERR, "fork for %s failed: %s", args[0].c_str(), strerror(errno));
    close(pipe_fds[0]);
    return -1;
  }
  char buffer[4096];
  for (;;) {
    ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n > 0) {
      output->append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipe_fds[0]);
  return WaitChild(pid);
}

pid_t StartDetached(const DetachedCommand& command, int log_fd) {
  const std::vector<std::string>& args = command.args;
  const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int pipe_fds[2] = {-1, -1};
  if (null_fd < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0) {
    SetLastError(errno);
    KIVO_LOG(LOG_ERR, "cannot prepare %s: %s", args[0].c_str(), strerror(errno));
    if (null_fd >= 0) close(null_fd);
    return -1;
  }
  // Everything the child needs is built before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<char*> argv = ArgvOf(args);
  std::vector<char*> envp = ArgvOf(command.env);
  char* const* env = command.env.empty() ? nullptr : envp.data();
  pid_t middle = fork();
  if (middle == 0) {
    // The daemon is nobody's child here: when this process ends, it is
    // adopted by init and reaped there, whatever the caller does.
    setsid();
    pid_t daemon = fork();
    if (daemon == 0) ExecWith(argv.data(), env, null_fd, log_fd, command.at_root);
    (void)!write(pipe_fds[1], &daemon, sizeof daemon);
    _exit(daemon < 0 ? 1 : 0);
  }
  const int fork_errno = errno;
  close(null_fd);
  close(pipe_fds[1]);
  pid_t daemon = -1;
  if (middle < 0) {
    SetLastError(fork_errno);
    KIVO_LOG(LOG_ERR, "fork for %s failed: %s", args[0].c_str(), strerror(fork_errno));
  } else {
    if (read(pipe_fds[0], &daemon, sizeof daemon) != static_cast<ssize_t>(sizeof daemon)) {
      daemon = -1;
    }
    WaitChild(middle);
    if (daemon < 0) KIVO_LOG(LOG_ERR, "could not start %s", args[0].c_str());
  }
  close(pipe_fds[0]);
  errno = middle < 0 ? fork_errno : errno;
  return daemon;
}

pid_t SpawnDetached(const std::vector<std::string>& args, const std::string& log_path) {
  if (!MakeParentDirs(log_path)) return -1;
  const Fd log_fd(open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
  if (!log_fd.valid()) {
    SetLastError(errno);
    KIVO_LOG(LOG_ERR, "cannot prepare %s (log %s): %s", args[0].c_str(), log_path.c_str(),
             strerror(errno));
    return -1;
  }
  return StartDetached({args, {}, false}, log_fd.get());
}

bool ProcessAlive(pid_t pid) {
  if (pid <= 0) return false;
  int status;
  if (waitpid(pid, &status, WNOHANG) == pid) return false;  // ours, and now gone
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  std::string stat;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", &stat)) return false;
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' &&
         stat[paren + 2] != 'X';
}

bool CommandLineHas(pid_t pid, const std::string& needle) {
  std::string cmdline;
  bool missing = false;
  if (pid <= 0 || !ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline", &cmdline, &missing) ||
      missing) {
    return false;
  }
  size_t start = 0;
  while (start < cmdline.size()) {
    size_t end = cmdline.find('\0', start);
    if (end == std::string::npos) end = cmdline.size();
    if (cmdline.compare(start, end - start, needle) == 0) return true;
    start = end + 1;
  }
  return false;
}

bool PortAccepts(const std::string& address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (address.empty() || inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  bool accepted = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return accepted;
}

namespace {

// One /proc/net/tcp{,6} line's local address, as the kernel prints it: the
// address's 32-bit words in hexadecimal, each in host byte order, then the
// port. `want` holds the words of the address asked for.
bool ListensAt(const std::string& line, const std::vector<uint32_t>& want, int port) {
  std::istringstream in(line);
  std::string slot, local, remote, state;
  if (!(in >> slot >> local >> remote >> state) || state != "0A") return false;  // 0A: LISTEN
  const size_t colon = local.find(':');
  if (colon == std::string::npos || strtol(local.c_str() + colon + 1, nullptr, 16) != port) {
    return false;
  }
  const std::string hex = local.substr(0, colon);
  if (hex.size() != want.size() * 8) return false;
  bool wildcard = true, same = true;
  for (size_t i = 0; i < want.size(); ++i) {
    const uint32_t word = static_cast<uint32_t>(strtoul(hex.substr(i * 8, 8).c_str(), nullptr, 16));
    wildcard = wildcard && word == 0;
    same = same && word == want[i];
  }
  return wildcard || same;
}

bool AnyLineListens(const char* table, const std::vector<uint32_t>& want, int port) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    if (ListensAt(line, want, port)) return true;
  }
  return false;
}

}  // namespace

bool PortListening(const std::string& address, int port) {
  struct in_addr v4;
  if (address.empty() || inet_pton(AF_INET, address.c_str(), &v4) != 1) {
    v4.s_addr = htonl(INADDR_LOOPBACK);
  }
  // In memory order, as the kernel prints each word; on IPv6 sockets the
  // address arrives mapped (::ffff:a.b.c.d).
  const uint32_t word = v4.s_addr;
  return AnyLineListens("/proc/net/tcp", {word}, port) ||
         AnyLineListens("/proc/net/tcp6", {0, 0, htonl(0xffff), word}, port);
}

void UseDefaultScheduling() {
  const struct sched_param normal = {};
  sched_setscheduler(0, SCHED_OTHER, &normal);
}

void SleepMillis(int millis) {
  struct timespec wait = {millis / 1000, (millis % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

std::string BesideProgram(const std::string& name) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return "";
  std::string path(exe, static_cast<size_t>(n));
  path = path.substr(0, path.find_last_of('/') + 1) + name;
  return access(path.c_str(), R_OK) == 0 ? path : "";
}

}  // namespace kivo::base
