#include "platform/tls_session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <future>
#include <new>
#include <thread>
#include <vector>

#include "platform/eventually_for_testing.h"
#include "platform/unique_fd.h"
#include "shared/block_protocol.h"
#include "shared/win32_error.h"

// The replacements below pair malloc with free, which GCC cannot tell once
// it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

// The next allocation of exactly this many bytes on this thread fails.
thread_local size_t fail_next_allocation_of = 0;

}  // namespace

void* operator new(size_t size) {
  if (size != 0 && size == fail_next_allocation_of) {
    fail_next_allocation_of = 0;
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }

namespace quensaria::platform {
namespace {

using namespace std::chrono_literals;
using Clock = TlsSession::Clock;

const std::vector<uint8_t> kLoginKey(20, 0x11);
const std::vector<uint8_t> kManageKey(20, 0x22);

struct Pair {
  Pair() {
    int fds[2];
    EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    client.Reset(fds[0]);
    server.Reset(fds[1]);
  }
  UniqueFd client, server;
};

std::optional<std::vector<uint8_t>> Keys(std::string_view identity) {
  if (identity == kTlsIdentityLogin) return kLoginKey;
  if (identity == kTlsIdentityManage) return kManageKey;
  return std::nullopt;
}

std::unique_ptr<TlsSession> MakeClient(int fd, const char* identity,
                                       const std::vector<uint8_t>& key) {
  auto made = TlsSession::Client(fd, identity, key, kTlsPriorities);
  EXPECT_TRUE(made.ok()) << made.status().ToString();
  return made.ok() ? std::move(made).value() : nullptr;
}

std::unique_ptr<TlsSession> MakeServer(int fd) {
  auto made = TlsSession::Server(fd, Keys, kTlsPriorities);
  EXPECT_TRUE(made.ok()) << made.status().ToString();
  return made.ok() ? std::move(made).value() : nullptr;
}

Clock::time_point Soon() { return Clock::now() + 10s; }

// Both handshakes, the server's in a thread; the client's result first.
std::pair<Status, Status> Handshakes(TlsSession& client, TlsSession& server) {
  auto served = std::async(std::launch::async, [&] { return server.Handshake(Soon()); });
  Status own = client.Handshake(Soon());
  return {own, served.get()};
}

TEST(TlsSessionTest, EachIdentityLogsOnWithItsKeyAndDataGoesBothWays) {
  for (const char* identity : {kTlsIdentityLogin, kTlsIdentityManage}) {
    SCOPED_TRACE(identity);
    Pair pair;
    auto client = MakeClient(pair.client.get(), identity, Keys(identity).value());
    auto server = MakeServer(pair.server.get());
    ASSERT_TRUE(client && server);
    auto [own, served] = Handshakes(*client, *server);
    ASSERT_TRUE(own.ok()) << own.ToString();
    ASSERT_TRUE(served.ok()) << served.ToString();
    EXPECT_EQ(identity, server->identity());
    EXPECT_FALSE(client->PeerGone());

    // A header and a payload larger than one record, and a reply.
    std::vector<uint8_t> head(32), body(100000);
    for (size_t i = 0; i < head.size(); ++i) head[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 + 3);
    auto sent = std::async(std::launch::async, [&] { return client->Send(head, body, Soon()); });
    std::vector<uint8_t> got(head.size() + body.size());
    ASSERT_TRUE(server->Receive(got, Soon()).ok());
    ASSERT_TRUE(sent.get().ok());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), got.begin()));
    EXPECT_TRUE(std::equal(body.begin(), body.end(), got.begin() + head.size()));

    const std::array<uint8_t, 5> reply = {9, 8, 7, 6, 5};
    ASSERT_TRUE(server->Send(reply, {}, Soon()).ok());
    std::array<uint8_t, 5> back{};
    ASSERT_TRUE(client->Receive(back, Soon()).ok());
    EXPECT_EQ(reply, back);
    // Nothing more was sent: the client's stream is still clean.
    EXPECT_FALSE(client->PeerGone());

    // Data nobody asked for, and then the close, each count as gone.
    ASSERT_TRUE(server->Send(reply, {}, Soon()).ok());
    EXPECT_TRUE(testing::Eventually([&] { return client->PeerGone(); }, 20s));
  }
}

TEST(TlsSessionTest, TheKeyOfTheOtherIdentityOrAnUnknownIdentityFailsTheHandshake) {
  struct Case {
    const char* identity;
    std::vector<uint8_t> key;
  };
  for (const Case& c : {Case{kTlsIdentityLogin, kManageKey}, Case{kTlsIdentityManage, kLoginKey},
                        Case{"nobody", kLoginKey}}) {
    SCOPED_TRACE(c.identity);
    Pair pair;
    auto client = MakeClient(pair.client.get(), c.identity, c.key);
    auto server = MakeServer(pair.server.get());
    ASSERT_TRUE(client && server);
    auto [own, served] = Handshakes(*client, *server);
    EXPECT_FALSE(own.ok());
    EXPECT_FALSE(served.ok());
    // Told by the server's alert, not by the deadline running out.
    EXPECT_EQ(ERROR_INVALID_PASSWORD, own.code()) << own.ToString();
    // A failed session refuses further use.
    std::array<uint8_t, 1> byte{};
    EXPECT_FALSE(client->Send(byte, {}, Soon()).ok());
    EXPECT_TRUE(client->PeerGone());
  }
}

