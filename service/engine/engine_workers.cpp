// The workers: completions of socket and file operations, the step loop that
// carries a connection from one operation to the next, and closing.
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "service/engine/engine_core.h"
#include "shared/dotted_ipv4.h"

namespace quensaria::engine {
namespace {

using platform::ConsoleLog;
using platform::ConsolePriority;
using platform::SocketOperation;
using platform::StartResult;

// How long a file worker that has just replied waits for that client's next
// request before handing the connection back to the socket port. A driver
// sends its next request within microseconds of a reply when it is busy;
// an idle one costs the worker one short wait.
constexpr auto kLinger = std::chrono::microseconds(500);

// How long a thread that has just replied polls for that client's next
// request before arming its receive. A client at one request in flight
// answers a reply within tens of microseconds (a 64 KiB read: receive,
// descramble, send); polling spares the wake-up of a worker and the
// re-arming of the socket. Only connections whose last gap was this short
// are polled for.
constexpr auto kPoll = std::chrono::microseconds(100);

// A client that resets its connection or goes away ends it as an ordinary
// close does: said only for someone following that client. A failure of the
// port itself means the connection cannot be served.
ConsolePriority PriorityOfTransferFailure(const SocketOperation& op, int error) {
  if (op.failed_call != nullptr && std::strcmp(op.failed_call, "epoll_ctl") == 0) {
    return ConsolePriority::kError;
  }
  switch (error) {
    case ECONNRESET:
    case EPIPE:
    case ECONNABORTED:
      return ConsolePriority::kDebug;
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ENETDOWN:
      return ConsolePriority::kNotice;
    default:
      return ConsolePriority::kWarning;
  }
}

// "recv() failed: 104 Connection reset by peer"
void LogTransferFailure(const SocketOperation& op, int error) {
  const char* call = op.failed_call != nullptr                 ? op.failed_call
                     : op.kind == SocketOperation::Kind::kSend ? "send"
                                                               : "recv";
  ConsoleLog(PriorityOfTransferFailure(op, error), "%s() failed: %d %s\n", call, error,
             platform::ErrnoText(error));
}

// Whether the peer has closed or reset the connection (seen without
// waiting). A driver that closes a connection sends its requests again on
// another one.
bool PeerHasLeft(int socket) {
  pollfd p{socket, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

void LogEscaped(const char* where) {
  try {
    throw;
  } catch (const std::exception& e) {
    ConsoleLog(ConsolePriority::kError, "%s: %s\n", where, e.what());
  } catch (...) {
    ConsoleLog(ConsolePriority::kError, "%s: unknown exception\n", where);
  }
}

// Called while this thread still owns the connection, its reply sent and its
// next receive not yet started: the registry hears of the log-on before it
// can hear of the connection's end.
void ConnectionEngine::Core::ReportLogOn(LiveConnection* c) {
  if (!std::exchange(c->log_on_to_report, false)) return;
  if (stop_requested.load() || !hooks.ClientLoggedOn) return;
  // The level the log-on left: full after the management password.
  hooks.ClientLoggedOn(self, c->client_address, static_cast<uint8_t>(c->access));
}

void ConnectionEngine::Core::WorkerEnded(int& running) {
  std::scoped_lock lock(workers_lock);
  --running;
  worker_ended.notify_all();
}

// The receive of a connection's next request. The client has just had its
// reply; at one request in flight it answers within microseconds. So this
// thread first polls for the request (when the connection's last gap was
// shorter than kPoll and no more than max_pollers threads poll), then a file
// worker lingers on the socket, and only then is the receive armed.
platform::Started ConnectionEngine::Core::StartNextReceive(LiveConnection* c, bool on_file_worker) {
  platform::SocketOperation& op = c->io->socket_op;
  // Between requests a connection may wait as long as its client likes.
  if (c->peer_wait_since.load(std::memory_order_relaxed) != 0) {
    c->peer_wait_since.store(0, std::memory_order_relaxed);
  }
  c->waiting_since = std::chrono::steady_clock::now();
  std::optional<platform::Started> result;
  // Polling holds a processor: only while few connections are being served.
  if (c->poll_for_next && serving.load(std::memory_order_relaxed) <= max_pollers) {
    if (pollers.fetch_add(1, std::memory_order_relaxed) < max_pollers) {
      result = socket_port->Poll(op, kPoll);
    }
    pollers.fetch_sub(1, std::memory_order_relaxed);
  }
  if (!result && on_file_worker &&
      file_port.Linger(op.socket, kLinger) == platform::LingerResult::kReadable) {
    result = socket_port->Start(op, true);
  }
  if (!result) result = socket_port->Start(op, false);
  if (result->result != StartResult::kPending) NextRequestArrived(c);
  // Once pending, another thread may own the connection already.
  return *result;
}

// The rest of a request, or a reply, tried at once. When it must wait on the
// peer, the time is noted before the record goes to the port, so that the
// sweeper can cut off a peer that stops half way.
platform::Started ConnectionEngine::Core::StartMidRequest(LiveConnection* c) {
  platform::SocketOperation& op = c->io->socket_op;
  if (const std::optional<platform::Started> done = socket_port->Try(op)) return *done;
  c->peer_wait_since.store(SweepClock(), std::memory_order_relaxed);
  return socket_port->Start(op, false);
}

// The next request has arrived (or the wait ended otherwise): was the gap
// short enough to poll for next time?
void ConnectionEngine::Core::NextRequestArrived(LiveConnection* c) {
  if (c->waiting_since == std::chrono::steady_clock::time_point{}) return;
  c->poll_for_next = std::chrono::steady_clock::now() - c->waiting_since < kPoll;
  c->waiting_since = {};
}

void ConnectionEngine::Core::SocketWorker() {
  stats.Join();
  for (;;) {
    const Result<platform::SocketCompletion> waited = socket_port->Wait();
    if (!waited.ok()) {
      ConsoleLog(ConsolePriority::kError, "epoll_wait() failed: %s\n",
                 waited.status().message().c_str());
      if (stopping.load()) break;
      continue;
    }
    const platform::SocketCompletion& done = waited.value();
    if (done.key == nullptr || stopping.load()) break;
    auto* c = static_cast<LiveConnection*>(done.key);
    try {
      if (done.error != 0) {
        LogTransferFailure(*done.operation, done.error);
        CloseClient(c);
      } else if (done.bytes == 0) {
        CloseClient(c);  // the peer has closed
      } else {
        if (c->io->operation != kOperationSend) NextRequestArrived(c);
        const Step step = c->io->operation == kOperationSend ? processor->Sent(*c, done.bytes)
                                                             : Received(c, done.bytes);
        Drive(c, step, false);
      }
    } catch (...) {
      LogEscaped("socket worker: connection reset");
      CloseClient(c);
    }
  }
  WorkerEnded(socket_workers_running);
}

void ConnectionEngine::Core::FileWorker() {
  stats.Join();
  for (;;) {
    platform::FileOperation* op = file_port.Wait();
    if (stopping.load()) break;
    if (op == nullptr || op->key == nullptr) {
      ConsoleLog(ConsolePriority::kError, "file completion without a connection\n");
      continue;
    }
    auto* c = static_cast<LiveConnection*>(op->key);
    try {
      Drive(c, Step::kFileOp, true);
    } catch (...) {
      LogEscaped("file worker: connection reset");
      CloseClient(c);
    }
  }
  WorkerEnded(file_workers_running);
}

// Carries the connection on until an operation is pending (or it closed).
// Receives and sends are tried at once, except the receive of a new
// request, which the client cannot have sent yet (StartNextReceive). File
// transfers are tried at once without waiting; one that would wait goes to
// the file workers. A thread that has replied polls or lingers for the next
// request: one that comes back to back is then served by it, with no
// worker woken and no hand-off between workers.
void ConnectionEngine::Core::Drive(LiveConnection* c, Step step, bool on_file_worker) {
  ConnectionBuffer& io = *c->io;
  serving.fetch_add(1, std::memory_order_relaxed);
  struct Served {
    std::atomic<int>& count;
    ~Served() { count.fetch_sub(1, std::memory_order_relaxed); }
  } served{serving};
  for (;;) {
    // Once shutdown has begun the connection is left as it is, to be reset.
    if (stopping.load(std::memory_order_relaxed)) return;
    switch (step) {
      case Step::kReceive:
      case Step::kSend: {
        const bool send = step == Step::kSend;
        io.socket_op.kind = send ? SocketOperation::Kind::kSend : SocketOperation::Kind::kReceive;
        // A log-on's reply has gone out whole: the registry hears of it now.
        if (!send) ReportLogOn(c);
        // Records sent as they are sealed only while the processors are not
        // busy with other connections (as polling is).
        if (send && c->tls_link) {
          c->tls_link->set_pipelined(serving.load(std::memory_order_relaxed) <= max_pollers);
        }
        // A send, or the rest of a request, is tried at once; the next
        // request is waited for.
        const platform::Started started = send || io.bytes_received != 0
                                              ? StartMidRequest(c)
                                              : StartNextReceive(c, on_file_worker);
        switch (started.result) {
          case StartResult::kPending:
            return;
          case StartResult::kFailed:
            LogTransferFailure(io.socket_op, started.error);
            CloseClient(c);
            return;
          case StartResult::kCompleted:
            if (started.bytes == 0) {
              CloseClient(c);
              return;
            }
            step = send ? processor->Sent(*c, started.bytes) : Received(c, started.bytes);
            break;
        }
        break;
      }
      case Step::kFileOp: {
        // The whole request is in: a slow source is not the peer's stall.
        if (c->peer_wait_since.load(std::memory_order_relaxed) != 0) {
          c->peer_wait_since.store(0, std::memory_order_relaxed);
        }
        if (on_file_worker && c->file_operation == kFileFlush) {
          step = processor->RunFlush(*c);
          // Parked: the sync owns the connection now, and may have handed it on already.
          if (step == Step::kParked) return;
          break;
        }
        // Writes of the same blocks land (and reach the cache) in the order
        // they began: one still being made on another worker, whose client
        // may have sent it again since, is waited for on a file worker.
        const bool write = c->file_operation == kFileWrite;
        source::WriteOrder::Held held;
        if (write) {
          const FileTransfer& f = c->file_transfer;
          source::WriteOrder& order = source->write_order();
          held = on_file_worker ? order.Wait(f.position, f.length - f.done)
                                : order.Try(f.position, f.length - f.done);
          if (!held) {
            file_port.Post(&c->file_transfer.port);
            return;
          }
        }
        // A write whose client has left was never acknowledged, and its
        // copy sent again may have been made and overwritten since: made
        // now, it would put old data over newer.
        if (on_file_worker && write && PeerHasLeft(c->socket)) {
          held.reset();
          ConsoleLog(ConsolePriority::kNotice,
                     "client %s: connection closed while its write at offset %llu waited, "
                     "write not made\n",
                     FormatIpv4(c->client_address).c_str(),
                     static_cast<unsigned long long>(c->request.offset));
          CloseClient(c);
          return;
        }
        const source::IoResult r = processor->PerformFileOp(*c, !on_file_worker);
        if (r.would_block) {
          held.reset();
          file_port.Post(&c->file_transfer.port);
          return;
        }
        // A transfer that fails may be the first sign of a source cut short.
        if (r.error != 0 || r.bytes == 0) CheckSource();
        step = (r.error != 0 && !on_file_worker) ? processor->FileOpNotStarted(*c, r.error)
                                                 : processor->CompleteFileOp(*c, r);
        break;
      }
      case Step::kParked:
        return;  // FlushAnswered hands it back
      case Step::kClose:
        CloseClient(c, c->close_after_reply ? Closing::kOrderly : Closing::kReset);
        return;
    }
  }
}

Step ConnectionEngine::Core::Received(LiveConnection* c, size_t bytes) {
  if (c->tls == kTlsUnsettled) {
    switch (c->tls_link->state()) {
      case TlsLink::State::kSession:
        processor->TlsSessionOpened(*c, c->tls_link->identity() == TlsLink::Identity::kManage);
        break;
      case TlsLink::State::kPlain:
        c->tls = kTlsMissing;
        break;
      default:
        break;
    }
  }
  return processor->Received(*c, bytes);
}

// The export's sync has answered a parked flush, on the thread that ran it:
// a file worker takes the connection up again and sends the reply.
void ConnectionEngine::Core::FlushAnswered(source::SharedSync::Waiter* waiter) {
  auto* core = static_cast<Core*>(waiter->context);
  core->file_port.Post(&static_cast<LiveConnection*>(waiter->key)->file_transfer.port);
}

void ConnectionEngine::Core::CloseClient(LiveConnection* c, Closing how) {
  {
    std::scoped_lock lock(engine_lock);
    auto entry = client_map.find(c->client_address);
    if (entry != client_map.end()) {
      std::erase(entry->second, c);
      if (entry->second.empty()) {
        client_map.erase(entry);
        // The address leaves the map with its last connection (also while
        // stopping: the registry's online list must lose it).
        if (hooks.ClientDisconnected) {
          try {
            hooks.ClientDisconnected(self, c->client_address);
          } catch (...) {
            LogEscaped("ClientDisconnected");
          }
        }
      }
    }
  }
  {
    std::scoped_lock lock(live_lock);
    UnlinkLive(c);
    if (how == Closing::kOrderly) {
      platform::DrainAndFinish(c->socket);
    } else {
      (void)platform::SetAbortiveClose(c->socket);
    }
    platform::UniqueFd closing(c->socket);
    c->socket = -1;
  }
  delete c;
}

}  // namespace quensaria::engine
