// FormatImage: writes the master boot record and an empty FAT or FAT32 volume
// into an image file that already has its full length (image_geometry.h has
// the layout). Only the metadata sectors are written, through a mapped view
// of the file's first min(size, 100 MiB) bytes and positioned writes beyond
// it, so a sparse file stays sparse and the time does not grow with the size.
// Runs on the caller's thread; the file descriptor is borrowed.
#ifndef QUENSARIA_CONFIGURATOR_IMAGE_FORMAT_IMAGE_H_
#define QUENSARIA_CONFIGURATOR_IMAGE_FORMAT_IMAGE_H_

#include <cstdint>

#include "configurator/image/image_geometry.h"
#include "configurator/image/serial_numbers.h"
#include "shared/status.h"

namespace quensaria::configurator {

// Bytes FE 03 BE 7A at offset 440 of every new image.
inline constexpr uint32_t kImageDiskSignature = 0x7ABE03FE;
inline constexpr uint64_t kMappedViewLimit = 104857600;

// Returns OK, a refusal of the size (ERROR_INVALID_PARAMETER with the
// reason; nothing is written) or the system error that stopped the writing.
// A FAT volume takes the next number of `serials` as its serial number.
// REQUIRES: the file is `image_bytes` long.
Status FormatImage(int fd, ImageFileSystem file_system, uint64_t image_bytes,
                   RandSequence& serials = ProcessRandSequence());

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_IMAGE_FORMAT_IMAGE_H_
