// RequestProcessor: the block protocol on one export's connections, free of
// sockets and threads. It frames requests in a connection's buffer, checks
// each one (log-on, access level, length, range), answers from the
// synthesized partition header, the read cache or a file transfer on the
// source, stamps and scrambles read data, and builds every reply in place.
//
// Each call returns the Step the caller (the connection engine, or a test)
// carries out next on that connection; the caller then reports back through
// Received, Sent, CompleteFileOp or FileOpNotStarted. Calls for one
// connection come one at a time; different connections may be served on
// any threads at once (the processor itself holds no mutable state).
#ifndef QUENSARIA_SERVICE_ENGINE_REQUEST_PROCESSOR_H_
#define QUENSARIA_SERVICE_ENGINE_REQUEST_PROCESSOR_H_

#include <array>
#include <cstdint>
#include <functional>

#include "service/engine/connection_records.h"
#include "service/source/disk_source.h"
#include "shared/management_records.h"

namespace quensaria::engine {

enum class Step {
  kReceive,  // receive into io->overlapped's window, then call Received
  kSend,     // send io->overlapped's window, then call Sent
  kFileOp,   // run file_overlapped's transfer (PerformFileOp), then report it
  kClose,    // close the connection at once, sending nothing
};

class RequestProcessor {
 public:
  // Called after every CMD_LOGIN that matched a password, with the peer.
  using LoggedOnHook = std::function<void(uint32_t client_address)>;

  // `source` must outlive the processor; the digests are copied.
  RequestProcessor(source::DiskSource& source, const ServerConfig& settings,
                   LoggedOnHook logged_on);

  // A newly admitted connection at `access` whose socket is c.socket: not
  // logged on, waiting for its first request.
  Step Admit(PER_SOCKET_CONTEXT& c, uint8_t access);
  // `bytes` (> 0) arrived in the receive window.
  Step Received(PER_SOCKET_CONTEXT& c, size_t bytes);
  // `bytes` (> 0) of the send window went out.
  Step Sent(PER_SOCKET_CONTEXT& c, size_t bytes);

  // Runs the rest of the file transfer once on the source. With `nowait`
  // the transfer only happens if it need not wait for the device (else
  // would_block is set and nothing moved). Without it, a read whose bytes
  // must come from the device goes through the read cache.
  source::IoResult PerformFileOp(PER_SOCKET_CONTEXT& c, bool nowait);
  // A file transfer finished with `result`: CompleteRead or CompleteWrite.
  Step CompleteFileOp(PER_SOCKET_CONTEXT& c, const source::IoResult& result);
  // The file transfer could not be started; `error` is a Win32 error.
  Step FileOpNotStarted(PER_SOCKET_CONTEXT& c, uint32_t error);

  // The handlers, entered once the whole request is in the buffer.
  Step HandleLogin(PER_SOCKET_CONTEXT& c);
  Step HandleQuery(PER_SOCKET_CONTEXT& c);
  Step HandleRead(PER_SOCKET_CONTEXT& c);
  Step HandleWrite(PER_SOCKET_CONTEXT& c);
  Step CompleteRead(PER_SOCKET_CONTEXT& c, const source::IoResult& result);
  Step CompleteWrite(PER_SOCKET_CONTEXT& c, const source::IoResult& result);

 private:
  Step Dispatch(PER_SOCKET_CONTEXT& c);
  Step ReceivePayload(PER_SOCKET_CONTEXT& c);
  Step Reply(PER_SOCKET_CONTEXT& c, uint16_t status, uint32_t length, uint32_t data_length);
  Step FinishRead(PER_SOCKET_CONTEXT& c);
  bool SectorZeroIsBootRecord(uint64_t offset, uint32_t length, const uint8_t* data);
  bool InDisk(uint64_t offset, uint32_t length) const;
  void SynthesizeHeader(uint64_t offset, uint32_t length, uint8_t* data) const;
  uint32_t Capped(uint32_t access) const;

  source::DiskSource& source_;
  // A digest of 20 zero bytes (what an unreadable or missing one becomes)
  // stands for no password and matches nothing.
  std::array<uint8_t, kDigestSize> password_;
  std::array<uint8_t, kDigestSize> manage_password_;
  LoggedOnHook logged_on_;
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
