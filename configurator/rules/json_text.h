// JsonWriter: JSON text for ludrane-cli's --json output, written in one
// pass: objects and arrays opened and closed in order, members by key.
// Strings are escaped as RFC 8259 asks; bytes that are not UTF-8 (a source
// path in another encoding) become U+FFFD, so the text is always valid.
#ifndef QUENSARIA_CONFIGURATOR_RULES_JSON_TEXT_H_
#define QUENSARIA_CONFIGURATOR_RULES_JSON_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quensaria::configurator {

// `text` with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

class JsonWriter {
 public:
  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // The key of the next member of the object being written.
  void Key(std::string_view key);
  void String(std::string_view text);
  void Number(uint64_t value);
  void Number(int64_t value);
  void Bool(bool value);
  void Null();

  // The text so far, with a line end once the outermost value is closed.
  const std::string& text() const { return text_; }

 private:
  void BeforeValue();
  void Close(char bracket);

  std::string text_;
  std::vector<bool> first_;  // per open object or array: nothing written in it yet
  bool after_key_ = false;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_RULES_JSON_TEXT_H_
