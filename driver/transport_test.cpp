#include "driver/transport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "driver/block_server_for_testing.h"
#include "driver/debug_print.h"
#include "shared/password_digest.h"

namespace quensaria::driver {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t kDiskSize = 1 << 20;

// Captures the driver's debug lines.
class DebugLines {
 public:
  DebugLines() {
    SetDebugSinkForTesting([this](std::string_view line) {
      std::scoped_lock lock(mu_);
      lines_.emplace_back(line);
    });
  }
  ~DebugLines() { SetDebugSinkForTesting({}); }
  std::vector<std::string> lines() {
    std::scoped_lock lock(mu_);
    return lines_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

class TransportTest : public ::testing::Test {
 protected:
  // A short reply timeout, for the tests of silent servers.
  void SetUp() override { Open(300ms); }
  void Open(std::chrono::milliseconds reply_timeout) {
    TransportOptions options;
    options.connect_timeout = 2000ms;
    options.reply_timeout = reply_timeout;
    endpoint_ = std::make_unique<TransportEndpoint>(options);
    ASSERT_EQ(STATUS_SUCCESS, endpoint_->Connect(server_.address(), server_.port()));
  }

  NtStatus LogOn(std::string_view password = "") {
    const Sha1Digest digest = PasswordDigest(password);
    return endpoint_->Login(digest.data(), digest.size());
  }
  // The query, into *query when it succeeds.
  NtStatus Query(QueryData* query) {
    const NtResult<QueryData> r = endpoint_->QueryDevice();
    if (r.ok()) *query = r.value();
    return r.status();
  }
  std::vector<uint8_t> ServerBytes(uint64_t offset, size_t length) {
    const auto disk = server_.Disk();
    return {disk.begin() + static_cast<long>(offset),
            disk.begin() + static_cast<long>(offset + length)};
  }

  DebugLines debug_;
  FakeBlockServer server_{kDiskSize};
  std::unique_ptr<TransportEndpoint> endpoint_;
};

TEST_F(TransportTest, LoginTestsOnlyTheStatusWord) {
  server_.SetPassword(PasswordDigest("secret"));
  EXPECT_EQ(STATUS_WRONG_PASSWORD, LogOn("wrong"));
  server_.SetReplyReserved(0xBEEF);  // bytes 2..3 mean nothing
  EXPECT_EQ(STATUS_SUCCESS, LogOn("secret"));
}

TEST_F(TransportTest, LoginWithADigestOfTheWrongSizeSendsNothing) {
  const Sha1Digest digest = PasswordDigest("");
  EXPECT_EQ(STATUS_WRONG_PASSWORD, endpoint_->Login(digest.data(), 19));
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(TransportTest, QueryGivesSizeAndAccessAndLogsTheSize) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  QueryData query;
  ASSERT_EQ(STATUS_SUCCESS, Query(&query));
  EXPECT_EQ(kDiskSize, query.disk_size);
  EXPECT_EQ(ACCESS_VIRTUAL_WRITE, query.access);
  EXPECT_EQ(std::vector<std::string>{"device size is 1048576 0 16"}, debug_.lines());
}

TEST_F(TransportTest, QueryWithAWrongDataLengthFailsAndDropsTheStream) {
  server_.SetQueryDataLength(8);
  QueryData query;
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, Query(&query));
  EXPECT_EQ(std::vector<std::string>{"Query Device Information error !"}, debug_.lines());
  // Eight bytes nobody asked for are in the stream: it cannot be used again.
  uint8_t data[512];
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, endpoint_->ReadChunk(0, 512, data));
}

// A failure status is no disk, whatever data comes with it; the data,
// unread, would be taken for the next reply.
TEST_F(TransportTest, AQueryAnsweredWithAFailureStatusFailsAndDropsTheStream) {
  server_.MangleReplies(CMD_QUERY, FakeBlockServer::Mangle::kWrongStatus);
  QueryData query;
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, Query(&query));
  server_.MangleReplies(CMD_QUERY, FakeBlockServer::Mangle::kNone);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Query(&query));
}

// A log-on reply carries no data: bytes after it would be read as the reply
// of the next request, and that request's own reply as the one after.
TEST_F(TransportTest, ALogOnReplyCarryingDataFailsAndDropsTheStream) {
  server_.MangleReplies(CMD_LOGIN, FakeBlockServer::Mangle::kWrongLength);
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, LogOn());
  server_.MangleReplies(CMD_LOGIN, FakeBlockServer::Mangle::kNone);
  QueryData query;
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Query(&query));
}

TEST_F(TransportTest, ReadChunksArriveDescrambled) {
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  const struct {
    uint64_t offset;
    uint32_t length;
  } cases[] = {{0, 512}, {4096, 13}, {1000, 7}, {65536, 65536}, {kDiskSize - 512, 512}};
  for (const auto& c : cases) {
    std::vector<uint8_t> data(c.length);
    ASSERT_EQ(STATUS_SUCCESS, endpoint_->ReadChunk(c.offset, c.length, data.data()))
        << "offset " << c.offset;
    EXPECT_EQ(ServerBytes(c.offset, c.length), data) << "offset " << c.offset;
  }
}

TEST_F(TransportTest, RepliesInOneBytePiecesAreAssembled) {
  // A reply that trickles in byte by byte takes a while on a busy machine;
  // what is tested here is the assembly, not the timeout.
  Open(30s);
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  server_.SetReplyPieces(1);
  std::vector<uint8_t> data(600);
  ASSERT_EQ(STATUS_SUCCESS, endpoint_->ReadChunk(512, 600, data.data()));
  EXPECT_EQ(ServerBytes(512, 600), data);
  QueryData query;
  ASSERT_EQ(STATUS_SUCCESS, Query(&query));
  EXPECT_EQ(kDiskSize, query.disk_size);
}

