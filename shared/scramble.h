// Scrambling of CMD_READ reply data (service side) and its inverse (driver
// side). Data is taken in 8-byte blocks from offset 0; the transform of a byte
// depends only on its value and its position within its block, so both
// directions run as table-driven vector code at near memory speed.
// Thread-safe: pure functions.
#ifndef QUENSARIA_SHARED_SCRAMBLE_H_
#define QUENSARIA_SHARED_SCRAMBLE_H_

#include <cstddef>
#include <cstdint>

namespace quensaria {

// Bytes that Scramble(…, length) touches: every block starting below length.
constexpr size_t ScrambledSpan(size_t length) { return (length + 7) & ~size_t{7}; }

// Scrambles the data of a read reply in place. The last block is processed
// whole even when `length` is not a multiple of 8; only `length` bytes are
// sent. REQUIRES: `data` holds ScrambledSpan(length) bytes.
void Scramble(uint8_t* data, size_t length);

// Undoes Scramble on exactly `length` received bytes, in place; a final short
// block is processed over its own bytes only.
void Descramble(uint8_t* data, size_t length);

// Descramble from `src` into `dst` (the buffers may not overlap), so a
// receive buffer can be decoded straight into the caller's buffer.
void DescrambleCopy(const uint8_t* src, uint8_t* dst, size_t length);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_SCRAMBLE_H_
