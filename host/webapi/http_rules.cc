#include "host/webapi/http_rules.h"

#include <algorithm>
#include <cctype>

#include "host/webapi/refusals.h"

namespace host {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Trim(const std::string& text) {
  const std::string::size_type begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  const std::string::size_type end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// "host" or "host:port" with the scheme's default port made explicit.
std::string WithPort(const std::string& authority, const std::string& default_port) {
  const std::string::size_type bracket = authority.rfind(']');
  const std::string::size_type colon = authority.rfind(':');
  const bool has_port =
      colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  return has_port ? authority : authority + ":" + default_port;
}

}  // namespace

bool OriginMatchesHost(const std::string& origin, const std::string& host) {
  const std::string o = Lower(Trim(origin));
  std::string default_port;
  std::string authority;
  if (o.compare(0, 7, "http://") == 0) {
    default_port = "80";
    authority = o.substr(7);
  } else if (o.compare(0, 8, "https://") == 0) {
    default_port = "443";
    authority = o.substr(8);
  } else {
    return false;
  }
  authority = authority.substr(0, authority.find('/'));
  const std::string h = Lower(Trim(host));
  if (authority.empty() || h.empty()) return false;
  return WithPort(authority, default_port) == WithPort(h, default_port);
}

bool IsJsonContentType(const std::string& content_type) {
  return Lower(Trim(content_type.substr(0, content_type.find(';')))) == "application/json";
}

bool ChangesState(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

int HeaderRefusal(const std::string& method, const std::string* origin, const std::string& host,
                  const std::string& content_type) {
  if (origin != nullptr && !OriginMatchesHost(*origin, host)) return kCrossSite;
  if (ChangesState(method) && !IsJsonContentType(content_type)) return kNotJsonContent;
  return 0;
}

std::string SessionTokenFromCookie(const std::string& cookie_header) {
  const std::string prefix = std::string(kSessionCookie) + "=";
  std::string::size_type start = 0;
  while (start <= cookie_header.size()) {
    const std::string::size_type end = cookie_header.find(';', start);
    const std::string pair = Trim(cookie_header.substr(start, end - start));
    if (pair.compare(0, prefix.size(), prefix) == 0) return pair.substr(prefix.size());
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "";
}

std::string SessionCookie(const std::string& token) {
  return std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string ExpiredSessionCookie() {
  return std::string(kSessionCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0";
}

}  // namespace host
