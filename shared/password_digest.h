// The password digest: SHA-1 of the password's characters exactly as typed,
// in the program's narrow encoding (UTF-8 on this platform), without a
// terminating zero. An empty password is the digest of zero bytes. Only
// digests are stored or sent; the service only compares them.
#ifndef QUENSARIA_SHARED_PASSWORD_DIGEST_H_
#define QUENSARIA_SHARED_PASSWORD_DIGEST_H_

#include <string>
#include <string_view>

#include "shared/sha1.h"

namespace quensaria {

Sha1Digest PasswordDigest(std::string_view password);

// 40 lower-case hexadecimal digits, first byte first.
std::string DigestToHex(const Sha1Digest& digest);

// Parses 40 hexadecimal digits of either case. Returns false (and leaves
// `digest` unchanged) for anything else.
bool DigestFromHex(std::string_view text, Sha1Digest& digest);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_PASSWORD_DIGEST_H_
