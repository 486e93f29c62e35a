#include "configurator/client/management_client.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace quensaria::configurator {
namespace {

int32_t Wire(Handle handle) { return static_cast<int32_t>(handle); }

}  // namespace

std::string ManagementEndpointPath(const std::string& runtime_directory) {
  return runtime_directory + "/" + kLocalProtocolDirectory + "/" + kManagementEndpoint;
}

ManagementClient::ManagementClient(std::string runtime_directory, std::chrono::milliseconds timeout)
    : endpoint_(ManagementEndpointPath(runtime_directory)), timeout_(timeout) {}

ManagementClient::~ManagementClient() = default;

uint32_t ManagementClient::Invoke(ManagementOp op, const ManagementRequest& request,
                                  ManagementReply& reply) {
  try {
    const std::vector<uint8_t> stub = EncodeManagementRequest(op, request);
    // A kept connection may have been closed by a service that restarted
    // since; a request that could not even be sent is safe to send again
    // on a new connection.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const bool fresh = connection_ == nullptr;
      if (fresh) {
        Result<std::unique_ptr<RpcConnection>> opened =
            RpcConnection::Open(endpoint_, kManagementInterface, timeout_);
        if (!opened.ok()) {
          last_runtime_error_ = opened.status().message();
          return opened.status().code();
        }
        connection_ = std::move(opened).value();
      }
      Result<std::vector<uint8_t>> answer = connection_->Call(static_cast<uint16_t>(op), stub);
      if (!connection_->usable()) connection_.reset();
      if (answer.ok()) {
        if (DecodeManagementReply(op, request, *answer, reply)) return 0;
        last_runtime_error_ = "undecodable answer";
        connection_.reset();
        return rpc::RPC_X_BAD_STUB_DATA;
      }
      last_runtime_error_ = answer.status().message();
      if (answer.status().code() != rpc::RPC_S_CALL_FAILED_DNE || fresh) {
        return answer.status().code();
      }
    }
    return rpc::RPC_S_CALL_FAILED_DNE;
  } catch (const std::exception& e) {
    // Nothing escapes a wrapper; the connection may be half used.
    connection_.reset();
    last_runtime_error_ = e.what();
    return rpc::RPC_S_CALL_FAILED;
  }
}

int32_t ManagementClient::Simple(ManagementOp op, int32_t first, int32_t second) {
  ManagementRequest request;
  request.first = first;
  request.second = second;
  ManagementReply reply;
  const uint32_t status = Invoke(op, request, reply);
  return status != 0 ? static_cast<int32_t>(status) : reply.result;
}

int32_t ManagementClient::WithRecord(ManagementOp op, int32_t first, const uint8_t* record,
                                     size_t size) {
  ManagementRequest request;  // its record buffer starts all zero
  request.first = first;
  std::memcpy(request.record.data(), record, size);
  ManagementReply reply;
  const uint32_t status = Invoke(op, request, reply);
  return status != 0 ? static_cast<int32_t>(status) : reply.result;
}

int32_t ManagementClient::Enumerate(ManagementOp op, int32_t first, int32_t second, Handle& next) {
  ManagementRequest request;
  request.first = first;
  request.second = second;
  ManagementReply reply;
  const uint32_t status = Invoke(op, request, reply);
  next = status != 0 ? 0 : static_cast<Handle>(reply.value);
  return status != 0 ? static_cast<int32_t>(status) : reply.result;
}

template <typename Record>
int32_t ManagementClient::GetRecord(ManagementOp op, Handle handle, Record& record) {
  ManagementRequest request;
  request.first = Wire(handle);
  ManagementReply reply;
  const uint32_t status = Invoke(op, request, reply);
  if (status != 0) return static_cast<int32_t>(status);
  if (reply.result == 0) std::memcpy(&record, reply.buffer.data(), sizeof record);
  return reply.result;
}

int32_t ManagementClient::GetText(ManagementOp op, int32_t n, std::string& text) {
  ManagementRequest request;
  request.first = n;
  ManagementReply reply;
  const uint32_t status = Invoke(op, request, reply);
  if (status != 0) return static_cast<int32_t>(status);
  if (reply.result == 0) {
    const auto nul = std::find(reply.buffer.begin(), reply.buffer.end(), 0);
    text.assign(reply.buffer.begin(), nul);
  }
  return reply.result;
}

