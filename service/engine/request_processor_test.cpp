#include "service/engine/request_processor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/system_info.h"
#include "service/source/memory_io_for_testing.h"
#include "shared/bytes.h"
#include "shared/password_digest.h"
#include "shared/scramble.h"
#include "shared/win32_error.h"

namespace quensaria::engine {
namespace {

using source::MemoryIo;
using source::SourceKind;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMiB = 1 << 20;
constexpr int kSocket = 0x1234ABCD;  // the connection's socket handle value
constexpr uint32_t kPeer = 0x0100007F;
constexpr uint64_t kHeader = source::kVolumeHeaderSize;

uint8_t Pattern(uint64_t offset) { return static_cast<uint8_t>((offset >> 9) * 13 + offset + 1); }

Bytes PatternBytes(uint64_t size) {
  Bytes bytes(size);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = Pattern(i);
  return bytes;
}

Bytes ReadRequest(uint64_t offset, uint32_t length) {
  Bytes r(32);
  EncodeRequestHeader({CMD_READ, offset, length}, r.data());
  return r;
}

Bytes WriteRequest(uint64_t offset, const Bytes& payload, uint32_t length = 0) {
  Bytes r(32);
  EncodeRequestHeader({CMD_WRITE, offset, length ? length : static_cast<uint32_t>(payload.size())},
                      r.data());
  r.insert(r.end(), payload.begin(), payload.end());
  return r;
}

Bytes QueryRequest() {
  Bytes r(32);
  EncodeRequestHeader({CMD_QUERY, 0, 0}, r.data());
  return r;
}

// Offset and length mean nothing to a flush; a client may leave anything.
Bytes FlushRequest() {
  Bytes r(32);
  EncodeRequestHeader({CMD_FLUSH, 0x1234, 4096}, r.data());
  return r;
}

Bytes LoginRequest(const std::string& password) {
  Bytes r(32);
  EncodeLoginRequest(PasswordDigest(password).data(), r.data());
  return r;
}

struct Reply {
  ReplyHeader header;
  Bytes data;  // as sent (still scrambled for reads)
  Bytes plain() const {
    Bytes p = data;
    Descramble(p.data(), p.size());
    return p;
  }
};

// Drives one connection through the processor exactly as the engine does,
// with no sockets: received bytes go into receive windows (in pieces of a
// chosen size), sent windows are collected, file transfers are tried without
// waiting first and then run as a file worker would.
class ProcessorTest : public ::testing::Test {
 protected:
  void Make(SourceKind kind, uint64_t size, uint32_t cache_blocks = 0, uint8_t type = 0x83) {
    auto io = std::make_unique<MemoryIo>(PatternBytes(size));
    io_ = io.get();
    source_ = std::make_unique<source::DiskSource>(kind, size, type, std::move(io), cache_blocks);
    source_->set_read_only(read_only_);
    processor_ = std::make_unique<RequestProcessor>(*source_, settings_, &stats_);
    io_record_ = std::make_unique<ConnectionBuffer>();
    c_ = Connection{};
    c_.socket = kSocket;
    c_.client_address = kPeer;
    c_.io = io_record_.get();
    c_.flush.answer = [](source::SharedSync::Waiter*) {};
    step_ = processor_->Admit(c_, access_);
  }
  void MakeImage(uint64_t size = 4 * kMiB, uint32_t cache_blocks = 0) {
    Make(source::SOURCE_IMAGE_FILE, size, cache_blocks);
  }

  // Feeds `input` and runs the connection until it waits for more input.
  // Returns everything it sent meanwhile.
  Bytes Feed(const Bytes& input, size_t piece = SIZE_MAX) {
    Bytes output;
    size_t at = 0;
    bool on_file_worker = false;  // since a transfer had to wait
    for (;;) {
      const int reads_before = io_->counts().reads;
      switch (step_) {
        case Step::kReceive: {
          // The reply is out: a log-on it answered is reported now.
          if (std::exchange(c_.log_on_to_report, false)) logged_on_.push_back(c_.client_address);
          if (at == input.size()) return output;
          const size_t n = std::min({c_.io->socket_op.length, piece, input.size() - at});
          EXPECT_GT(n, 0u);
          std::memcpy(c_.io->socket_op.data, input.data() + at, n);
          at += n;
          step_ = processor_->Received(c_, n);
          break;
        }
        case Step::kSend: {
          const size_t n = c_.io->socket_op.length;
          output.insert(output.end(), c_.io->socket_op.data, c_.io->socket_op.data + n);
          step_ = processor_->Sent(c_, n);
          break;
        }
        case Step::kFileOp: {
          if (c_.file_operation == kFileFlush) {
            step_ = processor_->RunFlush(c_);
            break;
          }
          source::IoResult r = processor_->PerformFileOp(c_, true);
          if (r.would_block) {
            on_file_worker = true;
            r = processor_->PerformFileOp(c_, false);
            step_ = processor_->CompleteFileOp(c_, r);
          } else if (r.error != 0) {
            step_ = processor_->FileOpNotStarted(c_, r.error);
          } else {
            step_ = processor_->CompleteFileOp(c_, r);
          }
          break;
        }
        case Step::kParked:
          // The source syncs at once here: the answer came inside Ask.
          EXPECT_TRUE(c_.flush.answered);
          step_ = processor_->RunFlush(c_);
          break;
        case Step::kClose:
          closed_ = true;
          return output;
      }
      if (!on_file_worker) socket_worker_reads_ += io_->counts().reads - reads_before;
    }
  }

  // One request, one reply.
  Reply Exchange(const Bytes& request, size_t piece = SIZE_MAX) {
    const Bytes out = Feed(request, piece);
    Reply reply;
    EXPECT_GE(out.size(), kReplyHeaderSize);
    if (out.size() < kReplyHeaderSize) return reply;
    reply.header = ParseReplyHeader(out.data());
    reply.data.assign(out.begin() + kReplyHeaderSize, out.end());
    EXPECT_EQ(reply.data.size(), reply.header.data_length);
    return reply;
  }

  void LogOn(const std::string& password = "manage") {
    ASSERT_EQ(Exchange(LoginRequest(password)).header.status, REPLY_OK);
  }
  uint8_t QueriedAccess() { return ParseQueryData(Exchange(QueryRequest()).data.data()).access; }
  void SetFaults(const MemoryIo::Faults& faults) { io_->SetFaults(faults); }
  // From now on no byte is in memory: every read must wait for the device,
  // which is when the read cache is used.
  void OnlyTheDeviceHoldsTheBytes() {
    MemoryIo::Faults faults;
    faults.try_would_block = true;
    SetFaults(faults);
  }

