#include "driver/back_end.h"

#include <cstring>

namespace quensaria::driver {

NtStatus ImageBackEnd::Read(uint8_t* buffer, uint64_t offset, uint64_t length) {
  size_t done = 0;
  const NtStatus status = file_.ReadAt(buffer, static_cast<size_t>(length), offset, &done);
  if (status != STATUS_SUCCESS) return status;
  // The file was cut shorter than the disk it was mounted as.
  if (done < length) std::memset(buffer + done, 0, static_cast<size_t>(length) - done);
  return STATUS_SUCCESS;
}

NtStatus ImageBackEnd::Write(const uint8_t* buffer, uint64_t offset, uint64_t length) {
  return file_.WriteAt(buffer, static_cast<size_t>(length), offset);
}

NtStatus CacheFileStore::ReadAt(uint8_t* data, size_t length, uint64_t offset) {
  size_t done = 0;
  const NtStatus status = file_.ReadAt(data, length, offset, &done);
  if (status != STATUS_SUCCESS) return status;
  // Every slot read was written before: a short file is a lost write.
  return done == length ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
}

NetworkBackEnd::NetworkBackEnd(std::unique_ptr<DiskConnections> disk,
                               platform::BackingFile cache_file, uint64_t disk_size)
    : disk_(std::move(disk)),
      store_(std::make_unique<CacheFileStore>(std::move(cache_file))),
      cache_(std::make_unique<WriteCache>(store_.get(), disk_size)) {}

NtStatus NetworkBackEnd::Read(uint8_t* buffer, uint64_t offset, uint64_t length) {
  const NtStatus status = disk_->Read(offset, length, buffer);
  if (status != STATUS_SUCCESS || !cache_) return status;
  return cache_->CacheOverlay(buffer, offset, length);
}

NtStatus NetworkBackEnd::Write(const uint8_t* buffer, uint64_t offset, uint64_t length) {
  if (cache_) return cache_->CacheWrite(buffer, offset, length);
  return disk_->Write(offset, length, buffer);
}

}  // namespace quensaria::driver
