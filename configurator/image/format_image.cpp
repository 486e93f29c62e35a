#include "configurator/image/format_image.h"

#include <algorithm>
#include <array>
#include <functional>
#include <span>

#include "configurator/image/volume_sectors.h"
#include "platform/mapped_file.h"
#include "shared/master_boot_record.h"
#include "shared/win32_error.h"

namespace quensaria::configurator {
namespace {

using platform::MappedView;

// Places bytes in the image: inside the mapped view through it, elsewhere
// with a positioned write.
class ImageWriter {
 public:
  ImageWriter(int fd, MappedView& view) : fd_(fd), view_(view) {}

  Status Put(uint64_t offset, std::span<const uint8_t> data) {
    if (offset + data.size() <= view_.size()) return view_.Write(static_cast<size_t>(offset), data);
    return platform::WriteAt(fd_, offset, data);
  }

 private:
  int fd_;
  MappedView& view_;
};

// Byte offset in the image of a volume sector of `sector_size` bytes.
uint64_t VolumeOffset(uint64_t sector, uint32_t sector_size) {
  return kPartitionOffset + sector * sector_size;
}

Status WriteMasterBootRecord(ImageWriter& out, uint8_t partition_type, uint64_t image_bytes) {
  PartitionEntry entry;
  entry.type = partition_type;
  entry.first_sector = kPartitionFirstSector;
  entry.sector_count = static_cast<uint32_t>(image_bytes / kSectorSize - kPartitionFirstSector);
  std::array<uint8_t, kSectorSize> sector;
  BuildMasterBootRecord(kImageDiskSignature, entry, sector.data());
  return out.Put(0, sector);
}

Status WriteFatVolume(ImageWriter& out, const FatGeometry& g, uint32_t serial) {
  Status s = out.Put(kPartitionOffset, FatBootSector(g, serial));
  for (uint32_t fat = 0; s.ok() && fat < kFatCount; ++fat) {
    s = out.Put(VolumeOffset(g.FatSector(fat), kFatBytesPerSector), FatHead(g.fat_bits));
  }
  if (s.ok()) s = out.Put(VolumeOffset(g.RootSector(), kFatBytesPerSector), VolumeLabelEntry());
  return s;
}

Status WriteFat32Volume(ImageWriter& out, const Fat32Geometry& g) {
  const Sector boot = Fat32BootSector(g);
  const Sector info = FsInfoSector();
  const Sector signature = SignatureSector();
  const std::array<uint8_t, 32> label = VolumeLabelEntry();
  struct Placement {
    uint64_t sector;
    std::span<const uint8_t> bytes;
  };
  // The boot sector's backup copy starts at sector 6: boot, FSInfo, signature.
  const Placement placements[] = {
      {0, boot},
      {kFat32FsInfoSector, info},
      {2, signature},
      {kFat32BackupBootSector, boot},
      {kFat32BackupBootSector + 1, info},
      {kFat32BackupBootSector + 2, signature},
      {g.FatSector(0), FatHead(32)},
      {g.FatSector(1), FatHead(32)},
      {g.RootSector(), label},
  };
  for (const Placement& p : placements) {
    Status s = out.Put(VolumeOffset(p.sector, kSectorSize), p.bytes);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

// Maps the view, writes the master boot record and then the volume, and
// brings it all to storage.
Status WriteImage(int fd, uint64_t image_bytes, uint8_t partition_type,
                  const std::function<Status(ImageWriter&)>& write_volume) {
  Result<MappedView> view =
      MappedView::Map(fd, static_cast<size_t>(std::min(image_bytes, kMappedViewLimit)));
  if (!view.ok()) return view.status();
  ImageWriter out(fd, *view);
  Status s = WriteMasterBootRecord(out, partition_type, image_bytes);
  if (s.ok()) s = write_volume(out);
  if (s.ok()) s = view->Flush();
  if (s.ok()) s = platform::SyncFile(fd);
  return s;
}

}  // namespace

Status FormatImage(int fd, ImageFileSystem file_system, uint64_t image_bytes,
                   RandSequence& serials) {
  switch (file_system) {
    case ImageFileSystem::kFat: {
      Result<FatGeometry> g = PlanFatVolume(image_bytes);
      if (!g.ok()) return g.status();
      return WriteImage(fd, image_bytes, kPartitionTypeFat,
                        [&](ImageWriter& out) { return WriteFatVolume(out, *g, serials.Next()); });
    }
    case ImageFileSystem::kFat32: {
      Result<Fat32Geometry> g = PlanFat32Volume(image_bytes);
      if (!g.ok()) return g.status();
      return WriteImage(fd, image_bytes, kPartitionTypeFat32,
                        [&](ImageWriter& out) { return WriteFat32Volume(out, *g); });
    }
  }
  return Status(ERROR_INVALID_PARAMETER, "unknown file system");
}

}  // namespace quensaria::configurator
