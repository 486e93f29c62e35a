#include "configurator/rules/figures.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "configurator/rules/configurator_rules.h"
#include "configurator/rules/json_text.h"

namespace quensaria::configurator {

std::vector<ServerFigures> ReadServerFigures(ManagementOperations& ops,
                                             const std::vector<ServerRow>& rows,
                                             int32_t* runtime_status) {
  if (runtime_status != nullptr) *runtime_status = 0;
  std::vector<ServerFigures> figures;
  for (const ServerRow& row : rows) {
    if (!row.read_ok) continue;
    ServerFigures entry;
    entry.handle = row.handle;
    entry.config = row.config;
    const int32_t result = ops.GetServerStats(row.handle, entry.stats);
    if (result != 0 && result != -1) {
      if (runtime_status != nullptr) *runtime_status = result;
      break;
    }
    entry.read_ok = result == 0;
    if (!entry.read_ok) entry.stats = ServerStats{};
    figures.push_back(entry);
  }
  return figures;
}

std::string BytesText(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit + 1 < static_cast<int>(std::size(kUnits))) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text;
}

std::string LatencyText(uint32_t micros, uint32_t recent_requests) {
  if (recent_requests == 0) return "-";
  char text[32];
  if (micros < 1000) {
    std::snprintf(text, sizeof text, "%u us", micros);
  } else if (micros < 1'000'000) {
    std::snprintf(text, sizeof text, "%.1f ms", micros / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", micros / 1e6);
  }
  return text;
}

std::string ServerName(const ServerConfig& config) {
  return AddressText(config.IpAddress) + ":" + std::to_string(config.Port);
}

namespace {

// The figures every view shows, in the same order: online clients,
// connections, reads, bytes read, writes, bytes written, errors, p50, p99,
// cache hits and fills.
std::array<std::string, 11> FigureCells(const ServerStats& s) {
  return {std::to_string(s.OnlineClients),
          std::to_string(s.Connections),
          std::to_string(s.Reads),
          BytesText(s.BytesRead),
          std::to_string(s.Writes),
          BytesText(s.BytesWritten),
          std::to_string(s.Errors),
          LatencyText(s.LatencyP50Micros, s.RecentRequests),
          LatencyText(s.LatencyP99Micros, s.RecentRequests),
          std::to_string(s.CacheHits),
          std::to_string(s.CacheFills)};
}

}  // namespace

std::array<std::string, kFiguresColumns.size()> FiguresTexts(const ServerFigures& figures) {
  const ServerStats& s = figures.stats;
  std::array<std::string, kFiguresColumns.size()> texts;
  static_assert(kFiguresColumns.size() == 11 + 2, "the server, the figures, the state");
  texts.front() = ServerName(figures.config);
  const std::array<std::string, 11> cells = FigureCells(s);
  std::copy(cells.begin(), cells.end(), texts.begin() + 1);
  texts.back() = !figures.read_ok ? "失败" : s.Running != 0 ? "已启动" : "已停止";
  return texts;
}

namespace {

std::string Cell(std::string text, size_t width) {
  text.resize(std::max(width, text.size() + 1), ' ');
  return text;
}

}  // namespace

std::string FiguresTable(const std::vector<ServerFigures>& servers) {
  static constexpr struct {
    const char* heading;
    size_t width;
  } kColumns[] = {{"SERVER", 8}, {"STATE", 9}, {"PORT", 7},   {"ONLINE", 7},   {"CONNS", 6},
                  {"READS", 9},  {"READ", 10}, {"WRITES", 9}, {"WRITTEN", 10}, {"ERRORS", 8},
                  {"P50", 10},   {"P99", 10},  {"HITS", 9},   {"FILLS", 0}};
  std::string out;
  for (const auto& column : kColumns) out += Cell(column.heading, column.width);
  out.back() = '\n';
  for (const ServerFigures& f : servers) {
    const ServerStats& s = f.stats;
    std::vector<std::string> cells = {std::to_string(f.handle),
                                      !f.read_ok       ? "failed"
                                      : s.Running != 0 ? "started"
                                                       : "stopped",
                                      std::to_string(f.config.Port)};
    for (std::string& figure : FigureCells(s)) cells.push_back(std::move(figure));
    for (size_t i = 0; i < cells.size(); ++i) out += Cell(cells[i], kColumns[i].width);
    out.back() = '\n';
  }
  return out;
}

std::string FiguresJson(const std::vector<ServerFigures>& servers) {
  JsonWriter json;
  const auto member = [&](const char* key, uint64_t value) {
    json.Key(key);
    json.Number(value);
  };
  json.BeginObject();
  json.Key("servers");
  json.BeginArray();
  for (const ServerFigures& f : servers) {
    const ServerStats& s = f.stats;
    json.BeginObject();
    member("server", f.handle);
    json.Key("address");
    json.String(AddressText(f.config.IpAddress));
    member("port", f.config.Port);
    json.Key("source");
    json.String(std::string(f.config.Source, strnlen(f.config.Source, sizeof f.config.Source)));
    json.Key("state");
    json.String(!f.read_ok ? "failed" : s.Running != 0 ? "started" : "stopped");
    json.Key("started_at");
    if (s.Running != 0) {
      json.Number(int64_t{s.StartedAt});
    } else {
      json.Null();
    }
    member("online_clients", s.OnlineClients);
    member("connections", s.Connections);
    member("reads", s.Reads);
    member("writes", s.Writes);
    member("other_requests", s.OtherRequests);
    member("bytes_read", s.BytesRead);
    member("bytes_written", s.BytesWritten);
    member("errors", s.Errors);
    member("refused_connections", s.RefusedConnections);
    member("latency_sum_us", s.LatencySumMicros);
    member("recent_requests", s.RecentRequests);
    for (const auto& [key, value] : {std::pair{"latency_p50_us", s.LatencyP50Micros},
                                     std::pair{"latency_p99_us", s.LatencyP99Micros}}) {
      json.Key(key);
      if (s.RecentRequests != 0) {
        json.Number(uint64_t{value});
      } else {
        json.Null();
      }
    }
    member("cache_hits", s.CacheHits);
    member("cache_fills", s.CacheFills);
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  return json.text();
}

}  // namespace quensaria::configurator
