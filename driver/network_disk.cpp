#include "driver/network_disk.h"

#include <algorithm>

namespace quensaria::driver {

NtStatus NetworkDisk::Mount(uint32_t address, uint16_t port, const std::array<uint8_t, 20>& digest,
                            const TransportOptions& options, std::unique_ptr<NetworkDisk>* disk,
                            QueryData* query) {
  std::unique_ptr<NetworkDisk> created(new NetworkDisk(address, port, digest));
  NtStatus status = OpenEndpoint(options, &created->endpoint_);
  if (status != STATUS_SUCCESS) return status;
  TransportEndpoint& endpoint = *created->endpoint_;
  if ((status = Connect(endpoint, address, port)) != STATUS_SUCCESS) return status;
  if ((status = Login(endpoint, digest.data(), digest.size())) != STATUS_SUCCESS) return status;
  if ((status = QueryDevice(endpoint, query)) != STATUS_SUCCESS) return status;
  *disk = std::move(created);
  return STATUS_SUCCESS;
}

NetworkDisk::~NetworkDisk() {
  if (!endpoint_) return;
  if (endpoint_->socket.connected()) (void)Disconnect(*endpoint_);
  CloseEndpoint(std::move(endpoint_));
}

NtStatus NetworkDisk::Walk(Direction direction, uint64_t offset, uint64_t length,
                           uint8_t* buffer) {
  for (uint64_t done = 0; done < length;) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(length - done, kMaxTransfer));
    const NtStatus status = direction == Direction::kRead
                                ? ReadChunk(*endpoint_, offset + done, chunk, buffer + done)
                                : WriteChunk(*endpoint_, offset + done, chunk, buffer + done);
    if (status != STATUS_SUCCESS) return status;
    done += chunk;
  }
  return STATUS_SUCCESS;
}

NtStatus NetworkDisk::Reconnect() {
  (void)Disconnect(*endpoint_);
  NtStatus status = Connect(*endpoint_, address_, port_);
  if (status != STATUS_SUCCESS) return status;
  // The service serves reads and writes only after a log-on.
  status = Login(*endpoint_, digest_.data(), digest_.size());
  if (status != STATUS_SUCCESS) endpoint_->lost = true;
  return status;
}

NtStatus NetworkDisk::TransferRequest(Direction direction, uint64_t offset, uint64_t length,
                                      uint8_t* buffer) {
  NtStatus status = Walk(direction, offset, length, buffer);
  if (status != STATUS_INVALID_DEVICE_STATE) return status;
  status = Reconnect();
  if (status != STATUS_SUCCESS) return status;
  return Walk(direction, offset, length, buffer);
}

}  // namespace quensaria::driver
