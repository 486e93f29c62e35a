// IoBuffer: the data of one disk request, in whole pages of its own
// (page-aligned, so that it can go to an unbuffered image file or the
// kernel without another copy), given back to the system when freed.
// Move-only; allocation failure leaves it empty (data() == nullptr), never
// throws.
//
// IoBufferPool: the buffers one device keeps between its requests, so that
// a busy device does not map and fault in fresh pages for each of them.
// Any thread. Release gives everything back (at unmount).
#ifndef QUENSARIA_DRIVER_IO_BUFFER_H_
#define QUENSARIA_DRIVER_IO_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace quensaria::driver {

class IoBuffer {
 public:
  static constexpr size_t kAlignment = 4096;

  IoBuffer() = default;
  // `size` bytes; room for `capacity` (at least `size`) to be reused later.
  explicit IoBuffer(size_t size, size_t capacity = 0);
  ~IoBuffer();
  IoBuffer(IoBuffer&& other) noexcept { *this = std::move(other); }
  IoBuffer& operator=(IoBuffer&& other) noexcept;
  IoBuffer(const IoBuffer&) = delete;
  IoBuffer& operator=(const IoBuffer&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool allocated() const { return data_ != nullptr; }
  // Uses `size` bytes of the room. REQUIRES: size <= capacity().
  void Resize(size_t size) { size_ = size; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class IoBufferPool {
 public:
  IoBufferPool() { kept_.reserve(kKept); }

  // Buffers of this room are kept; larger requests get one of their own.
  static constexpr size_t kRoom = 1 << 20;
  // At most this many are kept: one for the request being served and a few
  // for writes waiting in the queue.
  static constexpr size_t kKept = 4;

  // A buffer of `size` bytes (empty when there is no memory). The bytes are
  // those of an earlier request of this device, or zeros.
  IoBuffer Take(size_t size);
  // Keeps `buffer` for a later Take, or frees it. Never throws.
  void Give(IoBuffer buffer) noexcept;
  // Frees every buffer kept.
  void Release();
  size_t kept() const;

 private:
  mutable std::mutex mu_;
  std::vector<IoBuffer> kept_;  // guarded by mu_
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_IO_BUFFER_H_
