#include "platform/tcp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/eventually_for_testing.h"
#include "platform/unique_fd.h"

namespace quensaria::platform {
namespace {

using namespace std::chrono_literals;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A listening socket on 127.0.0.1 at a port the kernel picks.
struct Listener {
  explicit Listener(int backlog = 8) {
    fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    EXPECT_EQ(0, ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a));
    EXPECT_EQ(0, ::listen(fd.get(), backlog));
    socklen_t length = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length);
    port = a.sin_port;
  }
  UniqueFd Accept() { return UniqueFd(::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC)); }
  UniqueFd fd;
  uint16_t port = 0;  // network byte order
};

TcpClient::Clock::time_point In(std::chrono::milliseconds ms) {
  return TcpClient::Clock::now() + ms;
}

void ResetAndClose(UniqueFd& fd) {
  linger l{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  fd.Reset();
}

class TcpClientTest : public ::testing::Test {
 protected:
  void ConnectAndAccept() {
    ASSERT_EQ(STATUS_SUCCESS, client.Connect(kLoopback, listener.port, 2000ms));
    server = listener.Accept();
    ASSERT_TRUE(server.valid());
  }
  // What the peer did reaches this side at once on loopback; the limit only
  // keeps a fault from hanging the test.
  bool PeerGoneWithin20s() {
    return testing::Eventually([this] { return client.PeerGone(); }, 20s);
  }
  Listener listener;
  TcpClient client;
  UniqueFd server;
};

TEST_F(TcpClientTest, ConnectToClosedPortIsRefused) {
  const uint16_t port = listener.port;
  listener.fd.Reset();
  EXPECT_EQ(STATUS_CONNECTION_REFUSED, client.Connect(kLoopback, port, 2000ms));
  EXPECT_FALSE(client.connected());
}

TEST_F(TcpClientTest, ConnectToFullBacklogTimesOut) {
  // With backlog 0 and nobody accepting, the kernel queues one connection and
  // drops the SYNs of the next ones, so a further connect never completes.
  Listener full(0);
  std::vector<UniqueFd> fillers;
  for (int i = 0; i < 3; ++i) {
    UniqueFd f(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    a.sin_port = full.port;
    ::connect(f.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(std::move(f));
  }
  // A listener's TCP_INFO counts its queue (unacked) against its backlog
  // (sacked); past the backlog the queue is full.
  const auto queue_full = [&] {
    tcp_info info{};
    socklen_t length = sizeof info;
    return ::getsockopt(full.fd.get(), IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_unacked > info.tcpi_sacked;
  };
  ASSERT_TRUE(testing::Eventually(queue_full, 30s));
  EXPECT_EQ(STATUS_IO_TIMEOUT, client.Connect(kLoopback, full.port, 300ms));
}

// A dead path must be noticed even while no request is in flight: the
// kernel probes an idle connection and gives up on it after the time given.
TEST_F(TcpClientTest, ADeadPathTimeOutTurnsKeepAliveAndTheUserTimeOutOn) {
  ASSERT_EQ(STATUS_SUCCESS, client.Connect(kLoopback, listener.port, 2000ms, 30s));
  const int fd = client.DescriptorForTesting();
  int value = 0;
  socklen_t length = sizeof value;
  ASSERT_EQ(0, ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &length));
  EXPECT_EQ(1, value);
  ASSERT_EQ(0, ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &value, &length));
  EXPECT_EQ(10, value);
  ASSERT_EQ(0, ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &value, &length));
  EXPECT_EQ(5, value);
  unsigned int user_timeout = 0;
  length = sizeof user_timeout;
  ASSERT_EQ(0, ::getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, &length));
  EXPECT_EQ(30000u, user_timeout);

  // Without one, the kernel's defaults (no keep-alive).
  ASSERT_EQ(STATUS_SUCCESS, client.Connect(kLoopback, listener.port, 2000ms));
  length = sizeof value;
  ASSERT_EQ(0,
            ::getsockopt(client.DescriptorForTesting(), SOL_SOCKET, SO_KEEPALIVE, &value, &length));
  EXPECT_EQ(0, value);
}

TEST_F(TcpClientTest, SendsHeadAndTailInOrder) {
  ConnectAndAccept();
  std::vector<uint8_t> head = {1, 2, 3};
  std::vector<uint8_t> tail(200000);
  for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> got(head.size() + tail.size());
  std::thread reader([&] {
    size_t done = 0;
    while (done < got.size()) {
      ssize_t n = ::recv(server.get(), got.data() + done, got.size() - done, 0);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  });
  EXPECT_EQ(STATUS_SUCCESS, client.Send(head, tail, In(5000ms)));
  reader.join();
  EXPECT_TRUE(std::equal(head.begin(), head.end(), got.begin()));
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), got.begin() + 3));
}

