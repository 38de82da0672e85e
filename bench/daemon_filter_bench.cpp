// What a hostile or merely huge search filter costs the daemon: parsing a 128 MB filter (refused
// by the term limit, or accepted when it is one large asset set), the memory a parsed filter of
// the largest allowed size takes per byte of request, and evaluating it over 100,000 assets.
// Counters: "x_bytes" is the parsed filter's memory over its request bytes; items_per_second is
// asset-term evaluations per second.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "daemon/asset_record.h"
#include "daemon/daemon_limits.h"
#include "daemon/daemon_test_util.h"
#include "daemon/filter_evaluator.h"
#include "daemon/filter_tree.h"
#include "pymclient/pym_filter_codes.h"

namespace {

namespace fc = PymFilterCodes;
using PymDaemonSrv::FilterParseResult;

const size_t kHugeBytes = BenchSize<size_t>(128u << 20, 1u << 20);
const u32 kAssetCount = BenchSize<u32>(100000, 1000);

using Writer = daemon_test::Bytes;

// A group of bool terms filling `size` bytes.
std::vector<u8> BoolTerms(size_t size) {
  const u32 count = u32((size - 10) / 8);
  Writer w;
  w.data.reserve(size);
  w.U32(fc::kTagGroup).U8(0).U8(0).U32(count);
  for (u32 i = 0; i < count; ++i) w.U32(fc::kTagBool).U32(i % 32);
  return w.data;
}

// The largest filter allowed: a group of mixed terms, none of which matches, so that every
// term is evaluated for every asset.
std::vector<u8> MixedTerms() {
  Writer w;
  const u32 count = PymDaemonSrv::kMaxFilterTerms - 1;
  w.U32(fc::kTagGroup).U8(0).U8(0).U32(count);
  for (u32 i = 0; i < count; ++i) {
    switch (i % 4) {
      case 0:
        w.U32(fc::kTagBool).U32(fc::kFlagCount + 1);
        break;
      case 1:
        w.U32(fc::kTagString).U32(fc::kStringAssetName).Text("zz" + std::to_string(i)).U8(0);
        break;
      case 2:
        w.U32(fc::kTagString).U32(fc::kStringCategoryList).Text("QQ;-TR").U8(0);
        break;
      default:
        w.U32(fc::kTagInt).U32(fc::kIntLocalRating).U32(1000).U32(2000).U8(1).U8(1);
        break;
    }
  }
  return w.data;
}

void BM_ParseHugeBoolFilter(benchmark::State& state) {
  const std::vector<u8> bytes = BoolTerms(kHugeBytes);
  for (auto _ : state) {
    FilterParseResult r = PymDaemonSrv::ParseFilterPayload(bytes.data(), bytes.size());
    if (r.ok) state.SkipWithError("a filter over the term limit was accepted");
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(int64_t(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ParseHugeBoolFilter)->Unit(benchmark::kMillisecond);

void BM_ParseHugeAssetSet(benchmark::State& state) {
  const u32 count = u32((kHugeBytes - 12) / 8);
  Writer w;
  w.data.reserve(kHugeBytes);
  w.U32(fc::kTagAssetID).U32(fc::kAssetIDAssetId).U32(count);
  for (u32 i = 0; i < count; ++i) w.U32(count - i).U32(1000 + i % 7);
  double ratio = 0;
  for (auto _ : state) {
    FilterParseResult r = PymDaemonSrv::ParseFilterPayload(w.data.data(), w.data.size());
    if (!r.ok) state.SkipWithError(r.error.c_str());
    if (r.root) ratio = double(r.root->MemoryBytes()) / double(w.data.size());
  }
  state.SetBytesProcessed(int64_t(state.iterations() * w.data.size()));
  state.counters["x_bytes"] = ratio;
}
BENCHMARK(BM_ParseHugeAssetSet)->Unit(benchmark::kMillisecond);

void BM_EvaluateLargestFilter(benchmark::State& state) {
  const std::vector<u8> bytes = MixedTerms();
  const FilterParseResult r = PymDaemonSrv::ParseFilterPayload(bytes.data(), bytes.size());
  if (!r.ok) {
    state.SkipWithError(r.error.c_str());
    return;
  }
  std::vector<PymDaemonSrv::AssetRecord> assets(kAssetCount);
  for (u32 i = 0; i < kAssetCount; ++i) {
    assets[i].kuid = KUID(1000, i32(i), 0);
    assets[i].nameLower = "asset " + std::to_string(i);
    assets[i].categories = "TR;CAR";
    assets[i].rating = 3;
  }
  const PymDaemonSrv::FilterEvaluator evaluator;
  for (auto _ : state) {
    size_t matches = 0;
    for (const auto& a : assets) matches += evaluator.Matches(r.root.get(), a) ? 1 : 0;
    if (matches != 0) state.SkipWithError("the filter matched");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kAssetCount * r.root->NodeCount());
  state.counters["x_bytes"] = double(r.root->MemoryBytes()) / double(bytes.size());
}
BENCHMARK(BM_EvaluateLargestFilter)->Unit(benchmark::kMillisecond)->Iterations(BenchSize(2, 1));

}  // namespace

BENCHMARK_MAIN();
