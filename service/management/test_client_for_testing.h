// A minimal DCE/RPC client over the management socket for tests of the
// service side: raw PDUs in and out, plus bind and whole calls.
#ifndef QUENSARIA_SERVICE_MANAGEMENT_TEST_CLIENT_FOR_TESTING_H_
#define QUENSARIA_SERVICE_MANAGEMENT_TEST_CLIENT_FOR_TESTING_H_

#include <optional>
#include <string>
#include <vector>

#include "platform/unix_socket.h"
#include "shared/dcerpc.h"
#include "shared/management_interface.h"

namespace quensaria::management {

class TestClient {
 public:
  bool Connect(const std::string& path) {
    Result<platform::UniqueFd> fd = platform::ConnectUnix(path);
    if (!fd.ok()) return false;
    fd_ = std::move(fd).value();
    return platform::SetReceiveTimeout(fd_.get(), std::chrono::seconds(20)).ok();
  }
  bool Send(std::span<const uint8_t> bytes) { return platform::SendAll(fd_.get(), bytes).ok(); }
  // The next PDU, or nullopt when the connection ended.
  std::optional<std::vector<uint8_t>> Receive() {
    Result<std::vector<uint8_t>> pdu = rpc::ReadPdu([this](uint8_t* buffer, size_t size) {
      return platform::ReceiveExact(fd_.get(), buffer, size);
    });
    if (!pdu.ok()) return std::nullopt;
    return std::move(pdu).value();
  }
  bool Bind() {
    rpc::Bind bind;
    bind.max_xmit_frag = 4280;
    bind.max_recv_frag = 4280;
    bind.contexts.push_back({0, kManagementInterface, {kNdrTransferSyntax}});
    if (!Send(rpc::EncodeBind(rpc::PduType::kBind, ++call_id_, bind))) return false;
    std::optional<std::vector<uint8_t>> reply = Receive();
    rpc::BindAck ack;
    return reply && rpc::DecodeBindAck(*reply, ack) && ack.results.size() == 1 &&
           ack.results[0].result == rpc::kContextAccepted;
  }
  // Runs one call; the fault status (or RPC_S_CALL_FAILED) when it fails.
  uint32_t Call(ManagementOp op, const ManagementRequest& request, ManagementReply& reply) {
    std::vector<uint8_t> stub;
    const uint32_t status =
        RawCall(static_cast<uint16_t>(op), EncodeManagementRequest(op, request), stub);
    if (status != 0) return status;
    return DecodeManagementReply(op, request, stub, reply) ? 0 : rpc::RPC_X_BAD_STUB_DATA;
  }
  // Any operation number with any stub data; the response's stub, or the
  // fault status (or RPC_S_CALL_FAILED) when there is none.
  uint32_t RawCall(uint16_t opnum, std::span<const uint8_t> request, std::vector<uint8_t>& stub) {
    const uint32_t call_id = ++call_id_;
    for (const auto& pdu : rpc::EncodeRequest(call_id, 0, opnum, request, 4280)) {
      if (!Send(pdu)) return rpc::RPC_S_CALL_FAILED;
    }
    stub.clear();
    for (;;) {
      std::optional<std::vector<uint8_t>> pdu = Receive();
      if (!pdu) return rpc::RPC_S_CALL_FAILED;
      rpc::Fault fault;
      if (rpc::DecodeFault(*pdu, fault)) return fault.status;
      rpc::Response response;
      if (!rpc::DecodeResponse(*pdu, response)) return rpc::RPC_S_PROTOCOL_ERROR;
      stub.insert(stub.end(), response.stub.begin(), response.stub.end());
      if ((*pdu)[3] & rpc::PFC_LAST_FRAG) break;
    }
    return 0;
  }
  int32_t ServiceName(int32_t n, std::string* text = nullptr) {
    ManagementRequest request;
    request.first = n;
    ManagementReply reply;
    if (Call(ManagementOp::GetServiceName, request, reply) != 0) return -2;
    if (text) *text = std::string(reply.buffer.begin(), reply.buffer.end());
    return reply.result;
  }
  // Uses a socket connected elsewhere (by another process, say).
  bool Adopt(platform::UniqueFd fd) {
    fd_ = std::move(fd);
    return platform::SetReceiveTimeout(fd_.get(), std::chrono::seconds(20)).ok();
  }
  int fd() const { return fd_.get(); }
  void Close() { fd_.Reset(); }

 private:
  platform::UniqueFd fd_;
  uint32_t call_id_ = 0;
};

}  // namespace quensaria::management

#endif  // QUENSARIA_SERVICE_MANAGEMENT_TEST_CLIENT_FOR_TESTING_H_
