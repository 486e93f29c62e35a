// The servers' live figures in Prometheus' text exposition format (0.0.4),
// as `ludrane-cli stats --prometheus` prints them and node_exporter's
// textfile collector reads them: one family per figure, HELP and TYPE
// first, one sample per server labelled server (its handle), address, port
// and source. Counters start again from 0 when a server is started again
// (Prometheus' rate() takes that as a reset); latency is a summary whose
// quantiles cover the last minute (NaN without requests in it) and whose
// _sum and _count cover the server's run.
#ifndef QUENSARIA_CONFIGURATOR_RULES_PROMETHEUS_TEXT_H_
#define QUENSARIA_CONFIGURATOR_RULES_PROMETHEUS_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

#include "configurator/rules/figures.h"

namespace quensaria::configurator {

std::string PrometheusText(const std::vector<ServerFigures>& servers);

// A label value as the format escapes it: backslash, double quote and line
// feed, in valid UTF-8.
std::string PrometheusLabelValue(std::string_view text);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_RULES_PROMETHEUS_TEXT_H_
