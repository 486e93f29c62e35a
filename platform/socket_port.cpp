#include "platform/socket_port.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/errors.h"
#include "platform/socket.h"

namespace quensaria::platform {
namespace {

Transfer Perform(SocketOperation& op) {
  const bool send = op.kind == SocketOperation::Kind::kSend;
  if (op.layer != nullptr) {
    const LayerTransfer t =
        send ? op.layer->Send(op.data, op.length) : op.layer->Receive(op.data, op.length);
    if (t.error != 0 && t.error != EAGAIN) op.failed_call = t.failed_call;
    return Transfer{t.bytes, t.error};
  }
  const Transfer t =
      send ? SendSome(op.socket, op.data, op.length) : ReceiveSome(op.socket, op.data, op.length);
  if (t.error != 0 && t.error != EAGAIN) op.failed_call = send ? "send" : "recv";
  return t;
}

}  // namespace

Result<std::unique_ptr<SocketPort>> SocketPort::Create() {
  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll) return ErrnoStatus("epoll_create1", errno);
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return ErrnoStatus("eventfd", errno);
  epoll_event ev{};
  ev.events = EPOLLIN;  // level-triggered: wakes every waiter, now and later
  ev.data.ptr = nullptr;
  if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &ev) != 0) {
    return ErrnoStatus("epoll_ctl", errno);
  }
  return std::unique_ptr<SocketPort>(new SocketPort(std::move(epoll), std::move(wake)));
}

SocketPort::SocketPort(UniqueFd epoll, UniqueFd wake)
    : epoll_(std::move(epoll)), wake_(std::move(wake)) {}

int SocketPort::Arm(SocketOperation& op) {
#if defined(__SANITIZE_THREAD__)
  std::scoped_lock lock(op.tsan_handoff);
#endif
  epoll_event ev{};
  const bool send = op.kind == SocketOperation::Kind::kSend;
  const bool out = op.layer != nullptr ? op.layer->WaitsToWrite(send) : send;
  ev.events = (out ? EPOLLOUT : EPOLLIN) | EPOLLONESHOT;
  ev.data.ptr = &op;
  const int socket = op.socket;
  const int action = op.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  op.registered = true;
  // The last touch of the record: once armed, another thread may own it.
  op.handoff.fetch_add(1, std::memory_order_release);
  if (::epoll_ctl(epoll_.get(), action, socket, &ev) == 0) return 0;
  // Not armed, so the record is still ours. A socket that could not join
  // the port is left out of it.
  const int error = errno;
  if (action == EPOLL_CTL_ADD) op.registered = false;
  op.failed_call = "epoll_ctl";
  return error;
}

// One try of the transfer: its result, or nothing when it would block.
std::optional<Started> SocketPort::Try(SocketOperation& op) {
  const Transfer t = Perform(op);
  if (t.error == EAGAIN) return std::nullopt;
  if (t.error != 0) return Started{StartResult::kFailed, 0, t.error};
  return Started{StartResult::kCompleted, t.bytes, 0};
}

Started SocketPort::Start(SocketOperation& op, bool try_now) {
  // Bytes a layer holds already would never wake the port.
  if (try_now || (op.layer != nullptr && op.layer->HasBuffered())) {
    if (const std::optional<Started> done = Try(op)) return *done;
  }
  const int error = Arm(op);
  return Started{error == 0 ? StartResult::kPending : StartResult::kFailed, 0, error};
}

std::optional<Started> SocketPort::Poll(SocketOperation& op, std::chrono::microseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  do {
    if (const std::optional<Started> done = Try(op)) return done;
  } while (std::chrono::steady_clock::now() < until);
  return std::nullopt;
}

Result<SocketCompletion> SocketPort::Wait() {
  for (;;) {
    epoll_event ev;
    const int n = ::epoll_wait(epoll_.get(), &ev, 1, -1);
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return Status(Win32ErrorFromErrno(error), std::to_string(error) + " " + ErrnoText(error));
    }
    if (n == 0) continue;
    auto* op = static_cast<SocketOperation*>(ev.data.ptr);
    SocketCompletion completion;
    if (op == nullptr) return completion;  // shutdown
#if defined(__SANITIZE_THREAD__)
    { std::scoped_lock taken(op->tsan_handoff); }
#endif
    (void)op->handoff.load(std::memory_order_acquire);
    const Transfer t = Perform(*op);
    if (t.error == EAGAIN) {
      // Woken without the transfer being possible: arm again and wait on.
      const int arm = Arm(*op);
      if (arm == 0) continue;
      completion.error = arm;
    } else {
      completion.error = t.error;
      completion.bytes = t.bytes;
    }
    completion.key = op->key;
    completion.operation = op;
    return completion;
  }
}

void SocketPort::PostShutdown() { SignalEventFd(wake_.get()); }

}  // namespace quensaria::platform
