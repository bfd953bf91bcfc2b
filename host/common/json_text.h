// JSON text in and out of the host: strict parsing of what callers send and
// the one-line form of every answer (compact JSON, "success" first).

#ifndef KIVO_HOST_JSON_TEXT_H_
#define KIVO_HOST_JSON_TEXT_H_

#include <json/json.h>

#include <string>

namespace host {

// Parses one JSON document; trailing text, comments, duplicate keys, nesting
// deeper than 64 and any string (key or value) holding NUL or another
// control character below 0x20 are refused. False on any error.
bool ParseJson(const std::string& text, Json::Value* value);

// An answer object in the web API's own member order: "success" first, then
// "data" or "error" ({"success":true,"data":...}). JsonCpp would sort them.
std::string AnswerJson(const Json::Value& answer);

// The same for a module's answer or a refusal, written straight from its
// parts (`data` only when `success`).
std::string AnswerText(bool success, int error_code, const Json::Value& data);

}  // namespace host

#endif  // KIVO_HOST_JSON_TEXT_H_
