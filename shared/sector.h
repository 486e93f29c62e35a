// The sector: the unit of every disk the system serves, mounts or makes, and
// of the block protocol's offsets and lengths in practice.
#ifndef QUENSARIA_SHARED_SECTOR_H_
#define QUENSARIA_SHARED_SECTOR_H_

#include <cstddef>

namespace quensaria {

inline constexpr size_t kSectorSize = 512;

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_SECTOR_H_
