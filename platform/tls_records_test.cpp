#include "platform/tls_records.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <numeric>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "shared/block_protocol.h"

namespace quensaria::platform {
namespace {

unsigned char kKey[32] = {7, 1, 7};

int ServerKey(gnutls_session_t, const char*, gnutls_datum_t* key) {
  key->data = static_cast<unsigned char*>(gnutls_malloc(sizeof kKey));
  if (key->data == nullptr) return -1;
  std::memcpy(key->data, kKey, sizeof kKey);
  key->size = sizeof kKey;
  return 0;
}

// Two GnuTLS sessions over a socket pair, their handshake done: one side's
// records are then made here, the other's by GnuTLS.
class GnuTlsPair {
 public:
  explicit GnuTlsPair(const std::string& cipher = "+AES-128-GCM") {
    int fds[2];
    EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    fd_[0].Reset(fds[0]);
    fd_[1].Reset(fds[1]);
    const std::string priorities = std::string(kTlsPriorities) + ":-CIPHER-ALL:" + cipher;
    EXPECT_EQ(0, gnutls_psk_allocate_client_credentials(&client_keys_));
    gnutls_datum_t key{kKey, sizeof kKey};
    EXPECT_EQ(0, gnutls_psk_set_client_credentials(client_keys_, "q", &key, GNUTLS_PSK_KEY_RAW));
    EXPECT_EQ(0, gnutls_psk_allocate_server_credentials(&server_keys_));
    gnutls_psk_set_server_credentials_function(server_keys_, ServerKey);
    for (int side = 0; side < 2; ++side) {
      EXPECT_EQ(0, gnutls_init(&session_[side],
                               (side == 0 ? GNUTLS_CLIENT : GNUTLS_SERVER) | GNUTLS_NO_TICKETS));
      EXPECT_EQ(0, gnutls_priority_set_direct(session_[side], priorities.c_str(), nullptr));
      EXPECT_EQ(0, gnutls_credentials_set(session_[side], GNUTLS_CRD_PSK,
                                          side == 0 ? static_cast<void*>(client_keys_)
                                                    : static_cast<void*>(server_keys_)));
      gnutls_transport_set_int(session_[side], fd_[side].get());
    }
    // A failure ends in time instead of leaving the other side waiting.
    const timeval wait{10, 0};
    for (UniqueFd& fd : fd_) {
      EXPECT_EQ(0, ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait));
    }
    auto served = std::async(std::launch::async, [this] { return Handshake(session_[1]); });
    EXPECT_EQ(0, Handshake(session_[0]));
    EXPECT_EQ(0, served.get());
  }
  ~GnuTlsPair() {
    for (gnutls_session_t session : session_) gnutls_deinit(session);
    gnutls_psk_free_client_credentials(client_keys_);
    gnutls_psk_free_server_credentials(server_keys_);
  }

  gnutls_session_t own() { return session_[0]; }
  gnutls_session_t peer() { return session_[1]; }
  int own_fd() { return fd_[0].get(); }

  // Sends what the own side sealed, as it is.
  void SendRaw(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(own_fd(), bytes.data(), bytes.size(), 0));
  }
  // The next record the peer sent, whole.
  std::vector<uint8_t> ReceiveRecord() {
    std::vector<uint8_t> record(TlsRecords::kHeaderSize);
    if (!ReceiveAll(record.data(), record.size())) return {};
    const ptrdiff_t size = TlsRecords::RecordSize(record);
    if (size <= 0) return {};
    record.resize(static_cast<size_t>(size));
    if (!ReceiveAll(record.data() + TlsRecords::kHeaderSize,
                    record.size() - TlsRecords::kHeaderSize)) {
      return {};
    }
    return record;
  }
  // All the data `size` bytes of the peer's records carry, read by GnuTLS.
  std::vector<uint8_t> PeerReceives(size_t size) {
    std::vector<uint8_t> data(size);
    size_t got = 0;
    while (got < size) {
      const ssize_t n = gnutls_record_recv(peer(), data.data() + got, size - got);
      if (n <= 0) {
        ADD_FAILURE() << "gnutls_record_recv: " << gnutls_strerror(static_cast<int>(n));
        return {};
      }
      got += static_cast<size_t>(n);
    }
    return data;
  }

