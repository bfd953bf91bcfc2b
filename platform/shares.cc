// Shared folders: etc/kivo/shares.json maps each share name to its absolute
// directory (read by its one reader, base/share_table.h). A path belongs to
// a share when it is the share's directory or lies below it, judged by whole
// path components.

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "base/file_stamp.h"
#include "base/last_error.h"
#include "base/share_table.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "shares";
constexpr char kSharesPath[] = SZF_SHARES_JSON;

// A calendar list looks a share up once per calendar; reading the table
// each time was half of its cost. Shared, not copied, for the same reason.
// False (logged) when there is no table: a missing file, or one the rule
// (base/share_table.h) reads as none.
bool ReadShares(std::shared_ptr<const kivo::base::ShareTable>* shares) {
  static auto* cache =  // never destroyed: used at exit
      new kivo::base::StampedValue<std::shared_ptr<const kivo::base::ShareTable>>();
  const std::string path = kivo::RootedPath(kSharesPath);
  return cache->Get({path.c_str()}, shares,
                    [&](std::shared_ptr<const kivo::base::ShareTable>* fresh) {
                      auto read = std::make_shared<kivo::base::ShareTable>();
                      switch (kivo::base::ReadShareTable(read.get())) {
                        case kivo::base::ShareTableRead::kRead:
                          *fresh = std::move(read);
                          return true;
                        case kivo::base::ShareTableRead::kMissing:
                          kivo::base::SetLastError(ENOENT);
                          KIVO_LOG(LOG_ERR, "no share table in %s", path.c_str());
                          return false;
                        default:
                          kivo::base::SetLastError(EINVAL);  // the reader logged it
                          return false;
                      }
                    });
}

// "/a/b//" -> "/a/b"; the root stays "/".
std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool IsAtOrBelow(const std::string& path, const std::string& dir) {
  if (dir == "/") return true;
  if (path.compare(0, dir.size(), dir) != 0) return false;
  return path.size() == dir.size() || path[dir.size()] == '/';
}

void CopyTruncated(const std::string& text, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return;
  size_t n = text.size() < static_cast<size_t>(size) ? text.size() : static_cast<size_t>(size) - 1;
  memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

int GetShare(const char* name, PKIVOSHARE* share) {
  if (share == nullptr) {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "share lookup without a result place");
    return -1;
  }
  *share = nullptr;
  if (name == nullptr || name[0] == '\0') {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "share lookup without a name");
    return -1;
  }
  std::shared_ptr<const kivo::base::ShareTable> shares;
  if (!ReadShares(&shares)) return -1;
  const auto found = shares->find(name);
  if (found == shares->end()) {
    kivo::base::SetLastError(ENOENT);
    return -1;
  }
  PKIVOSHARE record = static_cast<PKIVOSHARE>(calloc(1, sizeof(KIVOSHARE)));
  if (record == nullptr) {
    kivo::base::SetLastError(ENOMEM);
    KIVO_LOG(LOG_ERR, "out of memory");
    return -1;
  }
  record->name = strdup(name);
  record->path = strdup(found->second.c_str());  // the rule allows no NUL in it
  if (record->name == nullptr || record->path == nullptr) {
    KIVOShareFree(record);
    kivo::base::SetLastError(ENOMEM);
    KIVO_LOG(LOG_ERR, "out of memory");
    return -1;
  }
  *share = record;
  return 0;
}

int FindShareOfPath(const char* path, char* share_name, int share_name_size, char* share_path,
                    int share_path_size) {
  if (path == nullptr || path[0] != '/') {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG(LOG_WARNING, "share of a path that is not absolute");
    return -1;
  }
  std::shared_ptr<const kivo::base::ShareTable> shares;
  if (!ReadShares(&shares)) return -1;
  std::string wanted = WithoutTrailingSlashes(path);
  std::string best_name, best_dir;
  for (const auto& [name, written] : *shares) {
    std::string dir = WithoutTrailingSlashes(written);
    // Nested shares: the innermost one holds the path.
    if (IsAtOrBelow(wanted, dir) && (best_name.empty() || dir.size() > best_dir.size())) {
      best_name = name;
      best_dir = dir;
    }
  }
  if (best_name.empty()) {
    kivo::base::SetLastError(ENOENT);
    return -1;
  }
  CopyTruncated(best_name, share_name, share_name_size);
  CopyTruncated(best_dir, share_path, share_path_size);
  return 0;
}

}  // namespace

extern "C" {

int KIVOShareGet(const char* name, PKIVOSHARE* share) {
  return kivo::base::Guarded(-1, [&] { return GetShare(name, share); });
}

void KIVOShareFree(PKIVOSHARE share) {
  if (share == nullptr) return;
  free(share->name);
  free(share->path);
  free(share);
}

int KIVOShareNamePathGet(const char* path, char* share_name, int share_name_size, char* share_path,
                         int share_path_size) {
  return kivo::base::Guarded(-1, [&] {
    return FindShareOfPath(path, share_name, share_name_size, share_path, share_path_size);
  });
}

}  // extern "C"
