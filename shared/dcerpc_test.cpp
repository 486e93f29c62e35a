// DCE/RPC connection-oriented PDUs: byte layouts checked against PDUs built by
// an independent implementation, fragmentation, and refusal of every
// truncated or inconsistent PDU.
#include "shared/dcerpc.h"

#include <gtest/gtest.h>

#include <cstring>

#include "shared/bytes.h"
#include "shared/management_interface.h"

namespace quensaria::rpc {
namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// A bind for the management interface as python3-impacket encodes it.
const char kImpacketBind[] =
    "05000b03100000004800000001000000b810b81000000000010000000000010050f659824989ec4c9f7a6a4c30d8"
    "b28d01000800045d888aeb1cc9119fe808002b10486002000000";

TEST(UuidTest, ParsesAndFormatsInWireOrder) {
  const std::optional<Uuid> uuid = ParseUuid("8259f650-8949-4cec-9f7a-6a4c30d8b28d");
  ASSERT_TRUE(uuid.has_value());
  EXPECT_EQ(std::vector<uint8_t>(uuid->begin(), uuid->end()),
            FromHex("50f659824989ec4c9f7a6a4c30d8b28d"));
  EXPECT_EQ(FormatUuid(*uuid), "8259f650-8949-4cec-9f7a-6a4c30d8b28d");
  EXPECT_EQ(ParseUuid("8259F650-8949-4CEC-9F7A-6A4C30D8B28D"), uuid);
  for (const char* bad :
       {"", "8259f650-8949-4cec-9f7a-6a4c30d8b28", "8259f650_8949-4cec-9f7a-6a4c30d8b28d",
        "8259f650-8949-4cec-9f7a-6a4c30d8b28g", "8259f650-8949-4cec-9f7a-6a4c30d8b28d0"}) {
    EXPECT_FALSE(ParseUuid(bad).has_value()) << bad;
  }
}

TEST(BindTest, EncodesExactlyAsAnIndependentClient) {
  Bind bind;
  bind.max_xmit_frag = 4280;
  bind.max_recv_frag = 4280;
  bind.contexts.push_back({0, kManagementInterface, {kNdrTransferSyntax}});
  EXPECT_EQ(EncodeBind(PduType::kBind, 1, bind), FromHex(kImpacketBind));
}

TEST(BindTest, DecodesAnIndependentClientsBind) {
  Bind bind;
  ASSERT_TRUE(DecodeBind(FromHex(kImpacketBind), bind));
  EXPECT_EQ(bind.max_xmit_frag, 4280);
  EXPECT_EQ(bind.max_recv_frag, 4280);
  ASSERT_EQ(bind.contexts.size(), 1u);
  EXPECT_EQ(bind.contexts[0].abstract_syntax, kManagementInterface);
  ASSERT_EQ(bind.contexts[0].transfer_syntaxes.size(), 1u);
  EXPECT_EQ(bind.contexts[0].transfer_syntaxes[0], kNdrTransferSyntax);
}

TEST(BindTest, EveryTruncationIsRefused) {
  const std::vector<uint8_t> pdu = FromHex(kImpacketBind);
  for (size_t size = 0; size < pdu.size(); ++size) {
    Bind bind;
    // Cut short on the wire...
    EXPECT_FALSE(DecodeBind(std::span(pdu).first(size), bind)) << size;
    // ...and claiming to be short in its own header.
    if (size >= kHeaderSize) {
      std::vector<uint8_t> shrunk(pdu.begin(), pdu.begin() + static_cast<long>(size));
      StoreLe16(shrunk.data() + 8, static_cast<uint16_t>(size));
      EXPECT_FALSE(DecodeBind(shrunk, bind)) << size;
    }
  }
}

TEST(BindTest, ContextCountBeyondTheBodyIsRefused) {
  std::vector<uint8_t> pdu = FromHex(kImpacketBind);
  pdu[24] = 200;  // n_context_elem
  Bind bind;
  EXPECT_FALSE(DecodeBind(pdu, bind));
}

TEST(BindAckTest, LayoutAlignsTheResultListAfterTheAddress) {
  BindAck ack;
  ack.max_xmit_frag = 4280;
  ack.max_recv_frag = 2048;
  ack.assoc_group_id = 0x1234;
  ack.secondary_address = "quensariasvc";
  ack.results.push_back({kContextAccepted, 0, kNdrTransferSyntax});
  ack.results.push_back({kContextProviderRejection, kReasonAbstractSyntaxNotSupported, {}});
  const std::vector<uint8_t> pdu = EncodeBindAck(PduType::kBindAck, 7, ack);
  ASSERT_EQ(pdu.size(), 40u + 4 + 2 * 24);
  EXPECT_EQ(pdu[2], 12);
  EXPECT_EQ(LoadLe16(pdu.data() + 8), pdu.size());
  EXPECT_EQ(LoadLe32(pdu.data() + 12), 7u);
  EXPECT_EQ(LoadLe16(pdu.data() + 24), 13);  // "quensariasvc" and its NUL
  EXPECT_EQ(0, std::memcmp(pdu.data() + 26, "quensariasvc", 13));
  EXPECT_EQ(pdu[39], 0);  // pad to 4
  EXPECT_EQ(pdu[40], 2);  // n_results
  EXPECT_EQ(LoadLe16(pdu.data() + 44), kContextAccepted);
  EXPECT_EQ(pdu[48], 0x04);  // NDR UUID, first byte in wire order
  EXPECT_EQ(LoadLe16(pdu.data() + 68), kContextProviderRejection);
  EXPECT_EQ(LoadLe16(pdu.data() + 70), kReasonAbstractSyntaxNotSupported);

  BindAck decoded;
  ASSERT_TRUE(DecodeBindAck(pdu, decoded));
  EXPECT_EQ(decoded.secondary_address, "quensariasvc");
  EXPECT_EQ(decoded.max_recv_frag, 2048);
  ASSERT_EQ(decoded.results.size(), 2u);
  EXPECT_EQ(decoded.results[0].transfer_syntax, kNdrTransferSyntax);
  EXPECT_EQ(decoded.results[1].reason, kReasonAbstractSyntaxNotSupported);
  for (size_t size = 0; size < pdu.size(); ++size) {
    EXPECT_FALSE(DecodeBindAck(std::span(pdu).first(size), decoded)) << size;
  }
}

TEST(FaultTest, StatusSitsAtOffset24OfA32BytePdu) {
  const std::vector<uint8_t> pdu = EncodeFault(9, 3, nca_op_rng_error, true);
  ASSERT_EQ(pdu.size(), kFaultSize);
  EXPECT_EQ(pdu[2], 3);
  EXPECT_EQ(pdu[3], PFC_FIRST_FRAG | PFC_LAST_FRAG | PFC_DID_NOT_EXECUTE);
  EXPECT_EQ(LoadLe16(pdu.data() + 20), 3);
  EXPECT_EQ(LoadLe32(pdu.data() + 24), nca_op_rng_error);
  Fault fault;
  ASSERT_TRUE(DecodeFault(pdu, fault));
  EXPECT_EQ(fault.status, nca_op_rng_error);
  EXPECT_FALSE(DecodeFault(std::span(pdu).first(27), fault));
}

TEST(BindNakTest, CarriesReasonAndVersions) {
  const std::vector<uint8_t> pdu = EncodeBindNak(2, kRejectProtocolVersionNotSupported);
  EXPECT_EQ(pdu[2], 13);
  EXPECT_EQ(std::vector<uint8_t>(pdu.begin() + 16, pdu.end()), FromHex("0400010500"));
  uint16_t reason = 0;
  ASSERT_TRUE(DecodeBindNak(pdu, reason));
  EXPECT_EQ(reason, kRejectProtocolVersionNotSupported);
}

std::vector<uint8_t> Stub(size_t size) {
  std::vector<uint8_t> stub(size);
  for (size_t i = 0; i < size; ++i) stub[i] = static_cast<uint8_t>(i * 7 + 1);
  return stub;
}

TEST(FragmentTest, ResponseSplitsIntoFragmentsOfAtMostMaxFrag) {
  const std::vector<uint8_t> stub = Stub(10000);
  const auto fragments = EncodeResponse(5, 1, stub, 4280);
  ASSERT_EQ(fragments.size(), 3u);
  std::vector<uint8_t> joined;
  uint32_t expected_hint = 10000;
  for (size_t i = 0; i < fragments.size(); ++i) {
    const auto& pdu = fragments[i];
    EXPECT_LE(pdu.size(), 4280u);
    EXPECT_EQ(pdu[3] & PFC_FIRST_FRAG, i == 0 ? PFC_FIRST_FRAG : 0) << i;
    EXPECT_EQ(pdu[3] & PFC_LAST_FRAG, i == 2 ? PFC_LAST_FRAG : 0) << i;
    Response response;
    ASSERT_TRUE(DecodeResponse(pdu, response));
    EXPECT_EQ(response.alloc_hint, expected_hint);
    EXPECT_EQ(response.context_id, 1);
    if (i < 2) {
      EXPECT_EQ(response.stub.size() % 8, 0u);
    }
    expected_hint -= static_cast<uint32_t>(response.stub.size());
    joined.insert(joined.end(), response.stub.begin(), response.stub.end());
  }
  EXPECT_EQ(joined, stub);
}

TEST(FragmentTest, EmptyAndExactStubs) {
  auto fragments = EncodeRequest(1, 0, 4, {}, kMinFragmentSize);
  ASSERT_EQ(fragments.size(), 1u);
  EXPECT_EQ(fragments[0][3], PFC_FIRST_FRAG | PFC_LAST_FRAG);
  EXPECT_EQ(fragments[0].size(), kRequestHeaderSize);
  // A stub that fills a fragment exactly takes one fragment, not two.
  fragments = EncodeRequest(1, 0, 4, Stub(1432 - 24), kMinFragmentSize);
  ASSERT_EQ(fragments.size(), 1u);
  fragments = EncodeRequest(1, 0, 4, Stub(1432 - 24 + 1), kMinFragmentSize);
  ASSERT_EQ(fragments.size(), 2u);
  Request request;
  ASSERT_TRUE(DecodeRequest(fragments[0], request));
  EXPECT_EQ(request.opnum, 4);
  EXPECT_EQ(request.stub.size(), 1408u);
}

TEST(RequestTest, ObjectUuidAndAuthTrailerAreNotStubData) {
  std::vector<uint8_t> pdu = EncodeRequest(3, 0, 17, Stub(8), 4280)[0];
  // Insert an object UUID after the 24 header bytes.
  pdu[3] |= PFC_OBJECT_UUID;
  const std::vector<uint8_t> object = FromHex("00112233445566778899aabbccddeeff");
  pdu.insert(pdu.begin() + 24, object.begin(), object.end());
  // Append 4 pad bytes, an 8-byte sec_trailer naming them, and 16 auth bytes.
  for (int i = 0; i < 4; ++i) pdu.push_back(0xEE);
  for (uint8_t b : {10, 2, 4, 0, 0, 0, 0, 0}) pdu.push_back(b);
  for (int i = 0; i < 16; ++i) pdu.push_back(0xAA);
  StoreLe16(pdu.data() + 8, static_cast<uint16_t>(pdu.size()));
  StoreLe16(pdu.data() + 10, 16);
  Request request;
  ASSERT_TRUE(DecodeRequest(pdu, request));
  ASSERT_TRUE(request.object.has_value());
  EXPECT_EQ(std::vector<uint8_t>(request.object->begin(), request.object->end()), object);
  EXPECT_EQ(std::vector<uint8_t>(request.stub.begin(), request.stub.end()), Stub(8));
  // An auth_length larger than the PDU is refused, not wrapped around.
  StoreLe16(pdu.data() + 10, 60000);
  EXPECT_FALSE(DecodeRequest(pdu, request));
}

TEST(HeaderTest, BigEndianHeadersAreReadInTheirOrder) {
  std::vector<uint8_t> pdu = FromHex(kImpacketBind);
  pdu[4] = 0x00;  // big-endian integers
  StoreLe16(pdu.data() + 8, 0x4800);
  StoreLe32(pdu.data() + 12, 0x01000000);
  Header header;
  ASSERT_TRUE(DecodeHeader(pdu, header));
  EXPECT_FALSE(header.little_endian());
  EXPECT_EQ(header.frag_length, 0x48);
  EXPECT_EQ(header.call_id, 1u);
  Bind bind;
  EXPECT_FALSE(DecodeBind(pdu, bind));  // bodies are spoken little-endian only
}

class StreamTest : public ::testing::Test {
 protected:
  Result<std::vector<uint8_t>> Read() {
    return ReadPdu([&](uint8_t* buffer, size_t size) -> Status {
      if (stream_.size() - at_ < size) return Status(RPC_S_CALL_FAILED, "closed");
      std::memcpy(buffer, stream_.data() + at_, size);
      at_ += size;
      return Status::Ok();
    });
  }
  std::vector<uint8_t> stream_;
  size_t at_ = 0;
};

TEST_F(StreamTest, ReadsPdusBackToBack) {
  const std::vector<uint8_t> bind = FromHex(kImpacketBind);
  const std::vector<uint8_t> fault = EncodeFault(2, 0, 5, false);
  stream_ = bind;
  stream_.insert(stream_.end(), fault.begin(), fault.end());
  EXPECT_EQ(Read().value(), bind);
  EXPECT_EQ(Read().value(), fault);
  EXPECT_FALSE(Read().ok());
}

TEST_F(StreamTest, RefusesOtherVersionsShortLengthsAndCutStreams) {
  stream_ = FromHex(kImpacketBind);
  stream_[0] = 4;
  EXPECT_EQ(Read().status().code(), RPC_S_PROTOCOL_ERROR);
  stream_ = FromHex(kImpacketBind);
  at_ = 0;
  StoreLe16(stream_.data() + 8, 15);
  EXPECT_EQ(Read().status().code(), RPC_S_PROTOCOL_ERROR);
  stream_ = FromHex(kImpacketBind);
  stream_.pop_back();
  at_ = 0;
  EXPECT_FALSE(Read().ok());
}

TEST(StatusTest, FaultsBecomeRuntimeStatuses) {
  EXPECT_EQ(StatusFromFault(nca_op_rng_error), RPC_S_PROCNUM_OUT_OF_RANGE);
  EXPECT_EQ(StatusFromFault(nca_unk_if), RPC_S_UNKNOWN_IF);
  EXPECT_EQ(StatusFromFault(nca_proto_error), RPC_S_PROTOCOL_ERROR);
  EXPECT_EQ(StatusFromFault(nca_s_fault_ndr), RPC_X_BAD_STUB_DATA);
  EXPECT_EQ(StatusFromFault(0), RPC_S_CALL_FAILED);
  EXPECT_EQ(StatusFromFault(nca_s_fault_invalid_bound), nca_s_fault_invalid_bound);
}

}  // namespace
}  // namespace quensaria::rpc