TEST_F(TransportTest, RefusedReadFailsAtOnceAndKeepsTheConnection) {
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  server_.RefuseReads(true);
  std::vector<uint8_t> data(4096);
  // A refusal carries no data; waiting for some would end in STATUS_IO_TIMEOUT.
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, endpoint_->ReadChunk(0, 4096, data.data()));
  server_.RefuseReads(false);
  EXPECT_EQ(STATUS_SUCCESS, endpoint_->ReadChunk(0, 4096, data.data()));
}

TEST_F(TransportTest, AShortReadFailsAndDropsTheStream) {
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  server_.ShortenReads(512);
  std::vector<uint8_t> data(4096, 0xEE);
  // Whatever of the short reply came with its header is in `data`, which a
  // failed read leaves unspecified: the failure is what is handed on.
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, endpoint_->ReadChunk(0, 4096, data.data()));
  // The 3584 bytes that came along would be taken for the next reply.
  server_.ShortenReads(0);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, endpoint_->ReadChunk(0, 4096, data.data()));
  ASSERT_EQ(STATUS_SUCCESS, endpoint_->Connect(server_.address(), server_.port()));
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  EXPECT_EQ(STATUS_SUCCESS, endpoint_->ReadChunk(0, 4096, data.data()));
  EXPECT_EQ(ServerBytes(0, 4096), data);
}

TEST_F(TransportTest, ReadsBeforeALogOnAreRefused) {
  std::vector<uint8_t> data(512);
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, endpoint_->ReadChunk(0, 512, data.data()));
}

TEST_F(TransportTest, WritesReachTheServerUnlessRefused) {
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  std::vector<uint8_t> data(65536);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3 + 1);
  ASSERT_EQ(STATUS_SUCCESS, endpoint_->WriteChunk(8192, 65536, data.data()));
  EXPECT_EQ(data, ServerBytes(8192, 65536));
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, endpoint_->WriteChunk(0, 512, data.data()));
  EXPECT_NE(std::vector<uint8_t>(data.begin(), data.begin() + 512), ServerBytes(0, 512));
}

// A refused write's reply announcing data leaves bytes that belong to no
// reply, even when they are not there yet as the next request leaves.
TEST_F(TransportTest, AFailedWriteReplyAnnouncingDataDropsTheStream) {
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  server_.MangleReplies(CMD_WRITE, FakeBlockServer::Mangle::kLateData);
  const std::vector<uint8_t> block(4096, 0x5C);
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, endpoint_->WriteChunk(0, 4096, block.data()));
  server_.MangleReplies(CMD_WRITE, FakeBlockServer::Mangle::kNone);
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, endpoint_->ReadChunk(0, 4096, data.data()));
}

TEST_F(TransportTest, APeerThatResetBeforeTheChunkIsReportedBeforeSending) {
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  server_.ResetConnections();
  server_.ClearRequests();
  std::vector<uint8_t> data(512);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, endpoint_->ReadChunk(0, 512, data.data()));
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_EQ(std::vector<std::string>{"Read Send Error C0000184"}, debug_.lines());
}

TEST_F(TransportTest, AResetInTheMiddleOfAnExchangeIsAConnectionReset) {
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  server_.ResetAtRequest(1);
  std::vector<uint8_t> data(512, 7);
  EXPECT_EQ(STATUS_CONNECTION_RESET, endpoint_->WriteChunk(0, 512, data.data()));
  EXPECT_EQ(std::vector<std::string>{"Write Recv Error C000020D"}, debug_.lines());
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, endpoint_->ReadChunk(0, 512, data.data()));
}

TEST_F(TransportTest, ASilentServerTimesOutAndTheConnectionIsLost) {
  ASSERT_EQ(STATUS_SUCCESS, LogOn());
  server_.SetSilent(true);
  std::vector<uint8_t> data(512);
  EXPECT_EQ(STATUS_IO_TIMEOUT, endpoint_->ReadChunk(0, 512, data.data()));
  EXPECT_EQ(std::vector<std::string>{"Read Recv Error C00000B5"}, debug_.lines());
  // A late reply would land in the next exchange: the next one reconnects.
  server_.SetSilent(false);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, endpoint_->ReadChunk(0, 512, data.data()));
}

TEST_F(TransportTest, ConnectingAgainGivesAFreshStream) {
  server_.SetSilent(true);
  QueryData query;
  EXPECT_EQ(STATUS_IO_TIMEOUT, Query(&query));
  server_.SetSilent(false);
  ASSERT_EQ(STATUS_SUCCESS, endpoint_->Connect(server_.address(), server_.port()));
  EXPECT_EQ(STATUS_SUCCESS, Query(&query));
  EXPECT_EQ(2, server_.Connections());
}

TEST(TransportConnectTest, AClosedPortIsRefused) {
  DebugLines debug;
  uint16_t port;
  uint32_t address;
  {
    FakeBlockServer gone(4096);
    port = gone.port();
    address = gone.address();
  }
  TransportEndpoint endpoint({});
  EXPECT_EQ(STATUS_CONNECTION_REFUSED, endpoint.Connect(address, port));
  uint8_t data[512];
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, endpoint.ReadChunk(0, 512, data));
  EXPECT_EQ(std::vector<std::string>{"Read Send Error C0000184"}, debug.lines());
}

}  // namespace
}  // namespace quensaria::driver
