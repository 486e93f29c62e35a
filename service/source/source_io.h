// SourceIo: the bytes of one disk source as the request path and the read
// cache reach them. The file implementation runs on the source's two
// handles; tests put an in-memory disk behind it, or one that fails, reads
// short or fills up.
//
// Offsets are source offsets (a partition's own offsets, not the disk the
// client sees); callers check ranges, implementations trust them. Every call
// carries its own offset, so any thread may call at any time.
#ifndef QUENSARIA_SERVICE_SOURCE_SOURCE_IO_H_
#define QUENSARIA_SERVICE_SOURCE_SOURCE_IO_H_

#include <cstddef>
#include <cstdint>

namespace quensaria::source {

// The outcome of one transfer. `bytes` may be fewer than asked (0 means the
// source ends there); `error` is a Win32 error code (0 = none);
// `would_block` says a no-wait call did nothing because it would have had to
// wait for the device.
struct IoResult {
  size_t bytes = 0;
  uint32_t error = 0;
  bool would_block = false;
};

class SourceIo {
 public:
  virtual ~SourceIo() = default;

  // The I/O handle: one positioned transfer, which may block on the device.
  virtual IoResult Read(uint64_t offset, uint8_t* data, size_t length) = 0;
  virtual IoResult Write(uint64_t offset, const uint8_t* data, size_t length) = 0;

  // The same, but only when it can finish without waiting for the device;
  // otherwise {would_block = true} and nothing moved.
  virtual IoResult TryRead(uint64_t offset, uint8_t* data, size_t length) = 0;
  virtual IoResult TryWrite(uint64_t offset, const uint8_t* data, size_t length) = 0;
  // Whether a TryRead that says would_block means the bytes need the device
  // (false: no-wait reads are not available, so it says so of every read).
  virtual bool NoWaitReads() const = 0;

  // The cache handle: an unbuffered synchronous read into `data`, which is
  // aligned to platform::kDirectIoAlignment.
  virtual IoResult CacheRead(uint64_t offset, uint8_t* data, size_t length) = 0;

  // Makes every write that completed before the call durable (on stable
  // storage, past any volatile cache of the device). Blocks; a Win32 error
  // code, 0 on success. After a failure, writes that completed before it may
  // be lost even if a later call succeeds.
  virtual uint32_t Flush() = 0;

  // For sources whose bytes another source reaches through a page cache of
  // its own (a partition and its whole disk): puts the bytes written in the
  // range on the device, and forgets what is cached of the range, so each
  // sees the other's writes. Blocks; a Win32 error code, 0 on success.
  virtual uint32_t WriteOut(uint64_t /*offset*/, uint64_t /*length*/) { return 0; }
  virtual uint32_t DropCached(uint64_t /*offset*/, uint64_t /*length*/) { return 0; }

  // Readies the I/O handle for the engine's file workers. A failure ends
  // the engine before it serves.
  virtual uint32_t Associate() = 0;
  // A number naming the I/O handle in log lines.
  virtual int HandleValue() const = 0;
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_SOURCE_IO_H_