  static ServerConfig Settings() {
    ServerConfig config{};
    config.Port = 60123;
    std::strcpy(config.Source, "/srv/test.img");
    std::memcpy(config.Password, PasswordDigest("login").data(), kDigestSize);
    std::memcpy(config.ManagePassword, PasswordDigest("manage").data(), kDigestSize);
    return config;
  }
  // Puts the boot signature at the end of the source's sector 0.
  void MakeBootRecord() {
    const uint8_t signature[2] = {0x55, 0xAA};
    ASSERT_EQ(io_->Write(510, signature, 2).bytes, 2u);
  }

  uint8_t access_ = ACCESS_FULL;        // admission level for Make
  bool read_only_ = false;              // whether Make's source cannot be written
  ServerConfig settings_ = Settings();  // the export's digests for Make
  MemoryIo* io_ = nullptr;
  EngineStats stats_;
  std::unique_ptr<source::DiskSource> source_;
  std::unique_ptr<RequestProcessor> processor_;
  std::unique_ptr<ConnectionBuffer> io_record_;
  Connection c_;
  Step step_ = Step::kReceive;
  bool closed_ = false;
  std::vector<uint32_t> logged_on_;
  // Source reads that may wait, made where the engine's socket worker runs.
  int socket_worker_reads_ = 0;
};

// ---- Sources that cannot be written

// A read-only source (an RBD snapshot, say) lifts nobody to full access:
// neither the admission nor the management password; writes are refused
// and the bytes stay, reads are served.
TEST_F(ProcessorTest, ReadOnlySourceServesFullAccessAsVirtualWrite) {
  read_only_ = true;
  MakeImage();
  EXPECT_EQ(QueriedAccess(), ACCESS_VIRTUAL_WRITE) << "admitted at full access";
  LogOn("manage");
  EXPECT_EQ(QueriedAccess(), ACCESS_VIRTUAL_WRITE) << "after the management password";
  const Reply write = Exchange(WriteRequest(kMiB, Bytes(4096, 0xEE)));
  EXPECT_EQ(write.header.status, REPLY_DENIED);
  EXPECT_EQ(io_->counts().writes + io_->counts().try_writes, 0);
  const Reply read = Exchange(ReadRequest(kMiB, 4096));
  ASSERT_EQ(read.header.status, REPLY_OK);
  const Bytes plain = read.plain();
  for (size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(plain[i], Pattern(kMiB + i)) << i;
  EXPECT_EQ(Exchange(LoginRequest("wrong")).header.status, REPLY_DENIED);  // refusal still works
  EXPECT_EQ(QueriedAccess(), ACCESS_REFUSED);
}

// ---- Framing

TEST_F(ProcessorTest, HeaderInPiecesIsDispatchedOnceAfterItsLastByte) {
  MakeImage();
  const Bytes query = QueryRequest();
  EXPECT_TRUE(Feed(Bytes(query.begin(), query.begin() + 1)).empty());
  EXPECT_TRUE(Feed(Bytes(query.begin() + 1, query.begin() + 31)).empty());
  const Bytes out = Feed(Bytes(query.begin() + 31, query.end()));
  ASSERT_EQ(out.size(), 28u);
  EXPECT_EQ(ParseReplyHeader(out.data()).status, REPLY_OK);
}

TEST_F(ProcessorTest, WritePayloadInManyPiecesIsWrittenWhole) {
  MakeImage();
  LogOn();
  Bytes payload(65536);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 3 + 7);
  const Reply reply = Exchange(WriteRequest(kMiB, payload), 7);
  EXPECT_EQ(reply.header.status, REPLY_OK);
  EXPECT_EQ(reply.header.length, 65536u);
  const Bytes disk = io_->bytes();
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), disk.begin() + kMiB));
}

TEST_F(ProcessorTest, OverlongWriteIsConsumedAndDeniedAndTheNextRequestParsed) {
  MakeImage();
  LogOn();
  const Bytes request = WriteRequest(0, Bytes(65537, 0xEE));
  Bytes both = request;
  const Bytes query = QueryRequest();
  both.insert(both.end(), query.begin(), query.end());
  const Bytes out = Feed(both, 1000);
  ASSERT_EQ(out.size(), 12u + 28u);
  const ReplyHeader denied = ParseReplyHeader(out.data());
  EXPECT_EQ(denied.status, REPLY_DENIED);
  EXPECT_EQ(denied.length, 65537u);
  EXPECT_EQ(denied.data_length, 0u);
  EXPECT_EQ(ParseReplyHeader(out.data() + 12).status, REPLY_OK);
  EXPECT_EQ(ParseQueryData(out.data() + 24).disk_size, 4 * kMiB);
  EXPECT_EQ(io_->counts().writes + io_->counts().try_writes, 0);
  EXPECT_EQ(io_->bytes()[0], Pattern(0));
}

TEST_F(ProcessorTest, UnknownCommandClosesWithoutAReply) {
  MakeImage();
  Bytes request = QueryRequest();
  request[0] = 0x88;  // the first code after CMD_SOURCE_ID
  EXPECT_TRUE(Feed(request).empty());
  EXPECT_TRUE(closed_);
}

TEST_F(ProcessorTest, ReplyKeepsTheRequestsBytesTwoAndThree) {
  MakeImage();
  Bytes request = QueryRequest();
  request[2] = 0x5A;
  request[3] = 0xA5;
  const Bytes out = Feed(request);
  ASSERT_EQ(out.size(), 28u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 0x5A);
  EXPECT_EQ(out[3], 0xA5);
}

TEST_F(ProcessorTest, RequestsSentBackToBackAreAnsweredInOrder) {
  MakeImage();
  Bytes input = LoginRequest("manage");
  for (const Bytes& r : {ReadRequest(512, 512), QueryRequest()}) {
    input.insert(input.end(), r.begin(), r.end());
  }
  const Bytes out = Feed(input);
  ASSERT_EQ(out.size(), 12u + (12 + 512) + 28);
  EXPECT_EQ(ParseReplyHeader(out.data() + 12).data_length, 512u);
  EXPECT_EQ(ParseReplyHeader(out.data() + 12 + 524).data_length, 16u);
}

// ---- Log-on and access levels

struct LevelRow {
  uint8_t admitted;
  const char* password;
  uint16_t status;
  uint8_t level_after;
  bool hooked;
};

