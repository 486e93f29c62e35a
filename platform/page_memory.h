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

// Gives the heap's free memory back to the system (the heap keeps what it
// once held otherwise, in every arena its threads used). Takes a while on a
// large heap: for moments after much was freed, such as an unmount.
void ReturnFreeHeapMemory();

// From now on every heap allocation of 128 KiB or more is mapped pages of
// its own, given back when freed. (The heap would otherwise raise that bound
// each time such a block is freed, and keep the blocks that come later.)
void KeepLargeAllocationsOffTheHeap();

// Bytes of the process's AllocatePages memory not yet freed.
size_t PageBytesInUseForTesting();

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_PAGE_MEMORY_H_
