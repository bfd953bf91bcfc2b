#include "base/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

#include "base/json_file.h"
#include "base/last_error.h"
#include "base/private_log.h"
#include "base/root_files.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace kivo::base {
namespace {

constexpr char kLogUnit[] = "journal";
constexpr char kJournalPath[] = SZF_JOURNAL;

std::string UtcNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  gmtime_r(&now.tv_sec, &parts);
  char text[40];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  char millis[8];
  snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(now.tv_nsec / 1000000) % 1000);
  return std::string(text) + millis;
}

// Records why the journal cannot take a line. Told once per process: a
// journal that fails once fails for every action after it, and the actions
// themselves go on.
void Unwritable(const std::string& path, int error) {
  SetLastError(error);
  static std::atomic<bool> told(false);
  if (told.exchange(true)) return;
  KIVO_LOG(LOG_ERR, "cannot append to the action journal %s: %s", path.c_str(), strerror(error));
}

}  // namespace

bool Journal(Json::Value record) {
  record["time"] = UtcNow();
  std::string line = CompactJson(record) + "\n";
  std::string path = RootedPath(kJournalPath);
  errno = 0;  // a path that is no directory fails without one
  if (!MakeParentDirs(path)) {
    Unwritable(path, errno != 0 ? errno : ENOTDIR);
    return false;
  }
  int fd = OpenPrivateLog(path);
  if (fd < 0) {
    Unwritable(path, errno);
    return false;
  }
  int rc;
  while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  // A short write is finished before the lock is released, so lines never
  // interleave.
  bool ok = rc == 0 && WriteAll(fd, line.data(), line.size());
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) Unwritable(path, saved);
  return ok;
}

void JournalDone(Json::Value record) {
  // The caller's operation succeeded; what it asks about its last error
  // must not be this line's failure.
  const int last_error = LastError();
  if (!Journal(std::move(record))) SetLastError(last_error);
}

}  // namespace kivo::base
