// Logged-in sessions and the brake on password guessing.
//
// A session is named by a random token (256 bits from the kernel) that the
// browser keeps in a cookie; it ends at logout or after a stretch without
// requests. The LoginGuard refuses an account's logins for a while after
// repeated failures, and bounds how many password checks run at once, since
// each one costs a deliberately slow hashing. Both are safe to use from the
// server's worker threads; time comes from a clock the tests can replace.

#ifndef KIVO_HOST_SESSIONS_H_
#define KIVO_HOST_SESSIONS_H_

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace host {

using Clock = std::function<std::chrono::steady_clock::time_point()>;
Clock SteadyClock();

class SessionStore {
 public:
  SessionStore(std::chrono::seconds idle_limit, size_t max_sessions, Clock clock = SteadyClock());

  // A new session for `account`; its token, or "" when no random bytes could
  // be had. When full, the session idle the longest is ended.
  std::string Create(const std::string& account);
  // The session's account, refreshing its idle time. False for an unknown or
  // expired token.
  bool Lookup(const std::string& token, std::string* account);
  // Ends the session; false when there was none.
  bool Remove(const std::string& token);
  size_t size();

 private:
  struct Session {
    std::string account;
    std::chrono::steady_clock::time_point last_used;
  };
  void DropExpiredLocked(std::chrono::steady_clock::time_point now);

  const std::chrono::seconds idle_limit_;
  const size_t max_sessions_;
  const Clock clock_;
  std::mutex mu_;
  std::unordered_map<std::string, Session> sessions_;
};

class LoginGuard {
 public:
  enum class Admit { kYes, kLockedOut, kBusy };

  LoginGuard(int max_failures, std::chrono::seconds lockout, int max_pending,
             Clock clock = SteadyClock());

  // kYes: the caller checks the password and must then call End().
  Admit Begin(const std::string& account);
  void End(const std::string& account, bool success);

 private:
  struct Record {
    int failures = 0;
    std::chrono::steady_clock::time_point locked_until;
    std::chrono::steady_clock::time_point last_failure;
  };
  void PruneLocked(std::chrono::steady_clock::time_point now);

  const int max_failures_;
  const std::chrono::seconds lockout_;
  const int max_pending_;
  const Clock clock_;
  std::mutex mu_;
  int pending_ = 0;
  std::unordered_map<std::string, Record> records_;
};

}  // namespace host

#endif  // KIVO_HOST_SESSIONS_H_
