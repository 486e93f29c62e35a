// ManagementServer: the management interface's runtime over the AF_UNIX
// stream socket "<runtime>/ncalrpc/quensariasvc" (mode 0660, of the group
// the server is given: the socket's permissions are the access check).
// Each connection is served by a thread of its own, at most kMaxConnections
// at once and kMaxConnectionsPerProcess from one peer process; a connection
// beyond either is closed at once, and one that sends no complete PDU for
// kIdleTimeout is closed, so idle callers cannot lock the others out. Calls run concurrently on
// Operations.
//
// The steps mirror the RPC runtime calls of the service's start-up and
// return RPC status codes. Listen blocks the calling thread until Shutdown;
// Shutdown (any other thread) returns only when no call is running any
// more, so Operations may be destroyed right after it.
#ifndef QUENSARIA_SERVICE_MANAGEMENT_MANAGEMENT_SERVER_H_
#define QUENSARIA_SERVICE_MANAGEMENT_MANAGEMENT_SERVER_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "platform/unix_socket.h"
#include "service/management/operations.h"

namespace quensaria::management {

inline constexpr size_t kMaxConnections = 32;
inline constexpr size_t kMaxConnectionsPerProcess = 4;
inline constexpr std::chrono::milliseconds kIdleTimeout{30'000};

struct ManagementLimits {
  size_t max_connections = kMaxConnections;
  size_t max_per_process = kMaxConnectionsPerProcess;
  // The longest a connection may take to send its next whole PDU.
  std::chrono::milliseconds idle_timeout = kIdleTimeout;
};

class ManagementServer {
 public:
  ManagementServer(Operations& operations, std::string runtime_directory,
                   ManagementLimits limits = {}, gid_t socket_group = platform::kKeepGroup);
  ~ManagementServer();  // Shutdown
  ManagementServer(const ManagementServer&) = delete;
  ManagementServer& operator=(const ManagementServer&) = delete;

  // "<runtime>/ncalrpc/quensariasvc".
  std::string EndpointPath() const;

  // Creates the runtime directories and the listening socket. On failure
  // the reason is in `problem`.
  uint32_t UseEndpoint(std::string* problem = nullptr);
  // Makes binds to the interface succeed.
  uint32_t RegisterInterface();
  // The bindings the server offers ("ncalrpc:[<socket path>]");
  // RPC_S_NO_BINDINGS when no endpoint could be created.
  uint32_t InquireBindings(std::vector<std::string>& bindings);
  // Serves connections until Shutdown. RPC_S_OK after a shutdown.
  uint32_t Listen();
  void Shutdown();

  size_t active_connections() const { return active_.load(); }

 private:
  struct Connection {
    platform::UniqueFd fd;
    pid_t peer = 0;  // 0: not known
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void Serve(Connection& connection);
  void ReapFinished(bool all);
  // REQUIRES: mutex_ held. Whether a connection from `peer` is turned away.
  bool OverLimit(pid_t peer) const;

  Operations& operations_;
  const std::string runtime_directory_;
  const ManagementLimits limits_;
  const gid_t socket_group_;
  std::unique_ptr<platform::UnixListener> listener_;
  std::atomic<bool> registered_{false};
  std::atomic<size_t> active_{0};
  std::atomic<uint32_t> next_group_{0x5153};

  std::mutex mutex_;  // guards the fields below
  std::condition_variable changed_;
  bool listening_ = false;
  bool shutdown_ = false;
  std::list<Connection> connections_;
};

// The start-up sequence: endpoint, interface, bindings, listen. A failed
// step prints "RPC Err: %d\nfile = .\zeltosvcrpcs, line=%d." and ends the
// sequence. Returns when listening ends or a step failed.
void StartManagementInterface(ManagementServer& server);

}  // namespace quensaria::management

#endif  // QUENSARIA_SERVICE_MANAGEMENT_MANAGEMENT_SERVER_H_
