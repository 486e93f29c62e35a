// TLS exports on the real engine over loopback sockets: the handshake as
// the log-on, its levels, the wrong kinds of client, data through the
// session, many sessions on the workers, and what a listener on the wire
// sees.
#include <dirent.h>
#include <gnutls/gnutls.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/console_capture_for_testing.h"
#include "platform/eventually_for_testing.h"
#include "platform/socket.h"
#include "platform/tls_records.h"
#include "platform/unique_fd.h"
#include "service/engine/engine_harness_for_testing.h"
#include "service/engine/tls_link.h"
#include "shared/password_digest.h"
#include "shared/scramble.h"
#include "shared/win32_error.h"
#include "tests/block_client_for_testing.h"
#include "tests/pattern_image_for_testing.h"

// Every allocation through operator new in this process (the engine's
// workers and the client alike) is counted; GnuTLS's own, through malloc,
// are not. The replacements pair malloc with free, which GCC cannot tell
// once it inlines them.
// The sanitizers bring operator new of their own and check that each block
// goes back the way it came, so under them nothing is replaced and the
// count is not kept.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUENSARIA_COUNTS_ALLOCATIONS 0
#else
#define QUENSARIA_COUNTS_ALLOCATIONS 1
#endif
namespace {
std::atomic<uint64_t> allocations{0};
// The next allocation of exactly this many bytes on a thread other than
// `failing_spared` (the test's, which plays the client) fails.
std::atomic<size_t> failing_size{0};
std::thread::id failing_spared;
}  // namespace
#if QUENSARIA_COUNTS_ALLOCATIONS
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (size_t armed = size; size != 0 && failing_size.load(std::memory_order_relaxed) == size &&
                           std::this_thread::get_id() != failing_spared &&
                           failing_size.compare_exchange_strong(armed, 0)) {
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
#endif

namespace quensaria::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, kDigestSize>;

constexpr uint64_t kMiB = 1 << 20;
constexpr auto kLiveness = std::chrono::seconds(30);
constexpr int kLivenessMs = 30000;

Key DigestOf(const std::string& password) {
  Key key{};
  std::memcpy(key.data(), PasswordDigest(password).data(), kDigestSize);
  return key;
}

// Bytes no pattern of the image or of another test repeats.
Bytes RandomBytes(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(length);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

int ThreadCount() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

class TlsEngineTest : public ::testing::Test {
 protected:
  void Start(int32_t auth_mode, const engine::EngineOptions& options = {},
             const Key* manage = nullptr) {
    ServerConfig config = TestConfig(image_.path());
    config.AuthMode = auth_mode;
    if (manage != nullptr) std::memcpy(config.ManagePassword, manage->data(), kDigestSize);
    harness_ = std::make_unique<EngineHarness>(config, nullptr, options);
    harness_->registry().default_access = ACCESS_VIRTUAL_WRITE;
    ASSERT_TRUE(harness_->Start());
  }
  uint16_t port() const { return harness_->port(); }

  PatternImage image_{8 * kMiB};
  std::unique_ptr<EngineHarness> harness_;
};

// --- The handshake is the log-on ---

TEST_F(TlsEngineTest, LoginIdentityGivesTheAdmittedLevelAndManageGivesFull) {
  Start(AUTH_MODE_TLS);
  BlockClient login;
  ASSERT_EQ(login.ConnectTls(port(), kTlsIdentityLogin, DigestOf("login")), 0)
      << login.handshake_status().ToString();
  QueryData query;
  ASSERT_EQ(login.Query(query).error, 0);
  EXPECT_EQ(query.access, ACCESS_VIRTUAL_WRITE);
  EXPECT_EQ(query.disk_size, 8 * kMiB);
  // Logged on without CMD_LOGIN: the disk reads.
  Bytes data;
  Exchange x = login.Read(kMiB, 4096, data);
  ASSERT_EQ(x.error, 0);
  EXPECT_EQ(x.reply.status, REPLY_OK);
  EXPECT_EQ(data, image_.ReadBack(kMiB, 4096));

  BlockClient manage;
  ASSERT_EQ(manage.ConnectTls(port(), kTlsIdentityManage, DigestOf("manage")), 0);
  ASSERT_EQ(manage.Query(query).error, 0);
  EXPECT_EQ(query.access, ACCESS_FULL);
  const Bytes written = RandomBytes(4096, 1);
  x = manage.Write(2 * kMiB, written.data(), 4096);
  ASSERT_EQ(x.error, 0);
  EXPECT_EQ(x.reply.status, REPLY_OK);
  EXPECT_EQ(image_.ReadBack(2 * kMiB, 4096), written);

  // The registry heard of both log-ons, each at its level.
  ASSERT_TRUE(Eventually([&] { return harness_->registry().logged_on().size() == 2; }, kLiveness));
  const auto logged = harness_->registry().logged_on();
  EXPECT_EQ(logged[0].second, ACCESS_VIRTUAL_WRITE);
  EXPECT_EQ(logged[1].second, ACCESS_FULL);
}

TEST_F(TlsEngineTest, LoginInsideASessionChangesNothing) {
  Start(AUTH_MODE_TLS);
  BlockClient client;
  ASSERT_EQ(client.ConnectTls(port(), kTlsIdentityLogin, DigestOf("login")), 0);
  // Neither the management password nor a wrong one moves the level.
  for (const char* password : {"manage", "wrong"}) {
    Exchange x = client.Login(password);
    ASSERT_EQ(x.error, 0);
    EXPECT_EQ(x.reply.status, REPLY_OK);
    QueryData query;
    ASSERT_EQ(client.Query(query).error, 0);
    EXPECT_EQ(query.access, ACCESS_VIRTUAL_WRITE) << password;
  }
  Bytes data;
  EXPECT_EQ(client.Read(kMiB, 512, data).reply.status, REPLY_OK);
}

TEST_F(TlsEngineTest, WrongKeysAndUnknownOrUnsetIdentitiesFailTheHandshake) {
  const Key zero{};
  Start(AUTH_MODE_TLS, {}, &zero);  // no management password
  struct Case {
    const char* identity;
    Key key;
  } cases[] = {
      {kTlsIdentityLogin, DigestOf("wrong")},
      {kTlsIdentityLogin, DigestOf("manage")},
      {kTlsIdentityManage, zero},  // the unset password is no key
      {kTlsIdentityManage, DigestOf("manage")},
      {"admin", DigestOf("login")},
  };
  for (const Case& c : cases) {
    BlockClient client;
    EXPECT_EQ(client.ConnectTls(port(), c.identity, c.key), EACCES) << c.identity;
    // And the connection is closed, not left open.
    pollfd p{client.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, kLivenessMs), 1) << c.identity;
    uint8_t byte;
    EXPECT_LE(::recv(client.fd(), &byte, 1, 0), 0) << c.identity;
  }
  EXPECT_TRUE(harness_->registry().logged_on().empty());
  // The right key still opens.
  BlockClient client;
  EXPECT_EQ(client.ConnectTls(port(), kTlsIdentityLogin, DigestOf("login")), 0);
}

TEST_F(TlsEngineTest, ARefusedAddressStaysRefused) {
  Start(AUTH_MODE_TLS);
  harness_->registry().Admit(platform::Ipv4(127, 0, 0, 5), ACCESS_REFUSED);
  BlockClient client;
  EXPECT_NE(client.ConnectTls(port(), kTlsIdentityManage, DigestOf("manage"),
                              platform::Ipv4(127, 0, 0, 5)),
            0);
  EXPECT_TRUE(harness_->registry().logged_on().empty());
}

// --- The wrong kind of client ---

TEST_F(TlsEngineTest, APlainClientAtATlsExportIsToldTlsIsRequired) {
  Start(AUTH_MODE_TLS);
  for (int i = 0; i < 2; ++i) {
    BlockClient plain;
    ASSERT_EQ(plain.Connect(port()), 0);
    Exchange x;
    if (i == 0) {
      x = plain.Login("login");
    } else {
      QueryData query;
      x = plain.Query(query);
    }
    ASSERT_EQ(x.error, 0);
    EXPECT_EQ(x.reply.status, REPLY_TLS_REQUIRED);
    EXPECT_EQ(x.reply.data_length, 0u);
    EXPECT_EQ(plain.ExpectClosedWithoutBytes(kLivenessMs), 0);
  }
  EXPECT_TRUE(harness_->registry().logged_on().empty());
}

TEST_F(TlsEngineTest, ATlsClientAtAPlainExportGetsTheAlert) {
  Start(AUTH_MODE_PLAIN);
  BlockClient client;
  EXPECT_EQ(client.ConnectTls(port(), kTlsIdentityLogin, DigestOf("login")), EACCES);
  // Said as the driver hears it: the export refused TLS outright.
  EXPECT_EQ(client.handshake_status().code(), ERROR_NOT_SUPPORTED)
      << client.handshake_status().ToString();
  // The plain export still serves plain clients.
  BlockClient plain;
  ASSERT_EQ(plain.Connect(port()), 0);
  EXPECT_EQ(plain.Login("login").reply.status, REPLY_OK);
}

// --- Data through the session ---

// A record that fails its authentication (forged, or changed on the way)
// ends the session, and the console line names GnuTLS's receive rather than
// the socket's, at warning priority: it is no ordinary client leaving.
TEST_F(TlsEngineTest, AForgedRecordEndsTheSessionNamingTheTlsReceive) {
  Start(AUTH_MODE_TLS);
  ConsoleCapture console;
  BlockClient client;
  ASSERT_EQ(client.ConnectTls(port(), kTlsIdentityLogin, DigestOf("login")), 0);
  Bytes read;
  ASSERT_EQ(client.Read(0, 4096, read).reply.status, REPLY_OK);
  // An application-data record of the right shape whose tag cannot match.
  Bytes forged = {0x17, 0x03, 0x03, 0x00, 0x40};
  const Bytes body = RandomBytes(0x40, 99);
  forged.insert(forged.end(), body.begin(), body.end());
  ASSERT_TRUE(platform::SendAll(client.fd(), forged.data(), forged.size()).ok());
  ASSERT_TRUE(
      Eventually([&] { return harness_->engine().LiveConnectionsForTesting() == 0; }, kLiveness));
  harness_->StopAndWait();
  console.Stop();
  const std::vector<ConsoleCapture::Line> lines = console.lines();
  const auto line = std::find_if(lines.begin(), lines.end(), [](const auto& entry) {
    return entry.second.starts_with("gnutls_record_recv() failed: ");
  });
  ASSERT_NE(line, lines.end()) << (lines.empty() ? "no line" : lines.front().second);
  EXPECT_EQ(line->first, platform::ConsolePriority::kWarning);
  EXPECT_EQ(line->second, "gnutls_record_recv() failed: 71 Protocol error\n");
}

// The cipher library's code where this processor runs it, and GnuTLS's
// own records for where no code of it runs.
class TlsEngineCodeTest : public TlsEngineTest,
                          public ::testing::WithParamInterface<platform::TlsRecords::Code> {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::TlsRecords::UseCodeForTesting(GetParam())); }
  void TearDown() override {
    EXPECT_TRUE(platform::TlsRecords::UseCodeForTesting(platform::TlsRecords::Code::kAuto));
  }
};

