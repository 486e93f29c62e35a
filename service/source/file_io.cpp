#include "service/source/file_io.h"

#include <cerrno>
#include <utility>

#include "platform/errors.h"
#include "platform/source_file.h"

namespace quensaria::source {
namespace {

std::function<void()>& BetweenOpens() {
  static std::function<void()> hook;
  return hook;
}

IoResult FromTransfer(const platform::Transfer& t) {
  if (t.error != 0) return IoResult{0, platform::Win32ErrorFromErrno(t.error), false};
  return IoResult{t.bytes, 0, false};
}

// A no-wait transfer: EAGAIN means "not without waiting"; EOPNOTSUPP means
// "never", and turns further attempts off.
IoResult FromNoWait(const platform::Transfer& t, std::atomic<bool>& enabled) {
  if (t.error == EOPNOTSUPP) enabled.store(false, std::memory_order_relaxed);
  if (t.error == EAGAIN || t.error == EOPNOTSUPP) return IoResult{0, 0, true};
  return FromTransfer(t);
}

}  // namespace

Result<std::unique_ptr<FileIo>> FileIo::Open(const std::string& path) {
  Result<platform::UniqueFd> io = platform::OpenReadWrite(path);
  if (!io.ok()) return io.status();
  if (BetweenOpens()) BetweenOpens()();
  bool direct = false;
  // The file the I/O handle has open, not whatever the path names by now.
  Result<platform::UniqueFd> cache = platform::ReopenUnbuffered(io.value().get(), path, direct);
  if (!cache.ok()) return cache.status();
  return std::unique_ptr<FileIo>(
      new FileIo(std::move(io).value(), std::move(cache).value(), direct));
}

void FileIo::SetBetweenOpensForTesting(std::function<void()> hook) {
  BetweenOpens() = std::move(hook);
}

FileIo::FileIo(platform::UniqueFd io, platform::UniqueFd cache, bool direct)
    : io_(std::move(io)), cache_(std::move(cache)), direct_(direct) {}

IoResult FileIo::Read(uint64_t offset, uint8_t* data, size_t length) {
  return FromTransfer(platform::ReadAt(io_.get(), offset, data, length));
}

IoResult FileIo::Write(uint64_t offset, const uint8_t* data, size_t length) {
  return FromTransfer(platform::WriteAt(io_.get(), offset, data, length));
}

IoResult FileIo::TryRead(uint64_t offset, uint8_t* data, size_t length) {
  if (!read_nowait_.load(std::memory_order_relaxed)) return IoResult{0, 0, true};
  return FromNoWait(platform::ReadAtNoWait(io_.get(), offset, data, length), read_nowait_);
}

IoResult FileIo::TryWrite(uint64_t offset, const uint8_t* data, size_t length) {
  if (!write_nowait_.load(std::memory_order_relaxed)) return IoResult{0, 0, true};
  return FromNoWait(platform::WriteAtNoWait(io_.get(), offset, data, length), write_nowait_);
}

IoResult FileIo::CacheRead(uint64_t offset, uint8_t* data, size_t length) {
  return FromTransfer(platform::ReadAt(cache_.get(), offset, data, length));
}

uint32_t FileIo::Flush() {
  const int error = platform::SyncData(io_.get());
  return error == 0 ? 0 : platform::Win32ErrorFromErrno(error);
}

uint32_t FileIo::WriteOut(uint64_t offset, uint64_t length) {
  const int error = platform::WriteOutRange(io_.get(), offset, length);
  return error == 0 ? 0 : platform::Win32ErrorFromErrno(error);
}

uint32_t FileIo::DropCached(uint64_t offset, uint64_t length) {
  const int error = platform::DropCachedRange(io_.get(), offset, length);
  return error == 0 ? 0 : platform::Win32ErrorFromErrno(error);
}

uint32_t FileIo::Associate() {
  const int error = platform::CheckReadWrite(io_.get());
  return error == 0 ? 0 : platform::Win32ErrorFromErrno(error);
}

}  // namespace quensaria::source
