// Converting 50 texture descriptions, each naming its own 1024 x 1024 image with full alpha, into
// DXT5 textures with every mip level (what `compresstexture` runs on an asset), against Debian's
// `nvcompress -bc3` (package libnvtt-bin) run once per image on the same images. Each reports the
// time for all 50; the target is the conversion within 1.2x of the command-line compressor.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "bench_support.h"
#include "pymclient/install_paths.h"
#include "qel/file_path.h"
#include "support/scratch_folder.h"
#include "validation/texture_convert_job.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

extern char** environ;

namespace {

const int kImages = BenchSize(50, 2);
const int kSide = BenchSize(1024, 64);

struct Installation {
  scratch::Folder folder;
  std::string root = folder.path();
  std::string asset;
  std::vector<std::string> images;
};

// Images with a pattern that compresses as textures do, neither flat nor noise, and an alpha
// ramp that asks for DXT5.
const Installation& GetInstallation() {
  static Installation installation;
  static const bool made = [] {
    Installation& into = installation;
    into.asset = into.root + "/UserData/editing/bench";
    std::filesystem::create_directories(into.asset);
    std::vector<unsigned char> pixels(size_t(kSide) * kSide * 4);
    for (int i = 0; i < kImages; ++i) {
      for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
          unsigned char* p = &pixels[(size_t(y) * kSide + x) * 4];
          p[0] = static_cast<unsigned char>((x * 3 + i) ^ y);
          p[1] = static_cast<unsigned char>((y * 5 + x / 7) & 0xF0);
          p[2] = static_cast<unsigned char>(((x + y + i) % 64) * 4);
          p[3] = static_cast<unsigned char>((x / 4 + y / 8) & 0xFF);
        }
      }
      const std::string stem = "tex" + std::to_string(i);
      const std::string image = into.asset + "/" + stem + ".tga";
      stbi_write_tga(image.c_str(), kSide, kSide, 4, pixels.data());
      into.images.push_back(image);
      if (FILE* description = std::fopen((into.asset + "/" + stem + ".texture.txt").c_str(), "w")) {
        std::fprintf(description, "Primary=%s.tga\r\n", stem.c_str());
        std::fclose(description);
      }
    }
    return InitInstallPaths(Qel::File::Path(into.root.c_str()));
  }();
  (void)made;
  return installation;
}

void BM_CompressTexturesDXT5(benchmark::State& state) {
  const Installation& installation = GetInstallation();
  for (auto _ : state) {
    ResultsLog log;
    const u32 status = CompressTexturesInPath(Qel::PString(),
                                              Qel::File::Path(installation.asset.c_str()), &log);
    if (status != kTextureConvertDone) state.SkipWithError("the conversion failed");
  }
  state.SetItemsProcessed(state.iterations() * kImages);
}

void BM_NvcompressBC3(benchmark::State& state) {
  const Installation& installation = GetInstallation();
  const std::string output = installation.root + "/out.dds";
  for (auto _ : state) {
    for (const std::string& image : installation.images) {
      const char* argv[] = {"nvcompress", "-bc3", image.c_str(), output.c_str(), nullptr};
      pid_t pid = 0;
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
      const int spawned = posix_spawnp(&pid, "nvcompress", &actions, nullptr,
                                       const_cast<char**>(argv), environ);
      posix_spawn_file_actions_destroy(&actions);
      int status = 0;
      if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
          WEXITSTATUS(status) != 0) {
        state.SkipWithError("nvcompress failed (package libnvtt-bin)");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kImages);
}

// One pass each is 50 images, about a minute; one pass keeps the run short.
BENCHMARK(BM_CompressTexturesDXT5)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_NvcompressBC3)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
