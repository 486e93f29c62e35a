// What the live figures cost a request: the two clock reads and one answer
// counted, one thread alone and several at once (each in its own slot), and
// a sum as the management interface asks for it.
#include <benchmark/benchmark.h>

#include "service/engine/engine_stats.h"
#include "shared/block_protocol.h"

namespace quensaria::engine {
namespace {

EngineStats& Shared() {
  static EngineStats stats;
  return stats;
}

void BM_CountOneAnswer(benchmark::State& state) {
  EngineStats& stats = Shared();
  for (auto _ : state) {
    const StatsClock::time_point started = StatsClock::now();
    stats.Answered(CMD_READ, REPLY_OK, 4096, started, StatsClock::now());
  }
}
BENCHMARK(BM_CountOneAnswer)->ThreadRange(1, 4)->UseRealTime();

void BM_ClockReadsAlone(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(StatsClock::now());
    benchmark::DoNotOptimize(StatsClock::now());
  }
}
BENCHMARK(BM_ClockReadsAlone);

void BM_Sum(benchmark::State& state) {
  EngineStats stats;
  for (int i = 0; i < 1000; ++i) {
    const StatsClock::time_point now = StatsClock::now();
    stats.Answered(CMD_WRITE, REPLY_OK, 65536, now, now);
  }
  for (auto _ : state) {
    ServerStats figures{};
    stats.Sum(figures);
    benchmark::DoNotOptimize(figures);
  }
}
BENCHMARK(BM_Sum);

}  // namespace
}  // namespace quensaria::engine

BENCHMARK_MAIN();