 private:
  static int Handshake(gnutls_session_t session) {
    int rc;
    do rc = gnutls_handshake(session);
    while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    return rc;
  }
  bool ReceiveAll(uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::recv(own_fd(), data, size, 0);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  UniqueFd fd_[2];
  gnutls_session_t session_[2] = {};
  gnutls_psk_client_credentials_t client_keys_ = nullptr;
  gnutls_psk_server_credentials_t server_keys_ = nullptr;
};

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

std::vector<uint8_t> Sealed(TlsRecords& records, std::span<const uint8_t> first,
                            std::span<const uint8_t> second) {
  std::vector<uint8_t> out(TlsRecords::SealedSize(first.size() + second.size()));
  EXPECT_TRUE(records.Seal(TlsRecords::kApplicationData, first, second, out.data()));
  return out;
}

// Each path of the library's code another processor would take, where
// this one can run it.
class TlsRecordsCodeTest : public testing::TestWithParam<TlsRecords::Code> {
 protected:
  void SetUp() override {
    if (!TlsRecords::UseCodeForTesting(GetParam())) GTEST_SKIP() << "not on this processor";
  }
  void TearDown() override { EXPECT_TRUE(TlsRecords::UseCodeForTesting(TlsRecords::Code::kAuto)); }
};

std::string CodeName(const testing::TestParamInfo<TlsRecords::Code>& info) {
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
      return "None";
  }
  return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Paths, TlsRecordsCodeTest,
                         testing::Values(TlsRecords::Code::kAuto, TlsRecords::Code::kSse,
                                         TlsRecords::Code::kAvx, TlsRecords::Code::kAvx2,
                                         TlsRecords::Code::kAvx512),
                         CodeName);

TEST_P(TlsRecordsCodeTest, RecordsSealedHereAreReadByGnuTlsWhereverTheTwoPartsSplit) {
  {
    GnuTlsPair pair;
    auto records = TlsRecords::Take(pair.own());
    ASSERT_NE(nullptr, records);
    // Lengths about a block and a record, split anywhere: the carry across
    // the parts and the last short block are where a fault would show.
    const std::vector<std::pair<size_t, size_t>> parts = {
        {0, 1},      {1, 0},      {15, 1},    {16, 0},     {7, 9},
        {17, 16367}, {16, 16368}, {0, 16384}, {24, 65536}, {3, 16382},
        {16385, 0},  {16383, 2},  {5, 11},    {33, 47},    {65536 + 16, 0}};
    uint8_t seed = 1;
    for (const auto& [first_size, second_size] : parts) {
      const std::vector<uint8_t> first = Pattern(first_size, seed++);
      const std::vector<uint8_t> second = Pattern(second_size, seed++);
      pair.SendRaw(Sealed(*records, first, second));
      std::vector<uint8_t> expected = first;
      expected.insert(expected.end(), second.begin(), second.end());
      EXPECT_EQ(expected, pair.PeerReceives(expected.size())) << first_size << " + " << second_size;
    }
  }
}

TEST_P(TlsRecordsCodeTest, GnuTlsRecordsOpenHereWithOrWithoutPadding) {
  GnuTlsPair pair;
  auto records = TlsRecords::Take(pair.own());
  ASSERT_NE(nullptr, records);
  struct Case {
    size_t length;
    size_t padding;
  };
  // Padding of a few bytes, and of more than the last block: then the
  // content type is found among the bytes opened straight to `out`.
  for (const Case c : {Case{1, 0}, Case{16, 0}, Case{16384, 0}, Case{100, 3}, Case{100, 40},
                       Case{5000, 300}, Case{1, 200}, Case{16, 16}}) {
    const std::vector<uint8_t> sent = Pattern(c.length, static_cast<uint8_t>(c.length));
    ASSERT_EQ(static_cast<ssize_t>(c.length),
              gnutls_record_send2(pair.peer(), sent.data(), sent.size(), c.padding, 0))
        << c.length << "+" << c.padding;
    const std::vector<uint8_t> record = pair.ReceiveRecord();
    ASSERT_FALSE(record.empty());
    std::vector<uint8_t> out(TlsRecords::MostContent(record));
    TlsRecords::Opened opened;
    ASSERT_TRUE(records->Open(record, out.data(), &opened)) << c.length << "+" << c.padding;
    EXPECT_EQ(TlsRecords::kApplicationData, opened.type);
    out.resize(opened.length);
    EXPECT_EQ(sent, out) << c.length << "+" << c.padding;
  }
}

