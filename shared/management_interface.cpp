#include "shared/management_interface.h"

#include "shared/ndr.h"

namespace quensaria {
namespace {

enum class OutArray : uint8_t { kNone, kSizeN, kRecord };

// Where each operation's parameters travel: the [in] longs first (n or the
// handles), then the [in] record; back come the [out] array or the [out]
// long, then the return value.
struct Form {
  uint8_t in_longs;
  bool in_record;
  OutArray out_array;
  bool out_long;
};

constexpr Form kForms[kManagementOpCount] = {
    {1, false, OutArray::kSizeN, false},   // GetServiceName
    {0, true, OutArray::kNone, true},      // AddServer
    {1, false, OutArray::kSizeN, false},   // GetLastErrorText
    {1, false, OutArray::kNone, true},     // EnumServers
    {1, false, OutArray::kRecord, false},  // GetServer
    {1, false, OutArray::kNone, false},    // StartServer
    {1, false, OutArray::kNone, false},    // StopServer
    {1, false, OutArray::kNone, false},    // DeleteServer
    {1, true, OutArray::kNone, false},     // AddStaticClient
    {2, false, OutArray::kNone, true},     // EnumStaticClients
    {1, false, OutArray::kRecord, false},  // GetStaticClient
    {2, false, OutArray::kNone, false},    // DeleteStaticClient
    {1, true, OutArray::kNone, false},     // ModifyStaticClient
    {1, true, OutArray::kNone, false},     // AddOnlineClient
    {2, false, OutArray::kNone, true},     // EnumOnlineClients
    {1, false, OutArray::kRecord, false},  // GetOnlineClient
    {2, false, OutArray::kNone, false},    // DeleteOnlineClient
    {1, true, OutArray::kNone, false},     // ModifyOnlineClient
};

constexpr Form kGetServerStatsForm = {1, false, OutArray::kRecord, false};

const Form& FormOf(ManagementOp op) {
  if (op == ManagementOp::GetServerStats) return kGetServerStatsForm;
  return kForms[static_cast<uint16_t>(op)];
}

}  // namespace

bool IsManagementOp(uint16_t opnum) {
  return opnum <= static_cast<uint16_t>(ManagementOp::GetServerStats);
}

std::vector<uint8_t> EncodeManagementRequest(ManagementOp op, const ManagementRequest& request) {
  const Form& form = FormOf(op);
  rpc::NdrWriter out;
  if (form.in_longs >= 1) out.PutInt32(request.first);
  if (form.in_longs >= 2) out.PutInt32(request.second);
  if (form.in_record) out.PutConformantBytes(request.record);
  return out.Take();
}

StubError DecodeManagementRequest(ManagementOp op, std::span<const uint8_t> stub,
                                  ManagementRequest& request) {
  const Form& form = FormOf(op);
  rpc::NdrReader in(stub);
  if (form.in_longs >= 1 && !in.GetInt32(request.first)) return StubError::kUndecodable;
  if (form.in_longs >= 2 && !in.GetInt32(request.second)) return StubError::kUndecodable;
  if (form.in_record) {
    uint32_t count = 0;
    if (!in.GetUint32(count) || count != kRecordBufferSize || !in.GetBytes(request.record)) {
      return StubError::kUndecodable;
    }
  }
  if (form.out_array == OutArray::kSizeN &&
      (request.first < 0 || request.first > kMaxManagementBuffer)) {
    return StubError::kInvalidBound;
  }
  return StubError::kNone;
}

std::vector<uint8_t> EncodeManagementReply(ManagementOp op, const ManagementReply& reply) {
  const Form& form = FormOf(op);
  rpc::NdrWriter out;
  if (form.out_array != OutArray::kNone) out.PutConformantBytes(reply.buffer);
  if (form.out_long) out.PutInt32(reply.value);
  out.PutInt32(reply.result);
  return out.Take();
}

bool DecodeManagementReply(ManagementOp op, const ManagementRequest& request,
                           std::span<const uint8_t> stub, ManagementReply& reply) {
  const Form& form = FormOf(op);
  rpc::NdrReader in(stub);
  if (form.out_array != OutArray::kNone) {
    const uint32_t expected = form.out_array == OutArray::kRecord
                                  ? kRecordBufferSize
                                  : static_cast<uint32_t>(request.first);
    uint32_t count = 0;
    if (!in.GetUint32(count) || count != expected) return false;
    reply.buffer.resize(count);
    if (!in.GetBytes(reply.buffer)) return false;
  }
  if (form.out_long && !in.GetInt32(reply.value)) return false;
  return in.GetInt32(reply.result);
}

}  // namespace quensaria
