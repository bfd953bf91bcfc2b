// Shared folders: etc/kivo/shares.json maps each share name to its absolute
// directory. A path belongs to a share when it is the share's directory or
// lies below it, judged by whole path components.

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "base/file_stamp.h"
#include "base/json_file.h"
#include "base/last_error.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "shares";
constexpr char kSharesPath[] = SZF_SHARES_JSON;

// The share table; false (logged) when it is missing or not an object.
bool ReadSharesFile(const std::string& path, Json::Value* shares) {
  bool missing = false;
  if (!kivo::base::ReadJsonFile(path, shares, &missing)) return false;
  if (missing || !shares->isObject()) {
    kivo::base::SetLastError(missing ? ENOENT : EINVAL);
    KIVO_LOG("no share table in %s", path.c_str());
    return false;
  }
  return true;
}

// A calendar list looks a share up once per calendar; parsing the table each
// time was half of its cost. Shared, not copied, for the same reason.
bool ReadShares(std::shared_ptr<const Json::Value>* shares) {
  static auto* cache =  // never destroyed: used at exit
      new kivo::base::StampedValue<std::shared_ptr<const Json::Value>>();
  const std::string path = kivo::RootedPath(kSharesPath);
  return cache->Get({path.c_str()}, shares, [&](std::shared_ptr<const Json::Value>* fresh) {
    auto read = std::make_shared<Json::Value>();
    if (!ReadSharesFile(path, read.get())) return false;
    *fresh = std::move(read);
    return true;
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
    KIVO_LOG("share lookup without a result place");
    return -1;
  }
  *share = nullptr;
  if (name == nullptr || name[0] == '\0') {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG("share lookup without a name");
    return -1;
  }
  std::shared_ptr<const Json::Value> shares;
  if (!ReadShares(&shares)) return -1;
  const Json::Value& dir = (*shares)[name];
  const char* dir_begin = nullptr;
  const char* dir_end = nullptr;
  if (!dir.isString() || !dir.getString(&dir_begin, &dir_end) || dir_begin == dir_end ||
      dir_begin[0] != '/') {
    kivo::base::SetLastError(ENOENT);
    return -1;
  }
  PKIVOSHARE record = static_cast<PKIVOSHARE>(calloc(1, sizeof(KIVOSHARE)));
  if (record == nullptr) {
    kivo::base::SetLastError(ENOMEM);
    KIVO_LOG("out of memory");
    return -1;
  }
  record->name = strdup(name);
  record->path = strndup(dir_begin, static_cast<size_t>(dir_end - dir_begin));
  if (record->name == nullptr || record->path == nullptr) {
    KIVOShareFree(record);
    kivo::base::SetLastError(ENOMEM);
    KIVO_LOG("out of memory");
    return -1;
  }
  *share = record;
  return 0;
}

int FindShareOfPath(const char* path, char* share_name, int share_name_size, char* share_path,
                    int share_path_size) {
  if (path == nullptr || path[0] != '/') {
    kivo::base::SetLastError(EINVAL);
    KIVO_LOG("share of a path that is not absolute");
    return -1;
  }
  std::shared_ptr<const Json::Value> shares;
  if (!ReadShares(&shares)) return -1;
  std::string wanted = WithoutTrailingSlashes(path);
  std::string best_name, best_dir;
  for (const std::string& name : shares->getMemberNames()) {
    const Json::Value& value = (*shares)[name];
    if (!value.isString() || value.asString().empty() || value.asString()[0] != '/') continue;
    std::string dir = WithoutTrailingSlashes(value.asString());
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