int32_t ManagementClient::GetServiceName(int32_t n, std::string& text) {
  return GetText(ManagementOp::GetServiceName, n, text);
}

int32_t ManagementClient::AddServer(const ServerConfig& config, Handle& server) {
  ManagementRequest request;
  std::memcpy(request.record.data(), &config, sizeof config);
  ManagementReply reply;
  const uint32_t status = Invoke(ManagementOp::AddServer, request, reply);
  server = status != 0 ? 0 : static_cast<Handle>(reply.value);
  return status != 0 ? static_cast<int32_t>(status) : reply.result;
}

int32_t ManagementClient::GetLastErrorText(int32_t n, std::string& text) {
  return GetText(ManagementOp::GetLastErrorText, n, text);
}

int32_t ManagementClient::EnumServers(Handle server, Handle& next) {
  return Enumerate(ManagementOp::EnumServers, Wire(server), 0, next);
}

int32_t ManagementClient::GetServer(Handle server, ServerConfig& config) {
  return GetRecord(ManagementOp::GetServer, server, config);
}

int32_t ManagementClient::StartServer(Handle server) {
  return Simple(ManagementOp::StartServer, Wire(server));
}

int32_t ManagementClient::StopServer(Handle server) {
  return Simple(ManagementOp::StopServer, Wire(server));
}

int32_t ManagementClient::DeleteServer(Handle server) {
  return Simple(ManagementOp::DeleteServer, Wire(server));
}

int32_t ManagementClient::AddStaticClient(Handle server, const ClientEntry& client) {
  return WithRecord(ManagementOp::AddStaticClient, Wire(server),
                    reinterpret_cast<const uint8_t*>(&client), sizeof client);
}

int32_t ManagementClient::EnumStaticClients(Handle server, Handle client, Handle& next) {
  return Enumerate(ManagementOp::EnumStaticClients, Wire(server), Wire(client), next);
}

int32_t ManagementClient::GetStaticClient(Handle client, ClientEntry& entry) {
  return GetRecord(ManagementOp::GetStaticClient, client, entry);
}

int32_t ManagementClient::DeleteStaticClient(Handle server, Handle client) {
  return Simple(ManagementOp::DeleteStaticClient, Wire(server), Wire(client));
}

int32_t ManagementClient::ModifyStaticClient(Handle client, const ClientEntry& entry) {
  return WithRecord(ManagementOp::ModifyStaticClient, Wire(client),
                    reinterpret_cast<const uint8_t*>(&entry), sizeof entry);
}

int32_t ManagementClient::AddOnlineClient(Handle server, const ClientEntry& client) {
  return WithRecord(ManagementOp::AddOnlineClient, Wire(server),
                    reinterpret_cast<const uint8_t*>(&client), sizeof client);
}

int32_t ManagementClient::EnumOnlineClients(Handle server, Handle client, Handle& next) {
  return Enumerate(ManagementOp::EnumOnlineClients, Wire(server), Wire(client), next);
}

int32_t ManagementClient::GetOnlineClient(Handle client, ClientEntry& entry) {
  return GetRecord(ManagementOp::GetOnlineClient, client, entry);
}

int32_t ManagementClient::DeleteOnlineClient(Handle server, Handle client) {
  return Simple(ManagementOp::DeleteOnlineClient, Wire(server), Wire(client));
}

int32_t ManagementClient::ModifyOnlineClient(Handle client, const ClientEntry& entry) {
  return WithRecord(ManagementOp::ModifyOnlineClient, Wire(client),
                    reinterpret_cast<const uint8_t*>(&entry), sizeof entry);
}

int32_t ManagementClient::GetServerStats(Handle server, ServerStats& stats) {
  ManagementRequest request;
  request.first = Wire(server);
  ManagementReply reply;
  const uint32_t status = Invoke(ManagementOp::GetServerStats, request, reply);
  if (status != 0) return static_cast<int32_t>(status);
  if (reply.result == 0) stats = DecodeServerStats(reply.buffer.data());
  return reply.result;
}

}  // namespace quensaria::configurator
