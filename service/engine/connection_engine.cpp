// The engine thread: start-up, the accept loop, shutdown and teardown.
#include "service/engine/connection_engine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/page_memory.h"
#include "platform/socket.h"
#include "platform/system_info.h"
#include "service/engine/engine_core.h"
#include "shared/dotted_ipv4.h"
#include "shared/win32_error.h"

namespace quensaria::engine {
namespace {

using platform::ConsoleLog;
using platform::ConsolePriority;
using platform::ErrnoText;

constexpr auto kWorkerWait = std::chrono::milliseconds(1000);
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(10);

// The console's line for a step of bringing up the listener; false, so the
// caller can return it.
bool LogFailed(const char* call, const Status& status) {
  ConsoleLog(ConsolePriority::kError, "%s failed: %s\n", call, status.message().c_str());
  return false;
}

}  // namespace

IoRecord NewIoRecord() {
  void* pages = platform::AllocatePages(sizeof(ConnectionBuffer));
  if (pages == nullptr) return nullptr;
  // The pages are zeros already: the buffer needs no filling (and stays
  // untouched, and uncounted, until requests use it).
  return IoRecord(new (pages) ConnectionBuffer);
}

void IoRecordRelease::operator()(ConnectionBuffer* io) const {
  io->~ConnectionBuffer();
  platform::FreePages(io, sizeof(ConnectionBuffer));
}

ConnectionEngine::ConnectionEngine(const ServerConfig& config, const EngineOptions& options)
    : ConnectionEngine(config, source::DiskSource::Open(config), options) {}

ConnectionEngine::ConnectionEngine(const ServerConfig& config,
                                   Result<std::unique_ptr<source::DiskSource>> source,
                                   const EngineOptions& options)
    : core_(std::make_shared<Core>(this, config, std::move(source), options)) {}

ConnectionEngine::~ConnectionEngine() = default;

void ConnectionEngine::SetHooks(EngineHooks hooks) {
  std::scoped_lock lock(core_->live_lock);
  if (core_->hooks_installed) return;  // workers may be reading them
  core_->hooks = std::move(hooks);
  core_->hooks_installed = true;
  core_->live_changed.notify_all();
}

void ConnectionEngine::Run() { core_->Run(); }
void ConnectionEngine::Stop() { core_->Stop(); }

uint16_t ConnectionEngine::WaitUntilListening(std::chrono::milliseconds timeout) {
  std::unique_lock lock(core_->live_lock);
  core_->live_changed.wait_for(lock, timeout,
                               [&] { return core_->listening_port != 0 || core_->ended; });
  return core_->ended ? 0 : core_->listening_port;
}

int ConnectionEngine::LiveConnectionsForTesting() const {
  std::scoped_lock lock(core_->live_lock);
  int count = 0;
  for (const LiveConnection* c = core_->live_head; c != nullptr; c = c->next) ++count;
  return count;
}

void ConnectionEngine::ReadFigures(ServerStats& figures) const {
  core_->stats.Sum(figures);
  std::scoped_lock lock(core_->live_lock);
  uint32_t count = 0;
  for (const LiveConnection* c = core_->live_head; c != nullptr; c = c->next) ++count;
  figures.Connections = count;
}

int ConnectionEngine::DescriptorRetriesForTesting() const {
  return core_->descriptor_retries.load();
}

std::unique_ptr<Endpoint> CreateConnectionEngine(const ServerConfig& config) {
  return std::make_unique<ConnectionEngine>(config);
}

int ConnectionEngine::WorkerCount() {
  return std::min(2 * platform::ProcessorCount(), kMaxWorkers);
}

ConnectionEngine::Core::Core(Endpoint* engine, const ServerConfig& config,
                             Result<std::unique_ptr<source::DiskSource>> opened,
                             const EngineOptions& engine_options)
    : self(engine),
      settings(config),
      options(engine_options),
      port_text(std::to_string(config.Port)),
      max_pollers(std::max(1, platform::ProcessorCount() / 2)) {
  if (!opened.ok()) {
    source_status = opened.status();
    return;
  }
  if (settings.AuthMode == AUTH_MODE_TLS) {
    Result<std::unique_ptr<TlsKeys>> keys = TlsKeys::Create(settings);
    if (!keys.ok()) {
      ConsoleLog(ConsolePriority::kError, "export on port %u: TLS credentials failed: %s\n",
                 static_cast<unsigned>(config.Port), keys.status().message().c_str());
      source_status = keys.status();
      return;
    }
    tls_keys = std::move(keys).value();
  }
  source = std::move(opened).value();
  processor.emplace(*source, settings, &stats);
}

ConnectionEngine::Core::~Core() { Teardown(); }

void ConnectionEngine::Core::Run() {
  try {
    if (source_status.ok()) {
      Result<std::unique_ptr<platform::SocketPort>> port = platform::SocketPort::Create();
      if (port.ok()) {
        socket_port = std::move(port).value();
        if (StartWorkers(WorkerCount())) {
          const uint32_t error = source->io().Associate();
          if (error != 0) {
            // Without it no file operation could complete.
            ConsoleLog(ConsolePriority::kError,
                       "source handle %d cannot serve requests: error %u\n",
                       source->io().HandleValue(), error);
          } else if (Listen()) {
            if (hooks.Listening) hooks.Listening(self);
            AcceptLoop();
          }
        }
      }
    }
  } catch (...) {
    // Nothing may escape the engine thread; what was built is shut down.
    LogEscaped("engine thread: export stopped");
  }
  Shutdown();
}

bool ConnectionEngine::Core::StartWorkers(int count) {
  for (int i = 0; i < count; ++i) {
    for (int kind = 0; kind < 2; ++kind) {
      int& running = kind == 0 ? socket_workers_running : file_workers_running;
      std::vector<std::thread>& pool = kind == 0 ? socket_workers : file_workers;
      {
        std::scoped_lock lock(workers_lock);
        ++running;
      }
      try {
        auto core = shared_from_this();
        pool.emplace_back([core, kind] {
          if (kind == 0) {
            core->SocketWorker();
          } else {
            core->FileWorker();
          }
        });
      } catch (...) {
        LogEscaped("worker thread not started");
        std::scoped_lock lock(workers_lock);
        --running;
        return false;
      }
    }
  }
  return true;
}

bool ConnectionEngine::Core::Listen() {
  platform::PassiveAddress address;
  if (Status resolved = address.Resolve(port_text); !resolved.ok()) {
    ConsoleLog(ConsolePriority::kError, "getaddrinfo() failed with error %s\n",
               resolved.message().c_str());
    return false;
  }
  if (address.empty()) {
    ConsoleLog(ConsolePriority::kError, "getaddrinfo() failed to resolve/convert the interface\n");
    return false;
  }
  Result<platform::UniqueFd> created = platform::CreateSocket(address);
  if (!created.ok()) return LogFailed("socket()", created.status());
  platform::UniqueFd socket = std::move(created).value();
  if (Status s = platform::BindSocket(socket.get(), address); !s.ok())
    return LogFailed("bind()", s);
  if (Status s = platform::ListenSocket(socket.get(), kListenBacklog); !s.ok()) {
    return LogFailed("listen()", s);
  }
  if (Status s = platform::SetNonBlockingListener(socket.get()); !s.ok()) {
    return LogFailed("fcntl(O_NONBLOCK)", s);
  }
  // The send buffer keeps the kernel's size: a size of 0 does not make
  // Linux send from our buffer, it only throttles every send.
  std::unique_lock lock(live_lock);
  if (stop_requested.load()) return false;
  listening_port = platform::LocalPort(socket.get());
  listener = std::move(socket);
  live_changed.notify_all();
  live_changed.wait(lock, [&] { return hooks_installed || stop_requested.load(); });
  return !stop_requested.load();
}

// Each wake takes every connection the queue holds: a room of machines
// booting at once must not wait on SYN retries.
void ConnectionEngine::Core::AcceptLoop() {
  bool short_of_descriptors = false;
  next_sweep = std::chrono::steady_clock::now() + options.sweep_interval;
  for (;;) {
    const Result<bool> waited = platform::WaitForConnection(listener.get(), SweepWait());
    if (stop_requested.load()) return;
    if (std::chrono::steady_clock::now() >= next_sweep) Sweep();
    if (waited.ok() && !waited.value()) continue;
    for (;;) {
      Result<platform::Accepted> accepted = platform::AcceptConnection(listener.get());
      if (stop_requested.load()) {
        // Reset as the stop resets every connection it finds: a plain close
        // would tell this client the export ended in order.
        if (accepted.ok() && accepted->socket)
          (void)platform::SetAbortiveClose(accepted->socket.get());
        return;
      }
      // One connection's trouble does not end the export; a broken listener does.
      if (!accepted.ok()) return;
      using Outcome = platform::Accepted::Outcome;
      if (accepted->outcome == Outcome::kNoneWaiting) break;  // drained
      if (accepted->outcome == Outcome::kOutOfDescriptors) {
        // Said once per shortage; the connections wait in the queue meanwhile.
        if (!short_of_descriptors) {
          ConsoleLog(ConsolePriority::kWarning,
                     "accept() failed: %s: out of file descriptors, connections wait until "
                     "some close\n",
                     accepted->error.message().c_str());
        }
        short_of_descriptors = true;
        ++descriptor_retries;
        std::this_thread::sleep_for(kAcceptRetryPause);
        continue;
      }
      if (accepted->outcome == Outcome::kConnectionFailed) continue;
      short_of_descriptors = false;
      if (!Admit(std::move(accepted->socket), accepted->peer)) return;
    }
  }
}

bool ConnectionEngine::Core::Admit(platform::UniqueFd socket, uint32_t peer) {
  LiveConnection* c = nullptr;
  uint8_t access = ACCESS_REFUSED;
  {
    std::scoped_lock lock(engine_lock);
    if (!hooks.CheckClientAccess || !hooks.CheckClientAccess(self, peer, access)) {
      (void)platform::SetAbortiveClose(socket.get());
      stats.RefusedConnection();
      return true;
    }
    // Memory short for one connection concerns that connection, as a failed
    // accept does: it is turned away and the export serves on.
    c = new (std::nothrow) LiveConnection();
    if (c == nullptr) {
      ConsoleLog(ConsolePriority::kError, "malloc() connection record failed: %d %s\n", ENOMEM,
                 ErrnoText(ENOMEM));
      (void)platform::SetAbortiveClose(socket.get());
      return true;
    }
    c->io_record = NewIoRecord();
    if (!c->io_record) {
      const int error = errno;
      ConsoleLog(ConsolePriority::kError, "mmap() connection buffer failed: %d %s\n", error,
                 ErrnoText(error));
      delete c;
      (void)platform::SetAbortiveClose(socket.get());
      return true;
    }
    c->io = c->io_record.get();
    c->socket = socket.Release();
    c->client_address = peer;
    c->io->socket_op.socket = c->socket;
    if (tls_keys) {
      c->tls_link = TlsLink::Create(*tls_keys, c->socket, peer, &c->peer_wait_since);
      if (!c->tls_link) {
        ConsoleLog(ConsolePriority::kError, "gnutls_init() failed: client refused\n");
        (void)platform::SetAbortiveClose(c->socket);
        platform::UniqueFd closing(c->socket);
        delete c;
        return true;
      }
      c->io->socket_op.layer = c->tls_link.get();
    }
    c->io->socket_op.key = c;
    c->flush.answer = &FlushAnswered;
    c->flush.key = c;
    c->flush.context = this;
    client_map[peer].push_back(c);
    LinkLive(c);
  }
  processor->Admit(*c, access);
  if (c->tls_link) {
    c->tls = kTlsUnsettled;
    // The handshake is a request in progress: a peer that stalls in it is cut off.
    c->peer_wait_since.store(SweepClock(), std::memory_order_relaxed);
  }
  c->io->socket_op.kind = platform::SocketOperation::Kind::kReceive;
  // Arming the first receive hands the connection to the socket workers, so
  // it is the last thing done with it here: from then on a worker may close
  // and free it at any moment (a client that resets at once).
  const platform::Started started = socket_port->Start(c->io->socket_op, false);
  if (started.result == platform::StartResult::kFailed) {
    ConsoleLog(ConsolePriority::kError, "epoll_ctl() failed: %d %s\n", started.error,
               ErrnoText(started.error));
    CloseClient(c);
    return false;
  }
  return true;
}

int64_t SweepClock() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::chrono::milliseconds ConnectionEngine::Core::SweepWait() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      next_sweep - std::chrono::steady_clock::now());
  return std::clamp(left, std::chrono::milliseconds(1), options.sweep_interval);
}

