#include "service/source/rbd_io.h"

#include <rados/librados.h>
#include <rbd/features.h>
#include <rbd/librbd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/console.h"
#include "platform/errors.h"
#include "shared/sha1.h"
#include "shared/win32_error.h"

namespace quensaria::source {
namespace {

using Clock = std::chrono::steady_clock;

// The metadata key under which a writable export says who it is.
constexpr char kExporterKey[] = "quensaria.exporter";
constexpr size_t kMaxOwners = 8;
// What an administrator can do about a lock whose holder is gone.
constexpr char kGoneHolderHint[] =
    " (a holder that ended keeps it until the cluster notices, osd_client_watch_timeout, or "
    "until ceph osd blocklist add ADDRESS)";

std::mutex settings_mutex;
CephSettings& Settings() {
  static CephSettings settings;
  return settings;
}

std::string ErrnoText(int result) { return std::strerror(result < 0 ? -result : result); }

Status Failure(int result, std::string message) {
  const int error = result < 0 ? -result : result;
  return Status(platform::Win32ErrorFromErrno(error), std::move(message));
}

std::string ConfValue(rados_t cluster, const char* option) {
  char value[256] = {};
  if (rados_conf_get(cluster, option, value, sizeof value - 1) != 0) return "";
  return value;
}

}  // namespace

void SetCephSettings(const CephSettings& settings) {
  std::scoped_lock lock(settings_mutex);
  Settings() = settings;
}

CephSettings GetCephSettings() {
  std::scoped_lock lock(settings_mutex);
  return Settings();
}

// The cluster, pool and image handles, closed in reverse order.
struct RbdIo::Handles {
  rados_t cluster = nullptr;
  rados_ioctx_t pool = nullptr;
  rbd_image_t image = nullptr;
  SourceId identity{};

  Handles() = default;
  Handles(const Handles&) = delete;
  Handles& operator=(const Handles&) = delete;
  ~Handles() {
    if (image != nullptr) rbd_close(image);  // releases the exclusive lock
    if (pool != nullptr) rados_ioctx_destroy(pool);
    if (cluster != nullptr) rados_shutdown(cluster);
  }
};

namespace {

std::string HostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "?";
  return host;
}

// Who holds the exclusive lock of an image: the lock's owner (a client
// address) and what a writable export recorded of itself, trusted only
// while the client that wrote it still holds the lock.
struct Holder {
  std::string owner;   // empty: nobody
  std::string record;  // empty: nothing trustworthy recorded
  std::string text() const {
    if (owner.empty()) return "another client";
    return record.empty() ? "client " + owner : record;
  }
};

Holder LockHolder(rbd_image_t image) {
  Holder holder;
  rbd_lock_mode_t mode;
  char* owners[kMaxOwners] = {};
  size_t count = kMaxOwners;
  if (rbd_lock_get_owners(image, &mode, owners, &count) == 0 && count > 0) {
    holder.owner = owners[0];
    rbd_lock_get_owners_cleanup(owners, count);
  }
  char recorded[512] = {};
  size_t length = sizeof recorded - 1;
  if (!holder.owner.empty() && rbd_metadata_get(image, kExporterKey, recorded, &length) == 0 &&
      std::string_view(recorded).ends_with("(client " + holder.owner + ")")) {
    holder.record = recorded;
  }
  return holder;
}

// What names this process's pid space for as long as it exists: the
// kernel's boot and the pid namespace (containers of one machine share the
// boot but not their pids). Host names need not be unique.
std::string PidSpace() {
  char boot[64] = {};
  if (FILE* file = std::fopen("/proc/sys/kernel/random/boot_id", "re")) {
    if (std::fgets(boot, sizeof boot, file) == nullptr) boot[0] = '\0';
    std::fclose(file);
  }
  boot[std::strcspn(boot, "\n")] = '\0';
  char ns[64] = {};
  const ssize_t n = readlink("/proc/self/ns/pid", ns, sizeof ns - 1);
  if (boot[0] == '\0' || n <= 0) return "";
  return std::string(boot) + " " + std::string(ns, static_cast<size_t>(n));
}

// The process that the record names, when it lived in this pid space and
// has ended: its lock can only be left over from a crash.
pid_t EndedLocalExporter(const std::string& record) {
  const std::string space = PidSpace();
  const size_t at = record.find(", pid ");
  if (space.empty() || at == std::string::npos ||
      record.find(" [" + space + "]", at) == std::string::npos) {
    return 0;
  }
  const long pid = std::strtol(record.c_str() + at + 6, nullptr, 10);
  if (pid <= 0 || pid == getpid()) return 0;
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH ? static_cast<pid_t>(pid) : 0;
}

// Cluster fsid, pool id, image id and snapshot id (head: none) name the
// disk wherever it is served; their digest is what CMD_SOURCE_ID answers.
// Anything the cluster does not tell leaves the identity zero: such an
// export is never taken for another's.
SourceId SourceIdentity(rados_t cluster, rados_ioctx_t pool, rbd_image_t image,
                        const std::string& snapshot) {
  SourceId identity{};
  char fsid[64] = {};
  char image_id[128] = {};
  if (rados_cluster_fsid(cluster, fsid, sizeof fsid - 1) < 0) return identity;
  if (rbd_get_id(image, image_id, sizeof image_id) < 0) return identity;
  const int64_t pool_id = rados_ioctx_get_id(pool);
  std::string snap = "head";
  if (!snapshot.empty()) {
    uint64_t snap_id = 0;
    if (rbd_snap_get_id(image, snapshot.c_str(), &snap_id) < 0) return identity;
    snap = "snap " + std::to_string(snap_id);
  }
  const std::string text = std::string("rbd ") + fsid + " pool " + std::to_string(pool_id) +
                           " image " + image_id + " " + snap;
  const Sha1Digest digest = Sha1Of(text);
  std::copy_n(digest.begin(), identity.size(), identity.begin());
  return identity;
}

}  // namespace

