#include "host/http/static_files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/fd.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "static_files";

}  // namespace

namespace host {

namespace {

// The page is a handful of small files; anything larger is not one of them.
constexpr off_t kMaxFileSize = 1 << 20;

// No inline script or style anywhere, nothing from another host, never in a
// frame: a page that acts with an administrator's session must not be
// framed or made to run text that came in as data.
constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; form-action 'none'; base-uri 'none'; frame-ancestors 'none'";

// index.html is asked again on every visit, so that a new version of the
// page picks up its new scripts; those may then be kept briefly.
constexpr char kRevalidate[] = "no-cache";
constexpr char kShortLived[] = "max-age=300";

struct FileType {
  const char* extension;
  const char* content_type;
  const char* cache_control;
};

constexpr FileType kFileTypes[] = {
    {".html", "text/html; charset=utf-8", kRevalidate},
    {".js", "text/javascript; charset=utf-8", kShortLived},
    {".css", "text/css; charset=utf-8", kShortLived},
    {".svg", "image/svg+xml", kShortLived},
    {".png", "image/png", kShortLived},
};

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t n = strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

const FileType* TypeOf(const std::string& name) {
  for (const FileType& type : kFileTypes) {
    if (EndsWith(name, type.extension)) return &type;
  }
  return nullptr;
}

// The page folder is flat: a page file is one plain name such as "app.js".
// No "/" (so no sub-folder and no ".."), no leading dot (no hidden files),
// none of the bytes that a URL decoder or the file system could read
// differently ('%', '\\', NUL, controls).
bool IsPageFileName(const std::string& name) {
  if (name.empty() || name.size() > NAME_MAX || name[0] == '.') return false;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    if (!plain) return false;
  }
  return true;
}

// Reads a regular file below the open folder `dir` without following a
// symbolic link at its name.
bool ReadPageFile(int dir, const std::string& name, std::string* body) {
  const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxFileSize;
  if (ok) {
    body->resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (ok && done < body->size()) {
      const ssize_t n = read(fd, &(*body)[done], body->size() - done);
      if (n <= 0) {
        ok = false;
        KIVO_LOG(LOG_ERR, "cannot read page file %s", name.c_str());
      } else {
        done += static_cast<size_t>(n);
      }
    }
  }
  close(fd);
  return ok;
}

}  // namespace

bool LoadStaticFile(const std::string& www_dir, const std::string& url_path, StaticFile* out) {
  if (url_path.empty() || url_path[0] != '/') return false;
  const std::string name = url_path == "/" ? "index.html" : url_path.substr(1);
  const FileType* type = TypeOf(name);
  if (type == nullptr || !IsPageFileName(name)) return false;

  const kivo::base::Fd dir(open(www_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return false;
  std::string body;
  if (!ReadPageFile(dir.get(), name, &body)) return false;

  out->content_type = type->content_type;
  out->body = std::move(body);
  out->headers = {
      {"Cache-Control", type->cache_control}, {"Content-Security-Policy", kContentSecurityPolicy},
      {"X-Content-Type-Options", "nosniff"},  {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
  };
  return true;
}

std::string DefaultWwwDir() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return "www";
  std::string dir(exe, static_cast<size_t>(n));
  dir.erase(dir.rfind('/') + 1);
  return dir + "www";
}

}  // namespace host
