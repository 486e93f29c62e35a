#include "platform/tcp_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace quensaria::platform {
namespace {

TEST(TcpTableTest, ParsesTheKernelsLines) {
  TcpSocketLine line;
  ASSERT_TRUE(ParseTcpSocketLine(
      "   0: 0100007F:EA60 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        "
      "0 4242 1 0000000000000000 100 0 0 10 0",
      false, &line));
  EXPECT_EQ(line.local_address, htonl(0x7F000001));
  EXPECT_EQ(line.local_port, 60000);
  EXPECT_EQ(line.state, 10);
  EXPECT_EQ(line.uid, 0u);
  EXPECT_EQ(line.inode, 4242u);
  EXPECT_FALSE(line.local_any);
  // Established to 127.0.0.5:60001, owned by uid 1000.
  ASSERT_TRUE(ParseTcpSocketLine(
      "   1: 0100007F:C350 0500007F:EA61 01 00000000:00000000 00:00000000 00000000  1000        "
      "0 77 1 0000000000000000 20 4 30 10 -1",
      false, &line));
  EXPECT_EQ(line.state, 1);
  EXPECT_EQ(line.remote_address, htonl(0x7F000005));
  EXPECT_EQ(line.remote_port, 60001);
  EXPECT_EQ(line.uid, 1000u);
  // IPv6 any, and an IPv4-mapped address.
  ASSERT_TRUE(ParseTcpSocketLine(
      "   0: 00000000000000000000000000000000:0016 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000     0        0 99 1 0000000000000000 100 0 0 10 0",
      true, &line));
  EXPECT_TRUE(line.local_any);
  EXPECT_EQ(line.local_port, 22);
  ASSERT_TRUE(ParseTcpSocketLine(
      "   0: 0000000000000000FFFF00000100007F:0016 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000     0        0 98 1 0000000000000000 100 0 0 10 0",
      true, &line));
  EXPECT_FALSE(line.local_any);
  EXPECT_EQ(line.local_address, htonl(0x7F000001));
  // The heading and broken lines are no sockets.
  EXPECT_FALSE(ParseTcpSocketLine(
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
      "timeout inode",
      false, &line));
  EXPECT_FALSE(ParseTcpSocketLine("   0: 0100007F:EA6 00000000:0000 0A", false, &line));
}

// A socket of this test, listening and then connected to: found with this
// process as its holder, and the connection seen as established.
TEST(TcpTableTest, FindsThisProcessListeningAndConnected) {
  UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(server.valid());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(0x7F00002A);  // 127.0.0.42
  ASSERT_EQ(::bind(server.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(server.get(), 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(server.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  const uint16_t port = ntohs(address.sin_port);

  const std::vector<TcpListener> listeners = TcpListenersOn(port);
  ASSERT_EQ(listeners.size(), 1u);
  EXPECT_EQ(listeners[0].address, htonl(0x7F00002A));
  EXPECT_EQ(listeners[0].pid, ::getpid());
  EXPECT_EQ(listeners[0].uid, ::getuid());
  EXPECT_FALSE(listeners[0].program.empty());
  EXPECT_FALSE(TcpConnectionEstablished(htonl(0x7F00002A), port));

  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_TRUE(TcpConnectionEstablished(htonl(0x7F00002A), port));
  EXPECT_FALSE(TcpConnectionEstablished(htonl(0x7F00002B), port));
  client.Reset();
  server.Reset();
  EXPECT_TRUE(TcpListenersOn(port).empty());
}

}  // namespace
}  // namespace quensaria::platform
