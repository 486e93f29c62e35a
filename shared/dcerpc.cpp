#include "shared/dcerpc.h"

#include <algorithm>
#include <cstdio>

#include "shared/bytes.h"
#include "shared/ndr.h"

namespace quensaria::rpc {
namespace {

uint16_t Load16(const uint8_t* p, bool little_endian) {
  const uint16_t v = LoadLe16(p);
  return little_endian ? v : static_cast<uint16_t>(v >> 8 | v << 8);
}

uint32_t Load32(const uint8_t* p, bool little_endian) {
  const uint32_t v = LoadLe32(p);
  return little_endian ? v : __builtin_bswap32(v);
}

void PutHeader(NdrWriter& out, PduType type, uint8_t flags, uint32_t call_id) {
  out.PutUint8(5);
  out.PutUint8(0);
  out.PutUint8(static_cast<uint8_t>(type));
  out.PutUint8(flags);
  for (uint8_t b : {0x10, 0x00, 0x00, 0x00}) out.PutUint8(b);
  out.PutUint16(0);  // frag_length, set by Finish
  out.PutUint16(0);  // auth_length
  out.PutUint32(call_id);
}

std::vector<uint8_t> Finish(NdrWriter& out) {
  std::vector<uint8_t> pdu = out.Take();
  StoreLe16(pdu.data() + 8, static_cast<uint16_t>(pdu.size()));
  return pdu;
}

void PutSyntax(NdrWriter& out, const SyntaxId& syntax) {
  out.Align(4);
  out.PutBytes(syntax.uuid);
  out.PutUint16(syntax.major);
  out.PutUint16(syntax.minor);
}

bool GetSyntax(NdrReader& in, SyntaxId& syntax) {
  return in.Align(4) && in.GetBytes(syntax.uuid) && in.GetUint16(syntax.major) &&
         in.GetUint16(syntax.minor);
}

// The body of a little-endian PDU of `type`, ending where its
// authentication trailer (if any) begins.
bool OpenBody(std::span<const uint8_t> pdu, PduType type, Header& header, NdrReader& body) {
  if (!DecodeHeader(pdu, header) || !header.little_endian() || header.type != type) return false;
  if (header.frag_length > pdu.size() || header.frag_length < kHeaderSize) return false;
  size_t end = header.frag_length;
  if (header.auth_length != 0) {
    const size_t trailer = size_t{8} + header.auth_length;
    if (end < kHeaderSize + trailer) return false;
    end -= trailer;
    const uint8_t pad = pdu[end + 2];  // sec_trailer.auth_pad_length
    if (end < kHeaderSize + pad) return false;
    end -= pad;
  }
  body = NdrReader(pdu.first(end), kHeaderSize);
  return true;
}

std::vector<std::vector<uint8_t>> Fragment(PduType type, uint32_t call_id, uint16_t context_id,
                                           std::optional<uint16_t> opnum,
                                           std::span<const uint8_t> stub, uint16_t max_frag) {
  const size_t header = type == PduType::kRequest ? kRequestHeaderSize : kResponseHeaderSize;
  const size_t room = max_frag > header + 8 ? max_frag - header : 8;
  const size_t chunk = std::max<size_t>(8, room / 8 * 8);
  std::vector<std::vector<uint8_t>> fragments;
  size_t at = 0;
  do {
    const size_t size = std::min(chunk, stub.size() - at);
    uint8_t flags = 0;
    if (at == 0) flags |= PFC_FIRST_FRAG;
    if (at + size == stub.size()) flags |= PFC_LAST_FRAG;
    NdrWriter out;
    PutHeader(out, type, flags, call_id);
    out.PutUint32(static_cast<uint32_t>(stub.size() - at));  // alloc_hint
    out.PutUint16(context_id);
    if (opnum) {
      out.PutUint16(*opnum);
    } else {
      out.PutUint8(0);  // cancel_count
      out.PutUint8(0);
    }
    out.PutBytes(stub.subspan(at, size));
    fragments.push_back(Finish(out));
    at += size;
  } while (at < stub.size());
  return fragments;
}

}  // namespace

uint32_t StatusFromFault(uint32_t fault_status) {
  switch (fault_status) {
    case nca_op_rng_error:
      return RPC_S_PROCNUM_OUT_OF_RANGE;
    case nca_unk_if:
      return RPC_S_UNKNOWN_IF;
    case nca_proto_error:
      return RPC_S_PROTOCOL_ERROR;
    case 0:
      return RPC_S_CALL_FAILED;  // a fault must carry a status
    default:
      return fault_status;
  }
}

std::string FormatUuid(const Uuid& u) {
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[3], u[2],
                u[1], u[0], u[5], u[4], u[7], u[6], u[8], u[9], u[10], u[11], u[12], u[13], u[14],
                u[15]);
  return text;
}

