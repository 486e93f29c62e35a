#include "service/engine/request_processor.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/system_info.h"
#include "shared/bytes.h"
#include "shared/dotted_ipv4.h"
#include "shared/scramble.h"
#include "shared/win32_error.h"

namespace quensaria::engine {
namespace {

constexpr uint32_t kReplyData = kReplyHeaderSize;       // read data starts here
constexpr uint32_t kWritePayload = kRequestHeaderSize;  // write payload starts here

void SetWindow(ConnectionBuffer& io, uint32_t offset, size_t length) {
  io.socket_op.data = io.buffer + offset;
  io.socket_op.length = length;
}

// A stored digest of 20 zero bytes is no password at all.
bool Matches(const uint8_t* digest, const std::array<uint8_t, kDigestSize>& stored) {
  const bool none = std::all_of(stored.begin(), stored.end(), [](uint8_t b) { return b == 0; });
  return !none && std::memcmp(digest, stored.data(), kDigestSize) == 0;
}

// True at most once a second for one `last`: a failing disk fails every
// request, and one line a second says it as well as thousands would.
bool OncePerSecond(std::atomic<int64_t>& last) {
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t seen = last.load(std::memory_order_relaxed);
  if (seen != 0 && now - seen < 1'000'000'000) return false;
  return last.compare_exchange_strong(seen, now, std::memory_order_relaxed);
}

}  // namespace

void StampDiskSignature(uint64_t offset, uint32_t length, uint32_t stamp, uint8_t* data) {
  uint8_t bytes[4];
  StoreLe32(bytes, stamp);
  for (uint64_t at = kDiskSignatureOffset; at < kDiskSignatureOffset + 4; ++at) {
    if (at >= offset && at < offset + length) data[at - offset] = bytes[at - kDiskSignatureOffset];
  }
}

RequestProcessor::RequestProcessor(source::DiskSource& source, const ServerConfig& settings,
                                   EngineStats* stats)
    : source_(source),
      stats_(stats),
      port_(settings.Port),
      source_name_(settings.Source, strnlen(settings.Source, sizeof settings.Source)),
      boot_id_(platform::BootIdentity()) {
  std::memcpy(password_.data(), settings.Password, kDigestSize);
  std::memcpy(manage_password_.data(), settings.ManagePassword, kDigestSize);
}

// A source that cannot be written serves nobody at full access: such a
// client keeps its writes in its own cache, as at virtual write.
uint32_t RequestProcessor::Capped(uint32_t access) const {
  return access == ACCESS_FULL && source_.read_only() ? ACCESS_VIRTUAL_WRITE : access;
}

Step RequestProcessor::Admit(Connection& c, uint8_t access) {
  c.access = Capped(access);
  c.logged_on = 0;
  c.stamp = static_cast<uint32_t>(c.socket);
  c.file_transfer.port.key = &c;
  c.io->operation = kOperationReceive;
  c.io->bytes_received = 0;
  SetWindow(*c.io, 0, kRequestHeaderSize);
  return Step::kReceive;
}

Step RequestProcessor::Received(Connection& c, size_t bytes) {
  ConnectionBuffer& io = *c.io;
  if (io.bytes_received < kRequestHeaderSize) {
    if (io.bytes_received == 0 && stats_ != nullptr) c.request_started = StatsClock::now();
    io.bytes_received += static_cast<uint32_t>(bytes);
    if (io.bytes_received < kRequestHeaderSize) {
      SetWindow(io, io.bytes_received, kRequestHeaderSize - io.bytes_received);
      return Step::kReceive;
    }
    c.request = ParseRequestHeader(io.buffer);
    c.payload_discarded = 0;
    return Dispatch(c);
  }
  // A write payload: kept in the buffer, or dropped when too long for it.
  if (c.request.length > kMaxTransfer) {
    c.payload_discarded += static_cast<uint32_t>(bytes);
  } else {
    io.bytes_received += static_cast<uint32_t>(bytes);
  }
  return ReceivePayload(c);
}

void RequestProcessor::TlsSessionOpened(Connection& c, bool manage) {
  c.tls = kTlsSession;
  c.logged_on = 1;
  if (manage) c.access = Capped(ACCESS_FULL);
  c.log_on_to_report = true;
}

// A plain client at a TLS export is told so in a reply it can read; a TLS
// client at a plain export gets an alert its handshake understands. Either
// way the connection then closes, in order, so the answer arrives.
Step RequestProcessor::RefuseTlsMismatch(Connection& c) {
  const DottedIpv4 client = FormatIpv4(c.client_address);
  c.close_after_reply = true;
  if (stats_ != nullptr) stats_->EndedByClose();
  if (c.tls == kTlsMissing) {
    platform::ConsoleLog(platform::ConsolePriority::kNotice,
                         "client %s: plain request on TLS export port %u, answered "
                         "REPLY_TLS_REQUIRED, connection closed\n",
                         client.c_str(), port_);
    return Reply(c, REPLY_TLS_REQUIRED, 0, 0);
  }
  platform::ConsoleLog(
      platform::ConsolePriority::kNotice,
      "client %s: TLS handshake on plain export port %u, refused, connection closed\n",
      client.c_str(), port_);
  ConnectionBuffer& io = *c.io;
  std::memcpy(io.buffer, kPlainExportTlsAlert.data(), kPlainExportTlsAlert.size());
  io.operation = kOperationSend;
  io.total = static_cast<uint32_t>(kPlainExportTlsAlert.size());
  io.bytes_sent = 0;
  SetWindow(io, 0, io.total);
  return Step::kSend;
}

Step RequestProcessor::Dispatch(Connection& c) {
  if (c.tls == kTlsMissing || (c.tls == kTlsOff && c.request.command == kTlsHandshakeByte)) {
    return RefuseTlsMismatch(c);
  }
  switch (c.request.command) {
    case CMD_READ:
      return HandleRead(c);
    case CMD_WRITE:
      return ReceivePayload(c);
    case CMD_QUERY:
      return HandleQuery(c);
    case CMD_LOGIN:
      return HandleLogin(c);
    case CMD_FLUSH:
      return HandleFlush(c);
    case CMD_SOURCE_ID:
      return HandleSourceId(c);
    default:
      if (stats_ != nullptr) stats_->EndedByClose();
      return Step::kClose;
  }
}

Step RequestProcessor::ReceivePayload(Connection& c) {
  ConnectionBuffer& io = *c.io;
  const uint32_t length = c.request.length;
  if (length > kMaxTransfer) {
    if (c.payload_discarded == length) return HandleWrite(c);
    SetWindow(io, kWritePayload, std::min<uint32_t>(length - c.payload_discarded, kMaxTransfer));
    return Step::kReceive;
  }
  const uint32_t have = io.bytes_received - kWritePayload;
  if (have == length) return HandleWrite(c);
  SetWindow(io, io.bytes_received, length - have);
  return Step::kReceive;
}

Step RequestProcessor::Sent(Connection& c, size_t bytes) {
  ConnectionBuffer& io = *c.io;
  io.bytes_sent += static_cast<uint32_t>(bytes);
  if (io.bytes_sent < io.total) {
    SetWindow(io, io.bytes_sent, io.total - io.bytes_sent);
    return Step::kSend;
  }
  if (c.close_after_reply) return Step::kClose;
  if (stats_ != nullptr) {
    stats_->Answered(c.request.command, ParseReplyHeader(io.buffer).status, c.request.length,
                     c.request_started, StatsClock::now());
  }
  io.operation = kOperationReceive;
  io.bytes_received = 0;
  SetWindow(io, 0, kRequestHeaderSize);
  return Step::kReceive;
}

Step RequestProcessor::Reply(Connection& c, uint16_t status, uint32_t length,
                             uint32_t data_length) {
  ConnectionBuffer& io = *c.io;
  EncodeReplyHeader(ReplyHeader{status, length, data_length}, io.buffer);
  io.operation = kOperationSend;
  io.total = static_cast<uint32_t>(kReplyHeaderSize) + data_length;
  io.bytes_sent = 0;
  SetWindow(io, 0, io.total);
  return Step::kSend;
}

bool RequestProcessor::InDisk(uint64_t offset, uint32_t length) const {
  const uint64_t size = source_.disk_size();
  return offset <= size && length <= size - offset;
}

// Inside a TLS session the handshake was the log-on: a CMD_LOGIN changes
// nothing (no digest need cross even an encrypted wire, and only the
// management identity lifts a session to full access).
Step RequestProcessor::HandleLogin(Connection& c) {
  if (c.tls == kTlsSession) return Reply(c, REPLY_OK, 0, 0);
  const uint8_t* digest = LoginDigest(c.io->buffer);
  if (Matches(digest, password_)) {
    c.logged_on = 1;
  } else if (Matches(digest, manage_password_)) {
    c.logged_on = 1;
    c.access = Capped(ACCESS_FULL);
  } else {
    c.logged_on = 0;
    c.access = ACCESS_REFUSED;
    return Reply(c, REPLY_DENIED, 0, 0);
  }
  c.log_on_to_report = true;
  return Reply(c, REPLY_OK, 0, 0);
}

Step RequestProcessor::HandleQuery(Connection& c) {
  EncodeQueryData(QueryData{static_cast<uint8_t>(c.access), source_.disk_size(),
                            QUERY_FLAG_FLUSH | QUERY_FLAG_SOURCE_ID, boot_id_},
                  c.io->buffer + kReplyData);
  return Reply(c, REPLY_OK, kQueryDataSize, kQueryDataSize);
}

// Which shared source this is tells a client whom else it may write
// through; like the disk's bytes, only to one that logged on.
Step RequestProcessor::HandleSourceId(Connection& c) {
  if (c.access == ACCESS_REFUSED || !c.logged_on) return Reply(c, REPLY_DENIED, 0, 0);
  std::memcpy(c.io->buffer + kReplyData, source_.source_id().data(), kSourceIdSize);
  return Reply(c, REPLY_OK, kSourceIdSize, kSourceIdSize);
}

// The header in front of a partition: sector 0, then zeros.
void RequestProcessor::SynthesizeHeader(uint64_t offset, uint32_t length, uint8_t* data) const {
  std::memset(data, 0, length);
  if (offset < kSectorSize) {
    const size_t n = std::min<uint64_t>(length, kSectorSize - offset);
    std::memcpy(data, source_.sector0().data() + offset, n);
  }
}

Step RequestProcessor::HandleRead(Connection& c) {
  const uint64_t offset = c.request.offset;
  const uint32_t length = c.request.length;
  if (c.access == ACCESS_REFUSED || !c.logged_on) return Reply(c, REPLY_DENIED, length, 0);
  if (length > kMaxTransfer) return Reply(c, REPLY_FAILED, length, 0);
  if (!InDisk(offset, length)) return Reply(c, REPLY_FAILED, 0, 0);
  if (length == 0) return Reply(c, REPLY_OK, 0, 0);

  uint8_t* data = c.io->buffer + kReplyData;
  uint32_t synthesized = 0;
  if (offset < source_.header_size()) {
    synthesized = static_cast<uint32_t>(std::min<uint64_t>(length, source_.header_size() - offset));
    SynthesizeHeader(offset, synthesized, data);
    if (synthesized == length) return FinishRead(c);
  }
  const uint64_t position = source_.TranslateOffset(offset + synthesized);
  const uint32_t rest = length - synthesized;
  source::ReadCache* cache = source_.cache();
  if (cache != nullptr && !NeedsSectorZeroEnd(offset, length) &&
      cache->Hit(position, rest, data + synthesized)) {
    if (stats_ != nullptr) stats_->CacheHit();
    return FinishRead(c);
  }

  c.file_operation = kFileRead;
  c.file_transfer.position = position;
  c.file_transfer.data_offset = kReplyData + synthesized;
  c.file_transfer.length = rest;
  c.file_transfer.done = 0;
  return Step::kFileOp;
}

bool RequestProcessor::NeedsSectorZeroEnd(uint64_t offset, uint32_t length) const {
  const auto covered = [&](uint64_t at) { return at >= offset && at - offset < length; };
  const bool covers_signature =
      offset < kDiskSignatureOffset + 4 && offset + length > kDiskSignatureOffset;
  return covers_signature && source_.header_size() == 0 &&
         (!covered(kBootSignatureOffset) || !covered(kBootSignatureOffset + 1));
}

// Whether the disk's sector 0 ends in the boot signature. The read's own
// data holds what it covers of bytes 510..511; the rest comes from the
// synthesized sector of a partition or is read from the source. A sector
// whose end cannot be read is served as stored.
bool RequestProcessor::SectorZeroIsBootRecord(uint64_t offset, uint32_t length,
                                              const uint8_t* data) {
  const auto covered = [&](uint64_t at) { return at >= offset && at - offset < length; };
  uint8_t end[2];
  if (!covered(kBootSignatureOffset) || !covered(kBootSignatureOffset + 1)) {
    if (source_.header_size() > 0) {
      std::memcpy(end, source_.sector0().data() + kBootSignatureOffset, sizeof end);
    } else {
      for (size_t done = 0; done < sizeof end;) {
        const source::IoResult r =
            source_.io().Read(kBootSignatureOffset + done, end + done, sizeof end - done);
        if (r.error != 0 || r.bytes == 0) return false;
        done += r.bytes;
      }
    }
  }
  for (size_t i = 0; i < sizeof end; ++i) {
    if (covered(kBootSignatureOffset + i)) end[i] = data[kBootSignatureOffset + i - offset];
  }
  return end[0] == 0x55 && end[1] == 0xAA;
}

Step RequestProcessor::FinishRead(Connection& c) {
  const uint64_t offset = c.request.offset;
  const uint32_t length = c.request.length;
  uint8_t* data = c.io->buffer + kReplyData;
  const bool covers_signature =
      offset < kDiskSignatureOffset + 4 && offset + length > kDiskSignatureOffset;
  if (covers_signature && SectorZeroIsBootRecord(offset, length, data)) {
    StampDiskSignature(offset, length, c.stamp, data);
  }
  Scramble(data, length);
  return Reply(c, REPLY_OK, length, length);
}

Step RequestProcessor::HandleWrite(Connection& c) {
  const uint64_t offset = c.request.offset;
  const uint32_t length = c.request.length;
  if (c.access != ACCESS_FULL || !c.logged_on || length > kMaxTransfer) {
    return Reply(c, REPLY_DENIED, length, 0);
  }
  if (!InDisk(offset, length)) return Reply(c, REPLY_FAILED, 0, 0);
  // Bytes that fall into a partition's synthesized header go nowhere.
  uint32_t skipped = 0;
  if (offset < source_.header_size()) {
    skipped = static_cast<uint32_t>(std::min<uint64_t>(length, source_.header_size() - offset));
  }
  if (skipped == length) return Reply(c, REPLY_OK, length, 0);

  c.file_operation = kFileWrite;
  c.file_transfer.position = source_.TranslateOffset(offset + skipped);
  c.file_transfer.data_offset = kWritePayload + skipped;
  c.file_transfer.length = length - skipped;
  c.file_transfer.done = 0;
  return Step::kFileOp;
}

source::IoResult RequestProcessor::PerformFileOp(Connection& c, bool nowait) {
  // A sync always waits for the device: RunFlush, on a file worker.
  if (c.file_operation == kFileFlush) return source::IoResult{0, 0, true};
  FileTransfer& f = c.file_transfer;
  uint8_t* data = c.io->buffer + f.data_offset + f.done;
  const size_t length = f.length - f.done;
  source::SourceIo& io = source_.io();
  if (c.file_operation == kFileWrite) {
    return nowait ? io.TryWrite(f.position, data, length) : io.Write(f.position, data, length);
  }
  if (nowait) {
    // Its end of sector 0 is read when the read finishes: on a file worker.
    if (NeedsSectorZeroEnd(c.request.offset, c.request.length)) return source::IoResult{0, 0, true};
    return io.TryRead(f.position, data, length);
  }
  // The read cache serves bytes that must come from the device; what the
  // page cache holds is read from there, as without a cache.
  source::ReadCache* cache = source_.cache();
  if (cache != nullptr && f.done == 0 && io.NoWaitReads()) {
    const source::IoResult r = io.TryRead(f.position, data, length);
    if (!r.would_block) return r;
    // (This very try may have found no-wait reads unsupported.)
    bool filled = false;
    if (io.NoWaitReads() &&
        cache->Lookup(f.position, static_cast<uint32_t>(length), data, &filled)) {
      if (stats_ != nullptr) filled ? stats_->CacheFill() : stats_->CacheHit();
      return source::IoResult{length, 0, false};
    }
  }
  return io.Read(f.position, data, length);
}

Step RequestProcessor::CompleteFileOp(Connection& c, const source::IoResult& result) {
  switch (c.file_operation) {
    case kFileWrite:
      return CompleteWrite(c, result);
    case kFileFlush:
      return RunFlush(c);
    default:
      return CompleteRead(c, result);
  }
}

// A transfer that moved nothing although bytes were asked for cannot go on
// (the source ends there): it fails like an error would.
Step RequestProcessor::CompleteRead(Connection& c, const source::IoResult& result) {
  if (result.error != 0 || result.bytes == 0) return Reply(c, REPLY_FAILED, 0, 0);
  FileTransfer& f = c.file_transfer;
  f.done += static_cast<uint32_t>(result.bytes);
  f.position += result.bytes;
  if (f.done < f.length) return Step::kFileOp;
  return FinishRead(c);
}

Step RequestProcessor::CompleteWrite(Connection& c, const source::IoResult& result) {
  FileTransfer& f = c.file_transfer;
  if (result.error != 0 || result.bytes == 0) {
    SayWriteFailed(c.request.offset + (f.data_offset - kWritePayload) + f.done,
                   result.error != 0 ? result.error : ERROR_HANDLE_EOF);
    return Reply(c, REPLY_FAILED, 0, 0);
  }
  // The cache learns the bytes once they are on the source, so a block
  // filled meanwhile cannot keep what they replaced; so do the caches of
  // other exports of the same bytes. A write that another export may not
  // see fails rather than succeed for one export only.
  if (source::ReadCache* cache = source_.cache()) {
    const uint32_t shared = cache->UpdateAll(f.position, static_cast<uint32_t>(result.bytes),
                                             c.io->buffer + f.data_offset + f.done);
    if (shared != 0) {
      SayWriteFailed(c.request.offset + (f.data_offset - kWritePayload) + f.done, shared);
      return Reply(c, REPLY_FAILED, 0, 0);
    }
  }
  f.done += static_cast<uint32_t>(result.bytes);
  f.position += result.bytes;
  if (f.done < f.length) return Step::kFileOp;
  return Reply(c, REPLY_OK, c.request.length, 0);
}

Step RequestProcessor::FileOpNotStarted(Connection& c, uint32_t error) {
  if (c.file_operation == kFileWrite) {
    const FileTransfer& f = c.file_transfer;
    SayWriteFailed(c.request.offset + (f.data_offset - kWritePayload) + f.done, error);
    return Reply(c, REPLY_FAILED, 0, 0);
  }
  if (c.file_operation == kFileFlush) return Reply(c, REPLY_FAILED, 0, 0);
  return Reply(c, static_cast<uint16_t>(error & 0xFFFF), 0, 0);
}

void RequestProcessor::SayWriteFailed(uint64_t offset, uint32_t error) {
  if (!OncePerSecond(write_said_)) return;
  platform::ConsoleLog(
      platform::ConsolePriority::kError, "write file error %X %s (export %u, offset %llu)\n", error,
      platform::SystemErrorText(error).c_str(), port_, static_cast<unsigned long long>(offset));
}

// Only a connection that may write may make writes durable; a flush
// changes nothing, so a refused one needs no payload or range check.
Step RequestProcessor::HandleFlush(Connection& c) {
  if (c.access != ACCESS_FULL || !c.logged_on) return Reply(c, REPLY_DENIED, 0, 0);
  c.file_operation = kFileFlush;
  c.flush.answered = false;
  return Step::kFileOp;
}

Step RequestProcessor::RunFlush(Connection& c) {
  if (!c.flush.answered) {
    source_.sync().Ask(&c.flush);
    return Step::kParked;
  }
  c.flush.answered = false;
  const source::SharedSync::Outcome& outcome = c.flush.outcome;
  if (outcome.error == 0) return Reply(c, REPLY_OK, 0, 0);
  if (OncePerSecond(flush_said_)) {
    platform::ConsoleLog(platform::ConsolePriority::kError,
                         "flush error %X %s (export %u, source %s%s)\n", outcome.error,
                         platform::SystemErrorText(outcome.error).c_str(), port_,
                         source_name_.c_str(),
                         outcome.earlier ? "; an earlier flush failed: writes may be lost, "
                                           "flushes fail until the export is restarted"
                                         : "");
  }
  return Reply(c, REPLY_FAILED, 0, 0);
}

}  // namespace quensaria::engine
