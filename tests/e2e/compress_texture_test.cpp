// `compresstexture` as a user runs it: the path as typed from the folder the user is in, every
// description's compiled texture beside it, a broken image named with exit code 255, and a
// process killed in the middle of a conversion leaving every user file as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "qel/memory_file.h"
#include "qelgfx/texture_file.h"
#include "support/install_root.h"
#include "support/test_images.h"
#include "support/thread_watchdog.h"

namespace {

namespace fs = std::filesystem;
using kestro_test::InstallRoot;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";

class CompressTextureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root_->IsReady()) << root_->Error();
  }

  std::string At(const std::string& relative) const { return root_->Root() + "/" + relative; }
  std::map<std::string, std::string> Files(const std::string& folder) const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(At(folder))) {
      if (e.is_regular_file()) files[e.path().string()] = scratch::ReadAll(e.path().string());
    }
    return files;
  }
  static bool ReadsBack(const std::string& path, Qel::TextureFileInfo& info) {
    Qel::MemoryFile memory;
    std::vector<Qel::TextureFileMip> mips;
    Qel::String error;
    return memory.LoadFile(path.c_str()) &&
           Qel::ReadTextureFile(memory.GetData(), memory.GetSize(), info, mips, error);
  }

  std::unique_ptr<InstallRoot> root_;
};

TEST_F(CompressTextureTest, ConvertsThePathAsTypedAndNamesABrokenImage) {
  const std::string asset = "UserData/editing/Brick Wall";
  root_->WriteFile(asset + "/Wall.tga", test_images::Tga(128, 128, false));
  root_->WriteFile(asset + "/Wall.texture.txt", "Primary=Wall.tga\n");
  root_->WriteFile(asset + "/Glass.tga", test_images::Tga(64, 64, true, [](u32 x, u32) {
                     return test_images::Rgba{20, 40, 60, u8(x * 3)};
                   }));
  root_->WriteFile(asset + "/Glass.texture.txt", "Primary=Glass.tga\n");

  // Relative to the folder the user started in, letter case kept.
  const kestro_test::ToolRun good = root_->Run({"compresstexture", "editing/Brick Wall"},
                                               At("UserData"));
  EXPECT_EQ(good.exitCode, 0) << good.out << good.err;
  EXPECT_EQ(good.out, "; <NULL> : Converted 2 texture descriptions in " + At(asset) +
                          "\nOK (0 Errors, 0 Warnings)\n");
  Qel::TextureFileInfo info;
  ASSERT_TRUE(ReadsBack(At(asset + "/Wall.texture"), info));
  EXPECT_EQ(info.format, u32(Qel::kTextureDXT1));
  ASSERT_TRUE(ReadsBack(At(asset + "/Glass.texture"), info));
  EXPECT_EQ(info.format, u32(Qel::kTextureDXT5));

  root_->WriteFile(asset + "/Bad.png", "\x89PNG\r\n\x1a\nnot really");
  root_->WriteFile(asset + "/Bad.texture.txt", "Primary=Bad.png\n");
  const kestro_test::ToolRun bad = root_->Run({"compresstexture", asset});
  EXPECT_EQ(bad.exitCode, 255) << bad.out << bad.err;
  EXPECT_NE(bad.out.find("Unable to load '" + At(asset) + "/Bad.texture.txt' in 'editing'. "
                         "(image 'Brick Wall/Bad.png' is not an image)"),
            std::string::npos)
      << bad.out;
  EXPECT_NE(bad.out.find("; <NULL> : Converted 2 texture descriptions in " + At(asset) +
                         "\nOK (1 Errors, 0 Warnings)"),
            std::string::npos)
      << bad.out;
  EXPECT_FALSE(fs::exists(At(asset + "/Bad.texture")));
  EXPECT_TRUE(ReadsBack(At(asset + "/Wall.texture"), info));

  const kestro_test::ToolRun missing = root_->Run({"compresstexture"});
  EXPECT_EQ(missing.exitCode, 255);
  EXPECT_NE(missing.out.find("Missing AssetID parameter."), std::string::npos) << missing.out;
}

TEST_F(CompressTextureTest, AKillDuringAConversionLeavesEveryUserFileAsItWas) {
  const std::string asset = "UserData/editing/many";
  for (int i = 0; i < 24; ++i) {
    const std::string stem = asset + "/t" + std::to_string(i);
    root_->WriteFile(stem + ".tga", test_images::Tga(512, 512, true, [i](u32 x, u32 y) {
                       return test_images::Rgba{u8(x ^ y), u8(x + i), u8(y * 3), u8(x + y)};
                     }));
    root_->WriteFile(stem + ".texture.txt", "Primary=t" + std::to_string(i) + ".tga\n");
  }
  // An old compiled texture of the last one, which a cut-short run must leave as it is.
  root_->WriteFile(asset + "/t23.texture", "an older compiled texture");
  const auto before = Files(asset);

  const std::string program = root_->Bin() + "/KestroUtil";
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(root_->Root().c_str()) != 0) _exit(127);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    execl(program.c_str(), program.c_str(), "compresstexture", asset.c_str(), nullptr);
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  // Killed once the first texture is done, while the others are still being made.
  const bool started = watchdog::Eventually([&] {
    for (int i = 0; i < 23; ++i) {
      if (fs::exists(At(asset + "/t" + std::to_string(i) + ".texture"))) return true;
    }
    return false;
  });
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(started);

  const auto after = Files(asset);
  for (const auto& [path, bytes] : before) {
    ASSERT_EQ(after.count(path), 1u) << path;
    EXPECT_EQ(after.at(path), bytes) << path;
  }
  // Whatever else is there is a whole compiled texture.
  for (const auto& [path, bytes] : after) {
    if (before.count(path) != 0) continue;
    Qel::TextureFileInfo info;
    EXPECT_TRUE(ReadsBack(path, info)) << path;
    EXPECT_EQ(fs::path(path).extension(), ".texture") << path;
  }
}

}  // namespace