INSTANTIATE_TEST_SUITE_P(
    Paths, TlsEngineCodeTest,
    ::testing::Values(platform::TlsRecords::Code::kAuto, platform::TlsRecords::Code::kNone),
    [](const ::testing::TestParamInfo<platform::TlsRecords::Code>& param) {
      return std::string(param.param == platform::TlsRecords::Code::kNone ? "GnuTls" : "Auto");
    });

TEST_P(TlsEngineCodeTest, ReadsAndWritesOfEverySizeRoundTrip) {
  Start(AUTH_MODE_TLS);
  BlockClient client;
  ASSERT_EQ(client.ConnectTls(port(), kTlsIdentityManage, DigestOf("manage")), 0);
  uint64_t offset = kMiB;
  uint32_t seed = 10;
  // Around the 16 KiB record, and the largest transfer.
  for (const uint32_t length : {1u, 511u, 512u, 4096u, 16383u, 16384u, 16385u, 65535u, 65536u}) {
    const Bytes written = RandomBytes(length, seed++);
    Exchange x = client.Write(offset, written.data(), length);
    ASSERT_EQ(x.error, 0) << length;
    ASSERT_EQ(x.reply.status, REPLY_OK) << length;
    Bytes read;
    x = client.Read(offset, length, read);
    ASSERT_EQ(x.error, 0) << length;
    ASSERT_EQ(x.reply.status, REPLY_OK) << length;
    EXPECT_EQ(read, written) << length;
    EXPECT_EQ(image_.ReadBack(offset, length), written) << length;
    offset += 65536;
  }
  Exchange x = client.Flush();
  EXPECT_EQ(x.error, 0);
  EXPECT_EQ(x.reply.status, REPLY_OK);
}

