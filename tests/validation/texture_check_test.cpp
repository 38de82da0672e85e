// The texture-file check over asset folders made for each case: its findings, the images it
// refuses to open, and trees and files that must not stop it.
#include "validation/texture_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/scratch_folder.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"

namespace {

using TETLib::DataManager;
using TETLib::ErrorHandler;

// An uncompressed 24-bit TGA of the size; the header may claim another size.
std::string Tga(u32 width, u32 height, u32 claimedWidth = 0, u32 claimedHeight = 0) {
  const u32 w = claimedWidth ? claimedWidth : width;
  const u32 h = claimedHeight ? claimedHeight : height;
  std::string bytes(18, '\0');
  bytes[2] = 2;
  bytes[12] = char(w & 0xFF);
  bytes[13] = char(w >> 8);
  bytes[14] = char(h & 0xFF);
  bytes[15] = char(h >> 8);
  bytes[16] = 24;
  bytes.append(size_t(width) * height * 3, '\x40');
  return bytes;
}

class TextureCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Put("tetdata/kind.txt", "");
    ErrorHandler::CreateInstance();
    ASSERT_TRUE(DataManager::CreateInstance(dir_.At("tetdata").c_str()));
    SetBuild(3.5f);
    std::filesystem::create_directories(Asset(""));
    std::filesystem::create_directories(dir_.At("outside"));
  }
  void TearDown() override {
    DataManager::DestroyInstance();
    ErrorHandler::DestroyInstance();
  }

  static void SetBuild(f32 build) { DataManager::Instance().SetBuildNumber(build + 0.001f); }
  std::string Asset(const std::string& rel) const { return dir_.At("asset/" + rel); }
  void Put(const std::string& rel, const std::string& content) const {
    dir_.Put("asset/" + rel, content);
  }

  // Runs the check and gives its findings as "E <text>" or "W <text>"; with no interface text
  // loaded a text is the key followed by its arguments.
  std::vector<std::string> Check(bool* result = nullptr) const {
    ErrorHandler::Instance()->ClearRecords();
    const bool ok = TETLib::CheckTextureFiles(Asset("").c_str(), Asset("").c_str());
    std::vector<std::string> out;
    for (const auto& record : ErrorHandler::Instance()->GetRecords()) {
      out.push_back((record->severity == 3 ? "E " : "W ") + std::string(record->key.View()));
    }
    EXPECT_EQ(ok, out.empty());
    if (result) *result = ok;
    return out;
  }

  scratch::Folder dir_;
};

using Findings = std::vector<std::string>;

TEST_F(TextureCheckTest, DescriptionsAndTheirImages) {
  const struct {
    const char* name;
    std::string description;
    Findings want;
  } cases[] = {
      {"a sound pair", "Primary=p.tga\r\nAlpha=a.tga\r\n", {}},
      {"the last line of a kind wins", "Primary=missing.tga\nPrimary=p.tga\n", {}},
      {"no alpha, no size comparison", "Primary=p.tga\n", {}},
      {"a missing primary, and no size comparison with it",
       "Primary=missing.tga\nAlpha=a.tga\n",
       {"E $tet_texture_missing_primary 'missing.tga' 't.texture.txt'"}},
      {"a missing alpha",
       "Primary=p.tga\nAlpha=gone.tga\n",
       {"E $tet_texture_missing_alpha 'gone.tga' 't.texture.txt'"}},
      {"not a power of two, once for the image",
       "Primary=wide.tga\nAlpha=wide.tga\n",
       {"E $tet_texture_notpower2 'wide.tga'"}},
      {"sizes that differ",
       "Primary=p.tga\nAlpha=small.tga\n",
       {"E $tet_primaryalpha_notsamesize 't.texture.txt'"}},
      {"an image that does not decode",
       "Primary=junk.tga\n",
       {"E $tet_texture_failedload 'junk.tga'"}},
      {"an image claiming an absurd size",
       "Primary=huge.tga\n",
       {"E $tet_texture_failedload 'huge.tga'"}},
      {"a byte outside ANSI",
       "Primary=p.tga\nComment=caf\xc3\xa9\n",
       {"E $tet_non_ansi_texture 't.texture.txt'"}},
      {"names in another case and with backslashes", "Primary=SUB\\Deep.TGA\n", {}},
      {"other lines and empty values", "primary=missing.tga\nPrimary=\nFormat=DXT1\n", {}},
  };
  Put("p.tga", Tga(64, 64));
  Put("a.tga", Tga(64, 64));
  Put("small.tga", Tga(32, 64));
  Put("wide.tga", Tga(256, 100));
  Put("junk.tga", "not an image at all");
  Put("huge.tga", Tga(2, 2, 60000, 60000));
  Put("sub/deep.tga", Tga(16, 16));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Put("t.texture.txt", c.description);
    EXPECT_EQ(Check(), c.want);
  }
}

