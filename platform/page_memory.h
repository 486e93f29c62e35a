// Memory taken from the kernel in whole pages, zero-filled, and given back
// to it when freed. The heap keeps what it once held, so a large record
// that comes and goes with each connection would leave a served burst's
// memory with the process; pages never touched cost nothing either. Any
// thread.
#ifndef QUENSARIA_PLATFORM_PAGE_MEMORY_H_
#define QUENSARIA_PLATFORM_PAGE_MEMORY_H_

#include <cstddef>

namespace quensaria::platform {

// `size` bytes of zeros, page-aligned; null when the kernel has none.
void* AllocatePages(size_t size);
// REQUIRES: `memory` and `size` as AllocatePages gave and took them.
void FreePages(void* memory, size_t size);

// Bytes of the process's AllocatePages memory not yet freed.
size_t PageBytesInUseForTesting();

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_PAGE_MEMORY_H_
