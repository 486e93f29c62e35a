// DCE/RPC connection-oriented PDUs (protocol version 5.0/5.1), the records
// and codecs that both the management service and its clients use: bind,
// bind_ack, bind_nak, alter_context, alter_context_resp, request, response
// and fault, with fragmentation of stub data. Only the little-endian ASCII
// data representation is spoken; headers in the other byte order are still
// read far enough to be answered or dropped.
//
// Decoders take a whole PDU (header included) and return false for anything
// that does not fit its frag_length; they never read outside the span.
#ifndef QUENSARIA_SHARED_DCERPC_H_
#define QUENSARIA_SHARED_DCERPC_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shared/status.h"

namespace quensaria::rpc {

enum class PduType : uint8_t {
  kRequest = 0,
  kResponse = 2,
  kFault = 3,
  kBind = 11,
  kBindAck = 12,
  kBindNak = 13,
  kAlterContext = 14,
  kAlterContextResp = 15,
  kAuth3 = 16,
  kShutdown = 17,
  kCoCancel = 18,
  kOrphaned = 19,
};

inline constexpr uint8_t PFC_FIRST_FRAG = 0x01;
inline constexpr uint8_t PFC_LAST_FRAG = 0x02;
inline constexpr uint8_t PFC_PENDING_CANCEL = 0x04;
inline constexpr uint8_t PFC_CONC_MPX = 0x10;
inline constexpr uint8_t PFC_DID_NOT_EXECUTE = 0x20;
inline constexpr uint8_t PFC_MAYBE = 0x40;
inline constexpr uint8_t PFC_OBJECT_UUID = 0x80;

inline constexpr size_t kHeaderSize = 16;
inline constexpr size_t kRequestHeaderSize = 24;  // without an object UUID
inline constexpr size_t kResponseHeaderSize = 24;
inline constexpr size_t kFaultSize = 32;
// Every implementation must take fragments of this size (C706 MustRecvFragSize).
inline constexpr uint16_t kMinFragmentSize = 1432;
inline constexpr uint16_t kMaxFragmentSize = 65535;

// Fault statuses (the fault PDU's status field).
inline constexpr uint32_t nca_s_fault_access_denied = 0x00000005;
inline constexpr uint32_t nca_s_fault_ndr = 0x000006f7;
inline constexpr uint32_t nca_s_fault_invalid_bound = 0x1c000007;
inline constexpr uint32_t nca_s_fault_unspec = 0x1c000012;
inline constexpr uint32_t nca_s_fault_remote_no_memory = 0x1c00001b;
inline constexpr uint32_t nca_op_rng_error = 0x1c010002;
inline constexpr uint32_t nca_unk_if = 0x1c010003;
inline constexpr uint32_t nca_proto_error = 0x1c01000b;
inline constexpr uint32_t nca_s_fault_context_mismatch = 0x1c00001a;

// Results of a presentation context in bind_ack and alter_context_resp.
inline constexpr uint16_t kContextAccepted = 0;
inline constexpr uint16_t kContextUserRejection = 1;
inline constexpr uint16_t kContextProviderRejection = 2;
inline constexpr uint16_t kReasonNotSpecified = 0;
inline constexpr uint16_t kReasonAbstractSyntaxNotSupported = 1;
inline constexpr uint16_t kReasonTransferSyntaxesNotSupported = 2;
// bind_nak reasons.
inline constexpr uint16_t kRejectNotSpecified = 0;
inline constexpr uint16_t kRejectLocalLimitExceeded = 2;
inline constexpr uint16_t kRejectProtocolVersionNotSupported = 4;
inline constexpr uint16_t kRejectUserDataNotReadable = 6;
inline constexpr uint16_t kRejectAuthenticationTypeNotRecognized = 8;

// Status codes of the RPC runtime as callers see them (Win32 numbers).
inline constexpr uint32_t RPC_S_OK = 0;
inline constexpr uint32_t RPC_S_ACCESS_DENIED = 5;  // the endpoint refuses this caller
inline constexpr uint32_t RPC_S_INVALID_STRING_BINDING = 1700;
inline constexpr uint32_t RPC_S_TYPE_ALREADY_REGISTERED = 1712;
inline constexpr uint32_t RPC_S_ALREADY_LISTENING = 1713;
inline constexpr uint32_t RPC_S_NO_PROTSEQS_REGISTERED = 1714;
inline constexpr uint32_t RPC_S_UNKNOWN_IF = 1717;
inline constexpr uint32_t RPC_S_NO_BINDINGS = 1718;
inline constexpr uint32_t RPC_S_CANT_CREATE_ENDPOINT = 1720;
inline constexpr uint32_t RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr uint32_t RPC_S_CALL_FAILED = 1726;
inline constexpr uint32_t RPC_S_CALL_FAILED_DNE = 1727;
inline constexpr uint32_t RPC_S_PROTOCOL_ERROR = 1728;
inline constexpr uint32_t RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
inline constexpr uint32_t RPC_X_BAD_STUB_DATA = 1783;

// The caller-visible status for a fault PDU's status.
uint32_t StatusFromFault(uint32_t fault_status);

// A UUID in its NDR wire order (first three fields little-endian).
using Uuid = std::array<uint8_t, 16>;
// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; nullopt for anything else.
constexpr std::optional<Uuid> ParseUuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  // Byte i of the text order lands at kWire[i]; the first three fields
  // travel little-endian.
  constexpr size_t kWire[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  Uuid uuid{};
  size_t byte = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    uuid[kWire[byte++]] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return uuid;
}
std::string FormatUuid(const Uuid& uuid);

struct SyntaxId {
  Uuid uuid{};
  uint16_t major = 0;
  uint16_t minor = 0;
  bool operator==(const SyntaxId&) const = default;
};

// The NDR 2.0 transfer syntax.
inline constexpr SyntaxId kNdr20 = {*ParseUuid("8a885d04-1ceb-11c9-9fe8-08002b104860"), 2, 0};

struct Header {
  uint8_t rpc_vers = 5;
  uint8_t rpc_vers_minor = 0;
  PduType type = PduType::kRequest;
  uint8_t flags = 0;
  std::array<uint8_t, 4> drep = {0x10, 0, 0, 0};
  uint16_t frag_length = 0;
  uint16_t auth_length = 0;
  uint32_t call_id = 0;

