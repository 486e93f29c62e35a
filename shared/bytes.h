// Little-endian loads and stores on byte buffers. Every record that crosses a
// boundary of the system is little-endian; these keep the code free of casts
// and alignment assumptions.
#ifndef QUENSARIA_SHARED_BYTES_H_
#define QUENSARIA_SHARED_BYTES_H_

#include <bit>
#include <cstdint>
#include <cstring>

namespace quensaria {

static_assert(std::endian::native == std::endian::little, "little-endian hosts only");

inline uint16_t LoadLe16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t LoadLe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void StoreLe16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void StoreLe32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void StoreLe64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_BYTES_H_
