// Calendar locations: building a calendar entry from the request (with the
// home alias and homes rules), computing a calendar folder's path, and
// judging a proposed folder path.

#include <libgen.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "caldav/caldav_calendar.h"
#include "kivo/error_codes.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "caldav_calendar";
constexpr size_t kLocationBufferSize = 1024;  // share, destination, calendarname
constexpr size_t kPathBufferSize = 4095;      // paths judged by IsPathValid
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

bool CalDAVServiceHandler::IsPathExist(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

bool CalDAVServiceHandler::IsUserNamedHomesExist() {
  PKIVOUSER user = nullptr;
  const int result = KIVOUserGet("homes", &user);
  if (user != nullptr) KIVOUserFree(user);
  return result == 0;
}

// ---- request input ------------------------------------------------------------------

bool CalDAVServiceHandler::GetInputParam2Json(Json::Value& entry) {
  if (!request_->HasParam("destination") || !request_->HasParam("calendarname") ||
      !request_->HasParam("share")) {
    KIVO_LOG("Wrong parameter");
    SetError(WEBAPI_ERR_BAD_PARAMETER);
    return false;
  }
  entry["destination"] = StringParam("destination");
  entry["calendarname"] = StringParam("calendarname");
  entry["share"] = StringParam("share");

  const std::string share = entry["share"].asString();
  if (strcasecmp(share.c_str(), "home") == 0) {
    UpdateHomeDest(entry);
  } else if (share == "homes") {
    UpdateHomesDest(entry);
  }
  return true;
}

// "home" names the caller's own home folder; it is stored as the homes share
// with the user's folder spelled out, so that the entry means the same thing
// whoever reads it later.
bool CalDAVServiceHandler::UpdateHomeDest(Json::Value& entry) {
  const std::string user = request_->GetLoginUserName();
  entry["share"] = "homes";
  const std::string destination = entry["destination"].asString();
  if (destination.size() < 5) {
    entry["destination"] = "homes/" + user;
  } else {
    entry["destination"] = "homes/" + user + destination.substr(4);
  }
  return true;
}

bool CalDAVServiceHandler::ConcateHomes(const std::string& destination,
                                        std::string& new_destination) {
  new_destination.clear();
  if (strcasecmp(destination.substr(0, 5).c_str(), "homes") == 0) return false;
  new_destination = "homes/" + destination;
  return true;
}

// Older entries of the homes share name the user folder without the share in
// front. While an account is itself called "homes" the two forms cannot be
// told apart, so nothing is rewritten then.
bool CalDAVServiceHandler::UpdateHomesDest(Json::Value& entry) {
  if (homes_user_exists_) return false;
  if (!entry.isMember("destination")) return false;
  std::string new_destination;
  if (!ConcateHomes(entry["destination"].asString(), new_destination)) return false;
  entry["destination"] = new_destination;
  return true;
}

// ---- folder paths -------------------------------------------------------------------

CalDAVServiceHandler::ShareDir& CalDAVServiceHandler::LookUpShare(const std::string& name) {
  const auto known = shares_.find(name);
  if (known != shares_.end()) return known->second;
  ShareDir& share = shares_[name];
  PKIVOSHARE record = nullptr;
  if (KIVOShareGet(name.c_str(), &record) == 0 && record != nullptr) {
    share.found = true;
    share.dir = record->path != nullptr ? record->path : "";
  }
  if (record != nullptr) KIVOShareFree(record);
  return share;
}

CalDAVServiceHandler::ShareDir* CalDAVServiceHandler::AppendFolderInShare(const Json::Value& entry,
                                                                          std::string& folder) {
  const Json::Value* share_member = Member(entry, "share");
  const Json::Value* destination_member = Member(entry, "destination");
  const Json::Value* name_member = Member(entry, "calendarname");
  if (share_member == nullptr || destination_member == nullptr || name_member == nullptr) {
    KIVO_LOG("Wrong parameter in input parameter");
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return nullptr;
  }
  std::string converted[3];
  const TextPiece share_text = BoundedText(*share_member, kLocationBufferSize, converted[0]);
  const TextPiece destination = BoundedText(*destination_member, kLocationBufferSize, converted[1]);
  const TextPiece name = BoundedText(*name_member, kLocationBufferSize, converted[2]);

  const std::string share_name(share_text.data, share_text.size);
  ShareDir& share = LookUpShare(share_name);
  if (!share.found) {
    KIVO_LOG("CANNOT GET THE SHARE %s", share_name.c_str());
    SetError(WEBAPI_ERR_OPERATION_FAILED);
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

bool CalDAVServiceHandler::GetFullPath(const Json::Value& entry, std::string& path) {
  std::string folder;
  const ShareDir* share = AppendFolderInShare(entry, folder);
  if (share == nullptr) return false;
  path = share->dir + "/" + folder;
  return true;
}

// A new calendar folder must be an ordinary name directly inside `parent`,
// and `parent` must lie in a share, whatever links or dots either is
// spelled with.
bool CalDAVServiceHandler::IsPathValid(const char* parent, const char* path) {
  return ResolveLocation(parent, path, nullptr);
}

bool CalDAVServiceHandler::ResolveLocation(const char* parent, const char* path,
                                           Location* location) {
  if (parent == nullptr || path == nullptr) {
    KIVO_LOG("Param error");
    return false;
  }
  char parent_copy[kPathBufferSize];
  char path_copy[kPathBufferSize];
  snprintf(parent_copy, sizeof parent_copy, "%s", parent);
  snprintf(path_copy, sizeof path_copy, "%s", path);

  const char* last = basename(path_copy);
  if (last == nullptr || last[0] == '\0') {
    KIVO_LOG("[%s] basename failed %s", path_copy, strerror(errno));
    return false;
  }
  if (strcmp(last, ".") == 0 || strcmp(last, "..") == 0) {
    KIVO_LOG("[%s] basename is invalid", last);
    return false;
  }
  const std::string name = last;  // dirname below may cut the buffer
  const char* directory = dirname(path_copy);
  if (directory == nullptr || directory[0] == '\0') {
    KIVO_LOG("[%s] dirname failed %s", path_copy, strerror(errno));
    return false;
  }

  // Held by owners: the share lookup below may throw, and the entry
  // function answers for it without these leaking.
  const std::unique_ptr<char, decltype(&free)> resolved_directory(realpath(directory, nullptr),
                                                                  &free);
  if (resolved_directory == nullptr) {
    KIVO_LOG("[%s] szResolvePath failed %s", path, strerror(errno));
    return false;
  }
  const std::unique_ptr<char, decltype(&free)> resolved_parent(realpath(parent_copy, nullptr),
                                                               &free);
  if (resolved_parent == nullptr) {
    KIVO_LOG("[%s] resolve failed %s", parent, strerror(errno));
    return false;
  }

  if (strcmp(resolved_directory.get(), resolved_parent.get()) != 0) {
    KIVO_LOG("path[%s] != [%s]", resolved_directory.get(), resolved_parent.get());
    return false;
  }
  char share_name[kShareNameBufferSize];
  char share_path[kSharePathBufferSize];
  if (KIVOShareNamePathGet(resolved_directory.get(), share_name, kShareNameBufferSize, share_path,
                           kSharePathBufferSize) != 0) {
    KIVO_LOG("path[%s] doesn't have share name", resolved_directory.get());
    return false;
  }
  if (location != nullptr) {
    *location = Location{path, resolved_directory.get(), share_path, name};
  }
  return true;
}

pinned::Fd CalDAVServiceHandler::OpenLocationParent(const Location& location) {
  const std::string& dir = location.parent;
  const std::string& share = location.share_dir;
  if (share.size() > 1 && dir.compare(0, share.size(), share) == 0 &&
      (dir.size() == share.size() || dir[share.size()] == '/')) {
    const pinned::Fd root = pinned::OpenDirectory(share);
    return root.valid() ? pinned::OpenBelow(root.get(), dir.substr(share.size())) : pinned::Fd();
  }
  return pinned::OpenDirectory(dir);
}

bool CalDAVServiceHandler::PinRegisteredFolder(const std::string& path, RegisteredFolder* folder) {
  // A create stores its destination as given: an entry may climb out of its
  // share and back into another user's folder, which no delete may follow.
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) {
      KIVO_LOG("Path [%s] is not a calendar folder", path.c_str());
      return false;
    }
    start = end + 1;
  }
  std::string parent, name;
  if (!pinned::SplitLast(path, &parent, &name)) {
    KIVO_LOG("Path [%s] is not a calendar folder", path.c_str());
    return false;
  }
  if (!ResolveLocation(parent.c_str(), path.c_str(), &folder->location)) return false;
  folder->parent = OpenLocationParent(folder->location);
  if (!folder->parent.valid()) {
    KIVO_LOG("Path [%s] changed since it was checked, reason=%s", path.c_str(), strerror(errno));
    return false;
  }
  folder->folder = pinned::OpenChild(folder->parent.get(), folder->location.name);
  folder->error = folder->folder.valid() ? 0 : errno;
  return true;
}
