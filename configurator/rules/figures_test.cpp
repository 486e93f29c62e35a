// The figures' texts: cells for the pane and the table, JSON, and the
// Prometheus text read back by a strict parser.
#include "configurator/rules/figures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "configurator/rules/json_text.h"
#include "configurator/rules/prometheus_parser_for_testing.h"
#include "configurator/rules/prometheus_text.h"

namespace quensaria::configurator {
namespace {

using testing::ParsePrometheusText;
using testing::PromText;

ServerFigures Figures(Handle handle, const char* source, uint16_t port, bool running) {
  ServerFigures f;
  f.handle = handle;
  std::strncpy(f.config.Source, source, sizeof f.config.Source - 1);
  f.config.Port = port;
  f.config.IpAddress = 0x0100007F;
  f.read_ok = true;
  f.stats.RecordSize = sizeof(ServerStats);
  f.stats.Running = running ? 1 : 0;
  return f;
}

TEST(FiguresTextTest, BytesAndLatencies) {
  const struct {
    uint64_t bytes;
    const char* text;
  } bytes[] = {{0, "0 B"},
               {1023, "1023 B"},
               {1024, "1.0 KiB"},
               {1536, "1.5 KiB"},
               {10 * 1024, "10 KiB"},
               {uint64_t{5} << 30, "5.0 GiB"},
               {UINT64_MAX, "16 EiB"}};
  for (const auto& row : bytes) EXPECT_EQ(BytesText(row.bytes), row.text) << row.bytes;
  EXPECT_EQ(LatencyText(250, 3), "250 us");
  EXPECT_EQ(LatencyText(12345, 3), "12.3 ms");
  EXPECT_EQ(LatencyText(2'500'000, 3), "2.50 s");
  EXPECT_EQ(LatencyText(0, 0), "-");  // nothing in the last minute
  EXPECT_EQ(LatencyText(0, 1), "0 us");
}

TEST(JsonWriterTest, EscapesAndNestsAsTheGrammarSays) {
  JsonWriter json;
  json.BeginObject();
  json.Key("a\"b\\c");
  json.String("line\nend\ttab\x01 \xE9\x95\x9C \xFF.");
  json.Key("list");
  json.BeginArray();
  json.Number(uint64_t{18446744073709551615u});
  json.Number(int64_t{-5});
  json.Null();
  json.Bool(true);
  json.BeginObject();
  json.EndObject();
  json.EndArray();
  json.EndObject();
  EXPECT_EQ(json.text(),
            "{\"a\\\"b\\\\c\":\"line\\nend\\ttab\\u0001 \xE9\x95\x9C \xEF\xBF\xBD.\","
            "\"list\":[18446744073709551615,-5,null,true,{}]}\n");
}

TEST(PrometheusTextTest, ReadsBackWithEveryFigureAndEscapedLabels) {
  ServerFigures busy = Figures(257, "/srv/a \"b\" \\c\nd\xFF.img", 60000, true);
  ServerStats& s = busy.stats;
  s.StartedAt = 1'700'000'000;
  s.OnlineClients = 2;
  s.Connections = 3;
  s.Reads = 10;
  s.Writes = 4;
  s.OtherRequests = 2;
  s.BytesRead = 655360;
  s.BytesWritten = 16384;
  s.Errors = 1;
  s.RefusedConnections = 5;
  s.LatencySumMicros = 1'500'000;
  s.CacheHits = 7;
  s.CacheFills = 1;
  s.RecentRequests = 16;
  s.LatencyP50Micros = 250;
  s.LatencyP99Micros = 12000;
  const ServerFigures idle = Figures(300, "/dev/sdb", 60001, false);
  ServerFigures gone = Figures(301, "/gone", 60002, true);
  gone.read_ok = false;  // deleted while the figures were read

  const std::string text = PrometheusText({busy, idle, gone});
  const PromText parsed = ParsePrometheusText(text);
  ASSERT_EQ(parsed.error, "") << text;
  for (const auto& [name, family] : parsed.families) {
    EXPECT_FALSE(family.help.empty()) << name;
    EXPECT_FALSE(family.type.empty()) << name;
  }
  const std::map<std::string, std::string> b = {{"server", "257"},
                                                {"port", "60000"},
                                                {"address", "127.0.0.1"},
                                                {"source", "/srv/a \"b\" \\c\nd\xEF\xBF\xBD.img"}};
  const std::map<std::string, std::string> i = {{"server", "300"}, {"source", "/dev/sdb"}};
  const auto value = [&](const std::string& name, std::map<std::string, std::string> labels,
                         std::map<std::string, std::string> more = {}) {
    labels.insert(more.begin(), more.end());
    return parsed.Value(name, labels).value_or(-1);
  };
  EXPECT_EQ(value("quensaria_export_up", b), 1);
  EXPECT_EQ(value("quensaria_export_up", i), 0);
  EXPECT_EQ(value("quensaria_export_start_time_seconds", b), 1.7e9);
  EXPECT_EQ(value("quensaria_export_start_time_seconds", i), -1);  // none while stopped
  EXPECT_EQ(value("quensaria_online_clients", b), 2);
  EXPECT_EQ(value("quensaria_connections", b), 3);
  EXPECT_EQ(value("quensaria_requests_total", b, {{"kind", "read"}}), 10);
  EXPECT_EQ(value("quensaria_requests_total", b, {{"kind", "write"}}), 4);
  EXPECT_EQ(value("quensaria_requests_total", b, {{"kind", "other"}}), 2);
  EXPECT_EQ(value("quensaria_read_bytes_total", b), 655360);
  EXPECT_EQ(value("quensaria_written_bytes_total", b), 16384);
  EXPECT_EQ(value("quensaria_request_errors_total", b), 1);
  EXPECT_EQ(value("quensaria_refused_connections_total", b), 5);
  EXPECT_EQ(value("quensaria_read_cache_hits_total", b), 7);
  EXPECT_EQ(value("quensaria_read_cache_fills_total", b), 1);
  EXPECT_EQ(value("quensaria_request_duration_seconds", b, {{"quantile", "0.5"}}), 0.00025);
  EXPECT_EQ(value("quensaria_request_duration_seconds", b, {{"quantile", "0.99"}}), 0.012);
  EXPECT_EQ(value("quensaria_request_duration_seconds_sum", b), 1.5);
  EXPECT_EQ(value("quensaria_request_duration_seconds_count", b), 16);
  EXPECT_TRUE(std::isnan(value("quensaria_request_duration_seconds", i, {{"quantile", "0.5"}})));
  EXPECT_EQ(value("quensaria_requests_total", i, {{"kind", "read"}}), 0);
  for (const auto& sample : parsed.samples) EXPECT_NE(sample.labels.at("server"), "301");
  EXPECT_EQ(parsed.families.at("quensaria_request_duration_seconds").type, "summary");
  EXPECT_EQ(parsed.families.at("quensaria_read_bytes_total").type, "counter");
  EXPECT_EQ(parsed.families.at("quensaria_connections").type, "gauge");
}

// The parser above would catch the faults a writer could make.
TEST(PrometheusTextTest, TheReaderRefusesWhatAScraperRefuses) {
  const char* bad[] = {
      "a 1\n",                                         // no TYPE
      "# TYPE a gauge\na{x=\"1\"} 1\na{x=\"1\"} 2\n",  // the same series twice
      "# TYPE a gauge\na{x=\"q\"q\"} 1\n",             // a quote not escaped
      "# TYPE a gauge\na{x=\"\\t\"} 1\n",              // an escape the format lacks
      "# TYPE a gauge\na{1x=\"1\"} 1\n",               // a bad label name
      "# TYPE a gauge\na one\n",                       // no number
      "# TYPE a gauge\na 1",                           // no final line end
      "# TYPE a summary\na 1\n",                       // a summary's sample without quantile
      "# TYPE a gauge\na 1\n# TYPE a gauge\n",         // TYPE twice
      "# TYPE a-b gauge\n",                            // a bad metric name
  };
  for (const char* text : bad) EXPECT_NE(ParsePrometheusText(text).error, "") << text;
  EXPECT_EQ(
      ParsePrometheusText("# TYPE a summary\na{quantile=\"0.5\"} NaN\na_sum 1\na_count 2\n").error,
      "");
}

TEST(FiguresTextTest, TheTableHasAHeadingAndOneLinePerServer) {
  ServerFigures busy = Figures(257, "/srv/a.img", 60000, true);
  busy.stats.Reads = 12;
  busy.stats.BytesRead = 3 << 20;
  busy.stats.RecentRequests = 12;
  busy.stats.LatencyP50Micros = 80;
  busy.stats.LatencyP99Micros = 1500;
  const std::string table = FiguresTable({busy, Figures(300, "/b", 60001, false)});
  const std::vector<std::string> expected = {
      "SERVER  STATE    PORT   ONLINE CONNS READS    READ      WRITES   WRITTEN   ERRORS  P50  "
      "     P99       HITS     FILLS",
      "257     started  60000  0      0     12       3.0 MiB   0        0 B       0       80 us "
      "    1.5 ms    0        0",
      "300     stopped  60001  0      0     0        0 B       0        0 B       0       -    "
      "     -         0        0"};
  std::string joined;
  for (const std::string& line : expected) joined += line + "\n";
  EXPECT_EQ(table, joined);
}

}  // namespace
}  // namespace quensaria::configurator
