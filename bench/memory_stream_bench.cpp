// Writing a large payload into a memory stream in small pieces, as printing a large soup does:
// the time shows how the stream grows its buffer. items_per_second is bytes per second.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

void BM_MemoryStreamSmallWrites(benchmark::State& state) {
  // The argument is in MB; a small run counts it in 16 KB.
  const u32 total = u32(state.range(0)) << BenchSize(20, 14);
  u8 piece[64] = {};
  for (auto _ : state) {
    Qel::DynamicBuffer buffer;
    TBuffer stream(&buffer, false);
    for (u32 written = 0; written < total; written += sizeof piece) {
      stream.Write(piece, sizeof piece);
    }
    if (buffer.GetDataSize() != total) state.SkipWithError("short write");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * total);
}
BENCHMARK(BM_MemoryStreamSmallWrites)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
