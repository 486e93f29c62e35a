#define FUSE_USE_VERSION 312
#include "platform/fuse_files.h"

#include <fcntl.h>
#include <fuse3/fuse_lowlevel.h>
#include <linux/fuse.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>

#include "platform/errors.h"
#include "platform/mount_table.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

constexpr fuse_ino_t kFirstFileInode = FUSE_ROOT_ID + 1;
// Names never change, attributes always may.
constexpr double kEntryTimeout = 86400.0;
constexpr double kAttrTimeout = 0.0;
// Interrupts the request thread's read of /dev/fuse when stopping.
constexpr int kWakeSignal = SIGUSR1;

fuse_req_t Req(void* request) { return static_cast<fuse_req_t>(request); }

void NoOpHandler(int) {}

void InstallWakeHandler() {
  struct sigaction action {};
  action.sa_handler = NoOpHandler;  // no SA_RESTART: the read must fail with EINTR
  sigemptyset(&action.sa_mask);
  ::sigaction(kWakeSignal, &action, nullptr);
}

// The canonical form of a path whose last component may be a dead mount.
std::string CanonicalPath(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  char buffer[PATH_MAX];
  if (::realpath(parent.c_str(), buffer) == nullptr) return path;
  std::string canonical(buffer);
  if (canonical != "/") canonical += "/";
  return canonical + name;
}

bool IsFuseMountedAt(const std::string& path) {
  for (const MountEntry& entry : ReadMountTable()) {
    if (entry.type.starts_with("fuse") && entry.mount_point == path) return true;
  }
  return false;
}

// Nothing here cancels a request, and libfuse keeps an interrupt that it
// reads after its request was answered until some next request, or for good
// (a leak at unmount). So interrupts are answered ENOSYS here, which tells
// the kernel to send no more; the one for a request answered meanwhile is
// refused with ENOENT, and nothing is owed for it.
bool AnsweredInterrupt(fuse_session* session, const fuse_buf& buf) {
  if ((buf.flags & FUSE_BUF_IS_FD) || buf.size < sizeof(fuse_in_header)) return false;
  fuse_in_header in;
  std::memcpy(&in, buf.mem, sizeof in);
  if (in.opcode != FUSE_INTERRUPT) return false;
  const fuse_out_header out{sizeof(fuse_out_header), -ENOSYS, in.unique};
  if (::write(fuse_session_fd(session), &out, sizeof out) < 0) {
    // ENOENT: the request was answered meanwhile, and nothing is owed.
  }
  return true;
}

}  // namespace

FuseReply& FuseReply::operator=(FuseReply&& other) noexcept {
  if (this != &other) {
    Error(EIO);
    request_ = std::exchange(other.request_, nullptr);
  }
  return *this;
}

void FuseReply::Data(const uint8_t* data, size_t length) {
  if (request_ == nullptr) return;
  fuse_reply_buf(Req(std::exchange(request_, nullptr)), reinterpret_cast<const char*>(data),
                 length);
}

void FuseReply::Written(size_t length) {
  if (request_ == nullptr) return;
  fuse_reply_write(Req(std::exchange(request_, nullptr)), length);
}

void FuseReply::Error(int error_number) {
  if (request_ == nullptr) return;
  fuse_reply_err(Req(std::exchange(request_, nullptr)), error_number);
}

void FuseReply::Ioctl(const void* data, size_t length) {
  if (request_ == nullptr) return;
  fuse_reply_ioctl(Req(std::exchange(request_, nullptr)), 0, data, length);
}

CallerIdentity FuseReply::Caller() const {
  CallerIdentity identity;
  if (request_ == nullptr) return identity;
  const fuse_ctx* context = fuse_req_ctx(Req(request_));
  identity.uid = context->uid;
  identity.gid = context->gid;
  std::vector<gid_t> groups(32);
  for (;;) {
    const int count =
        fuse_req_getgroups(Req(request_), static_cast<int>(groups.size()), groups.data());
    if (count < 0) break;  // no /proc: the primary group alone
    if (static_cast<size_t>(count) <= groups.size()) {
      identity.groups.assign(groups.begin(), groups.begin() + count);
      break;
    }
    groups.resize(static_cast<size_t>(count));
  }
  return identity;
}

// libfuse is C: no exception may unwind into it. A callback that answers
// its request itself answers ENOMEM or EIO when it throws first; one that
// hands a FuseReply to the handler needs nothing more, since that reply
// answers EIO as the exception takes it away.
// Called in a catch block: says what escaped a callback.
void SayEscaped() {
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "FUSE callback failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "FUSE callback failed: unknown exception\n");
  }
}

