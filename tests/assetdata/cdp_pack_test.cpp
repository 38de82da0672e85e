#include "assetdata/cdp_pack.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "assetdata/safe_folder.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

std::string Bytes(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  EXPECT_TRUE(WriteSoup(out, soup));
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

void Write(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Many files of many sizes in nested folders, with entries the rules keep out, so that the
// compressing threads finish out of order and the skips fall between packed files.
void Populate(const std::string& root) {
  u32 seed = 5;
  for (int i = 0; i < 60; ++i) {
    std::string text;
    const int lines = (i * 37) % 400;
    for (int l = 0; l < lines; ++l) {
      seed = seed * 1103515245u + 12345u;
      text += "line " + std::to_string(l) + " value " + std::to_string(seed >> 16) + "\n";
    }
    const std::string folder = i % 3 == 0 ? "" : (i % 3 == 1 ? "mesh/" : "mesh/textures/");
    Write(root + "/" + folder + "file" + std::to_string(i) + ".txt", text);
  }
  Write(root + "/config.txt", "kuid <kuid:1:2>\n");
  Write(root + "/mesh/empty.im", "");
  Write(root + "/mesh/not allowed?.txt", "refused name");
  Write(root + "/mesh/program.exe", "refused type");
  fs::create_directories(root + "/empty folder");
}

// The threads change when files are compressed, never what the package holds.
TEST(CdpPack, AllCoresPackTheSameBytesAsOneThread) {
  scratch::Folder folder;
  Populate(folder.path());
  for (const Qel::PString& compression : {kCompressionLZSS, Qel::PString()}) {
    const PackedFolder one =
        PackAssetFolder(folder.path(), compression, PackThreads::kCallingThread);
    const PackedFolder all = PackAssetFolder(folder.path(), compression, PackThreads::kAllCores);
    ASSERT_TRUE(one.ok && all.ok);
    EXPECT_EQ(Bytes(all.files), Bytes(one.files));
    EXPECT_EQ(all.skipped, one.skipped);
    EXPECT_EQ(all.plainBytes, one.plainBytes);
    EXPECT_EQ(all.packedBytes, one.packedBytes);
    EXPECT_EQ(CountPackageFiles(all.files, 1000), 61u);
    EXPECT_EQ(one.skipped.size(), 2u);
  }
}

// Every image the tool itself reads travels with its asset.
TEST(CdpPack, EveryImageTypeTheToolReadsIsPacked) {
  scratch::Folder folder;
  for (const char* name : {"a.png", "b.tga", "c.bmp", "d.jpg", "e.jpeg", "f.exe"}) {
    Write(folder.path() + "/" + name, "x");
  }
  const PackedFolder packed =
      PackAssetFolder(folder.path(), Qel::PString(), PackThreads::kCallingThread);
  ASSERT_TRUE(packed.ok);
  EXPECT_EQ(CountPackageFiles(packed.files, 1000), 5u);
  EXPECT_EQ(packed.skipped.size(), 1u);
}

// A folder whose listing fails part-way is unreadable, never a folder short of its files; and so
// is one that fails only when it is listed again once its files are read: nothing changed.
TEST(CdpPack, AFolderThatCannotBeListedWholeIsUnreadable) {
  scratch::Folder folder;
  Populate(folder.path());
  const struct {
    const char* failing;
    int listing;  // the one that fails; 0 for every one
  } cases[] = {{"", 0}, {"/mesh", 0}, {"/mesh/textures", 0}, {"", 2}, {"/mesh/textures", 2}};
  for (const auto& c : cases) {
    const std::string path = folder.path() + c.failing;
    int listings = 0;
    SafeFolder::SetReadFaultForTests([&](const char* call, const std::string& at) {
      if (std::string(call) != "list" || at != path) return 0;
      return ++listings == c.listing || c.listing == 0 ? EIO : 0;
    });
    const PackedFolder packed =
        PackAssetFolder(folder.path(), Qel::PString(), PackThreads::kCallingThread);
    SafeFolder::SetReadFaultForTests(nullptr);
    EXPECT_EQ(packed.unreadable, std::vector<std::string>{path + ": Input/output error"})
        << c.failing << " " << c.listing;
    EXPECT_EQ(packed.changed, "");
    EXPECT_EQ(CountPackedFiles(folder.path()), 61u);
  }
}

}  // namespace
