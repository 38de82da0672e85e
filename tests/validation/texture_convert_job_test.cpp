// The conversion walk over an installation's content folders: every description in a tree is
// converted beside itself by jobs running side by side, the user's files stay as they were, and a
// failure names its file, removes a stale compiled texture and leaves nothing half-written.
#include "validation/texture_convert_job.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "assetdata/results_log.h"
#include "core/core_statics.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_test_util.h"
#include "pymclient/resource_db_cache.h"
#include "qel/memory_file.h"
#include "qelgfx/texture_file.h"
#include "support/scratch_folder.h"
#include "support/test_images.h"

namespace {

namespace fs = std::filesystem;

class TextureConvertJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EvictUnusedResourceDatabases();
    baseline_ = GetCachedResourceDatabaseCount();
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_.path().c_str())));
  }
  void TearDown() override {
    EvictUnusedResourceDatabases();
    EXPECT_EQ(GetCachedResourceDatabaseCount(), baseline_);
    ClearInstallPaths();
  }

  std::string Asset(const std::string& relative = "") const {
    return root_.At("UserData/editing/asset" + (relative.empty() ? "" : "/" + relative));
  }
  void Put(const std::string& relative, const std::string& bytes) {
    root_.Put("UserData/editing/asset/" + relative, bytes);
  }
  u32 Convert(const std::string& path, const char* folderName = "") {
    return CompressTexturesInPath(Qel::PString(folderName), Qel::File::Path(path.c_str()), &log_);
  }
  std::string Texts() {
    std::string texts;
    for (const ResultsLogEntry& e : log_.GetEntries()) texts += e.text.Std() + "\n";
    return texts;
  }
  // Every file below the asset with its bytes.
  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(Asset())) {
      if (e.is_regular_file()) files[e.path().string()] = scratch::ReadAll(e.path().string());
    }
    return files;
  }
  static Qel::TextureFileInfo Read(const std::string& path) {
    Qel::MemoryFile memory;
    Qel::TextureFileInfo info;
    std::vector<Qel::TextureFileMip> mips;
    Qel::String error;
    EXPECT_TRUE(memory.LoadFile(path.c_str())) << path;
    EXPECT_TRUE(Qel::ReadTextureFile(memory.GetData(), memory.GetSize(), info, mips, error))
        << path << ": " << error.Std();
    return info;
  }
  bool TemporaryFolderEmpty() const {
    const std::string temp = root_.At("UserData/temp");
    return !fs::exists(temp) || fs::is_empty(temp);
  }

  scratch::Folder root_;
  ResultsLog log_;
  u32 baseline_ = 0;
};

TEST_F(TextureConvertJobTest, AFolderOfFiftyDescriptionsIsConvertedSideBySide) {
  Put("opaque.tga", test_images::Tga(128, 64, false));
  Put("cut.tga", test_images::Tga(64, 64, true, [](u32 x, u32) {
        return test_images::Rgba{10, 20, 30, u8(x % 2 ? 255 : 0)};
      }));
  Put("soft.tga", test_images::Tga(96, 64, true, [](u32 x, u32) {
        return test_images::Rgba{10, 20, 30, u8(x * 2)};
      }));
  Put("odd.tga", test_images::Tga(100, 30, false));
  const struct {
    const char* image;
    const char* extra;
    u32 format;
  } kinds[] = {{"opaque.tga", "", Qel::kTextureDXT1},
               {"../cut.tga", "", Qel::kTextureDXT1},
               {"../soft.tga", "", Qel::kTextureDXT5},
               {"opaque.tga", "Hint=uncompressed\n", Qel::kTextureRGB},
               {"../odd.tga", "", Qel::kTextureRGB}};
  std::map<std::string, u32> expected;
  for (int i = 0; i < 50; ++i) {
    const auto& kind = kinds[i % 5];
    // Images outside the description's folder are refused, so every sub-folder has its own.
    const std::string folder = i % 5 == 0 || i % 5 == 3 ? "" : "sub" + std::to_string(i % 3) + "/";
    const std::string image = kind.image[0] == '.' ? std::string(kind.image + 3) : kind.image;
    if (!folder.empty()) root_.Put("UserData/editing/asset/" + folder + image,
                                   root_.Read("UserData/editing/asset/" + image));
    const std::string stem = folder + "t" + std::to_string(i);
    const std::string name = stem + (i == 7 ? ".TEXTURE.TXT" : ".texture.txt");
    Put(name, "Primary=" + image + "\n" + kind.extra);
    expected[Asset(stem + (i == 7 ? ".TEXTURE" : ".texture"))] = kind.format;
  }
  const auto before = Files();
  ASSERT_EQ(Convert(Asset()), u32(kTextureConvertDone)) << Texts();
  EXPECT_EQ(log_.GetErrorCount(), 0u) << Texts();
  for (const auto& [path, format] : expected) EXPECT_EQ(Read(path).format, format) << path;
  // The user's files are as they were; the only new files are the compiled textures.
  auto after = Files();
  for (const auto& [path, bytes] : before) {
    EXPECT_EQ(after[path], bytes) << path;
    after.erase(path);
  }
  EXPECT_EQ(after.size(), expected.size());
  EXPECT_TRUE(TemporaryFolderEmpty());
}

