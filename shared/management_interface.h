// The management interface between the Quensaria service and its
// configurators: identity, endpoint, operation numbers and the NDR stub data
// of all its operations, for both sides: the 18 operations 0..17, and the
// extension GetServerStats (18), which older configurators never call and
// older services answer with a fault (nca_op_rng_error), as they answer
// every number they do not know. The operations
// are declared as this IDL declares them:
//
//   long GetServiceName([out, size_is(n)] char *buf, [in] long n);          // 0
//   long AddServer([out] long *server, [in, size_is(2048)] char *rec);       // 1
//   long GetLastErrorText([out, size_is(n)] char *buf, [in] long n);        // 2
//   long EnumServers([in] long server, [out] long *next);                   // 3
//   long GetServer([in] long server, [out, size_is(2048)] char *rec);        // 4
//   long StartServer([in] long server);                                     // 5
//   long StopServer([in] long server);                                      // 6
//   long DeleteServer([in] long server);                                    // 7
//   long AddStaticClient([in] long server, [in, size_is(2048)] char *rec);   // 8
//   long EnumStaticClients([in] long server, [in] long client, [out] long *next);  // 9
//   long GetStaticClient([in] long client, [out, size_is(2048)] char *rec);  // 10
//   long DeleteStaticClient([in] long server, [in] long client);            // 11
//   long ModifyStaticClient([in] long client, [in, size_is(2048)] char *rec);// 12
//   long AddOnlineClient([in] long server, [in, size_is(2048)] char *rec);   // 13
//   long EnumOnlineClients([in] long server, [in] long client, [out] long *next);  // 14
//   long GetOnlineClient([in] long client, [out, size_is(2048)] char *rec);  // 15
//   long DeleteOnlineClient([in] long server, [in] long client);            // 16
//   long ModifyOnlineClient([in] long client, [in, size_is(2048)] char *rec);// 17
//   long GetServerStats([in] long server, [out, size_is(2048)] char *rec);   // 18
//
// A size_is array travels as its 32-bit conformance followed by its bytes;
// top-level [out] pointers carry no referent; the return value comes last,
// 4-byte aligned. Record buffers are kRecordBufferSize bytes.
#ifndef QUENSARIA_SHARED_MANAGEMENT_INTERFACE_H_
#define QUENSARIA_SHARED_MANAGEMENT_INTERFACE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shared/dcerpc.h"
#include "shared/management_records.h"

namespace quensaria {

inline constexpr rpc::SyntaxId kManagementInterface = {
    *rpc::ParseUuid("8259f650-8949-4cec-9f7a-6a4c30d8b28d"), 1, 8};
inline constexpr rpc::SyntaxId kNdrTransferSyntax = rpc::kNdr20;

// The endpoint: an AF_UNIX stream socket "<runtime>/ncalrpc/quensariasvc".
inline constexpr char kDefaultRuntimeDirectory[] = "/run/quensaria";
inline constexpr char kLocalProtocolDirectory[] = "ncalrpc";
inline constexpr char kManagementEndpoint[] = "quensariasvc";

inline constexpr char kServiceNameText[] = "Velmoran Server";  // 16 bytes with its NUL
inline constexpr int32_t kLastErrorTextSize = 1024;

enum class ManagementOp : uint16_t {
  GetServiceName = 0,
  AddServer = 1,
  GetLastErrorText = 2,
  EnumServers = 3,
  GetServer = 4,
  StartServer = 5,
  StopServer = 6,
  DeleteServer = 7,
  AddStaticClient = 8,
  EnumStaticClients = 9,
  GetStaticClient = 10,
  DeleteStaticClient = 11,
  ModifyStaticClient = 12,
  AddOnlineClient = 13,
  EnumOnlineClients = 14,
  GetOnlineClient = 15,
  DeleteOnlineClient = 16,
  ModifyOnlineClient = 17,
  GetServerStats = 18,  // the extension
};
// The operations 0..17 of the interface as configurators have always
// called it.
inline constexpr uint16_t kManagementOpCount = 18;

// The largest out buffer (n of GetServiceName and GetLastErrorText) the
// service fills; a larger or negative n is refused with a fault.
inline constexpr int32_t kMaxManagementBuffer = 1 << 20;

using RecordBuffer = std::array<uint8_t, kRecordBufferSize>;

// The [in] parameters of one call. `first` is n or the (server) handle,
// `second` the client handle of the two-handle operations; `record` is the
// [in] record where the operation has one.
struct ManagementRequest {
  int32_t first = 0;
  int32_t second = 0;
  RecordBuffer record{};
};

// The [out] parameters and the return value. `value` is the [out] long
// (handle or next handle); `buffer` the [out] array (n bytes or a record).
struct ManagementReply {
  int32_t value = 0;
  std::vector<uint8_t> buffer;
  int32_t result = 0;
};

// Why request stub data was refused: the fault status to send.
enum class StubError : uint32_t {
  kNone = 0,
  kUndecodable = rpc::nca_s_fault_ndr,
  kInvalidBound = rpc::nca_s_fault_invalid_bound,
};

// Whether `opnum` is an operation: 0..17 or the extension 19.
bool IsManagementOp(uint16_t opnum);

// Client side.
std::vector<uint8_t> EncodeManagementRequest(ManagementOp op, const ManagementRequest& request);
// `request` is the one that was sent (its n fixes the size of the out buffer).
bool DecodeManagementReply(ManagementOp op, const ManagementRequest& request,
                           std::span<const uint8_t> stub, ManagementReply& reply);

// Service side. Trailing bytes after the parameters are ignored.
StubError DecodeManagementRequest(ManagementOp op, std::span<const uint8_t> stub,
                                  ManagementRequest& request);
// `reply.buffer` must hold exactly the out array's size (n or 2048).
std::vector<uint8_t> EncodeManagementReply(ManagementOp op, const ManagementReply& reply);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_MANAGEMENT_INTERFACE_H_
