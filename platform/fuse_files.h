// FuseFileSystem: a flat directory of fixed files served through the FUSE
// low-level interface (libfuse3), for device files whose reads, writes,
// ioctls and syncs are answered by a FuseFileHandler.
//
// Threads started by Start() (FuseFilesOptions::threads of them) read kernel
// requests and call the handler, so a handler call that takes long holds up
// only its own thread; the handler may answer at once or keep the FuseReply
// and answer later from any thread, exactly once. The file names are fixed at mount;
// sizes and modes are asked from the handler on every stat (no attribute
// caching), so they may change at any time. Files are served with direct I/O
// (no kernel page cache) unless the options ask for the page cache, in which
// case the owner calls Invalidate whenever a file's contents change under it.
#ifndef QUENSARIA_PLATFORM_FUSE_FILES_H_
#define QUENSARIA_PLATFORM_FUSE_FILES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/thread_identity.h"
#include "shared/status.h"

struct fuse_session;

namespace quensaria::platform {

struct FuseFileAttributes {
  uint64_t size = 0;
  uint32_t mode = 0;  // permission bits
  uint32_t uid = 0;
  uint32_t gid = 0;
};

// One kernel request waiting for its answer. Move-only; a reply dropped
// without an answer answers EIO, so no caller ever hangs.
class FuseReply {
 public:
  FuseReply() = default;
  FuseReply(FuseReply&& other) noexcept : request_(std::exchange(other.request_, nullptr)) {}
  FuseReply& operator=(FuseReply&& other) noexcept;
  FuseReply(const FuseReply&) = delete;
  FuseReply& operator=(const FuseReply&) = delete;
  ~FuseReply() { Error(5 /* EIO */); }

  // Read data (the kernel copies it before this returns).
  void Data(const uint8_t* data, size_t length);
  void Written(size_t length);
  // A positive errno, or 0 for success of a request without data (sync).
  void Error(int error_number);
  // Successful ioctl with `length` bytes of output.
  void Ioctl(const void* data, size_t length);

  // The requesting process's identity (user, group, supplementary groups).
  // REQUIRES: called inside the handler call that received this reply.
  CallerIdentity Caller() const;

 private:
  friend class FuseFileSystem;
  explicit FuseReply(void* request) : request_(request) {}
  void* request_ = nullptr;  // fuse_req_t
};

class FuseFileHandler {
 public:
  virtual ~FuseFileHandler() = default;
  // Calls come from the request threads, several at a time, and must not
  // wait for other kernel requests. `file` indexes FuseFilesOptions::names.
  virtual FuseFileAttributes Attributes(size_t file) = 0;
  virtual void Read(size_t file, uint64_t offset, size_t length, FuseReply reply) = 0;
  // `data` lives only during the call: keep a copy, not the span.
  virtual void Write(size_t file, uint64_t offset, std::span<const uint8_t> data,
                     FuseReply reply) = 0;
  // A restricted ioctl: the kernel copied the argument's encoded size in,
  // and copies up to `output_room` bytes of the answer back. `readable` and
  // `writable` tell how the caller opened the file.
  virtual void Ioctl(size_t file, uint32_t command, std::span<const uint8_t> input,
                     size_t output_room, bool readable, bool writable, FuseReply reply) = 0;
  virtual void Sync(size_t file, FuseReply reply) = 0;
};

struct FuseFilesOptions {
  std::vector<std::string> names;
  bool page_cache = false;
  std::string fs_name = "velmoran";
  // Request threads.
  int threads = 1;
};

class FuseFileSystem {
 public:
  // Mounts at `mountpoint` (an existing directory), readable by every user;
  // the files' own modes decide who may open them. `handler` must outlive
  // the file system.
  static Result<std::unique_ptr<FuseFileSystem>> Mount(const std::string& mountpoint,
                                                       FuseFilesOptions options,
                                                       FuseFileHandler* handler);
  ~FuseFileSystem();
  FuseFileSystem(const FuseFileSystem&) = delete;
  FuseFileSystem& operator=(const FuseFileSystem&) = delete;

  // Starts the request threads. `on_end` runs once, on one of them, if they
  // end by themselves (the file system was unmounted from outside). Installs
  // a handler for SIGUSR1, which Stop and ReleaseIdleMemory use to wake the
  // threads; it reaches a thread only while it waits for a request.
  void Start(std::function<void()> on_end = {});
  // Stops the request threads and unmounts; requests still in the kernel
  // fail. REQUIRES: no FuseReply of this file system is still unanswered.
  void Stop();

  // Drops the kernel's cached pages and attributes of `file`. May block on
  // reads in flight: never call it from a thread those reads wait for.
  void Invalidate(size_t file);

  // Has every request thread give back its request buffer (as large as the
  // largest write the kernel sends, 1 MiB, and resident once one came):
  // threads waiting for a request do so now, the others once their request
  // is answered. Waits at most a tenth of a second. Not concurrent with Stop.
  void ReleaseIdleMemory();

  const std::string& mountpoint() const { return mountpoint_; }
  std::string PathOf(size_t file) const { return mountpoint_ + "/" + options_.names[file]; }
  // How many open file descriptions of `file` the kernel holds (programs,
  // loop devices), as its opens and releases say. Any thread.
  int OpenCount(size_t file) const { return opens_[file].load(); }

  // Detaches a FUSE file system left mounted at `mountpoint` by a process
  // that died. Success when nothing was mounted there.
  static Status ClearStaleMount(const std::string& mountpoint);

 private:
  struct Callbacks;
  FuseFileSystem(std::string mountpoint, FuseFilesOptions options, FuseFileHandler* handler)
      : mountpoint_(std::move(mountpoint)),
        options_(std::move(options)),
        handler_(handler),
        opens_(new std::atomic<int>[options_.names.size()]()) {}

  std::string mountpoint_;
  FuseFilesOptions options_;
  FuseFileHandler* handler_;
  fuse_session* session_ = nullptr;
  std::unique_ptr<std::atomic<int>[]> opens_;  // per file
  void Loop(size_t index);

  // Start fills these while holding threads_mu_, then they stay as they are
  // until Stop; ReleaseIdleMemory reads them under the same lock.
  std::mutex threads_mu_;
  std::vector<std::thread> threads_;
  std::unique_ptr<std::atomic<bool>[]> thread_done_;
  // Per thread: waiting for a request (the wake signal may land only then),
  // and the release generation it has carried out.
  std::unique_ptr<std::atomic<bool>[]> thread_waiting_;
  std::unique_ptr<std::atomic<uint64_t>[]> thread_released_;
  std::atomic<uint64_t> release_generation_{0};
  std::function<void()> on_end_;
  std::atomic<bool> ended_{false};
  std::atomic<bool> stopping_{false};
  bool mounted_ = false;
  int64_t mounted_at_ = 0;  // seconds since the epoch: every time stamp
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_FUSE_FILES_H_