TEST_F(TextureConvertJobTest, AFailureNamesItsFileAndLeavesNoStaleTexture) {
  Put("good.tga", test_images::Tga(64, 64, false));
  Put("broken.tga", "this is no image");
  Put("bad.texture.txt", "Primary=broken.tga\n");
  Put("bad.texture", "an old compiled texture");
  Put("noalpha.texture.txt", "Primary=good.tga\nAlpha=gone.tga\n");
  Put("good.texture.txt", "Primary=good.tga\n");
  // The messages name the user's own files: the description, not the copy read, and an image
  // that is there but out of reach as such.
  Put("Blank.texture.txt", "Hint=dxt1\n");
  root_.Put("UserData/editing/beside.tga", test_images::Tga(64, 64, false));
  Put("climbs.texture.txt", "Primary=../beside.tga\n");
  const auto before = Files();
  EXPECT_EQ(Convert(Asset()), u32(kTextureConvertFailed));
  const std::string texts = Texts();
  EXPECT_EQ(log_.GetErrorCount(), 4u) << texts;
  EXPECT_NE(texts.find("image 'asset/broken.tga' is not an image"), std::string::npos) << texts;
  EXPECT_NE(texts.find("image 'asset/gone.tga' is missing"), std::string::npos) << texts;
  EXPECT_NE(texts.find("description 'asset/Blank.texture.txt' has no Primary= line"),
            std::string::npos)
      << texts;
  EXPECT_NE(texts.find("image 'asset/../beside.tga' lies outside the asset's folder"),
            std::string::npos)
      << texts;
  EXPECT_FALSE(fs::exists(Asset("bad.texture")));
  EXPECT_FALSE(fs::exists(Asset("noalpha.texture")));
  EXPECT_EQ(Read(Asset("good.texture")).format, u32(Qel::kTextureDXT1));
  const auto after = Files();
  for (const auto& [path, bytes] : before) {
    if (path != Asset("bad.texture")) {
      EXPECT_EQ(after.at(path), bytes) << path;
    }
  }
  EXPECT_TRUE(TemporaryFolderEmpty());
}

TEST_F(TextureConvertJobTest, PathsThatHoldNothingOrCannotBeSearched) {
  Put("image.tga", test_images::Tga(64, 64, false));
  Put("one.texture.txt", "Primary=image.tga\n");
  root_.Put("outside/x.texture.txt", "Primary=image.tga\n");
  root_.Put("UserData/editing/empty/readme.txt", "no textures here");
  const struct {
    const char* what;
    std::string path;
    const char* folderName;
    u32 status;
    const char* text;
  } cases[] = {
      {"a folder without descriptions", root_.At("UserData/editing/empty"), "", 2, ""},
      {"one description", Asset("one.texture.txt"), "", 2, ""},
      {"a named content folder", Asset("one.texture.txt"), "editing", 2, ""},
      {"another kind of file", Asset("image.tga"), "", 2, ""},
      {"a missing path", Asset("missing"), "", 0, "Unable to search path: '"},
      {"outside every content folder", root_.At("outside"), "", 0,
       "Unable to determine relative path for '"},
  };
  for (const auto& c : cases) {
    log_ = ResultsLog();
    EXPECT_EQ(Convert(c.path, c.folderName), c.status) << c.what << ": " << Texts();
    EXPECT_NE(Texts().find(c.text), std::string::npos) << c.what << ": " << Texts();
  }
  EXPECT_TRUE(fs::exists(Asset("one.texture")));
  EXPECT_FALSE(fs::exists(root_.At("outside/x.texture")));
  EXPECT_TRUE(TemporaryFolderEmpty());
}

