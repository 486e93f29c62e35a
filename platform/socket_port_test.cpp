#include "platform/socket_port.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "platform/blocked_thread_for_testing.h"
#include "platform/eventually_for_testing.h"
#include "platform/socket.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

constexpr uint32_t kLoopback = Ipv4(127, 0, 0, 1);

// A listener on a free loopback port and one accepted connection.
class SocketPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<std::unique_ptr<SocketPort>> port = SocketPort::Create();
    ASSERT_TRUE(port.ok());
    port_ = std::move(port).value();
    PassiveAddress address;
    ASSERT_TRUE(address.Resolve("0").ok());
    ASSERT_FALSE(address.empty());
    Result<UniqueFd> listener = CreateSocket(address);
    ASSERT_TRUE(listener.ok()) << listener.status().ToString();
    listener_ = std::move(listener).value();
    ASSERT_TRUE(BindSocket(listener_.get(), address).ok());
    ASSERT_TRUE(ListenSocket(listener_.get(), 5).ok());
    listening_port_ = LocalPort(listener_.get());
    ASSERT_NE(listening_port_, 0);
    Result<UniqueFd> client = ConnectTcp(0, kLoopback, listening_port_);
    ASSERT_TRUE(client.ok()) << client.status().ToString();
    client_ = std::move(client).value();
    Result<Accepted> accepted = AcceptConnection(listener_.get());
    ASSERT_TRUE(accepted.ok()) << accepted.status().ToString();
    ASSERT_EQ(accepted->outcome, Accepted::Outcome::kConnection);
    EXPECT_EQ(accepted->peer, kLoopback);
    server_ = std::move(accepted->socket);
    op_.socket = server_.get();
    op_.key = this;
  }

  StartResult Start(SocketOperation::Kind kind, uint8_t* data, size_t length, bool try_now) {
    op_.kind = kind;
    op_.data = data;
    op_.length = length;
    const Started started = port_->Start(op_, try_now);
    bytes_ = started.bytes;
    error_ = started.error;
    return started.result;
  }

  // Poll on op_ as it stands, keeping what moved in bytes_ and error_.
  std::optional<StartResult> Poll(std::chrono::microseconds limit) {
    const std::optional<Started> polled = port_->Poll(op_, limit);
    if (!polled) return std::nullopt;
    bytes_ = polled->bytes;
    error_ = polled->error;
    return polled->result;
  }

  std::unique_ptr<SocketPort> port_;
  UniqueFd listener_, client_, server_;
  uint16_t listening_port_ = 0;
  SocketOperation op_;
  size_t bytes_ = 0;
  int error_ = 0;
};

TEST_F(SocketPortTest, ReceiveFinishesAtOnceWhenDataIsThereAndIsArmedOtherwise) {
  uint8_t buffer[64];
  EXPECT_EQ(Start(SocketOperation::Kind::kReceive, buffer, 64, true), StartResult::kPending);
  ASSERT_TRUE(SendAll(client_.get(), "abc", 3).ok());
  Result<SocketCompletion> waited = port_->Wait();
  ASSERT_TRUE(waited.ok()) << waited.status().ToString();
  const SocketCompletion& done = waited.value();
  EXPECT_EQ(done.key, this);
  EXPECT_EQ(done.operation, &op_);
  EXPECT_EQ(done.bytes, 3u);
  EXPECT_EQ(done.error, 0);

  ASSERT_TRUE(SendAll(client_.get(), "defg", 4).ok());
  pollfd readable{server_.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&readable, 1, 30000), 1);  // the bytes are there
  EXPECT_EQ(Start(SocketOperation::Kind::kReceive, buffer, 64, true), StartResult::kCompleted);
  EXPECT_EQ(bytes_, 4u);
  EXPECT_EQ(buffer[3], 'g');
}

