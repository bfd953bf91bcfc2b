#include "caldav/calendar_registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <utility>

#include "base/pinned_dir.h"
#include "base/root_files.h"
#include "kivo/error_codes.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace caldav {

namespace {

constexpr char kLogUnit[] = "caldav_calendar";

// The system only ever writes an array of objects whose location members are
// strings; anything else would make the JSON accessors below throw, so such
// a file is refused like unparsable text.
bool IsWellFormedRegistry(const CollectionKind& kind, const Json::Value& calendars) {
  if (!calendars.isArray()) return false;
  for (const Json::Value& entry : calendars) {
    if (!entry.isObject()) return false;
    for (const char* key : {kind.name_member, "destination", "share"}) {
      const Json::Value* member = entry.find(key, key + strlen(key));
      if (member != nullptr && !member->isString()) return false;
    }
  }
  return true;
}

// Nesting the system itself writes: an array of flat objects. Deeper text
// is refused before the reader, which would recurse (and throw) on it.
constexpr int kMaxRegistryNesting = 16;

// A new registry is root's and readable by all; nobody else may write it.
constexpr mode_t kRegistryMode = 0644;

// True when no bracket in `text` (outside strings and comments) opens more
// than `limit` levels deep.
bool NestingWithin(const std::string& text, int limit) {
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      i = text.find("*/", i + 2);
      if (i == std::string::npos) break;
      ++i;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

// Reads the whole regular file at `path` into `text`, opening it once (a
// look before the open would be one lookup more and could see another
// file): true, with `*found` false when there is none; false when it cannot
// be opened or read, or is no regular file. A registry others may write is
// set to kRegistryMode first (logged).
bool ReadRegistryText(const std::string& path, std::string& text, bool* found) {
  // Non-blocking: a FIFO in its place must not hold the call (and the
  // module thread with it); it is refused as no regular file.
  const kivo::base::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  *found = fd.valid() || errno != ENOENT;
  if (!fd.valid()) return !*found;
  struct stat st;
  bool ok = fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
  if (ok && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    // Anyone could have planted entries in it; from now on nobody but its
    // owner can.
    KIVO_LOG(LOG_WARNING, "%s was writable by others (mode %o), set to %o", path.c_str(),
             static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(kRegistryMode));
    fchmod(fd.get(), kRegistryMode);
  }
  if (ok) text.reserve(static_cast<size_t>(st.st_size) + 1);
  char buffer[64 * 1024];
  while (ok) {
    const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  return ok;
}

// The entry's share is exactly "homes" (its old entries get the upgrade).
bool IsHomesShare(const Json::Value& entry) {
  static constexpr char kHomes[] = "homes";
  static constexpr char kShare[] = "share";
  const Json::Value* share = entry.find(kShare, kShare + strlen(kShare));
  const char* begin = nullptr;
  const char* end = nullptr;
  return share != nullptr && share->getString(&begin, &end) &&
         static_cast<size_t>(end - begin) == strlen(kHomes) &&
         memcmp(begin, kHomes, strlen(kHomes)) == 0;
}

// The entries parsed from the text each registry path last held in this
// process, as read or written here. Only byte-for-byte the same text finds
// them: no stamp of the file's is trusted to tell two texts apart.
class KeptEntries {
 public:
  // The entries of `text` at `path` into `entries`, copied or, `take`,
  // moved out (no longer kept); false when that text is not the one kept.
  // `*styled` tells whether the text is the entries' toStyledString (this
  // process wrote it).
  bool Find(const std::string& path, const std::string& text, bool take, Json::Value& entries,
            bool* styled) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto kept = kept_.find(path);
    if (kept == kept_.end() || kept->second.text != text) return false;
    *styled = kept->second.styled;
    if (take) {
      entries = std::move(kept->second.entries);
      kept_.erase(kept);
    } else {
      entries = kept->second.entries;
    }
    return true;
  }

  void Keep(const std::string& path, std::string text, Json::Value entries, bool styled) {
    std::lock_guard<std::mutex> hold(mutex_);
    Kept& kept = kept_[path];
    kept.text = std::move(text);
    kept.entries = std::move(entries);
    kept.styled = styled;
  }

  void Forget(const std::string& path) {
    std::lock_guard<std::mutex> hold(mutex_);
    kept_.erase(path);
  }

 private:
  struct Kept {
    std::string text;
    Json::Value entries;
    bool styled = false;
  };
  std::mutex mutex_;
  std::map<std::string, Kept> kept_;
};

KeptEntries& Kept() {
  static KeptEntries* const kept = new KeptEntries;  // never destroyed: used to the exit
  return *kept;
}

// The registry file at `path` into `calendars` (repaired, and `found`, as for
// ReadRegistryText, no file found quietly); false (logged) when it cannot be
// read, is no regular file, or holds what the system never writes. The
// entries kept for the same text are taken (moved out when `take`); others
// are parsed, and kept unless taken. `styled`, when given, receives the
// text when it is the entries' toStyledString, and is emptied otherwise.
bool ParseRegistryFile(const CollectionKind& kind, const std::string& path, Json::Value& calendars,
                       bool* found, bool take, std::string* styled) {
  std::string text;
  if (styled != nullptr) styled->clear();
  if (!ReadRegistryText(path, text, found)) {
    KIVO_LOG(LOG_ERR, "Cannot open the file");
    return false;
  }
  if (!*found) return true;
  bool is_styled = false;
  if (Kept().Find(path, text, take, calendars, &is_styled)) {
    if (is_styled && styled != nullptr) *styled = std::move(text);
    return true;
  }
  Json::Reader reader;
  bool parsed = false;
  try {
    parsed = NestingWithin(text, kMaxRegistryNesting) &&
             reader.parse(text.data(), text.data() + text.size(), calendars, true);
  } catch (const std::exception&) {
    parsed = false;  // the reader throws where it gives up
  }
  if (!parsed || !IsWellFormedRegistry(kind, calendars)) {
    KIVO_LOG(LOG_ERR, "Cannot parse json format from file");
    return false;
  }
  if (!take) Kept().Keep(path, std::move(text), calendars, false);
  return true;
}

// JsonCpp's styled text of `calendars` with `entry` appended, made from
// `styled`, the styled text of `calendars`, when that gives the same bytes:
// the new entry's text joins the kept one instead of the whole array being
// styled again (at a thousand entries that was the create's largest cost
// growing with the registry). The writer puts the comments after an element
// after its separator, so such a comment on the last entry leaves the text
// to the writer (one after the array does too: the text then ends
// otherwise); `styled` is then emptied.
void AppendStyled(const Json::Value& calendars, const Json::Value& entry, std::string& styled) {
  static constexpr char kArrayEnd[] = "\n]\n";
  static constexpr size_t kArrayEndSize = sizeof(kArrayEnd) - 1;
  if (calendars.empty() || calendars[calendars.size() - 1].hasComment(Json::commentAfter) ||
      calendars[calendars.size() - 1].hasComment(Json::commentAfterOnSameLine) ||
      styled.size() < kArrayEndSize ||
      styled.compare(styled.size() - kArrayEndSize, kArrayEndSize, kArrayEnd) != 0) {
    styled.clear();
    return;
  }
  Json::Value alone(Json::arrayValue);
  alone.append(entry);
  const std::string added = alone.toStyledString();  // "[" and the entry as the array's last
  styled.resize(styled.size() - kArrayEndSize);
  styled += ',';
  styled.append(added, 1, std::string::npos);
}

}  // namespace

// ---- ids ----------------------------------------------------------------------------

bool CalendarId(const Json::Value& entry, std::string& id) {
  return CollectionId(kCalendars, entry, id);
}

bool CollectionId(const CollectionKind& kind, const Json::Value& entry, std::string& id) {
  static constexpr char kDestination[] = "destination";
  const char* const name_key = kind.name_member;
  const Json::Value* name = entry.find(name_key, name_key + strlen(name_key));
  const Json::Value* destination = entry.find(kDestination, kDestination + strlen(kDestination));
  if (name == nullptr || destination == nullptr) return false;
  const char *name_begin, *name_end, *destination_begin, *destination_end;
  if (name->getString(&name_begin, &name_end) &&
      destination->getString(&destination_begin, &destination_end)) {
    id.assign(name_begin, name_end);
    id += ':';
    id.append(destination_begin, destination_end);
  } else {
    id = name->asString() + ":" + destination->asString();
  }
  return true;
}

CalendarRegistry::CalendarRegistry(const CalendarLocation* location, int* error_code,
                                   const CollectionKind& kind)
    : location_(location), error_code_(error_code), kind_(kind) {}

// ---- the lock -----------------------------------------------------------------

CalendarRegistry::Lock::Lock(const CollectionKind& kind) {
  const std::string path = kivo::RootedPath(kind.lock_file);
  fd_.Reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd_.valid()) {
    // Without the registry's directory there is no registry to protect: a
    // read finds no file and every write fails on its own. Any other reason
    // is logged, and the call goes on unserialised rather than refusing
    // calendars altogether.
    if (errno != ENOENT) {
      KIVO_LOG(LOG_ERR, "open(%s) failed, reason=%s", path.c_str(), strerror(errno));
    }
    return;
  }
  while (flock(fd_.get(), LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    KIVO_LOG(LOG_ERR, "flock(%s) failed, reason=%s", path.c_str(), strerror(errno));
    fd_.Reset();
    return;
  }
}

// ---- reading ----------------------------------------------------------------------

bool CalendarRegistry::Read(Json::Value& calendars, bool* found) {
  return ReadEntries(calendars, found, false, nullptr);
}

bool CalendarRegistry::ReadEntries(Json::Value& calendars, bool* found, bool take,
                                   std::string* styled) {
  bool found_here = false;
  if (found == nullptr) found = &found_here;
  if (!ParseRegistryFile(kind_, kivo::RootedPath(kind_.registry), calendars, found, take, styled)) {
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  if (!*found) return true;

  bool upgraded = false;
  for (Json::Value& entry : calendars) {
    if (IsHomesShare(entry) && location_->UpgradeHomes(entry)) upgraded = true;
  }
  if (!upgraded) return true;
  if (styled != nullptr) styled->clear();  // the text of the entries before
  if (!Write(calendars)) {
    KIVO_LOG(LOG_ERR, "Cannot write the infor");
    return false;
  }
  return true;
}

// ---- writing ----------------------------------------------------------------------

// The new content goes to a temporary beside the registry and replaces it by
// rename, so a failure at any point leaves the previous registry whole.
bool CalendarRegistry::Write(const Json::Value& calendars,
                             const std::function<bool()>& sync_alongside) {
  return WriteAndKeep(Json::Value(calendars), sync_alongside, std::string());
}

bool CalendarRegistry::WriteAndKeep(Json::Value&& calendars,
                                    const std::function<bool()>& sync_alongside,
                                    std::string&& styled) {
  const std::string path = kivo::RootedPath(kind_.registry);
  std::string text = styled.empty() ? calendars.toStyledString() : std::move(styled);
  kivo::base::ReplaceOptions options;
  options.new_mode = kRegistryMode;
  options.refused_bits = S_IWGRP | S_IWOTH;
  options.owner_or_fail = true;
  options.make_parents = false;
  // A failed sync of the folder does not undo a write already in place.
  options.folder_sync_fails = false;
  options.sync_alongside = sync_alongside;
  if (!kivo::base::ReplaceFile(path, text, options)) {
    Kept().Forget(path);  // whichever text is there now is parsed
    Fail(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  Kept().Keep(path, std::move(text), std::move(calendars), true);
  return true;
}

// ---- appending -------------------------------------------------------------------

bool CalendarRegistry::Id(const Json::Value& entry, std::string& id) {
  if (CollectionId(kind_, entry, id)) return true;
  KIVO_LOG(LOG_WARNING, "wrong parameter");
  Fail(WEBAPI_ERR_OPERATION_FAILED);
  return false;
}

bool CalendarRegistry::Add(const Json::Value& entry, const std::function<bool()>& sync_alongside) {
  std::string new_id;
  if (!Id(entry, new_id)) return false;

  Json::Value calendars(Json::arrayValue);
  std::string styled;
  if (!ReadEntries(calendars, nullptr, true, &styled)) return false;

  bool registered = false;
  for (Json::ArrayIndex i = 0; i < calendars.size() && !registered; ++i) {
    std::string id;
    if (!Id(calendars[i], id)) return false;
    registered = id == new_id;
  }
  if (!registered) {
    AppendStyled(calendars, entry, styled);
    calendars.append(entry);
  }
  return WriteAndKeep(std::move(calendars), sync_alongside, std::move(styled));
}

}  // namespace caldav
