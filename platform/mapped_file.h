// Files written the way disk images are created: made beside the file they
// replace and put in its place once complete, given their full length in
// one step (the new part is a hole and takes no space), then written
// through a shared mapping of their first part and positioned writes
// beyond it. Used by one thread at a time (the configurator's).
//
// Failures are Statuses whose message is the system's own text for the error
// ("No space left on device"), since callers show it to the user as is.
#ifndef QUENSARIA_PLATFORM_MAPPED_FILE_H_
#define QUENSARIA_PLATFORM_MAPPED_FILE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>

#include "platform/unique_fd.h"
#include "shared/status.h"

namespace quensaria::platform {

// A new file that is to replace whatever is at a path: made under a
// temporary name in the same folder and put at the path only by Commit, so
// that a failure part way leaves the old file as it was. Move-only; one
// never committed is removed on destruction.
class ReplacingFile {
 public:
  // Creates the new file for reading and writing (mode 0666 less the
  // umask, the caller's). An existing file or symbolic link at `path` is
  // replaced on Commit, never written through. Anything else there (a
  // directory, a device) is opened as it is, and refused later; so is a
  // file its folder keeps (no right to replace it), which is truncated and
  // written in place.
  static Result<ReplacingFile> Create(const std::string& path);

  ReplacingFile(ReplacingFile&& other) noexcept;
  ReplacingFile& operator=(ReplacingFile&& other) noexcept;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile();

  int fd() const { return fd_.get(); }
  // True when the file is the one at the path, written in place.
  bool in_place() const { return temporary_.empty(); }

  // Syncs the file, puts it at the path and calls `sync_folder` (which
  // makes the folder's entries durable). When that fails the old file is
  // put back where it can be, and the new one removed.
  Status Commit(const std::function<Status()>& sync_folder);

 private:
  ReplacingFile(std::string path, std::string temporary, UniqueFd fd)
      : path_(std::move(path)), temporary_(std::move(temporary)), fd_(std::move(fd)) {}
  void Abandon();

  std::string path_;
  std::string temporary_;  // the new file's name until Commit; empty in place
  UniqueFd fd_;
};

// Sets the length of the file; bytes past the old end read as zeros and take
// no space until written.
Status SetFileLength(int fd, uint64_t length);

// Writes all of `data` at byte `offset`.
Status WriteAt(int fd, uint64_t offset, std::span<const uint8_t> data);

// Writes the file's data and metadata through to its storage.
Status SyncFile(int fd);

// Bytes of storage the file occupies (its allocated blocks).
Result<uint64_t> AllocatedBytes(int fd);

// A shared, writable mapping of the first bytes of a file. Move-only; unmaps
// on destruction without flushing. The file descriptor is borrowed and must
// stay open while the view lives.
class MappedView {
 public:
  // REQUIRES: the file is at least `length` bytes long; length > 0.
  static Result<MappedView> Map(int fd, size_t length);

  MappedView(MappedView&& other) noexcept;
  MappedView& operator=(MappedView&& other) noexcept;
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView();

  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }

  // Copies `data` into the view at `offset`. The file's storage for those
  // pages is reserved first, so a full file system is an error here rather
  // than a fault on the store. REQUIRES: offset + data.size() <= size().
  Status Write(size_t offset, std::span<const uint8_t> data);

  // Writes the changed pages back to the file.
  Status Flush();

 private:
  MappedView(int fd, uint8_t* data, size_t size) : fd_(fd), data_(data), size_(size) {}
  void Unmap();

  int fd_ = -1;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_MAPPED_FILE_H_
