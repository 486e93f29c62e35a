// Stub data of the management operations, byte for byte as the IDL
// declares them, and refusal of undecodable or out-of-bound parameters.
#include "shared/management_interface.h"

#include <gtest/gtest.h>

#include "shared/bytes.h"

namespace quensaria {
namespace {

ManagementOp Op(int opnum) { return static_cast<ManagementOp>(opnum); }

TEST(ManagementInterfaceTest, GetServiceNameStubs) {
  ManagementRequest request;
  request.first = 16;
  EXPECT_EQ(EncodeManagementRequest(ManagementOp::GetServiceName, request),
            (std::vector<uint8_t>{0x10, 0, 0, 0}));

  // n = 15: the 15 bytes travel back, then one pad byte, then -1.
  ManagementReply reply;
  reply.buffer.assign(15, 0);
  reply.result = -1;
  const std::vector<uint8_t> stub = EncodeManagementReply(ManagementOp::GetServiceName, reply);
  ASSERT_EQ(stub.size(), 24u);
  EXPECT_EQ(LoadLe32(stub.data()), 15u);
  EXPECT_EQ(LoadLe32(stub.data() + 20), 0xFFFFFFFFu);

  request.first = 15;
  ManagementReply decoded;
  ASSERT_TRUE(DecodeManagementReply(ManagementOp::GetServiceName, request, stub, decoded));
  EXPECT_EQ(decoded.buffer.size(), 15u);
  EXPECT_EQ(decoded.result, -1);
  // The conformance must be the n that was asked for.
  request.first = 16;
  EXPECT_FALSE(DecodeManagementReply(ManagementOp::GetServiceName, request, stub, decoded));
}

TEST(ManagementInterfaceTest, RecordTravelsAsConformance2048ThenBytes) {
  ManagementRequest request;
  request.first = 0x11223344;
  request.record[0] = 0xAB;
  request.record[2047] = 0xCD;
  const std::vector<uint8_t> stub = EncodeManagementRequest(ManagementOp::AddStaticClient, request);
  ASSERT_EQ(stub.size(), 2056u);
  EXPECT_EQ(LoadLe32(stub.data()), 0x11223344u);
  EXPECT_EQ(LoadLe32(stub.data() + 4), 2048u);
  EXPECT_EQ(stub[8], 0xAB);
  EXPECT_EQ(stub[2055], 0xCD);

  ManagementRequest decoded;
  ASSERT_EQ(DecodeManagementRequest(ManagementOp::AddStaticClient, stub, decoded),
            StubError::kNone);
  EXPECT_EQ(decoded.first, 0x11223344);
  EXPECT_EQ(decoded.record, request.record);
}

// Sizes worked out by hand from the IDL: [in] longs, [in] records with their
// conformance; [out] arrays (n = 16 here) with conformance, [out] long, result.
TEST(ManagementInterfaceTest, EveryOperationHasItsDeclaredStubSizes) {
  const size_t request_sizes[kManagementOpCount] = {4, 2052, 4, 4,    4,    4, 4, 4, 2056,
                                                    8, 4,    8, 2056, 2056, 8, 4, 8, 2056};
  const size_t reply_sizes[kManagementOpCount] = {24, 8,    24, 8, 2056, 4, 4,    4, 4,
                                                  8,  2056, 4,  4, 4,    8, 2056, 4, 4};
  const bool record_reply[kManagementOpCount] = {false, false, false, false, true,  false,
                                                 false, false, false, false, true,  false,
                                                 false, false, false, true,  false, false};
  for (int op = 0; op < kManagementOpCount; ++op) {
    ManagementRequest request;
    request.first = 16;
    request.second = 77;
    const std::vector<uint8_t> stub = EncodeManagementRequest(Op(op), request);
    EXPECT_EQ(stub.size(), request_sizes[op]) << op;
    ManagementRequest decoded;
    EXPECT_EQ(DecodeManagementRequest(Op(op), stub, decoded), StubError::kNone) << op;
    EXPECT_EQ(DecodeManagementRequest(Op(op), std::span(stub).first(stub.size() - 1), decoded),
              StubError::kUndecodable)
        << op;

    ManagementReply reply;
    const bool has_array = op == 0 || op == 2 || record_reply[op];
    if (has_array) reply.buffer.assign(record_reply[op] ? kRecordBufferSize : 16, 0x5A);
    reply.value = 1234;
    reply.result = -1;
    const std::vector<uint8_t> out = EncodeManagementReply(Op(op), reply);
    EXPECT_EQ(out.size(), reply_sizes[op]) << op;
    ManagementReply back;
    ASSERT_TRUE(DecodeManagementReply(Op(op), request, out, back)) << op;
    EXPECT_EQ(back.result, -1) << op;
    EXPECT_EQ(back.buffer, reply.buffer) << op;
    EXPECT_FALSE(DecodeManagementReply(Op(op), request, std::span(out).first(out.size() - 1), back))
        << op;
  }
}

// The extension travels as GetServer does: a handle in, a record out.
TEST(ManagementInterfaceTest, GetServerStatsIsOperation18WithARecordOut) {
  EXPECT_TRUE(IsManagementOp(18));
  EXPECT_FALSE(IsManagementOp(19));
  EXPECT_FALSE(IsManagementOp(20));
  EXPECT_EQ(static_cast<uint16_t>(ManagementOp::GetServerStats), 18);
  ManagementRequest request;
  request.first = 0x101;
  const std::vector<uint8_t> stub = EncodeManagementRequest(ManagementOp::GetServerStats, request);
  EXPECT_EQ(stub, (std::vector<uint8_t>{1, 1, 0, 0}));
  ManagementRequest decoded;
  ASSERT_EQ(DecodeManagementRequest(ManagementOp::GetServerStats, stub, decoded), StubError::kNone);
  EXPECT_EQ(decoded.first, 0x101);

  ManagementReply reply;
  reply.buffer.assign(kRecordBufferSize, 0);
  ServerStats stats{};
  stats.RecordSize = sizeof stats;
  stats.Reads = 42;
  EncodeRecord(stats, reply.buffer.data());
  const std::vector<uint8_t> out = EncodeManagementReply(ManagementOp::GetServerStats, reply);
  ASSERT_EQ(out.size(), 2056u);
  EXPECT_EQ(LoadLe32(out.data()), 2048u);
  EXPECT_EQ(LoadLe32(out.data() + 4 + 24), 42u);
  ManagementReply back;
  ASSERT_TRUE(DecodeManagementReply(ManagementOp::GetServerStats, request, out, back));
  EXPECT_EQ(DecodeServerStats(back.buffer.data()).Reads, 42u);
}

TEST(ManagementInterfaceTest, TwoHandlesTravelInDeclaredOrder) {
  ManagementRequest request;
  request.first = 5;
  request.second = 9;
  EXPECT_EQ(EncodeManagementRequest(ManagementOp::DeleteStaticClient, request),
            (std::vector<uint8_t>{5, 0, 0, 0, 9, 0, 0, 0}));
  ManagementReply reply;
  reply.value = 0x0A0B0C0D;
  reply.result = 0;
  EXPECT_EQ(EncodeManagementReply(ManagementOp::EnumOnlineClients, reply),
            (std::vector<uint8_t>{0x0D, 0x0C, 0x0B, 0x0A, 0, 0, 0, 0}));
}

TEST(ManagementInterfaceTest, BadParametersAreRefusedWithTheirFault) {
  ManagementRequest decoded;
  std::vector<uint8_t> stub(2052, 0);
  StoreLe32(stub.data(), 2047);  // conformance other than the declared 2048
  EXPECT_EQ(DecodeManagementRequest(ManagementOp::AddServer, stub, decoded),
            StubError::kUndecodable);
  StoreLe32(stub.data(), 0xFFFFFFFF);
  EXPECT_EQ(DecodeManagementRequest(ManagementOp::AddServer, stub, decoded),
            StubError::kUndecodable);

  const struct {
    int32_t n;
    StubError expected;
  } rows[] = {{-1, StubError::kInvalidBound},
              {INT32_MIN, StubError::kInvalidBound},
              {0, StubError::kNone},
              {kMaxManagementBuffer, StubError::kNone},
              {kMaxManagementBuffer + 1, StubError::kInvalidBound},
              {INT32_MAX, StubError::kInvalidBound}};
  for (const auto& row : rows) {
    std::vector<uint8_t> n(4);
    StoreLe32(n.data(), static_cast<uint32_t>(row.n));
    EXPECT_EQ(DecodeManagementRequest(ManagementOp::GetServiceName, n, decoded), row.expected)
        << row.n;
    EXPECT_EQ(DecodeManagementRequest(ManagementOp::GetLastErrorText, n, decoded), row.expected)
        << row.n;
  }
  EXPECT_EQ(DecodeManagementRequest(ManagementOp::StartServer, {}, decoded),
            StubError::kUndecodable);
}

TEST(ManagementInterfaceTest, TrailingPaddingAfterParametersIsAccepted) {
  std::vector<uint8_t> stub = {7, 0, 0, 0, 0, 0, 0, 0};
  ManagementRequest decoded;
  EXPECT_EQ(DecodeManagementRequest(ManagementOp::StopServer, stub, decoded), StubError::kNone);
  EXPECT_EQ(decoded.first, 7);
}

TEST(ManagementInterfaceTest, IdentityIsTheInterfaceAndNdr20) {
  EXPECT_EQ(rpc::FormatUuid(kManagementInterface.uuid), "8259f650-8949-4cec-9f7a-6a4c30d8b28d");
  EXPECT_EQ(kManagementInterface.major, 1);
  EXPECT_EQ(kManagementInterface.minor, 8);
  EXPECT_EQ(rpc::FormatUuid(kNdrTransferSyntax.uuid), "8a885d04-1ceb-11c9-9fe8-08002b104860");
  EXPECT_EQ(kNdrTransferSyntax.major, 2);
  EXPECT_EQ(sizeof kServiceNameText, 16u);
  EXPECT_FALSE(IsManagementOp(19));
  EXPECT_TRUE(IsManagementOp(17));
}

}  // namespace
}  // namespace quensaria