  // Little-endian integers, ASCII characters.
  bool little_endian() const { return (drep[0] & 0xF0) == 0x10 && (drep[0] & 0x0F) == 0; }
};

// Reads the 16 header bytes (integers in the byte order drep names).
bool DecodeHeader(std::span<const uint8_t> pdu, Header& header);

struct ContextElement {
  uint16_t context_id = 0;
  SyntaxId abstract_syntax;
  std::vector<SyntaxId> transfer_syntaxes;
};

// bind and alter_context bodies.
struct Bind {
  uint16_t max_xmit_frag = 0;
  uint16_t max_recv_frag = 0;
  uint32_t assoc_group_id = 0;
  std::vector<ContextElement> contexts;
};

struct ContextResult {
  uint16_t result = kContextAccepted;
  uint16_t reason = kReasonNotSpecified;
  SyntaxId transfer_syntax;
};

// bind_ack and alter_context_resp bodies.
struct BindAck {
  uint16_t max_xmit_frag = 0;
  uint16_t max_recv_frag = 0;
  uint32_t assoc_group_id = 0;
  std::string secondary_address;  // sent with its terminating NUL
  std::vector<ContextResult> results;
};

struct Request {
  uint32_t alloc_hint = 0;
  uint16_t context_id = 0;
  uint16_t opnum = 0;
  std::optional<Uuid> object;
  std::span<const uint8_t> stub;  // views the decoded PDU
};

struct Response {
  uint32_t alloc_hint = 0;
  uint16_t context_id = 0;
  uint8_t cancel_count = 0;
  std::span<const uint8_t> stub;  // views the decoded PDU
};

struct Fault {
  uint32_t alloc_hint = 0;
  uint16_t context_id = 0;
  uint8_t cancel_count = 0;
  uint32_t status = 0;
};

// `type` is kBind or kAlterContext.
std::vector<uint8_t> EncodeBind(PduType type, uint32_t call_id, const Bind& bind);
// `type` is kBindAck or kAlterContextResp.
std::vector<uint8_t> EncodeBindAck(PduType type, uint32_t call_id, const BindAck& ack);
std::vector<uint8_t> EncodeBindNak(uint32_t call_id, uint16_t reason);
std::vector<uint8_t> EncodeFault(uint32_t call_id, uint16_t context_id, uint32_t status,
                                 bool did_not_execute);
// The stub in fragments of at most `max_frag` bytes each (FIRST on the first,
// LAST on the last); every fragment but the last carries a multiple of 8
// stub bytes.
std::vector<std::vector<uint8_t>> EncodeRequest(uint32_t call_id, uint16_t context_id,
                                                uint16_t opnum, std::span<const uint8_t> stub,
                                                uint16_t max_frag);
std::vector<std::vector<uint8_t>> EncodeResponse(uint32_t call_id, uint16_t context_id,
                                                 std::span<const uint8_t> stub, uint16_t max_frag);

bool DecodeBind(std::span<const uint8_t> pdu, Bind& bind);
bool DecodeBindAck(std::span<const uint8_t> pdu, BindAck& ack);
bool DecodeBindNak(std::span<const uint8_t> pdu, uint16_t& reason);
bool DecodeRequest(std::span<const uint8_t> pdu, Request& request);
bool DecodeResponse(std::span<const uint8_t> pdu, Response& response);
bool DecodeFault(std::span<const uint8_t> pdu, Fault& fault);

// Reads exactly `size` bytes or fails (a closed stream is a failure).
using ReadExactFn = std::function<Status(uint8_t* buffer, size_t size)>;
// Reads one whole PDU: its header (which must name version 5 and a
// frag_length of at least 16) and the rest of its frag_length.
Result<std::vector<uint8_t>> ReadPdu(const ReadExactFn& read_exact);

}  // namespace quensaria::rpc

#endif  // QUENSARIA_SHARED_DCERPC_H_