bool DecodeHeader(std::span<const uint8_t> pdu, Header& header) {
  if (pdu.size() < kHeaderSize) return false;
  header.rpc_vers = pdu[0];
  header.rpc_vers_minor = pdu[1];
  header.type = static_cast<PduType>(pdu[2]);
  header.flags = pdu[3];
  std::copy(pdu.begin() + 4, pdu.begin() + 8, header.drep.begin());
  const bool le = (header.drep[0] & 0xF0) == 0x10;
  header.frag_length = Load16(pdu.data() + 8, le);
  header.auth_length = Load16(pdu.data() + 10, le);
  header.call_id = Load32(pdu.data() + 12, le);
  return true;
}

std::vector<uint8_t> EncodeBind(PduType type, uint32_t call_id, const Bind& bind) {
  NdrWriter out;
  PutHeader(out, type, PFC_FIRST_FRAG | PFC_LAST_FRAG, call_id);
  out.PutUint16(bind.max_xmit_frag);
  out.PutUint16(bind.max_recv_frag);
  out.PutUint32(bind.assoc_group_id);
  out.PutUint8(static_cast<uint8_t>(bind.contexts.size()));
  out.PutUint8(0);
  out.PutUint16(0);
  for (const ContextElement& context : bind.contexts) {
    out.PutUint16(context.context_id);
    out.PutUint8(static_cast<uint8_t>(context.transfer_syntaxes.size()));
    out.PutUint8(0);
    PutSyntax(out, context.abstract_syntax);
    for (const SyntaxId& syntax : context.transfer_syntaxes) PutSyntax(out, syntax);
  }
  return Finish(out);
}

bool DecodeBind(std::span<const uint8_t> pdu, Bind& bind) {
  Header header;
  NdrReader in({});
  if (!DecodeHeader(pdu, header)) return false;
  const PduType type =
      header.type == PduType::kAlterContext ? PduType::kAlterContext : PduType::kBind;
  if (!OpenBody(pdu, type, header, in)) return false;
  uint8_t count = 0, reserved8 = 0;
  uint16_t reserved16 = 0;
  if (!in.GetUint16(bind.max_xmit_frag) || !in.GetUint16(bind.max_recv_frag) ||
      !in.GetUint32(bind.assoc_group_id) || !in.GetUint8(count) || !in.GetUint8(reserved8) ||
      !in.GetUint16(reserved16)) {
    return false;
  }
  bind.contexts.assign(count, {});
  for (ContextElement& context : bind.contexts) {
    uint8_t syntaxes = 0;
    if (!in.GetUint16(context.context_id) || !in.GetUint8(syntaxes) || !in.GetUint8(reserved8) ||
        !GetSyntax(in, context.abstract_syntax)) {
      return false;
    }
    context.transfer_syntaxes.assign(syntaxes, {});
    for (SyntaxId& syntax : context.transfer_syntaxes) {
      if (!GetSyntax(in, syntax)) return false;
    }
  }
  return true;
}

std::vector<uint8_t> EncodeBindAck(PduType type, uint32_t call_id, const BindAck& ack) {
  NdrWriter out;
  PutHeader(out, type, PFC_FIRST_FRAG | PFC_LAST_FRAG, call_id);
  out.PutUint16(ack.max_xmit_frag);
  out.PutUint16(ack.max_recv_frag);
  out.PutUint32(ack.assoc_group_id);
  if (ack.secondary_address.empty()) {
    out.PutUint16(0);
  } else {
    out.PutUint16(static_cast<uint16_t>(ack.secondary_address.size() + 1));
    out.PutBytes({reinterpret_cast<const uint8_t*>(ack.secondary_address.c_str()),
                  ack.secondary_address.size() + 1});
  }
  out.Align(4);
  out.PutUint8(static_cast<uint8_t>(ack.results.size()));
  out.PutUint8(0);
  out.PutUint16(0);
  for (const ContextResult& result : ack.results) {
    out.PutUint16(result.result);
    out.PutUint16(result.reason);
    PutSyntax(out, result.transfer_syntax);
  }
  return Finish(out);
}

bool DecodeBindAck(std::span<const uint8_t> pdu, BindAck& ack) {
  Header header;
  NdrReader in({});
  if (!DecodeHeader(pdu, header)) return false;
  const PduType type =
      header.type == PduType::kAlterContextResp ? PduType::kAlterContextResp : PduType::kBindAck;
  if (!OpenBody(pdu, type, header, in)) return false;
  uint16_t address_length = 0, reserved16 = 0;
  uint8_t count = 0, reserved8 = 0;
  std::span<const uint8_t> address;
  if (!in.GetUint16(ack.max_xmit_frag) || !in.GetUint16(ack.max_recv_frag) ||
      !in.GetUint32(ack.assoc_group_id) || !in.GetUint16(address_length) ||
      !in.Skip(address_length, &address) || !in.Align(4) || !in.GetUint8(count) ||
      !in.GetUint8(reserved8) || !in.GetUint16(reserved16)) {
    return false;
  }
  ack.secondary_address.assign(address.begin(), std::find(address.begin(), address.end(), 0));
  ack.results.assign(count, {});
  for (ContextResult& result : ack.results) {
    if (!in.GetUint16(result.result) || !in.GetUint16(result.reason) ||
        !GetSyntax(in, result.transfer_syntax)) {
      return false;
    }
  }
  return true;
}

