// An LD_PRELOAD library for the replacement-order tests: it records the
// write, fsync, fdatasync, rename, renameat and renameat2 calls a program
// makes on files below one folder, and can fail one of them, so that a test
// sees the order in which a file is replaced and what a failure at each step
// leaves behind, without a seam in the code under test.
//
//   KIVO_SHIM_UNDER  the folder (absolute); calls on other paths pass unseen
//   KIVO_SHIM_LOG    the record, appended one line per call:
//                    "<kind> <path> <new path or -> <FAILED or ->" with kind
//                    write, fsync (fdatasync counts as one) or rename
//   KIVO_SHIM_FAIL   "<kind>:<n>": the n-th recorded call of that kind fails
//                    with EIO (or KIVO_SHIM_ERRNO, a number) instead of running;
//                    "<kind>:<n>@<glob>": the n-th of that kind whose path (a
//                    rename's new path) matches the glob (fnmatch). Calls of
//                    one thread keep their order from run to run, those of
//                    two threads do not: the second form names a call by
//                    what it does, whatever else runs beside it
//   KIVO_SHIM_KILL   a selector as for KIVO_SHIM_FAIL: the program is killed
//                    (SIGKILL) in place of that call, recorded "KILLED"
//   KIVO_SHIM_TARGET a file below the folder: its content is copied to
//                    "<record>.snapshot" at the first recorded call after the
//                    first replacement of it (a rename onto it and an fsync
//                    of its folder) or after the failed call, or at exit;
//                    that is what the writer left when it returned, whatever
//                    the program writes later
//   KIVO_SHIM_CLOCK  a file holding the seconds time() answers, read at each
//                    call: the test moves the clock of a window in seconds
//
// Paths of descriptors come from /proc/self/fd. Any thread may call; the
// counters are atomic and each record line is one append.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

enum Kind { kWrite, kFsync, kRename, kKinds };
constexpr const char* kKindNames[kKinds] = {"write", "fsync", "rename"};

std::atomic<int> counts[kKinds];
// Calls that matched the glob of KIVO_SHIM_FAIL's and KIVO_SHIM_KILL's selector.
std::atomic<int> fail_matches{0}, kill_matches{0};

// KIVO_SHIM_TARGET's snapshot: none yet, due at the next call, taken.
enum Snapshot { kNone, kDue, kTaken };
std::atomic<int> snapshot{kNone};
std::atomic<bool> renamed_onto_target{false};

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

const std::string& Under() {
  static const std::string under = [] {
    const char* u = getenv("KIVO_SHIM_UNDER");
    return std::string(u != nullptr ? u : "");
  }();
  return under;
}

bool Watched(const std::string& path) {
  const std::string& under = Under();
  return !under.empty() && path.compare(0, under.size(), under) == 0 &&
         (path.size() == under.size() || path[under.size()] == '/');
}

std::string FdPath(int fd) {
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string AtPath(int dirfd, const char* name) {
  if (name == nullptr) return "";
  if (name[0] == '/') return name;
  std::string dir;
  if (dirfd == AT_FDCWD) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) dir = cwd;
  } else {
    dir = FdPath(dirfd);
  }
  return dir + "/" + name;
}

int RawOpen(const char* path, int flags) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, 0666));
}

void TakeSnapshot() {
  int expected = kDue;
  const char* target = getenv("KIVO_SHIM_TARGET");
  const char* log = getenv("KIVO_SHIM_LOG");
  if (!snapshot.compare_exchange_strong(expected, kTaken) || target == nullptr || log == nullptr)
    return;
  const int in = RawOpen(target, O_RDONLY);
  const int out = RawOpen((std::string(log) + ".snapshot").c_str(), O_WRONLY | O_CREAT | O_TRUNC);
  char buffer[8192];
  ssize_t n;
  while (in >= 0 && out >= 0 && (n = syscall(SYS_read, in, buffer, sizeof buffer)) > 0)
    (void)!syscall(SYS_write, out, buffer, n);
  if (in >= 0) syscall(SYS_close, in);
  if (out >= 0) syscall(SYS_close, out);
}

