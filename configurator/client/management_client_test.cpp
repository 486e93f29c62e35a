// The call wrappers' rules, seen from a server that records every request:
// zeroed record buffers out, records back only on success, runtime failures
// as statuses, and a new connection after the service restarted.
#include "configurator/client/management_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "configurator/client/cli.h"
#include "configurator/client/scripted_server_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "shared/bytes.h"

namespace quensaria::configurator {
namespace {

// Binds, then answers `calls` requests with what `answer` returns for
// (opnum, request stub): a reply stub, or a fault status via `fault`.
void ServeCalls(int fd, int calls,
                const std::function<std::vector<uint8_t>(uint16_t, const std::vector<uint8_t>&,
                                                         uint32_t&)>& answer) {
  ScriptedServer::AnswerBind(fd);
  for (int i = 0; i < calls; ++i) {
    std::vector<uint8_t> stub;
    uint16_t opnum = 0;
    uint32_t call_id = 0;
    for (;;) {
      auto pdu = ScriptedServer::Read(fd);
      if (!pdu) return;
      rpc::Request request;
      ASSERT_TRUE(rpc::DecodeRequest(*pdu, request));
      stub.insert(stub.end(), request.stub.begin(), request.stub.end());
      opnum = request.opnum;
      call_id = ScriptedServer::CallId(*pdu);
      if ((*pdu)[3] & rpc::PFC_LAST_FRAG) break;
    }
    uint32_t fault = 0;
    const std::vector<uint8_t> reply = answer(opnum, stub, fault);
    if (fault != 0) {
      ScriptedServer::Send(fd, rpc::EncodeFault(call_id, 0, fault, true));
      continue;
    }
    for (const auto& out : rpc::EncodeResponse(call_id, 0, reply, 4280))
      ScriptedServer::Send(fd, out);
  }
}

std::vector<uint8_t> Reply(ManagementOp op, const ManagementReply& reply) {
  return EncodeManagementReply(op, reply);
}

class ManagementClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ + "/ncalrpc");
    client_ = std::make_unique<ManagementClient>(dir_, std::chrono::seconds(10));
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  std::unique_ptr<ManagementClient> client_;
};

TEST_F(ManagementClientTest, RecordsGoOutAtTheStartOfAZeroedBuffer) {
  ScriptedServer server(client_->endpoint());
  std::vector<uint8_t> seen;
  server.Run([&](int fd) {
    ServeCalls(fd, 1, [&](uint16_t opnum, const std::vector<uint8_t>& stub, uint32_t&) {
      EXPECT_EQ(opnum, 1);
      seen = stub;
      ManagementReply reply;
      reply.value = 0x1234;
      return Reply(ManagementOp::AddServer, reply);
    });
  });
  ServerConfig config;
  std::memset(&config, 0x5A, sizeof config);  // every byte of the record set
  Handle server_handle = 0;
  EXPECT_EQ(client_->AddServer(config, server_handle), 0);
  EXPECT_EQ(server_handle, 0x1234u);
  ASSERT_EQ(seen.size(), 4u + kRecordBufferSize);
  EXPECT_EQ(LoadLe32(seen.data()), kRecordBufferSize);
  EXPECT_EQ(0, std::memcmp(seen.data() + 4, &config, sizeof config));
  for (size_t i = 4 + sizeof config; i < seen.size(); ++i) ASSERT_EQ(seen[i], 0) << i;
}

TEST_F(ManagementClientTest, RecordsComeBackOnlyOnSuccess) {
  ScriptedServer server(client_->endpoint());
  server.Run([&](int fd) {
    int call = 0;
    ServeCalls(fd, 2, [&](uint16_t, const std::vector<uint8_t>&, uint32_t&) {
      ManagementReply reply;
      reply.buffer.assign(kRecordBufferSize, 0xEE);
      reply.result = call++ == 0 ? -1 : 0;
      return Reply(ManagementOp::GetStaticClient, reply);
    });
  });
  ClientEntry entry;
  std::memset(&entry, 0x11, sizeof entry);
  EXPECT_EQ(client_->GetStaticClient(7, entry), -1);
  const std::vector<uint8_t> untouched(sizeof entry, 0x11);
  EXPECT_EQ(0, std::memcmp(&entry, untouched.data(), sizeof entry));
  EXPECT_EQ(client_->GetStaticClient(7, entry), 0);
  EXPECT_EQ(entry.access, 0xEE);
}

