// The DCE/RPC rules of one connection, driven PDU by PDU.
#include "service/management/association.h"

#include <gtest/gtest.h>

#include "shared/bytes.h"
#include "shared/management_interface.h"

namespace quensaria::management {
namespace {

using rpc::PduType;

const rpc::SyntaxId kNdr64 = {*rpc::ParseUuid("71710533-beba-4937-8319-b5dbef9ccc36"), 1, 0};
const rpc::SyntaxId kOtherInterface = {*rpc::ParseUuid("12345778-1234-abcd-ef00-0123456789ac"), 1,
                                       0};

class AssociationTest : public ::testing::Test {
 protected:
  AssociationTest()
      : association_(
            [this](uint16_t opnum, std::span<const uint8_t> stub) {
              calls_.push_back({opnum, std::vector<uint8_t>(stub.begin(), stub.end())});
              CallOutcome outcome;
              outcome.stub = reply_stub_;
              return outcome;
            },
            [this] { return registered_; }, "quensariasvc", 77) {}

  Association::Output Feed(const std::vector<uint8_t>& pdu) { return association_.OnPdu(pdu); }

  rpc::Bind MakeBind(std::vector<rpc::ContextElement> contexts, uint16_t xmit = 4280,
                     uint16_t recv = 4280) {
    rpc::Bind bind;
    bind.max_xmit_frag = xmit;
    bind.max_recv_frag = recv;
    bind.contexts = std::move(contexts);
    return bind;
  }
  rpc::BindAck BindAndAck(const rpc::Bind& bind, PduType type = PduType::kBind) {
    const Association::Output output = Feed(rpc::EncodeBind(type, 1, bind));
    EXPECT_FALSE(output.close);
    rpc::BindAck ack;
    EXPECT_EQ(output.pdus.size(), 1u);
    if (output.pdus.size() == 1) {
      EXPECT_TRUE(rpc::DecodeBindAck(output.pdus[0], ack));
      EXPECT_EQ(output.pdus[0][2],
                static_cast<uint8_t>(type == PduType::kBind ? PduType::kBindAck
                                                            : PduType::kAlterContextResp));
    }
    return ack;
  }
  void BindManagement() {
    rpc::BindAck ack = BindAndAck(MakeBind({{0, kManagementInterface, {kNdrTransferSyntax}}}));
    ASSERT_EQ(ack.results.size(), 1u);
    ASSERT_EQ(ack.results[0].result, rpc::kContextAccepted);
  }
  uint32_t FaultOf(const Association::Output& output, bool* did_not_execute = nullptr) {
    EXPECT_EQ(output.pdus.size(), 1u);
    if (output.pdus.size() != 1) return 0;
    rpc::Fault fault;
    EXPECT_TRUE(rpc::DecodeFault(output.pdus[0], fault));
    if (did_not_execute) *did_not_execute = output.pdus[0][3] & rpc::PFC_DID_NOT_EXECUTE;
    return fault.status;
  }
  uint16_t NakReason(const Association::Output& output) {
    EXPECT_EQ(output.pdus.size(), 1u);
    uint16_t reason = 0xFFFF;
    if (output.pdus.size() == 1) {
      EXPECT_TRUE(rpc::DecodeBindNak(output.pdus[0], reason));
    }
    return reason;
  }

  struct Call {
    uint16_t opnum;
    std::vector<uint8_t> stub;
  };
  std::vector<Call> calls_;
  std::vector<uint8_t> reply_stub_ = {0, 0, 0, 0};
  bool registered_ = true;
  Association association_;
};

TEST_F(AssociationTest, BindAcceptsTheInterfaceWithNdr) {
  const rpc::BindAck ack = BindAndAck(MakeBind({{0, kManagementInterface, {kNdrTransferSyntax}}}));
  ASSERT_EQ(ack.results.size(), 1u);
  EXPECT_EQ(ack.results[0].result, rpc::kContextAccepted);
  EXPECT_EQ(ack.results[0].transfer_syntax, kNdrTransferSyntax);
  EXPECT_EQ(ack.secondary_address, "quensariasvc");
  EXPECT_EQ(ack.assoc_group_id, 77u);
}

TEST_F(AssociationTest, OtherInterfacesVersionsAndSyntaxesAreRejectedPerContext) {
  rpc::SyntaxId major2 = kManagementInterface;
  major2.major = 2;
  rpc::SyntaxId minor9 = kManagementInterface;
  minor9.minor = 9;
  rpc::SyntaxId minor0 = kManagementInterface;
  minor0.minor = 0;
  const rpc::BindAck ack = BindAndAck(MakeBind({
      {0, kOtherInterface, {kNdrTransferSyntax}},
      {1, major2, {kNdrTransferSyntax}},
      {2, minor9, {kNdrTransferSyntax}},
      {3, kManagementInterface, {kNdr64}},
      {4, kManagementInterface, {}},
      {5, minor0, {kNdr64, kNdrTransferSyntax}},
  }));
  ASSERT_EQ(ack.results.size(), 6u);
  const uint16_t expected_reason[] = {
      rpc::kReasonAbstractSyntaxNotSupported,   rpc::kReasonAbstractSyntaxNotSupported,
      rpc::kReasonAbstractSyntaxNotSupported,   rpc::kReasonTransferSyntaxesNotSupported,
      rpc::kReasonTransferSyntaxesNotSupported,
  };
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ack.results[i].result, rpc::kContextProviderRejection) << i;
    EXPECT_EQ(ack.results[i].reason, expected_reason[i]) << i;
  }
  EXPECT_EQ(ack.results[5].result, rpc::kContextAccepted);
  EXPECT_EQ(ack.results[5].transfer_syntax, kNdrTransferSyntax);

