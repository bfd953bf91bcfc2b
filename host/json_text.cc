#include "host/json_text.h"

#include <exception>
#include <memory>

namespace host {

bool ParseJson(const std::string& text, Json::Value* value) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["rejectDupKeys"] = true;
  // Deep nesting only costs stack; nothing the module takes nests this far.
  builder["stackLimit"] = 64;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  // The reader reports nesting beyond the limit by throwing, not by failing.
  try {
    return reader->parse(text.data(), text.data() + text.size(), value, &errors);
  } catch (const std::exception&) {
    *value = Json::Value();
    return false;
  }
}

std::string CompactJson(const Json::Value& value) {
  static const Json::StreamWriterBuilder builder = [] {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return b;
  }();
  return Json::writeString(builder, value);
}

std::string AnswerJson(const Json::Value& answer) {
  if (!answer.isObject() || !answer.isMember("success")) return CompactJson(answer);
  std::string text = "{\"success\":" + CompactJson(answer["success"]);
  for (const std::string& key : answer.getMemberNames()) {
    if (key == "success") continue;
    text += "," + CompactJson(Json::Value(key)) + ":" + CompactJson(answer[key]);
  }
  return text + "}";
}

}  // namespace host
