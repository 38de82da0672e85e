// `compresstexture` as a user runs it: the path as typed from the folder the user is in, every
// description's compiled texture beside it, a broken image named with exit code 255, and a
// process killed in the middle of a conversion leaving every user file as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

  // Relative to the folder the user started in, letter case kept; or through a link to the
  // installation, where it leads.
  fs::create_directory_symlink(root_->Root(), At("root-link"));
  const struct {
    std::string folder;  // started in
    std::string typed;
    std::string shown;
  } runs[] = {{At("UserData"), "editing/Brick Wall", At(asset)},
              {"", At("root-link/" + asset), At("root-link/" + asset)}};
  Qel::TextureFileInfo info;
  for (const auto& r : runs) {
    fs::remove(At(asset + "/Wall.texture"));
    fs::remove(At(asset + "/Glass.texture"));
    const kestro_test::ToolRun good = root_->Run({"compresstexture", r.typed}, r.folder);
    EXPECT_EQ(good.exitCode, 0) << good.out << good.err;
    EXPECT_EQ(good.out, "; <NULL> : Converted 2 texture descriptions in " + r.shown +
                            "\nOK (0 Errors, 0 Warnings)\n");
    ASSERT_TRUE(ReadsBack(At(asset + "/Wall.texture"), info)) << r.typed;
    EXPECT_EQ(info.format, u32(Qel::kTextureDXT1));
    ASSERT_TRUE(ReadsBack(At(asset + "/Glass.texture"), info)) << r.typed;
    EXPECT_EQ(info.format, u32(Qel::kTextureDXT5));
  }

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

  // A TGA header alone that claims 8192 x 8191 pixels is named as such, and nothing is made of it.
  root_->WriteFile(asset + "/Short.tga", test_images::ClaimingTga());
  root_->WriteFile(asset + "/Short.texture.txt", "Primary=Short.tga\n");
  const kestro_test::ToolRun cut = root_->Run({"compresstexture", asset});
  EXPECT_NE(cut.out.find("(image 'Brick Wall/Short.tga' is cut short: it holds fewer pixels than "
                         "its header says)"),
            std::string::npos)
      << cut.out;
  EXPECT_FALSE(fs::exists(At(asset + "/Short.texture")));

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

  // The killed run's scratch files go when the next conversion starts, and that one leaves none.
  const auto scratchFiles = [&] {
    size_t count = 0;
    for (const auto& e : fs::recursive_directory_iterator(At("UserData/temp"))) {
      count += e.is_regular_file() ? 1 : 0;
    }
    return count;
  };
  EXPECT_GT(scratchFiles(), 0u);
  const kestro_test::ToolRun again = root_->Run({"compresstexture", asset + "/t0.texture.txt"});
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_EQ(scratchFiles(), 0u);
}

// A busy image, so that most blocks take the compressor's full search.
std::string NoisyTga(u32 seed) {
  return test_images::Tga(128, 128, false, [seed](u32 x, u32 y) {
    const u32 h = (x * 7919u + y * 104729u + seed) * 2654435761u;
    return test_images::Rgba{u8(h >> 8), u8(h >> 16), u8(h >> 24), 255};
  });
}

TEST_F(CompressTextureTest, TheSameImageCompilesToTheSameBytesInEveryProcess) {
  const std::string asset = "UserData/editing/same";
  root_->WriteFile(asset + "/n.tga", NoisyTga(3));
  root_->WriteFile(asset + "/n.texture.txt", "Primary=n.tga\n");
  // The same with one-bit alpha, which DXT1 keeps in its three-colour blocks.
  root_->WriteFile(asset + "/a.tga", test_images::Tga(128, 128, false, [](u32 x, u32 y) {
                     const u8 grey = (x * 7 + y * 3) % 5 == 0 ? 0 : 255;
                     return test_images::Rgba{grey, grey, grey, 255};
                   }));
  root_->WriteFile(asset + "/m.texture.txt", "Primary=n.tga\nAlpha=a.tga\n");
  std::string first[2];
  for (int run = 0; run < 3; ++run) {
    const kestro_test::ToolRun made = root_->Run({"compresstexture", asset});
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
    int n = 0;
    for (const char* name : {"/n.texture", "/m.texture"}) {
      Qel::TextureFileInfo info;
      ASSERT_TRUE(ReadsBack(At(asset + name), info));
      EXPECT_EQ(info.format, u32(Qel::kTextureDXT1)) << name;
      const std::string bytes = scratch::ReadAll(At(asset + name));
      if (run == 0) first[n] = bytes;
      EXPECT_TRUE(bytes == first[n]) << "run " << run << " made other bytes for " << name;
      ++n;
    }
  }
}