class LoginTest : public ProcessorTest, public ::testing::WithParamInterface<LevelRow> {};

TEST_P(LoginTest, LogOnSetsLevelAndTellsTheRegistry) {
  const LevelRow& row = GetParam();
  access_ = row.admitted;
  MakeImage();
  const Reply reply = Exchange(LoginRequest(row.password));
  EXPECT_EQ(reply.header.status, row.status);
  EXPECT_EQ(reply.header.length, 0u);
  EXPECT_EQ(reply.header.data_length, 0u);
  EXPECT_EQ(QueriedAccess(), row.level_after);
  EXPECT_EQ(logged_on_, row.hooked ? std::vector<uint32_t>{kPeer} : std::vector<uint32_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    Levels, LoginTest,
    ::testing::Values(LevelRow{ACCESS_FULL, "login", REPLY_OK, ACCESS_FULL, true},
                      LevelRow{ACCESS_VIRTUAL_WRITE, "login", REPLY_OK, ACCESS_VIRTUAL_WRITE, true},
                      LevelRow{ACCESS_VIRTUAL_WRITE, "manage", REPLY_OK, ACCESS_FULL, true},
                      LevelRow{ACCESS_FULL, "wrong", REPLY_DENIED, ACCESS_REFUSED, false},
                      LevelRow{ACCESS_VIRTUAL_WRITE, "", REPLY_DENIED, ACCESS_REFUSED, false}));

TEST_F(ProcessorTest, ADigestOfZeroBytesNeverMatches) {
  // Both digests unset, as a missing or unreadable one is read.
  settings_ = ServerConfig{};
  MakeImage();
  const Bytes zeros(kDigestSize, 0);
  Bytes login(32);
  EncodeLoginRequest(zeros.data(), login.data());
  EXPECT_EQ(Exchange(login).header.status, REPLY_DENIED);
  EXPECT_EQ(QueriedAccess(), ACCESS_REFUSED);
  EXPECT_EQ(Exchange(WriteRequest(0, Bytes(512, 1))).header.status, REPLY_DENIED);
  EXPECT_EQ(Exchange(LoginRequest("")).header.status, REPLY_DENIED);
  EXPECT_TRUE(logged_on_.empty());

  // Only the unset one is out of reach: a set log-on password still works
  // beside an unset management password, which lifts nobody.
  settings_ = Settings();
  std::memset(settings_.ManagePassword, 0, kDigestSize);
  access_ = ACCESS_VIRTUAL_WRITE;
  MakeImage();
  LogOn("login");
  EXPECT_EQ(QueriedAccess(), ACCESS_VIRTUAL_WRITE);
  EXPECT_EQ(Exchange(login).header.status, REPLY_DENIED);
  EXPECT_EQ(QueriedAccess(), ACCESS_REFUSED);
}

TEST_F(ProcessorTest, ReadsAndWritesBeforeALogOnAreDenied) {
  MakeImage();
  EXPECT_EQ(QueriedAccess(), ACCESS_FULL);  // query is answered regardless
  for (uint32_t length : {512u, 0u, 65537u}) {
    const Reply read = Exchange(ReadRequest(0, length));
    EXPECT_EQ(read.header.status, REPLY_DENIED);
    EXPECT_EQ(read.header.length, length);
    EXPECT_TRUE(read.data.empty());
    const Reply write = Exchange(WriteRequest(0, Bytes(length, 1)));
    EXPECT_EQ(write.header.status, REPLY_DENIED);
    EXPECT_EQ(write.header.length, length);
  }
  EXPECT_EQ(io_->counts().writes + io_->counts().try_writes, 0);
  LogOn("login");
  EXPECT_EQ(Exchange(ReadRequest(0, 512)).header.status, REPLY_OK);
}

TEST_F(ProcessorTest, AfterAFailedLogOnEverythingButQueryAndLogOnIsDenied) {
  MakeImage();
  EXPECT_EQ(Exchange(LoginRequest("wrong")).header.status, REPLY_DENIED);
  EXPECT_EQ(Exchange(ReadRequest(0, 512)).header.status, REPLY_DENIED);
  EXPECT_EQ(Exchange(ReadRequest(0, 65537)).header.status, REPLY_DENIED);
  EXPECT_EQ(Exchange(WriteRequest(0, Bytes(512, 1))).header.status, REPLY_DENIED);
  // The log-on password leaves the (now refused) level as it is; the
  // management password lifts it.
  LogOn("login");
  EXPECT_EQ(QueriedAccess(), ACCESS_REFUSED);
  EXPECT_EQ(Exchange(ReadRequest(0, 512)).header.status, REPLY_DENIED);
  LogOn("manage");
  EXPECT_EQ(QueriedAccess(), ACCESS_FULL);
  EXPECT_EQ(Exchange(WriteRequest(0, Bytes(512, 1))).header.status, REPLY_OK);
}

TEST_F(ProcessorTest, QueryReportsLevelAndDiskSize) {
  access_ = ACCESS_VIRTUAL_WRITE;
  Make(source::SOURCE_VOLUME, 8 * kMiB);
  const Reply reply = Exchange(QueryRequest());
  EXPECT_EQ(reply.header.status, REPLY_OK);
  EXPECT_EQ(reply.header.length, 16u);
  ASSERT_EQ(reply.data.size(), 16u);
  // Byte 2 says CMD_FLUSH and CMD_SOURCE_ID are understood; bytes 4..7 name
  // this machine's boot.
  const std::array<uint8_t, 4> boot = platform::BootIdentity();
  const Bytes expected = {
      0, 1, QUERY_FLAG_FLUSH | QUERY_FLAG_SOURCE_ID, 0, boot[0], boot[1], boot[2], boot[3]};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), reply.data.begin()));
  EXPECT_NE(boot, (std::array<uint8_t, 4>{}));
  EXPECT_EQ(LoadLe64(reply.data.data() + 8), 8 * kMiB + kHeader);
}

// Offset and length mean nothing to CMD_SOURCE_ID either.
Bytes SourceIdRequest() {
  Bytes r(32);
  EncodeRequestHeader({CMD_SOURCE_ID, 0x55, 77}, r.data());
  return r;
}