TEST_F(SocketPortTest, OnlyOneWaiterGetsACompletionAndShutdownWakesTheRest) {
  uint8_t buffer[8];
  std::atomic<int> completions{0}, empties{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      for (;;) {
        Result<SocketCompletion> waited = port_->Wait();
        if (!waited.ok() || waited->key == nullptr) break;
        ++completions;
      }
      ++empties;
    });
  }
  ASSERT_EQ(Start(SocketOperation::Kind::kReceive, buffer, 8, false), StartResult::kPending);
  ASSERT_TRUE(SendAll(client_.get(), "x", 1).ok());
  ASSERT_TRUE(SendAll(client_.get(), "y", 1).ok());  // not armed again: nobody takes it
  testing::Eventually([&] { return completions.load() != 0; }, std::chrono::seconds(20));
  EXPECT_EQ(completions.load(), 1);
  port_->PostShutdown();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(empties.load(), 4);
}

TEST_F(SocketPortTest, LargeSendCompletesThroughTheWaiterOnceThePeerReads) {
  std::vector<uint8_t> big(8 << 20, 0x42);
  const StartResult r = Start(SocketOperation::Kind::kSend, big.data(), big.size(), true);
  ASSERT_EQ(r, StartResult::kCompleted);  // part of it, as much as the kernel took
  ASSERT_LT(bytes_, big.size());
  const size_t first = bytes_;
  EXPECT_EQ(Start(SocketOperation::Kind::kSend, big.data() + first, big.size() - first, true),
            StartResult::kPending);
  std::thread reader([&] {
    std::vector<uint8_t> sink(big.size());
    EXPECT_TRUE(ReceiveAll(client_.get(), sink.data(), first + 1).ok());
  });
  Result<SocketCompletion> waited = port_->Wait();
  ASSERT_TRUE(waited.ok()) << waited.status().ToString();
  const SocketCompletion& done = waited.value();
  EXPECT_EQ(done.error, 0);
  EXPECT_GT(done.bytes, 0u);
  reader.join();
}

TEST_F(SocketPortTest, PeerCloseAndResetComeBackAsCompletions) {
  uint8_t buffer[8];
  ASSERT_EQ(Start(SocketOperation::Kind::kReceive, buffer, 8, false), StartResult::kPending);
  client_.Reset();
  Result<SocketCompletion> waited = port_->Wait();
  ASSERT_TRUE(waited.ok()) << waited.status().ToString();
  const SocketCompletion& done = waited.value();
  EXPECT_EQ(done.bytes, 0u);  // orderly close
  EXPECT_EQ(done.error, 0);
}

TEST_F(SocketPortTest, ResetConnectionResetsThePeerAndWakesTheArmedReceive) {
  uint8_t buffer[8];
  ASSERT_EQ(Start(SocketOperation::Kind::kReceive, buffer, 8, false), StartResult::kPending);
  ResetConnection(server_.get());
  Result<SocketCompletion> waited = port_->Wait();
  ASSERT_TRUE(waited.ok()) << waited.status().ToString();
  const SocketCompletion& done = waited.value();
  EXPECT_TRUE(done.error != 0 || done.bytes == 0);
  const Status received = ReceiveAll(client_.get(), buffer, 1);
  EXPECT_TRUE(IsConnectionReset(received)) << received.ToString();
  // The descriptor is still ours: using it fails, it names no other file.
  EXPECT_NE(SendSome(server_.get(), "z", 1).error, 0);
}