TEST(TlsSessionTest, APeerThatIsNotTlsGivesAClearErrorAtOnce) {
  // It answers with the bare handshake_failure alert and closes.
  {
    Pair pair;
    auto client = MakeClient(pair.client.get(), kTlsIdentityLogin, kLoginKey);
    ASSERT_TRUE(client);
    std::thread plain([&] {
      uint8_t first[64];
      EXPECT_GT(::read(pair.server.get(), first, sizeof first), 0);
      EXPECT_EQ(kTlsHandshakeByte, first[0]);
      EXPECT_EQ(
          static_cast<ssize_t>(kPlainExportTlsAlert.size()),
          ::write(pair.server.get(), kPlainExportTlsAlert.data(), kPlainExportTlsAlert.size()));
      ::shutdown(pair.server.get(), SHUT_WR);
    });
    const Status status = client->Handshake(Soon());
    plain.join();
    EXPECT_EQ(ERROR_NOT_SUPPORTED, status.code()) << status.ToString();
  }
  // It closes without a word.
  {
    Pair pair;
    auto client = MakeClient(pair.client.get(), kTlsIdentityLogin, kLoginKey);
    ASSERT_TRUE(client);
    pair.server.Reset();
    const Status status = client->Handshake(Soon());
    EXPECT_EQ(ERROR_NETNAME_DELETED, status.code()) << status.ToString();
  }
}

TEST(TlsSessionTest, ASilentPeerEndsTheHandshakeAndReceivesAtTheirDeadlines) {
  Pair pair;
  auto client = MakeClient(pair.client.get(), kTlsIdentityLogin, kLoginKey);
  ASSERT_TRUE(client);
  Status status = client->Handshake(Clock::now() + 200ms);
  EXPECT_EQ(ERROR_SEM_TIMEOUT, status.code()) << status.ToString();

  // After a good handshake, a reply that never comes.
  Pair second;
  auto c = MakeClient(second.client.get(), kTlsIdentityLogin, kLoginKey);
  auto s = MakeServer(second.server.get());
  ASSERT_TRUE(c && s);
  auto [own, served] = Handshakes(*c, *s);
  ASSERT_TRUE(own.ok() && served.ok());
  std::array<uint8_t, 4> data{};
  status = c->Receive(data, Clock::now() + 200ms);
  EXPECT_EQ(ERROR_SEM_TIMEOUT, status.code()) << status.ToString();
}

// GnuTLS is C: a receive that finds no memory for the session's read-ahead
// fails the handshake with a status instead of throwing through it.
TEST(TlsSessionTest, NoMemoryForTheReadAheadFailsTheHandshakeWithAStatus) {
  Pair pair;
  auto client = MakeClient(pair.client.get(), kTlsIdentityLogin, kLoginKey);
  auto server = MakeServer(pair.server.get());
  ASSERT_TRUE(client && server);
  auto served = std::async(std::launch::async, [&] { return server->Handshake(Soon()); });
  // The read-ahead (80 KiB), made at the session's first receive.
  fail_next_allocation_of = 80 * 1024;
  Status own = Status::Ok();
  EXPECT_NO_THROW(own = client->Handshake(Soon()));
  const bool injected = fail_next_allocation_of == 0;
  fail_next_allocation_of = 0;
  EXPECT_TRUE(injected) << "no allocation of the read-ahead's size";
  EXPECT_FALSE(own.ok());
  std::array<uint8_t, 1> byte{};
  EXPECT_FALSE(client->Send(byte, {}, Soon()).ok());
  ::shutdown(pair.client.get(), SHUT_RDWR);  // the server's handshake ends too
  EXPECT_FALSE(served.get().ok());
}

TEST(TlsSessionTest, AnOrderlyCloseIsSeenByThePeer) {
  Pair pair;
  auto client = MakeClient(pair.client.get(), kTlsIdentityLogin, kLoginKey);
  auto server = MakeServer(pair.server.get());
  ASSERT_TRUE(client && server);
  auto [own, served] = Handshakes(*client, *server);
  ASSERT_TRUE(own.ok() && served.ok());
  ASSERT_TRUE(client->Bye(Soon()).ok());
  std::array<uint8_t, 4> data{};
  const Status status = server->Receive(data, Soon());
  EXPECT_EQ(ERROR_NETNAME_DELETED, status.code()) << status.ToString();
}

}  // namespace
}  // namespace quensaria::platform
