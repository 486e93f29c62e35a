// The server routines: what each operation sends back for good and bad
// parameters, and that undecodable calls never reach the registry.
#include "service/management/call_dispatch.h"

#include <gtest/gtest.h>

#include <cstring>

#include "service/management/fake_operations_for_testing.h"
#include "shared/bytes.h"
#include "shared/management_interface.h"

namespace quensaria::management {
namespace {

class CallDispatchTest : public ::testing::Test {
 protected:
  // Runs `op` and decodes its reply as a client would.
  ManagementReply Call(ManagementOp op, const ManagementRequest& request) {
    CallOutcome outcome =
        DispatchCall(ops_, static_cast<uint16_t>(op), EncodeManagementRequest(op, request));
    EXPECT_EQ(outcome.fault, 0u);
    ManagementReply reply;
    EXPECT_TRUE(DecodeManagementReply(op, request, outcome.stub, reply));
    return reply;
  }
  ManagementReply CallN(ManagementOp op, int32_t n) {
    ManagementRequest request;
    request.first = n;
    return Call(op, request);
  }
  Handle AddServer(const char* source) {
    ServerConfig config;
    std::memset(&config, 0, sizeof config);
    std::strcpy(config.Source, source);
    ManagementRequest request;
    EncodeRecord(config, request.record.data());
    return static_cast<Handle>(Call(ManagementOp::AddServer, request).value);
  }

  FakeOperations ops_;
};

TEST_F(CallDispatchTest, GetServiceNameNeedsSixteenBytes) {
  ManagementReply reply = CallN(ManagementOp::GetServiceName, 15);
  EXPECT_EQ(reply.result, -1);
  EXPECT_EQ(reply.buffer, std::vector<uint8_t>(15, 0));

  reply = CallN(ManagementOp::GetServiceName, 16);
  EXPECT_EQ(reply.result, 0);
  ASSERT_EQ(reply.buffer.size(), 16u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.buffer.data()), 16),
            std::string("Velmoran Server\0", 16));

  reply = CallN(ManagementOp::GetServiceName, 1024);
  ASSERT_EQ(reply.buffer.size(), 1024u);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply.buffer.data()), "Velmoran Server");
  EXPECT_EQ(reply.buffer[1023], 0);
  EXPECT_EQ(CallN(ManagementOp::GetServiceName, 0).result, -1);
}

TEST_F(CallDispatchTest, GetLastErrorTextNeeds1024Bytes) {
  EXPECT_EQ(CallN(ManagementOp::GetLastErrorText, 1023).result, -1);
  ManagementReply reply = CallN(ManagementOp::GetLastErrorText, 1024);
  EXPECT_EQ(reply.result, 0);
  EXPECT_EQ(reply.buffer, std::vector<uint8_t>(1024, 0));  // empty right after start

  ops_.SetLastErrorText("A client with same address is already in the static client list");
  reply = CallN(ManagementOp::GetLastErrorText, 1024);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply.buffer.data()),
               "A client with same address is already in the static client list");
  // A text as long as the buffer is cut, keeping its terminator.
  ops_.SetLastErrorText(std::string(5000, 'e'));
  reply = CallN(ManagementOp::GetLastErrorText, 4096);
  EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(reply.buffer.data())), 1023u);
}

TEST_F(CallDispatchTest, RecordsComeInAsTheirBytesAndGoOutInAZeroedBuffer) {
  ServerConfig config;
  std::memset(&config, 0, sizeof config);
  std::strcpy(config.Source, "/srv/a.img");
  config.Port = 60000;
  config.SizeBytes = int64_t{5} << 30;
  config.Started = 1;  // ignored by AddServer
  ManagementRequest request;
  EncodeRecord(config, request.record.data());
  std::memset(request.record.data() + sizeof config, 0xEE, kRecordBufferSize - sizeof config);
  const ManagementReply added = Call(ManagementOp::AddServer, request);
  EXPECT_EQ(added.result, 0);
  ASSERT_NE(added.value, 0);

  ManagementReply got = CallN(ManagementOp::GetServer, added.value);
  EXPECT_EQ(got.result, 0);
  ASSERT_EQ(got.buffer.size(), kRecordBufferSize);
  const ServerConfig back = DecodeServerConfig(got.buffer.data());
  EXPECT_STREQ(back.Source, "/srv/a.img");
  EXPECT_EQ(back.Port, 60000);
  EXPECT_EQ(back.SizeBytes, int64_t{5} << 30);
  EXPECT_EQ(back.Started, 0);
  for (size_t i = sizeof(ServerConfig); i < kRecordBufferSize; ++i)
    ASSERT_EQ(got.buffer[i], 0) << i;

  got = CallN(ManagementOp::GetServer, 12345);
  EXPECT_EQ(got.result, -1);
  EXPECT_EQ(got.buffer, std::vector<uint8_t>(kRecordBufferSize, 0));
}

