#include "host/sessions.h"

#include "host/random_text.h"

namespace host {

namespace {
// Bounds the memory an attacker can make the guard keep with made-up names.
constexpr size_t kMaxGuardRecords = 10000;
}  // namespace

Clock SteadyClock() {
  return [] { return std::chrono::steady_clock::now(); };
}

SessionStore::SessionStore(std::chrono::seconds idle_limit, size_t max_sessions, Clock clock)
    : idle_limit_(idle_limit), max_sessions_(max_sessions), clock_(std::move(clock)) {}

std::string SessionStore::Create(const std::string& account) {
  std::string token = RandomHex(32);
  if (token.empty()) return "";
  const auto now = clock_();
  std::lock_guard<std::mutex> lock(mu_);
  DropExpiredLocked(now);
  if (sessions_.size() >= max_sessions_) {
    auto oldest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->second.last_used < oldest->second.last_used) oldest = it;
    }
    sessions_.erase(oldest);
  }
  sessions_[token] = Session{account, now};
  return token;
}

bool SessionStore::Lookup(const std::string& token, std::string* account) {
  const auto now = clock_();
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = sessions_.find(token);
  if (it == sessions_.end()) return false;
  if (now - it->second.last_used > idle_limit_) {
    sessions_.erase(it);
    return false;
  }
  it->second.last_used = now;
  *account = it->second.account;
  return true;
}

bool SessionStore::Remove(const std::string& token) {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_.erase(token) > 0;
}

size_t SessionStore::size() {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_.size();
}

void SessionStore::DropExpiredLocked(std::chrono::steady_clock::time_point now) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = now - it->second.last_used > idle_limit_ ? sessions_.erase(it) : std::next(it);
  }
}

LoginGuard::LoginGuard(int max_failures, std::chrono::seconds lockout, int max_pending, Clock clock)
    : max_failures_(max_failures),
      lockout_(lockout),
      max_pending_(max_pending),
      clock_(std::move(clock)) {}

LoginGuard::Admit LoginGuard::Begin(const std::string& account) {
  const auto now = clock_();
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = records_.find(account);
  if (it != records_.end() && now < it->second.locked_until) return Admit::kLockedOut;
  if (pending_ >= max_pending_) return Admit::kBusy;
  ++pending_;
  return Admit::kYes;
}

void LoginGuard::End(const std::string& account, bool success) {
  const auto now = clock_();
  std::lock_guard<std::mutex> lock(mu_);
  --pending_;
  if (success) {
    records_.erase(account);
    return;
  }
  if (records_.size() >= kMaxGuardRecords) PruneLocked(now);
  Record& record = records_[account];
  // Failures count afresh once a lockout has run out, or after a quiet spell.
  if (record.failures >= max_failures_ || now - record.last_failure > lockout_) {
    record.failures = 0;
  }
  record.last_failure = now;
  if (++record.failures >= max_failures_) record.locked_until = now + lockout_;
}

void LoginGuard::PruneLocked(std::chrono::steady_clock::time_point now) {
  for (auto it = records_.begin(); it != records_.end();) {
    const bool stale = now >= it->second.locked_until && now - it->second.last_failure > lockout_;
    it = stale ? records_.erase(it) : std::next(it);
  }
  // Under a flood of fresh names, forget the unlocked ones rather than grow.
  for (auto it = records_.begin(); records_.size() >= kMaxGuardRecords && it != records_.end();) {
    it = now >= it->second.locked_until ? records_.erase(it) : std::next(it);
  }
}

}  // namespace host
