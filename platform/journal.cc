#include "platform/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "module/kivo_paths.h"
#include "module/log.h"
#include "platform/json_file.h"
#include "platform/last_error.h"
#include "platform/root_files.h"

namespace kivo {
namespace {

constexpr char kLogUnit[] = "journal";
constexpr char kJournalPath[] = "/var/log/kivo/platform.jsonl";

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

}  // namespace

bool Journal(Json::Value record) {
  record["time"] = UtcNow();
  std::string line = CompactJson(record) + "\n";
  std::string path = RootedPath(kJournalPath);
  if (!MakeParentDirs(path)) {
    KIVO_LOG("cannot make the directory of %s", path.c_str());
    return false;
  }
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetLastError(errno);
    KIVO_LOG("open(%s) failed: %s", path.c_str(), strerror(errno));
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
  if (!ok) {
    SetLastError(saved);
    KIVO_LOG("appending to %s failed: %s", path.c_str(), strerror(saved));
  }
  return ok;
}

}  // namespace kivo