TEST_F(ManagementClientTest, RuntimeFailuresBecomeTheResult) {
  // Nothing listens on the endpoint.
  Handle handle = 99;
  ServerConfig config;
  std::memset(&config, 0x22, sizeof config);
  EXPECT_EQ(client_->AddServer(config, handle),
            static_cast<int32_t>(rpc::RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(handle, 0u);
  Handle next = 99;
  EXPECT_EQ(client_->EnumServers(0, next), static_cast<int32_t>(rpc::RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(next, 0u);
  EXPECT_EQ(client_->GetServer(1, config), static_cast<int32_t>(rpc::RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(config.Port, 0x2222);
  EXPECT_FALSE(client_->last_runtime_error().empty());
}

TEST_F(ManagementClientTest, FaultsBecomeTheResultAndTheBindingStays) {
  ScriptedServer server(client_->endpoint());
  server.Run([&](int fd) {
    int call = 0;
    ServeCalls(fd, 2, [&](uint16_t, const std::vector<uint8_t>&, uint32_t& fault) {
      ManagementReply reply;
      reply.buffer.assign(16, 0);
      std::memcpy(reply.buffer.data(), "Velmoran Server", 16);
      if (call++ == 0) fault = rpc::nca_s_fault_ndr;
      return Reply(ManagementOp::GetServiceName, reply);
    });
  });
  std::string text = "unchanged";
  EXPECT_EQ(client_->GetServiceName(16, text), static_cast<int32_t>(rpc::RPC_X_BAD_STUB_DATA));
  EXPECT_EQ(text, "unchanged");
  EXPECT_EQ(client_->GetServiceName(16, text), 0);
  EXPECT_EQ(text, "Velmoran Server");
}

// A service from before the figures faults operation 18 as any unknown
// number: the wrapper says so with its own status, leaves the record, and
// the binding serves the next call; a newer one's record is read as far as
// its RecordSize and this record go.
TEST_F(ManagementClientTest, FiguresFromAnOlderAndANewerService) {
  ScriptedServer server(client_->endpoint());
  server.Run([&](int fd) {
    int call = 0;
    ServeCalls(fd, 3, [&](uint16_t opnum, const std::vector<uint8_t>& stub, uint32_t& fault) {
      EXPECT_EQ(opnum, 18);
      EXPECT_EQ(stub, (std::vector<uint8_t>{0x01, 0x01, 0, 0}));
      ManagementReply reply;
      reply.buffer.assign(kRecordBufferSize, 0xEE);
      StoreLe32(reply.buffer.data(), 400);     // a newer service's longer record
      StoreLe64(reply.buffer.data() + 24, 5);  // Reads
      if (call++ == 0) fault = rpc::nca_op_rng_error;
      if (call == 3) reply.result = -1;
      return Reply(ManagementOp::GetServerStats, reply);
    });
  });
  ServerStats stats{};
  stats.Reads = 99;
  EXPECT_EQ(client_->GetServerStats(0x101, stats),
            static_cast<int32_t>(rpc::RPC_S_PROCNUM_OUT_OF_RANGE));
  EXPECT_EQ(stats.Reads, 99u);
  EXPECT_EQ(client_->GetServerStats(0x101, stats), 0);
  EXPECT_EQ(stats.RecordSize, 400u);
  EXPECT_EQ(stats.Reads, 5u);
  EXPECT_EQ(stats.reserved, 0xEEEEEEEEu);  // within this record: the sender's bytes
  stats.Reads = 99;
  EXPECT_EQ(client_->GetServerStats(0x101, stats), -1);
  EXPECT_EQ(stats.Reads, 99u);
}

TEST_F(ManagementClientTest, AServiceThatRestartedIsReachedAgain) {
  const auto answer_stop = [](uint16_t opnum, const std::vector<uint8_t>&, uint32_t&) {
    EXPECT_EQ(opnum, 6);
    return Reply(ManagementOp::StopServer, ManagementReply{});
  };
  {
    ScriptedServer first(client_->endpoint());
    first.Run([&](int fd) { ServeCalls(fd, 1, answer_stop); });
    EXPECT_EQ(client_->StopServer(5), 0);
  }
  std::filesystem::remove(client_->endpoint());
  ScriptedServer second(client_->endpoint());
  second.Run([&](int fd) { ServeCalls(fd, 1, answer_stop); });
  // The kept connection is dead; the request was never delivered, so the
  // wrapper sends it again on a new connection.
  EXPECT_EQ(client_->StopServer(5), 0);
}

TEST_F(ManagementClientTest, AnAnswerLostAfterSendingIsNotRepeated) {
  ScriptedServer server(client_->endpoint());
  std::atomic<int> requests{0};
  server.Run([&](int fd) {
    ScriptedServer::AnswerBind(fd);
    if (ScriptedServer::Read(fd)) ++requests;  // then close without answering
  });
  EXPECT_EQ(client_->DeleteServer(5), static_cast<int32_t>(rpc::RPC_S_CALL_FAILED));
  EXPECT_EQ(requests, 1);
}

// ludrane-cli's look-up of a static client must end on a service that hands
// back the handle it was given, as the list walks do.
TEST_F(ManagementClientTest, AClientLookUpEndsWhenTheServiceRepeatsAHandle) {
  ScriptedServer server(client_->endpoint());
  std::atomic<int> enumerations = 0;  // counted on the server's thread
  constexpr int kGiveUpAfter = 100;   // the server's own way out of a loop
  server.Run([&](int fd) {
    ServeCalls(fd, kGiveUpAfter + 2, [&](uint16_t, const std::vector<uint8_t>&, uint32_t&) {
      ManagementReply reply;
      reply.value = ++enumerations > kGiveUpAfter ? 0 : 5;
      return Reply(ManagementOp::EnumStaticClients, reply);
    });
  });
  std::ostringstream out, err;
  EXPECT_EQ(RunCli({"--runtime-dir", dir_, "delete-client", "1", "7"}, out, err), kExitRefused);
  EXPECT_LE(enumerations, 2) << "the walk went on past the repeated handle: " << enumerations.load()
                             << " calls";
  EXPECT_EQ(err.str(), "ludrane-cli: client 7 is not a static client of server 1\n");
}

}  // namespace
}  // namespace quensaria::configurator
