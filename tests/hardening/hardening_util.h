// Helpers of the hardening tests: what a root looks like on disk (to prove
// that nothing appeared or vanished where it must not), JSON text, and web
// API calls over HTTP to a running `kivo-webapi serve`.

#ifndef KIVO_TESTS_HARDENING_HARDENING_UTIL_H_
#define KIVO_TESTS_HARDENING_HARDENING_UTIL_H_

#include <ftw.h>
#include <httplib.h>
#include <json/json.h>
#include <sys/stat.h>

#include <memory>
#include <set>
#include <string>

namespace hardening {

inline Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
    return Json::Value();
  }
  return value;
}

// True when `text` is JSON at all (null text is not).
inline bool IsJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
}

inline std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

// Every path below `dir` (relative to it, links not followed), except those
// that start with one of `skip`.
inline std::set<std::string> Tree(const std::string& dir, const std::set<std::string>& skip = {}) {
  static thread_local std::set<std::string>* out;
  static thread_local const std::set<std::string>* skipped;
  static thread_local size_t prefix;
  std::set<std::string> paths;
  out = &paths;
  skipped = &skip;
  prefix = dir.size();
  nftw(
      dir.c_str(),
      [](const char* path, const struct stat*, int, struct FTW*) {
        const std::string relative = std::string(path).substr(prefix);
        for (const std::string& s : *skipped) {
          if (relative.compare(0, s.size(), s) == 0) return 0;
        }
        out->insert(relative);
        return 0;
      },
      16, FTW_PHYS);
  return paths;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline Json::Value CalendarParams(const std::string& share, const std::string& destination,
                                  const std::string& fullpath, const std::string& name) {
  Json::Value p(Json::objectValue);
  p["share"] = share;
  p["destination"] = destination;
  p["fullpath"] = fullpath;
  p["calendarname"] = name;
  return p;
}

// A client of one server, logged in as one account.
class HttpSession {
 public:
  explicit HttpSession(int port) : port_(port) {}

  // True when the login was accepted.
  bool Login(const std::string& account, const std::string& password) {
    Json::Value body;
    body["account"] = account;
    body["password"] = password;
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(30, 0);
    auto result = client.Post("/webapi/auth", Compact(body), "application/json");
    if (!result || result->status != 200) return false;
    const std::string cookie = result->get_header_value("Set-Cookie");
    cookie_ = cookie.substr(0, cookie.find(';'));
    return !cookie_.empty();
  }

  // POST /webapi/entry; answers the HTTP status (0 when there was no answer)
  // and the body.
  int Entry(const std::string& api, const std::string& method, const Json::Value& params,
            Json::Value* answer) {
    Json::Value body;
    body["api"] = api;
    body["version"] = 1;
    body["method"] = method;
    body["params"] = params;
    return Post(Compact(body), answer);
  }

  int Post(const std::string& body, Json::Value* answer) {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(30, 0);
    httplib::Headers headers;
    if (!cookie_.empty()) headers.emplace("Cookie", cookie_);
    auto result = client.Post("/webapi/entry", headers, body, "application/json");
    if (!result) return 0;
    if (answer != nullptr) *answer = ParseJson(result->body);
    return result->status;
  }

 private:
  int port_;
  std::string cookie_;
};

}  // namespace hardening

#endif  // KIVO_TESTS_HARDENING_HARDENING_UTIL_H_