template <typename Body>
void Answering(fuse_req_t req, Body body) noexcept {
  try {
    body();
  } catch (const std::bad_alloc&) {
    fuse_reply_err(req, ENOMEM);
  } catch (...) {
    SayEscaped();
    fuse_reply_err(req, EIO);
  }
}

template <typename Body>
void HandingOver(Body body) noexcept {
  try {
    body();
  } catch (...) {
    SayEscaped();
  }
}

// The low-level operations, each a thin translation onto the handler.
struct FuseFileSystem::Callbacks {
  static FuseFileSystem* Self(fuse_req_t req) {
    return static_cast<FuseFileSystem*>(fuse_req_userdata(req));
  }

  // The file index of `ino`, or -1 for the root or an unknown inode.
  static long FileOf(FuseFileSystem* self, fuse_ino_t ino) {
    if (ino < kFirstFileInode || ino - kFirstFileInode >= self->options_.names.size()) return -1;
    return static_cast<long>(ino - kFirstFileInode);
  }

  static bool Stat(FuseFileSystem* self, fuse_ino_t ino, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_atim.tv_sec = st->st_mtim.tv_sec = st->st_ctim.tv_sec = self->mounted_at_;
    if (ino == FUSE_ROOT_ID) {
      st->st_mode = S_IFDIR | 0755;
      st->st_nlink = 2;
      return true;
    }
    const long file = FileOf(self, ino);
    if (file < 0) return false;
    const FuseFileAttributes a = self->handler_->Attributes(static_cast<size_t>(file));
    st->st_mode = S_IFREG | (a.mode & 07777);
    st->st_nlink = 1;
    st->st_uid = a.uid;
    st->st_gid = a.gid;
    st->st_size = static_cast<off_t>(a.size);
    st->st_blksize = 4096;
    st->st_blocks = static_cast<blkcnt_t>(a.size / 512);
    return true;
  }

