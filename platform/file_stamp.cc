#include "platform/file_stamp.h"

#include <ctime>

namespace kivo {

namespace {

// Longer than the coarsest modification-time tick of the file systems we run on.
constexpr time_t kSettledSeconds = 2;

}  // namespace

FileStamps FileStamps::Of(std::initializer_list<std::string> paths) {
  FileStamps stamps;
  for (const std::string& path : paths) {
    Stamp stamp;
    stamp.path = path;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
      stamp.present = true;
      stamp.dev = st.st_dev;
      stamp.ino = st.st_ino;
      stamp.size = st.st_size;
      stamp.mtime = st.st_mtim;
    }
    stamps.stamps_.push_back(stamp);
  }
  return stamps;
}

bool FileStamps::Settled() const {
  const time_t now = time(nullptr);
  for (const Stamp& s : stamps_) {
    if (!s.present || now - s.mtime.tv_sec < kSettledSeconds) return false;
  }
  return !stamps_.empty();
}

bool FileStamps::operator==(const FileStamps& other) const {
  if (stamps_.size() != other.stamps_.size()) return false;
  for (size_t i = 0; i < stamps_.size(); ++i) {
    const Stamp& a = stamps_[i];
    const Stamp& b = other.stamps_[i];
    if (!a.present || !b.present || a.path != b.path || a.dev != b.dev || a.ino != b.ino ||
        a.size != b.size || a.mtime.tv_sec != b.mtime.tv_sec ||
        a.mtime.tv_nsec != b.mtime.tv_nsec) {
      return false;
    }
  }
  return true;
}

}  // namespace kivo
