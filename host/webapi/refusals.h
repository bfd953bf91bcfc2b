// The host's own refusals: requests turned away before they reach the
// module. Each has a code of its own (never one of the module's 1701-1706)
// and an HTTP status; the body is {"success":false,"error":{"code":N}}, the
// same shape as a module's error answer.

#ifndef KIVO_HOST_REFUSALS_H_
#define KIVO_HOST_REFUSALS_H_

namespace host {

enum RefusalCode {
  kUnknownError = 100,      // the module left the call unanswered, internal failure
  kMalformedRequest = 101,  // body not JSON or fields missing / of the wrong type
  kUnknownApi = 102,        // the module serves no such API
  kUnknownMethod = 103,     // the API has no such method at that version
  kNotJsonContent = 104,    // a state-changing request not sent as application/json
  kNotAllowed = 105,        // the account may not call this method (or outside its home)
  kNotLoggedIn = 106,       // no session, or it expired
  kTooLarge = 107,          // body over the limit
  kCrossSite = 108,         // Origin names another host than the one served
  kNoSuchEndpoint = 109,    // no such path or HTTP method
  kBadCredentials = 110,    // wrong account or password
  kTooManyLogins = 119,     // this account from this address must wait, or checks are busy
  kMisdirected = 120,       // Host names none of the server's names
  kHeadersTooLarge = 121,   // request line and headers over 16 KiB or 100 fields
  kLengthRequired = 122,    // a body without Content-Length (chunked, for one)
  kServerBusy = 123,        // too many calls queued for the module
  kPasswordRules = 124,     // the new password breaks the password rules
  kWrongPassword = 125,     // the current password given with a change is wrong
  kGuestRefused = 126,      // guest has no password and no home: anonymous WebDAV only
  kAccountLocked = 127,     // the account's password was locked by an administrator
  kSystemAccount = 128,     // uid below 1000 or primary group root: the system's account
  kNoSuchAccount = 129,     // no such account in etc/passwd
  kNameRefused = 140,       // not a login name, or one the system or the services use
  kAccountExists = 141,     // an account of that name exists
  kOwnAccount = 142,        // an administrator neither locks nor removes their own account
  kLastAdmin = 143,         // no other administrator who can log in would be left
  kBadCertificate = 150,    // an uploaded certificate failed a check (error.reason says which)
};

// Each refusal's HTTP status, written once.
struct RefusalStatus {
  RefusalCode code;
  int status;
};

inline constexpr RefusalStatus kRefusalStatuses[] = {
    {kUnknownError, 500},   {kMalformedRequest, 400}, {kUnknownApi, 404},     {kUnknownMethod, 404},
    {kNotJsonContent, 415}, {kNotAllowed, 403},       {kNotLoggedIn, 401},    {kTooLarge, 413},
    {kCrossSite, 403},      {kNoSuchEndpoint, 404},   {kBadCredentials, 401}, {kTooManyLogins, 429},
    {kMisdirected, 421},    {kHeadersTooLarge, 431},  {kLengthRequired, 411}, {kServerBusy, 503},
    {kPasswordRules, 400},  {kWrongPassword, 403},    {kGuestRefused, 403},   {kAccountLocked, 403},
    {kSystemAccount, 403},  {kNoSuchAccount, 404},    {kNameRefused, 400},    {kAccountExists, 409},
    {kOwnAccount, 403},     {kLastAdmin, 409},        {kBadCertificate, 400},
};

// The HTTP status that goes with a refusal code (500 for unknown codes).
constexpr int HttpStatusOf(int code) {
  for (const RefusalStatus& row : kRefusalStatuses) {
    if (row.code == code) return row.status;
  }
  return 500;
}

}  // namespace host

#endif  // KIVO_HOST_REFUSALS_H_
