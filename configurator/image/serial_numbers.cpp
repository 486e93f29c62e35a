#include "configurator/image/serial_numbers.h"

namespace quensaria::configurator {

uint32_t RandSequence::Next() {
  std::scoped_lock lock(mutex_);
  state_ = state_ * 214013u + 2531011u;  // wraps modulo 2^32
  return (state_ >> 16) & 0x7FFF;
}

RandSequence& ProcessRandSequence() {
  static RandSequence sequence;
  return sequence;
}

}  // namespace quensaria::configurator
