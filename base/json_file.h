// JSON files of the platform (shares, ports, service states): parsing and
// compact rendering with JsonCpp, without exceptions reaching the caller.

#ifndef KIVO_BASE_JSON_FILE_H_
#define KIVO_BASE_JSON_FILE_H_

#include <json/json.h>

#include <string>

namespace kivo::base {

// Parses `path`. A missing file reads as null with *missing set. False when
// the file cannot be read or is not JSON.
bool ReadJsonFile(const std::string& path, Json::Value* value, bool* missing);

// One line, no indentation, no comments: the form of journal records and
// answers.
std::string CompactJson(const Json::Value& value);

// Indented, ending in a newline: the form of state files people may read.
std::string StyledJson(const Json::Value& value);

}  // namespace kivo::base

#endif  // KIVO_BASE_JSON_FILE_H_