void ConnectionEngine::Core::Sweep() {
  next_sweep = std::chrono::steady_clock::now() + options.sweep_interval;
  CutOffStalled();
  CheckSource();
}

// Nothing changes for the clients: they are served what the export opened,
// never silently another file. The administrator is told, once per change.
void ConnectionEngine::Core::CheckSource() {
  source::SourceWatch* watch = source ? source->watch() : nullptr;
  if (watch == nullptr) return;
  unsigned port;
  {
    std::scoped_lock lock(live_lock);
    port = listening_port != 0 ? listening_port : settings.Port;
  }
  const char* path = watch->path().c_str();
  const auto disk_size = static_cast<unsigned long long>(source->disk_size());
  for (const source::SourceChange& change : watch->Check()) {
    const auto size = static_cast<unsigned long long>(change.size);
    switch (change.kind) {
      case source::SourceChange::kTruncated:
        // What the cache holds past the new end is gone from the source.
        if (source::ReadCache* cache = source->cache()) cache->Forget(change.size);
        ConsoleLog(ConsolePriority::kError,
                   "export on port %u: source %.260s truncated to %llu bytes; clients still see "
                   "%llu, and reads past the new end fail\n",
                   port, path, size, disk_size);
        break;
      case source::SourceChange::kGrown:
        ConsoleLog(ConsolePriority::kNotice,
                   "export on port %u: source %.260s grew to %llu bytes; clients see %llu until "
                   "the export is restarted\n",
                   port, path, size, disk_size);
        break;
      case source::SourceChange::kDeleted:
        ConsoleLog(ConsolePriority::kCritical,
                   "export on port %u: source %.260s deleted; it is served on from the open file, "
                   "and what clients write to it is lost when the export stops\n",
                   port, path);
        break;
      case source::SourceChange::kMoved:
        ConsoleLog(ConsolePriority::kWarning,
                   "export on port %u: source %.260s moved away; it is served on from the open "
                   "file under its new name\n",
                   port, path);
        break;
      case source::SourceChange::kReplaced:
        ConsoleLog(
            change.unnamed ? ConsolePriority::kCritical : ConsolePriority::kError,
            "export on port %u: source %.260s replaced by another file; clients are still "
            "served the old one until the export is restarted%s\n",
            port, path,
            change.unnamed ? ", and what they write to it is lost when the export stops" : "");
        break;
    }
  }
}

