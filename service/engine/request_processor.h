// RequestProcessor: the block protocol on one export's connections, free of
// sockets and threads. It frames requests in a connection's buffer, checks
// each one (log-on, access level, length, range), answers from the
// synthesized partition header, the read cache or a file transfer on the
// source, stamps and scrambles read data, and builds every reply in place.
// A flush is a file operation too: a sync of the source, shared with the
// export's other flushes (SharedSync).
//
// Each call returns the Step the caller (the connection engine, or a test)
// carries out next on that connection; the caller then reports back through
// Received, Sent, CompleteFileOp or FileOpNotStarted. A log-on that matched
// (CMD_LOGIN or a TLS handshake) sets c.log_on_to_report; the caller tells
// the registry once the reply is out and clears it. Calls for one
// connection come one at a time; different connections may be served on
// any threads at once (the processor's only mutable state is the time of
// its last failure lines, which say at most one write failure and one flush
// failure per second; what it counts goes to the EngineStats given, which
// takes no lock).
#ifndef QUENSARIA_SERVICE_ENGINE_REQUEST_PROCESSOR_H_
#define QUENSARIA_SERVICE_ENGINE_REQUEST_PROCESSOR_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "service/engine/connection_records.h"
#include "service/engine/engine_stats.h"
#include "service/source/disk_source.h"
#include "shared/management_records.h"

namespace quensaria::engine {

enum class Step {
  kReceive,  // receive into io->socket_op's window, then call Received
  kSend,     // send io->socket_op's window, then call Sent
  kFileOp,   // run the file transfer (PerformFileOp), then report it
             // (a flush: RunFlush, on a file worker)
  kParked,   // nothing: the flush waits; its answer hook hands it back
  kClose,    // close the connection at once, sending nothing
};

class RequestProcessor {
 public:
  // `source` must outlive the processor; the digests are copied. Every
  // request answered (and every cache hit and fill) is counted in `stats`
  // when given, which must outlive the processor too.
  RequestProcessor(source::DiskSource& source, const ServerConfig& settings,
                   EngineStats* stats = nullptr);

  // A newly admitted connection at `access` whose socket is c.socket: not
  // logged on, waiting for its first request.
  Step Admit(Connection& c, uint8_t access);
  // The TLS handshake of c logged it on: with the management identity at
  // full access, else at its admitted level, as CMD_LOGIN would.
  void TlsSessionOpened(Connection& c, bool manage);
  // `bytes` (> 0) arrived in the receive window.
  Step Received(Connection& c, size_t bytes);
  // `bytes` (> 0) of the send window went out.
  Step Sent(Connection& c, size_t bytes);

  // Runs the rest of the file transfer once on the source. With `nowait`
  // the transfer only happens if it need not wait for the device (else
  // would_block is set and nothing moved; a flush always would). Without
  // it, a read whose bytes must come from the device goes through the read
  // cache. REQUIRES: not a flush, unless `nowait`.
  source::IoResult PerformFileOp(Connection& c, bool nowait);
  // A file transfer finished with `result`: CompleteRead or CompleteWrite.
  Step CompleteFileOp(Connection& c, const source::IoResult& result);
  // The file transfer could not be started; `error` is a Win32 error.
  Step FileOpNotStarted(Connection& c, uint32_t error);
  // A flush, on a thread that may block on the source: asks the export's
  // SharedSync for it (kParked: c.flush.answer is called once it is
  // answered, maybe before this returns, and the caller then calls RunFlush
  // again) or, once answered, builds its reply. A thread that finds no sync
  // running runs them, for as long as flushes come. After kParked the caller
  // must not touch c: the answer may already have handed it on.
  Step RunFlush(Connection& c);

 private:
  // The handlers, entered once the whole request is in the buffer.
  Step HandleLogin(Connection& c);
  Step HandleQuery(Connection& c);
  Step HandleRead(Connection& c);
  Step HandleWrite(Connection& c);
  Step HandleFlush(Connection& c);
  Step HandleSourceId(Connection& c);
  Step CompleteRead(Connection& c, const source::IoResult& result);
  Step CompleteWrite(Connection& c, const source::IoResult& result);

  Step Dispatch(Connection& c);
  // The first request of a client that speaks the wrong kind of stream.
  Step RefuseTlsMismatch(Connection& c);
  Step ReceivePayload(Connection& c);
  Step Reply(Connection& c, uint16_t status, uint32_t length, uint32_t data_length);
  Step FinishRead(Connection& c);
  bool SectorZeroIsBootRecord(uint64_t offset, uint32_t length, const uint8_t* data);
  // Whether the read must fetch the end of sector 0 from the source to
  // decide on the stamp (a read that may wait: kept off the socket workers).
  bool NeedsSectorZeroEnd(uint64_t offset, uint32_t length) const;
  bool InDisk(uint64_t offset, uint32_t length) const;
  void SynthesizeHeader(uint64_t offset, uint32_t length, uint8_t* data) const;
  // "write file error %X" with the error's text, the export and the disk
  // offset, unless such a line went out less than a second ago.
  void SayWriteFailed(uint64_t offset, uint32_t error);
  uint32_t Capped(uint32_t access) const;

  source::DiskSource& source_;
  // A digest of 20 zero bytes (what an unreadable or missing one becomes)
  // stands for no password and matches nothing.
  std::array<uint8_t, kDigestSize> password_;
  std::array<uint8_t, kDigestSize> manage_password_;
  EngineStats* const stats_;
  const uint16_t port_;            // names the export in console lines
  const std::string source_name_;  // its source path
  const std::array<uint8_t, kBootIdSize> boot_id_;
  // When the last write and flush failure lines went out (steady clock, ns).
  std::atomic<int64_t> write_said_{0};
  std::atomic<int64_t> flush_said_{0};
};

// Writes the connection's stamp over the disk signature (disk bytes
// 440..443) where the read of `length` bytes at disk offset `offset`, whose
// data is at `data`, covers it. Reads stamp only a sector 0 that ends in
// 0x55 0xAA (a master boot record or a boot sector, as a partition's
// synthesized one always does); any other sector 0 (an XFS superblock, say)
// is served as stored.
void StampDiskSignature(uint64_t offset, uint32_t length, uint32_t stamp, uint8_t* data);

}  // namespace quensaria::engine

#endif  // QUENSARIA_SERVICE_ENGINE_REQUEST_PROCESSOR_H_
