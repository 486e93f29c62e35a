#include "shared/mount_record.h"

#include <algorithm>
#include <cstring>

#include "shared/win32_error.h"

namespace quensaria {
namespace {
constexpr std::string_view kNtPrefix = "\\??\\";
}

std::string NtPathFromLinux(std::string_view path) {
  std::string nt(kNtPrefix);
  nt.append(path);
  return nt;
}

std::string LinuxPathFromNt(std::string_view nt_path) {
  if (nt_path.starts_with(kNtPrefix)) nt_path.remove_prefix(kNtPrefix.size());
  return std::string(nt_path);
}

}  // namespace quensaria

namespace quensaria {
namespace {

// Both stand in memory as on the wire: the bytes in network order.
MountServer ServerAt(const uint8_t* slot) {
  MountServer server;
  std::memcpy(&server.address, slot, 4);
  std::memcpy(&server.port, slot + 4, 2);
  return server;
}

void PutServer(const MountServer& server, uint8_t* slot) {
  std::memcpy(slot, &server.address, 4);
  std::memcpy(slot + 4, &server.port, 2);
}

uint8_t* RecordBytes(MountRecord& record) { return reinterpret_cast<uint8_t*>(&record); }
const uint8_t* RecordBytes(const MountRecord& record) {
  return reinterpret_cast<const uint8_t*>(&record);
}

bool ParseDecimal(std::string_view digits, uint32_t max, uint32_t* out) {
  if (digits.empty() || digits.size() > 5) return false;
  uint32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

// "A.B.C.D" with four decimal parts of 0..255; nothing else.
bool ParseIpv4(std::string_view text, uint8_t octets[4]) {
  for (int i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos || dot > 3) return false;
    uint32_t value = 0;
    if (!ParseDecimal(text.substr(0, dot), 255, &value)) return false;
    octets[i] = static_cast<uint8_t>(value);
    text.remove_prefix(std::min(text.size(), dot + 1));
  }
  return true;
}

Status BadServer(std::string_view part, const char* why) {
  return Status(ERROR_INVALID_PARAMETER, "\"" + std::string(part) + "\" is not a server: " + why);
}

Result<MountServer> ParseServer(std::string_view part) {
  const size_t colon = part.rfind(':');
  if (colon == std::string_view::npos) return BadServer(part, "give it as ADDRESS:PORT");
  uint8_t octets[4];
  if (!ParseIpv4(part.substr(0, colon), octets)) {
    return BadServer(part, "the address is not an IPv4 address (A.B.C.D)");
  }
  uint32_t port = 0;
  if (!ParseDecimal(part.substr(colon + 1), 65535, &port) || port == 0) {
    return BadServer(part, "the port is not a number from 1 to 65535");
  }
  MountServer server;
  std::memcpy(&server.address, octets, 4);
  const uint8_t port_bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  std::memcpy(&server.port, port_bytes, 2);
  if (server.address == 0) return BadServer(part, "0.0.0.0 is no server");
  return server;
}

}  // namespace

std::vector<MountServer> MountServers(const MountRecord& record) {
  std::vector<MountServer> servers;
  if (record.serverAddress == 0) return servers;
  servers.push_back({record.serverAddress, record.serverPort});
  for (size_t i = 0; i + 1 < kMaxMountServers; ++i) {
    const MountServer more =
        ServerAt(RecordBytes(record) + kMoreServersOffset + i * kMoreServerSize);
    if (more.address != 0) servers.push_back(more);
  }
  return servers;
}

bool SetMountServers(MountRecord& record, const std::vector<MountServer>& servers) {
  if (servers.empty() || servers.size() > kMaxMountServers) return false;
  for (const MountServer& s : servers) {
    if (s.address == 0) return false;
  }
  record.serverAddress = servers[0].address;
  record.serverPort = servers[0].port;
  for (size_t i = 0; i + 1 < kMaxMountServers; ++i) {
    const MountServer more = i + 1 < servers.size() ? servers[i + 1] : MountServer{};
    PutServer(more, RecordBytes(record) + kMoreServersOffset + i * kMoreServerSize);
  }
  return true;
}

uint8_t CurrentServer(const MountRecord& record) {
  return RecordBytes(record)[kCurrentServerOffset];
}

void SetCurrentServer(MountRecord& record, uint8_t index) {
  RecordBytes(record)[kCurrentServerOffset] = index;
}

uint8_t MountConnections(const MountRecord& record) {
  return RecordBytes(record)[kMountConnectionsOffset];
}

void SetMountConnections(MountRecord& record, uint8_t count) {
  RecordBytes(record)[kMountConnectionsOffset] = count;
}

std::string ServerText(const MountServer& server) {
  uint8_t a[4];
  uint8_t p[2];
  std::memcpy(a, &server.address, 4);
  std::memcpy(p, &server.port, 2);
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
         std::to_string(a[3]) + ":" + std::to_string(p[0] << 8 | p[1]);
}

Result<std::vector<MountServer>> ParseServerList(std::string_view text, size_t max_count) {
  std::vector<MountServer> servers;
  const auto separator = [](char c) { return c == ',' || c == ' ' || c == '\t'; };
  size_t i = 0;
  while (i < text.size()) {
    if (separator(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !separator(text[end])) ++end;
    Result<MountServer> server = ParseServer(text.substr(i, end - i));
    if (!server.ok()) return server.status();
    if (std::find(servers.begin(), servers.end(), server.value()) != servers.end()) {
      return BadServer(text.substr(i, end - i), "it is named twice");
    }
    servers.push_back(server.value());
    i = end;
  }
  if (servers.empty()) return Status(ERROR_INVALID_PARAMETER, "no server given (ADDRESS:PORT)");
  if (servers.size() > max_count) {
    return Status(ERROR_INVALID_PARAMETER, "at most " + std::to_string(max_count) +
                                               " servers may be named, not " +
                                               std::to_string(servers.size()));
  }
  return servers;
}

}  // namespace quensaria