std::string ExporterText(uint16_t port) {
  return "quensaria on " + HostName() + ", port " + std::to_string(port) + ", pid " +
         std::to_string(getpid()) + " [" + PidSpace() + "]";
}

// Transfers waiting for the cluster, and the thread that reports those that
// wait long.
class RbdIo::Watchdog {
 public:
  struct Waiting {
    Clock::time_point since;
    const char* what;
    uint64_t offset;
  };

  // Marks one transfer in flight for as long as it lives.
  class Op {
   public:
    Op(Watchdog& dog, const char* what, uint64_t offset) : dog_(dog) {
      std::scoped_lock lock(dog_.mutex_);
      at_ = dog_.waiting_.insert(dog_.waiting_.end(), Waiting{Clock::now(), what, offset});
    }
    ~Op() {
      std::scoped_lock lock(dog_.mutex_);
      dog_.waiting_.erase(at_);
    }
    Op(const Op&) = delete;
    Op& operator=(const Op&) = delete;

   private:
    Watchdog& dog_;
    std::list<Waiting>::iterator at_;
  };

  explicit Watchdog(std::string text) : text_(std::move(text)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Watchdog() {
    {
      std::scoped_lock lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    Clock::time_point stalled_since{};
    Clock::time_point last_report{};
    while (!changed_.wait_for(lock, std::chrono::seconds(1), [&] { return stop_; })) {
      const Clock::time_point now = Clock::now();
      const Waiting* oldest = waiting_.empty() ? nullptr : &waiting_.front();
      const bool stalled = oldest != nullptr && now - oldest->since >= kRbdStallReport;
      if (stalled && (stalled_since == Clock::time_point{} || now - last_report >= kRepeat)) {
        if (stalled_since == Clock::time_point{}) stalled_since = oldest->since;
        last_report = now;
        platform::ConsoleLog(
            platform::ConsolePriority::kWarning,
            "%.300s: the Ceph cluster has not answered a %s at offset %llu for %lld s; "
            "%zu requests wait for it\n",
            text_.c_str(), oldest->what, static_cast<unsigned long long>(oldest->offset),
            static_cast<long long>(Seconds(now - oldest->since)), waiting_.size());
      } else if (!stalled && stalled_since != Clock::time_point{}) {
        platform::ConsoleLog(platform::ConsolePriority::kNotice,
                             "%.300s: the Ceph cluster answers again, after %lld s\n",
                             text_.c_str(), static_cast<long long>(Seconds(now - stalled_since)));
        stalled_since = {};
      }
    }
  }
  static int64_t Seconds(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::seconds>(d).count();
  }

  // While the cluster stays away, the line is repeated this often.
  static constexpr std::chrono::seconds kRepeat{60};

  const std::string text_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::list<Waiting> waiting_;  // oldest first
  bool stop_ = false;
  std::thread thread_;
};

// librados may wait long (a cluster that does not answer, a lock held by a
// client that is gone): the open runs on a thread of its own and is waited
// for `timeout`. One that takes longer is left to finish (or fail) on its
// own and to close what it opened.
Result<std::unique_ptr<RbdIo>> RbdIo::Open(const RbdName& name, const CephSettings& settings,
                                           const std::string& exporter,
                                           std::chrono::milliseconds timeout) {
  struct Opening {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false;
    std::unique_ptr<Handles> handles = std::make_unique<Handles>();
    Result<uint64_t> size = Status(ERROR_GEN_FAILURE, "not opened");
    std::string lock_holder;  // whose lock the open waits for
  };
  auto opening = std::make_shared<Opening>();
  try {
    std::thread([opening, name, settings, exporter, timeout] {
      const auto waiting = [&opening](const std::string& holder) {
        std::scoped_lock lock(opening->mutex);
        opening->lock_holder = holder;
      };
      Result<uint64_t> size =
          OpenSteps(name, settings, exporter, timeout, waiting, *opening->handles);
      std::unique_lock lock(opening->mutex);
      opening->size = std::move(size);
      opening->done = true;
      if (opening->abandoned) {
        std::unique_ptr<Handles> late = std::move(opening->handles);
        lock.unlock();
        late.reset();  // nobody waits for it any more
        return;
      }
      opening->changed.notify_all();
    }).detach();
  } catch (const std::system_error& error) {
    return Status(ERROR_NOT_ENOUGH_MEMORY, std::string("no thread to open it: ") + error.what());
  }
  std::unique_lock lock(opening->mutex);
  if (!opening->changed.wait_for(lock, timeout, [&] { return opening->done; })) {
    opening->abandoned = true;
    const std::string seconds =
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count());
    if (!opening->lock_holder.empty()) {
      return Status(ERROR_LOCK_VIOLATION,
                    "the image's exclusive lock is held by " + opening->lock_holder +
                        ", which did not let go within " + seconds + " s" + kGoneHolderHint);
    }
    return Status(ERROR_SEM_TIMEOUT, "the Ceph cluster did not answer within " + seconds + " s (" +
                                         (settings.conf_file.empty() ? "the default configuration"
                                                                     : settings.conf_file) +
                                         ", client." + settings.client_id + ")");
  }
  if (!opening->size.ok()) return opening->size.status();
  return std::unique_ptr<RbdIo>(
      new RbdIo(name, std::move(opening->handles), opening->size.value()));
}

Result<uint64_t> RbdIo::OpenSteps(const RbdName& name, const CephSettings& settings,
                                  const std::string& exporter, std::chrono::milliseconds timeout,
                                  const std::function<void(const std::string&)>& waiting,
                                  Handles& h) {
  const std::string client = "client." + settings.client_id;
  int r = rados_create2(&h.cluster, "ceph", client.c_str(), 0);
  if (r < 0) {
    h.cluster = nullptr;
    return Failure(r, "cannot set up Ceph " + client + ": " + ErrnoText(r));
  }
  r = rados_conf_read_file(h.cluster,
                           settings.conf_file.empty() ? nullptr : settings.conf_file.c_str());
  if (r < 0) {
    return Failure(
        r, settings.conf_file.empty()
               ? "no Ceph configuration found ($CEPH_CONF, /etc/ceph/ceph.conf): " + ErrnoText(r)
               : "cannot read the Ceph configuration " + settings.conf_file + ": " + ErrnoText(r));
  }
  rados_conf_parse_env(h.cluster, nullptr);  // CEPH_ARGS
  const std::string seconds = std::to_string(
      std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::seconds>(timeout).count()));
  rados_conf_set(h.cluster, "client_mount_timeout", seconds.c_str());
  // librbd's cache stays write-through: a write is acknowledged once the
  // cluster holds it, so a crash of the service loses nothing a client was
  // told was written (a flush after a restart of the service alone must
  // vouch for it). By default the cache turns write-back at the first flush.
  rados_conf_set(h.cluster, "rbd_cache_max_dirty", "0");
  r = rados_connect(h.cluster);
  if (r < 0) {
    const std::string where = "monitors " + ConfValue(h.cluster, "mon_host");
    if (r == -ETIMEDOUT) {
      return Failure(r, "the Ceph cluster did not answer within " + seconds + " s (" + where + ")");
    }
    if (r == -EACCES || r == -EPERM || r == -ENOENT) {
      return Failure(r, "the Ceph cluster refused " + client + " (" + ErrnoText(r) + "; keyring " +
                            ConfValue(h.cluster, "keyring") + ", " + where + ")");
    }
    return Failure(r, "cannot connect to the Ceph cluster (" + where + "): " + ErrnoText(r));
  }
  r = rados_ioctx_create(h.cluster, name.pool.c_str(), &h.pool);
  if (r < 0) {
    h.pool = nullptr;
    if (r == -ENOENT) return Failure(r, "the Ceph cluster has no pool \"" + name.pool + "\"");
    return Failure(r, "cannot open pool \"" + name.pool + "\": " + ErrnoText(r));
  }
  const char* snapshot = name.snapshot.empty() ? nullptr : name.snapshot.c_str();
  r = name.read_only ? rbd_open_read_only(h.pool, name.image.c_str(), &h.image, snapshot)
                     : rbd_open(h.pool, name.image.c_str(), &h.image, nullptr);
  if (r < 0) {
    h.image = nullptr;
    if (r == -ENOENT && snapshot != nullptr) {
      rbd_image_t plain = nullptr;
      if (rbd_open_read_only(h.pool, name.image.c_str(), &plain, nullptr) == 0) {
        rbd_close(plain);
        return Failure(r, "image " + name.pool + "/" + name.image + " has no snapshot \"" +
                              name.snapshot + "\"");
      }
    }
    if (r == -ENOENT) {
      return Failure(r, "pool \"" + name.pool + "\" has no image \"" + name.image + "\"");
    }
    return Failure(r, "cannot open the image: " + ErrnoText(r));
  }
  uint64_t size = 0;
  r = rbd_get_size(h.image, &size);
  if (r < 0) return Failure(r, "cannot learn the image's size: " + ErrnoText(r));
  h.identity = SourceIdentity(h.cluster, h.pool, h.image, name.snapshot);
  if (name.read_only) return size;

