#include "service/management/call_dispatch.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#include "platform/console.h"
#include "shared/management_interface.h"

namespace quensaria::management {
namespace {

using Op = ManagementOp;

Handle AsHandle(int32_t wire) { return static_cast<Handle>(wire); }
int32_t AsWire(Handle handle) { return static_cast<int32_t>(handle); }

// The text, NUL included, at the start of an n-byte buffer; the result is -1
// and the buffer all zeros when n is below `minimum`.
void CopyText(const std::string& text, int32_t n, int32_t minimum, ManagementReply& reply) {
  reply.buffer.assign(static_cast<size_t>(n), 0);
  if (n < minimum) {
    reply.result = -1;
    return;
  }
  std::memcpy(reply.buffer.data(), text.data(), std::min(text.size(), static_cast<size_t>(n) - 1));
  reply.result = 0;
}

template <typename Record>
void PutRecord(const Record& record, ManagementReply& reply) {
  reply.buffer.assign(kRecordBufferSize, 0);
  std::memcpy(reply.buffer.data(), &record, sizeof record);  // only the record's bytes
}

ServerConfig ServerRecord(const ManagementRequest& request) {
  return DecodeServerConfig(request.record.data());
}
ClientEntry ClientRecord(const ManagementRequest& request) {
  return DecodeClientEntry(request.record.data());
}

ManagementReply Run(Operations& ops, Op op, const ManagementRequest& in) {
  ManagementReply out;
  Handle next = 0;
  switch (op) {
    case Op::GetServiceName:
      CopyText(kServiceNameText, in.first, sizeof kServiceNameText, out);
      break;
    case Op::AddServer:
      out.result = ops.AddServer(ServerRecord(in), next);
      out.value = AsWire(next);
      break;
    case Op::GetLastErrorText: {
      std::string text = ops.LastErrorText();
      if (text.size() >= kLastErrorTextSize) text.resize(kLastErrorTextSize - 1);
      CopyText(text, in.first, kLastErrorTextSize, out);
      break;
    }
    case Op::EnumServers:
      out.result = ops.EnumServers(AsHandle(in.first), next);
      out.value = AsWire(next);
      break;
    case Op::GetServer: {
      ServerConfig config;
      std::memset(&config, 0, sizeof config);
      out.result = ops.GetServer(AsHandle(in.first), config);
      PutRecord(config, out);
      break;
    }
    case Op::StartServer:
      out.result = ops.StartServer(AsHandle(in.first));
      break;
    case Op::StopServer:
      out.result = ops.StopServer(AsHandle(in.first));
      break;
    case Op::DeleteServer:
      out.result = ops.DeleteServer(AsHandle(in.first));
      break;
    case Op::AddStaticClient:
      out.result = ops.AddStaticClient(AsHandle(in.first), ClientRecord(in));
      break;
    case Op::EnumStaticClients:
      out.result = ops.EnumStaticClients(AsHandle(in.first), AsHandle(in.second), next);
      out.value = AsWire(next);
      break;
    case Op::GetStaticClient:
    case Op::GetOnlineClient: {
      ClientEntry entry;
      std::memset(&entry, 0, sizeof entry);
      out.result = op == Op::GetStaticClient ? ops.GetStaticClient(AsHandle(in.first), entry)
                                             : ops.GetOnlineClient(AsHandle(in.first), entry);
      PutRecord(entry, out);
      break;
    }
    case Op::DeleteStaticClient:
      out.result = ops.DeleteStaticClient(AsHandle(in.first), AsHandle(in.second));
      break;
    case Op::ModifyStaticClient:
      out.result = ops.ModifyStaticClient(AsHandle(in.first), ClientRecord(in));
      break;
    case Op::AddOnlineClient:
      out.result = ops.AddOnlineClient(AsHandle(in.first), ClientRecord(in));
      break;
    case Op::EnumOnlineClients:
      out.result = ops.EnumOnlineClients(AsHandle(in.first), AsHandle(in.second), next);
      out.value = AsWire(next);
      break;
    case Op::DeleteOnlineClient:
      out.result = ops.DeleteOnlineClient(AsHandle(in.first), AsHandle(in.second));
      break;
    case Op::ModifyOnlineClient:
      out.result = ops.ModifyOnlineClient(AsHandle(in.first), ClientRecord(in));
      break;
    case Op::GetServerStats: {
      ServerStats stats;
      std::memset(&stats, 0, sizeof stats);
      out.result = ops.GetServerStats(AsHandle(in.first), stats);
      PutRecord(stats, out);
      break;
    }
  }
  return out;
}

CallOutcome Fault(uint32_t status, bool executed) {
  CallOutcome outcome;
  outcome.fault = status;
  outcome.executed = executed;
  return outcome;
}

}  // namespace

CallOutcome DispatchCall(Operations& operations, uint16_t opnum, std::span<const uint8_t> stub) {
  if (!IsManagementOp(opnum)) return Fault(rpc::nca_op_rng_error, false);
  const Op op = static_cast<Op>(opnum);
  ManagementRequest request;
  const StubError error = DecodeManagementRequest(op, stub, request);
  if (error != StubError::kNone) return Fault(static_cast<uint32_t>(error), false);
  try {
    CallOutcome outcome;
    outcome.stub = EncodeManagementReply(op, Run(operations, op, request));
    return outcome;
  } catch (const std::bad_alloc&) {
    return Fault(rpc::nca_s_fault_remote_no_memory, true);
  } catch (const std::exception& e) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "management operation %u failed: %s\n",
                         opnum, e.what());
    return Fault(rpc::nca_s_fault_unspec, true);
  }
}

}  // namespace quensaria::management