// A reply leaves two records at a time, a short last record with the two
// before it: replies of the sizes around those cuts, sent for back to back
// and left to pile up unread, all arrive whole and in order, and the
// session stays in step for the next request.
TEST_P(TlsEngineCodeTest, RepliesCutIntoSendsArriveWholeAndInOrder) {
  Start(AUTH_MODE_TLS);
  BlockClient client;
  ASSERT_EQ(client.ConnectTls(port(), kTlsIdentityManage, DigestOf("manage")), 0);
  constexpr int kRequests = 64;
  // The largest reads, and reads whose last send is short or a full record.
  const auto length_of = [](int i) -> uint32_t {
    constexpr uint32_t kLengths[] = {65536, 65536 - 12, 16384 * 3 + 100, 40000};
    return kLengths[i % 4];
  };
  const auto offset_of = [](int i) { return kMiB + static_cast<uint64_t>(i % 96) * 65536; };
  for (int i = 0; i < kRequests; ++i) {
    uint8_t header[kRequestHeaderSize];
    EncodeRequestHeader({CMD_READ, offset_of(i), length_of(i)}, header);
    ASSERT_EQ(client.SendBytes(header, sizeof header), 0) << i;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < kRequests; ++i) {
    Bytes data;
    const Exchange x = client.ReceiveReply(&data);
    ASSERT_EQ(x.error, 0) << i;
    ASSERT_EQ(x.reply.status, REPLY_OK) << i;
    ASSERT_EQ(data.size(), length_of(i)) << i;
    Descramble(data.data(), data.size());
    EXPECT_EQ(data, image_.ReadBack(offset_of(i), length_of(i))) << i;
  }
  const Bytes written = RandomBytes(65536, 77);
  ASSERT_EQ(client.Write(kMiB, written.data(), 65536).reply.status, REPLY_OK);
  Bytes read;
  ASSERT_EQ(client.Read(kMiB, 65536, read).reply.status, REPLY_OK);
  EXPECT_EQ(read, written);
}

