// DiskSource: the disk one export serves, as clients see it. An image file
// or a physical drive is served as it is; a partition (volume) is served as
// a whole disk: a synthesized 63-sector header (sector 0 a master boot
// record with one active entry describing the partition, then zeros) in
// front of the partition's bytes.
//
// Opened when the export's engine is built and closed when it is destroyed.
// Kind, disk size and sector 0 never change while open. The request path
// reaches bytes only through io() and cache(), with source offsets from
// TranslateOffset; it checks ranges against disk_size() first.
#ifndef QUENSARIA_SERVICE_SOURCE_DISK_SOURCE_H_
#define QUENSARIA_SERVICE_SOURCE_DISK_SOURCE_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "service/source/read_cache.h"
#include "service/source/shared_sync.h"
#include "service/source/source_io.h"
#include "service/source/source_watch.h"
#include "service/source/write_order.h"
#include "shared/block_protocol.h"
#include "shared/management_records.h"
#include "shared/master_boot_record.h"
#include "shared/status.h"

namespace quensaria::source {

enum SourceKind : uint32_t {
  SOURCE_IMAGE_FILE = 0,
  SOURCE_PHYSICAL_DRIVE = 1,
  SOURCE_VOLUME = 2,
};

// Bytes of the synthesized header in front of a partition: 63 sectors.
inline constexpr uint64_t kVolumeHeaderSize = 63 * kSectorSize;
inline constexpr uint32_t kVolumeFirstSector = 63;
// Blocks the read cache holds beyond the export's Cache setting.
inline constexpr uint32_t kCacheBaseBlocks = 10;

// The kind the Windows-style prefixes name: "\\.\PhysicalDrive..." (any
// case) is a physical drive, "\\.\X:" for a letter X a volume. False for any
// other path, whose kind comes from what it is.
bool KindFromPrefix(std::string_view path, SourceKind& kind);

class DiskSource {
 public:
  // OpenSource: recognises the kind of config.Source, opens the I/O handle
  // and the unbuffered cache handle, learns the size (and, for a partition,
  // its type byte) and creates a read cache of config.Cache + 10 blocks.
  // Fails with the operating-system error when either handle cannot be
  // opened, and with ERROR_NOT_SUPPORTED for a pipe, a character device or
  // a socket, which hold no blocks. A size that cannot be learnt counts as
  // 0. A Source beginning with "rbd:" is an RBD image (rbd_io.h), served as
  // an image file; why it could not be opened is said on the console.
  static Result<std::unique_ptr<DiskSource>> Open(const ServerConfig& config);
  // Runs just before Open opens the source's path (an empty one: nothing).
  // Tests only.
  static void SetBeforeOpenForTesting(std::function<void()> hook);

  // A source over `io`, whose bytes number `source_size` (a partition's
  // length for SOURCE_VOLUME, whose header is then synthesized with
  // `partition_type`). For other back ends and tests.
  DiskSource(SourceKind kind, uint64_t source_size, uint8_t partition_type,
             std::unique_ptr<SourceIo> io, uint32_t cache_blocks);
  DiskSource(const DiskSource&) = delete;
  DiskSource& operator=(const DiskSource&) = delete;

  SourceKind kind() const { return kind_; }
  // Whether the source cannot be written (a read-only RBD image or a
  // snapshot): connections are then served at virtual write at most.
  bool read_only() const { return read_only_; }
  void set_read_only(bool read_only) { read_only_ = read_only; }
  // Which shared source this is (CMD_SOURCE_ID): the same for every export,
  // in any service, of one RBD image or snapshot; all zero for a file or a
  // device, which no other service serves.
  const SourceId& source_id() const { return source_id_; }
  void set_source_id(const SourceId& id) { source_id_ = id; }
  // Size of the disk clients see, in bytes.
  uint64_t disk_size() const { return disk_size_; }
  // Bytes of the disk clients see that exist only here (0 unless a volume).
  uint64_t header_size() const { return kind_ == SOURCE_VOLUME ? kVolumeHeaderSize : 0; }
  // The synthesized sector 0 of a volume (signature field 0).
  const std::array<uint8_t, kSectorSize>& sector0() const { return sector0_; }
  // Source offset of disk offset `offset`. REQUIRES: offset >= header_size().
  uint64_t TranslateOffset(uint64_t offset) const { return offset - header_size(); }

  SourceIo& io() { return *io_; }
  // Null when the cache could not be created (every lookup then misses).
  ReadCache* cache() { return cache_.get(); }
  // The export's flushes (CMD_FLUSH), on its I/O handle.
  SharedSync& sync() { return sync_; }
  // The export's writes in progress: overlapping ones land in order.
  WriteOrder& write_order() { return write_order_; }
  // What notices the source changing under the export; null for a source
  // that has no path to watch.
  SourceWatch* watch() { return watch_.get(); }
  void set_watch(std::unique_ptr<SourceWatch> watch) { watch_ = std::move(watch); }

 private:
  const SourceKind kind_;
  bool read_only_ = false;
  SourceId source_id_{};
  uint64_t disk_size_ = 0;
  std::array<uint8_t, kSectorSize> sector0_{};
  std::unique_ptr<SourceIo> io_;
  std::unique_ptr<ReadCache> cache_;
  SharedSync sync_;
  WriteOrder write_order_;
  std::unique_ptr<SourceWatch> watch_;  // uses io_'s descriptor: goes first
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_DISK_SOURCE_H_
