#include "caldav/calendar_identity.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/changes_under_way.h"
#include "base/pinned_dir.h"
#include "base/root_files.h"
#include "kivo/error_codes.h"
#include "kivo/handler_conventions.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace caldav {

namespace {

constexpr char kLogUnit[] = "caldav_calendar";
constexpr size_t kTokenBytes = 16;

bool Unsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// Attributes are read and written on a descriptor that is open for reading:
// O_PATH descriptors, which the folder code holds, take no attribute calls.
kivo::base::Fd Readable(int fd) {
  return kivo::base::Fd(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Once a process for each kind: each has its own attribute.
void WarnUnsupportedOnce(const CollectionKind& kind) {
  static bool warned_calendars = false;
  static bool warned_others = false;
  bool& warned = &kind == &kCalendars ? warned_calendars : warned_others;
  if (warned) return;
  warned = true;
  KIVO_LOG(LOG_WARNING, "the file system refuses %s: %ss there are known by name only",
           kind.attribute, kind.noun);
}

bool ReadText(const std::string& path, std::string* text, bool* missing, struct stat* st) {
  const kivo::base::Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  *missing = !fd.valid() && errno == ENOENT;
  if (!fd.valid() || fstat(fd.get(), st) != 0) return false;
  char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

CalendarIdentity::CalendarIdentity(int* error_code, const CollectionKind& kind)
    : error_code_(error_code), kind_(kind) {}

namespace {

// An id on one line: "\" and newlines escaped.
std::string Escaped(const std::string& id) {
  std::string text;
  for (char c : id) {
    if (c == '\\') {
      text += "\\\\";
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text;
}

bool Unescaped(const char* begin, const char* end, std::string* id) {
  id->clear();
  for (const char* p = begin; p < end; ++p) {
    if (*p != '\\') {
      *id += *p;
    } else if (++p < end && (*p == '\\' || *p == 'n')) {
      *id += *p == 'n' ? '\n' : '\\';
    } else {
      return false;
    }
  }
  return true;
}

// Lines of the previous version's record of calendar changes under way,
// now taken into the record of changes under way.
constexpr char kPendingLine[] = "pending ";
constexpr char kDoneLine[] = "done ";

// The call that finishes a change of a collection of `kind`: every method
// of the kind recovers first, and a list changes nothing else.
Json::Value FinishingCall(const CollectionKind& kind) {
  Json::Value call(Json::objectValue);
  call["api"] = kind.api;
  call["version"] = 1;
  call["method"] = "list";
  call["account"] = "admin";
  call["params"] = Json::Value(Json::objectValue);
  return call;
}

// Appended lines beyond the record's whole content that a save still
// appends; past them it writes the record whole.
constexpr size_t kSpareLines = 64;

bool StartsWith(const char* line, size_t length, const char* prefix) {
  return length > strlen(prefix) && memcmp(line, prefix, strlen(prefix)) == 0;
}

}  // namespace

// One line a calendar, "<token> <id>" (a calendar known by name only has
// "-" for its token): a list reads it whole, and lines cost far less than a
// JSON object of thousands. Lines are applied in order: a later token for an
// id replaces the earlier one.
bool CalendarIdentity::Load() {
  const std::string path = kivo::RootedPath(kind_.ids_file);
  std::string text;
  bool missing = false;
  struct stat st;
  if (!ReadText(path, &text, &missing, &st)) {
    if (missing) return LoadPending();
    KIVO_LOG(LOG_ERR, "cannot read %s, reason=%s", path.c_str(), strerror(errno));
    conventions::RecordError(*error_code_, WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  on_disk_ = true;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  size_ = st.st_size;
  // Every write ends its lines: text after the last newline is an append
  // cut short, of a change not begun yet. It goes with the next save.
  const size_t whole = text.rfind('\n');
  const size_t length_read = whole == std::string::npos ? 0 : whole + 1;
  if (length_read < text.size()) whole_ = true;
  bool parsed = true;
  bool previous = false;  // lines of the previous version's changes under way
  std::string id;
  for (size_t start = 0; parsed && start < length_read;) {
    const size_t end = text.find('\n', start);
    const char* line = text.data() + start;
    const size_t length = end - start;
    start = end + 1;
    if (length == 0) continue;
    ++file_lines_;
    if (StartsWith(line, length, kPendingLine) || StartsWith(line, length, kDoneLine)) {
      previous = true;
      continue;
    }
    const char* space = static_cast<const char*>(memchr(line, ' ', length));
    parsed = space != nullptr && Unescaped(space + 1, line + length, &id);
    if (parsed) {
      const std::string token(line, static_cast<size_t>(space - line));
      ids_[id] = token == "-" ? "" : token;
    }
  }
  if (!parsed) {
    // Written only by this module: a damaged record is left for the
    // operator, and no folder is acted on by a guess.
    KIVO_LOG(LOG_ERR, "cannot parse %s", path.c_str());
    conventions::RecordError(*error_code_, WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  if (previous) {
    // Taken into the record of changes under way (once each, by token),
    // then gone from this file with its next save.
    if (!kivo::base::TakeInPreviousRecords()) {
      conventions::RecordError(*error_code_, WEBAPI_ERR_OPERATION_FAILED);
      return false;
    }
    whole_ = true;
    changed_ = true;
  }
  return LoadPending();
}

bool CalendarIdentity::LoadPending() {
  Json::Value changes;
  if (!kivo::base::ChangesUnderWay::Read(kind_.changes, &changes)) {
    conventions::RecordError(*error_code_, WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  for (const Json::Value& change : changes) {
    pending_.append(change["data"]);
    keys_.push_back(change["key"].asString());
  }
  return true;
}

bool CalendarIdentity::Save(Durability durability) {
  const bool sync = durability == Durability::kSynced;
  if (changed_) {
    const std::string path = kivo::RootedPath(kind_.ids_file);
    // Once appends have about doubled the record it is written whole (and
    // synced), a wait now and then for a record a list reads quickly.
    const bool grown = file_lines_ > 2 * ids_.size() + kSpareLines;
    if (!(on_disk_ && !whole_ && !grown && Append(path, sync)) && !Replace(path)) {
      conventions::RecordError(*error_code_, WEBAPI_ERR_OPERATION_FAILED);
      return false;
    }
    changed_ = false;
    whole_ = false;
    lines_.clear();
  }
  // Changes begun are on disk before their first step; an end may be lost
  // when finishing the change again leaves it as it is.
  for (Json::ArrayIndex i = 0; i < pending_.size(); ++i) {
    if (!keys_[i].empty()) continue;
    kivo::base::ChangeUnderWay change;
    change.kind = kind_.changes;
    change.data = pending_[i];
    change.call = FinishingCall(kind_);
    if (!kivo::base::ChangesUnderWay::Begin(change, &keys_[i])) {
      conventions::RecordError(*error_code_, WEBAPI_ERR_OPERATION_FAILED);
      return false;
    }
  }
  if (!kivo::base::ChangesUnderWay::End(ended_, sync)) {
    conventions::RecordError(*error_code_, WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  ended_.clear();
  return true;
}

bool CalendarIdentity::Append(const std::string& path, bool sync) {
  const kivo::base::Fd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  // The very file read (or last written), still root's alone and as long:
  // anything else is written whole.
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0 || st.st_dev != device_ || st.st_ino != inode_ ||
      st.st_size != size_) {
    return false;
  }
  if (!kivo::base::WriteAll(fd.get(), lines_.data(), lines_.size()) ||
      (sync && fsync(fd.get()) != 0)) {
    // What reached the file is whole lines the next Load reads, or a cut
    // line it ignores; the replacement that follows makes it exact.
    KIVO_LOG(LOG_ERR, "appending to %s failed, reason=%s", path.c_str(), strerror(errno));
    return false;
  }
  size_ += static_cast<off_t>(lines_.size());
  file_lines_ += static_cast<size_t>(std::count(lines_.begin(), lines_.end(), '\n'));
  return true;
}

bool CalendarIdentity::Replace(const std::string& path) {
  std::string text;
  for (const auto& [id, token] : ids_) {
    text += token.empty() ? "-" : token;
    text += ' ';
    text += Escaped(id);
    text += '\n';
  }
  kivo::base::ReplaceOptions options;
  options.new_mode = 0600;
  options.fresh = true;
  options.make_parents = false;
  // The record must be on disk before any folder it speaks of is touched,
  // and later appends sync the file alone: its rename is always synced. A
  // failed sync of its folder alone is logged, the content being in place.
  options.folder_sync_fails = false;
  if (!kivo::base::ReplaceFile(path, text, options)) return false;
  struct stat st;
  on_disk_ = lstat(path.c_str(), &st) == 0;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  size_ = st.st_size;
  file_lines_ = ids_.size();
  return true;
}

bool CalendarIdentity::TokenOf(const std::string& id, std::string* token) const {
  const auto found = ids_.find(id);
  if (found == ids_.end()) return false;
  *token = found->second;
  return true;
}

bool CalendarIdentity::TokenInUse(const std::string& token) const {
  for (const auto& recorded : ids_) {
    if (recorded.second == token) return true;
  }
  return false;
}

void CalendarIdentity::Record(const std::string& id, const std::string& token) {
  ids_[id] = token;
  changed_ = true;
  lines_ += token.empty() ? "-" : token;
  lines_ += ' ';
  lines_ += Escaped(id);
  lines_ += '\n';
}

void CalendarIdentity::Forget(const std::string& id) {
  if (ids_.erase(id) == 0) return;
  changed_ = true;
  whole_ = true;  // no line takes an id back
}

void CalendarIdentity::Begin(const Json::Value& change) {
  pending_.append(change);
  keys_.emplace_back();  // recorded by the next Save
}

void CalendarIdentity::Finish(const std::string& token) {
  Json::Value kept(Json::arrayValue);
  std::vector<std::string> kept_keys;
  for (Json::ArrayIndex i = 0; i < pending_.size(); ++i) {
    if (pending_[i]["token"].asString() != token) {
      kept.append(pending_[i]);
      kept_keys.push_back(keys_[i]);
    } else if (!keys_[i].empty()) {
      ended_.push_back(keys_[i]);
    }
  }
  pending_.swap(kept);
  keys_.swap(kept_keys);
}

std::string CalendarIdentity::NewToken() {
  unsigned char bytes[kTokenBytes];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return "";
  std::string token;
  char hex[3];
  for (unsigned char b : bytes) {
    snprintf(hex, sizeof hex, "%02x", b);
    token += hex;
  }
  return token;
}

CalendarIdentity::Mark CalendarIdentity::Put(int fd, const std::string& token) const {
  const kivo::base::Fd folder = Readable(fd);
  if (!folder.valid()) return kUnreadable;
  if (fsetxattr(folder.get(), kind_.attribute, token.data(), token.size(), 0) == 0) return kMarked;
  if (Unsupported(errno)) {
    WarnUnsupportedOnce(kind_);
    return kUnsupported;
  }
  KIVO_LOG(LOG_ERR, "cannot mark a calendar folder, reason=%s", strerror(errno));
  return kUnreadable;
}

CalendarIdentity::Mark CalendarIdentity::Get(int fd, std::string* token) const {
  char value[128];
  ssize_t n = fgetxattr(fd, kind_.attribute, value, sizeof value);
  if (n < 0 && errno == EBADF) {  // an O_PATH descriptor
    const kivo::base::Fd folder = Readable(fd);
    if (!folder.valid()) return kUnreadable;
    n = fgetxattr(folder.get(), kind_.attribute, value, sizeof value);
  }
  if (n >= 0) {
    token->assign(value, static_cast<size_t>(n));
    return kMarked;
  }
  if (errno == ENODATA) return kUnmarked;
  if (Unsupported(errno)) return kUnsupported;
  return kUnreadable;
}

}  // namespace caldav