  // Only the accepted context carries calls.
  EXPECT_EQ(FaultOf(Feed(rpc::EncodeRequest(2, 3, 0, reply_stub_, 4280)[0])), rpc::nca_unk_if);
  EXPECT_EQ(Feed(rpc::EncodeRequest(3, 5, 0, reply_stub_, 4280)[0]).pdus[0][2],
            static_cast<uint8_t>(PduType::kResponse));
}

TEST_F(AssociationTest, NothingIsAcceptedBeforeTheInterfaceIsRegistered) {
  registered_ = false;
  const rpc::BindAck ack = BindAndAck(MakeBind({{0, kManagementInterface, {kNdrTransferSyntax}}}));
  ASSERT_EQ(ack.results.size(), 1u);
  EXPECT_EQ(ack.results[0].result, rpc::kContextProviderRejection);
}

TEST_F(AssociationTest, FragmentSizesAreNegotiatedWithinLimits) {
  rpc::BindAck ack = BindAndAck(MakeBind({}, 5840, 2000));
  EXPECT_EQ(ack.max_xmit_frag, 2000);  // what the client can receive
  EXPECT_EQ(ack.max_recv_frag, kServerMaxFragment);
  EXPECT_TRUE(ack.results.empty());
}

TEST_F(AssociationTest, TinyFragmentProposalsAreRaisedToTheMinimum) {
  rpc::BindAck ack =
      BindAndAck(MakeBind({{0, kManagementInterface, {kNdrTransferSyntax}}}, 16, 16));
  EXPECT_EQ(ack.max_xmit_frag, rpc::kMinFragmentSize);
  EXPECT_EQ(ack.max_recv_frag, rpc::kMinFragmentSize);
  reply_stub_.assign(5000, 7);
  const Association::Output output = Feed(rpc::EncodeRequest(2, 0, 0, {}, 4280)[0]);
  ASSERT_EQ(output.pdus.size(), 4u);
  for (const auto& pdu : output.pdus) EXPECT_LE(pdu.size(), rpc::kMinFragmentSize);
}

TEST_F(AssociationTest, RequestsBeforeBindGetUnknownInterface) {
  bool did_not_execute = false;
  EXPECT_EQ(FaultOf(Feed(rpc::EncodeRequest(1, 0, 0, reply_stub_, 4280)[0]), &did_not_execute),
            rpc::nca_unk_if);
  EXPECT_TRUE(did_not_execute);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(AssociationTest, FragmentedRequestIsJoinedAndResponseFragmented) {
  BindManagement();
  std::vector<uint8_t> stub(3000);
  for (size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<uint8_t>(i);
  const auto fragments = rpc::EncodeRequest(9, 0, 4, stub, rpc::kMinFragmentSize);
  ASSERT_EQ(fragments.size(), 3u);
  EXPECT_TRUE(Feed(fragments[0]).pdus.empty());
  EXPECT_TRUE(Feed(fragments[1]).pdus.empty());
  reply_stub_.assign(10000, 3);
  const Association::Output output = Feed(fragments[2]);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].opnum, 4);
  EXPECT_EQ(calls_[0].stub, stub);
  ASSERT_EQ(output.pdus.size(), 3u);  // 10000 bytes in fragments of at most 4280
  std::vector<uint8_t> joined;
  for (const auto& pdu : output.pdus) {
    rpc::Response response;
    ASSERT_TRUE(rpc::DecodeResponse(pdu, response));
    EXPECT_EQ(LoadLe32(pdu.data() + 12), 9u);  // call id
    joined.insert(joined.end(), response.stub.begin(), response.stub.end());
  }
  EXPECT_EQ(joined, reply_stub_);
}

TEST_F(AssociationTest, FragmentsOutOfSequenceAreProtocolErrors) {
  BindManagement();
  auto fragments =
      rpc::EncodeRequest(9, 0, 4, std::vector<uint8_t>(3000, 1), rpc::kMinFragmentSize);
  EXPECT_EQ(FaultOf(Feed(fragments[1])), rpc::nca_proto_error);
  // A fragment of another call in the middle of one.
  EXPECT_TRUE(Feed(fragments[0]).pdus.empty());
  auto other = rpc::EncodeRequest(10, 0, 4, std::vector<uint8_t>(3000, 1), rpc::kMinFragmentSize);
  EXPECT_EQ(FaultOf(Feed(other[1])), rpc::nca_proto_error);
  EXPECT_TRUE(calls_.empty());
  // A new first fragment abandons a half-received call.
  EXPECT_TRUE(Feed(fragments[0]).pdus.empty());
  auto single = rpc::EncodeRequest(11, 0, 3, reply_stub_, 4280);
  EXPECT_EQ(Feed(single[0]).pdus.size(), 1u);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].opnum, 3);
}

