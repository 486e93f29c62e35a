#include "driver/disk_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "driver/debug_print.h"
#include "driver/disk_controls.h"
#include "shared/driver_layout.h"
#include "shared/sector.h"

namespace quensaria::driver {
namespace {

// How many queued transfers a thread that served its own request at once
// serves after it, and for how long it starts more, before it returns to
// its caller (a FUSE thread, which other devices need too).
constexpr int kServedAfterOwn = 8;
constexpr std::chrono::milliseconds kServingAfterOwn{1000};

}  // namespace

std::string DeviceName(DeviceType type, uint32_t number) {
  return quensaria::DeviceName(type == DeviceType::kCdRom, number);
}

DiskDevice::DiskDevice(DeviceType type, uint32_t number, DeviceOptions options)
    : type_(type), number_(number), name_(DeviceName(type, number)), options_(std::move(options)) {
  state_.read_only = type_ == DeviceType::kCdRom;
  worker_ = std::thread([this] { Work(true); });
}

DiskDevice::~DiskDevice() { Stop(); }

void DiskDevice::BeginStop() {
  {
    std::scoped_lock lock(queue_mu_);
    stop_ = true;
  }
  give_up_.Raise();
  wake_.notify_all();
}

void DiskDevice::RefuseMounts() {
  {
    std::scoped_lock lock(queue_mu_);
    refuse_mounts_ = true;
  }
  // After the flag is set: a mount that lowered it before is seen here.
  give_up_.Raise();
}

void DiskDevice::Stop() {
  BeginStop();
  if (worker_.joinable()) worker_.join();
  std::vector<std::thread> helpers;
  {
    std::scoped_lock lock(queue_mu_);
    helpers.swap(helpers_);
  }
  for (std::thread& t : helpers) t.join();
}

DeviceState DiskDevice::State() const {
  std::scoped_lock lock(state_mu_);
  return state_;
}

DiskDevice::Basics DiskDevice::GetBasics() const {
  std::scoped_lock lock(state_mu_);
  return {state_.mounted, state_.disk_size, state_.read_only};
}

// At most once: a completion that throws half way is not run again by the
// handler that catches it (what it holds answers as it goes).
void DiskDevice::Complete(DeviceRequest& request, NtStatus status, uint32_t information) {
  request.status = status;
  request.information = NT_SUCCESS(status) ? information : 0;
  if (request.control) {
    request.control->status = request.status;
    request.control->information = request.information;
  }
  std::function<void(DeviceRequest&)> complete = std::move(request.complete);
  request.complete = nullptr;
  if (complete) complete(request);
}

void DiskDevice::Submit(std::unique_ptr<DeviceRequest> request) {
  switch (request->kind) {
    case RequestKind::kRead:
    case RequestKind::kWrite:
    case RequestKind::kSync:
      return DispatchTransfer(std::move(request));
    case RequestKind::kControl:
      return DispatchControl(std::move(request));
  }
  Complete(*request, STATUS_DRIVER_INTERNAL_ERROR);
}

void DiskDevice::DispatchTransfer(std::unique_ptr<DeviceRequest> request) {
  if (!GetBasics().mounted) return Complete(*request, STATUS_NO_MEDIA_IN_DEVICE);
  if (request->kind != RequestKind::kSync) {
    if (request->length == 0) return Complete(*request, STATUS_SUCCESS);
    // The devices are disks: they move whole sectors only.
    if (request->offset % kSectorSize != 0 || request->length % kSectorSize != 0) {
      return Complete(*request, STATUS_INVALID_PARAMETER);
    }
  }
  Queue(std::move(request));
}

void DiskDevice::DispatchControl(std::unique_ptr<DeviceRequest> request) {
  DeviceControlBlock* block = request->control.get();
  if (block == nullptr || block->inputLength > sizeof block->buffer ||
      block->outputLength > sizeof block->buffer) {
    return Complete(*request, STATUS_INVALID_PARAMETER);
  }
  const Basics state = GetBasics();
  if (block->code == IOCTL_VDISK_MOUNT) {
    if (state.mounted) return Complete(*request, STATUS_DEVICE_ALREADY_ATTACHED);
    if (block->inputLength != kMountRecordSize) return Complete(*request, STATUS_INVALID_PARAMETER);
    return Queue(std::move(request));
  }
  if (!state.mounted) return Complete(*request, STATUS_NO_MEDIA_IN_DEVICE);
  switch (block->code) {
    case IOCTL_VDISK_UNMOUNT:
      give_up_.Raise();
      return Queue(std::move(request));
    case IOCTL_VDISK_QUERY:
      if (block->outputLength < kMountRecordSize) {
        return Complete(*request, STATUS_BUFFER_TOO_SMALL);
      }
      Query(block);
      return Complete(*request, block->status, block->information);
    default:
      AnswerDiskControl({state.disk_size, state.read_only}, block);
      return Complete(*request, block->status, block->information);
  }
}

void DiskDevice::Queue(std::unique_ptr<DeviceRequest> request) {
  std::unique_lock lock(queue_mu_);
  const bool transfer = request->kind != RequestKind::kControl;
  for (;;) {
    if (stop_) {
      lock.unlock();
      return Complete(*request, STATUS_NO_MEDIA_IN_DEVICE);
    }
    // A back end of one place serves one request at a time anyway: a thread
    // that asked to hand off waits no longer for serving it itself. Of the
    // threads that did not, one at a time serves here: the file system's
    // request threads are shared by every device, and a device whose server
    // is away must not hold more than one of them.
    const bool here = parallel_ == 1 || (!request->hand_off && lent_threads_ == 0);
    if (transfer && here && queue_.empty() && !alone_ && serving_ < parallel_) {
      // A free place: serve it here rather than wake a worker for it.
      ++serving_;
      const bool lent = !request->hand_off;
      if (lent) ++lent_threads_;
      lock.unlock();
      Serve(*request);
      Recycle(*request);
      lock.lock();
      // Transfers queued meanwhile keep this place: the next few are served
      // here too, in their order, rather than woken a worker for. Not after
      // a failure: a server that is away would hold this thread for each.
      std::chrono::steady_clock::time_point until{};
      bool served_well = NT_SUCCESS(request->status);
      for (int taken = 0; served_well && taken < kServedAfterOwn && !stop_ && !queue_.empty() &&
                          queue_.front()->kind != RequestKind::kControl;
           ++taken) {
        std::unique_ptr<DeviceRequest> next = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        // The clock is read only when there is something to serve.
        if (taken == 0) until = std::chrono::steady_clock::now() + kServingAfterOwn;
        Serve(*next);
        Recycle(*next);
        served_well = NT_SUCCESS(next->status) && std::chrono::steady_clock::now() < until;
        next.reset();
        lock.lock();
      }
      --serving_;
      if (lent) --lent_threads_;
      const bool more = stop_ || FrontReady();
      lock.unlock();
      if (more) wake_.notify_all();
      return;
    }
    if (!request->lent) break;
    // It waits: a copy of the payload, made without holding up the queue.
    lock.unlock();
    IoBuffer copy = buffers_.Take(request->length);
    if (!copy.allocated()) return Complete(*request, STATUS_INSUFFICIENT_RESOURCES);
    std::memcpy(copy.data(), request->buffer, request->length);
    request->data = std::move(copy);
    request->buffer = nullptr;
    request->lent = false;
    lock.lock();
  }
  queue_.push_back(std::move(request));
  // One worker per place the back end has, started when those waiting are
  // fewer than the requests queued.
  if (transfer && waiting_ < queue_.size() && helpers_.size() + 1 < parallel_) {
    try {
      helpers_.emplace_back([this] { Work(false); });
    } catch (const std::exception& e) {
      // The workers there are serve it.
      DebugPrint("%s: no further worker: %s", name_.c_str(), e.what());
    }
  }
  // Only a request that may be served now is worth a worker's wake-up; the
  // one that frees a place wakes them for the rest.
  const bool ready = FrontReady();
  lock.unlock();
  if (ready) wake_.notify_all();
}

bool DiskDevice::FrontReady() const {
  if (queue_.empty() || alone_) return false;
  if (queue_.front()->kind == RequestKind::kControl) return serving_ == 0;
  return serving_ < parallel_;
}

void DiskDevice::Work(bool first) {
  std::unique_lock lock(queue_mu_);
  for (;;) {
    ++waiting_;
    wake_.wait(lock, [&] { return FrontReady() || (stop_ && queue_.empty()); });
    --waiting_;
    if (queue_.empty()) break;  // stopping, and everything queued is answered
    std::unique_ptr<DeviceRequest> request = std::move(queue_.front());
    queue_.pop_front();
    const bool alone = request->kind == RequestKind::kControl;
    alone_ = alone;
    ++serving_;
    // The next one may go beside this one.
    const bool beside = FrontReady();
    lock.unlock();
    if (beside) wake_.notify_all();
    Serve(*request);
    Recycle(*request);
    request.reset();
    lock.lock();
    --serving_;
    if (alone) alone_ = false;
    // This worker takes the next request itself; the others are woken only
    // for more than that, or for the end (the first waits for the rest).
    if (stop_ || alone || (FrontReady() && serving_ + 1 < parallel_)) wake_.notify_all();
  }
  if (!first) return;
  // The others end too; what they serve is answered before the back end goes.
  wake_.wait(lock, [&] { return serving_ == 0; });
  lock.unlock();
  if (!back_end_) return;
  // Nothing is taken any more: what was acknowledged is made durable before
  // the back end goes (a server that is away gets one attempt, and one gone
  // silent no longer than a transfer: the service manager waits less than a
  // flush's time-out). A read-only mount wrote nothing, as at an unmount.
  const NtStatus flushed = GetBasics().read_only ? STATUS_SUCCESS : back_end_->FlushBeforeUnmount();
  if (flushed != STATUS_SUCCESS) {
    DebugPrint("%s: flush before stopping failed %X: writes since the last flush may be lost",
               name_.c_str(), flushed);
  }
  // Unload leaves nothing dangling: no connection, no open image, no link.
  Unmount();
}

void DiskDevice::Serve(DeviceRequest& request) {
  try {
    switch (request.kind) {
      case RequestKind::kRead:
        return ServeRead(request);
      case RequestKind::kWrite:
        return ServeWrite(request);
      case RequestKind::kSync:
        if (!back_end_) return Complete(request, STATUS_NO_MEDIA_IN_DEVICE);
        return Complete(request, back_end_->Flush());
      case RequestKind::kControl:
        return ServeControl(request);
    }
    Complete(request, STATUS_DRIVER_INTERNAL_ERROR);
  } catch (const std::bad_alloc&) {
    Complete(request, STATUS_INSUFFICIENT_RESOURCES);
  } catch (const std::exception& e) {
    DebugPrint("Exception in %s: %s", name_.c_str(), e.what());
    Complete(request, STATUS_DRIVER_INTERNAL_ERROR);
  } catch (...) {
    DebugPrint("Exception in %s", name_.c_str());
    Complete(request, STATUS_DRIVER_INTERNAL_ERROR);
  }
}

// Only a mounted device keeps buffers: what was in flight at an unmount is
// freed, not kept for the next mount.
void DiskDevice::Recycle(DeviceRequest& request) noexcept {
  if (back_end_ && request.data.allocated()) buffers_.Give(std::move(request.data));
}

void DiskDevice::ServeRead(DeviceRequest& request) {
  // Taken from the queue after an unmount: the back end is gone.
  if (!back_end_) return Complete(request, STATUS_NO_MEDIA_IN_DEVICE);
  const Basics state = GetBasics();
  // Like a block device, the disk ends at its size: a read there finds the
  // end, a read across it is cut short.
  if (request.offset >= state.disk_size) return Complete(request, STATUS_SUCCESS, 0);
  const uint64_t length = std::min<uint64_t>(request.length, state.disk_size - request.offset);
  uint8_t* target = request.buffer;
  if (target == nullptr) {
    request.data = buffers_.Take(static_cast<size_t>(length));
    if (!request.data.allocated()) return Complete(request, STATUS_INSUFFICIENT_RESOURCES);
    target = request.data.data();
  }
  const NtStatus status = back_end_->Read(target, request.offset, length);
  Complete(request, status, static_cast<uint32_t>(length));
}

void DiskDevice::ServeWrite(DeviceRequest& request) {
  if (!back_end_) return Complete(request, STATUS_NO_MEDIA_IN_DEVICE);
  const Basics state = GetBasics();
  // Not offset + length: near 2^64 the sum wraps and would pass.
  if (request.offset > state.disk_size || request.length > state.disk_size - request.offset) {
    return Complete(request, STATUS_INVALID_PARAMETER);
  }
  if (state.read_only) return Complete(request, STATUS_MEDIA_WRITE_PROTECTED);
  const uint8_t* source = request.buffer;
  if (source == nullptr) {
    if (request.data.size() < request.length) {
      return Complete(request, STATUS_INSUFFICIENT_RESOURCES);
    }
    source = request.data.data();
  }
  const NtStatus status = back_end_->Write(source, request.offset, request.length);
  Complete(request, status, request.length);
}

void DiskDevice::ServeControl(DeviceRequest& request) {
  DeviceControlBlock* block = request.control.get();
  switch (block->code) {
    case IOCTL_VDISK_MOUNT: {
      MountRecord record;
      std::memcpy(&record, block->buffer, sizeof record);
      const NtStatus status = Mount(record, request.caller);
      // The mount keeps its own copy of the digest; these go with no trace of it.
      explicit_bzero(&record, sizeof record);
      explicit_bzero(block->buffer, sizeof record);
      request.media_changed = status == STATUS_SUCCESS;
      return Complete(request, status);
    }
    case IOCTL_VDISK_UNMOUNT: {
      // A second unmount queued behind the first finds the device empty.
      if (!back_end_) return Complete(request, STATUS_NO_MEDIA_IN_DEVICE);
      // What was acknowledged is made durable before the back end goes, as
      // at a stop; a failure does not keep the disk mounted. A read-only
      // mount wrote nothing (and a CD image's file system may know no sync).
      const NtStatus flushed =
          GetBasics().read_only ? STATUS_SUCCESS : back_end_->FlushBeforeUnmount();
      if (flushed != STATUS_SUCCESS) {
        DebugPrint("%s: flush before unmounting failed %X: writes since the last flush may be lost",
                   name_.c_str(), flushed);
      }
      Unmount();
      request.media_changed = true;
      return Complete(request, STATUS_SUCCESS);
    }
    default:
      return Complete(request, STATUS_DRIVER_INTERNAL_ERROR);
  }
}

}  // namespace quensaria::driver