TEST_F(ProcessorTest, TheSourceIdentityIsToldOnlyAfterALogOn) {
  MakeImage();
  SourceId id;
  for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(0xA0 + i);
  source_->set_source_id(id);
  Reply reply = Exchange(SourceIdRequest());
  EXPECT_EQ(reply.header.status, REPLY_DENIED);
  EXPECT_EQ(reply.header.data_length, 0u);
  EXPECT_EQ(Exchange(LoginRequest("wrong")).header.status, REPLY_DENIED);
  EXPECT_EQ(Exchange(SourceIdRequest()).header.status, REPLY_DENIED);
  LogOn("manage");
  reply = Exchange(SourceIdRequest());
  ASSERT_EQ(reply.header.status, REPLY_OK);
  EXPECT_EQ(reply.header.length, kSourceIdSize);
  ASSERT_EQ(reply.data.size(), kSourceIdSize);
  EXPECT_TRUE(std::equal(id.begin(), id.end(), reply.data.begin()));
  // The connection goes on: the next request is parsed as usual.
  EXPECT_EQ(Exchange(ReadRequest(0, 512)).header.status, REPLY_OK);
}

TEST_F(ProcessorTest, AFileSourceHasNoSharedIdentity) {
  MakeImage();
  LogOn("login");
  const Reply reply = Exchange(SourceIdRequest());
  ASSERT_EQ(reply.header.status, REPLY_OK);
  ASSERT_EQ(reply.data.size(), kSourceIdSize);
  EXPECT_EQ(Bytes(reply.data.begin(), reply.data.end()), Bytes(kSourceIdSize, 0));
}

// ---- Reads

TEST_F(ProcessorTest, ReadLengthLimits) {
  MakeImage();
  LogOn();
  const Reply empty = Exchange(ReadRequest(4096, 0));
  EXPECT_EQ(empty.header.status, REPLY_OK);
  EXPECT_EQ(empty.header.length, 0u);
  EXPECT_TRUE(empty.data.empty());
  const Reply full = Exchange(ReadRequest(4096, 65536));
  EXPECT_EQ(full.header.status, REPLY_OK);
  EXPECT_EQ(full.data.size(), 65536u);
  const Reply over = Exchange(ReadRequest(4096, 65537));
  EXPECT_EQ(over.header.status, REPLY_FAILED);
  EXPECT_EQ(over.header.length, 65537u);
  EXPECT_TRUE(over.data.empty());
}

TEST_F(ProcessorTest, ReadsAndWritesOutsideTheDiskFailAndTouchNothing) {
  MakeImage(4 * kMiB);
  LogOn();
  EXPECT_EQ(Exchange(ReadRequest(4 * kMiB - 512, 512)).header.status, REPLY_OK);
  EXPECT_EQ(Exchange(ReadRequest(4 * kMiB, 0)).header.status, REPLY_OK);
  const struct {
    uint64_t offset;
    uint32_t length;
  } outside[] = {{4 * kMiB - 511, 512}, {4 * kMiB, 1}, {8 * kMiB, 512}, {UINT64_MAX - 511, 1024}};
  const MemoryIo::Counts before = io_->counts();
  for (const auto& r : outside) {
    for (const Reply& reply : {Exchange(ReadRequest(r.offset, r.length)),
                               Exchange(WriteRequest(r.offset, Bytes(r.length, 9)))}) {
      EXPECT_EQ(reply.header.status, REPLY_FAILED) << r.offset;
      EXPECT_EQ(reply.header.length, 0u);
      EXPECT_TRUE(reply.data.empty());
    }
  }
  const MemoryIo::Counts after = io_->counts();
  EXPECT_EQ(after.writes + after.try_writes, before.writes + before.try_writes);
  EXPECT_EQ(after.reads + after.try_reads, before.reads + before.try_reads);
  EXPECT_EQ(io_->bytes().size(), 4 * kMiB);
}

TEST_F(ProcessorTest, ReadDataIsScrambledAndOnlyTheAskedLengthIsSent) {
  MakeImage();
  LogOn();
  const Reply reply = Exchange(ReadRequest(1000, 13));
  ASSERT_EQ(reply.data.size(), 13u);
  EXPECT_EQ(reply.header.length, 13u);
  const Bytes plain = reply.plain();
  for (int i = 0; i < 13; ++i) EXPECT_EQ(plain[i], Pattern(1000 + i));
  EXPECT_NE(reply.data, plain);
}

TEST_F(ProcessorTest, ImageAndDriveReadsOfABootRecordCarryTheConnectionsStamp) {
  for (SourceKind kind : {source::SOURCE_IMAGE_FILE, source::SOURCE_PHYSICAL_DRIVE}) {
    SCOPED_TRACE(kind);
    Make(kind, 2 * kMiB);
    MakeBootRecord();
    LogOn();
    const Bytes sector = Exchange(ReadRequest(0, 512)).plain();
    EXPECT_EQ(LoadLe32(sector.data() + 440), static_cast<uint32_t>(kSocket));
    for (int i = 0; i < 510; ++i) {
      if (i < 440 || i > 443) {
        ASSERT_EQ(sector[i], Pattern(i)) << i;
      }
    }
    EXPECT_EQ(io_->bytes()[440], Pattern(440));  // the source is unchanged
    // Reads that do not cover bytes 440..443 are not stamped.
    const Bytes short_read = Exchange(ReadRequest(0, 440)).plain();
    EXPECT_EQ(short_read[439], Pattern(439));
    const Bytes later = Exchange(ReadRequest(512, 512)).plain();
    EXPECT_EQ(later[440 - 0], Pattern(512 + 440));
    // Reads that cover the signature but not the sector's end are stamped
    // alike, whether the end is on the source or partly in the read.
    const Bytes head = Exchange(ReadRequest(0, 444)).plain();
    EXPECT_EQ(LoadLe32(head.data() + 440), static_cast<uint32_t>(kSocket));
    const Bytes middle = Exchange(ReadRequest(442, 69)).plain();  // 442..510
    EXPECT_EQ(middle[0], static_cast<uint8_t>(kSocket >> 16));
    EXPECT_EQ(middle[1], static_cast<uint8_t>(kSocket >> 24));
    EXPECT_EQ(middle[2], Pattern(444));
  }
}

