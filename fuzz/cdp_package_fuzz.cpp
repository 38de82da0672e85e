// Opens arbitrary bytes as a content package and extracts every asset's files into a scratch
// folder. Nothing may appear anywhere but below the destination: not beside it, not in the working
// folder, and nothing below it may be a link.
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

struct Scratch {
  std::string root;
  // A relative write would land in the working folder, which the fuzzer's own files leave alone.
  std::set<std::string> workingFolder = Names(".");
  Scratch() {
    std::string name = (fs::temp_directory_path() / "kestro_cdp_fuzz_XXXXXX").string();
    if (!mkdtemp(name.data())) std::abort();
    root = name;
    fs::create_directories(root + "/outer");
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  const std::string package = scratch.root + "/pkg.cdp";
  const std::string dest = scratch.root + "/outer/dest";
  std::ofstream(package, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), std::streamsize(size));

  Soup opened;
  if (OpenContentPackage(opened, Qel::PString(), package.c_str()).IsEmpty()) {
    const u32 count = std::min<u32>(CountPackageAssets(opened), 8);
    for (u32 i = 0; i < count; ++i) {
      const Soup asset = GetPackageAsset(opened, i).soup;
      ExtractPackageFiles(GetFilesContainer(asset), Qel::PString(), dest.c_str(),
                          GetCompressionName(asset));
    }
  }
  const std::set<std::string> outer = Names(scratch.root + "/outer");
  if (Names(scratch.root) != std::set<std::string>{"outer", "pkg.cdp"} || outer.size() > 1 ||
      (outer.size() == 1 && *outer.begin() != "dest") || Names(".") != scratch.workingFolder) {
    std::abort();
  }
  std::error_code error;
  if (fs::exists(dest)) {
    for (const auto& entry : fs::recursive_directory_iterator(dest, error)) {
      if (entry.is_symlink()) std::abort();
    }
  }
  fs::remove_all(dest, error);
  return 0;
}