TEST_P(TlsRecordsCodeTest, ARecordChangedAnywhereDoesNotOpenAndLeavesNoContent) {
  GnuTlsPair pair;
  auto records = TlsRecords::Take(pair.own());
  ASSERT_NE(nullptr, records);
  const std::vector<uint8_t> sent = Pattern(1000, 3);
  ASSERT_EQ(1000, gnutls_record_send(pair.peer(), sent.data(), sent.size()));
  const std::vector<uint8_t> record = pair.ReceiveRecord();
  ASSERT_FALSE(record.empty());
  // The header (authenticated, not sealed), the sealed content and the tag.
  for (size_t at : {size_t{4}, size_t{5}, size_t{500}, record.size() - 17, record.size() - 1}) {
    std::vector<uint8_t> changed = record;
    changed[at] ^= 0x01;
    std::unique_ptr<TlsRecords> fresh = TlsRecords::Take(pair.own());
    ASSERT_NE(nullptr, fresh);
    std::vector<uint8_t> out(TlsRecords::MostContent(record), 0xEE);
    TlsRecords::Opened opened;
    EXPECT_FALSE(fresh->Open(changed, out.data(), &opened)) << "byte " << at;
    EXPECT_EQ(
        std::string::npos,
        std::string(out.begin(), out.end()).find(std::string(sent.begin(), sent.begin() + 16)))
        << "byte " << at << ": content of a record that did not open is left";
  }
  // The record as it came still opens: only the changes failed.
  std::vector<uint8_t> out(TlsRecords::MostContent(record));
  TlsRecords::Opened opened;
  EXPECT_TRUE(records->Open(record, out.data(), &opened));
  EXPECT_EQ(1000u, opened.length);
}

TEST(TlsRecordsTest, HeadersNoPeerSendsAreRefused) {
  const auto size = [](std::vector<uint8_t> header) { return TlsRecords::RecordSize(header); };
  EXPECT_EQ(0, size({23, 3, 3, 0}));                   // not all there yet
  EXPECT_EQ(5 + 17, size({23, 3, 3, 0, 17}));          // the smallest: a type and a tag
  EXPECT_EQ(-1, size({23, 3, 3, 0, 16}));              // no room for the type
  EXPECT_EQ(5 + 16640, size({23, 3, 3, 0x41, 0x00}));  // the largest TLS allows
  EXPECT_EQ(-1, size({23, 3, 3, 0x41, 0x01}));
  EXPECT_EQ(-1, size({22, 3, 3, 0, 40}));  // a handshake record in the clear
  EXPECT_EQ(-1, size({23, 3, 1, 0, 40}));
}

TEST(TlsRecordsTest, ACipherNotDoneHereStaysWithGnuTls) {
  GnuTlsPair pair("+CHACHA20-POLY1305");
  ASSERT_EQ(GNUTLS_CIPHER_CHACHA20_POLY1305, gnutls_cipher_get(pair.own()));
  EXPECT_EQ(nullptr, TlsRecords::Take(pair.own()));
}

TEST(TlsRecordsTest, WithNoCodePickedSessionsStayWithGnuTls) {
  GnuTlsPair pair;
  ASSERT_TRUE(TlsRecords::UseCodeForTesting(TlsRecords::Code::kNone));
  EXPECT_EQ(nullptr, TlsRecords::Take(pair.own()));
  ASSERT_TRUE(TlsRecords::UseCodeForTesting(TlsRecords::Code::kAuto));
  EXPECT_NE(nullptr, TlsRecords::Take(pair.own()));
}

}  // namespace
}  // namespace quensaria::platform
