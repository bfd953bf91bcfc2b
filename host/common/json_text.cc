#include "host/common/json_text.h"

#include <exception>
#include <memory>

#include "base/json_file.h"

namespace host {
namespace {

// True when `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing beyond U+10FFFF.
bool IsUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    size_t length = 0;
    unsigned int min = 0, code = 0;
    if (c < 0x80) {
      ++p;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2, min = 0x80, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, min = 0x800, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, min = 0x10000, code = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < length) return false;
    for (size_t i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    p += length;
  }
  return true;
}

// True when no string in `value`, key or value, holds NUL or another
// control character: the module copies C strings and would read such a
// string differently from the host's own rules. Depth is bounded by the
// parser's limit.
bool HasOnlyPlainStrings(const Json::Value& value) {
  const auto plain = [](const char* begin, const char* end) {
    for (const char* p = begin; p < end; ++p) {
      if (static_cast<unsigned char>(*p) < 0x20) return false;
    }
    return true;
  };
  switch (value.type()) {
    case Json::stringValue: {
      const char* begin = nullptr;
      const char* end = nullptr;
      return !value.getString(&begin, &end) || plain(begin, end);
    }
    case Json::arrayValue:
      for (const Json::Value& item : value) {
        if (!HasOnlyPlainStrings(item)) return false;
      }
      return true;
    case Json::objectValue:
      for (auto it = value.begin(); it != value.end(); ++it) {
        const char* end = nullptr;
        const char* begin = it.memberName(&end);
        if (!plain(begin, end) || !HasOnlyPlainStrings(*it)) return false;
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

bool ParseJson(const std::string& text, Json::Value* value) {
  // Names of calendars and folders come from here: bytes that are no text
  // are refused rather than passed on to the file system.
  if (!IsUtf8(text)) {
    *value = Json::Value();
    return false;
  }
  // Building the settings costs more than parsing a request; a reader is
  // not to be shared between threads.
  static const Json::CharReaderBuilder builder = [] {
    Json::CharReaderBuilder b;
    Json::CharReaderBuilder::strictMode(&b.settings_);
    b["rejectDupKeys"] = true;
    // Deep nesting only costs stack; nothing the module takes nests this far.
    b["stackLimit"] = 64;
    return b;
  }();
  thread_local const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  // The reader reports nesting beyond the limit by throwing, not by failing.
  try {
    if (reader->parse(text.data(), text.data() + text.size(), value, &errors) &&
        HasOnlyPlainStrings(*value)) {
      return true;
    }
  } catch (const std::exception&) {
  }
  *value = Json::Value();
  return false;
}

std::string AnswerJson(const Json::Value& answer) {
  if (!answer.isObject() || !answer.isMember("success")) return kivo::base::CompactJson(answer);
  const Json::Value& success = answer["success"];
  std::string text = "{\"success\":";
  text +=
      success.isBool() ? (success.asBool() ? "true" : "false") : kivo::base::CompactJson(success);
  // The other members in JsonCpp's order, each written once.
  for (auto it = answer.begin(); it != answer.end(); ++it) {
    if (it.name() == "success") continue;
    text += ',';
    text += kivo::base::CompactJson(Json::Value(it.name()));
    text += ':';
    text += kivo::base::CompactJson(*it);
  }
  text += '}';
  return text;
}

std::string AnswerText(bool success, int error_code, const Json::Value& data) {
  if (!success) {
    return "{\"success\":false,\"error\":{\"code\":" + std::to_string(error_code) + "}}";
  }
  return "{\"success\":true,\"data\":" + kivo::base::CompactJson(data) + "}";
}

}  // namespace host
