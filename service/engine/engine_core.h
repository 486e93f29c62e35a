// The state of one ConnectionEngine, shared by the engine thread and the
// workers (each holds a reference, so whatever a late worker touches lives
// until it is gone). Internal to service/engine.
//
// Locks: `engine_lock` guards the client map and the creation of connection
// records, and is held while CheckClientAccess and ClientDisconnected run.
// `live_lock` guards the list of live connections, the listening socket and
// the start-up state; it is held only briefly and never while a hook runs,
// so Stop may take it under the registry lock. Order: engine_lock, then
// live_lock. A socket is used by one thread at a time: the one handling its
// connection's operation, or the engine thread once the workers are gone.
// How these locks meet the registry's is told in endpoint.h.
#ifndef QUENSARIA_SERVICE_ENGINE_ENGINE_CORE_H_
#define QUENSARIA_SERVICE_ENGINE_ENGINE_CORE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_operation_port.h"
#include "platform/socket_port.h"
#include "platform/unique_fd.h"
#include "service/engine/connection_engine.h"
#include "service/engine/engine_stats.h"
#include "service/engine/request_processor.h"
#include "service/engine/tls_link.h"

namespace quensaria::engine {

// The connection's buffer lives in pages of its own: an idle connection
// costs only the pages its requests have touched, and a closed one gives
// them back.
struct IoRecordRelease {
  void operator()(ConnectionBuffer* io) const;
};
using IoRecord = std::unique_ptr<ConnectionBuffer, IoRecordRelease>;
IoRecord NewIoRecord();

// A connection as the engine holds it: its record, the buffer it owns, its
// TLS link, what polling has learnt of its client and its place in the live
// list. The completion keys of both ports point here.
struct LiveConnection : Connection {
  IoRecord io_record;
  std::unique_ptr<TlsLink> tls_link;  // at a TLS export: the stream goes through it
  // Whether the client's next request is expected back to back, so the
  // thread that sent the reply polls for it (see StartNextReceive).
  bool poll_for_next = true;
  // When the wait for the next request began (epoch: not waiting).
  std::chrono::steady_clock::time_point waiting_since{};
  // When the connection, in the middle of a request or of sending its
  // reply, last began to wait on its peer (SweepClock milliseconds); 0
  // while it waits for a new request or works on the source. Written by
  // the thread handling the connection, read by the sweeper.
  std::atomic<int64_t> peer_wait_since{0};
  bool stall_cut = false;  // the sweeper has cut it off; guarded by live_lock
  LiveConnection* prev = nullptr;
  LiveConnection* next = nullptr;
};

// Milliseconds of the steady clock, never 0: the time stamps of the sweep.
int64_t SweepClock();

// Says what escaped the engine's own code `where` (called in a catch
// block), before the engine gives up what it was doing there.
void LogEscaped(const char* where);

struct ConnectionEngine::Core : std::enable_shared_from_this<Core> {
  Core(Endpoint* self, const ServerConfig& config,
       Result<std::unique_ptr<source::DiskSource>> opened, const EngineOptions& options);
  ~Core();

  // connection_engine.cpp: the engine thread.
  void Run();
  bool StartWorkers(int count);
  bool Listen();
  void AcceptLoop();
  bool Admit(platform::UniqueFd socket, uint32_t peer);
  void Shutdown();
  void ReportResetAddresses();
  bool WaitForWorkers(int& running, std::vector<std::thread>& pool);
  void Teardown();
  void Stop();
  void LinkLive(LiveConnection* c);
  void UnlinkLive(LiveConnection* c);
  // The engine thread's rounds between accepts: stalled connections are
  // cut off, the source is looked at.
  std::chrono::milliseconds SweepWait() const;
  void Sweep();
  void CutOffStalled();
  // Says what changed of the source under the export since the last look.
  void CheckSource();

  // engine_workers.cpp: the workers.
  void SocketWorker();
  void FileWorker();
  void Drive(LiveConnection* c, Step step, bool on_file_worker);
  static void FlushAnswered(source::SharedSync::Waiter* waiter);
  // Closes one connection and frees its records: the peer sees a reset, or
  // after a last reply an orderly end. Reports ClientDisconnected when it was
  // its address's last connection. REQUIRES: the calling thread handles the
  // connection's outstanding operation.
  enum class Closing { kReset, kOrderly };
  void CloseClient(LiveConnection* c, Closing how = Closing::kReset);
  void WorkerEnded(int& running);
  platform::Started StartNextReceive(LiveConnection* c, bool on_file_worker);
  platform::Started StartMidRequest(LiveConnection* c);
  void NextRequestArrived(LiveConnection* c);
  // processor->Received, after telling it what a TLS link has settled.
  Step Received(LiveConnection* c, size_t bytes);
  // Tells the registry of the log-on the connection carries, if any.
  void ReportLogOn(LiveConnection* c);

  Endpoint* const self;
  ServerConfig settings;
  const EngineOptions options;
  EngineStats stats;  // before the processor, which counts in it
  std::string port_text;
  Status source_status;
  std::unique_ptr<source::DiskSource> source;
  std::optional<RequestProcessor> processor;
  std::unique_ptr<TlsKeys> tls_keys;  // a TLS export's PSK credentials

  EngineHooks hooks;
  std::atomic<bool> stop_requested{false};             // Stop was called: no more hooks
  std::atomic<bool> stopping{false};                   // shutdown has begun
  std::atomic<int> descriptor_retries{0};              // for tests
  std::chrono::steady_clock::time_point next_sweep{};  // engine thread only

  std::unique_ptr<platform::SocketPort> socket_port;
  platform::FilePort file_port;

  std::mutex engine_lock;
  std::map<uint32_t, std::vector<LiveConnection*>> client_map;

  std::mutex live_lock;
  std::condition_variable live_changed;
  LiveConnection* live_head = nullptr;
  platform::UniqueFd listener;
  bool hooks_installed = false;
  uint16_t listening_port = 0;
  bool ended = false;
  bool torn_down = false;

  // Threads polling for a next request now, and how many may: a poller
  // holds a processor, so at most half of them poll at once, and none while
  // more connections than that are being served (Drive).
  std::atomic<int> pollers{0};
  std::atomic<int> serving{0};
  const int max_pollers;

  std::mutex workers_lock;
  std::condition_variable worker_ended;
  int socket_workers_running = 0;
  int file_workers_running = 0;
  std::vector<std::thread> socket_workers;
  std::vector<std::thread> file_workers;
};

}  // namespace quensaria::engine

#endif  // QUENSARIA_SERVICE_ENGINE_ENGINE_CORE_H_