TEST_F(ProcessorTest, SectorZeroWithoutTheBootSignatureIsServedAsStored) {
  // Pattern bytes end sector 0 in FF 00: not a boot record (an XFS
  // superblock, say), whose checksum a stamp would break.
  MakeImage();
  LogOn();
  for (uint32_t length : {512u, 4096u, 444u, 1u << 16}) {
    const Bytes data = Exchange(ReadRequest(0, length)).plain();
    ASSERT_EQ(data.size(), length);
    for (uint32_t i = 0; i < length; ++i) ASSERT_EQ(data[i], Pattern(i)) << length << " " << i;
  }
  const Bytes middle = Exchange(ReadRequest(440, 4)).plain();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(middle[i], Pattern(440 + i));

  // A client that writes a boot record gets the stamp from then on, and
  // loses it again when it writes something else.
  Bytes sector = PatternBytes(512);
  sector[510] = 0x55;
  sector[511] = 0xAA;
  ASSERT_EQ(Exchange(WriteRequest(0, sector)).header.status, REPLY_OK);
  EXPECT_EQ(LoadLe32(Exchange(ReadRequest(0, 512)).plain().data() + 440),
            static_cast<uint32_t>(kSocket));
  EXPECT_EQ(LoadLe32(Exchange(ReadRequest(440, 4)).plain().data()), static_cast<uint32_t>(kSocket));
  sector[511] = 0xAB;
  ASSERT_EQ(Exchange(WriteRequest(0, sector)).header.status, REPLY_OK);
  EXPECT_EQ(Exchange(ReadRequest(0, 512)).plain(), sector);
  EXPECT_EQ(Exchange(ReadRequest(440, 4)).plain(),
            Bytes(sector.begin() + 440, sector.begin() + 444));
}

// The end of sector 0 that a read leaves out is read where a transfer may
// wait: a socket worker waiting on a slow source (an RBD cluster) holds up
// every connection it serves. Whether the rest came from the page cache or
// from a block of the read cache.
TEST_F(ProcessorTest, TheEndOfSectorZeroIsReadOnlyWhereATransferMayWait) {
  for (const bool cached : {false, true}) {
    SCOPED_TRACE(cached);
    MakeImage(4 * kMiB, 10);
    MakeBootRecord();
    LogOn();
    if (cached) {
      OnlyTheDeviceHoldsTheBytes();
      ASSERT_EQ(Exchange(ReadRequest(0, 4096)).header.status, REPLY_OK);
      ASSERT_EQ(source_->cache()->Blocks().size(), 1u);
    }
    socket_worker_reads_ = 0;
    const Bytes stored = io_->bytes();
    for (const auto& [offset, length] :
         std::vector<std::pair<uint32_t, uint32_t>>{{0, 444}, {440, 4}, {256, 200}}) {
      SCOPED_TRACE(offset);
      Bytes expected(stored.begin() + offset, stored.begin() + offset + length);
      StampDiskSignature(offset, length, static_cast<uint32_t>(kSocket), expected.data());
      const Reply reply = Exchange(ReadRequest(offset, length));
      EXPECT_EQ(reply.header.status, REPLY_OK);
      EXPECT_EQ(reply.plain(), expected);
    }
    EXPECT_EQ(socket_worker_reads_, 0);
  }
}

TEST_F(ProcessorTest, SectorZeroWhoseEndCannotBeReadIsServedAsStored) {
  MakeImage(4 * kMiB, 10);
  MakeBootRecord();
  LogOn();
  OnlyTheDeviceHoldsTheBytes();
  ASSERT_EQ(Exchange(ReadRequest(0, 4096)).header.status, REPLY_OK);  // now cached
  MemoryIo::Faults faults;
  faults.try_would_block = true;
  faults.read_error = ERROR_READ_FAULT;
  SetFaults(faults);
  const Reply reply = Exchange(ReadRequest(0, 444));  // a cache hit; the end is not in it
  EXPECT_EQ(reply.header.status, REPLY_OK);
  EXPECT_EQ(reply.plain()[440], Pattern(440));
}

TEST_F(ProcessorTest, PartitionHeaderIsSynthesizedAndThePartitionFollowsUnstamped) {
  Make(source::SOURCE_VOLUME, 2 * kMiB, 0, 0x0B);
  LogOn();
  const Bytes sector0 = Exchange(ReadRequest(0, 512)).plain();
  Bytes expected(source_->sector0().begin(), source_->sector0().end());
  StoreLe32(expected.data() + 440, static_cast<uint32_t>(kSocket));
  EXPECT_EQ(sector0, expected);
  EXPECT_EQ(sector0[510], 0x55);
  EXPECT_EQ(sector0[511], 0xAA);
  EXPECT_EQ(sector0[446 + 4], 0x0B);

  const Bytes zeros = Exchange(ReadRequest(512, 32256 - 512 - 512)).plain();
  EXPECT_EQ(zeros, Bytes(zeros.size(), 0));
  const Bytes last_header = Exchange(ReadRequest(32256 - 512, 512)).plain();
  EXPECT_EQ(last_header, Bytes(512, 0));

  const Bytes first = Exchange(ReadRequest(kHeader, 512)).plain();
  for (int i = 0; i < 512; ++i) ASSERT_EQ(first[i], Pattern(i)) << i;  // 440.. not stamped
  EXPECT_EQ(io_->counts().writes, 0);
}

TEST_F(ProcessorTest, ReadAcrossThePartitionHeaderEdgeIsSplit) {
  Make(source::SOURCE_VOLUME, 2 * kMiB);
  LogOn();
  const Bytes data = Exchange(ReadRequest(kHeader - 1024, 4096)).plain();
  ASSERT_EQ(data.size(), 4096u);
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(data[i], 0) << i;
  for (int i = 1024; i < 4096; ++i) ASSERT_EQ(data[i], Pattern(i - 1024)) << i;
  // From offset 0 across the edge: sector 0 and zeros, then the partition.
  const Bytes whole = Exchange(ReadRequest(0, 65536)).plain();
  EXPECT_EQ(LoadLe32(whole.data() + 440), static_cast<uint32_t>(kSocket));
  EXPECT_EQ(whole[kHeader], Pattern(0));
  EXPECT_EQ(whole[65535], Pattern(65535 - kHeader));
}

TEST_F(ProcessorTest, CacheHitsServeReadsWithoutTheSourceAndAreStampedToo) {
  MakeImage(4 * kMiB, 10);
  MakeBootRecord();
  LogOn();
  OnlyTheDeviceHoldsTheBytes();
  const Bytes first = Exchange(ReadRequest(0, 4096)).plain();
  const MemoryIo::Counts filled = io_->counts();
  EXPECT_EQ(filled.cache_reads, 1);
  const Bytes again = Exchange(ReadRequest(0, 512)).plain();
  const Bytes next = Exchange(ReadRequest(4096, 4096)).plain();
  const MemoryIo::Counts after = io_->counts();
  EXPECT_EQ(after.reads + after.try_reads, filled.reads + filled.try_reads);
  EXPECT_EQ(LoadLe32(again.data() + 440), static_cast<uint32_t>(kSocket));
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 512), again);
  EXPECT_EQ(next[0], Pattern(4096));
}

