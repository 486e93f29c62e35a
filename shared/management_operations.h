// The management operations, declared once. ServerOperations are the sixteen
// operations over servers and client lists that the service's registry
// implements, and the extension GetServerStats; ManagementOperations adds
// the two text operations and is what a
// caller of the interface sees (the configurators' call wrappers and their
// in-process test doubles). Results: 0 success, -1 the operation failed; a
// caller-side implementation may also return an RPC runtime status (1722 and
// friends) when the call did not complete. Handles are nonzero; 0 = none.
// Records are copied in and out; an out record is written only on success.
#ifndef QUENSARIA_SHARED_MANAGEMENT_OPERATIONS_H_
#define QUENSARIA_SHARED_MANAGEMENT_OPERATIONS_H_

#include <cstdint>
#include <string>

#include "shared/management_records.h"

namespace quensaria {

class ServerOperations {
 public:
  using Handle = ManagementHandle;
  virtual ~ServerOperations() = default;

  // In operation-number order (1, 3..17).
  virtual int32_t AddServer(const ServerConfig& config, Handle& server) = 0;
  virtual int32_t EnumServers(Handle server, Handle& next) = 0;
  virtual int32_t GetServer(Handle server, ServerConfig& config) = 0;
  virtual int32_t StartServer(Handle server) = 0;
  virtual int32_t StopServer(Handle server) = 0;
  virtual int32_t DeleteServer(Handle server) = 0;
  virtual int32_t AddStaticClient(Handle server, const ClientEntry& client) = 0;
  virtual int32_t EnumStaticClients(Handle server, Handle client, Handle& next) = 0;
  virtual int32_t GetStaticClient(Handle client, ClientEntry& entry) = 0;
  virtual int32_t DeleteStaticClient(Handle server, Handle client) = 0;
  virtual int32_t ModifyStaticClient(Handle client, const ClientEntry& entry) = 0;
  virtual int32_t AddOnlineClient(Handle server, const ClientEntry& client) = 0;
  virtual int32_t EnumOnlineClients(Handle server, Handle client, Handle& next) = 0;
  virtual int32_t GetOnlineClient(Handle client, ClientEntry& entry) = 0;
  virtual int32_t DeleteOnlineClient(Handle server, Handle client) = 0;
  virtual int32_t ModifyOnlineClient(Handle client, const ClientEntry& entry) = 0;
  // Operation 18, the extension: the live figures of `server` (-1 for an
  // unknown handle). A service without it answers with a fault, which a
  // caller-side implementation returns as RPC_S_PROCNUM_OUT_OF_RANGE.
  virtual int32_t GetServerStats(Handle server, ServerStats& stats) = 0;
};

class ManagementOperations : public ServerOperations {
 public:
  // Operations 0 and 2: `n` bytes are asked for; `text` receives the text up
  // to its NUL, only on success.
  virtual int32_t GetServiceName(int32_t n, std::string& text) = 0;
  virtual int32_t GetLastErrorText(int32_t n, std::string& text) = 0;
};

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_MANAGEMENT_OPERATIONS_H_