// A client whose records GnuTLS's own functions make and read, as a client
// of another build or library would, with the key updates TLS allows: the
// engine follows the client's, answers one it is asked for, and changes its
// own sealing key as it wears out, and every reply still opens.
TEST_P(TlsEngineCodeTest, KeyUpdatesEitherWayKeepTheSessionInStep) {
  engine::TlsLink::SetKeyUpdateAfterForTesting(5);
  Start(AUTH_MODE_TLS);
  engine::TlsLink::SetKeyUpdateAfterForTesting(0);
  BlockClient client;
  ASSERT_EQ(client.Connect(port()), 0);
  gnutls_psk_client_credentials_t keys = nullptr;
  ASSERT_EQ(gnutls_psk_allocate_client_credentials(&keys), 0);
  const std::unique_ptr<std::remove_pointer_t<gnutls_psk_client_credentials_t>,
                        decltype(&gnutls_psk_free_client_credentials)>
      keys_freed(keys, gnutls_psk_free_client_credentials);
  Key key = DigestOf("manage");
  gnutls_datum_t datum{key.data(), kDigestSize};
  ASSERT_EQ(gnutls_psk_set_client_credentials(keys, kTlsIdentityManage, &datum, GNUTLS_PSK_KEY_RAW),
            0);
  gnutls_session_t session = nullptr;
  ASSERT_EQ(gnutls_init(&session, GNUTLS_CLIENT), 0);
  const std::unique_ptr<std::remove_pointer_t<gnutls_session_t>, decltype(&gnutls_deinit)>
      session_freed(session, gnutls_deinit);
  ASSERT_EQ(gnutls_priority_set_direct(session, kTlsPriorities, nullptr), 0);
  ASSERT_EQ(gnutls_credentials_set(session, GNUTLS_CRD_PSK, keys), 0);
  gnutls_transport_set_int(session, client.fd());
  int rc;
  do rc = gnutls_handshake(session);
  while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
  ASSERT_EQ(rc, 0) << gnutls_strerror(rc);
  ASSERT_EQ(gnutls_cipher_get(session), GNUTLS_CIPHER_AES_128_GCM);
  const auto exchange = [&](uint64_t offset, uint32_t length) {
    uint8_t header[kRequestHeaderSize];
    EncodeRequestHeader({CMD_READ, offset, length}, header);
    ASSERT_EQ(gnutls_record_send(session, header, sizeof header),
              static_cast<ssize_t>(sizeof header));
    Bytes reply(kReplyHeaderSize + length);
    size_t got = 0;
    while (got < reply.size()) {
      const ssize_t n = gnutls_record_recv(session, reply.data() + got, reply.size() - got);
      if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
      ASSERT_GT(n, 0) << gnutls_strerror(static_cast<int>(n));
      got += static_cast<size_t>(n);
    }
    ASSERT_EQ(ParseReplyHeader(reply.data()).status, REPLY_OK);
    Bytes data(reply.begin() + kReplyHeaderSize, reply.end());
    Descramble(data.data(), data.size());
    EXPECT_EQ(data, image_.ReadBack(offset, length)) << offset;
  };
  // Each 64 KiB reply takes five records: the engine's key wears out in
  // every one.
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    const unsigned ask = i % 3 == 1 ? GNUTLS_KU_PEER : 0;
    if (i % 3 != 0) {
      ASSERT_EQ(gnutls_session_key_update(session, ask), 0);
    }
    exchange(kMiB + static_cast<uint64_t>(i) * 65536, i % 2 == 0 ? 65536 : 700);
  }
  EXPECT_EQ(harness_->engine().LiveConnectionsForTesting(), 1u);
}

