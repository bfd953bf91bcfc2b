// The request rules of the web API server that do not need a server: which
// origins count as our own, what counts as a JSON body, where the session
// token is.

#ifndef KIVO_HOST_HTTP_RULES_H_
#define KIVO_HOST_HTTP_RULES_H_

#include <json/json.h>

#include <string>

namespace host {

constexpr char kSessionCookie[] = "kivo_session";

// True when the Origin header names the host the request was sent to (its
// Host header): same host and port, letter case ignored. "null" and
// unparsable origins are foreign. An absent Origin (empty) is not judged here.
bool OriginMatchesHost(const std::string& origin, const std::string& host);

// True for "application/json", with or without parameters ("; charset=...").
bool IsJsonContentType(const std::string& content_type);

// True for the HTTP methods that change state (POST, PUT, PATCH, DELETE).
bool ChangesState(const std::string& method);

// The refusal for a request judged on its headers alone, before its body is
// read; 0 lets it through. A foreign Origin is kCrossSite; a state-changing
// request not sent as JSON is kNotJsonContent. `origin` is null when the
// request has no Origin header (a same-origin or non-browser client).
int HeaderRefusal(const std::string& method, const std::string* origin, const std::string& host,
                  const std::string& content_type);

// The session token from a Cookie header; "" when absent.
std::string SessionTokenFromCookie(const std::string& cookie_header);

// Set-Cookie values that start and end a session.
std::string SessionCookie(const std::string& token);
std::string ExpiredSessionCookie();

}  // namespace host

#endif  // KIVO_HOST_HTTP_RULES_H_
