#include "shared/ndr.h"

#include <cstring>

#include "shared/bytes.h"

namespace quensaria::rpc {

void NdrWriter::Align(size_t alignment) {
  while (bytes_.size() % alignment != 0) bytes_.push_back(0);
}

void NdrWriter::PutUint16(uint16_t value) {
  Align(2);
  const size_t at = bytes_.size();
  bytes_.resize(at + 2);
  StoreLe16(bytes_.data() + at, value);
}

void NdrWriter::PutUint32(uint32_t value) {
  Align(4);
  const size_t at = bytes_.size();
  bytes_.resize(at + 4);
  StoreLe32(bytes_.data() + at, value);
}

void NdrWriter::PutBytes(std::span<const uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void NdrWriter::PutConformantBytes(std::span<const uint8_t> bytes) {
  PutUint32(static_cast<uint32_t>(bytes.size()));
  PutBytes(bytes);
}

bool NdrReader::Align(size_t alignment) {
  if (!ok_) return false;
  const size_t padded = (offset_ + alignment - 1) / alignment * alignment;
  if (padded > bytes_.size()) return Fail();
  offset_ = padded;
  return true;
}

bool NdrReader::Skip(size_t size, std::span<const uint8_t>* view) {
  if (!ok_ || size > bytes_.size() - offset_) return Fail();
  if (view != nullptr) *view = bytes_.subspan(offset_, size);
  offset_ += size;
  return true;
}

bool NdrReader::GetUint8(uint8_t& value) {
  std::span<const uint8_t> view;
  if (!Skip(1, &view)) return false;
  value = view[0];
  return true;
}

bool NdrReader::GetUint16(uint16_t& value) {
  std::span<const uint8_t> view;
  if (!Align(2) || !Skip(2, &view)) return false;
  value = LoadLe16(view.data());
  return true;
}

bool NdrReader::GetUint32(uint32_t& value) {
  std::span<const uint8_t> view;
  if (!Align(4) || !Skip(4, &view)) return false;
  value = LoadLe32(view.data());
  return true;
}

bool NdrReader::GetInt32(int32_t& value) {
  uint32_t raw;
  if (!GetUint32(raw)) return false;
  value = static_cast<int32_t>(raw);
  return true;
}

bool NdrReader::GetBytes(std::span<uint8_t> out) {
  std::span<const uint8_t> view;
  if (!Skip(out.size(), &view)) return false;
  if (!out.empty()) std::memcpy(out.data(), view.data(), out.size());
  return true;
}

}  // namespace quensaria::rpc
