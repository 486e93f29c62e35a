#include "platform/page_memory.h"

#include <sys/mman.h>

namespace quensaria::platform {

void* AllocatePages(size_t size) {
  void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

void FreePages(void* memory, size_t size) {
  if (memory != nullptr) ::munmap(memory, size);
}

}  // namespace quensaria::platform