  static void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    Answering(req, [&] {
      FuseFileSystem* self = Self(req);
      if (parent != FUSE_ROOT_ID) return void(fuse_reply_err(req, ENOTDIR));
      const auto& names = self->options_.names;
      for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] != name) continue;
        fuse_entry_param entry{};
        entry.ino = kFirstFileInode + i;
        entry.attr_timeout = kAttrTimeout;
        entry.entry_timeout = kEntryTimeout;
        Stat(self, entry.ino, &entry.attr);
        return void(fuse_reply_entry(req, &entry));
      }
      fuse_reply_err(req, ENOENT);
    });
  }

  static void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    Answering(req, [&] {
      struct stat st;
      if (!Stat(Self(req), ino, &st)) return void(fuse_reply_err(req, ENOENT));
      fuse_reply_attr(req, &st, kAttrTimeout);
    });
  }

  // Sizes, owners and modes belong to the devices; only time stamps may be
  // "set", and they are not kept.
  static void SetAttr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set,
                      fuse_file_info*) {
    Answering(req, [&] {
      struct stat st;
      if (!Stat(Self(req), ino, &st)) return void(fuse_reply_err(req, ENOENT));
      if ((to_set & FUSE_SET_ATTR_SIZE) && attr->st_size != st.st_size) {
        return void(fuse_reply_err(req, EPERM));
      }
      if (to_set & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) {
        return void(fuse_reply_err(req, EPERM));
      }
      fuse_reply_attr(req, &st, kAttrTimeout);
    });
  }

  static void OpenDir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (ino != FUSE_ROOT_ID) return void(fuse_reply_err(req, ENOTDIR));
    fuse_reply_open(req, fi);
  }

  static void ReadDir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                      fuse_file_info* fi) {
    Answering(req, [&] { ListDirectory(req, ino, size, offset, fi); });
  }

  static void ListDirectory(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                            fuse_file_info*) {
    FuseFileSystem* self = Self(req);
    if (ino != FUSE_ROOT_ID) return void(fuse_reply_err(req, ENOTDIR));
    std::vector<char> buffer(size);
    size_t used = 0;
    const auto& names = self->options_.names;
    for (size_t index = static_cast<size_t>(offset); index < names.size() + 2; ++index) {
      struct stat st {};
      std::string name;
      if (index < 2) {
        name = index == 0 ? "." : "..";
        st.st_ino = FUSE_ROOT_ID;
        st.st_mode = S_IFDIR;
      } else {
        name = names[index - 2];
        st.st_ino = kFirstFileInode + index - 2;
        st.st_mode = S_IFREG;
      }
      const size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, name.c_str(),
                                            &st, static_cast<off_t>(index + 1));
      if (need > size - used) break;
      used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
  }

  static void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    FuseFileSystem* self = Self(req);
    if (ino == FUSE_ROOT_ID) return void(fuse_reply_err(req, EISDIR));
    const long file = FileOf(self, ino);
    if (file < 0) return void(fuse_reply_err(req, ENOENT));
    fi->direct_io = self->options_.page_cache ? 0 : 1;
    fi->keep_cache = 0;
    fi->fh = static_cast<uint64_t>(fi->flags & O_ACCMODE);  // for the ioctls' access check
    // Counted before the kernel hears of the open, so a release never comes first.
    ++self->opens_[static_cast<size_t>(file)];
    if (fuse_reply_open(req, fi) != 0) --self->opens_[static_cast<size_t>(file)];
  }

  static void Release(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    FuseFileSystem* self = Self(req);
    const long file = FileOf(self, ino);
    if (file >= 0) --self->opens_[static_cast<size_t>(file)];
    fuse_reply_err(req, 0);
  }

  static void Read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    FuseFileSystem* self = Self(req);
    const long file = FileOf(self, ino);
    if (file < 0) return void(fuse_reply_err(req, EISDIR));
    HandingOver([&] {
      self->handler_->Read(static_cast<size_t>(file), static_cast<uint64_t>(offset), size,
                           FuseReply(req));
    });
  }

  static void Write(fuse_req_t req, fuse_ino_t ino, const char* data, size_t size, off_t offset,
                    fuse_file_info*) {
    FuseFileSystem* self = Self(req);
    const long file = FileOf(self, ino);
    if (file < 0) return void(fuse_reply_err(req, EISDIR));
    HandingOver([&] {
      self->handler_->Write(static_cast<size_t>(file), static_cast<uint64_t>(offset),
                            {reinterpret_cast<const uint8_t*>(data), size}, FuseReply(req));
    });
  }

  static void Ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int command, void*, fuse_file_info* fi,
                    unsigned flags, const void* input, size_t input_size, size_t output_room) {
    FuseFileSystem* self = Self(req);
    const long file = FileOf(self, ino);
    if (file < 0 || (flags & FUSE_IOCTL_UNRESTRICTED)) return void(fuse_reply_err(req, ENOTTY));
    const uint64_t mode = fi->fh;
    HandingOver([&] {
      self->handler_->Ioctl(static_cast<size_t>(file), command,
                            {static_cast<const uint8_t*>(input), input_size}, output_room,
                            mode != O_WRONLY, mode != O_RDONLY, FuseReply(req));
    });
  }

  static void Fsync(fuse_req_t req, fuse_ino_t ino, int, fuse_file_info*) {
    FuseFileSystem* self = Self(req);
    const long file = FileOf(self, ino);
    if (file < 0) return void(fuse_reply_err(req, 0));
    HandingOver([&] { self->handler_->Sync(static_cast<size_t>(file), FuseReply(req)); });
  }

  static void Succeed(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

  static const fuse_lowlevel_ops* Table() {
    static const fuse_lowlevel_ops ops = [] {
      fuse_lowlevel_ops o{};
      o.lookup = Lookup;
      o.getattr = GetAttr;
      o.setattr = SetAttr;
      o.opendir = OpenDir;
      o.readdir = ReadDir;
      o.releasedir = Succeed;
      o.open = Open;
      o.read = Read;
      o.write = Write;
      o.flush = Succeed;
      o.release = Release;
      o.fsync = Fsync;
      o.ioctl = Ioctl;
      return o;
    }();
    return &ops;
  }
};

Result<std::unique_ptr<FuseFileSystem>> FuseFileSystem::Mount(const std::string& mountpoint,
                                                              FuseFilesOptions options,
                                                              FuseFileHandler* handler) {
  std::unique_ptr<FuseFileSystem> fs(new FuseFileSystem(mountpoint, std::move(options), handler));
  const std::string mount_options =
      "allow_other,default_permissions,fsname=" + fs->options_.fs_name +
      ",subtype=" + fs->options_.fs_name;
  const char* argv[] = {fs->options_.fs_name.c_str(), "-o", mount_options.c_str()};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  fs->session_ = fuse_session_new(&args, Callbacks::Table(), sizeof(fuse_lowlevel_ops), fs.get());
  fuse_opt_free_args(&args);
  if (fs->session_ == nullptr) {
    return Status(ERROR_OPEN_FAILED, "cannot create the FUSE session");
  }
  if (fuse_session_mount(fs->session_, mountpoint.c_str()) != 0) {
    return Status(ERROR_OPEN_FAILED, "cannot mount FUSE at " + mountpoint);
  }
  fs->mounted_ = true;
  fs->mounted_at_ = static_cast<int64_t>(::time(nullptr));
  return fs;
}

