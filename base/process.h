// Helper programs and daemons of the platform: running a program for its
// output, starting a daemon that outlives the caller, and watching it.
//
// Children get a minimal environment, /dev/null as stdin and none of the
// caller's descriptors, so that a daemon never holds a pipe its caller's
// caller waits on; and the default scheduling policy, whatever the caller's
// threads run under.

#ifndef KIVO_BASE_PROCESS_H_
#define KIVO_BASE_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kivo::base {

// Runs argv[0] (an absolute path) to completion; its stdout and stderr end up
// in *output. The exit status, or -1 when it could not run or was killed.
int RunCaptured(const std::vector<std::string>& argv, std::string* output);

// A program to start detached: argv[0] an absolute path.
struct DetachedCommand {
  std::vector<std::string> args;
  std::vector<std::string> env;  // empty: the minimal environment of every child
  bool at_root = false;          // file-creation mask 022 and the folder "/"
};

// The one detached starter: the command in a session of its own, no child
// of the caller (double fork), stdin /dev/null, stdout and stderr on
// `log_fd`, with an empty signal mask and SIGPIPE at its default. Its pid,
// or -1 (logged, errno and the last error tell).
pid_t StartDetached(const DetachedCommand& command, int log_fd);

// StartDetached with the minimal environment, its output appended to
// `log_path`.
pid_t SpawnDetached(const std::vector<std::string>& argv, const std::string& log_path);

// True while `pid` runs (zombies do not count; a child of ours is reaped).
bool ProcessAlive(pid_t pid);

// True when the command line of `pid` holds `needle` as one argument, so a
// reused pid is never taken for our daemon.
bool CommandLineHas(pid_t pid, const std::string& needle);

// True when a TCP connection to `address` ("" for loopback) and `port` is
// accepted.
bool PortAccepts(const std::string& address, int port);

// True when a TCP socket of this network namespace listens where a
// connection to `address` ("" for loopback) and `port` would arrive: on that
// address or on every address. Read from /proc/net/tcp and tcp6, without
// connecting: a daemon whose readiness is polled this way never meets the
// probes as clients of its own (counted, logged, queued before the first
// real request).
bool PortListening(const std::string& address, int port);

// The path of `name` in the folder of the running program, when it is there:
// an installed program finds the files it ships beside itself. Empty when
// not there (a build tree keeps them elsewhere).
std::string BesideProgram(const std::string& name);

// In a child between fork and exec (async-signal-safe): back to the default
// scheduling policy. The web API host batches its threads' wake-ups; the
// programs and daemons it starts must not inherit that.
void UseDefaultScheduling();

// Sleeps for `millis` milliseconds.
void SleepMillis(int millis);

}  // namespace kivo::base

#endif  // KIVO_BASE_PROCESS_H_
