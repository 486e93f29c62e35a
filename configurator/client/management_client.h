// ManagementClient: one call wrapper per operation of the service's
// management interface, for the configurator and ludrane-cli. The binding
// (the socket "<runtime>/ncalrpc/quensariasvc") is made once; the
// connection behind it is opened on the first call and opened again after
// it broke, so a restarted service is reached without a new client.
//
// Every wrapper returns the operation's own result (0 success, -1 failure)
// or, when the call did not complete, the RPC runtime status (1722 and
// friends, shared/dcerpc.h). Records go out at the start of a zeroed
// 2048-byte buffer; records and texts come back into the caller's variables
// only when the result is 0, otherwise those stay as they were. [out]
// handles are set whenever the service answered, and to 0 when it did not.
// Not thread-safe: one thread (the UI thread) makes all calls.
#ifndef QUENSARIA_CONFIGURATOR_CLIENT_MANAGEMENT_CLIENT_H_
#define QUENSARIA_CONFIGURATOR_CLIENT_MANAGEMENT_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "configurator/client/rpc_connection.h"
#include "shared/management_interface.h"
#include "shared/management_operations.h"
#include "shared/management_records.h"

namespace quensaria::configurator {

using Handle = ManagementHandle;

// "<runtime_directory>/ncalrpc/quensariasvc".
std::string ManagementEndpointPath(const std::string& runtime_directory);

class ManagementClient final : public ManagementOperations {
 public:
  explicit ManagementClient(std::string runtime_directory = kDefaultRuntimeDirectory,
                            std::chrono::milliseconds timeout = kCallTimeout);
  ~ManagementClient() override;

  // `n` bytes are asked for; `text` receives the text up to its NUL.
  int32_t GetServiceName(int32_t n, std::string& text) override;
  int32_t AddServer(const ServerConfig& config, Handle& server) override;
  int32_t GetLastErrorText(int32_t n, std::string& text) override;
  int32_t EnumServers(Handle server, Handle& next) override;
  int32_t GetServer(Handle server, ServerConfig& config) override;
  int32_t StartServer(Handle server) override;
  int32_t StopServer(Handle server) override;
  int32_t DeleteServer(Handle server) override;
  int32_t AddStaticClient(Handle server, const ClientEntry& client) override;
  int32_t EnumStaticClients(Handle server, Handle client, Handle& next) override;
  int32_t GetStaticClient(Handle client, ClientEntry& entry) override;
  int32_t DeleteStaticClient(Handle server, Handle client) override;
  int32_t ModifyStaticClient(Handle client, const ClientEntry& entry) override;
  int32_t AddOnlineClient(Handle server, const ClientEntry& client) override;
  int32_t EnumOnlineClients(Handle server, Handle client, Handle& next) override;
  int32_t GetOnlineClient(Handle client, ClientEntry& entry) override;
  int32_t DeleteOnlineClient(Handle server, Handle client) override;
  int32_t ModifyOnlineClient(Handle client, const ClientEntry& entry) override;
  // An older service answers RPC_S_PROCNUM_OUT_OF_RANGE: it keeps no figures.
  int32_t GetServerStats(Handle server, ServerStats& stats) override;

  const std::string& endpoint() const { return endpoint_; }
  // What the last failed call met at the runtime level, for messages.
  const std::string& last_runtime_error() const { return last_runtime_error_; }

 private:
  // Runs `op`; the runtime status, or 0 with `reply` filled.
  uint32_t Invoke(ManagementOp op, const ManagementRequest& request, ManagementReply& reply);
  int32_t Simple(ManagementOp op, int32_t first, int32_t second = 0);
  int32_t WithRecord(ManagementOp op, int32_t first, const uint8_t* record, size_t size);
  int32_t Enumerate(ManagementOp op, int32_t first, int32_t second, Handle& next);
  template <typename Record>
  int32_t GetRecord(ManagementOp op, Handle handle, Record& record);
  int32_t GetText(ManagementOp op, int32_t n, std::string& text);

  std::string endpoint_;
  std::chrono::milliseconds timeout_;
  std::unique_ptr<RpcConnection> connection_;
  std::string last_runtime_error_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_CLIENT_MANAGEMENT_CLIENT_H_
