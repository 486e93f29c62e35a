#include "configurator/rules/list_rows.h"

#include <strings.h>

#include <cstring>
#include <unordered_set>

#include "configurator/rules/configurator_rules.h"
#include "shared/block_protocol.h"

namespace quensaria::configurator {

std::string DataLocationText(const ServerConfig& config) {
  const std::string source(config.Source, strnlen(config.Source, sizeof config.Source));
  // Windows-style device names as older configurations stored them; on
  // this system a device is its /dev path and shows as such.
  if (source.size() >= 17 && strncasecmp(source.c_str(), "\\\\.\\Physicaldrive", 17) == 0) {
    const int digit = source.size() > 17 ? source[17] - '0' : -'0';
    return "HardDisk " + std::to_string(digit);
  }
  if (source.size() >= 4 && source.compare(0, 4, "\\\\.\\") == 0) {
    const char letter = source.size() > 4 ? source[4] : ' ';
    return std::string("Disk Partition(") + letter + ":)";
  }
  return source;
}

std::string MebibytesText(int64_t bytes) { return std::to_string(bytes / 1024 / 1024) + " M"; }

std::string ServerStatusText(bool read_ok, const ServerConfig& config) {
  if (!read_ok) return "失败";
  return config.Started != 0 ? "已启动" : "已停止";
}

std::string ComputerNameText(const ClientEntry& entry) {
  if (entry.address == 0) return "任何地址";
  switch (entry.nameState) {
    case kNameKnown:
      return std::string(entry.hostName, strnlen(entry.hostName, sizeof entry.hostName));
    case kNameUnknown:
      return "正在解析计算机名...";
    default:
      return "无法解析计算机名";
  }
}

std::string AccessText(uint8_t access) {
  switch (access) {
    case ACCESS_FULL:
      return "完全控制";
    case ACCESS_VIRTUAL_WRITE:
      return "虚拟写保护";
    default:
      return "拒绝访问";
  }
}

std::string ClientStateText(uint8_t state) {
  switch (state) {
    case kClientStatic:
      return "静态";
    case kClientLoggedOn:
      return "在线";
    default:
      return "拒绝";
  }
}

ServerRow MakeServerRow(Handle handle, bool read_ok, const ServerConfig& config) {
  ServerRow row;
  row.handle = handle;
  row.read_ok = read_ok;
  if (read_ok) row.config = config;
  const ServerConfig& c = row.config;
  row.texts = {
      DataLocationText(c),        AddressText(c.IpAddress),       std::to_string(c.Port),
      MebibytesText(c.SizeBytes), std::to_string(c.Cache) + " M", ServerStatusText(read_ok, c)};
  return row;
}

ClientRow MakeClientRow(Handle handle, const ClientEntry& entry) {
  ClientRow row;
  row.handle = handle;
  row.entry = entry;
  row.texts = {AddressText(entry.address), ComputerNameText(entry), AccessText(entry.access),
               ClientStateText(entry.state)};
  return row;
}

namespace {

// Whether `result` says the call did not complete; records it.
bool RuntimeFailure(int32_t result, int32_t* runtime_status) {
  if (runtime_status == nullptr || result == 0 || result == -1) return false;
  *runtime_status = result;
  return true;
}

}  // namespace

std::vector<ServerRow> ReadServerRows(ManagementOperations& ops, int32_t* runtime_status) {
  if (runtime_status != nullptr) *runtime_status = 0;
  std::vector<ServerRow> rows;
  Handle handle = 0;
  Handle unreadable = 0;
  // A service that leads back to a handle it gave before would never end.
  std::unordered_set<Handle> seen;
  for (;;) {
    Handle next = 0;
    if (RuntimeFailure(ops.EnumServers(handle, next), runtime_status)) break;
    if (next == 0 || next == handle) break;
    if (next == unreadable) {  // still listed: its row is there, go past it
      handle = next;
      continue;
    }
    if (!seen.insert(next).second) break;
    ServerConfig config;
    std::memset(&config, 0, sizeof config);
    const int32_t got = ops.GetServer(next, config);
    if (RuntimeFailure(got, runtime_status)) break;
    rows.push_back(MakeServerRow(next, got == 0, config));
    if (got != 0) {
      // Deleted since it was listed: the service knows its handle no more,
      // and the one before it now leads past it.
      unreadable = next;
      continue;
    }
    handle = next;
  }
  return rows;
}

namespace {

// False when the walk met a runtime failure.
template <typename Enumerate, typename Get>
bool WalkClients(Handle server, Enumerate enumerate, Get get, std::vector<ClientRow>& rows,
                 int32_t* runtime_status) {
  Handle client = 0;
  Handle unreadable = 0;
  // A service that leads back to a client it gave before would never end.
  std::unordered_set<Handle> listed;
  for (;;) {
    Handle next = 0;
    const int32_t result = enumerate(server, client, next);
    if (RuntimeFailure(result, runtime_status)) return false;
    if (next == 0 || next == client || listed.contains(next)) return true;
    ClientEntry entry;
    std::memset(&entry, 0, sizeof entry);
    const int32_t got = get(next, entry);
    if (RuntimeFailure(got, runtime_status)) return false;
    if (got != 0) {
      // Gone since it was listed (a client that left): its zeroed record
      // would read as a static "Any Address" at full access. The one before
      // it now leads past it; one that stays listed but unreadable ends the
      // walk.
      if (result != 0 || next == unreadable) return true;
      unreadable = next;
      continue;
    }
    rows.push_back(MakeClientRow(next, entry));
    listed.insert(next);
    if (result != 0) return true;
    client = next;
  }
}

}  // namespace

std::vector<ClientRow> ReadClientRows(ManagementOperations& ops, Handle server,
                                      int32_t* runtime_status, bool online_only) {
  if (runtime_status != nullptr) *runtime_status = 0;
  std::vector<ClientRow> rows;
  if (!online_only &&
      !WalkClients(
          server, [&](Handle s, Handle c, Handle& n) { return ops.EnumStaticClients(s, c, n); },
          [&](Handle c, ClientEntry& e) { return ops.GetStaticClient(c, e); }, rows,
          runtime_status)) {
    return rows;
  }
  WalkClients(
      server, [&](Handle s, Handle c, Handle& n) { return ops.EnumOnlineClients(s, c, n); },
      [&](Handle c, ClientEntry& e) { return ops.GetOnlineClient(c, e); }, rows, runtime_status);
  return rows;
}

std::vector<TreeEntry> ReadTreeEntries(ManagementOperations& ops) {
  std::vector<TreeEntry> entries;
  for (const ServerRow& row : ReadServerRows(ops)) {
    if (!row.read_ok) continue;
    entries.push_back(TreeEntry{
        row.handle, AddressText(row.config.IpAddress) + ":" + std::to_string(row.config.Port),
        row.started()});
  }
  return entries;
}

}  // namespace quensaria::configurator