TEST_F(TcpClientTest, ReceiveAssemblesBytesThatTrickleIn) {
  ConnectAndAccept();
  std::thread writer([&] {
    for (uint8_t i = 0; i < 12; ++i) {
      ::send(server.get(), &i, 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(2ms);  // paces the peer: the bytes come one by one
    }
  });
  uint8_t header[12] = {};
  EXPECT_EQ(STATUS_SUCCESS, client.Receive(header, In(5000ms)));
  writer.join();
  for (uint8_t i = 0; i < 12; ++i) EXPECT_EQ(i, header[i]);
}

// A reply's head and the start of its data come in one receive; a head
// without data does not wait for any; a head that trickles in is assembled
// before any byte goes to the tail.
TEST_F(TcpClientTest, ReceiveHeadTakesWhatCameAlongAndWaitsForTheHeadAlone) {
  ConnectAndAccept();
  std::vector<uint8_t> reply(12 + 4096);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i * 7 + 3);
  ASSERT_EQ(static_cast<ssize_t>(reply.size()),
            ::send(server.get(), reply.data(), reply.size(), MSG_NOSIGNAL));
  uint8_t head[12] = {};
  std::vector<uint8_t> tail(4096);
  HeadReceived received = client.ReceiveHead(head, tail, In(5000ms));
  ASSERT_EQ(STATUS_SUCCESS, received.status);
  size_t got = received.tail_got;
  EXPECT_TRUE(std::equal(head, head + 12, reply.begin()));
  ASSERT_GT(got, 0u);
  ASSERT_LE(got, tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + static_cast<long>(got), reply.begin() + 12));
  ASSERT_EQ(STATUS_SUCCESS, client.Receive({tail.data() + got, tail.size() - got}, In(5000ms)));
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), reply.begin() + 12));

  // A head alone: answered at once, not at the deadline, with nothing in the tail.
  ASSERT_EQ(12, ::send(server.get(), reply.data(), 12, MSG_NOSIGNAL));
  std::fill(tail.begin(), tail.end(), 0xEE);
  const auto start = TcpClient::Clock::now();
  received = client.ReceiveHead(head, tail, In(5000ms));
  ASSERT_EQ(STATUS_SUCCESS, received.status);
  got = received.tail_got;
  EXPECT_LT(TcpClient::Clock::now() - start, 2000ms);
  EXPECT_EQ(0u, got);
  EXPECT_EQ(std::vector<uint8_t>(4096, 0xEE), tail);

  std::thread writer([&] {
    for (size_t i = 0; i < 14; ++i) {
      ::send(server.get(), &reply[i], 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(2ms);  // the bytes come one by one
    }
  });
  received = client.ReceiveHead(head, tail, In(5000ms));
  ASSERT_EQ(STATUS_SUCCESS, received.status);
  got = received.tail_got;
  EXPECT_TRUE(std::equal(head, head + 12, reply.begin()));
  writer.join();
  EXPECT_LE(got, 2u);
  if (got > 0) {
    EXPECT_EQ(reply[12], tail[0]);
  }
}

TEST_F(TcpClientTest, ReceiveHeadTimesOutAndSeesTheEnd) {
  ConnectAndAccept();
  uint8_t head[12];
  uint8_t tail[16];
  const HeadReceived timed_out = client.ReceiveHead(head, tail, In(150ms));
  EXPECT_EQ(STATUS_IO_TIMEOUT, timed_out.status);
  EXPECT_EQ(0u, timed_out.tail_got);
  ASSERT_EQ(5, ::send(server.get(), "12345", 5, MSG_NOSIGNAL));
  server.Reset();
  EXPECT_EQ(STATUS_CONNECTION_DISCONNECTED, client.ReceiveHead(head, tail, In(1000ms)).status);
}

TEST_F(TcpClientTest, ReceiveTimesOutWhenNothingComes) {
  ConnectAndAccept();
  uint8_t byte;
  EXPECT_EQ(STATUS_IO_TIMEOUT, client.Receive({&byte, 1}, In(150ms)));
}

TEST_F(TcpClientTest, DeadlineCoversTheWholeReceiveNotEachPiece) {
  ConnectAndAccept();
  // A peer that sends one byte every 40 ms must not stretch a 150 ms wait: the
  // 20 bytes take 800 ms, so a deadline per piece would end in success.
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint8_t i = 0; i < 20 && !done; ++i) {
      if (::send(server.get(), &i, 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(40ms);
    }
  });
  uint8_t data[20];
  EXPECT_EQ(STATUS_IO_TIMEOUT, client.Receive(data, In(150ms)));
  done = true;
  writer.join();  // before the socket it writes to goes
}

TEST_F(TcpClientTest, SendTimesOutWhenThePeerDoesNotRead) {
  ConnectAndAccept();
  std::vector<uint8_t> big(64 << 20);
  EXPECT_EQ(STATUS_IO_TIMEOUT, client.Send(big, {}, In(200ms)));
}

TEST_F(TcpClientTest, HealthyIdleConnectionIsNotGone) {
  ConnectAndAccept();
  EXPECT_FALSE(client.PeerGone());
}

TEST_F(TcpClientTest, OrderlyCloseIsGoneAndEndsAReceive) {
  ConnectAndAccept();
  server.Reset();
  EXPECT_TRUE(PeerGoneWithin20s());
  uint8_t byte;
  EXPECT_EQ(STATUS_CONNECTION_DISCONNECTED, client.Receive({&byte, 1}, In(1000ms)));
}

TEST_F(TcpClientTest, ResetIsGoneAndFailsAReceiveAsReset) {
  ConnectAndAccept();
  ResetAndClose(server);
  EXPECT_TRUE(PeerGoneWithin20s());
  uint8_t byte;
  EXPECT_EQ(STATUS_CONNECTION_RESET, client.Receive({&byte, 1}, In(1000ms)));
}

TEST_F(TcpClientTest, UnaskedBytesMakeTheStreamUntrusted) {
  ConnectAndAccept();
  const uint8_t stray = 0x55;
  ASSERT_EQ(1, ::send(server.get(), &stray, 1, 0));
  EXPECT_TRUE(PeerGoneWithin20s());
}

TEST_F(TcpClientTest, DisconnectSendsAnOrderlyRelease) {
  ConnectAndAccept();
  EXPECT_EQ(STATUS_SUCCESS, client.Disconnect());
  EXPECT_FALSE(client.connected());
  uint8_t byte;
  EXPECT_EQ(0, ::recv(server.get(), &byte, 1, 0));  // FIN, not RST
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, client.Send({&byte, 1}, {}, In(100ms)));
}

}  // namespace
}  // namespace quensaria::platform
