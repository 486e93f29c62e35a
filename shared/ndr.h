// NDR 2.0 with little-endian integers, the subset the management interface
// and the DCE/RPC headers need: 8/16/32-bit scalars aligned to their size
// relative to the start of the buffer, raw bytes, and conformant byte arrays
// (a 32-bit element count followed by the bytes).
//
// NdrReader never reads past its span: every Get returns false instead, and
// the reader stays failed. Padding bytes are skipped, not checked.
#ifndef QUENSARIA_SHARED_NDR_H_
#define QUENSARIA_SHARED_NDR_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quensaria::rpc {

class NdrWriter {
 public:
  void Align(size_t alignment);
  void PutUint8(uint8_t value) { bytes_.push_back(value); }
  void PutUint16(uint16_t value);
  void PutUint32(uint32_t value);
  void PutInt32(int32_t value) { PutUint32(static_cast<uint32_t>(value)); }
  void PutBytes(std::span<const uint8_t> bytes);
  void PutConformantBytes(std::span<const uint8_t> bytes);

  size_t size() const { return bytes_.size(); }
  std::vector<uint8_t>& bytes() { return bytes_; }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

class NdrReader {
 public:
  explicit NdrReader(std::span<const uint8_t> bytes, size_t offset = 0)
      : bytes_(bytes), offset_(offset) {}

  bool Align(size_t alignment);
  bool GetUint8(uint8_t& value);
  bool GetUint16(uint16_t& value);
  bool GetUint32(uint32_t& value);
  bool GetInt32(int32_t& value);
  bool GetBytes(std::span<uint8_t> out);
  // Views the next `size` bytes without copying.
  bool Skip(size_t size, std::span<const uint8_t>* view = nullptr);

  size_t offset() const { return offset_; }
  size_t remaining() const { return ok_ ? bytes_.size() - offset_ : 0; }
  bool ok() const { return ok_; }

 private:
  bool Fail() { return ok_ = false; }

  std::span<const uint8_t> bytes_;
  size_t offset_;
  bool ok_ = true;
};

}  // namespace quensaria::rpc

#endif  // QUENSARIA_SHARED_NDR_H_
