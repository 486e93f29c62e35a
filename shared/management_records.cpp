#include "shared/management_records.h"

#include <cstring>
#include <type_traits>

namespace quensaria {

static_assert(std::is_trivially_copyable_v<ServerConfig>);
static_assert(std::is_trivially_copyable_v<ClientEntry>);

void EncodeRecord(const ServerConfig& config, uint8_t* buffer) {
  std::memset(buffer, 0, kRecordBufferSize);
  std::memcpy(buffer, &config, sizeof config);
}

void EncodeRecord(const ClientEntry& client, uint8_t* buffer) {
  std::memset(buffer, 0, kRecordBufferSize);
  std::memcpy(buffer, &client, sizeof client);
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

}  // namespace quensaria