// Bytes the page cache holds are read from there: filling a 1 MiB block
// for each such read made random reads several times slower than no cache.
TEST_F(ProcessorTest, ReadsOfBytesInMemoryNeitherFillNorAgeTheCache) {
  MakeImage(8 * kMiB, 10);
  LogOn();
  OnlyTheDeviceHoldsTheBytes();
  ASSERT_EQ(Exchange(ReadRequest(kMiB, 4096)).header.status, REPLY_OK);
  ASSERT_EQ(source_->cache()->Blocks().size(), 1u);
  const uint32_t score = source_->cache()->Blocks().front().score;
  SetFaults(MemoryIo::Faults{});  // now everything is in memory
  for (const uint64_t at : std::vector<uint64_t>{0, 3 * kMiB, 5 * kMiB + 512, 7 * kMiB}) {
    const Bytes data = Exchange(ReadRequest(at, 4096)).plain();
    ASSERT_EQ(data.size(), 4096u);
    EXPECT_EQ(data[100], Pattern(at + 100));
  }
  EXPECT_EQ(io_->counts().cache_reads, 1);
  ASSERT_EQ(source_->cache()->Blocks().size(), 1u);
  EXPECT_EQ(source_->cache()->Blocks().front().score, score);
  // A hit is still served from the block.
  const MemoryIo::Counts before = io_->counts();
  EXPECT_EQ(Exchange(ReadRequest(kMiB + 8192, 4096)).plain()[0], Pattern(kMiB + 8192));
  EXPECT_EQ(io_->counts().try_reads, before.try_reads);
}

TEST_F(ProcessorTest, ReadFailures) {
  MakeImage();
  LogOn();
  MemoryIo::Faults faults;
  faults.try_would_block = true;  // the transfer runs on a file worker and fails there
  faults.read_error = ERROR_READ_FAULT;
  SetFaults(faults);
  Reply reply = Exchange(ReadRequest(8192, 4096));
  EXPECT_EQ(reply.header.status, REPLY_FAILED);
  EXPECT_EQ(reply.header.length, 0u);
  EXPECT_TRUE(reply.data.empty());

  faults = {};
  faults.try_error = ERROR_IO_DEVICE;  // the transfer cannot be started
  SetFaults(faults);
  reply = Exchange(ReadRequest(8192, 4096));
  EXPECT_EQ(reply.header.status, ERROR_IO_DEVICE & 0xFFFF);
  EXPECT_EQ(reply.header.length, 0u);
  EXPECT_TRUE(reply.data.empty());
}

TEST_F(ProcessorTest, ShortTransfersAreContinuedUntilDone) {
  MakeImage();
  LogOn();
  MemoryIo::Faults faults;
  faults.max_transfer = 1000;
  SetFaults(faults);
  const Bytes data = Exchange(ReadRequest(3 * kMiB + 512, 65536)).plain();
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], Pattern(3 * kMiB + 512 + i)) << i;
  Bytes payload(30000, 0x77);
  EXPECT_EQ(Exchange(WriteRequest(kMiB, payload)).header.status, REPLY_OK);
  const Bytes disk = io_->bytes();
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), disk.begin() + kMiB));
  EXPECT_EQ(disk[kMiB + 30000], Pattern(kMiB + 30000));
}

TEST_F(ProcessorTest, TransferThatEndsEarlyFails) {
  // The source holds less than the size it was opened with (it shrank).
  auto io = std::make_unique<MemoryIo>(PatternBytes(kMiB));
  io_ = io.get();
  source_ = std::make_unique<source::DiskSource>(source::SOURCE_IMAGE_FILE, 2 * kMiB, 0,
                                                 std::move(io), 0);
  ServerConfig config{};
  std::memcpy(config.ManagePassword, PasswordDigest("manage").data(), kDigestSize);
  processor_ = std::make_unique<RequestProcessor>(*source_, config);
  io_record_ = std::make_unique<ConnectionBuffer>();
  c_.io = io_record_.get();
  step_ = processor_->Admit(c_, ACCESS_FULL);
  LogOn();
  const Reply reply = Exchange(ReadRequest(kMiB - 512, 4096));
  EXPECT_EQ(reply.header.status, REPLY_FAILED);
  EXPECT_EQ(reply.header.length, 0u);
  EXPECT_TRUE(reply.data.empty());
}

// ---- Writes

TEST_F(ProcessorTest, WritesNeedFullAccessAndALengthThatFits) {
  const struct {
    uint8_t admitted;
    const char* password;
    uint32_t length;
    uint16_t status;
  } rows[] = {
      {ACCESS_FULL, "login", 4096, REPLY_OK},
      {ACCESS_VIRTUAL_WRITE, "login", 4096, REPLY_DENIED},
      {ACCESS_VIRTUAL_WRITE, "manage", 4096, REPLY_OK},
      {ACCESS_FULL, "manage", 65536, REPLY_OK},
      {ACCESS_FULL, "manage", 65537, REPLY_DENIED},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.length);
    access_ = row.admitted;
    MakeImage();
    LogOn(row.password);
    const Reply reply = Exchange(WriteRequest(kMiB, Bytes(row.length, 0xC3)));
    EXPECT_EQ(reply.header.status, row.status);
    EXPECT_EQ(reply.header.length, row.length);
    EXPECT_EQ(reply.header.data_length, 0u);
    EXPECT_EQ(io_->bytes()[kMiB], row.status == REPLY_OK ? 0xC3 : Pattern(kMiB));
  }
}

TEST_F(ProcessorTest, WrittenBytesAreReadBackWhetherOrNotTheyWereCached) {
  for (bool cached_first : {false, true}) {
    SCOPED_TRACE(cached_first);
    MakeImage(4 * kMiB, 10);
    LogOn();
    OnlyTheDeviceHoldsTheBytes();
    if (cached_first) Exchange(ReadRequest(kMiB, 4096));
    ASSERT_EQ(source_->cache()->Blocks().size(), cached_first ? 1u : 0u);
    Bytes payload(8192);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i ^ 0x5A);
    ASSERT_EQ(Exchange(WriteRequest(kMiB + 2048, payload)).header.status, REPLY_OK);
    const Bytes back = Exchange(ReadRequest(kMiB + 2048, 8192)).plain();
    EXPECT_EQ(back, payload);
    const Bytes around = Exchange(ReadRequest(kMiB, 2048)).plain();
    EXPECT_EQ(around[2047], Pattern(kMiB + 2047));
  }
}

