// The client side of the runtime against scripted servers: what each kind of
// misbehaving server turns into, and fragmentation both ways.
#include "configurator/client/rpc_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "configurator/client/scripted_server_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/unix_socket.h"
#include "shared/management_interface.h"

namespace quensaria::configurator {
namespace {

class RpcConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ + "/sock"; }

  Result<std::unique_ptr<RpcConnection>> Open(
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return RpcConnection::Open(path_, kManagementInterface, timeout);
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  std::string path_;
};

TEST_F(RpcConnectionTest, NothingListeningIsServerUnavailable) {
  EXPECT_EQ(Open().status().code(), rpc::RPC_S_SERVER_UNAVAILABLE);
}

TEST_F(RpcConnectionTest, BindFailuresAreTold) {
  {
    ScriptedServer server(path_);
    server.Run([](int fd) { ScriptedServer::Read(fd); });  // closes without an answer
    EXPECT_EQ(Open().status().code(), rpc::RPC_S_SERVER_UNAVAILABLE);
  }
  std::filesystem::remove(path_);
  {
    ScriptedServer server(path_);
    server.Run([](int fd) { ScriptedServer::AnswerBind(fd, rpc::kContextProviderRejection); });
    EXPECT_EQ(Open().status().code(), rpc::RPC_S_UNKNOWN_IF);
  }
  std::filesystem::remove(path_);
  {
    ScriptedServer server(path_);
    server.Run([](int fd) {
      auto bind = ScriptedServer::Read(fd);
      ScriptedServer::Send(
          fd, rpc::EncodeBindNak(ScriptedServer::CallId(*bind), rpc::kRejectLocalLimitExceeded));
    });
    EXPECT_EQ(Open().status().code(), rpc::RPC_S_SERVER_UNAVAILABLE);
  }
}

TEST_F(RpcConnectionTest, FaultsAreStatusesAndLeaveTheConnectionUsable) {
  ScriptedServer server(path_);
  server.Run([](int fd) {
    ScriptedServer::AnswerBind(fd);
    auto first = ScriptedServer::Read(fd);
    ScriptedServer::Send(
        fd, rpc::EncodeFault(ScriptedServer::CallId(*first), 0, rpc::nca_op_rng_error, true));
    auto second = ScriptedServer::Read(fd);
    const std::vector<uint8_t> stub = {1, 2, 3, 4};
    ScriptedServer::Send(fd,
                         rpc::EncodeResponse(ScriptedServer::CallId(*second), 0, stub, 4280)[0]);
  });
  auto connection = Open();
  ASSERT_TRUE(connection.ok()) << connection.status().ToString();
  auto faulted = (*connection)->Call(19, std::vector<uint8_t>(4, 0));
  EXPECT_EQ(faulted.status().code(), rpc::RPC_S_PROCNUM_OUT_OF_RANGE);
  EXPECT_TRUE((*connection)->usable());
  auto answered = (*connection)->Call(0, std::vector<uint8_t>(4, 0));
  ASSERT_TRUE(answered.ok());
  EXPECT_EQ(answered.value(), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(RpcConnectionTest, FragmentsBothWaysWithinWhatTheServerTakes) {
  ScriptedServer server(path_);
  std::vector<size_t> request_sizes;
  std::vector<uint8_t> request_stub;
  std::vector<uint8_t> reply(9000);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i * 13);
  server.Run([&](int fd) {
    ScriptedServer::AnswerBind(fd, rpc::kContextAccepted, rpc::kMinFragmentSize);
    for (;;) {
      auto pdu = ScriptedServer::Read(fd);
      if (!pdu) return;
      request_sizes.push_back(pdu->size());
      rpc::Request request;
      ASSERT_TRUE(rpc::DecodeRequest(*pdu, request));
      request_stub.insert(request_stub.end(), request.stub.begin(), request.stub.end());
      if ((*pdu)[3] & rpc::PFC_LAST_FRAG) {
        for (const auto& out : rpc::EncodeResponse(ScriptedServer::CallId(*pdu), 0, reply, 4280)) {
          ScriptedServer::Send(fd, out);
        }
        return;
      }
    }
  });
  auto connection = Open();
  ASSERT_TRUE(connection.ok());
  std::vector<uint8_t> stub(5000, 0x77);
  auto answer = (*connection)->Call(1, stub);
  ASSERT_TRUE(answer.ok()) << answer.status().ToString();
  EXPECT_EQ(answer.value(), reply);
  EXPECT_EQ(request_stub, stub);
  ASSERT_EQ(request_sizes.size(), 4u);
  for (size_t size : request_sizes) EXPECT_LE(size, rpc::kMinFragmentSize);
}

TEST_F(RpcConnectionTest, AnswersThatBreakTheStreamMakeTheConnectionUnusable) {
  ScriptedServer server(path_);
  server.Run([](int fd) {
    ScriptedServer::AnswerBind(fd);
    auto request = ScriptedServer::Read(fd);
    // An answer to another call.
    ScriptedServer::Send(fd, rpc::EncodeResponse(ScriptedServer::CallId(*request) + 5, 0,
                                                 std::vector<uint8_t>(4), 4280)[0]);
  });
  auto connection = Open();
  ASSERT_TRUE(connection.ok());
  EXPECT_EQ((*connection)->Call(0, std::vector<uint8_t>(4)).status().code(),
            rpc::RPC_S_PROTOCOL_ERROR);
  EXPECT_FALSE((*connection)->usable());
  EXPECT_EQ((*connection)->Call(0, std::vector<uint8_t>(4)).status().code(),
            rpc::RPC_S_CALL_FAILED_DNE);
}

TEST_F(RpcConnectionTest, ServerGoneMidAnswerIsCallFailed) {
  ScriptedServer server(path_);
  server.Run([](int fd) {
    ScriptedServer::AnswerBind(fd);
    auto request = ScriptedServer::Read(fd);
    auto fragments =
        rpc::EncodeResponse(ScriptedServer::CallId(*request), 0, std::vector<uint8_t>(9000), 4280);
    ScriptedServer::Send(fd, fragments[0]);  // then close
  });
  auto connection = Open();
  ASSERT_TRUE(connection.ok());
  EXPECT_EQ((*connection)->Call(0, std::vector<uint8_t>(4)).status().code(),
            rpc::RPC_S_CALL_FAILED);
  EXPECT_FALSE((*connection)->usable());
}

TEST_F(RpcConnectionTest, SilentServerTimesOut) {
  ScriptedServer server(path_);
  std::atomic<bool> done{false};
  server.Run([&](int fd) {
    ScriptedServer::AnswerBind(fd);
    ScriptedServer::Read(fd);
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  auto connection = Open(std::chrono::milliseconds(100));
  ASSERT_TRUE(connection.ok());
  EXPECT_EQ((*connection)->Call(0, std::vector<uint8_t>(4)).status().code(),
            rpc::RPC_S_CALL_FAILED);
  done = true;
}

// A stuck service that no longer accepts fills its queue; a connect then
// waits for room, which must not be for ever.
TEST_F(RpcConnectionTest, ServiceThatAcceptsNothingIsServerUnavailable) {
  platform::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(listener);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  Result<platform::UniqueFd> queued = platform::ConnectUnix(path_);  // the only place
  ASSERT_TRUE(queued.ok()) << queued.status().ToString();

  auto opened =
      std::async(std::launch::async, [&] { return Open(std::chrono::milliseconds(200)); });
  if (opened.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    listener.Reset();  // the connect still waits: closing the listener ends it
    ADD_FAILURE() << "Open still waits for room in the queue";
  }
  Result<std::unique_ptr<RpcConnection>> connection = opened.get();
  EXPECT_EQ(connection.status().code(), rpc::RPC_S_SERVER_UNAVAILABLE);
}

}  // namespace
}  // namespace quensaria::configurator
