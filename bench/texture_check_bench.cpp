// The texture-file check (what `tettool textures` runs) over an asset of 1,000 texture
// descriptions, each naming its own 256 x 256 image (PNG and TGA, alternately), against decoding
// the same images in a plain stb_image loop. Both report items per second over the 1,000 images;
// the target is the check within 1.3x of the plain loop.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/texture_check.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace {

const int kDescriptions = BenchSize(1000, 20);
constexpr int kFolders = 10;
constexpr int kSide = 256;

struct Asset {
  std::string root;
  std::vector<std::string> images;
  Asset() = default;
  Asset(Asset&&) = default;
  ~Asset() {
    std::error_code ignored;
    if (!root.empty()) std::filesystem::remove_all(root, ignored);
  }
};

// Ten texture folders of 100 descriptions; the images hold a pattern that compresses as textures
// do, neither flat nor noise.
Asset MakeAsset() {
  Asset asset;
  char name[] = "/tmp/kestro_texture_bench_XXXXXX";
  asset.root = mkdtemp(name) ? name : "/tmp/kestro_texture_bench";
  std::vector<unsigned char> pixels(size_t(kSide) * kSide * 3);
  for (int i = 0; i < kDescriptions; ++i) {
    const std::string folder = asset.root + "/textures" + std::to_string(i % kFolders);
    std::filesystem::create_directories(folder);
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        unsigned char* p = &pixels[(size_t(y) * kSide + x) * 3];
        p[0] = static_cast<unsigned char>((x * 3 + i) ^ y);
        p[1] = static_cast<unsigned char>((y * 5 + x / 7) & 0xF0);
        p[2] = static_cast<unsigned char>(((x + y + i) % 64) * 4);
      }
    }
    const std::string stem = "tex" + std::to_string(i);
    const std::string image = stem + (i % 2 ? ".tga" : ".png");
    const std::string path = folder + "/" + image;
    if (i % 2) {
      stbi_write_tga(path.c_str(), kSide, kSide, 3, pixels.data());
    } else {
      stbi_write_png(path.c_str(), kSide, kSide, 3, pixels.data(), kSide * 3);
    }
    asset.images.push_back(path);
    FILE* description = std::fopen((folder + "/" + stem + ".texture.txt").c_str(), "w");
    if (description) {
      std::fprintf(description, "Primary=%s\r\n", image.c_str());
      std::fclose(description);
    }
  }
  return asset;
}

const Asset& TheAsset() {
  static const Asset asset = MakeAsset();
  return asset;
}

void BM_StbImageDecodeLoop(benchmark::State& state) {
  const Asset& asset = TheAsset();
  for (auto _ : state) {
    for (const std::string& path : asset.images) {
      int w = 0, h = 0, channels = 0;
      stbi_uc* pixels = stbi_load(path.c_str(), &w, &h, &channels, 0);
      if (pixels == nullptr) {
        state.SkipWithError("an image did not decode");
        return;
      }
      benchmark::DoNotOptimize(pixels);
      stbi_image_free(pixels);
    }
  }
  state.SetItemsProcessed(state.iterations() * kDescriptions);
}
BENCHMARK(BM_StbImageDecodeLoop)->Unit(benchmark::kMillisecond);

void BM_CheckTextureFiles(benchmark::State& state) {
  const Asset& asset = TheAsset();
  TETLib::ErrorHandler::CreateInstance();
  TETLib::DataManager::CreateInstance(asset.root.c_str());
  TETLib::DataManager::Instance().SetBuildNumber(3.5f);
  for (auto _ : state) {
    TETLib::ErrorHandler::Instance()->ClearRecords();
    if (!TETLib::CheckTextureFiles(asset.root.c_str(), asset.root.c_str())) {
      state.SkipWithError("the check reported findings");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kDescriptions);
  TETLib::DataManager::DestroyInstance();
  TETLib::ErrorHandler::DestroyInstance();
}
BENCHMARK(BM_CheckTextureFiles)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
