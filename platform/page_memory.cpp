#include "platform/page_memory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <atomic>

namespace quensaria::platform {
namespace {

std::atomic<size_t> bytes_in_use{0};

}  // namespace

void* AllocatePages(size_t size) {
  void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  bytes_in_use.fetch_add(size, std::memory_order_relaxed);
  return memory;
}

void FreePages(void* memory, size_t size) {
  if (memory == nullptr) return;
  ::munmap(memory, size);
  bytes_in_use.fetch_sub(size, std::memory_order_relaxed);
}

void ReturnFreeHeapMemory() { ::malloc_trim(0); }

void KeepLargeAllocationsOffTheHeap() { ::mallopt(M_MMAP_THRESHOLD, 128 * 1024); }

size_t PageBytesInUseForTesting() { return bytes_in_use.load(std::memory_order_relaxed); }

}  // namespace quensaria::platform
