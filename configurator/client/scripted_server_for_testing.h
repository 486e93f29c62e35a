// A DCE/RPC server for client tests: accepts one connection on an AF_UNIX
// socket and runs a script of raw PDUs on it, so a test can play any server,
// including broken ones.
#ifndef QUENSARIA_CONFIGURATOR_CLIENT_SCRIPTED_SERVER_FOR_TESTING_H_
#define QUENSARIA_CONFIGURATOR_CLIENT_SCRIPTED_SERVER_FOR_TESTING_H_

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unix_socket.h"
#include "shared/dcerpc.h"

namespace quensaria::configurator {

using rpc::PduType;

// A server that accepts one connection and runs `script` on it.
class ScriptedServer {
 public:
  explicit ScriptedServer(const std::string& path) : path_(path) {
    auto listener = platform::UnixListener::Listen(path, 0600);
    EXPECT_TRUE(listener.ok());
    listener_ = std::move(listener).value();
  }
  ~ScriptedServer() {
    if (thread_.joinable()) thread_.join();
  }
  void Run(std::function<void(int fd)> script) {
    thread_ = std::thread([this, script] {
      Result<platform::UniqueFd> fd = listener_->Accept();
      if (fd.ok()) script(fd->get());
    });
  }
  static std::optional<std::vector<uint8_t>> Read(int fd) {
    auto pdu =
        rpc::ReadPdu([fd](uint8_t* b, size_t n) { return platform::ReceiveExact(fd, b, n); });
    if (!pdu.ok()) return std::nullopt;
    return std::move(pdu).value();
  }
  static void Send(int fd, std::span<const uint8_t> pdu) {
    EXPECT_TRUE(platform::SendAll(fd, pdu).ok());
  }
  static uint32_t CallId(const std::vector<uint8_t>& pdu) {
    rpc::Header header;
    rpc::DecodeHeader(pdu, header);
    return header.call_id;
  }
  // Answers a bind with `result` for its one context.
  static void AnswerBind(int fd, uint16_t result = rpc::kContextAccepted,
                         uint16_t max_recv = 4280) {
    auto bind = Read(fd);
    ASSERT_TRUE(bind);
    rpc::BindAck ack;
    ack.max_xmit_frag = 4280;
    ack.max_recv_frag = max_recv;
    ack.results.push_back({result, 0, rpc::kNdr20});
    ScriptedServer::Send(fd, rpc::EncodeBindAck(PduType::kBindAck, CallId(*bind), ack));
  }

 private:
  std::string path_;
  std::unique_ptr<platform::UnixListener> listener_;
  std::thread thread_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_CLIENT_SCRIPTED_SERVER_FOR_TESTING_H_
