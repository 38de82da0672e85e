// Asset search over the daemon's index of 100,000 assets with a three-term filter (a category
// expression, a name part and a flag), the way the daemon serves it: the filter in the byte form
// the client writes, parsed by the daemon and run by the store over its in-memory index.
// items_per_second is queries per second. The peer is the record-by-record scan that searches
// were before; the target is under 1 ms a query and at least 8 times the scan's speed.
#include <benchmark/benchmark.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/buffer_stream.h"
#include "daemon/asset_store.h"
#include "daemon/filter_tree.h"
#include "pymclient/pym_filter.h"
#include "qel/dynamic_buffer.h"
#include "support/scratch_folder.h"

namespace {

namespace fc = PymFilterCodes;
using PymDaemonSrv::AssetStore;

const u32 kAssetCount = BenchSize<u32>(100000, 1000);

// What the filter below selects, known here independently of the evaluator.
constexpr const char* kCategoryExpression = "TR;-LOCO";
constexpr const char* kNamePart = "car";
struct Choice {
  const char* text;
  bool selected;
};
constexpr Choice kNames[] = {
    {"Red Car", true},       {"Blue Loco", false},  {"Green Barn", false},
    {"Cargo Wagon", true},   {"Signal Box", false}, {"Coal CAR Hopper", true},
    {"Station Hall", false}, {"Tank Wagon", false}, {"Dining Car", true},
    {"Water Tower", false},  {"Scarecrow", true},   {"Level Crossing", false},
};
constexpr Choice kCategories[] = {
    {"TR;CAR", true},    {"TR;LOCO", false},    {"BR", false},    {"BS;TR", true}, {"SC;TV", false},
    {"TR;CAR;TV", true}, {"LOCO;TR;EL", false}, {"WAG;TR", true}, {"BS", false},
};

// Two versions of each asset: the first is obsolete, only the second is up to date.
KUID KuidOf(u32 i) { return KUID(i32(1000 + (i / 2) % 997), i32(i / 2), i32(i % 2)); }
const Choice& NameOf(u32 i) { return kNames[i % std::size(kNames)]; }
const Choice& CategoryOf(u32 i) { return kCategories[(i / 2 / 3) % std::size(kCategories)]; }

// A UserData folder whose index holds kAssetCount assets, written through the store's own
// change path, so that the rows always fit the schema of the day. Building as many asset folders
// for a rebuild would take minutes.
class SeededStore {
 public:
  SeededStore() {
    if (folder_.path().empty()) {
      error_ = "cannot make a temporary folder";
      return;
    }
    // The first open makes an empty index of the current schema.
    if (!store_.Open(folder_.path(), &error_)) return;
    if (!store_.RecordChanges(Assets(), KUID(), &error_)) {
      error_ = "seeding the index: " + error_;
      return;
    }
    if (store_.CountAssets() != kAssetCount) {
      error_ = "the index holds " + std::to_string(store_.CountAssets()) + " assets";
    }
  }
  ~SeededStore() { store_.Close(); }
  SeededStore(const SeededStore&) = delete;
  SeededStore& operator=(const SeededStore&) = delete;

  const std::string& Error() const { return error_; }
  const AssetStore& Store() const { return store_; }

  static size_t ExpectedMatches() {
    size_t n = 0;
    for (u32 i = 0; i < kAssetCount; ++i) {
      n += (i % 2 == 1 && NameOf(i).selected && CategoryOf(i).selected) ? 1 : 0;
    }
    return n;
  }

 private:
  static std::vector<PymDaemonSrv::ScannedAsset> Assets() {
    const u32 baseFlags = (1u << fc::kFlagLocal) | (1u << fc::kFlagLocallyAvailable) |
                          (1u << fc::kFlagLocallyEnabled) | (1u << fc::kFlagValidName) |
                          (1u << fc::kFlagCompatible);
    std::vector<PymDaemonSrv::ScannedAsset> assets(kAssetCount);
    for (u32 i = 0; i < kAssetCount; ++i) {
      PymDaemonSrv::AssetRecord& r = assets[i].record;
      r.kuid = KuidOf(i);
      r.folder = "local";
      r.path = "asset" + std::to_string(i);
      r.name = std::string(NameOf(i).text) + " " + std::to_string(i);
      r.nameLower = r.name;
      for (char& c : r.nameLower) c = char(std::tolower(u8(c)));
      r.categories = CategoryOf(i).text;
      r.build = 4.6f;
      r.installTime = r.modifyTime = 1700000000;
      r.flags = baseFlags;
    }
    return assets;
  }

