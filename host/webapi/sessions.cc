#include "host/webapi/sessions.h"

#include <time.h>

#include <algorithm>

#include "base/random_text.h"

namespace host {

namespace {
// Bounds the memory an attacker can make the brake keep with made-up names.
constexpr size_t kMaxBrakeRecords = 10000;

std::string PairKey(const std::string& account, const std::string& address) {
  return address + " " + account;
}
}  // namespace

Clock SteadyClock() {
  return [] { return std::chrono::steady_clock::now(); };
}

SessionStore::SessionStore(std::chrono::seconds idle_limit, std::chrono::seconds lifetime,
                           size_t max_sessions, Clock clock)
    : idle_limit_(idle_limit),
      lifetime_(lifetime),
      max_sessions_(max_sessions),
      clock_(std::move(clock)) {}

std::string SessionStore::Create(const Grant& grant, uint64_t accounts_version) {
  std::string token = kivo::base::RandomHex(32);
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
  sessions_[token] = Session{grant, accounts_version, now, now};
  return token;
}

bool SessionStore::ExpiredLocked(const Session& s,
                                 std::chrono::steady_clock::time_point now) const {
  return now - s.last_used > idle_limit_ || now - s.created > lifetime_;
}

bool SessionStore::Lookup(const std::string& token, Grant* grant) {
  const auto now = clock_();
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = sessions_.find(token);
  if (it == sessions_.end()) return false;
  if (ExpiredLocked(it->second, now)) {
    sessions_.erase(it);
    return false;
  }
  it->second.last_used = now;
  *grant = it->second.grant;
  return true;
}

bool SessionStore::Confirm(const std::string& token, uint64_t accounts_version,
                           const std::function<bool(const Grant&)>& still_holds) {
  Grant grant;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = sessions_.find(token);
    if (it == sessions_.end()) return false;
    if (it->second.confirmed_version == accounts_version) return true;
    grant = it->second.grant;
  }
  const bool holds = still_holds(grant);
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = sessions_.find(token);
  if (it == sessions_.end()) return false;
  if (!holds) {
    sessions_.erase(it);
    return false;
  }
  it->second.confirmed_version = accounts_version;
  return true;
}

bool SessionStore::Remove(const std::string& token) {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_.erase(token) > 0;
}

size_t SessionStore::PasswordChanged(const std::string& account, const std::string& keep,
                                     const std::string& new_hash) {
  std::lock_guard<std::mutex> lock(mu_);
  size_t ended = 0;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->second.grant.account != account) {
      ++it;
    } else if (it->first == keep) {
      it->second.grant.password_hash = new_hash;
      ++it;
    } else {
      it = sessions_.erase(it);
      ++ended;
    }
  }
  return ended;
}

size_t SessionStore::size() {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_.size();
}

void SessionStore::DropExpiredLocked(std::chrono::steady_clock::time_point now) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = ExpiredLocked(it->second, now) ? sessions_.erase(it) : std::next(it);
  }
}

LoginBrake::LoginBrake(int free_failures, std::chrono::seconds first_delay,
                       std::chrono::seconds max_delay, std::chrono::seconds forget, Clock clock)
    : free_failures_(free_failures),
      first_delay_(first_delay),
      max_delay_(max_delay),
      forget_(forget),
      clock_(std::move(clock)) {}

std::chrono::seconds LoginBrake::Wait(const std::string& account, const std::string& address) {
  if (shared_ != nullptr) {
    kb_login login;
    kb_login_keys(shared_, account.c_str(), address.c_str(), &login);
    return std::chrono::seconds(kb_take(shared_, &login, time(nullptr)));
  }
  const auto now = clock_();
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = records_.find(PairKey(account, address));
  if (it == records_.end() || now >= it->second.next_try) return std::chrono::seconds(0);
  return std::chrono::duration_cast<std::chrono::seconds>(it->second.next_try - now) +
         std::chrono::seconds(1);
}

void LoginBrake::NoteHash(std::chrono::nanoseconds took) {
  if (shared_ != nullptr) {
    kb_note_hash(shared_, static_cast<long>(took.count()));
    return;
  }
  // One writer at a time in practice (the password pool's threads rarely
  // finish together); a lost sample only leaves the average as it was.
  const int64_t old = hash_ns_.load();
  hash_ns_.store(old == 0 ? took.count() : old + (took.count() - old) / 8);
}

std::chrono::nanoseconds LoginBrake::HashTime() const {
  return std::chrono::nanoseconds(shared_ != nullptr ? kb_hash_ns(shared_) : hash_ns_.load());
}

void LoginBrake::Record(const std::string& account, const std::string& address, bool success) {
  if (shared_ != nullptr) {
    kb_login login;
    kb_login_keys(shared_, account.c_str(), address.c_str(), &login);
    kb_record(shared_, &login, success ? KB_SUCCEEDED : KB_FAILED, time(nullptr));
    return;
  }
  const auto now = clock_();
  const std::string key = PairKey(account, address);
  std::lock_guard<std::mutex> lock(mu_);
  if (success) {
    records_.erase(key);
    return;
  }
  if (records_.size() >= kMaxBrakeRecords) PruneLocked(now);
  Record_& r = records_[key];
  if (now - r.last_failure > forget_) r.failures = 0;
  r.last_failure = now;
  const int over = ++r.failures - free_failures_;
  if (over <= 0) return;
  std::chrono::seconds delay = first_delay_;
  for (int i = 1; i < over && delay < max_delay_; ++i) delay *= 2;
  r.next_try = now + std::min(delay, max_delay_);
}

void LoginBrake::PruneLocked(std::chrono::steady_clock::time_point now) {
  for (auto it = records_.begin(); it != records_.end();) {
    it = now - it->second.last_failure > forget_ ? records_.erase(it) : std::next(it);
  }
  // Under a flood of fresh pairs, forget those that may try anyway.
  for (auto it = records_.begin(); records_.size() >= kMaxBrakeRecords && it != records_.end();) {
    it = now >= it->second.next_try ? records_.erase(it) : std::next(it);
  }
  while (records_.size() >= kMaxBrakeRecords) records_.erase(records_.begin());
}

}  // namespace host
