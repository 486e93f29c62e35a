// Conversions between the programs' UTF-8 strings and the UTF-16 text fields
// of fixed records (the mount record's paths). Invalid input never crashes:
// bad UTF-8 sequences become U+FFFD, unpaired surrogates likewise.
#ifndef QUENSARIA_SHARED_UTF16_H_
#define QUENSARIA_SHARED_UTF16_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace quensaria {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Copies `text` into a fixed field of `capacity` UTF-16 units, always
// NUL-terminated and zero-filled. Returns false (field left empty) when the
// text needs more than capacity - 1 units.
bool StoreUtf16Field(std::string_view text, char16_t* field, size_t capacity);
// The text before the first NUL (or the whole field) as UTF-8.
std::string LoadUtf16Field(const char16_t* field, size_t capacity);

// `text` made safe to print on a terminal: names from the network and paths
// users chose may hold control characters (C0, DEL, C1) that a terminal
// takes for commands; each shows as "?", and bad UTF-8 as U+FFFD.
std::string TerminalText(std::string_view text);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_UTF16_H_