// Past its first requests a session's reads and writes allocate nothing in
// the engine (its buffers are the connection's and the link's, made once)
// nor in the client.
TEST_F(TlsEngineTest, RequestsAfterTheFirstAllocateNothing) {
  if (!QUENSARIA_COUNTS_ALLOCATIONS) GTEST_SKIP() << "the sanitizer's operator new is not counted";
  Start(AUTH_MODE_TLS);
  BlockClient client;
  ASSERT_EQ(client.ConnectTls(port(), kTlsIdentityManage, DigestOf("manage")), 0);
  const Bytes written = RandomBytes(65536, 5);
  Bytes read(65536);
  const auto round = [&](int requests) {
    for (int i = 0; i < requests; ++i) {
      const uint64_t offset = kMiB + static_cast<uint64_t>(i % 16) * 65536;
      ASSERT_EQ(client.Write(offset, written.data(), 65536).reply.status, REPLY_OK);
      ASSERT_EQ(client.ReadInto(offset, 65536, read.data()).reply.status, REPLY_OK);
      // A short one too: one record each way.
      ASSERT_EQ(client.ReadInto(offset, 512, read.data()).reply.status, REPLY_OK);
    }
  };
  round(20);
  const uint64_t before = allocations.load();
  round(200);
  EXPECT_EQ(allocations.load() - before, 0u);
  EXPECT_TRUE(std::equal(written.begin(), written.begin() + 512, read.begin()));
}

// GnuTLS is C: a session whose read-ahead cannot be made fails its log-on
// with a status instead of throwing through GnuTLS, and the export serves
// the next client.
TEST_F(TlsEngineTest, NoMemoryForASessionsReadAheadFailsItsLogOnAndTheNextIsServed) {
  if (!QUENSARIA_COUNTS_ALLOCATIONS) GTEST_SKIP() << "the sanitizer's operator new is not replaced";
  Start(AUTH_MODE_TLS);
  ConsoleCapture console;
  failing_spared = std::this_thread::get_id();
  failing_size = 80 * 1024;  // made at the session's first receive of records
  BlockClient refused;
  EXPECT_NE(refused.ConnectTls(port(), kTlsIdentityLogin, DigestOf("login")), 0);
  const bool injected = failing_size.exchange(0) == 0;
  EXPECT_TRUE(injected) << "no allocation of the read-ahead's size";
  BlockClient next;
  ASSERT_EQ(next.ConnectTls(port(), kTlsIdentityLogin, DigestOf("login")), 0);
  Bytes read;
  EXPECT_EQ(next.Read(0, 4096, read).reply.status, REPLY_OK);
  harness_->StopAndWait();
  console.Stop();
  bool failed_log_on = false;
  for (const ConsoleCapture::Line& line : console.lines()) {
    EXPECT_FALSE(line.second.starts_with("socket worker:")) << line.second;
    failed_log_on |= line.second.find("TLS log-on failed") != std::string::npos;
  }
  EXPECT_TRUE(failed_log_on);
}

