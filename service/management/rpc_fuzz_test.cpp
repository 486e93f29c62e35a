// Random and mutated PDUs, alone and as byte streams on the socket: no crash,
// every answer a well-formed PDU within the negotiated size, and the service
// still answering a good client afterwards.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <random>
#include <thread>

#include "platform/eventually_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "service/management/association.h"
#include "service/management/call_dispatch.h"
#include "service/management/fake_operations_for_testing.h"
#include "service/management/management_server.h"
#include "service/management/test_client_for_testing.h"
#include "shared/bytes.h"

namespace quensaria::management {
namespace {

class RpcFuzzTest : public ::testing::Test {
 protected:
  uint32_t Next(uint32_t bound) {
    return std::uniform_int_distribution<uint32_t>(0, bound - 1)(random_);
  }

  // Valid PDUs of every kind the service takes, to mutate.
  std::vector<std::vector<uint8_t>> Seeds() {
    std::vector<std::vector<uint8_t>> seeds;
    rpc::Bind bind;
    bind.max_xmit_frag = 4280;
    bind.max_recv_frag = 4280;
    bind.contexts.push_back({0, kManagementInterface, {kNdrTransferSyntax}});
    seeds.push_back(rpc::EncodeBind(rpc::PduType::kBind, 1, bind));
    seeds.push_back(rpc::EncodeBind(rpc::PduType::kAlterContext, 2, bind));
    for (uint16_t op = 0; op < kManagementOpCount; ++op) {
      ManagementRequest request;
      request.first = static_cast<int32_t>(Next(3)) * 0x101;  // 0 or plausible handles
      request.second = 0x102;
      for (const auto& pdu : rpc::EncodeRequest(
               10 + op, 0, op, EncodeManagementRequest(static_cast<ManagementOp>(op), request),
               rpc::kMinFragmentSize)) {
        seeds.push_back(pdu);
      }
    }
    return seeds;
  }

  std::vector<uint8_t> Mutate(std::vector<uint8_t> pdu) {
    const int edits = 1 + static_cast<int>(Next(4));
    for (int e = 0; e < edits; ++e) {
      switch (Next(6)) {
        case 0:
          if (!pdu.empty())
            pdu[Next(static_cast<uint32_t>(pdu.size()))] = static_cast<uint8_t>(Next(256));
          break;
        case 1:  // a header field: type, flags, lengths, counts
          if (pdu.size() > 28)
            pdu[std::array<uint32_t, 8>{2, 3, 8, 9, 10, 22, 24, 28}[Next(8)]] ^=
                static_cast<uint8_t>(1 + Next(255));
          break;
        case 2:
          pdu.resize(Next(static_cast<uint32_t>(pdu.size()) + 1));
          break;
        case 3:
          for (uint32_t i = 0, n = Next(64); i < n; ++i)
            pdu.push_back(static_cast<uint8_t>(Next(256)));
          break;
        case 4:  // frag_length that lies
          if (pdu.size() >= 10) StoreLe16(pdu.data() + 8, static_cast<uint16_t>(Next(65536)));
          break;
        default:  // an n or a conformance at the start of the stub
          if (pdu.size() >= 28)
            StoreLe32(pdu.data() + 24, std::array<uint32_t, 5>{0, 2047, 0x7FFFFFFF, 0x80000000,
                                                               0xFFFFFFFF}[Next(5)]);
          break;
      }
    }
    return pdu;
  }

  std::mt19937 random_{424242};
  FakeOperations ops_;
};

TEST_F(RpcFuzzTest, MutatedPdusGetWellFormedAnswersOrAClose) {
  const std::vector<std::vector<uint8_t>> seeds = Seeds();
  int answered = 0;
  for (int session = 0; session < 200; ++session) {
    Association association(
        [this](uint16_t opnum, std::span<const uint8_t> stub) {
          return DispatchCall(ops_, opnum, stub);
        },
        [] { return true; }, "quensariasvc", 1);
    if (Next(4) != 0) association.OnPdu(seeds[0]);  // mostly bound first
    for (int i = 0; i < 50; ++i) {
      std::vector<uint8_t> pdu = Next(5) == 0
                                     ? seeds[Next(static_cast<uint32_t>(seeds.size()))]
                                     : Mutate(seeds[Next(static_cast<uint32_t>(seeds.size()))]);
      // What ReadPdu would have delivered: the header's frag_length bytes.
      rpc::Header header;
      if (!rpc::DecodeHeader(pdu, header) || header.rpc_vers != 5 ||
          header.frag_length < rpc::kHeaderSize)
        continue;
      pdu.resize(header.frag_length, 0);
      const Association::Output output = association.OnPdu(pdu);
      for (const auto& reply : output.pdus) {
        rpc::Header out;
        ASSERT_TRUE(rpc::DecodeHeader(reply, out));
        ASSERT_EQ(out.frag_length, reply.size());
        ASSERT_LE(reply.size(), association.max_xmit_frag());
        ++answered;
      }
      if (output.close) break;
    }
  }
  EXPECT_GT(answered, 1000);
}

TEST_F(RpcFuzzTest, GarbageStreamsOnTheSocketLeaveTheServiceServing) {
  testing::ScratchDir scratch;
  const std::string dir = scratch.path().string();
  ManagementServer server(ops_, dir + "/run");
  std::thread listening([&] { StartManagementInterface(server); });
  const std::vector<std::vector<uint8_t>> seeds = Seeds();
  TestClient probe;
  ASSERT_TRUE(testing::Eventually([&] { return probe.Connect(server.EndpointPath()); },
                                  std::chrono::seconds(30), std::chrono::milliseconds(10)));
  for (int connection = 0; connection < 60; ++connection) {
    TestClient client;
    ASSERT_TRUE(client.Connect(server.EndpointPath()));
    std::vector<uint8_t> stream;
    for (int i = 0; i < 20; ++i) {
      const auto pdu = Next(3) == 0 ? seeds[Next(static_cast<uint32_t>(seeds.size()))]
                                    : Mutate(seeds[Next(static_cast<uint32_t>(seeds.size()))]);
      stream.insert(stream.end(), pdu.begin(), pdu.end());
    }
    // Send from a second thread while this one drains the answers, so a
    // full socket buffer on either side cannot stall the test.
    std::thread sender([&] {
      client.Send(stream);
      ::shutdown(client.fd(), SHUT_WR);
    });
    while (client.Receive()) {
    }
    sender.join();
  }
  TestClient good;
  ASSERT_TRUE(good.Connect(server.EndpointPath()));
  ASSERT_TRUE(good.Bind());
  EXPECT_EQ(good.ServiceName(16), 0);
  server.Shutdown();
  listening.join();
}

}  // namespace
}  // namespace quensaria::management
