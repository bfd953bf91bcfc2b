// The host's own refusals: requests turned away before they reach the
// module. Each has a code of its own (never one of the module's 1701-1706)
// and an HTTP status; the body is {"success":false,"error":{"code":N}}, the
// same shape as a module's error answer.

#ifndef KIVO_HOST_REFUSALS_H_
#define KIVO_HOST_REFUSALS_H_

namespace host {

enum RefusalCode {
  kUnknownError = 100,      // 500: the module left the call unanswered, internal failure
  kMalformedRequest = 101,  // 400: body not JSON or fields missing / of the wrong type
  kUnknownApi = 102,        // 404: the module serves no such API
  kUnknownMethod = 103,     // 404: the API has no such method at that version
  kNotJsonContent = 104,    // 415: a state-changing request not sent as application/json
  kNotAllowed = 105,        // 403: the account may not call this method (or outside its home)
  kNotLoggedIn = 106,       // 401: no session, or it expired
  kTooLarge = 107,          // 413: body over the limit
  kCrossSite = 108,         // 403: Origin names another host than the one served
  kNoSuchEndpoint = 109,    // 404: no such path or HTTP method
  kBadCredentials = 110,    // 401: wrong account or password
  kTooManyLogins = 119,     // 429: this account from this address must wait, or checks are busy
  kMisdirected = 120,       // 421: Host names none of the server's names
  kHeadersTooLarge = 121,   // 431: request line and headers over 16 KiB or 100 fields
  kLengthRequired = 122,    // 411: a body without Content-Length (chunked, for one)
  kServerBusy = 123,        // 503: too many calls queued for the module
};

// The HTTP status that goes with a refusal code (500 for unknown codes).
inline int HttpStatusOf(int code) {
  switch (code) {
    case kMalformedRequest:
      return 400;
    case kUnknownApi:
      return 404;
    case kUnknownMethod:
      return 404;
    case kNotJsonContent:
      return 415;
    case kNotAllowed:
      return 403;
    case kNotLoggedIn:
      return 401;
    case kTooLarge:
      return 413;
    case kCrossSite:
      return 403;
    case kNoSuchEndpoint:
      return 404;
    case kBadCredentials:
      return 401;
    case kTooManyLogins:
      return 429;
    case kMisdirected:
      return 421;
    case kHeadersTooLarge:
      return 431;
    case kLengthRequired:
      return 411;
    case kServerBusy:
      return 503;
    default:
      return 500;
  }
}

}  // namespace host

#endif  // KIVO_HOST_REFUSALS_H_
