#include "configurator/image/create_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "configurator/image/format_image.h"
#include "platform/errors.h"
#include "platform/mapped_file.h"
#include "shared/win32_error.h"

namespace quensaria::configurator {
namespace {

constexpr uint64_t kLargestImageMib = kImageSizeLimit / kMebibyte - 1;

// The message with `value` in place of its "%s".
std::string FillIn(const char* message, const std::string& value) {
  std::string text = message;
  size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

// Empty when the volume of `size_mib` can be made, else why not.
std::string VolumeRefusal(uint64_t size_mib, ImageFileSystem file_system) {
  if (size_mib > kLargestImageMib) return PlanFat32Volume(kImageSizeLimit).status().message();
  uint64_t bytes = size_mib * kMebibyte;
  Status s = file_system == ImageFileSystem::kFat ? PlanFatVolume(bytes).status()
                                                  : PlanFat32Volume(bytes).status();
  return s.message();
}

// The accepted size nearest to `from` (the larger one on a tie), searching
// from kMinimumImageMib to `limit`.
uint64_t NearestAccepted(uint64_t from, uint64_t limit, ImageFileSystem file_system) {
  from = std::clamp(from, kMinimumImageMib, limit);
  for (uint64_t distance = 0; distance <= limit; ++distance) {
    if (from + distance <= limit && VolumeRefusal(from + distance, file_system).empty()) {
      return from + distance;
    }
    if (from >= kMinimumImageMib + distance &&
        VolumeRefusal(from - distance, file_system).empty()) {
      return from - distance;
    }
  }
  return kMinimumImageMib;
}

std::function<int(int)>& FolderSync() {
  static std::function<int(int)> sync;
  return sync;
}

// The file's name (and the old file's removal) is in its folder's entries,
// which the file's own fsync does not write: without this, a power cut can
// lose an image reported made. A file system that cannot sync folders
// (EINVAL) has nothing more to do.
Status SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  int fd;
  while ((fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0 && errno == EINTR) {
  }
  // A folder the caller may write but not read cannot be synced by him.
  if (fd < 0 && errno == EACCES) return Status::Ok();
  if (fd < 0) return Status(platform::Win32ErrorFromErrno(errno), std::strerror(errno));
  platform::UniqueFd dir(fd);
  for (;;) {
    const int synced = FolderSync() ? FolderSync()(dir.get()) : fsync(dir.get());
    if (synced == 0 || errno == EINVAL) return Status::Ok();
    if (errno != EINTR) return Status(platform::Win32ErrorFromErrno(errno), std::strerror(errno));
  }
}

}  // namespace

void SetFolderSyncForTesting(std::function<int(int fd)> sync) { FolderSync() = std::move(sync); }

SizeCheck CheckImageSize(uint64_t size_mib, ImageFileSystem file_system) {
  uint64_t limit = file_system == ImageFileSystem::kFat ? kFatFieldLimitMib : kLargestImageMib;
  if (size_mib < kMinimumImageMib) return {false, kMessageTooSmall, kMinimumImageMib};
  if (file_system == ImageFileSystem::kFat && size_mib > kFatFieldLimitMib) {
    return {false, kMessageFatTooLarge, NearestAccepted(size_mib, limit, file_system)};
  }
  std::string refusal = VolumeRefusal(size_mib, file_system);
  if (!refusal.empty()) return {false, refusal, NearestAccepted(size_mib, limit, file_system)};
  return {true, "", size_mib};
}

Status CreateImage(const std::string& path, uint64_t size_mib, ImageFileSystem file_system,
                   RandSequence& serials) {
  SizeCheck check = CheckImageSize(size_mib, file_system);
  if (!check.ok) return Status(ERROR_INVALID_PARAMETER, check.message);

  // Made beside an existing file and put in its place only once complete:
  // a failure part way (a full disk) leaves the old image as it was.
  Result<platform::ReplacingFile> file = platform::ReplacingFile::Create(path);
  if (!file.ok()) return Status(file.status().code(), FillIn(kMessageCannotCreate, path));

  uint64_t bytes = size_mib * kMebibyte;
  Status s = platform::SetFileLength(file->fd(), bytes);
  if (s.ok()) s = FormatImage(file->fd(), file_system, bytes, serials);
  if (s.ok()) s = file->Commit([&path] { return SyncFolderOf(path); });
  if (!s.ok()) return Status(s.code(), FillIn(kMessageSystemError, s.message()));
  return Status::Ok();
}

}  // namespace quensaria::configurator
