#include "shared/management_records.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace quensaria {

static_assert(std::is_trivially_copyable_v<ServerConfig>);
static_assert(std::is_trivially_copyable_v<ClientEntry>);
static_assert(std::is_trivially_copyable_v<ServerStats>);

void EncodeRecord(const ServerConfig& config, uint8_t* buffer) {
  std::memset(buffer, 0, kRecordBufferSize);
  std::memcpy(buffer, &config, sizeof config);
}

void EncodeRecord(const ClientEntry& client, uint8_t* buffer) {
  std::memset(buffer, 0, kRecordBufferSize);
  std::memcpy(buffer, &client, sizeof client);
}

void EncodeRecord(const ServerStats& stats, uint8_t* buffer) {
  std::memset(buffer, 0, kRecordBufferSize);
  std::memcpy(buffer, &stats, sizeof stats);
}

ServerConfig DecodeServerConfig(const uint8_t* buffer) {
  ServerConfig config;
  std::memcpy(&config, buffer, sizeof config);
  return config;
}

ClientEntry DecodeClientEntry(const uint8_t* buffer) {
  ClientEntry client;
  std::memcpy(&client, buffer, sizeof client);
  return client;
}

ServerStats DecodeServerStats(const uint8_t* buffer) {
  ServerStats stats;
  std::memset(&stats, 0, sizeof stats);
  uint32_t size = 0;
  std::memcpy(&size, buffer, sizeof size);
  std::memcpy(&stats, buffer, std::min<size_t>(size, sizeof stats));
  stats.RecordSize = size;
  return stats;
}

}  // namespace quensaria
