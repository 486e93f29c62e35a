#include "configurator/client/rpc_connection.h"

#include <algorithm>

#include "platform/unix_socket.h"
#include "shared/win32_error.h"

namespace quensaria::configurator {
namespace {

using rpc::PduType;

constexpr uint16_t kClientMaxFragment = 4280;
// The largest answer the management interface can give, with room to spare.
constexpr size_t kMaxResponseStub = 4u << 20;

Status Failed(uint32_t code, const std::string& message) { return Status(code, message); }

}  // namespace

Result<std::vector<uint8_t>> RpcConnection::Receive() {
  const int fd = fd_.get();
  return rpc::ReadPdu(
      [fd](uint8_t* buffer, size_t size) { return platform::ReceiveExact(fd, buffer, size); });
}

Result<std::unique_ptr<RpcConnection>> RpcConnection::Open(const std::string& socket_path,
                                                           const rpc::SyntaxId& interface,
                                                           std::chrono::milliseconds timeout) {
  Result<platform::UniqueFd> fd = platform::ConnectUnix(socket_path, timeout);
  if (!fd.ok()) {
    // A socket this user may not open is a service that runs, not a
    // missing one.
    const bool refused = fd.status().code() == ERROR_ACCESS_DENIED;
    return Failed(refused ? rpc::RPC_S_ACCESS_DENIED : rpc::RPC_S_SERVER_UNAVAILABLE,
                  fd.status().message());
  }
  std::unique_ptr<RpcConnection> connection(new RpcConnection(std::move(fd).value()));
  Status timed = platform::SetReceiveTimeout(connection->fd_.get(), timeout);
  if (!timed.ok()) return Failed(rpc::RPC_S_SERVER_UNAVAILABLE, timed.message());

  rpc::Bind bind;
  bind.max_xmit_frag = kClientMaxFragment;
  bind.max_recv_frag = kClientMaxFragment;
  bind.contexts.push_back({0, interface, {rpc::kNdr20}});
  const uint32_t call_id = connection->next_call_id_++;
  if (!platform::SendAll(connection->fd_.get(), rpc::EncodeBind(PduType::kBind, call_id, bind))
           .ok()) {
    return Failed(rpc::RPC_S_SERVER_UNAVAILABLE, "the bind could not be sent");
  }
  Result<std::vector<uint8_t>> reply = connection->Receive();
  if (!reply.ok())
    return Failed(rpc::RPC_S_SERVER_UNAVAILABLE,
                  "no answer to the bind: " + reply.status().message());
  rpc::Header header;
  rpc::DecodeHeader(*reply, header);
  if (header.type == PduType::kBindNak)
    return Failed(rpc::RPC_S_SERVER_UNAVAILABLE, "the bind was refused");
  rpc::BindAck ack;
  if (!rpc::DecodeBindAck(*reply, ack) || header.call_id != call_id || ack.results.size() != 1) {
    return Failed(rpc::RPC_S_PROTOCOL_ERROR, "garbled bind answer");
  }
  if (ack.results[0].result != rpc::kContextAccepted) {
    return Failed(rpc::RPC_S_UNKNOWN_IF, "the server does not offer the interface");
  }
  // We send no more than the server receives.
  connection->max_xmit_frag_ =
      std::max(rpc::kMinFragmentSize, std::min(ack.max_recv_frag, kClientMaxFragment));
  return connection;
}

Result<std::vector<uint8_t>> RpcConnection::Call(uint16_t opnum, std::span<const uint8_t> stub) {
  if (broken_) return Failed(rpc::RPC_S_CALL_FAILED_DNE, "the connection is broken");
  // Until the answer is complete the stream is out of step; only a whole
  // answer or a fault leaves it usable.
  broken_ = true;
  const uint32_t call_id = next_call_id_++;
  for (const std::vector<uint8_t>& pdu :
       rpc::EncodeRequest(call_id, 0, opnum, stub, max_xmit_frag_)) {
    Status sent = platform::SendAll(fd_.get(), pdu);
    if (!sent.ok()) return Failed(rpc::RPC_S_CALL_FAILED_DNE, sent.message());
  }
  std::vector<uint8_t> joined;
  for (bool first = true;; first = false) {
    Result<std::vector<uint8_t>> pdu = Receive();
    if (!pdu.ok()) return Failed(rpc::RPC_S_CALL_FAILED, pdu.status().message());
    rpc::Header header;
    rpc::DecodeHeader(*pdu, header);
    if (header.call_id != call_id)
      return Failed(rpc::RPC_S_PROTOCOL_ERROR, "answer to another call");
    rpc::Fault fault;
    if (header.type == PduType::kFault && rpc::DecodeFault(*pdu, fault)) {
      broken_ = false;
      return Failed(rpc::StatusFromFault(fault.status), "fault " + std::to_string(fault.status));
    }
    rpc::Response response;
    if (!rpc::DecodeResponse(*pdu, response) || (first && !(header.flags & rpc::PFC_FIRST_FRAG))) {
      return Failed(rpc::RPC_S_PROTOCOL_ERROR, "garbled answer");
    }
    if (joined.size() + response.stub.size() > kMaxResponseStub) {
      return Failed(rpc::RPC_S_PROTOCOL_ERROR, "answer too large");
    }
    joined.insert(joined.end(), response.stub.begin(), response.stub.end());
    if (header.flags & rpc::PFC_LAST_FRAG) {
      broken_ = false;
      return joined;
    }
  }
}

}  // namespace quensaria::configurator
