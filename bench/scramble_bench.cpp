// Scrambling and de-scrambling of read data against memcpy of the same
// buffer, in one run: the transforms should keep up with memory.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "shared/scramble.h"

namespace quensaria {
namespace {

std::vector<uint8_t> Buffer(size_t size) {
  std::vector<uint8_t> b(size + 8);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 131 + 7);
  return b;
}

void BM_Memcpy(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> src = Buffer(size), dst = Buffer(size);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_Scramble(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> data = Buffer(size);
  for (auto _ : state) {
    Scramble(data.data(), size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_Descramble(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> data = Buffer(size);
  for (auto _ : state) {
    Descramble(data.data(), size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_DescrambleCopy(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> src = Buffer(size), dst = Buffer(size);
  for (auto _ : state) {
    DescrambleCopy(src.data(), dst.data(), size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

#define SIZES ->Arg(64 << 10)->Arg(1 << 20)
BENCHMARK(BM_Memcpy) SIZES;
BENCHMARK(BM_Scramble) SIZES;
BENCHMARK(BM_Descramble) SIZES;
BENCHMARK(BM_DescrambleCopy) SIZES;

}  // namespace
}  // namespace quensaria

BENCHMARK_MAIN();
