// Asset search over the daemon's index of 100,000 assets with a three-term filter (a category
// expression, a name part and a flag), the way the daemon serves it: the filter in the byte form
// the client writes, parsed by the daemon and run by the store over its in-memory index.
// items_per_second is queries per second.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/buffer_stream.h"
#include "daemon/asset_store.h"
#include "daemon/filter_tree.h"
#include "pymclient/pym_filter.h"
#include "qel/dynamic_buffer.h"

namespace {

namespace fc = PymFilterCodes;
using PymDaemonSrv::AssetStore;

constexpr u32 kAssetCount = 100000;

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

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A UserData folder whose index holds kAssetCount assets. Writing the rows straight into the
// store's file takes a second; building as many asset folders for a rebuild would take minutes.
class SeededStore {
 public:
  SeededStore() {
    char pattern[] = "/tmp/kestro-search-benchXXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      error_ = "cannot make a temporary folder";
      return;
    }
    folder_ = pattern;
    // The first open makes an empty index of the current schema.
    if (!store_.Open(folder_, &error_)) return;
    store_.Close();
    if (!Fill()) return;
    if (!store_.Open(folder_, &error_)) return;
    if (store_.CountAssets() != kAssetCount) {
      error_ = "the index holds " + std::to_string(store_.CountAssets()) + " assets";
    }
  }
  ~SeededStore() {
    store_.Close();
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }
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
  bool Fill() {
    sqlite3* db = nullptr;
    const std::string path = folder_ + "/" + AssetStore::kDatabaseFileName;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      error_ = "cannot open " + path;
      sqlite3_close_v2(db);
      return false;
    }
    sqlite3_stmt* row = nullptr;
    bool ok = Exec(db, "BEGIN IMMEDIATE") &&
              sqlite3_prepare_v2(db,
                                 "INSERT INTO assets(user, content, version, folder, path, name, "
                                 "categories, region, era, keywords, build, rating, install_time, "
                                 "modify_time, flags, config) VALUES(?, ?, ?, 'local', ?, ?, ?, "
                                 "'', '', '', 4.6, 255, 1700000000, 1700000000, ?, x'')",
                                 -1, &row, nullptr) == SQLITE_OK;
    const u32 baseFlags = (1u << fc::kFlagLocal) | (1u << fc::kFlagLocallyAvailable) |
                          (1u << fc::kFlagLocallyEnabled) | (1u << fc::kFlagValidName) |
                          (1u << fc::kFlagCompatible);
    for (u32 i = 0; ok && i < kAssetCount; ++i) {
      const KUID kuid = KuidOf(i);
      const std::string name = std::string(NameOf(i).text) + " " + std::to_string(i);
      sqlite3_bind_int64(row, 1, kuid.userId);
      sqlite3_bind_int64(row, 2, kuid.contentId);
      sqlite3_bind_int64(row, 3, kuid.version);
      sqlite3_bind_text(row, 4, ("asset" + std::to_string(i)).c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(row, 5, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(row, 6, CategoryOf(i).text, -1, SQLITE_STATIC);
      sqlite3_bind_int64(row, 7, baseFlags);
      ok = sqlite3_step(row) == SQLITE_DONE && sqlite3_reset(row) == SQLITE_OK;
    }
    ok = ok && Exec(db, "COMMIT");
    if (!ok) error_ = std::string("seeding the index: ") + sqlite3_errmsg(db);
    sqlite3_finalize(row);
    sqlite3_close_v2(db);
    return ok;
  }

  std::string folder_;
  std::string error_;
  AssetStore store_;
};

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
  static const SeededStore seeded;
  if (!seeded.Error().empty()) {
    state.SkipWithError(seeded.Error().c_str());
    return;
  }
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

}  // namespace

BENCHMARK_MAIN();