  uint64_t features = 0;
  r = rbd_get_features(h.image, &features);
  if (r < 0) return Failure(r, "cannot learn the image's features: " + ErrnoText(r));
  const std::string image = name.pool + "/" + name.image;
  if ((features & RBD_FEATURE_EXCLUSIVE_LOCK) == 0) {
    return Status(ERROR_NOT_SUPPORTED,
                  "the image has no exclusive-lock feature, which keeps a second writer out: "
                  "rbd feature enable " +
                      image + " exclusive-lock, or serve it read-only (rbd:" + image + ":ro)");
  }
  const Holder holder = LockHolder(h.image);
  if (!holder.owner.empty()) {
    waiting(holder.text());
    // A service of this machine that crashed holding the lock is gone for
    // sure: its successor need not wait until the cluster notices.
    if (const pid_t ended = EndedLocalExporter(holder.record);
        ended != 0 && rbd_lock_break(h.image, RBD_LOCK_MODE_EXCLUSIVE, holder.owner.c_str()) == 0) {
      platform::ConsoleLog(
          platform::ConsolePriority::kWarning,
          "rbd:%.200s: took over the exclusive lock left by quensaria pid %d of this machine, "
          "which ended without releasing it\n",
          image.c_str(), static_cast<int>(ended));
    }
  }
  r = rbd_lock_acquire(h.image, RBD_LOCK_MODE_EXCLUSIVE);
  if (r == -EROFS || r == -EBUSY) {
    return Status(ERROR_LOCK_VIOLATION, "the image is served writable by " +
                                            LockHolder(h.image).text() +
                                            ", which holds its exclusive lock" + kGoneHolderHint);
  }
  if (r < 0) return Failure(r, "cannot take the image's exclusive lock: " + ErrnoText(r));
  char* addresses = nullptr;
  std::string record = exporter;
  if (rados_getaddrs(h.cluster, &addresses) == 0 && addresses != nullptr) {
    record += std::string(" (client ") + addresses + ")";
    std::free(addresses);
  }
  // Only a courtesy to the next writer's message: a failure changes nothing.
  rbd_metadata_set(h.image, kExporterKey, record.c_str());
  return size;
}

