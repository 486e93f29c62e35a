// The rows of the configurator's lists and the walks that fetch them: one
// row per server (six texts) or per client (four texts), built from the
// records exactly as the service returns them. Used by the views of ludrane
// and by ludrane-cli. Texts are UTF-8.
#ifndef QUENSARIA_CONFIGURATOR_RULES_LIST_ROWS_H_
#define QUENSARIA_CONFIGURATOR_RULES_LIST_ROWS_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/management_operations.h"
#include "shared/management_records.h"

namespace quensaria::configurator {

using Handle = ManagementHandle;

struct ServerRow {
  Handle handle = 0;
  bool read_ok = false;  // GetServer succeeded; otherwise config is all zero
  ServerConfig config{};
  // data location, listening address, port, capacity, cache, status
  std::array<std::string, 6> texts;
  bool started() const { return read_ok && config.Started != 0; }
};

struct ClientRow {
  Handle handle = 0;
  ClientEntry entry{};  // all zero when its get failed
  // address, computer name, access control, status
  std::array<std::string, 4> texts;
  bool is_static() const { return entry.state == kClientStatic; }
  bool online() const { return entry.state == kClientLoggedOn; }
};

// Column headers and widths in pixels of the two lists.
struct ColumnHeader {
  const char* text;
  int width;
};
inline constexpr std::array<ColumnHeader, 6> kServerColumns = {
    {{"数据位置", 200}, {"侦听 IP", 100}, {"端口", 60}, {"容量", 80}, {"缓存", 60}, {"状态", 80}}};
inline constexpr std::array<ColumnHeader, 4> kClientColumns = {
    {{"IP 地址", 120}, {"计算机名", 250}, {"访问控制", 100}, {"状态", 100}}};

// Single texts, for the rows and for ludrane-cli.
std::string DataLocationText(const ServerConfig& config);
std::string MebibytesText(int64_t bytes);  // "%d M", rounded down
std::string ServerStatusText(bool read_ok, const ServerConfig& config);
std::string ComputerNameText(const ClientEntry& entry);
std::string AccessText(uint8_t access);
std::string ClientStateText(uint8_t state);

ServerRow MakeServerRow(Handle handle, bool read_ok, const ServerConfig& config);
ClientRow MakeClientRow(Handle handle, const ClientEntry& entry);

// The server list: EnumServers from 0 until next is 0 (or a server already
// listed, which a broken service could lead back to); a failed GetServer
// still gives a row (status "失败", other texts from a zero record), and
// the walk goes on from the server before it.
// When `runtime_status` is given, a result that is neither 0 nor -1 (the
// call did not complete) ends the walk and is stored there (else 0).
std::vector<ServerRow> ReadServerRows(ManagementOperations& ops, int32_t* runtime_status = nullptr);
// A client list: the static clients, then the online clients, each walk
// ending at next 0, at a client it listed already, or at the first failed
// enumeration step (whose row is still appended). A client whose get fails
// (gone since it was listed) has no row, and the walk goes on from the one
// before it. `online_only` leaves the static walk out.
std::vector<ClientRow> ReadClientRows(ManagementOperations& ops, Handle server,
                                      int32_t* runtime_status = nullptr, bool online_only = false);

// The tree's entries: readable servers only, "%s:%d" (address, port).
struct TreeEntry {
  Handle handle = 0;
  std::string text;
  bool started = false;
};
std::vector<TreeEntry> ReadTreeEntries(ManagementOperations& ops);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_RULES_LIST_ROWS_H_