TEST_F(TextureCheckTest, NamesOutsideTheAssetAreMissingAndNeverOpened) {
  dir_.Put("outside/x.tga", Tga(8, 8));
  dir_.Put("outside/secret.texture.txt", "Primary=x.tga\n");
  std::filesystem::create_directory_symlink(dir_.At("outside"), Asset("linked"));
  std::filesystem::create_symlink(dir_.At("outside/x.tga"), Asset("escape.tga"));
  std::filesystem::create_symlink(dir_.At("outside/secret.texture.txt"), Asset("s.texture.txt"));
  Put("sub/inside.tga", Tga(8, 8));
  Put("sub/t.texture.txt", "Primary=../../outside/x.tga\nAlpha=..\\..\\outside\\x.tga\n");
  Put("u.texture.txt", "Primary=" + dir_.At("outside/x.tga") + "\nAlpha=linked/x.tga\n");
  Put("v.texture.txt", "Primary=escape.tga\nAlpha=sub/./inside.tga\n");
  Put("w.texture.txt", "Primary=sub/../sub/inside.tga\n");

  // Any open of a file in the outside folder would show here.
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dir_.At("outside").c_str(), IN_OPEN | IN_ACCESS), 0);
  const Findings findings = Check();
  char events[4096];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "a file outside the asset was opened";
  close(watch);

  EXPECT_EQ(findings,
            (Findings{
                "E $tet_texture_failedload 's.texture.txt'",
                "E $tet_texture_missing_primary 'sub/../../outside/x.tga' 'sub/t.texture.txt'",
                "E $tet_texture_missing_alpha 'sub/../../outside/x.tga' 'sub/t.texture.txt'",
                "E $tet_texture_missing_primary '" + dir_.At("outside/x.tga") + "' 'u.texture.txt'",
                "E $tet_texture_missing_alpha 'linked/x.tga' 'u.texture.txt'",
                "E $tet_texture_missing_primary 'escape.tga' 'v.texture.txt'",
                "E $tet_texture_missing_primary 'sub/../sub/inside.tga' 'w.texture.txt'",
            }));
}

TEST_F(TextureCheckTest, CompiledTexturesAndConversionDescriptions) {
  Put("lone.texture", "compiled");
  Put("pair.texture", "compiled");
  Put("pair.texture.txt", "");
  Put("deep/down/x.convert-tex.txt", "");
  Put("notes.txt", "Primary=missing.tga\n");
  Put("image.texture.bak", "");
  SetBuild(2.8f);
  EXPECT_EQ(Check(), (Findings{"E $tet_texture_failedload 'deep/down/x.convert-tex.txt'",
                               "W $tet_duplicatetexture 'lone.texture'"}));
  SetBuild(2.9f);
  EXPECT_EQ(Check()[1], "E $tet_duplicatetexture 'lone.texture'");

  // Outside the editing and base folders every description needs its compiled texture.
  DataManager::Instance().SetOutsideEditingAndBase(true);
  Put("solo.texture.txt", "");
  EXPECT_EQ(Check(), (Findings{"E $tet_texture_failedload 'deep/down/x.convert-tex.txt'",
                               "E $tet_duplicatetexture 'lone.texture'",
                               "E $tet_binary_texture_conversion_failed 'solo.texture.txt'"}));
}

TEST_F(TextureCheckTest, TreesAndFilesThatMustNotStopTheWalk) {
  // A folder linking to itself and to its parent is walked once.
  Put("sub/t.texture.txt", "Primary=gone.tga\n");
  std::filesystem::create_directory_symlink(".", Asset("sub/self"));
  std::filesystem::create_directory_symlink("..", Asset("sub/up"));
  // A pipe where an image belongs would never end a read.
  ASSERT_EQ(mkfifo(Asset("pipe.tga").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(Asset("pipe.texture.txt").c_str(), 0600), 0);
  Put("p.texture.txt", "Primary=pipe.tga\nAlpha=sub\n");
  // A description of any line length, and one too large to be a description.
  Put("long.texture.txt", "Primary=" + std::string(5000, 'n') + ".tga\n");
  Put("vast.texture.txt", std::string(size_t(2) << 20, '#'));
  // An unreadable folder is passed over.
  std::filesystem::create_directories(Asset("closed"));
  Put("closed/c.texture.txt", "Primary=gone.tga\n");
  chmod(Asset("closed").c_str(), 0);

  const Findings findings = Check();
  chmod(Asset("closed").c_str(), 0700);
  Findings want = {
      "E $tet_texture_missing_primary '" + std::string(5000, 'n') + ".tga' 'long.texture.txt'",
      "E $tet_texture_failedload 'pipe.tga'",
      "E $tet_texture_failedload 'sub'",
      "E $tet_texture_failedload 'pipe.texture.txt'",
      "E $tet_texture_missing_primary 'sub/gone.tga' 'sub/t.texture.txt'",
      "E $tet_texture_failedload 'vast.texture.txt'",
  };
  // Running as root, the closed folder is read all the same.
  if (findings.size() == want.size() + 1) {
    want.insert(want.begin(),
                "E $tet_texture_missing_primary 'closed/gone.tga' 'closed/c.texture.txt'");
  }
  EXPECT_EQ(findings, want);
}

TEST(TextureCheck, PowersOfTwo) {
  for (u32 n : {0u, 1u, 2u, 64u, 1024u, 0x80000000u}) EXPECT_TRUE(TETLib::IsPowerOfTwo(n)) << n;
  for (u32 n : {3u, 100u, 255u, 257u, 0xFFFFFFFFu}) EXPECT_FALSE(TETLib::IsPowerOfTwo(n)) << n;
}

}  // namespace
