#include "platform/ublk_device.h"

#include <fcntl.h>
#include <liburing.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/errors.h"
#include "platform/ublk_uapi.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

constexpr char kControlPath[] = "/dev/ublk-control";
constexpr uint32_t kAnyId = UINT32_MAX;
constexpr uint16_t kNoQueue = UINT16_MAX;
constexpr uint64_t kWakeData = UINT64_MAX;
constexpr int kSectorShift = 9;

size_t RoundUpToPage(size_t size) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

Status UblkError(const std::string& what, int result) {
  return ErrnoStatus("ublk " + what, -result);
}

// One command to the control device, on a ring of its own with the 128-byte
// entries that control commands need. Waits for its answer: the kernel's
// result (negative errno on failure).
int ControlCommand(int control_fd, uint32_t op, uint32_t device_id, void* data, uint16_t length,
                   uint64_t inline_data = 0) {
  io_uring ring;
  int result = io_uring_queue_init(2, &ring, IORING_SETUP_SQE128);
  if (result < 0) return result;
  io_uring_sqe* sqe = io_uring_get_sqe(&ring);
  if (sqe == nullptr) {
    io_uring_queue_exit(&ring);
    return -EBUSY;
  }
  std::memset(sqe, 0, 2 * sizeof *sqe);
  sqe->opcode = IORING_OP_URING_CMD;
  sqe->fd = control_fd;
  sqe->cmd_op = op;
  auto* command = reinterpret_cast<ublksrv_ctrl_cmd*>(sqe->cmd);
  command->dev_id = device_id;
  command->queue_id = kNoQueue;
  command->addr = reinterpret_cast<uint64_t>(data);
  command->len = length;
  command->data[0] = inline_data;
  result = io_uring_submit(&ring);
  if (result >= 0) {
    io_uring_cqe* cqe = nullptr;
    do {
      result = io_uring_wait_cqe(&ring, &cqe);
    } while (result == -EINTR);
    if (result == 0) result = cqe->res;
  }
  io_uring_queue_exit(&ring);
  return result;
}

// The ring has room for every slot's command and the wake-up read; a full
// one is submitted first all the same.
io_uring_sqe* NextEntry(io_uring* ring) {
  io_uring_sqe* sqe = io_uring_get_sqe(ring);
  while (sqe == nullptr) {
    io_uring_submit(ring);
    sqe = io_uring_get_sqe(ring);
  }
  return sqe;
}

void PrepareIo(io_uring* ring, int fd, uint32_t op, uint16_t tag, int result, uint8_t* buffer) {
  io_uring_sqe* sqe = NextEntry(ring);
  std::memset(sqe, 0, sizeof *sqe);
  sqe->opcode = IORING_OP_URING_CMD;
  sqe->fd = fd;
  sqe->cmd_op = op;
  sqe->user_data = tag;
  auto* command = reinterpret_cast<ublksrv_io_cmd*>(sqe->cmd);
  command->q_id = 0;
  command->tag = tag;
  command->result = result;
  command->addr = reinterpret_cast<uint64_t>(buffer);
}

}  // namespace

bool UblkDevice::Available() { return ::access(kControlPath, F_OK) == 0; }

UblkDevice::UblkDevice(const UblkOptions& options, UblkHandler* handler)
    : options_(options), handler_(handler) {}

Result<std::unique_ptr<UblkDevice>> UblkDevice::Create(const UblkOptions& options,
                                                       UblkHandler* handler) {
  if (options.size >> kSectorShift == 0 || options.queue_depth == 0 ||
      options.queue_depth > UBLK_MAX_QUEUE_DEPTH || options.max_transfer % 4096 != 0 ||
      options.max_transfer == 0) {
    return Status(ERROR_INVALID_PARAMETER, "ublk: unusable device options");
  }
  std::unique_ptr<UblkDevice> device(new UblkDevice(options, handler));
  device->control_.Reset(::open(kControlPath, O_RDWR | O_CLOEXEC));
  if (!device->control_.valid()) return ErrnoStatus(kControlPath, errno);
  Status s = device->Add();
  if (s.ok()) s = device->SetParameters();
  if (s.ok()) s = device->StartQueue();
  if (s.ok()) s = device->Start();
  if (!s.ok()) {
    (void)device->Remove();
    return s;
  }
  return device;
}

