#include "shared/scramble.h"

#include <array>
#include <cstring>

#include "shared/block_protocol.h"

namespace quensaria {
namespace {

// The per-position transform folds into one add and one xor:
// scrambled = (plain + kAdd[i]) ^ kXor[i], plain = (scrambled ^ kXor[i]) - kAdd[i].
struct Tables {
  std::array<uint8_t, 16> add;
  std::array<uint8_t, 16> xr;
};

constexpr Tables MakeTables() {
  Tables t{};
  const auto& k = kScrambleKey;
  for (int i = 0; i < 8; ++i) {
    uint8_t add = 0;
    uint8_t xr = 0;
    for (int j = 0; j < 8; ++j) {
      add = static_cast<uint8_t>(add + (i | j) + k[j]);
      xr = static_cast<uint8_t>(xr ^ static_cast<uint8_t>((k[j] - 1) * i));
    }
    xr = static_cast<uint8_t>(xr ^ static_cast<uint8_t>(k[i] << i));
    t.add[i] = t.add[i + 8] = add;
    t.xr[i] = t.xr[i + 8] = xr;
  }
  return t;
}

constexpr Tables kTables = MakeTables();

typedef uint8_t V16 __attribute__((vector_size(16)));

inline V16 Load(const uint8_t* p) {
  V16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store(uint8_t* p, V16 v) { std::memcpy(p, &v, sizeof v); }

template <bool kForward>
void Transform(const uint8_t* src, uint8_t* dst, size_t length) {
  const V16 add = Load(kTables.add.data());
  const V16 xr = Load(kTables.xr.data());
  size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    V16 a = Load(src + i), b = Load(src + i + 16), c = Load(src + i + 32), d = Load(src + i + 48);
    if constexpr (kForward) {
      a = (a + add) ^ xr, b = (b + add) ^ xr, c = (c + add) ^ xr, d = (d + add) ^ xr;
    } else {
      a = (a ^ xr) - add, b = (b ^ xr) - add, c = (c ^ xr) - add, d = (d ^ xr) - add;
    }
    Store(dst + i, a), Store(dst + i + 16, b), Store(dst + i + 32, c), Store(dst + i + 48, d);
  }
  for (; i < length; ++i) {
    const size_t pos = i & 7;
    dst[i] = kForward ? static_cast<uint8_t>((src[i] + kTables.add[pos]) ^ kTables.xr[pos])
                      : static_cast<uint8_t>((src[i] ^ kTables.xr[pos]) - kTables.add[pos]);
  }
}

}  // namespace

void Scramble(uint8_t* data, size_t length) { Transform<true>(data, data, ScrambledSpan(length)); }

void Descramble(uint8_t* data, size_t length) { Transform<false>(data, data, length); }

void DescrambleCopy(const uint8_t* src, uint8_t* dst, size_t length) {
  Transform<false>(src, dst, length);
}

}  // namespace quensaria