// Every client in one thread, so the engine's threads are the only others:
// sessions take no thread of their own.
TEST_F(TlsEngineTest, ManySessionsAtOnceOnTheWorkers) {
  Start(AUTH_MODE_TLS);
  const int threads_before = ThreadCount();
  constexpr int kClients = 48;
  std::vector<std::unique_ptr<BlockClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<BlockClient>());
    ASSERT_EQ(clients.back()->ConnectTls(port(), kTlsIdentityManage, DigestOf("manage"),
                                         platform::Ipv4(127, 0, 1, static_cast<uint8_t>(1 + i))),
              0)
        << i;
  }
  EXPECT_EQ(harness_->engine().LiveConnectionsForTesting(), kClients);
  EXPECT_EQ(ThreadCount(), threads_before);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < kClients; ++i) {
      const uint64_t offset = kMiB + static_cast<uint64_t>(i) * 65536;
      const Bytes written = RandomBytes(65536, static_cast<uint32_t>(100 * round + i));
      ASSERT_EQ(clients[i]->Write(offset, written.data(), 65536).reply.status, REPLY_OK);
      Bytes read;
      ASSERT_EQ(clients[i]->Read(offset, 65536, read).reply.status, REPLY_OK);
      ASSERT_EQ(read, written) << i;
    }
  }
  // Meanwhile from many threads at once.
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&, t] {
      for (int i = t; i < kClients; i += 8) {
        Bytes read;
        const Exchange x = clients[i]->Read(kMiB + static_cast<uint64_t>(i) * 65536, 65536, read);
        if (x.error != 0 || x.reply.status != REPLY_OK || read.size() != 65536) ++failures;
      }
    });
  }
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(failures.load(), 0);
}

// Stalled handshakes hold no worker, and are cut off as stalled requests are.
TEST_F(TlsEngineTest, StalledHandshakesNeitherHoldWorkersNorStayOpen) {
  engine::EngineOptions options;
  options.stalled_request_timeout = std::chrono::milliseconds(300);
  options.sweep_interval = std::chrono::milliseconds(50);
  Start(AUTH_MODE_TLS, options);
  std::vector<platform::UniqueFd> stalled;
  const uint8_t half_hello[] = {kTlsHandshakeByte, 0x03, 0x01, 0x01, 0x00, 0x01};
  for (int i = 0; i < 2 * engine::kMaxWorkers + 2; ++i) {
    Result<platform::UniqueFd> socket =
        platform::ConnectTcp(0, platform::Ipv4(127, 0, 0, 1), port());
    ASSERT_TRUE(socket.ok()) << socket.status().ToString();
    ASSERT_TRUE(platform::SendAll(socket->get(), half_hello, sizeof half_hello).ok());
    stalled.push_back(std::move(socket).value());
  }
  BlockClient client;
  ASSERT_EQ(client.ConnectTls(port(), kTlsIdentityLogin, DigestOf("login")), 0);
  Bytes data;
  EXPECT_EQ(client.Read(kMiB, 65536, data).reply.status, REPLY_OK);
  for (const platform::UniqueFd& socket : stalled) {
    pollfd p{socket.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, kLivenessMs), 1);
    uint8_t byte;
    EXPECT_LE(::recv(socket.get(), &byte, 1, 0), 0);
  }
  // The idle session, past its handshake, is not cut off.
  std::this_thread::sleep_for(options.stalled_request_timeout * 2);
  EXPECT_EQ(client.Read(kMiB, 512, data).reply.status, REPLY_OK);
}

// --- What the wire shows ---