// What validation calls missing, the conversion does not read either: a link out of the folder.
TEST_F(CompressTextureTest, LinksLeadingOutOfTheFolderAreMissing) {
  root_->WriteFile("outside/secret.tga", NoisyTga(1));
  root_->WriteFile("outside/elsewhere.texture.txt", "Primary=inside.tga\n");
  const std::string asset = "UserData/editing/linked";
  root_->WriteFile(asset + "/inside.tga", NoisyTga(2));
  root_->WriteFile(asset + "/a.texture.txt", "Primary=secret.tga\n");
  fs::create_symlink(At("outside/secret.tga"), At(asset + "/secret.tga"));
  fs::create_symlink(At("outside/elsewhere.texture.txt"), At(asset + "/b.texture.txt"));
  // A link that stays inside is followed as before.
  root_->WriteFile(asset + "/c.texture.txt", "Primary=same.tga\n");
  fs::create_symlink("inside.tga", At(asset + "/same.tga"));
  // A named pipe is no image, and is never waited on.
  root_->WriteFile(asset + "/d.texture.txt", "Primary=pipe.tga\n");
  ASSERT_EQ(::mkfifo(At(asset + "/pipe.tga").c_str(), 0600), 0);

  const kestro_test::ToolRun run = root_->Run({"compresstexture", asset});
  EXPECT_EQ(run.exitCode, 255) << run.out << run.err;
  EXPECT_NE(run.out.find("(image 'linked/secret.tga' is missing)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("(description 'linked/b.texture.txt' is missing)"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("(image 'linked/pipe.tga' cannot be read)"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(At(asset + "/a.texture")));
  EXPECT_FALSE(fs::exists(At(asset + "/b.texture")));
  EXPECT_FALSE(fs::exists(At(asset + "/d.texture")));
  EXPECT_TRUE(fs::exists(At(asset + "/c.texture")));
}

// A damaged compressor module beside the program is named, never loaded into a crash.
TEST_F(CompressTextureTest, ACutShortCompressorModuleIsNamedNotLoaded) {
  const std::string module = root_->Bin() + "/libkestrodxtcodec.so";
  ASSERT_TRUE(fs::exists(module));
  fs::resize_file(module, 3000);
  const std::string asset = "UserData/editing/cut";
  root_->WriteFile(asset + "/n.tga", NoisyTga(4));
  root_->WriteFile(asset + "/n.texture.txt", "Primary=n.tga\n");
  const kestro_test::ToolRun run = root_->Run({"compresstexture", asset});
  EXPECT_EQ(run.exitCode, 255) << run.out << run.err;
  EXPECT_NE(run.out.find("the DXT compressor " + module + " cannot be loaded"), std::string::npos)
      << run.out;
  EXPECT_FALSE(fs::exists(At(asset + "/n.texture")));
}

// An installed program looks for its modules beside itself only, never back in the build folder
// it was made in, nor wherever the loader's search would lead.
TEST_F(CompressTextureTest, ModulesMissingBesideTheProgramAreNotLookedForElsewhere) {
  fs::remove(root_->Bin() + "/libkestrodxtcodec.so");
  const std::string asset = "UserData/editing/alone";
  root_->WriteFile(asset + "/n.tga", NoisyTga(5));
  root_->WriteFile(asset + "/n.texture.txt", "Primary=n.tga\n");
  const kestro_test::ToolRun run = root_->Run({"compresstexture", asset});
  EXPECT_EQ(run.exitCode, 255) << run.out << run.err;
  EXPECT_NE(
      run.out.find("the DXT compressor " + root_->Bin() + "/libkestrodxtcodec.so cannot be loaded"),
      std::string::npos)
      << run.out;
  EXPECT_FALSE(fs::exists(At(asset + "/n.texture")));

  fs::remove(root_->Bin() + "/libkestronativeinterface.so");
  const kestro_test::ToolRun start = root_->Run({"version", "-nopymclient"});
  EXPECT_NE(start.exitCode, 0) << start.out;
  EXPECT_NE(start.err.find("libkestronativeinterface.so"), std::string::npos) << start.err;
}

}  // namespace