// A connection waiting on its peer in the middle of a request for longer
// than the time-out is shut down: the worker that holds its pending
// operation then meets the end and closes it as any other. Under live_lock
// the socket is still the connection's own (CloseClient closes it under
// the same lock).
void ConnectionEngine::Core::CutOffStalled() {
  const int64_t now = SweepClock();
  const int64_t limit = options.stalled_request_timeout.count();
  std::scoped_lock lock(live_lock);
  for (LiveConnection* c = live_head; c != nullptr; c = c->next) {
    const int64_t since = c->peer_wait_since.load(std::memory_order_relaxed);
    if (since == 0 || now - since < limit || c->stall_cut || c->socket < 0) continue;
    c->stall_cut = true;
    ConsoleLog(ConsolePriority::kNotice,
               "client %s: request incomplete for %lld s, connection closed\n",
               FormatIpv4(c->client_address).c_str(), static_cast<long long>((now - since) / 1000));
    platform::ShutdownConnection(c->socket);
  }
}

void ConnectionEngine::Core::LinkLive(LiveConnection* c) {
  std::scoped_lock lock(live_lock);
  c->next = live_head;
  if (live_head != nullptr) live_head->prev = c;
  live_head = c;
}

void ConnectionEngine::Core::UnlinkLive(LiveConnection* c) {
  if (c->prev != nullptr) c->prev->next = c->next;
  if (c->next != nullptr) c->next->prev = c->prev;
  if (live_head == c) live_head = c->next;
  c->prev = c->next = nullptr;
}

