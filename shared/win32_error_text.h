// The English system texts of the Win32 error numbers the system uses, as
// the system's message table gives them, without the trailing line break.
// Shared by both desktop programs for their messages.
#ifndef QUENSARIA_SHARED_WIN32_ERROR_TEXT_H_
#define QUENSARIA_SHARED_WIN32_ERROR_TEXT_H_

#include <cstdint>
#include <string>

namespace quensaria {

// The text of `code`; a number without a text gives an empty string, as the
// system's lookup fails for it.
std::string Win32ErrorText(uint32_t code);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_WIN32_ERROR_TEXT_H_
