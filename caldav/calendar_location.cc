#include "caldav/calendar_location.h"

#include <libgen.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "kivo/error_codes.h"
#include "kivo/handler_conventions.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

// Only an object made for a module call logs (see the header). Each line is
// a location a request named being turned away: a warning.
#define LOCATION_LOG(fmt, ...)                                             \
  do {                                                                     \
    if (error_code_ != nullptr) KIVO_LOG(LOG_WARNING, fmt, ##__VA_ARGS__); \
  } while (0)

namespace caldav {

namespace {

constexpr char kLogUnit[] = "caldav_calendar";
constexpr size_t kLocationBufferSize = 1024;  // share, destination, calendarname
constexpr size_t kPathBufferSize = 4095;      // paths judged by Judge
constexpr int kShareNameBufferSize = 493;
constexpr int kSharePathBufferSize = 4095;

// The member `key` of an entry, null when it has none.
const Json::Value* Member(const Json::Value& entry, const char* key) {
  return entry.find(key, key + strlen(key));
}

// Text of a location member, as a C buffer of `size` bytes would hold it: up
// to the first NUL, at most size - 1 bytes. Points into the member when it is
// a string (the only kind the system stores), else into `converted`.
struct TextPiece {
  const char* data;
  size_t size;
};

TextPiece BoundedText(const Json::Value& member, size_t size, std::string& converted) {
  const char* begin = nullptr;
  const char* end = nullptr;
  if (!member.getString(&begin, &end)) {
    converted = member.asString();
    begin = converted.data();
    end = begin + converted.size();
  }
  const size_t most = std::min(static_cast<size_t>(end - begin), size - 1);
  return {begin, strnlen(begin, most)};
}

}  // namespace

CalendarLocation::CalendarLocation(std::string login, int* error_code, const CollectionKind& kind)
    : login_(std::move(login)),
      error_code_(error_code),
      kind_(kind),
      homes_user_exists_(HomesUserExists()) {}

bool CalendarLocation::HomesUserExists() {
  PKIVOUSER user = nullptr;
  const int result = KIVOUserGet("homes", &user);
  if (user != nullptr) KIVOUserFree(user);
  return result == 0;
}

bool CalendarLocation::Exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

void CalendarLocation::Refuse(int code) const {
  if (error_code_ != nullptr) conventions::RecordError(*error_code_, code);
}

// ---- calendar entries ------------------------------------------------------------

Json::Value CalendarLocation::EntryOf(const std::string& destination,
                                      const std::string& calendarname,
                                      const std::string& share) const {
  Json::Value entry(Json::objectValue);
  entry["destination"] = destination;
  entry[kind_.name_member] = calendarname;
  entry["share"] = share;
  if (strcasecmp(share.c_str(), "home") == 0) {
    ApplyHomeAlias(entry);
  } else if (share == "homes") {
    UpgradeHomes(entry);
  }
  return entry;
}

// "home" names the caller's own home folder; it is stored as the homes share
// with the user's folder spelled out, so that the entry means the same thing
// whoever reads it later.
void CalendarLocation::ApplyHomeAlias(Json::Value& entry) const {
  entry["share"] = "homes";
  const std::string destination = entry["destination"].asString();
  if (destination.size() < 5) {
    entry["destination"] = "homes/" + login_;
  } else {
    entry["destination"] = "homes/" + login_ + destination.substr(4);
  }
}

bool CalendarLocation::PrefixHomes(const std::string& destination, std::string& prefixed) {
  prefixed.clear();
  if (strcasecmp(destination.substr(0, 5).c_str(), "homes") == 0) return false;
  prefixed = "homes/" + destination;
  return true;
}

// Older entries of the homes share name the user folder without the share in
// front. While an account is itself called "homes" the two forms cannot be
// told apart, so nothing is rewritten then.
bool CalendarLocation::UpgradeHomes(Json::Value& entry) const {
  if (homes_user_exists_) return false;
  if (!entry.isMember("destination")) return false;
  std::string prefixed;
  if (!PrefixHomes(entry["destination"].asString(), prefixed)) return false;
  entry["destination"] = prefixed;
  return true;
}

// ---- folder paths ------------------------------------------------------------------

// A list resolves thousands of folders in a few shares: each share is looked
// up once per object.
const CalendarLocation::Share& CalendarLocation::LookUpShare(const std::string& name) {
  const auto known = shares_.find(name);
  if (known != shares_.end()) return known->second;
  Share& share = shares_[name];
  PKIVOSHARE record = nullptr;
  if (KIVOShareGet(name.c_str(), &record) == 0 && record != nullptr) {
    share.found = true;
    share.dir = record->path != nullptr ? record->path : "";
  }
  if (record != nullptr) KIVOShareFree(record);
  return share;
}

const CalendarLocation::Share* CalendarLocation::FolderInShare(const Json::Value& entry,
                                                               std::string& folder) {
  const Json::Value* share_member = Member(entry, "share");
  const Json::Value* destination_member = Member(entry, "destination");
  const Json::Value* name_member = Member(entry, kind_.name_member);
  if (share_member == nullptr || destination_member == nullptr || name_member == nullptr) {
    LOCATION_LOG("Wrong parameter in input parameter");
    Refuse(WEBAPI_ERR_OPERATION_FAILED);
    return nullptr;
  }
  std::string converted[3];
  const TextPiece share_text = BoundedText(*share_member, kLocationBufferSize, converted[0]);
  const TextPiece destination = BoundedText(*destination_member, kLocationBufferSize, converted[1]);
  const TextPiece name = BoundedText(*name_member, kLocationBufferSize, converted[2]);

  const std::string share_name(share_text.data, share_text.size);
  const Share& share = LookUpShare(share_name);
  if (!share.found) {
    LOCATION_LOG("CANNOT GET THE SHARE %s", share_name.c_str());
    Refuse(WEBAPI_ERR_OPERATION_FAILED);
    return nullptr;
  }
  const void* slash = memchr(destination.data, '/', destination.size);
  // Only the part after the first "/" locates the folder; the part before it
  // stands for the share and is not compared with it.
  if (destination.size != share_name.size() && slash != nullptr) {
    const char* rest = static_cast<const char*>(slash) + 1;
    folder.append(rest, destination.data + destination.size - rest);
    folder += '/';
  }
  folder.append(name.data, name.size);
  return &share;
}

bool CalendarLocation::FullPath(const Json::Value& entry, std::string& path) {
  std::string folder;
  const Share* share = FolderInShare(entry, folder);
  if (share == nullptr) return false;
  path = share->dir + "/" + folder;
  return true;
}

std::string CalendarLocation::HomeFolder(const std::string& user) {
  const Share& homes = LookUpShare("homes");
  return homes.found && !homes.dir.empty() ? homes.dir + "/" + user : "";
}

// ---- proposed folders ----------------------------------------------------------------

// A new calendar folder must be an ordinary name directly inside `parent`,
// and `parent` must lie in a share, whatever links or dots either is
// spelled with.
bool CalendarLocation::Judge(const char* parent, const char* path, Place* place) const {
  if (parent == nullptr || path == nullptr) {
    LOCATION_LOG("Param error");
    return false;
  }
  char parent_copy[kPathBufferSize];
  char path_copy[kPathBufferSize];
  snprintf(parent_copy, sizeof parent_copy, "%s", parent);
  snprintf(path_copy, sizeof path_copy, "%s", path);

  const char* last = basename(path_copy);
  if (last == nullptr || last[0] == '\0') {
    LOCATION_LOG("[%s] basename failed %s", path_copy, strerror(errno));
    return false;
  }
  if (strcmp(last, ".") == 0 || strcmp(last, "..") == 0) {
    LOCATION_LOG("[%s] basename is invalid", last);
    return false;
  }
  const std::string name = last;  // dirname below may cut the buffer
  const char* directory = dirname(path_copy);
  if (directory == nullptr || directory[0] == '\0') {
    LOCATION_LOG("[%s] dirname failed %s", path_copy, strerror(errno));
    return false;
  }

  // Held by owners: the share lookup below may throw, and the entry
  // function answers for it without these leaking.
  const std::unique_ptr<char, decltype(&free)> resolved_directory(realpath(directory, nullptr),
                                                                  &free);
  if (resolved_directory == nullptr) {
    LOCATION_LOG("[%s] szResolvePath failed %s", path, strerror(errno));
    return false;
  }
  const std::unique_ptr<char, decltype(&free)> resolved_parent(realpath(parent_copy, nullptr),
                                                               &free);
  if (resolved_parent == nullptr) {
    LOCATION_LOG("[%s] resolve failed %s", parent, strerror(errno));
    return false;
  }

  if (strcmp(resolved_directory.get(), resolved_parent.get()) != 0) {
    LOCATION_LOG("path[%s] != [%s]", resolved_directory.get(), resolved_parent.get());
    return false;
  }
  char share_name[kShareNameBufferSize];
  char share_path[kSharePathBufferSize];
  if (KIVOShareNamePathGet(resolved_directory.get(), share_name, kShareNameBufferSize, share_path,
                           kSharePathBufferSize) != 0) {
    LOCATION_LOG("path[%s] doesn't have share name", resolved_directory.get());
    return false;
  }
  if (place != nullptr) *place = Place{path, resolved_directory.get(), share_path, name};
  return true;
}

}  // namespace caldav