RbdIo::RbdIo(RbdName name, std::unique_ptr<Handles> handles, uint64_t size)
    : name_(std::move(name)),
      text_(std::string(kRbdPrefix) + name_.pool + "/" + name_.image +
            (name_.snapshot.empty() ? "" : "@" + name_.snapshot)),
      handles_(std::move(handles)),
      size_(size),
      identity_(handles_->identity),
      watchdog_(std::make_unique<Watchdog>(text_)) {}

RbdIo::~RbdIo() {
  watchdog_.reset();
  handles_.reset();
}

uint32_t RbdIo::Failed(const char* what, uint64_t offset, int result) {
  const int error = result < 0 ? -result : EIO;
  const int64_t now =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
  int64_t last = last_failure_report_.load(std::memory_order_relaxed);
  if (now != last && last_failure_report_.compare_exchange_strong(last, now)) {
    if (error == ESHUTDOWN) {
      // What librbd answers once another client broke this one's lock.
      platform::ConsoleLog(
          platform::ConsolePriority::kError,
          "%.300s: a %s failed: the Ceph cluster has shut this service's client out (its "
          "exclusive lock was broken); writes fail until the export is started again\n",
          text_.c_str(), what);
    } else {
      platform::ConsoleLog(platform::ConsolePriority::kError,
                           "%.300s: a %s at offset %llu failed: %s\n", text_.c_str(), what,
                           static_cast<unsigned long long>(offset), std::strerror(error));
    }
  }
  return platform::Win32ErrorFromErrno(error);
}

