#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/accounts/accounts.h"
#include "host/common/root_paths.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "accounts_version";

}  // namespace

namespace host {

namespace {

constexpr const char* kFiles[] = {"passwd", "shadow", "group"};

// Every way a file in the folder can change, and the folder itself going.
constexpr uint32_t kWatched = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                              IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;

bool IsAccountFile(const inotify_event& event) {
  if (event.len == 0) return false;
  for (const char* name : kFiles) {
    if (std::strcmp(event.name, name) == 0) return true;
  }
  return false;
}

}  // namespace

AccountsVersion::AccountsVersion(const std::string& root) : etc_(InRoot(root, "/etc")) {
  fd_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (fd_.valid() && inotify_add_watch(fd_.get(), etc_.c_str(), kWatched | IN_ONLYDIR) < 0) {
    KIVO_LOG(LOG_INFO, "cannot watch %s (%s): account files are stat'ed on every call",
             etc_.c_str(), strerror(errno));
    fd_.Reset();
  }
}

AccountsVersion::~AccountsVersion() = default;

uint64_t AccountsVersion::Current() {
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_.valid() && !DrainEvents()) {
    KIVO_LOG(LOG_INFO, "the watch on %s ended: account files are stat'ed on every call",
             etc_.c_str());
    fd_.Reset();
  }
  // The stats' number never equals a count of events, as far as sessions
  // care: a change of method re-checks every grant once.
  return fd_.valid() ? changes_ : FromStats();
}

bool AccountsVersion::DrainEvents() {
  alignas(inotify_event) char buffer[4096];
  while (true) {
    const ssize_t got = read(fd_.get(), buffer, sizeof buffer);
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // Lost events, or the folder replaced: nothing more can be told.
      if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
        return false;
      }
      if (IsAccountFile(*event)) ++changes_;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

uint64_t AccountsVersion::FromStats() const {
  uint64_t version = 1469598103934665603ull;
  for (const char* name : kFiles) {
    struct stat st = {};
    stat((etc_ + "/" + name).c_str(), &st);
    for (uint64_t part :
         {static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
          static_cast<uint64_t>(st.st_mtim.tv_sec), static_cast<uint64_t>(st.st_mtim.tv_nsec)}) {
      version = (version ^ part) * 1099511628211ull;
    }
  }
  return version | (1ull << 63);
}

}  // namespace host
