// The live figures of the service's servers as the configurators show them:
// the walk that fetches them (GetServerStats beside each server's record)
// and the texts of their cells, shared by ludrane's figures pane and
// `ludrane-cli stats`. Texts are UTF-8.
#ifndef QUENSARIA_CONFIGURATOR_RULES_FIGURES_H_
#define QUENSARIA_CONFIGURATOR_RULES_FIGURES_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "configurator/rules/list_rows.h"
#include "shared/management_operations.h"
#include "shared/management_records.h"

namespace quensaria::configurator {

struct ServerFigures {
  Handle handle = 0;
  ServerConfig config{};  // as its server row read it
  bool read_ok = false;   // GetServerStats succeeded; else stats is all zero
  ServerStats stats{};
  uint64_t requests() const { return stats.Reads + stats.Writes + stats.OtherRequests; }
};

// The figures of each readable server of `rows`, in their order. A result
// that is neither 0 nor -1 ends the walk and goes to `runtime_status` (else
// 0): RPC_S_PROCNUM_OUT_OF_RANGE is a service that keeps no figures.
std::vector<ServerFigures> ReadServerFigures(ManagementOperations& ops,
                                             const std::vector<ServerRow>& rows,
                                             int32_t* runtime_status = nullptr);

// 1536 → "1.5 KiB"; below 1 KiB, "N B".
std::string BytesText(uint64_t bytes);
// 250 → "250 us", 12345 → "12.3 ms", 2500000 → "2.50 s"; "-" without
// requests in the last minute (then the quantiles mean nothing).
std::string LatencyText(uint32_t micros, uint32_t recent_requests);
// "address:port", as the tree names a server.
std::string ServerName(const ServerConfig& config);

// The figures pane's columns and one row's texts.
inline constexpr std::array<ColumnHeader, 13> kFiguresColumns = {{{"服务", 130},
                                                                  {"在线", 50},
                                                                  {"连接", 50},
                                                                  {"读请求", 70},
                                                                  {"读取", 80},
                                                                  {"写请求", 70},
                                                                  {"写入", 80},
                                                                  {"错误", 50},
                                                                  {"延迟 p50", 75},
                                                                  {"延迟 p99", 75},
                                                                  {"缓存命中", 80},
                                                                  {"缓存填充", 80},
                                                                  {"状态", 60}}};
std::array<std::string, kFiguresColumns.size()> FiguresTexts(const ServerFigures& figures);

// ludrane-cli's forms: a table with a heading line, and JSON (an object
// whose "servers" holds one object per server, raw counts and microseconds,
// null latencies without requests in the last minute).
std::string FiguresTable(const std::vector<ServerFigures>& servers);
std::string FiguresJson(const std::vector<ServerFigures>& servers);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_RULES_FIGURES_H_
