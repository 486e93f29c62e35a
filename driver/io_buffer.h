// IoBuffer: the data of one disk request, page-aligned so that it can go to
// an unbuffered image file or the kernel without another copy. Move-only;
// allocation failure leaves it empty (data() == nullptr), never throws.
#ifndef QUENSARIA_DRIVER_IO_BUFFER_H_
#define QUENSARIA_DRIVER_IO_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace quensaria::driver {

class IoBuffer {
 public:
  static constexpr size_t kAlignment = 4096;

  IoBuffer() = default;
  explicit IoBuffer(size_t size)
      : data_(size == 0 ? nullptr
                        : static_cast<uint8_t*>(std::aligned_alloc(
                              kAlignment, (size + kAlignment - 1) / kAlignment * kAlignment))),
        size_(data_ ? size : 0) {}

  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  bool allocated() const { return data_ != nullptr; }

 private:
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t, Free> data_;
  size_t size_ = 0;
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_IO_BUFFER_H_
