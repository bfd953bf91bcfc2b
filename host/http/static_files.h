// The administration page: the static files of `www/`, installed beside the
// program, as `serve` hands them out. This file only finds and reads them
// and says how they must be answered (type, caching, content policy); it
// never sees a session and never touches the module.

#ifndef KIVO_HOST_STATIC_FILES_H_
#define KIVO_HOST_STATIC_FILES_H_

#include <string>
#include <utility>
#include <vector>

namespace host {

struct StaticFile {
  std::string content_type;
  std::string body;
  // Further response headers (Cache-Control, Content-Security-Policy, ...).
  std::vector<std::pair<std::string, std::string>> headers;
};

// Finds `url_path` ("/" means "/index.html") in the page folder `www_dir`.
// False when there is no such page file; the caller answers 404.
bool LoadStaticFile(const std::string& www_dir, const std::string& url_path, StaticFile* out);

// The page folder shipped beside the running program: "<dir of exe>/www".
std::string DefaultWwwDir();

}  // namespace host

#endif  // KIVO_HOST_STATIC_FILES_H_
