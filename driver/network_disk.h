// NetworkDisk: the connection of one mounted network disk and the transfer
// of whole disk requests over it. Worker thread only.
//
// The password digest is kept for the life of the mount: when a request
// finds its connection lost (STATUS_INVALID_DEVICE_STATE) it connects again,
// logs on again and repeats the whole request once. The disk size and the
// write mode found at mount stay in force; the query is not repeated.
#ifndef QUENSARIA_DRIVER_NETWORK_DISK_H_
#define QUENSARIA_DRIVER_NETWORK_DISK_H_

#include <array>
#include <cstdint>
#include <memory>

#include "driver/transport.h"
#include "shared/block_protocol.h"
#include "shared/nt_status.h"

namespace quensaria::driver {

enum class Direction { kRead, kWrite };

class NetworkDisk {
 public:
  // Opens an endpoint, connects to `address`:`port` (network byte order),
  // logs on with `digest` and queries the disk. On failure everything opened
  // is closed again and *disk stays empty.
  static NtStatus Mount(uint32_t address, uint16_t port, const std::array<uint8_t, 20>& digest,
                        const TransportOptions& options, std::unique_ptr<NetworkDisk>* disk,
                        QueryData* query);
  // Disconnects and closes the endpoint.
  ~NetworkDisk();

  // One disk request of any length, in chunks of at most kMaxTransfer bytes,
  // strictly one after the other, with at most one reconnect.
  NtStatus TransferRequest(Direction direction, uint64_t offset, uint64_t length, uint8_t* buffer);

 private:
  NetworkDisk(uint32_t address, uint16_t port, const std::array<uint8_t, 20>& digest)
      : address_(address), port_(port), digest_(digest) {}
  NtStatus Walk(Direction direction, uint64_t offset, uint64_t length, uint8_t* buffer);
  NtStatus Reconnect();

  uint32_t address_;
  uint16_t port_;
  std::array<uint8_t, 20> digest_;
  std::unique_ptr<TransportEndpoint> endpoint_;
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_NETWORK_DISK_H_