IoResult RbdIo::Read(uint64_t offset, uint8_t* data, size_t length) {
  Watchdog::Op op(*watchdog_, "read", offset);
  const ssize_t r = rbd_read(handles_->image, offset, length, reinterpret_cast<char*>(data));
  if (r < 0) return IoResult{0, Failed("read", offset, static_cast<int>(r)), false};
  return IoResult{static_cast<size_t>(r), 0, false};
}

IoResult RbdIo::Write(uint64_t offset, const uint8_t* data, size_t length) {
  if (name_.read_only) return IoResult{0, ERROR_WRITE_PROTECT, false};
  Watchdog::Op op(*watchdog_, "write", offset);
  const ssize_t r = rbd_write(handles_->image, offset, length, reinterpret_cast<const char*>(data));
  if (r < 0) return IoResult{0, Failed("write", offset, static_cast<int>(r)), false};
  return IoResult{static_cast<size_t>(r), 0, false};
}

IoResult RbdIo::TryRead(uint64_t, uint8_t*, size_t) { return IoResult{0, 0, true}; }
IoResult RbdIo::TryWrite(uint64_t, const uint8_t*, size_t) { return IoResult{0, 0, true}; }

IoResult RbdIo::CacheRead(uint64_t offset, uint8_t* data, size_t length) {
  return Read(offset, data, length);
}

uint32_t RbdIo::Flush() {
  if (name_.read_only) return 0;
  Watchdog::Op op(*watchdog_, "flush", 0);
  const int r = rbd_flush(handles_->image);
  return r < 0 ? Failed("flush", 0, r) : 0;
}

}  // namespace quensaria::source
