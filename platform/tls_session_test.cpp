#include "platform/tls_session.h"

#include <gnutls/gnutls.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventually_for_testing.h"
#include "platform/tls_records.h"
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

// Each path of the cipher library's code another processor would take,
// where this one can run it, and GnuTLS's own records for where none is.
class TlsSessionCodeTest : public ::testing::TestWithParam<TlsRecords::Code> {
 protected:
  void SetUp() override {
    if (!TlsRecords::UseCodeForTesting(GetParam())) GTEST_SKIP() << "not on this processor";
  }
  void TearDown() override { EXPECT_TRUE(TlsRecords::UseCodeForTesting(TlsRecords::Code::kAuto)); }
};

std::string CodeName(const ::testing::TestParamInfo<TlsRecords::Code>& info) {
  using Code = TlsRecords::Code;
  switch (info.param) {
    case Code::kAuto:
      return "Auto";
    case Code::kSse:
      return "Sse";
    case Code::kAvx:
      return "Avx";
    case Code::kAvx2:
      return "Avx2";
    case Code::kAvx512:
      return "Avx512";
    case Code::kNone:
      return "GnuTls";
  }
  return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Paths, TlsSessionCodeTest,
                         ::testing::Values(TlsRecords::Code::kAuto, TlsRecords::Code::kSse,
                                           TlsRecords::Code::kAvx, TlsRecords::Code::kAvx2,
                                           TlsRecords::Code::kAvx512, TlsRecords::Code::kNone),
                         CodeName);

TEST_P(TlsSessionCodeTest, EachIdentityLogsOnWithItsKeyAndDataGoesBothWays) {
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

TEST_P(TlsSessionCodeTest, AnOrderlyCloseIsSeenByThePeer) {
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

// A server whose records GnuTLS's own functions make and read, as a peer
// of another build or library would.
class GnuTlsServer {
 public:
  explicit GnuTlsServer(int fd) {
    EXPECT_EQ(0, gnutls_psk_allocate_server_credentials(&keys_));
    gnutls_psk_set_server_credentials_function(
        keys_, [](gnutls_session_t, const char*, gnutls_datum_t* key) {
          key->data = static_cast<unsigned char*>(gnutls_malloc(kLoginKey.size()));
          if (key->data == nullptr) return -1;
          std::memcpy(key->data, kLoginKey.data(), kLoginKey.size());
          key->size = static_cast<unsigned>(kLoginKey.size());
          return 0;
        });
    EXPECT_EQ(0, gnutls_init(&session_, GNUTLS_SERVER));
    // The cipher the service picks.
    const std::string priorities = std::string(kTlsPriorities) + ":-CIPHER-ALL:+AES-128-GCM";
    EXPECT_EQ(0, gnutls_priority_set_direct(session_, priorities.c_str(), nullptr));
    EXPECT_EQ(0, gnutls_credentials_set(session_, GNUTLS_CRD_PSK, keys_));
    gnutls_transport_set_int(session_, fd);
    const timeval wait{10, 0};
    EXPECT_EQ(0, ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait));
  }
  ~GnuTlsServer() {
    gnutls_deinit(session_);
    gnutls_psk_free_server_credentials(keys_);
  }
  int Handshake() {
    int rc;
    do rc = gnutls_handshake(session_);
    while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    return rc;
  }
  // The next `size` bytes of data, or what GnuTLS said instead.
  std::vector<uint8_t> Receive(size_t size, int* rc) {
    std::vector<uint8_t> data(size);
    size_t got = 0;
    *rc = 0;
    while (got < size) {
      const ssize_t n = gnutls_record_recv(session_, data.data() + got, size - got);
      if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
      if (n <= 0) {
        *rc = static_cast<int>(n);
        data.resize(got);
        return data;
      }
      got += static_cast<size_t>(n);
    }
    return data;
  }
  // Sends all of `data`: its size, or what GnuTLS said instead.
  ssize_t Send(std::span<const uint8_t> data) {
    size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n = gnutls_record_send(session_, data.data() + sent, data.size() - sent);
      if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
      if (n < 0) return n;
      sent += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(sent);
  }
  gnutls_session_t session() { return session_; }

 private:
  gnutls_psk_server_credentials_t keys_ = nullptr;
  gnutls_session_t session_ = nullptr;
};

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13 + i / 509);
  return bytes;
}