TEST_F(TextureConvertJobTest, AJobLeftUnwaitedIsCancelledOrWaitedForAndCleanedUp) {
  Put("image.tga", test_images::Tga(256, 256, true));
  Put("t.texture.txt", "Primary=image.tga\n");
  const auto before = Files();
  for (int i = 0; i < 20; ++i) {
    auto job = std::make_unique<PymTextureConvertFileRPC>(
        Qel::PString(), Qel::File::Path(Asset("t.texture.txt").c_str()), &log_);
    job->Start();
    // Destroyed at once: its steps are cancelled, or the one running is waited for.
    job.reset();
    EXPECT_TRUE(TemporaryFolderEmpty());
    const auto after = Files();
    // Either the compiled texture is whole or it is not there at all.
    for (const auto& [path, bytes] : after) {
      if (before.count(path) != 0) {
        EXPECT_EQ(bytes, before.at(path));
      } else {
        EXPECT_EQ(path, Asset("t.texture"));
        Read(path);
      }
    }
  }
  EXPECT_EQ(log_.GetErrorCount(), 0u) << Texts();
}

}  // namespace

namespace {

// Stops the process's worker dispatcher, so it runs in a child of its own.
TEST_F(TextureConvertJobTest, AChainTheWorkersDroppedStopsTheWalkAndIsCleanedUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Put("image.tga", test_images::Tga(64, 64, false));
  for (int i = 0; i < 3; ++i) Put("t" + std::to_string(i) + ".texture.txt", "Primary=image.tga\n");
  const auto before = Files();
  EXPECT_EXIT(
      {
        GetDispatcher().Shutdown();
        const u32 status = Convert(Asset());
        const std::string texts = Texts();
        std::fprintf(stderr, "%s", texts.c_str());
        const bool unchanged = Files() == before && TemporaryFolderEmpty();
        // The child ran the fixture afresh and ends without its tear-down.
        std::error_code ignored;
        fs::remove_all(root_.path(), ignored);
        _exit(status == kTextureConvertDropped && unchanged && log_.GetErrorCount() == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "pym_texture_compress_err \\(.*t0.texture.txt\\)");
}

using ConvertSettingTest = pym_test::ScriptedDaemonTest;

// Each conversion asks the daemon for its texture-conversion setting once, and converts with
// either answer.
TEST_F(ConvertSettingTest, TheDaemonIsAskedOncePerConversion) {
  const std::string asset = folder_.At("UserData/editing/asset");
  folder_.Put("UserData/editing/asset/p.tga", test_images::Tga(64, 64, false));
  for (int i = 0; i < 3; ++i) {
    folder_.Put("UserData/editing/asset/t" + std::to_string(i) + ".texture.txt", "Primary=p.tga\n");
  }
  size_t asked = 0;
  for (const u8 answer : {0, 1}) {
    ReplyWith(PymProtocol::kOpTextureConvertSetting, {answer});
    ResultsLog log;
    EXPECT_EQ(CompressTexturesInPath(Qel::PString(), Qel::File::Path(asset.c_str()), &log),
              u32(kTextureConvertDone))
        << int(answer);
    EXPECT_EQ(log.GetErrorCount(), 0u);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fs::exists(asset + "/t" + std::to_string(i) + ".texture"));
    size_t now = 0;
    for (const auto& f : server_->GetFrames()) now += f.opcode == PymProtocol::kOpTextureConvertSetting;
    EXPECT_EQ(now - asked, 3u) << int(answer);
    asked = now;
  }
  EvictUnusedResourceDatabases();
}

}  // namespace