// Only wakes the engine thread: the connections are reset there once the
// workers are gone, so no socket is ever touched by two threads at once.
void ConnectionEngine::Core::Stop() {
  std::scoped_lock lock(live_lock);
  stop_requested.store(true);
  if (listener) platform::WakeListener(listener.get());
  live_changed.notify_all();
}

bool ConnectionEngine::Core::WaitForWorkers(int& running, std::vector<std::thread>& pool) {
  bool ended_in_time;
  {
    std::unique_lock lock(workers_lock);
    ended_in_time = worker_ended.wait_for(lock, kWorkerWait, [&] { return running == 0; });
  }
  for (std::thread& t : pool) {
    if (!t.joinable()) continue;
    if (ended_in_time) {
      t.join();
    } else {
      t.detach();  // it keeps its own reference to this state
    }
  }
  pool.clear();
  if (!ended_in_time) {
    ConsoleLog(ConsolePriority::kWarning, "workers did not end within %lld ms\n",
               static_cast<long long>(kWorkerWait.count()));
  }
  return ended_in_time;
}

void ConnectionEngine::Core::Shutdown() {
  stop_requested.store(true);
  stopping.store(true);
  if (socket_port) socket_port->PostShutdown();
  file_port.PostShutdown();
  const bool socket_workers_ended = WaitForWorkers(socket_workers_running, socket_workers);
  const bool file_workers_ended = WaitForWorkers(file_workers_running, file_workers);
  ReportResetAddresses();
  {
    std::scoped_lock lock(live_lock);
    listener.Reset();
  }
  // With a worker still out, its connection and everything else stay until
  // the last worker lets go of this state.
  if (socket_workers_ended && file_workers_ended) Teardown();
  std::scoped_lock lock(live_lock);
  ended = true;
  listening_port = 0;
  live_changed.notify_all();
}

