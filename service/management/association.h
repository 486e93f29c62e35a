// Association: the DCE/RPC state of one client connection of the management
// interface — the fragment sizes negotiated at bind, the presentation
// contexts accepted, the call being reassembled — and the protocol rules:
// binds naming another interface or transfer syntax get that context
// rejected, requests on unknown contexts or operations get faults, request
// fragments are joined (up to a bound) before the call runs, responses are
// fragmented to what the client can take.
//
// One thread drives an association; it holds no lock and does no I/O.
#ifndef QUENSARIA_SERVICE_MANAGEMENT_ASSOCIATION_H_
#define QUENSARIA_SERVICE_MANAGEMENT_ASSOCIATION_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "service/management/call_dispatch.h"
#include "shared/dcerpc.h"

namespace quensaria::management {

// Our largest fragment, both ways.
inline constexpr uint16_t kServerMaxFragment = 4280;
// No operation's [in] parameters come near this; more is refused.
inline constexpr size_t kMaxRequestStub = 64 * 1024;

class Association {
 public:
  using CallHandler = std::function<CallOutcome(uint16_t opnum, std::span<const uint8_t> stub)>;

  struct Output {
    std::vector<std::vector<uint8_t>> pdus;  // to send, in order
    bool close = false;                      // then end the connection
  };

  // `accepts_interface` tells whether the interface is registered (binds to
  // it are rejected until it is).
  Association(CallHandler handler, std::function<bool()> accepts_interface,
              std::string secondary_address, uint32_t assoc_group_id);

  // Takes one whole PDU as ReadPdu returned it.
  Output OnPdu(std::span<const uint8_t> pdu);

  uint16_t max_xmit_frag() const { return max_xmit_frag_; }
  uint16_t max_recv_frag() const { return max_recv_frag_; }

 private:
  struct PendingCall {
    uint32_t call_id = 0;
    uint16_t context_id = 0;
    uint16_t opnum = 0;
    std::vector<uint8_t> stub;
    bool too_large = false;
  };

  Output OnBind(const rpc::Header& header, std::span<const uint8_t> pdu);
  Output OnRequest(const rpc::Header& header, std::span<const uint8_t> pdu);
  Output Complete(uint32_t call_id, PendingCall call);
  rpc::ContextResult Negotiate(const rpc::ContextElement& element);
  static Output Fault(uint32_t call_id, uint16_t context_id, uint32_t status, bool did_not_execute);

  CallHandler handler_;
  std::function<bool()> accepts_interface_;
  std::string secondary_address_;
  uint32_t assoc_group_id_;
  bool bound_ = false;
  uint16_t max_xmit_frag_ = rpc::kMinFragmentSize;
  uint16_t max_recv_frag_ = rpc::kMinFragmentSize;
  std::set<uint16_t> contexts_;  // accepted context ids
  std::optional<PendingCall> pending_;
};

}  // namespace quensaria::management

#endif  // QUENSARIA_SERVICE_MANAGEMENT_ASSOCIATION_H_