TEST_F(SocketPortTest, AbortiveCloseResetsThePeerAndAnOrderlyCloseDoesNot) {
  ASSERT_TRUE(SetAbortiveClose(server_.get()).ok());
  server_.Reset();
  uint8_t byte;
  Status received = ReceiveAll(client_.get(), &byte, 1);
  EXPECT_TRUE(IsConnectionReset(received)) << received.ToString();
  EXPECT_FALSE(IsConnectionClosed(received));

  // Another pair, closed in order: the receive meets the end of the stream,
  // which the receive that wants more than came reports as a close.
  Result<UniqueFd> client = ConnectTcp(0, kLoopback, listening_port_);
  ASSERT_TRUE(client.ok()) << client.status().ToString();
  Result<Accepted> accepted = AcceptConnection(listener_.get());
  ASSERT_TRUE(accepted.ok() && accepted->outcome == Accepted::Outcome::kConnection);
  ASSERT_TRUE(SendAll(accepted->socket.get(), "ab", 2).ok());
  accepted->socket.Reset();
  uint8_t three[3];
  received = ReceiveAll(client->get(), three, sizeof three);
  EXPECT_TRUE(IsConnectionClosed(received)) << received.ToString();
  EXPECT_FALSE(IsConnectionReset(received));
  EXPECT_EQ(three[1], 'b');
}

// Woken, the listener counts as broken: the accept fails, not as one
// connection's trouble that accepting would go on after.
TEST_F(SocketPortTest, WakeListenerEndsABlockedAccept) {
  std::optional<Result<Accepted>> result;
  std::promise<int> acceptor_id;
  std::thread acceptor([&] {
    acceptor_id.set_value(ThreadIdForTesting());
    result.emplace(AcceptConnection(listener_.get()));
  });
  EXPECT_TRUE(WaitUntilBlockedForTesting(acceptor_id.get_future().get(), std::chrono::seconds(30)));
  WakeListener(listener_.get());
  acceptor.join();
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->ok());
}

TEST_F(SocketPortTest, ANonBlockingListenerWithNothingQueuedSaysNoneWaiting) {
  ASSERT_TRUE(SetNonBlockingListener(listener_.get()).ok());
  Result<bool> waiting = WaitForConnection(listener_.get(), std::chrono::milliseconds(0));
  ASSERT_TRUE(waiting.ok());
  EXPECT_FALSE(waiting.value());
  Result<Accepted> accepted = AcceptConnection(listener_.get());
  ASSERT_TRUE(accepted.ok()) << accepted.status().ToString();
  EXPECT_EQ(accepted->outcome, Accepted::Outcome::kNoneWaiting);
  EXPECT_FALSE(accepted->socket.valid());
}

// The failure carries what the console's line prints: errno and its text.
TEST_F(SocketPortTest, APortThatIsListenedOnCannotBeBoundAgain) {
  PassiveAddress address;
  ASSERT_TRUE(address.Resolve(std::to_string(listening_port_)).ok());
  Result<UniqueFd> second = CreateSocket(address);
  ASSERT_TRUE(second.ok()) << second.status().ToString();
  const Status bound = BindSocket(second->get(), address);
  EXPECT_EQ(bound.code(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(bound.message(), "98 Address already in use");
}

// A poller takes what arrives while it polls itself, with nothing armed;
// when nothing comes within the limit it arms nothing either.
TEST_F(SocketPortTest, PollTakesWhatArrivesInTimeAndArmsNothing) {
  uint8_t buffer[64];
  op_.kind = SocketOperation::Kind::kReceive;
  op_.data = buffer;
  op_.length = sizeof buffer;
  std::optional<StartResult> polled;
  // The limit only bounds the test: the bytes come at once.
  std::thread poller([&] { polled = Poll(std::chrono::seconds(60)); });
  ASSERT_TRUE(SendAll(client_.get(), "hello", 5).ok());
  poller.join();
  EXPECT_EQ(polled, StartResult::kCompleted);
  EXPECT_EQ(bytes_, 5u);
  EXPECT_EQ(buffer[4], 'o');
  EXPECT_FALSE(op_.registered);

  EXPECT_EQ(Poll(std::chrono::microseconds(1)), std::nullopt);
  EXPECT_FALSE(op_.registered);

  client_.Reset();  // the peer's close ends a poll too
  EXPECT_EQ(Poll(std::chrono::seconds(60)), StartResult::kCompleted);
  EXPECT_EQ(bytes_, 0u);
}

}  // namespace
}  // namespace quensaria::platform
