// The collision tree against testing every triangle: a bumpy 100,352-triangle terrain with shared
// corners, built once per iteration (triangles per second), then queried with segments, half of
// them dropped onto the terrain and half at random (queries per second). The tree must answer
// queries at least 50 times as fast as the brute-force test over the same mesh.
#include <benchmark/benchmark.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "../tests/mesh/triangle_soup.h"
#include "bench_support.h"
#include "mesh/kq_axis_box_tree.h"

namespace {

using Qel::Vector3;

const int kGrid = BenchSize(224, 32);  // 2 x 224 x 224 triangles
const size_t kQueries = BenchSize<size_t>(1000000, 1000);

// Chunks of at most 20000 triangles, as item ids allow.
TriangleSoup MakeTerrain() {
  std::vector<Vector3> all;
  auto at = [](int i, int j) {
    return Vector3(f32(i), f32(j), 3.0f * std::sin(i * 0.21f) * std::cos(j * 0.17f));
  };
  for (int y = 0; y < kGrid; ++y) {
    for (int x = 0; x < kGrid; ++x) {
      all.insert(all.end(), {at(x, y), at(x + 1, y), at(x, y + 1)});
      all.insert(all.end(), {at(x + 1, y), at(x + 1, y + 1), at(x, y + 1)});
    }
  }
  TriangleSoup terrain;
  constexpr size_t kChunkCorners = 3 * 20000;
  for (size_t i = 0; i < all.size(); i += kChunkCorners) {
    terrain.chunks.emplace_back(all.begin() + i,
                                all.begin() + std::min(all.size(), i + kChunkCorners));
  }
  return terrain;
}

TriangleSoup& TheTerrain() {
  static TriangleSoup terrain = MakeTerrain();
  return terrain;
}

const std::vector<std::pair<Vector3, Vector3>>& Segments() {
  static const auto segments = [] {
    std::mt19937 random(99);
    std::uniform_real_distribution<f32> across(-10.0f, kGrid + 10.0f);
    std::uniform_real_distribution<f32> height(-20.0f, 20.0f);
    std::vector<std::pair<Vector3, Vector3>> out;
    out.reserve(kQueries);
    for (size_t i = 0; i < kQueries; ++i) {
      const Vector3 a(across(random), across(random), height(random));
      if (i % 2 == 0) {
        out.emplace_back(Vector3(a.x, a.y, 10.0f), Vector3(a.x + 5.0f, a.y - 3.0f, -10.0f));
      } else {
        out.emplace_back(a, Vector3(across(random), across(random), height(random)));
      }
    }
    return out;
  }();
  return segments;
}

void BM_TreeBuild(benchmark::State& state) {
  TriangleSoup& terrain = TheTerrain();
  for (auto _ : state) {
    KQAxisBoxTree tree;
    terrain.Fill(tree);
    benchmark::DoNotOptimize(tree.Build());
  }
  state.SetItemsProcessed(i64(state.iterations()) * i64(terrain.TriangleCount()));
  state.counters["triangles"] = f64(terrain.TriangleCount());
}
BENCHMARK(BM_TreeBuild)->Unit(benchmark::kMillisecond)->Iterations(BenchSize(3, 1));

void BM_TreeQuery(benchmark::State& state) {
  TriangleSoup& terrain = TheTerrain();
  KQAxisBoxTree tree;
  terrain.Fill(tree);
  tree.Build();
  const auto& segments = Segments();
  size_t i = 0;
  i64 hits = 0;
  for (auto _ : state) {
    KQAxisBoxHit hit;
    hits += tree.FindFirstHit(segments[i].first, segments[i].second, hit);
    if (++i == segments.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["hit_share"] = f64(hits) / f64(state.iterations());
}
BENCHMARK(BM_TreeQuery)->Iterations(benchmark::IterationCount(kQueries));

void BM_BruteForceQuery(benchmark::State& state) {
  TriangleSoup& terrain = TheTerrain();
  const auto& segments = Segments();
  size_t i = 0;
  i64 hits = 0;
  for (auto _ : state) {
    hits += terrain.BruteForce(segments[i].first, segments[i].second) != FLT_MAX;
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["hit_share"] = f64(hits) / f64(state.iterations());
}
BENCHMARK(BM_BruteForceQuery)->Iterations(BenchSize(2000, 10));

}  // namespace

BENCHMARK_MAIN();