  // Declared first, so that it goes last, after the store has closed its files in it.
  scratch::Folder folder_;
  std::string error_;
  AssetStore store_;
};

// The store both benchmarks search, seeded once; null, with the benchmark failed, when seeding
// did not work.
const SeededStore* Seeded(benchmark::State& state) {
  static const SeededStore seeded;
  if (seeded.Error().empty()) return &seeded;
  state.SkipWithError(seeded.Error().c_str());
  return nullptr;
}

// The request payload the client sends for the filter, as the daemon parses it.
PymDaemonSrv::FilterParseResult ThreeTermFilter() {
  PymFilterElementGroup group;
  group.AddElement(std::make_unique<PymFilterElementString>(fc::kStringCategoryList,
                                                            Qel::PString(kCategoryExpression)));
  group.AddElement(
      std::make_unique<PymFilterElementString>(fc::kStringAssetName, Qel::PString(kNamePart)));
  group.AddElement(std::make_unique<PymFilterElementBool>(fc::kFlagUpToDate));
  Qel::DynamicBuffer bytes;
  TBuffer stream(&bytes, false);
  WriteFilterElement(stream, &group);
  return PymDaemonSrv::ParseFilterPayload(bytes.GetData(), bytes.GetDataSize());
}

void BM_DaemonSearchThreeTerms(benchmark::State& state) {
  const SeededStore* store = Seeded(state);
  if (store == nullptr) return;
  const SeededStore& seeded = *store;
  const PymDaemonSrv::FilterParseResult filter = ThreeTermFilter();
  if (!filter.ok || !filter.root) {
    state.SkipWithError(("the filter did not parse: " + filter.error).c_str());
    return;
  }
  // A search that finds the wrong assets is not worth timing.
  const size_t matches = seeded.Store().Search(filter.root.get()).size();
  if (matches != SeededStore::ExpectedMatches()) {
    state.SkipWithError(("the search found " + std::to_string(matches) + " assets, not " +
                         std::to_string(SeededStore::ExpectedMatches()))
                            .c_str());
    return;
  }
  for (auto _ : state) {
    std::vector<KUID> found = seeded.Store().Search(filter.root.get());
    benchmark::DoNotOptimize(found.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  state.counters["assets"] = kAssetCount;
  state.counters["matches"] = double(matches);
}
BENCHMARK(BM_DaemonSearchThreeTerms)->Unit(benchmark::kMillisecond);

// The peer: the same filter run record by record through the evaluator over copies of the
// store's records, as searches ran before the index laid out its columns.
void BM_DaemonSearchScanPeer(benchmark::State& state) {
  const SeededStore* store = Seeded(state);
  if (store == nullptr) return;
  const SeededStore& seeded = *store;
  const PymDaemonSrv::FilterParseResult filter = ThreeTermFilter();
  std::vector<PymDaemonSrv::AssetRecord> records;
  for (const KUID& kuid : seeded.Store().Search(nullptr)) {
    records.emplace_back();
    seeded.Store().GetAsset(kuid, records.back());
  }
  const PymDaemonSrv::FilterEvaluator evaluator;
  size_t matches = 0;
  for (auto _ : state) {
    std::vector<KUID> found;
    for (const PymDaemonSrv::AssetRecord& r : records) {
      if (evaluator.Matches(filter.root.get(), r)) found.push_back(r.kuid);
    }
    matches = found.size();
    benchmark::DoNotOptimize(found.data());
  }
  if (matches != SeededStore::ExpectedMatches()) state.SkipWithError("the scan found other assets");
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_DaemonSearchScanPeer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