// The connections still open are about to be reset: each address among them
// leaves the client map now, reported once, as CloseClient would. A worker
// that did not end may hold the engine lock; the report does not wait long.
void ConnectionEngine::Core::ReportResetAddresses() {
  // Polled rather than a timed lock: once, at shutdown, and race detectors
  // do not follow timed locks.
  const auto deadline = std::chrono::steady_clock::now() + kWorkerWait;
  while (!engine_lock.try_lock()) {
    if (std::chrono::steady_clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::unique_lock lock(engine_lock, std::adopt_lock);
  for (const auto& entry : client_map) {
    if (!hooks.ClientDisconnected) break;
    try {
      hooks.ClientDisconnected(self, entry.first);
    } catch (...) {
      LogEscaped("ClientDisconnected");
    }
  }
  client_map.clear();
}

void ConnectionEngine::Core::Teardown() {
  LiveConnection* connections;
  {
    std::scoped_lock lock(live_lock);
    if (torn_down) return;
    torn_down = true;
    connections = live_head;
    live_head = nullptr;
  }
  while (connections != nullptr) {
    LiveConnection* c = connections;
    connections = c->next;
    if (c->socket >= 0) {
      (void)platform::SetAbortiveClose(c->socket);
      platform::UniqueFd closing(c->socket);
    }
    delete c;
  }
  client_map.clear();
  processor.reset();
  source.reset();
  socket_port.reset();
}

}  // namespace quensaria::engine
