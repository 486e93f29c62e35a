// The workers: completions of socket and file operations, the step loop that
// carries a connection from one operation to the next, and closing.
#include <cerrno>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "service/engine/engine_core.h"

namespace quensaria::engine {
namespace {

using platform::ConsolePrintf;
using platform::SocketErrorFromErrno;
using platform::SocketOperation;
using platform::StartResult;

}  // namespace

void ConnectionEngine::Core::WorkerEnded(int& running) {
  std::scoped_lock lock(workers_lock);
  --running;
  worker_ended.notify_all();
}

void ConnectionEngine::Core::SocketWorker() {
  for (;;) {
    platform::SocketCompletion done;
    int error = 0;
    if (!socket_port->Wait(done, error)) {
      ConsolePrintf("GetQueuedCompletionStatus() failed: %d\n", SocketErrorFromErrno(error));
      if (stopping.load()) break;
      continue;
    }
    if (done.key == nullptr || stopping.load()) break;
    auto* c = static_cast<Connection*>(done.key);
    try {
      if (done.error != 0) {
        ConsolePrintf("GetQueuedCompletionStatus() failed: %d\n", SocketErrorFromErrno(done.error));
        CloseClient(c, false);
      } else if (done.bytes == 0) {
        CloseClient(c, false);  // the peer has closed
      } else {
        const Step step = c->io->operation == kOperationSend ? processor->Sent(*c, done.bytes)
                                                             : processor->Received(*c, done.bytes);
        Drive(c, step, false);
      }
    } catch (...) {
      CloseClient(c, false);
    }
  }
  WorkerEnded(socket_workers_running);
}

void ConnectionEngine::Core::FileWorker() {
  for (;;) {
    platform::FileOperation* op = file_port.Wait();
    if (stopping.load()) break;
    if (op == nullptr || op->key == nullptr) {
      CloseClient(nullptr, false);
      continue;
    }
    auto* c = static_cast<Connection*>(op->key);
    try {
      Drive(c, Step::kFileOp, true);
    } catch (...) {
      CloseClient(c, false);
    }
  }
  WorkerEnded(file_workers_running);
}

// Carries the connection on until an operation is pending (or it closed).
// Receives and sends are tried at once, except the receive of a new
// request, which the client cannot have sent yet. File transfers are tried
// at once without waiting; one that would wait goes to the file workers.
void ConnectionEngine::Core::Drive(Connection* c, Step step, bool on_file_worker) {
  PER_IO_CONTEXT& io = *c->io;
  for (;;) {
    // Once shutdown has begun the connection is left as it is, to be reset.
    if (stopping.load(std::memory_order_relaxed)) return;
    switch (step) {
      case Step::kReceive:
      case Step::kSend: {
        const bool send = step == Step::kSend;
        io.overlapped.kind = send ? SocketOperation::Kind::kSend : SocketOperation::Kind::kReceive;
        const bool try_now = send || io.bytes_received != 0;
        size_t bytes = 0;
        int error = 0;
        switch (socket_port->Start(io.overlapped, try_now, bytes, error)) {
          case StartResult::kPending:
            return;
          case StartResult::kFailed:
            if (send) {
              ConsolePrintf("WSASend() failed: %d\n", SocketErrorFromErrno(error));
            } else {
              ConsolePrintf("WSARecv() failed: %d\n", SocketErrorFromErrno(error));
            }
            CloseClient(c, false);
            return;
          case StartResult::kCompleted:
            if (bytes == 0) {
              CloseClient(c, false);
              return;
            }
            step = send ? processor->Sent(*c, bytes) : processor->Received(*c, bytes);
            break;
        }
        break;
      }
      case Step::kFileOp: {
        const source::IoResult r = processor->PerformFileOp(*c, !on_file_worker);
        if (r.would_block) {
          file_port.Post(&c->file_overlapped.port);
          return;
        }
        step = (r.error != 0 && !on_file_worker) ? processor->FileOpNotStarted(*c, r.error)
                                                 : processor->CompleteFileOp(*c, r);
        break;
      }
      case Step::kClose:
        CloseClient(c, false);
        return;
    }
  }
}

void ConnectionEngine::Core::CloseClient(PER_SOCKET_CONTEXT* context, bool graceful) {
  if (context == nullptr) {
    ConsolePrintf("CloseClient: lpPerSocketContext is NULL\n");
    return;
  }
  auto* c = static_cast<Connection*>(context);
  {
    std::scoped_lock lock(engine_lock);
    auto entry = client_map.find(c->client_address);
    if (entry != client_map.end()) {
      std::erase(entry->second, c);
      if (entry->second.empty()) {
        client_map.erase(entry);
        // The address leaves the map with its last connection.
        if (!stop_requested.load() && hooks.ClientDisconnected) {
          try {
            hooks.ClientDisconnected(self, c->client_address);
          } catch (...) {
          }
        }
      }
    }
  }
  {
    std::scoped_lock lock(live_lock);
    UnlinkLive(c);
    if (!graceful) platform::SetAbortiveClose(c->socket);
    platform::UniqueFd closing(c->socket);
    c->socket = -1;
  }
  delete c;
}

}  // namespace quensaria::engine
