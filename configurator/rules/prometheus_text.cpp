#include "configurator/rules/prometheus_text.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "configurator/rules/configurator_rules.h"
#include "configurator/rules/json_text.h"

namespace quensaria::configurator {
namespace {

struct Family {
  const char* name;
  const char* type;
  const char* help;
};

std::string Labels(const ServerFigures& figures) {
  const ServerConfig& c = figures.config;
  return "server=\"" + std::to_string(figures.handle) + "\",address=\"" + AddressText(c.IpAddress) +
         "\",port=\"" + std::to_string(c.Port) + "\",source=\"" +
         PrometheusLabelValue(std::string_view(c.Source, strnlen(c.Source, sizeof c.Source))) +
         "\"";
}

std::string Seconds(uint64_t micros) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", static_cast<double>(micros) / 1e6);
  return text;
}

// One family: its HELP and TYPE lines, then `sample` for every server.
void Write(std::string& out, const Family& family, const std::vector<ServerFigures>& servers,
           const std::function<void(const ServerFigures&, const std::string& labels)>& sample) {
  out += std::string("# HELP ") + family.name + " " + family.help + "\n";
  out += std::string("# TYPE ") + family.name + " " + family.type + "\n";
  for (const ServerFigures& figures : servers) {
    if (figures.read_ok) sample(figures, Labels(figures));  // else deleted meanwhile
  }
}

void Line(std::string& out, const char* name, const std::string& labels, const std::string& value) {
  out += std::string(name) + "{" + labels + "} " + value + "\n";
}

}  // namespace

std::string PrometheusLabelValue(std::string_view text) {
  std::string out;
  for (const char c : ValidUtf8(text)) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string PrometheusText(const std::vector<ServerFigures>& servers) {
  std::string out;
  using S = ServerStats;
  // A family of one sample per server, the value of `field`.
  const auto simple = [&](const char* name, const char* type, const char* help, auto field) {
    Write(out, {name, type, help}, servers, [&](const ServerFigures& f, const std::string& l) {
      Line(out, name, l, std::to_string(f.stats.*field));
    });
  };
  const auto gauge = [&](const char* name, const char* help, auto field) {
    simple(name, "gauge", help, field);
  };
  const auto counter = [&](const char* name, const char* help, auto field) {
    simple(name, "counter", help, field);
  };

  gauge("quensaria_export_up", "Whether the export is being served (1) or stopped (0).",
        &S::Running);
  Write(out,
        {"quensaria_export_start_time_seconds", "gauge",
         "When the export's engine started, in seconds since the epoch (served exports only)."},
        servers, [&](const ServerFigures& f, const std::string& l) {
          if (f.stats.Running != 0) {
            Line(out, "quensaria_export_start_time_seconds", l, std::to_string(f.stats.StartedAt));
          }
        });
  gauge("quensaria_online_clients", "Clients logged on to the export now.", &S::OnlineClients);
  gauge("quensaria_connections", "Block-protocol connections open now.", &S::Connections);
  Write(out,
        {"quensaria_requests_total", "counter",
         "Requests answered, by kind (read, write, other: query and log-on)."},
        servers, [&](const ServerFigures& f, const std::string& l) {
          Line(out, "quensaria_requests_total", l + ",kind=\"read\"",
               std::to_string(f.stats.Reads));
          Line(out, "quensaria_requests_total", l + ",kind=\"write\"",
               std::to_string(f.stats.Writes));
          Line(out, "quensaria_requests_total", l + ",kind=\"other\"",
               std::to_string(f.stats.OtherRequests));
        });
  counter("quensaria_read_bytes_total", "Data bytes of the reads answered successfully.",
          &S::BytesRead);
  counter("quensaria_written_bytes_total", "Data bytes of the writes answered successfully.",
          &S::BytesWritten);
  counter("quensaria_request_errors_total",
          "Requests refused or failed, and requests that ended their connection.", &S::Errors);
  counter("quensaria_refused_connections_total", "Connections turned away at admission.",
          &S::RefusedConnections);
  counter("quensaria_read_cache_hits_total", "Reads served from the read cache.", &S::CacheHits);
  counter("quensaria_read_cache_fills_total", "1 MiB blocks read into the read cache.",
          &S::CacheFills);
  Write(out,
        {"quensaria_request_duration_seconds", "summary",
         "From a request's first byte in to its reply's last byte out; quantiles over the last "
         "minute."},
        servers, [&](const ServerFigures& f, const std::string& l) {
          const S& s = f.stats;
          const bool recent = s.RecentRequests != 0;
          Line(out, "quensaria_request_duration_seconds", l + ",quantile=\"0.5\"",
               recent ? Seconds(s.LatencyP50Micros) : "NaN");
          Line(out, "quensaria_request_duration_seconds", l + ",quantile=\"0.99\"",
               recent ? Seconds(s.LatencyP99Micros) : "NaN");
          Line(out, "quensaria_request_duration_seconds_sum", l, Seconds(s.LatencySumMicros));
          Line(out, "quensaria_request_duration_seconds_count", l, std::to_string(f.requests()));
        });
  return out;
}

}  // namespace quensaria::configurator