FuseFileSystem::~FuseFileSystem() {
  Stop();
  if (session_ != nullptr) fuse_session_destroy(session_);
}

void FuseFileSystem::Start(std::function<void()> on_end) {
  InstallWakeHandler();
  on_end_ = std::move(on_end);
  const size_t count = static_cast<size_t>(std::max(1, options_.threads));
  std::scoped_lock lock(threads_mu_);
  thread_done_ = std::make_unique<std::atomic<bool>[]>(count);
  thread_waiting_ = std::make_unique<std::atomic<bool>[]>(count);
  thread_released_ = std::make_unique<std::atomic<uint64_t>[]>(count);
  for (size_t i = 0; i < count; ++i) {
    thread_done_[i] = false;
    thread_waiting_[i] = false;
    thread_released_[i] = 0;
    threads_.emplace_back([this, i] { Loop(i); });
  }
}

// The wake signal is let in only while the thread waits for a request, so it
// interrupts nothing else (a handler's own waits on its back end least of
// all). One that comes meanwhile is taken as the wait begins, and lost: the
// sender repeats it until the thread has done what it was woken for.
void FuseFileSystem::Loop(size_t index) {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, kWakeSignal);
  pthread_sigmask(SIG_BLOCK, &wake, nullptr);
  fuse_buf buf{};
  while (!fuse_session_exited(session_)) {
    const uint64_t release = release_generation_.load();
    if (thread_released_[index].load() != release) {
      // libfuse allocates a fresh buffer for the next request.
      std::free(buf.mem);
      buf = fuse_buf{};
      thread_released_[index] = release;
    }
    thread_waiting_[index] = true;
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    const int got = fuse_session_receive_buf(session_, &buf);
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    thread_waiting_[index] = false;
    if (got == -EINTR) continue;
    if (got <= 0) break;  // unmounted (libfuse then marks the session exited)
    if (AnsweredInterrupt(session_, buf)) continue;
    fuse_session_process_buf(session_, &buf);
  }
  std::free(buf.mem);
  thread_done_[index] = true;
  if (!stopping_ && on_end_ && !ended_.exchange(true)) on_end_();
}

void FuseFileSystem::Stop() {
  stopping_ = true;
  if (!threads_.empty()) {
    fuse_session_exit(session_);
    // A signal may land just before a thread enters read(2); repeat it
    // until every thread has noticed.
    for (bool all_done = false; !all_done;) {
      all_done = true;
      for (size_t i = 0; i < threads_.size(); ++i) {
        if (thread_done_[i]) continue;
        all_done = false;
        ::pthread_kill(threads_[i].native_handle(), kWakeSignal);
      }
      if (!all_done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (auto& t : threads_) t.join();
    threads_.clear();
  }
  if (mounted_) {
    fuse_session_unmount(session_);
    mounted_ = false;
  }
}

void FuseFileSystem::ReleaseIdleMemory() {
  std::scoped_lock lock(threads_mu_);
  if (threads_.empty()) return;
  const uint64_t release = ++release_generation_;
  for (int round = 0; round < 20; ++round) {
    bool waiting = false;
    for (size_t i = 0; i < threads_.size(); ++i) {
      // A thread serving a request releases once it is answered.
      if (thread_done_[i] || thread_released_[i] == release || !thread_waiting_[i]) continue;
      waiting = true;
      ::pthread_kill(threads_[i].native_handle(), kWakeSignal);
    }
    if (!waiting) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void FuseFileSystem::Invalidate(size_t file) {
  if (session_ == nullptr || !mounted_) return;
  // -ENOENT: the kernel has never looked the file up, so it caches nothing.
  fuse_lowlevel_notify_inval_inode(session_, kFirstFileInode + file, 0, 0);
}

Status FuseFileSystem::ClearStaleMount(const std::string& mountpoint) {
  const std::string path = CanonicalPath(mountpoint);
  for (int attempt = 0; attempt < 8 && IsFuseMountedAt(path); ++attempt) {
    if (::umount2(path.c_str(), MNT_DETACH) != 0) return ErrnoStatus("umount " + path, errno);
  }
  return Status::Ok();
}

}  // namespace quensaria::platform