TEST_F(CallDispatchTest, HandlesTravelAsTheirBitsEvenWithTheHighBitSet) {
  const Handle server = AddServer("/a");
  ManagementRequest request;
  request.first = static_cast<int32_t>(server);
  ClientEntry client;
  std::memset(&client, 0, sizeof client);
  client.address = 0x0100000A;
  client.access = 1;
  EncodeRecord(client, request.record.data());
  EXPECT_EQ(Call(ManagementOp::AddStaticClient, request).result, 0);
  EXPECT_EQ(Call(ManagementOp::AddStaticClient, request).result, -1);  // duplicate address

  ManagementRequest walk;
  walk.first = static_cast<int32_t>(server);
  const ManagementReply first = Call(ManagementOp::EnumStaticClients, walk);
  ASSERT_NE(first.value, 0);
  ManagementReply entry = CallN(ManagementOp::GetStaticClient, first.value);
  EXPECT_EQ(DecodeClientEntry(entry.buffer.data()).address, 0x0100000Au);
  walk.second = first.value;
  EXPECT_EQ(Call(ManagementOp::EnumStaticClients, walk).value, 0);

  EXPECT_EQ(CallN(ManagementOp::StartServer, static_cast<int32_t>(0x80000001u)).result, -1);
  EXPECT_EQ(CallN(ManagementOp::EnumServers, -1).value, 0);
}

TEST_F(CallDispatchTest, UnknownOperationsAreFaultsThatDidNotExecute) {
  for (uint16_t opnum : {uint16_t{19}, uint16_t{255}, uint16_t{0xFFFF}}) {
    const CallOutcome outcome = DispatchCall(ops_, opnum, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(outcome.fault, rpc::nca_op_rng_error) << opnum;
    EXPECT_FALSE(outcome.executed);
  }
  EXPECT_EQ(ops_.calls, 0);
}

TEST_F(CallDispatchTest, GetServerStatsSendsTheFiguresInAZeroedRecordBuffer) {
  const Handle server = AddServer("/busy.img");
  ServerStats stats{};
  stats.Running = 1;
  stats.Reads = 77;
  stats.BytesWritten = uint64_t{3} << 40;
  stats.LatencyP99Micros = 1234;
  ops_.SetStats(server, stats);
  const ManagementReply got = CallN(ManagementOp::GetServerStats, static_cast<int32_t>(server));
  EXPECT_EQ(got.result, 0);
  ASSERT_EQ(got.buffer.size(), kRecordBufferSize);
  const ServerStats back = DecodeServerStats(got.buffer.data());
  EXPECT_EQ(back.RecordSize, sizeof(ServerStats));
  EXPECT_EQ(back.Running, 1);
  EXPECT_EQ(back.Reads, 77u);
  EXPECT_EQ(back.BytesWritten, uint64_t{3} << 40);
  EXPECT_EQ(back.LatencyP99Micros, 1234u);
  for (size_t i = sizeof(ServerStats); i < kRecordBufferSize; ++i) ASSERT_EQ(got.buffer[i], 0);

  const ManagementReply unknown = CallN(ManagementOp::GetServerStats, 999);
  EXPECT_EQ(unknown.result, -1);
  EXPECT_EQ(unknown.buffer, std::vector<uint8_t>(kRecordBufferSize, 0));
  // Its stub is a handle: anything shorter never reaches the registry.
  const int before = ops_.calls;
  EXPECT_EQ(DispatchCall(ops_, 18, std::vector<uint8_t>(3, 0)).fault, rpc::nca_s_fault_ndr);
  EXPECT_EQ(ops_.calls, before);
}

TEST_F(CallDispatchTest, UndecodableStubsNeverReachTheRegistry) {
  std::vector<uint8_t> stub(2052, 0);
  StoreLe32(stub.data(), 2047);
  EXPECT_EQ(DispatchCall(ops_, 1, stub).fault, rpc::nca_s_fault_ndr);
  EXPECT_EQ(DispatchCall(ops_, 8, std::vector<uint8_t>(7, 0)).fault, rpc::nca_s_fault_ndr);
  EXPECT_EQ(DispatchCall(ops_, 5, {}).fault, rpc::nca_s_fault_ndr);
  for (int32_t n : {-1, INT32_MIN, kMaxManagementBuffer + 1}) {
    std::vector<uint8_t> bad_n(4);
    StoreLe32(bad_n.data(), static_cast<uint32_t>(n));
    EXPECT_EQ(DispatchCall(ops_, 0, bad_n).fault, rpc::nca_s_fault_invalid_bound) << n;
    EXPECT_EQ(DispatchCall(ops_, 2, bad_n).fault, rpc::nca_s_fault_invalid_bound) << n;
  }
  EXPECT_EQ(ops_.calls, 0);
}

TEST_F(CallDispatchTest, AFailureInsideAnOperationBecomesAFault) {
  ops_.throw_in_calls = true;
  const CallOutcome outcome = DispatchCall(ops_, 3, std::vector<uint8_t>(4, 0));
  EXPECT_EQ(outcome.fault, rpc::nca_s_fault_unspec);
  EXPECT_TRUE(outcome.executed);
}

}  // namespace
}  // namespace quensaria::management
