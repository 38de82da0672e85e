// Script-image raster work against its peers in one run: Clear of a 2048 x 2048 image against a
// memset of the same bytes (target within 1.5x), and a scaled copy to 1024 x 1024 against
// stb_image_resize of the same pixels (target within 2x).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_support.h"
#include "qelgfx/bitmap.h"
#include "qelgfx/bitmap_draw.h"
#include "ratio_reporter.h"

#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wdouble-promotion"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <stb/stb_image_resize.h>
#pragma GCC diagnostic pop

namespace {

const i32 kClearSide = BenchSize<i32>(2048, 256);
// The copy halves a picture twice the target's side, as scripts shrink loaded images.
const i32 kScaledSide = BenchSize<i32>(1024, 128);

void BM_ClearImage(benchmark::State& state) {
  Qel::Bitmap bitmap;
  if (!bitmap.Create(u32(kClearSide), u32(kClearSide), Qel::Bitmap::kARGB)) {
    state.SkipWithError("no image");
    return;
  }
  for (auto _ : state) {
    Qel::ClearSurface(bitmap.GetSurface(), 0x80402010u);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * i64(kClearSide) * kClearSide * 4);
}

void BM_MemsetPeer(benchmark::State& state) {
  std::vector<u32> pixels(size_t(kClearSide) * size_t(kClearSide));
  for (auto _ : state) {
    std::memset(pixels.data(), 0x40, pixels.size() * 4);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * i64(kClearSide) * kClearSide * 4);
}

void Picture(Qel::Bitmap* picture) {
  picture->Create(u32(kScaledSide) * 2, u32(kScaledSide) * 2, Qel::Bitmap::kARGB);
  Qel::Surface surface = picture->GetSurface();
  for (i32 y = 0; y < surface.height; ++y) {
    for (i32 x = 0; x < surface.width; ++x) {
      surface.pixels[size_t(y) * size_t(surface.width) + size_t(x)] =
          0xFF000000u | u32(x * 7) << 16 | u32(y * 3) << 8 | u32(x ^ y);
    }
  }
}

void BM_ScaledCopy(benchmark::State& state) {
  Qel::Bitmap source;
  Picture(&source);
  Qel::Bitmap target;
  target.Create(u32(kScaledSide), u32(kScaledSide), Qel::Bitmap::kARGB);
  const Qel::Rect whole{0, 0, source.GetConstSurface().width, source.GetConstSurface().height};
  for (auto _ : state) {
    Qel::CopyImageScaled(target.GetSurface(), Qel::Rect{0, 0, kScaledSide, kScaledSide},
                         source.GetConstSurface(), whole);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * i64(kScaledSide) * kScaledSide);
}

void BM_StbResizePeer(benchmark::State& state) {
  Qel::Bitmap source;
  Picture(&source);
  std::vector<u32> target(size_t(kScaledSide) * size_t(kScaledSide));
  const auto* in = reinterpret_cast<const unsigned char*>(source.GetConstSurface().pixels);
  auto* out = reinterpret_cast<unsigned char*>(target.data());
  for (auto _ : state) {
    stbir_resize_uint8(in, i32(source.GetWidth()), i32(source.GetHeight()), 0, out, kScaledSide, kScaledSide,
                       0, 4);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * i64(kScaledSide) * kScaledSide);
}

BENCHMARK(BM_ClearImage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemsetPeer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScaledCopy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StbResizePeer)->Unit(benchmark::kMicrosecond);

void PrintRatios(const RatioReporter& reporter) {
  const double clear = reporter.Seconds("BM_ClearImage");
  const double memset = reporter.Seconds("BM_MemsetPeer");
  const double scaled = reporter.Seconds("BM_ScaledCopy");
  const double resize = reporter.Seconds("BM_StbResizePeer");
  if (clear > 0 && memset > 0) {
    std::printf("\nClear of %dx%d / memset: %.2fx (target at most 1.5x)\n", kClearSide, kClearSide,
                clear / memset);
  }
  if (scaled > 0 && resize > 0) {
    std::printf("scaled copy to %dx%d / stb_image_resize: %.2fx (target at most 2x)\n", kScaledSide,
                kScaledSide, scaled / resize);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(RatioReporter::Clock::kProcessor);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter);
  benchmark::Shutdown();
  return 0;
}
