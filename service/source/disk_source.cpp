#include "service/source/disk_source.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "platform/block_device.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/source_file.h"
#include "service/source/file_io.h"
#include "service/source/rbd_io.h"
#include "shared/win32_error.h"

namespace quensaria::source {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// What the I/O handle has open, not whatever the path names by now; the
// Windows-style prefixes still name their kinds.
SourceKind KindOf(const std::string& path, const struct stat& opened) {
  SourceKind kind;
  if (KindFromPrefix(path, kind)) return kind;
  if (!S_ISBLK(opened.st_mode)) return SOURCE_IMAGE_FILE;
  return platform::IsPartition(major(opened.st_rdev), minor(opened.st_rdev))
             ? SOURCE_VOLUME
             : SOURCE_PHYSICAL_DRIVE;
}

// A pipe, a character device or a socket holds no blocks (its size reads
// as 0 and every transfer fails), and opening one may wait for a peer or
// set a device going: looked at before the open, and again after it, on
// what was opened.
bool IsStream(mode_t mode) { return S_ISFIFO(mode) || S_ISCHR(mode) || S_ISSOCK(mode); }

Status NotADisk(const std::string& path) {
  platform::ConsoleLog(platform::ConsolePriority::kError,
                       "%.150s: cannot be served: neither a file nor a block device\n",
                       path.c_str());
  return Status(ERROR_NOT_SUPPORTED, path + " is neither a file nor a block device");
}

// Said, as the engine that fails to start for it says nothing more.
Status CannotServe(const std::string& path, const Status& status) {
  platform::ConsoleLog(platform::ConsolePriority::kError, "%.150s: cannot be served: %.330s\n",
                       path.c_str(), status.message().c_str());
  return status;
}

std::function<void()>& BeforeOpen() {
  static std::function<void()> hook;
  return hook;
}

uint32_t CacheBlocks(const ServerConfig& config) {
  const uint32_t extra = config.Cache > 0 ? static_cast<uint32_t>(config.Cache) : 0;
  return extra + kCacheBaseBlocks;
}

Result<std::unique_ptr<DiskSource>> OpenRbd(const std::string& source, const ServerConfig& config) {
  Result<RbdName> name = ParseRbdSource(source);
  Result<std::unique_ptr<RbdIo>> io =
      name.ok() ? RbdIo::Open(*name, GetCephSettings(), ExporterText(config.Port)) : name.status();
  if (!io.ok()) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "%.150s: cannot be served: %.330s\n",
                         source.c_str(), io.status().message().c_str());
    return io.status();
  }
  const uint64_t size = (*io)->size();
  const bool read_only = (*io)->read_only();
  const SourceId identity = (*io)->identity();
  auto disk = std::make_unique<DiskSource>(SOURCE_IMAGE_FILE, size, 0, std::move(io).value(),
                                           CacheBlocks(config));
  disk->set_read_only(read_only);
  disk->set_source_id(identity);
  // A writable export and read-only ones of the image, side by side: the
  // writes of the one must reach the caches of the others.
  const bool known =
      std::any_of(identity.begin(), identity.end(), [](uint8_t b) { return b != 0; });
  if (known && disk->cache() != nullptr) disk->cache()->ShareWritesWith(identity);
  return disk;
}

}  // namespace

bool KindFromPrefix(std::string_view path, SourceKind& kind) {
  if (StartsWithNoCase(path, "\\\\.\\Physicaldrive")) {
    kind = SOURCE_PHYSICAL_DRIVE;
    return true;
  }
  if (path.size() >= 6 && StartsWithNoCase(path, "\\\\.\\") && path[5] == ':' &&
      std::isalpha(static_cast<unsigned char>(path[4]))) {
    kind = SOURCE_VOLUME;
    return true;
  }
  return false;
}

Result<std::unique_ptr<DiskSource>> DiskSource::Open(const ServerConfig& config) {
  const std::string path(config.Source, strnlen(config.Source, sizeof config.Source));
  if (IsRbdSource(path)) return OpenRbd(path, config);
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && IsStream(st.st_mode)) return NotADisk(path);
  if (BeforeOpen()) BeforeOpen()();
  Result<std::unique_ptr<FileIo>> io = FileIo::Open(path);
  if (!io.ok()) return CannotServe(path, io.status());
  if (::fstat((*io)->io_fd(), &st) != 0)
    return CannotServe(path, platform::ErrnoStatus("stat " + path, errno));
  if (IsStream(st.st_mode)) return NotADisk(path);
  const SourceKind kind = KindOf(path, st);
  const Result<uint64_t> size = platform::SizeOf((*io)->io_fd());
  const int fd = (*io)->io_fd();
  // Of the partition opened, not of whatever the path names by now.
  const uint8_t type = kind == SOURCE_VOLUME
                           ? platform::PartitionTypeByte("/proc/self/fd/" + std::to_string(fd))
                           : 0;
  auto source = std::make_unique<DiskSource>(kind, size.ok() ? size.value() : 0, type,
                                             std::move(io).value(), CacheBlocks(config));
  source->set_watch(std::make_unique<SourceWatch>(path, fd, size.ok() ? size.value() : 0));
  // Another export of the same file writes it too, and so does one of the
  // whole disk of a partition, at the partition's offset on it.
  Result<platform::FileIdentity> identity = platform::IdentityOf(fd);
  if (source->cache() != nullptr && identity.ok()) {
    platform::PartitionPlace place;
    if (S_ISBLK(st.st_mode) &&
        platform::PlaceOfPartition(major(st.st_rdev), minor(st.st_rdev), place)) {
      identity.value().device = place.disk;
      source->cache()->ShareWritesWith(identity.value(), place.first_byte,
                                       size.ok() ? size.value() : UINT64_MAX, st.st_rdev);
    } else {
      source->cache()->ShareWritesWith(identity.value());
    }
  }
  return source;
}

void DiskSource::SetBeforeOpenForTesting(std::function<void()> hook) {
  BeforeOpen() = std::move(hook);
}

DiskSource::DiskSource(SourceKind kind, uint64_t source_size, uint8_t partition_type,
                       std::unique_ptr<SourceIo> io, uint32_t cache_blocks)
    : kind_(kind), io_(std::move(io)), sync_(*io_) {
  disk_size_ = source_size + header_size();
  if (kind_ == SOURCE_VOLUME) {
    // An entry holds 32 bits of sectors: a larger partition claims the most
    // it can, not the remainder of a wrapped count.
    const uint64_t sectors = std::min<uint64_t>(source_size / kSectorSize, UINT32_MAX);
    const PartitionEntry entry{partition_type, kVolumeFirstSector, static_cast<uint32_t>(sectors)};
    BuildMasterBootRecord(0, entry, sector0_.data());
  }
  cache_.reset(new (std::nothrow) ReadCache(cache_blocks, *io_));
}

}  // namespace quensaria::source