UblkDevice::~UblkDevice() { (void)Remove(); }

Status UblkDevice::Add() {
  ublksrv_ctrl_dev_info info;
  std::memset(&info, 0, sizeof info);
  info.nr_hw_queues = 1;
  info.queue_depth = options_.queue_depth;
  info.max_io_buf_bytes = options_.max_transfer;
  info.dev_id = kAnyId;
  info.ublksrv_pid = ::getpid();
  info.flags = UBLK_F_CMD_IOCTL_ENCODE;
  info.ublksrv_flags = options_.owner;
  const int result = ControlCommand(control_.get(), UBLK_U_CMD_ADD_DEV, kAnyId, &info, sizeof info);
  if (result < 0) return UblkError("add", result);
  id_ = static_cast<int>(info.dev_id);
  return Status::Ok();
}

Status UblkDevice::SetParameters() {
  ublk_params params;
  std::memset(&params, 0, sizeof params);
  params.len = sizeof params;
  params.types = UBLK_PARAM_TYPE_BASIC;
  params.basic.logical_bs_shift = kSectorShift;
  params.basic.physical_bs_shift = 12;
  params.basic.io_min_shift = kSectorShift;
  params.basic.io_opt_shift = 12;
  params.basic.max_sectors = options_.max_transfer >> kSectorShift;
  params.basic.dev_sectors = options_.size >> kSectorShift;
  // A writable device caches writes until its handler syncs them: the kernel
  // then passes flushes (fsync, journal commits) on.
  params.basic.attrs = options_.read_only ? UBLK_ATTR_READ_ONLY : UBLK_ATTR_VOLATILE_CACHE;
  const int result =
      ControlCommand(control_.get(), UBLK_U_CMD_SET_PARAMS, id_, &params, sizeof params);
  return result < 0 ? UblkError("set parameters", result) : Status::Ok();
}

