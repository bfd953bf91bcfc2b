// Logged-in sessions and the brake on password guessing.
//
// A session is named by a random token (256 bits from the kernel) that the
// browser keeps in a cookie. It ends at logout, after a stretch without
// requests, after an absolute lifetime, and as soon as what it was granted on
// no longer holds (the account's password hash, its membership of
// "administrators" for an administrator's session, the account itself): the
// server re-checks that whenever the account files change.
//
// The LoginBrake slows failed logins per pair of account and client address,
// with a growing, capped delay: someone guessing from one address never
// locks the owner out from another. Served as root, it hands over to the
// brake every door shares (per account, network and pair; Share()). Both are safe to use from any
// thread; time comes from a clock the tests can replace.

#ifndef KIVO_HOST_SESSIONS_H_
#define KIVO_HOST_SESSIONS_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "daemons/apache/kivo_login_brake.h"

namespace host {

using Clock = std::function<std::chrono::steady_clock::time_point()>;
Clock SteadyClock();

// What a session was granted on, as the login saw it.
struct Grant {
  std::string account;
  std::string password_hash;
  bool admin = false;
};

class SessionStore {
 public:
  SessionStore(std::chrono::seconds idle_limit, std::chrono::seconds lifetime, size_t max_sessions,
               Clock clock = SteadyClock());

  // A new session; its token, or "" when no random bytes could be had. When
  // full, the session idle the longest is ended.
  std::string Create(const Grant& grant, uint64_t accounts_version);
  // The session's grant, refreshing its idle time. False for an unknown or
  // expired token.
  bool Lookup(const std::string& token, Grant* grant);
  // True when the session's grant was last confirmed at `accounts_version`,
  // or `still_holds` confirms it now; otherwise ends the session.
  bool Confirm(const std::string& token, uint64_t accounts_version,
               const std::function<bool(const Grant&)>& still_holds);
  // Ends the session; false when there was none.
  bool Remove(const std::string& token);
  // After `account`'s password changed to `new_hash`: ends every session of
  // the account but `keep` (the one that changed it, if any), which goes on
  // with the new hash. How many ended.
  size_t PasswordChanged(const std::string& account, const std::string& keep,
                         const std::string& new_hash);
  size_t size();

 private:
  struct Session {
    Grant grant;
    uint64_t confirmed_version = 0;
    std::chrono::steady_clock::time_point created, last_used;
  };
  bool ExpiredLocked(const Session& s, std::chrono::steady_clock::time_point now) const;
  void DropExpiredLocked(std::chrono::steady_clock::time_point now);

  const std::chrono::seconds idle_limit_;
  const std::chrono::seconds lifetime_;
  const size_t max_sessions_;
  const Clock clock_;
  std::mutex mu_;
  std::unordered_map<std::string, Session> sessions_;
};

class LoginBrake {
 public:
  // The first `free_failures` failures of a pair cost nothing; each further
  // one doubles the wait before the pair may try again, from `first_delay` up
  // to `max_delay`. A pair's record is forgotten after `forget` without
  // failures, or at its first success.
  LoginBrake(int free_failures, std::chrono::seconds first_delay, std::chrono::seconds max_delay,
             std::chrono::seconds forget, Clock clock = SteadyClock());

  // How long the pair must still wait; zero when it may try now.
  std::chrono::seconds Wait(const std::string& account, const std::string& address);
  void Record(const std::string& account, const std::string& address, bool success);

  // What a password hash takes, lately: an unknown name is refused after
  // as long, without one. A running average, the first hash taken whole,
  // each later one for an eighth; kept with the records (shared, every
  // door's).
  void NoteHash(std::chrono::nanoseconds took);
  std::chrono::nanoseconds HashTime() const;

  // From now on, the brake every door shares (daemons/apache/
  // kivo_login_brake.h) in place of this one's own records: a try Wait
  // lets through is charged there at once. `shared` outlives this brake.
  void Share(kb_brake* shared) { shared_ = shared; }

 private:
  struct Record_ {
    int failures = 0;
    std::chrono::steady_clock::time_point last_failure, next_try;
  };
  void PruneLocked(std::chrono::steady_clock::time_point now);

  const int free_failures_;
  const std::chrono::seconds first_delay_, max_delay_, forget_;
  const Clock clock_;
  std::mutex mu_;
  std::unordered_map<std::string, Record_> records_;  // "address account"
  std::atomic<int64_t> hash_ns_{0};
  kb_brake* shared_ = nullptr;
};

}  // namespace host

#endif  // KIVO_HOST_SESSIONS_H_
