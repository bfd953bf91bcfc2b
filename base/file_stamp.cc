#include "base/file_stamp.h"

#include <atomic>
#include <ctime>
#include <utility>

#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"

namespace kivo::base {

namespace {

// Longer than the coarsest modification-time tick of the file systems we run on.
constexpr time_t kSettledSeconds = 2;

std::atomic<unsigned long long> gLastSnapshot{0};

// The calling thread's open snapshot.
struct ThreadSnapshot {
  int depth = 0;
  unsigned long long id = 0;
  const char* root = nullptr;  // RootText() once asked within the snapshot
  std::vector<std::pair<const void*, std::shared_ptr<const void>>> values;
};

ThreadSnapshot& ThisThread() {
  thread_local ThreadSnapshot snapshot;
  return snapshot;
}

}  // namespace

unsigned long long CurrentReadSnapshot() { return ThisThread().id; }

const char* SnapshotRootText() {
#ifdef KIVO_ROOT_FROM_ENV
  // Only test builds pay for a lookup (getenv), and tests move the root
  // between calls, never within one.
  ThreadSnapshot& snapshot = ThisThread();
  if (snapshot.depth == 0) return RootText();
  if (snapshot.root == nullptr) snapshot.root = RootText();
  return snapshot.root;
#else
  return RootText();
#endif
}

std::shared_ptr<const void> SnapshotValue(const void* owner) {
  ThreadSnapshot& snapshot = ThisThread();
  for (const auto& [kept_for, value] : snapshot.values) {
    if (kept_for == owner) return value;
  }
  return nullptr;
}

void KeepInSnapshot(const void* owner, std::shared_ptr<const void> value) {
  ThreadSnapshot& snapshot = ThisThread();
  if (snapshot.depth > 0 && value != nullptr) snapshot.values.emplace_back(owner, std::move(value));
}

FileStamps FileStamps::Of(std::initializer_list<const char*> paths) {
  FileStamps stamps;
  if (paths.size() > kMaxFiles) return stamps;
  for (const char* path : paths) {
    Stamp& stamp = stamps.stamps_[stamps.count_++];
    struct stat st;
    if (stat(path, &st) == 0) {
      stamp.present = true;
      stamp.dev = st.st_dev;
      stamp.ino = st.st_ino;
      stamp.size = st.st_size;
      stamp.mtime = st.st_mtim;
      stamp.ctime = st.st_ctim;
    }
  }
  stamps.complete_ = true;
  return stamps;
}

bool FileStamps::Settled() const {
  if (!complete_ || count_ == 0) return false;
  const time_t now = time(nullptr);
  for (size_t i = 0; i < count_; ++i) {
    const Stamp& s = stamps_[i];
    if (!s.present || now - s.mtime.tv_sec < kSettledSeconds ||
        now - s.ctime.tv_sec < kSettledSeconds) {
      return false;
    }
  }
  return true;
}

bool FileStamps::operator==(const FileStamps& other) const {
  if (!complete_ || !other.complete_ || count_ != other.count_) return false;
  for (size_t i = 0; i < count_; ++i) {
    const Stamp& a = stamps_[i];
    const Stamp& b = other.stamps_[i];
    if (!a.present || !b.present || a.dev != b.dev || a.ino != b.ino || a.size != b.size ||
        a.mtime.tv_sec != b.mtime.tv_sec || a.mtime.tv_nsec != b.mtime.tv_nsec ||
        a.ctime.tv_sec != b.ctime.tv_sec || a.ctime.tv_nsec != b.ctime.tv_nsec) {
      return false;
    }
  }
  return true;
}

}  // namespace kivo::base

// Declared with the operations the module calls (module/kivo_platform.h).
KivoReadSnapshot::KivoReadSnapshot() {
  kivo::base::ThreadSnapshot& snapshot = kivo::base::ThisThread();
  if (snapshot.depth++ == 0) snapshot.id = ++kivo::base::gLastSnapshot;
}

KivoReadSnapshot::~KivoReadSnapshot() {
  kivo::base::ThreadSnapshot& snapshot = kivo::base::ThisThread();
  if (--snapshot.depth > 0) return;
  snapshot.id = 0;
  snapshot.root = nullptr;
  snapshot.values.clear();
}
