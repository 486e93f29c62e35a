// The create flow of the new-image dialog without its window: the checks of
// the size field, creating the file (an existing one is replaced), giving it
// its full length as a sparse file and formatting it. Runs on the caller's
// thread. Failure Statuses carry the message the user sees.
#ifndef QUENSARIA_CONFIGURATOR_IMAGE_CREATE_IMAGE_H_
#define QUENSARIA_CONFIGURATOR_IMAGE_CREATE_IMAGE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "configurator/image/image_geometry.h"
#include "configurator/image/serial_numbers.h"
#include "shared/status.h"

namespace quensaria::configurator {

inline constexpr char kMessageTooSmall[] = "The file size must greater than 8 MB";
inline constexpr char kMessageFatTooLarge[] = "The FAT file system only support as max as 4GB";
inline constexpr char kMessageCannotCreate[] = "Can't create the file %s ";
inline constexpr char kMessageSystemError[] =
    "A system error ' %s 'occured while writing data to this file .";
inline constexpr char kMessageComplete[] = "Create complete!";

inline constexpr uint64_t kMebibyte = 1048576;
inline constexpr uint64_t kMinimumImageMib = 8;
inline constexpr uint64_t kFatFieldLimitMib = 4096;  // the field's own bound for FAT
inline constexpr int kProgressSteps = 10;            // the progress bar's range

struct SizeCheck {
  bool ok = true;
  std::string message;         // why the size is refused
  uint64_t corrected_mib = 0;  // the nearest size that is accepted: the field's new value
};

// Checks the size field (MiB) for the file system; nothing is touched.
SizeCheck CheckImageSize(uint64_t size_mib, ImageFileSystem file_system);

// Checks the size, creates `path` and formats it, then syncs the file and
// its folder. On a refused size nothing is created; on a failure later an
// existing file at `path` is left as it was (unless its folder kept it from
// being replaced, so that it was written in place) and no new file stays.
Status CreateImage(const std::string& path, uint64_t size_mib, ImageFileSystem file_system,
                   RandSequence& serials = ProcessRandSequence());

// Tests: `sync` stands in for the fsync of the image's folder (0, or -1
// with errno set); null gives the real one back.
void SetFolderSyncForTesting(std::function<int(int fd)> sync);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_IMAGE_CREATE_IMAGE_H_
