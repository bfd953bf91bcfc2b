// The error codes the module reports to the host, and nothing else.

#ifndef KIVO_ERROR_CODES_H_
#define KIVO_ERROR_CODES_H_

enum KivoWebAPIError {
  WEBAPI_ERR_PORT_IN_USE = 1701,       // another service uses the requested port
  WEBAPI_ERR_TARGET_EXISTS = 1702,     // the folder to create or move onto exists
  WEBAPI_ERR_FOLDER_MISSING = 1703,    // the folder that is to hold a calendar is missing
  WEBAPI_ERR_OPERATION_FAILED = 1704,  // a write, file, service or lookup failed
  WEBAPI_ERR_BAD_PARAMETER = 1705,     // a parameter is missing, mistyped or refused
  WEBAPI_ERR_READ_ONLY_VOLUME = 1706,  // the volume to hold a new calendar is read-only
  // An ordinary account asked for what only an administrator may do: the
  // web API's own code for that refusal, which the host answers as it
  // answers its own (403).
  WEBAPI_ERR_NOT_ALLOWED = 105,
};

// User log events of the CalDAV switch.
constexpr unsigned int kLogEventCalDAVOn = 0x11B00878;
constexpr unsigned int kLogEventCalDAVOff = 0x11B00879;
// User log events of the CardDAV switch.
constexpr unsigned int kLogEventCardDAVOn = 0x11B0087A;
constexpr unsigned int kLogEventCardDAVOff = 0x11B0087B;

#endif  // KIVO_ERROR_CODES_H_