Status UblkDevice::StartQueue() {
  // The kernel's node may take a moment where udev makes it.
  const std::string node = "/dev/ublkc" + std::to_string(id_);
  for (int attempt = 0; attempt < 200 && !queue_fd_.valid(); ++attempt) {
    queue_fd_.Reset(::open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!queue_fd_.valid() && errno != ENOENT) break;
    if (!queue_fd_.valid()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!queue_fd_.valid()) return ErrnoStatus(node, errno);
  descriptors_size_ = RoundUpToPage(options_.queue_depth * sizeof(ublksrv_io_desc));
  void* descriptors = ::mmap(nullptr, descriptors_size_, PROT_READ, MAP_SHARED | MAP_POPULATE,
                             queue_fd_.get(), UBLKSRV_CMD_BUF_OFFSET);
  if (descriptors == MAP_FAILED) return ErrnoStatus("mmap " + node, errno);
  descriptors_ = descriptors;
  buffers_size_ = size_t{options_.queue_depth} * options_.max_transfer;
  void* buffers = ::mmap(nullptr, buffers_size_, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (buffers == MAP_FAILED) return ErrnoStatus("mmap ublk buffers", errno);
  buffers_ = static_cast<uint8_t*>(buffers);
  wake_.Reset(::eventfd(0, EFD_CLOEXEC));
  if (!wake_.valid()) return ErrnoStatus("eventfd", errno);

  // Each slot has at most one answer waiting: these never grow once made.
  answered_.reserve(options_.queue_depth);
  answered_here_.reserve(options_.queue_depth);
  answering_.reserve(options_.queue_depth);
  try {
    queue_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    return Status(ERROR_NOT_ENOUGH_MEMORY, std::string("ublk queue thread: ") + e.what());
  }
  if (!queue_started_.get_future().get()) {
    return Status(ERROR_GEN_FAILURE, "ublk: the queue did not start");
  }
  return Status::Ok();
}

Status UblkDevice::Start() {
  // Answers once every request slot has been fetched and the disk (with its
  // partitions) has been added, which takes reads the queue serves.
  const int result =
      ControlCommand(control_.get(), UBLK_U_CMD_START_DEV, id_, nullptr, 0, ::getpid());
  if (result < 0) return UblkError("start", result);
  started_ = true;
  return Status::Ok();
}

void UblkDevice::Answer(uint16_t tag, int result) {
  // On the queue thread (inside Serve) the answer waits for the end of the
  // round; from elsewhere it wakes the queue.
  const bool here = std::this_thread::get_id() == queue_id_.load();
  if (here) answered_here_.emplace_back(tag, result);
  std::scoped_lock lock(answered_mu_);
  if (!here) {
    answered_.emplace_back(tag, result);
    SignalEventFd(wake_.get());
  }
  // The last use of this object: Remove may free it once this is unlocked.
  if (--with_handler_ == 0) all_answered_.notify_all();
}

void UblkDevice::Run() {
  queue_id_ = std::this_thread::get_id();
  const unsigned depth = options_.queue_depth;
  io_uring ring;
  if (io_uring_queue_init(2 * depth + 2, &ring, 0) < 0) {
    queue_started_.set_value(false);
    return;
  }
  auto buffer = [this](uint16_t tag) { return buffers_ + size_t{tag} * options_.max_transfer; };
  uint64_t wake_count = 0;
  auto arm_wake = [&] {
    io_uring_sqe* sqe = NextEntry(&ring);
    io_uring_prep_read(sqe, wake_.get(), &wake_count, sizeof wake_count, 0);
    sqe->user_data = kWakeData;
  };
  for (unsigned tag = 0; tag < depth; ++tag) {
    PrepareIo(&ring, queue_fd_.get(), UBLK_U_IO_FETCH_REQ, static_cast<uint16_t>(tag), -1,
              buffer(static_cast<uint16_t>(tag)));
  }
  arm_wake();
  if (io_uring_submit(&ring) < 0) {
    io_uring_queue_exit(&ring);
    queue_started_.set_value(false);
    return;
  }
  queue_started_.set_value(true);

  const auto* descriptors = static_cast<const ublksrv_io_desc*>(descriptors_);
  std::vector<std::pair<uint16_t, int>>& answers = answering_;
  unsigned closed = 0;  // slots the kernel will not fill again
  while (closed < depth && !stopping_) {
    const int waited = io_uring_submit_and_wait(&ring, 1);
    // Anything but a pause ends the queue; closing the ring then hands the
    // kernel back the requests it gave out.
    if (waited < 0 && waited != -EINTR && waited != -EAGAIN && waited != -EBUSY) break;
    io_uring_cqe* cqe = nullptr;
    unsigned head = 0;
    unsigned seen = 0;
    bool rearm = false;
    io_uring_for_each_cqe(&ring, head, cqe) {
      ++seen;
      if (cqe->user_data == kWakeData) {
        rearm = true;
        continue;
      }
      const auto tag = static_cast<uint16_t>(cqe->user_data);
      if (cqe->res != UBLK_IO_RES_OK) {
        // UBLK_IO_RES_ABORT: the device is going away.
        ++closed;
        continue;
      }
      const ublksrv_io_desc desc = descriptors[tag];
      UblkRequest request;
      request.tag = tag;
      request.offset = uint64_t{desc.start_sector} << kSectorShift;
      request.length = desc.nr_sectors << kSectorShift;
      request.buffer = buffer(tag);
      switch (ublksrv_get_op(&desc)) {
        case UBLK_IO_OP_READ:
          request.op = UblkOp::kRead;
          break;
        case UBLK_IO_OP_WRITE:
          request.op = UblkOp::kWrite;
          break;
        case UBLK_IO_OP_FLUSH:
          request.op = UblkOp::kFlush;
          break;
        default:
          answered_here_.emplace_back(tag, -EOPNOTSUPP);
          continue;
      }
      if (request.length > options_.max_transfer) {
        answered_here_.emplace_back(tag, -EINVAL);
        continue;
      }
      {
        std::scoped_lock lock(answered_mu_);
        ++with_handler_;
      }
      handler_->Serve(*this, request);
    }
    io_uring_cq_advance(&ring, seen);
    answers.swap(answered_here_);
    {
      std::scoped_lock lock(answered_mu_);
      answers.insert(answers.end(), answered_.begin(), answered_.end());
      answered_.clear();
    }
    for (const auto& [tag, result] : answers) {
      PrepareIo(&ring, queue_fd_.get(), UBLK_U_IO_COMMIT_AND_FETCH_REQ, tag, result, buffer(tag));
    }
    answers.clear();
    if (rearm) arm_wake();
  }
  queue_id_ = std::thread::id();
  io_uring_queue_exit(&ring);
}

Status UblkDevice::Remove() {
  if (removed_) return Status::Ok();
  removed_ = true;
  Status status;
  if (id_ >= 0 && control_.valid()) {
    // Waits for the requests in flight, which the queue still answers.
    const int result = ControlCommand(control_.get(), UBLK_U_CMD_STOP_DEV, id_, nullptr, 0);
    if (result < 0 && started_) status = UblkError("stop", result);
  }
  if (queue_.joinable()) {
    stopping_ = true;
    SignalEventFd(wake_.get());
    queue_.join();
  }
  {
    // A request the kernel gave up on may still be with the handler.
    std::unique_lock lock(answered_mu_);
    all_answered_.wait(lock, [this] { return with_handler_ == 0; });
  }
  if (descriptors_ != nullptr) ::munmap(descriptors_, descriptors_size_);
  descriptors_ = nullptr;
  if (buffers_ != nullptr) ::munmap(buffers_, buffers_size_);
  buffers_ = nullptr;
  queue_fd_.Reset();
  if (id_ >= 0 && control_.valid()) {
    const int result = ControlCommand(control_.get(), UBLK_U_CMD_DEL_DEV, id_, nullptr, 0);
    if (result < 0 && status.ok()) status = UblkError("delete", result);
  }
  return status;
}

int UblkDevice::RemoveStale(uint64_t owner) {
  if (!Available()) return 0;
  UniqueFd control(::open(kControlPath, O_RDWR | O_CLOEXEC));
  if (!control.valid()) return 0;
  int removed = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator entry("/sys/class/ublk-char", ec), end;
       !ec && entry != end; entry.increment(ec)) {
    const std::string name = entry->path().filename().string();
    if (name.rfind("ublkc", 0) != 0) continue;
    char* digits_end = nullptr;
    const unsigned long id = std::strtoul(name.c_str() + 5, &digits_end, 10);
    if (digits_end == name.c_str() + 5 || *digits_end != '\0') continue;
    ublksrv_ctrl_dev_info info;
    std::memset(&info, 0, sizeof info);
    if (ControlCommand(control.get(), UBLK_U_CMD_GET_DEV_INFO, static_cast<uint32_t>(id), &info,
                       sizeof info) < 0) {
      continue;
    }
    if (info.ublksrv_flags != owner) continue;
    const bool alive = info.ublksrv_pid > 0 && info.ublksrv_pid != ::getpid() &&
                       (::kill(info.ublksrv_pid, 0) == 0 || errno == EPERM);
    if (alive) continue;
    (void)ControlCommand(control.get(), UBLK_U_CMD_STOP_DEV, static_cast<uint32_t>(id), nullptr, 0);
    if (ControlCommand(control.get(), UBLK_U_CMD_DEL_DEV, static_cast<uint32_t>(id), nullptr, 0) >=
        0) {
      ++removed;
    }
  }
  return removed;
}

}  // namespace quensaria::platform
