#include "base/json_file.h"

#include <errno.h>

#include <memory>
#include <sstream>

#include "base/last_error.h"
#include "base/root_files.h"
#include "kivo/log.h"

namespace kivo::base {
namespace {
constexpr char kLogUnit[] = "json_file";
}  // namespace

bool ReadJsonFile(const std::string& path, Json::Value* value, bool* missing) {
  *value = Json::Value();
  std::string text;
  if (!ReadWholeFile(path, &text, missing)) return false;
  if (*missing) return true;
  // Building the builder's settings costs more than parsing a small file.
  static const Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), value, &errors);
  } catch (const std::exception& e) {
    errors = e.what();  // nesting beyond the reader's stack limit
  }
  if (!parsed) {
    SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "%s is not JSON: %s", path.c_str(), errors.c_str());
    *value = Json::Value();
    return false;
  }
  return true;
}

std::string CompactJson(const Json::Value& value) {
  // Every journal record and every answer of the host is written here. A
  // value read from a hand-edited file carries its comments; written out
  // they would make the line no JSON at all.
  static const Json::StreamWriterBuilder builder = [] {
    Json::StreamWriterBuilder b;
    b["commentStyle"] = "None";
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return b;
  }();
  // Making a writer reads its settings back out of JSON values: one per
  // thread, with its stream, written into again and again.
  thread_local const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  thread_local std::ostringstream text;
  text.str(std::string());
  text.clear();
  writer->write(value, &text);
  return text.str();
}

std::string StyledJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value) + "\n";
}

}  // namespace kivo::base
