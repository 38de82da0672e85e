// Hostile texture descriptions in an asset folder: the check reads them whole, opens nothing
// outside the asset and reports each problem at most once.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/texture_check.h"

namespace {

// An asset with one image beside the description, kept for the whole run.
struct ScratchAsset {
  std::string root = "/tmp/texture_description_fuzz_" + std::to_string(getpid());
  ScratchAsset() {
    std::filesystem::create_directories(root + "/sub");
    std::string tga(18, '\0');
    tga[2] = 3;
    tga[12] = 4;
    tga[14] = 4;
    tga[16] = 8;
    std::ofstream(root + "/a.tga", std::ios::binary) << tga << std::string(16, '\x40');
    TETLib::ErrorHandler::CreateInstance();
    TETLib::DataManager::CreateInstance(root.c_str());
    TETLib::DataManager::Instance().SetOutsideEditingAndBase(true);
  }
  ~ScratchAsset() {
    TETLib::DataManager::DestroyInstance();
    TETLib::ErrorHandler::DestroyInstance();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchAsset asset;
  std::ofstream(asset.root + "/sub/t.texture.txt", std::ios::binary)
      .write(reinterpret_cast<const char*>(data), std::streamsize(size));
  TETLib::ErrorHandler::Instance()->ClearRecords();
  TETLib::CheckTextureFiles(asset.root.c_str(), asset.root.c_str());
  // At most: non-ANSI, two image findings each for primary and alpha, sizes, not compiled.
  if (TETLib::ErrorHandler::Instance()->GetRecords().size() > 7) std::abort();
  return 0;
}
