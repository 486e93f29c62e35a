#include "configurator/rules/json_text.h"

#include <cstdio>

#include "shared/utf16.h"

namespace quensaria::configurator {

std::string ValidUtf8(std::string_view text) { return Utf16ToUtf8(Utf8ToUtf16(text)); }

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) text_ += ',';
    first_.back() = false;
  }
}

void JsonWriter::BeginObject() {
  BeforeValue();
  text_ += '{';
  first_.push_back(true);
}

void JsonWriter::EndObject() { Close('}'); }

void JsonWriter::BeginArray() {
  BeforeValue();
  text_ += '[';
  first_.push_back(true);
}

void JsonWriter::EndArray() { Close(']'); }

void JsonWriter::Close(char bracket) {
  text_ += bracket;
  first_.pop_back();
  if (first_.empty()) text_ += '\n';
}

void JsonWriter::Key(std::string_view key) {
  String(key);
  text_ += ':';
  after_key_ = true;
}

void JsonWriter::String(std::string_view text) {
  BeforeValue();
  text_ += '"';
  for (const char c : ValidUtf8(text)) {
    switch (c) {
      case '"':
        text_ += "\\\"";
        break;
      case '\\':
        text_ += "\\\\";
        break;
      case '\n':
        text_ += "\\n";
        break;
      case '\r':
        text_ += "\\r";
        break;
      case '\t':
        text_ += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          text_ += escaped;
        } else {
          text_ += c;
        }
    }
  }
  text_ += '"';
}

void JsonWriter::Number(uint64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
}

void JsonWriter::Number(int64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
}

void JsonWriter::Null() {
  BeforeValue();
  text_ += "null";
}

}  // namespace quensaria::configurator