TEST_F(ProcessorTest, WritesIntoThePartitionHeaderGoNowhere) {
  Make(source::SOURCE_VOLUME, 2 * kMiB);
  LogOn();
  const Reply reply = Exchange(WriteRequest(0, Bytes(512, 0xFF)));
  EXPECT_EQ(reply.header.status, REPLY_OK);
  EXPECT_EQ(reply.header.length, 512u);
  EXPECT_EQ(io_->counts().writes + io_->counts().try_writes, 0);
  const Bytes sector0 = Exchange(ReadRequest(0, 512)).plain();
  EXPECT_EQ(sector0[510], 0x55);
  EXPECT_EQ(sector0[0], source_->sector0()[0]);

  // Across the edge: the header part is dropped, the rest lands at 0.
  Bytes payload(1024);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i / 4);
  ASSERT_EQ(Exchange(WriteRequest(kHeader - 512, payload)).header.status, REPLY_OK);
  const Bytes disk = io_->bytes();
  EXPECT_TRUE(std::equal(payload.begin() + 512, payload.end(), disk.begin()));
  EXPECT_EQ(disk[512], Pattern(512));
}

TEST_F(ProcessorTest, WriteFailures) {
  MakeImage();
  LogOn();
  std::vector<std::string> lines;
  std::vector<platform::ConsolePriority> priorities;
  platform::SetConsoleLogSinkForTesting(
      [&](platform::ConsolePriority priority, std::string_view line) {
        priorities.push_back(priority);
        lines.emplace_back(line);
      });

  MemoryIo::Faults faults;
  faults.try_would_block = true;
  faults.write_error = ERROR_WRITE_FAULT;
  SetFaults(faults);
  Reply reply = Exchange(WriteRequest(0, Bytes(4096, 1)));
  EXPECT_EQ(reply.header.status, REPLY_FAILED);
  EXPECT_EQ(reply.header.length, 0u);

  faults = {};
  faults.try_error = ERROR_ACCESS_DENIED;
  SetFaults(faults);
  reply = Exchange(WriteRequest(0, Bytes(4096, 1)));
  EXPECT_EQ(reply.header.status, REPLY_FAILED);
  EXPECT_EQ(reply.header.length, 0u);

  faults = {};
  faults.full_at = 3 * kMiB + 1000;  // the disk fills up part way
  SetFaults(faults);
  reply = Exchange(WriteRequest(3 * kMiB, Bytes(4096, 2)));
  EXPECT_EQ(reply.header.status, REPLY_FAILED);
  EXPECT_EQ(reply.header.length, 0u);
  platform::SetConsoleLogSinkForTesting(nullptr);
  // Said once for the three within a second.
  EXPECT_EQ(lines, std::vector<std::string>{
                       "write file error 1D The system cannot write to the specified device. "
                       "(export 60123, offset 0)\n"});
  EXPECT_EQ(priorities, std::vector<platform::ConsolePriority>{platform::ConsolePriority::kError});

  // The connection carries on.
  SetFaults({});
  EXPECT_EQ(Exchange(WriteRequest(0, Bytes(4096, 3))).header.status, REPLY_OK);
}

// A disk that fills up fails every write: the console says why, with the
// system's words, at most once a second however many writes fail.
TEST_F(ProcessorTest, AFullDiskIsSaidOnceASecond) {
  MakeImage();
  LogOn();
  std::mutex mu;
  std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> lines;
  platform::SetConsoleSinkForTesting([&](std::string_view line) {
    std::scoped_lock lock(mu);
    lines.emplace_back(std::chrono::steady_clock::now(), line);
  });
  MemoryIo::Faults faults;
  faults.full_at = 2 * kMiB + 512;
  SetFaults(faults);
  int failed = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    EXPECT_EQ(Exchange(WriteRequest(2 * kMiB, Bytes(4096, 9))).header.status, REPLY_FAILED);
    ++failed;
    std::scoped_lock lock(mu);
    if (lines.size() >= 2 || std::chrono::steady_clock::now() > deadline) break;
  }
  platform::SetConsoleSinkForTesting(nullptr);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_GT(failed, 2);
  // The processor reads its clock before it writes a line, this sink after:
  // the gap seen here may fall short of its second by the time a line takes
  // to make, never by more than a few milliseconds.
  EXPECT_GE(lines[1].first - lines[0].first,
            std::chrono::seconds(1) - std::chrono::milliseconds(10));
  // The write moved 512 bytes, then found no room at 2 MiB + 512.
  EXPECT_EQ(lines[0].second,
            "write file error 70 No space left on device (export 60123, offset 2097664)\n");
}

TEST_F(ProcessorTest, ZeroLengthWriteSucceedsAndWritesNothing) {
  MakeImage();
  LogOn();
  const Reply reply = Exchange(WriteRequest(512, Bytes()));
  EXPECT_EQ(reply.header.status, REPLY_OK);
  EXPECT_EQ(reply.header.length, 0u);
  EXPECT_EQ(io_->counts().writes + io_->counts().try_writes, 0);
}

// ---- Flushes

// Only a connection that may write may flush; the refusal costs no sync.
TEST_F(ProcessorTest, FlushNeedsALogOnAndFullAccess) {
  MakeImage();
  Reply reply = Exchange(FlushRequest());
  EXPECT_EQ(reply.header.status, REPLY_DENIED);
  EXPECT_EQ(reply.header.length, 0u);
  EXPECT_EQ(Exchange(LoginRequest("wrong")).header.status, REPLY_DENIED);
  EXPECT_EQ(Exchange(FlushRequest()).header.status, REPLY_DENIED);  // refused
  access_ = ACCESS_VIRTUAL_WRITE;
  MakeImage();
  LogOn("login");
  EXPECT_EQ(Exchange(FlushRequest()).header.status, REPLY_DENIED);
  EXPECT_EQ(io_->counts().flushes, 0);

  LogOn("manage");
  ASSERT_EQ(Exchange(WriteRequest(4096, Bytes(4096, 5))).header.status, REPLY_OK);
  reply = Exchange(FlushRequest());
  EXPECT_EQ(reply.header.status, REPLY_OK);
  EXPECT_EQ(reply.header.length, 0u);
  EXPECT_EQ(reply.header.data_length, 0u);
  EXPECT_EQ(io_->counts().flushes, 1);
  // The next request is parsed as usual.
  EXPECT_EQ(Exchange(ReadRequest(4096, 512)).plain(), Bytes(512, 5));
}