std::vector<uint8_t> EncodeBindNak(uint32_t call_id, uint16_t reason) {
  NdrWriter out;
  PutHeader(out, PduType::kBindNak, PFC_FIRST_FRAG | PFC_LAST_FRAG, call_id);
  out.PutUint16(reason);
  out.PutUint8(1);  // versions supported: 5.0
  out.PutUint8(5);
  out.PutUint8(0);
  return Finish(out);
}

bool DecodeBindNak(std::span<const uint8_t> pdu, uint16_t& reason) {
  Header header;
  NdrReader in({});
  return OpenBody(pdu, PduType::kBindNak, header, in) && in.GetUint16(reason);
}

std::vector<uint8_t> EncodeFault(uint32_t call_id, uint16_t context_id, uint32_t status,
                                 bool did_not_execute) {
  NdrWriter out;
  PutHeader(out, PduType::kFault,
            PFC_FIRST_FRAG | PFC_LAST_FRAG | (did_not_execute ? PFC_DID_NOT_EXECUTE : 0), call_id);
  out.PutUint32(0);  // alloc_hint: no stub data
  out.PutUint16(context_id);
  out.PutUint8(0);  // cancel_count
  out.PutUint8(0);
  out.PutUint32(status);
  out.PutUint32(0);
  return Finish(out);
}

bool DecodeFault(std::span<const uint8_t> pdu, Fault& fault) {
  Header header;
  NdrReader in({});
  uint8_t reserved = 0;
  return OpenBody(pdu, PduType::kFault, header, in) && in.GetUint32(fault.alloc_hint) &&
         in.GetUint16(fault.context_id) && in.GetUint8(fault.cancel_count) &&
         in.GetUint8(reserved) && in.GetUint32(fault.status);
}

std::vector<std::vector<uint8_t>> EncodeRequest(uint32_t call_id, uint16_t context_id,
                                                uint16_t opnum, std::span<const uint8_t> stub,
                                                uint16_t max_frag) {
  return Fragment(PduType::kRequest, call_id, context_id, opnum, stub, max_frag);
}

std::vector<std::vector<uint8_t>> EncodeResponse(uint32_t call_id, uint16_t context_id,
                                                 std::span<const uint8_t> stub, uint16_t max_frag) {
  return Fragment(PduType::kResponse, call_id, context_id, std::nullopt, stub, max_frag);
}

bool DecodeRequest(std::span<const uint8_t> pdu, Request& request) {
  Header header;
  NdrReader in({});
  if (!OpenBody(pdu, PduType::kRequest, header, in) || !in.GetUint32(request.alloc_hint) ||
      !in.GetUint16(request.context_id) || !in.GetUint16(request.opnum)) {
    return false;
  }
  request.object.reset();
  if (header.flags & PFC_OBJECT_UUID) {
    Uuid object;
    if (!in.GetBytes(object)) return false;
    request.object = object;
  }
  return in.Skip(in.remaining(), &request.stub);
}

bool DecodeResponse(std::span<const uint8_t> pdu, Response& response) {
  Header header;
  NdrReader in({});
  uint8_t reserved = 0;
  return OpenBody(pdu, PduType::kResponse, header, in) && in.GetUint32(response.alloc_hint) &&
         in.GetUint16(response.context_id) && in.GetUint8(response.cancel_count) &&
         in.GetUint8(reserved) && in.Skip(in.remaining(), &response.stub);
}

Result<std::vector<uint8_t>> ReadPdu(const ReadExactFn& read_exact) {
  std::vector<uint8_t> pdu(kHeaderSize);
  Status status = read_exact(pdu.data(), kHeaderSize);
  if (!status.ok()) return status;
  Header header;
  DecodeHeader(pdu, header);
  if (header.rpc_vers != 5) return Status(RPC_S_PROTOCOL_ERROR, "not a DCE/RPC version 5 PDU");
  if (header.frag_length < kHeaderSize)
    return Status(RPC_S_PROTOCOL_ERROR, "PDU shorter than its header");
  pdu.resize(header.frag_length);
  status = read_exact(pdu.data() + kHeaderSize, header.frag_length - kHeaderSize);
  if (!status.ok()) return status;
  return pdu;
}

}  // namespace quensaria::rpc
