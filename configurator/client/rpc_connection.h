// RpcConnection: one bound DCE/RPC association with a server on an AF_UNIX
// stream socket, for the management interface's clients. Calls are
// synchronous and one at a time; not for concurrent use.
//
// Failures are RPC runtime statuses (shared/dcerpc.h): RPC_S_ACCESS_DENIED
// when the socket's permissions keep this user out, RPC_S_SERVER_UNAVAILABLE
// when nothing answers the socket or the bind, RPC_S_UNKNOWN_IF when the
// server rejects the interface, RPC_S_CALL_FAILED_DNE when a request could
// not be sent (it did not execute), RPC_S_CALL_FAILED when the answer did
// not come, RPC_S_PROTOCOL_ERROR for a garbled answer, and a fault's status
// mapped by StatusFromFault.
#ifndef QUENSARIA_CONFIGURATOR_CLIENT_RPC_CONNECTION_H_
#define QUENSARIA_CONFIGURATOR_CLIENT_RPC_CONNECTION_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "shared/dcerpc.h"
#include "shared/status.h"

namespace quensaria::configurator {

// Answers that take longer than this are given up (the service answers in
// about a second at most, when it starts an export).
inline constexpr std::chrono::seconds kCallTimeout{60};

class RpcConnection {
 public:
  // Connects to `socket_path` and binds `interface` with NDR.
  static Result<std::unique_ptr<RpcConnection>> Open(
      const std::string& socket_path, const rpc::SyntaxId& interface,
      std::chrono::milliseconds timeout = kCallTimeout);

  // Sends the request stub (fragmented as negotiated) and returns the
  // joined response stub.
  Result<std::vector<uint8_t>> Call(uint16_t opnum, std::span<const uint8_t> stub);

  // False once a call failed in a way that leaves the stream out of step;
  // such a connection only fails from then on.
  bool usable() const { return !broken_; }

 private:
  explicit RpcConnection(platform::UniqueFd fd) : fd_(std::move(fd)) {}
  Result<std::vector<uint8_t>> Receive();

  platform::UniqueFd fd_;
  uint32_t next_call_id_ = 1;
  uint16_t max_xmit_frag_ = rpc::kMinFragmentSize;
  bool broken_ = false;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_CLIENT_RPC_CONNECTION_H_