TEST_F(ProcessorTest, AFailingSyncFailsTheFlushAndSaysWhy) {
  MakeImage();
  LogOn();
  std::vector<std::string> lines;
  std::vector<platform::ConsolePriority> priorities;
  platform::SetConsoleLogSinkForTesting(
      [&](platform::ConsolePriority priority, std::string_view line) {
        priorities.push_back(priority);
        lines.emplace_back(line);
      });
  MemoryIo::Faults faults;
  faults.flush_error = ERROR_IO_DEVICE;
  SetFaults(faults);
  const Reply reply = Exchange(FlushRequest());
  EXPECT_EQ(reply.header.status, REPLY_FAILED);
  EXPECT_EQ(reply.header.length, 0u);
  // Data may have been dropped with the failed write-back: a sound source
  // afterwards cannot vouch for it, so later flushes fail too.
  SetFaults({});
  EXPECT_EQ(Exchange(FlushRequest()).header.status, REPLY_FAILED);
  platform::SetConsoleLogSinkForTesting(nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "flush error 45D Input/output error (export 60123, source /srv/test.img)\n");
  EXPECT_EQ(priorities[0], platform::ConsolePriority::kError);
  EXPECT_EQ(io_->counts().flushes, 1);
  // Reads and writes go on.
  EXPECT_EQ(Exchange(WriteRequest(0, Bytes(512, 4))).header.status, REPLY_OK);
  EXPECT_EQ(Exchange(ReadRequest(0, 512)).plain(), Bytes(512, 4));
}

// ---- Figures

ServerStats Figures(const EngineStats& stats) {
  ServerStats figures{};
  stats.Sum(figures);
  return figures;
}

// N reads of K bytes and M writes give exactly those figures; a refused or
// failed request is an error and moves no bytes; a request that arrives in
// pieces counts once.
TEST_F(ProcessorTest, FiguresCountEachAnsweredRequestOnce) {
  MakeImage();
  LogOn();
  constexpr int kReads = 7, kWrites = 3;
  constexpr uint32_t kLength = 4096;
  for (int i = 0; i < kReads; ++i) {
    ASSERT_EQ(Exchange(ReadRequest(uint64_t{kLength} * i, kLength), 5).header.status, REPLY_OK);
  }
  for (int i = 0; i < kWrites; ++i) {
    ASSERT_EQ(Exchange(WriteRequest(kMiB + 8192 * i, Bytes(8192, 1)), 1000).header.status,
              REPLY_OK);
  }
  EXPECT_EQ(QueriedAccess(), ACCESS_FULL);
  ASSERT_EQ(Exchange(ReadRequest(4 * kMiB, 512)).header.status, REPLY_FAILED);  // past the end
  ASSERT_EQ(Exchange(WriteRequest(0, Bytes(kMaxTransfer + 512, 1))).header.status, REPLY_DENIED);
  ASSERT_EQ(Exchange(LoginRequest("wrong")).header.status, REPLY_DENIED);
  ASSERT_EQ(Exchange(ReadRequest(0, 512)).header.status, REPLY_DENIED);  // refused now

  ServerStats figures = Figures(stats_);
  EXPECT_EQ(figures.Reads, kReads + 2u);
  EXPECT_EQ(figures.Writes, kWrites + 1u);
  EXPECT_EQ(figures.OtherRequests, 3u);  // two log-ons and the query
  EXPECT_EQ(figures.BytesRead, uint64_t{kReads} * kLength);
  EXPECT_EQ(figures.BytesWritten, uint64_t{kWrites} * 8192);
  EXPECT_EQ(figures.Errors, 4u);
  EXPECT_EQ(figures.RecentRequests, kReads + kWrites + 6u);
  EXPECT_EQ(figures.CacheHits + figures.CacheFills, 0u);  // no cache

  Bytes unknown = QueryRequest();
  unknown[0] = 0x88;  // no command
  EXPECT_TRUE(Feed(unknown).empty());
  EXPECT_TRUE(closed_);
  figures = Figures(stats_);
  EXPECT_EQ(figures.Errors, 5u);
  EXPECT_EQ(figures.RecentRequests, kReads + kWrites + 6u);  // no answer, no latency
}

// Reads that must come from the device: the first one of a 1 MiB stretch
// fills a block, the rest of the stretch hits it. Bytes in memory touch the
// cache not at all.
TEST_F(ProcessorTest, FiguresCountCacheFillsAndHits) {
  MakeImage(8 * kMiB, 10);
  LogOn();
  OnlyTheDeviceHoldsTheBytes();
  for (const uint64_t at : std::vector<uint64_t>{kMiB, kMiB + 4096, kMiB + 65536, 3 * kMiB,
                                                 kMiB + 512, 3 * kMiB + kMiB - 4096}) {
    ASSERT_EQ(Exchange(ReadRequest(at, 4096)).header.status, REPLY_OK) << at;
  }
  ServerStats figures = Figures(stats_);
  EXPECT_EQ(figures.CacheFills, 2u);
  EXPECT_EQ(figures.CacheHits, 4u);
  EXPECT_EQ(io_->counts().cache_reads, 2);

  SetFaults(MemoryIo::Faults{});
  ASSERT_EQ(Exchange(ReadRequest(6 * kMiB, 4096)).header.status, REPLY_OK);    // from memory
  ASSERT_EQ(Exchange(ReadRequest(kMiB + 8192, 512)).header.status, REPLY_OK);  // a block holds it
  figures = Figures(stats_);
  EXPECT_EQ(figures.CacheFills, 2u);
  EXPECT_EQ(figures.CacheHits, 5u);
  EXPECT_EQ(figures.Reads, 8u);
}

TEST(StampTest, OnlyTheCoveredSignatureBytesChange) {
  Bytes data(1024, 0);
  StampDiskSignature(442, 10, 0x44332211, data.data());  // covers 442 and 443
  EXPECT_EQ(data[0], 0x33);
  EXPECT_EQ(data[1], 0x44);
  EXPECT_EQ(data[2], 0);
  Bytes other(16, 0);
  StampDiskSignature(444, 16, 0x44332211, other.data());
  EXPECT_EQ(other, Bytes(16, 0));
}

}  // namespace
}  // namespace quensaria::engine