// A client session logged on to `server` over `pair`; null when the
// handshake failed on either side.
std::unique_ptr<TlsSession> LoggedOnTo(GnuTlsServer& server, Pair& pair) {
  auto client = MakeClient(pair.client.get(), kTlsIdentityLogin, kLoginKey);
  if (!client) return nullptr;
  auto served = std::async(std::launch::async, [&] { return server.Handshake(); });
  const Status own = client->Handshake(Soon());
  const int rc = served.get();
  EXPECT_TRUE(own.ok()) << own.ToString();
  EXPECT_EQ(0, rc) << gnutls_strerror(rc);
  return own.ok() && rc == 0 ? std::move(client) : nullptr;
}

// The session seals and opens its records itself; a peer whose records
// GnuTLS makes must not see a difference, key updates included.
TEST_P(TlsSessionCodeTest, APeerWhoseRecordsGnuTlsMakesTakesAllAndItsKeyUpdatesAreFollowed) {
  Pair pair;
  GnuTlsServer server(pair.server.get());
  auto client = LoggedOnTo(server, pair);
  ASSERT_TRUE(client);
  // A new sealing key every three records: each message below spans more.
  // GnuTLS's own records change keys only at its own count.
  ASSERT_EQ(GetParam() != TlsRecords::Code::kNone, client->set_key_update_after_for_testing(3));
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    const std::vector<uint8_t> head = Pattern(24, static_cast<uint8_t>(round));
    const std::vector<uint8_t> body = Pattern(70000, static_cast<uint8_t>(round + 50));
    ASSERT_TRUE(client->Send(head, body, Soon()).ok());
    int rc = 0;
    std::vector<uint8_t> got = server.Receive(head.size() + body.size(), &rc);
    ASSERT_EQ(0, rc) << gnutls_strerror(rc);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), got.begin()));
    EXPECT_TRUE(std::equal(body.begin(), body.end(), got.begin() + head.size()));

    // The peer changes its key and asks for a change of the client's, in
    // the middle of a reply and between two: the client takes both.
    const std::vector<uint8_t> reply = Pattern(40000, static_cast<uint8_t>(round + 100));
    ASSERT_EQ(0, gnutls_session_key_update(server.session(), GNUTLS_KU_PEER));
    ASSERT_EQ(20000, server.Send(std::span(reply).first(20000)));
    if (round % 2 == 1) {
      ASSERT_EQ(0, gnutls_session_key_update(server.session(), 0));
    }
    ASSERT_EQ(20000, server.Send(std::span(reply).subspan(20000)));
    if (round == 3) {
      ASSERT_EQ(0, gnutls_session_key_update(server.session(), GNUTLS_KU_PEER));
    }
    std::vector<uint8_t> back(reply.size());
    const Status status = client->Receive(back, Soon());
    ASSERT_TRUE(status.ok()) << status.ToString();
    EXPECT_EQ(reply, back);
  }
  // The last key update came alone: the client takes it in passing.
  EXPECT_FALSE(client->PeerGone());
  ASSERT_TRUE(client->Send(Pattern(10, 1), {}, Soon()).ok());
  int rc = 0;
  EXPECT_EQ(Pattern(10, 1), server.Receive(10, &rc));
  EXPECT_EQ(0, rc) << gnutls_strerror(rc);

  ASSERT_TRUE(client->Bye(Soon()).ok());
  EXPECT_TRUE(server.Receive(1, &rc).empty());
  EXPECT_EQ(0, rc) << "the close was not the orderly one: " << gnutls_strerror(rc);
}

TEST_P(TlsSessionCodeTest, ARecordChangedOnTheWayFailsTheReceive) {
  Pair pair;
  GnuTlsServer server(pair.server.get());
  auto client = LoggedOnTo(server, pair);
  ASSERT_TRUE(client);
  // A record of the right form whose content is not what was sealed.
  std::vector<uint8_t> forged = {23, 3, 3, 0, 40};
  forged.resize(45, 0x5A);
  ASSERT_EQ(45, ::send(pair.server.get(), forged.data(), forged.size(), 0));
  std::array<uint8_t, 10> data{};
  const Status status = client->Receive(data, Soon());
  EXPECT_EQ(ERROR_INVALID_PASSWORD, status.code()) << status.ToString();
  EXPECT_TRUE(client->PeerGone());
}

}  // namespace
}  // namespace quensaria::platform
