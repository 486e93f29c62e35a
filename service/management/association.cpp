#include "service/management/association.h"

#include <algorithm>

#include "shared/management_interface.h"

namespace quensaria::management {
namespace {

using rpc::PduType;

// Enough contexts for any client; more would only cost memory.
constexpr size_t kMaxContexts = 64;
constexpr uint16_t kReasonLocalLimitExceeded = 3;

uint16_t ClampFragment(uint16_t proposed) {
  return std::clamp(proposed, rpc::kMinFragmentSize, kServerMaxFragment);
}

Association::Output Send(std::vector<uint8_t> pdu) {
  Association::Output output;
  output.pdus.push_back(std::move(pdu));
  return output;
}

Association::Output Close() {
  Association::Output output;
  output.close = true;
  return output;
}

}  // namespace

Association::Association(CallHandler handler, std::function<bool()> accepts_interface,
                         std::string secondary_address, uint32_t assoc_group_id)
    : handler_(std::move(handler)),
      accepts_interface_(std::move(accepts_interface)),
      secondary_address_(std::move(secondary_address)),
      assoc_group_id_(assoc_group_id) {}

Association::Output Association::OnPdu(std::span<const uint8_t> pdu) {
  rpc::Header header;
  if (!rpc::DecodeHeader(pdu, header) || header.rpc_vers != 5) return Close();
  const bool is_bind = header.type == PduType::kBind || header.type == PduType::kAlterContext;
  if (header.rpc_vers_minor > 1) {
    return is_bind
               ? Send(rpc::EncodeBindNak(header.call_id, rpc::kRejectProtocolVersionNotSupported))
               : Close();
  }
  if (!header.little_endian()) {
    return is_bind ? Send(rpc::EncodeBindNak(header.call_id, rpc::kRejectUserDataNotReadable))
                   : Close();
  }
  switch (header.type) {
    case PduType::kBind:
    case PduType::kAlterContext:
      return OnBind(header, pdu);
    case PduType::kRequest:
      return OnRequest(header, pdu);
    case PduType::kOrphaned:
      if (pending_ && pending_->call_id == header.call_id) pending_.reset();
      return {};
    case PduType::kCoCancel:  // calls are short and not cancellable
    case PduType::kAuth3:     // no authentication is offered
      return {};
    default:
      // Only a server sends the other types: the peer is not a client.
      return Close();
  }
}

rpc::ContextResult Association::Negotiate(const rpc::ContextElement& element) {
  rpc::ContextResult result;
  result.result = rpc::kContextProviderRejection;
  const rpc::SyntaxId& wanted = element.abstract_syntax;
  // Same major version, and a minor version we implement.
  if (!accepts_interface_() || wanted.uuid != kManagementInterface.uuid ||
      wanted.major != kManagementInterface.major || wanted.minor > kManagementInterface.minor) {
    result.reason = rpc::kReasonAbstractSyntaxNotSupported;
    return result;
  }
  const auto ndr = std::find(element.transfer_syntaxes.begin(), element.transfer_syntaxes.end(),
                             kNdrTransferSyntax);
  if (ndr == element.transfer_syntaxes.end()) {
    result.reason = rpc::kReasonTransferSyntaxesNotSupported;
    return result;
  }
  if (!contexts_.contains(element.context_id) && contexts_.size() >= kMaxContexts) {
    result.reason = kReasonLocalLimitExceeded;
    return result;
  }
  contexts_.insert(element.context_id);
  result.result = rpc::kContextAccepted;
  result.reason = rpc::kReasonNotSpecified;
  result.transfer_syntax = kNdrTransferSyntax;
  return result;
}

Association::Output Association::OnBind(const rpc::Header& header, std::span<const uint8_t> pdu) {
  const bool alter = header.type == PduType::kAlterContext;
  rpc::Bind bind;
  if (!alter && bound_) return Send(rpc::EncodeBindNak(header.call_id, rpc::kRejectNotSpecified));
  if (header.auth_length != 0) {
    if (alter) return Fault(header.call_id, 0, rpc::nca_s_fault_access_denied, true);
    return Send(rpc::EncodeBindNak(header.call_id, rpc::kRejectAuthenticationTypeNotRecognized));
  }
  if (!rpc::DecodeBind(pdu, bind)) {
    if (alter) return Fault(header.call_id, 0, rpc::nca_proto_error, true);
    return Send(rpc::EncodeBindNak(header.call_id, rpc::kRejectNotSpecified));
  }
  if (!bound_) {
    // What we send is bounded by what the client receives, and the reverse.
    max_xmit_frag_ = ClampFragment(bind.max_recv_frag);
    max_recv_frag_ = ClampFragment(bind.max_xmit_frag);
    if (bind.assoc_group_id != 0) assoc_group_id_ = bind.assoc_group_id;
    bound_ = true;
  }
  rpc::BindAck ack;
  ack.max_xmit_frag = max_xmit_frag_;
  ack.max_recv_frag = max_recv_frag_;
  ack.assoc_group_id = assoc_group_id_;
  if (!alter) ack.secondary_address = secondary_address_;
  const std::set<uint16_t> contexts_before = contexts_;
  for (const rpc::ContextElement& element : bind.contexts)
    ack.results.push_back(Negotiate(element));
  std::vector<uint8_t> reply = rpc::EncodeBindAck(
      alter ? PduType::kAlterContextResp : PduType::kBindAck, header.call_id, ack);
  // The answer is never fragmented, so it must fit what the client takes.
  if (reply.size() > max_xmit_frag_) {
    contexts_ = contexts_before;
    if (alter) return Fault(header.call_id, 0, rpc::nca_s_fault_remote_no_memory, true);
    bound_ = false;
    return Send(rpc::EncodeBindNak(header.call_id, rpc::kRejectLocalLimitExceeded));
  }
  return Send(std::move(reply));
}

Association::Output Association::OnRequest(const rpc::Header& header,
                                           std::span<const uint8_t> pdu) {
  rpc::Request request;
  if (!rpc::DecodeRequest(pdu, request))
    return Fault(header.call_id, 0, rpc::nca_proto_error, true);
  if (header.auth_length != 0) {
    pending_.reset();
    return Fault(header.call_id, request.context_id, rpc::nca_s_fault_access_denied, true);
  }
  if (header.flags & rpc::PFC_FIRST_FRAG) {
    // A new call abandons a half-received one.
    pending_ = PendingCall{header.call_id, request.context_id, request.opnum, {}, false};
  } else if (!pending_ || pending_->call_id != header.call_id) {
    pending_.reset();
    return Fault(header.call_id, request.context_id, rpc::nca_proto_error, true);
  }
  PendingCall& call = *pending_;
  if (!call.too_large) {
    if (call.stub.size() + request.stub.size() > kMaxRequestStub) {
      call.too_large = true;
      call.stub = {};
    } else {
      call.stub.insert(call.stub.end(), request.stub.begin(), request.stub.end());
    }
  }
  if (!(header.flags & rpc::PFC_LAST_FRAG)) return {};
  PendingCall complete = std::move(call);
  pending_.reset();
  return Complete(header.call_id, std::move(complete));
}

Association::Output Association::Complete(uint32_t call_id, PendingCall call) {
  if (!contexts_.contains(call.context_id)) {
    return Fault(call_id, call.context_id, rpc::nca_unk_if, true);
  }
  if (call.too_large) return Fault(call_id, call.context_id, rpc::nca_s_fault_ndr, true);
  CallOutcome outcome = handler_(call.opnum, call.stub);
  if (outcome.fault != 0) return Fault(call_id, call.context_id, outcome.fault, !outcome.executed);
  Output output;
  output.pdus = rpc::EncodeResponse(call_id, call.context_id, outcome.stub, max_xmit_frag_);
  return output;
}

Association::Output Association::Fault(uint32_t call_id, uint16_t context_id, uint32_t status,
                                       bool did_not_execute) {
  return Send(rpc::EncodeFault(call_id, context_id, status, did_not_execute));
}

}  // namespace quensaria::management