// Forwards one connection between a client and the export, keeping every
// byte that passes either way.
class RecordingProxy {
 public:
  explicit RecordingProxy(uint16_t target) : target_(target) {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = platform::Ipv4(127, 0, 0, 1);
    EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_.get(), 1), 0);
    port_ = platform::LocalPort(listener_.get());
    thread_ = std::thread([this] { Forward(); });
  }
  ~RecordingProxy() { thread_.join(); }
  uint16_t port() const { return port_; }
  Bytes Captured() {
    std::scoped_lock lock(mutex_);
    return captured_;
  }

 private:
  void Forward() {
    platform::UniqueFd client(::accept(listener_.get(), nullptr, nullptr));
    if (!client) return;
    Result<platform::UniqueFd> connected =
        platform::ConnectTcp(0, platform::Ipv4(127, 0, 0, 1), target_);
    if (!connected.ok()) return;
    platform::UniqueFd server = std::move(connected).value();
    pollfd fds[2] = {{client.get(), POLLIN, 0}, {server.get(), POLLIN, 0}};
    uint8_t buffer[65536];
    for (;;) {
      if (::poll(fds, 2, kLivenessMs) <= 0) return;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) continue;
        const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        {
          std::scoped_lock lock(mutex_);
          captured_.insert(captured_.end(), buffer, buffer + n);
        }
        if (!platform::SendAll(fds[1 - i].fd, buffer, static_cast<size_t>(n)).ok()) return;
      }
    }
  }

  uint16_t target_;
  uint16_t port_ = 0;
  platform::UniqueFd listener_;
  std::thread thread_;
  std::mutex mutex_;
  Bytes captured_;
};

bool HoldsAnyWindow(const Bytes& capture, const Bytes& data, size_t window) {
  for (size_t at = 0; at + window <= data.size(); ++at) {
    if (std::search(capture.begin(), capture.end(), data.begin() + at,
                    data.begin() + at + window) != capture.end()) {
      return true;
    }
  }
  return false;
}

bool Holds(const Bytes& capture, const Key& key) {
  return std::search(capture.begin(), capture.end(), key.begin(), key.end()) != capture.end();
}

// A plain session through the same proxy shows the data: the check can see
// what it looks for.
TEST_F(TlsEngineTest, ARecordingOfAPlainSessionShowsItsDataAndDigest) {
  Start(AUTH_MODE_PLAIN);
  const Bytes pattern = RandomBytes(4096, 77);
  {
    RecordingProxy proxy(port());
    BlockClient client;
    ASSERT_EQ(client.Connect(proxy.port()), 0);
    ASSERT_EQ(client.Login("manage").reply.status, REPLY_OK);
    ASSERT_EQ(client.Write(kMiB, pattern.data(), 4096).reply.status, REPLY_OK);
    client.Close();
    const Bytes capture = proxy.Captured();
    EXPECT_TRUE(Holds(capture, DigestOf("manage")));
    EXPECT_TRUE(HoldsAnyWindow(capture, pattern, 16));
  }
}

TEST_F(TlsEngineTest, ARecordingOfATlsSessionShowsNoDigestAndNoData) {
  Start(AUTH_MODE_TLS);
  const Bytes pattern = RandomBytes(65536 + 4096, 78);
  Bytes capture;
  {
    RecordingProxy proxy(port());
    BlockClient client;
    ASSERT_EQ(client.ConnectTls(proxy.port(), kTlsIdentityManage, DigestOf("manage")), 0);
    ASSERT_EQ(client.Write(kMiB, pattern.data(), 65536).reply.status, REPLY_OK);
    ASSERT_EQ(client.Write(kMiB + 65536, pattern.data() + 65536, 4096).reply.status, REPLY_OK);
    Bytes read;
    ASSERT_EQ(client.Read(kMiB, 65536, read).reply.status, REPLY_OK);
    ASSERT_EQ(Bytes(pattern.begin(), pattern.begin() + 65536), read);
    ASSERT_EQ(client.Read(kMiB + 65536, 4096, read).reply.status, REPLY_OK);
    client.Close();
    capture = proxy.Captured();
  }
  // The session really went through the proxy.
  ASSERT_GT(capture.size(), 2 * 65536u);
  EXPECT_FALSE(Holds(capture, DigestOf("manage")));
  EXPECT_FALSE(Holds(capture, DigestOf("login")));
  EXPECT_FALSE(HoldsAnyWindow(capture, pattern, 16));
}

}  // namespace
}  // namespace quensaria::testing