__attribute__((destructor)) void SnapshotAtExit() { TakeSnapshot(); }

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Records a watched call; true when this one is to fail.
bool Record(Kind kind, const std::string& path, const std::string& second = "") {
  if (!Watched(path) && !(kind == kRename && Watched(second))) return false;
  TakeSnapshot();
  const int n = ++counts[kind];
  const auto selected = [&](const char* variable, std::atomic<int>& matches) {
    const char* spec = getenv(variable);
    const size_t length = strlen(kKindNames[kind]);
    if (spec == nullptr || strncmp(spec, kKindNames[kind], length) != 0 || spec[length] != ':')
      return false;
    const char* glob = strchr(spec, '@');
    if (glob == nullptr) return atoi(spec + length + 1) == n;
    const std::string& named = kind == kRename ? second : path;
    return fnmatch(glob + 1, named.c_str(), 0) == 0 && ++matches == atoi(spec + length + 1);
  };
  const bool fail = selected("KIVO_SHIM_FAIL", fail_matches);
  const bool die = selected("KIVO_SHIM_KILL", kill_matches);
  if (const char* log = getenv("KIVO_SHIM_LOG")) {
    const std::string line = std::string(kKindNames[kind]) + " " + path + " " +
                             (second.empty() ? "-" : second) +
                             (die    ? " KILLED\n"
                              : fail ? " FAILED\n"
                                     : " -\n");
    const int fd = RawOpen(log, O_WRONLY | O_CREAT | O_APPEND);
    if (fd >= 0) {
      (void)!syscall(SYS_write, fd, line.data(), line.size());
      syscall(SYS_close, fd);
    }
  }
  const char* target = getenv("KIVO_SHIM_TARGET");
  int none = kNone;
  if (fail) {
    snapshot.compare_exchange_strong(none, kDue);
  } else if (target != nullptr && kind == kRename && second == target) {
    renamed_onto_target = true;
  } else if (target != nullptr && kind == kFsync && renamed_onto_target && path == Folder(target)) {
    snapshot.compare_exchange_strong(none, kDue);
  }
  if (die) kill(getpid(), SIGKILL);
  if (fail) {
    const char* number = getenv("KIVO_SHIM_ERRNO");
    errno = number != nullptr ? atoi(number) : EIO;
  }
  return fail;
}

}  // namespace

extern "C" {

time_t time(time_t* out) {
  static const char* const clock_file = getenv("KIVO_SHIM_CLOCK");
  timespec real{};
  clock_gettime(CLOCK_REALTIME, &real);
  time_t now = real.tv_sec;
  char text[32] = {};
  const int fd = clock_file != nullptr ? RawOpen(clock_file, O_RDONLY) : -1;
  if (fd >= 0 && syscall(SYS_read, fd, text, sizeof text - 1) > 0) now = strtoll(text, nullptr, 10);
  if (fd >= 0) syscall(SYS_close, fd);
  if (out != nullptr) *out = now;
  return now;
}

ssize_t write(int fd, const void* data, size_t size) {
  static const auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
  // Standard output and error are the caller's, whatever file they are.
  if (fd > 2 && !Under().empty() && Record(kWrite, FdPath(fd))) return -1;
  return real(fd, data, size);
}

int fsync(int fd) {
  static const auto real = Next<int (*)(int)>("fsync");
  if (!Under().empty() && Record(kFsync, FdPath(fd))) return -1;
  return real(fd);
}

int fdatasync(int fd) {
  static const auto real = Next<int (*)(int)>("fdatasync");
  if (!Under().empty() && Record(kFsync, FdPath(fd))) return -1;
  return real(fd);
}

int rename(const char* from, const char* to) {
  static const auto real = Next<int (*)(const char*, const char*)>("rename");
  if (Record(kRename, AtPath(AT_FDCWD, from), AtPath(AT_FDCWD, to))) return -1;
  return real(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  static const auto real = Next<int (*)(int, const char*, int, const char*)>("renameat");
  if (Record(kRename, AtPath(from_dir, from), AtPath(to_dir, to))) return -1;
  return real(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  static const auto real = Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  if (Record(kRename, AtPath(from_dir, from), AtPath(to_dir, to))) return -1;
  return real(from_dir, from, to_dir, to, flags);
}

}  // extern "C"
