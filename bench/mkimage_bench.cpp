// Time to create a disk image with the create flow, by size: the work is a
// few metadata sectors, so large sparse images should cost what small ones do.
#include <benchmark/benchmark.h>

#include <string>

#include "configurator/image/create_image.h"
#include "platform/scratch_dir_for_testing.h"

namespace {

using quensaria::configurator::CreateImage;
using quensaria::configurator::ImageFileSystem;

void CreateImageOfSize(benchmark::State& state, ImageFileSystem fs) {
  quensaria::testing::ScratchDir dir;
  const std::string path = dir.File("bench.img");
  const uint64_t mib = static_cast<uint64_t>(state.range(0));
  for (auto _ : state) {
    quensaria::Status s = CreateImage(path, mib, fs);
    if (!s.ok()) {
      state.SkipWithError(s.message().c_str());
      break;
    }
  }
  state.SetLabel(std::to_string(mib) + " MiB");
}

void BM_CreateFatImage(benchmark::State& state) { CreateImageOfSize(state, ImageFileSystem::kFat); }
void BM_CreateFat32Image(benchmark::State& state) {
  CreateImageOfSize(state, ImageFileSystem::kFat32);
}

BENCHMARK(BM_CreateFatImage)->Arg(200)->Arg(4095)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateFat32Image)->Arg(1024)->Arg(10240)->Arg(102400)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
