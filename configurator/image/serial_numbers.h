// Volume serial numbers of new FAT images: the C runtime's rand() sequence
// (x = x * 214013 + 2531011 modulo 2^32 from x = 1, value (x >> 16) & 0x7FFF),
// one sequence per process and never reseeded, so the first image a run
// makes gets 41 and the next 18467. Thread-safe.
#ifndef QUENSARIA_CONFIGURATOR_IMAGE_SERIAL_NUMBERS_H_
#define QUENSARIA_CONFIGURATOR_IMAGE_SERIAL_NUMBERS_H_

#include <cstdint>
#include <mutex>

namespace quensaria::configurator {

class RandSequence {
 public:
  // The next value, 0..32767.
  uint32_t Next();

 private:
  std::mutex mutex_;
  uint32_t state_ = 1;
};

// The process's own sequence.
RandSequence& ProcessRandSequence();

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_IMAGE_SERIAL_NUMBERS_H_