TEST_F(AssociationTest, OversizedRequestIsRefusedWithoutGrowingMemory) {
  BindManagement();
  const std::vector<uint8_t> chunk(4000, 1);
  auto first = rpc::EncodeRequest(5, 0, 1, chunk, 4280)[0];
  first[3] = rpc::PFC_FIRST_FRAG;
  EXPECT_TRUE(Feed(first).pdus.empty());
  auto middle = first;
  middle[3] = 0;
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(Feed(middle).pdus.empty());  // 400 KB sent
  auto last = first;
  last[3] = rpc::PFC_LAST_FRAG;
  EXPECT_EQ(FaultOf(Feed(last)), rpc::nca_s_fault_ndr);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(AssociationTest, SecondBindIsRefusedAlterContextAddsContexts) {
  BindManagement();
  EXPECT_EQ(NakReason(Feed(rpc::EncodeBind(PduType::kBind, 2, MakeBind({})))),
            rpc::kRejectNotSpecified);
  rpc::BindAck ack = BindAndAck(MakeBind({{1, kManagementInterface, {kNdrTransferSyntax}}}),
                                PduType::kAlterContext);
  ASSERT_EQ(ack.results.size(), 1u);
  EXPECT_EQ(ack.results[0].result, rpc::kContextAccepted);
  EXPECT_EQ(ack.secondary_address, "");
  EXPECT_EQ(Feed(rpc::EncodeRequest(3, 1, 0, reply_stub_, 4280)[0]).pdus[0][2],
            static_cast<uint8_t>(PduType::kResponse));
}

TEST_F(AssociationTest, UnsupportedVersionsByteOrdersAndAuthAreNaked) {
  std::vector<uint8_t> bind = rpc::EncodeBind(
      PduType::kBind, 1, MakeBind({{0, kManagementInterface, {kNdrTransferSyntax}}}));
  auto minor2 = bind;
  minor2[1] = 2;
  EXPECT_EQ(NakReason(Feed(minor2)), rpc::kRejectProtocolVersionNotSupported);
  auto big_endian = bind;
  big_endian[4] = 0x00;
  EXPECT_EQ(NakReason(Feed(big_endian)), rpc::kRejectUserDataNotReadable);
  auto with_auth = bind;
  for (int i = 0; i < 16; ++i) with_auth.push_back(0);
  StoreLe16(with_auth.data() + 8, static_cast<uint16_t>(with_auth.size()));
  StoreLe16(with_auth.data() + 10, 8);
  EXPECT_EQ(NakReason(Feed(with_auth)), rpc::kRejectAuthenticationTypeNotRecognized);
  auto garbled = bind;
  garbled[24] = 50;  // more contexts than the PDU holds
  EXPECT_EQ(NakReason(Feed(garbled)), rpc::kRejectNotSpecified);
  // None of these bound the association.
  BindManagement();
}

TEST_F(AssociationTest, BindWhoseAnswerWouldNotFitIsRefusedWhole) {
  std::vector<rpc::ContextElement> many;
  for (uint16_t id = 0; id < 200; ++id)
    many.push_back({id, kManagementInterface, {kNdrTransferSyntax}});
  const auto output = Feed(rpc::EncodeBind(PduType::kBind, 1, MakeBind(many, 4280, 4280)));
  EXPECT_EQ(NakReason(output), rpc::kRejectLocalLimitExceeded);
  EXPECT_EQ(FaultOf(Feed(rpc::EncodeRequest(2, 5, 0, reply_stub_, 4280)[0])), rpc::nca_unk_if);
  BindManagement();  // a sensible bind still works afterwards
}

TEST_F(AssociationTest, PdusOnlyAServerSendsEndTheConnection) {
  BindManagement();
  for (const auto& pdu : {rpc::EncodeResponse(1, 0, reply_stub_, 4280)[0],
                          rpc::EncodeFault(1, 0, 5, false), rpc::EncodeBindNak(1, 0)}) {
    EXPECT_TRUE(Feed(pdu).close);
  }
  auto big_endian_request = rpc::EncodeRequest(1, 0, 0, reply_stub_, 4280)[0];
  big_endian_request[4] = 0;
  EXPECT_TRUE(Feed(big_endian_request).close);
}

TEST_F(AssociationTest, OrphanedDropsTheHalfReceivedCall) {
  BindManagement();
  auto fragments =
      rpc::EncodeRequest(9, 0, 4, std::vector<uint8_t>(3000, 1), rpc::kMinFragmentSize);
  Feed(fragments[0]);
  auto orphaned = rpc::EncodeFault(9, 0, 0, false);
  orphaned[2] = static_cast<uint8_t>(PduType::kOrphaned);
  EXPECT_TRUE(Feed(orphaned).pdus.empty());
  EXPECT_EQ(FaultOf(Feed(fragments[1])), rpc::nca_proto_error);
  EXPECT_TRUE(calls_.empty());
}

}  // namespace
}  // namespace quensaria::management
