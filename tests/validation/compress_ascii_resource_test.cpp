// The conversion resource: the description's keys, the format chosen from the options, the alpha
// kind and the size, the clamped size, counted mip locks, and a save that is whole or absent.
#include "validation/compress_ascii_resource.h"

#include <gtest/gtest.h>

#include <memory>

#include "qel/memory_file.h"
#include "qel/resource_database.h"
#include "qelgfx/bitmap.h"
#include "qelgfx/texture_file.h"
#include "support/scratch_folder.h"
#include "support/test_images.h"

namespace {

using Qel::AsciiTextureResource;

class CompressAsciiResourceTest : public ::testing::Test {
 protected:
  // A resource over "t.convert-tex.txt" with that description; the image "p.tga" is made of the
  // given size and alpha (0 none, 1 one-bit, 2 full).
  std::unique_ptr<CompressAsciiResource> Load(u32 width, u32 height, u32 alpha,
                                              const std::string& description,
                                              const char* options, u32 expected = 0) {
    folder_.Put("p.tga", test_images::Tga(width, height, alpha != 0, [alpha](u32 x, u32) {
                  const u8 a = alpha == 0 ? 255 : alpha == 1 ? (x % 2 ? 255 : 0) : u8(x * 7);
                  return test_images::Rgba{u8(x), 50, 90, a};
                }));
    folder_.Put("t.convert-tex.txt", description);
    options_ = std::make_unique<Qel::Options>(options);
    auto resource = std::make_unique<CompressAsciiResource>(Qel::PString("t.convert-tex.txt"),
                                                            &database_);
    resource->SetOptions(options_.get());
    EXPECT_EQ(resource->Lock(), expected) << resource->GetLoadError().Std();
    return resource;
  }

  scratch::Folder folder_;
  Qel::ResourceDatabase database_{Qel::PString("t"), Qel::String(folder_.path().c_str())};
  std::unique_ptr<Qel::Options> options_;
};

constexpr const char* kAuto = "-Automip=none -Compression=auto";

TEST_F(CompressAsciiResourceTest, ChoosesTheFormatFromHintsOptionsAlphaAndSize) {
  const struct {
    const char* what;
    u32 width, height, alpha;
    const char* extra;  // description lines after Primary=
    const char* options;
    u32 format;
    bool keepsAlpha;
    u8 kind;
  } cases[] = {
      {"opaque auto", 256, 256, 0, "", kAuto, 10, false, 0},
      {"one-bit auto", 128, 64, 1, "", kAuto, 10, true, 1},
      {"full auto", 256, 64, 2, "", kAuto, 12, true, 2},
      {"own hint wins", 256, 64, 2, "Hint=dxt1\n", kAuto, 10, true, 2},
      {"forced options win", 256, 64, 2, "Hint=dxt1\n", "-Compression=auto -forceOptions", 12,
       true, 2},
      {"uncompressed hint", 256, 64, 2, "Hint=0\n", kAuto, 1, true, 2},
      {"width not a multiple of 4", 102, 64, 0, "", kAuto, 3, false, 0},
      {"with alpha", 102, 64, 2, "", kAuto, 1, true, 2},
      {"small", 32, 32, 0, "", kAuto, 3, false, 0},
      {"normal map keeps one bit", 128, 128, 2, "NormalMap=yes\n", kAuto, 10, true, 1},
      {"list by alpha kind", 128, 128, 2, "", "-Compression=dxt1,dxt1a,dxt3", 11, true, 2},
      {"unknown word keeps the default", 128, 128, 0, "", "-Compression=zip", 1, true, 0},
      {"alpha hint", 128, 128, 0, "AlphaHint=full\n", kAuto, 12, true, 2},
      {"no compression option", 128, 128, 0, "", "-Automip=none", 1, true, 0},
  };
  for (const auto& c : cases) {
    auto resource =
        Load(c.width, c.height, c.alpha, std::string("Primary=p.tga\n") + c.extra, c.options);
    EXPECT_EQ(resource->ChooseFormat(), c.format) << c.what;
    EXPECT_EQ(resource->KeepsAlpha(), c.keepsAlpha) << c.what;
    EXPECT_EQ(resource->GetAlphaKind(), c.kind) << c.what;
  }
}

TEST_F(CompressAsciiResourceTest, ClampsToTheLargestSizeKeepingTheAspect) {
  const struct {
    u32 width, height;
    const char* options;
    u32 clampedWidth, clampedHeight, levels;
  } cases[] = {
      {4096, 8, "-Compression=auto", 2048, 4, 12},
      {1024, 1024, "-MaxTextureSize=512,256", 256, 256, 9},
      {64, 2048, "-MaxTextureSize=512,512", 16, 512, 10},
  };
  for (const auto& c : cases) {
    auto resource = Load(c.width, c.height, 0, "Primary=p.tga\n", c.options);
    u32 width = 0;
    u32 height = 0;
    resource->GetSize(width, height);
    EXPECT_EQ(width, c.clampedWidth) << c.options;
    EXPECT_EQ(height, c.clampedHeight) << c.options;
    EXPECT_EQ(resource->GetNumMipLevels(), c.levels) << c.options;
  }
  auto single = Load(64, 64, 0, "Primary=p.tga\nMipFilter=none\n", kAuto);
  EXPECT_EQ(single->GetNumMipLevels(), 1u);
}

TEST_F(CompressAsciiResourceTest, ALoadThatFailsNamesWhatIsWrong) {
  const struct {
    const char* description;
    const char* reason;
  } cases[] = {
      {"Alpha=p.tga\n", "no Primary= line"},
      {"Primary=none.tga\n", "image 'none.tga' is missing"},
      {"Primary=p.tga\nAlpha=gone.tga\n", "image 'gone.tga' is missing"},
      {"Primary=p.tga\nAlpha=small.tga\n", "is not the size of"},
      {"Primary=broken.tga\n", "image 'broken.tga'"},
      {"Primary=../p.tga\n", "is missing"},
      {"Primary=p.tga\nHint=dxt9\n", "Hint 'dxt9' is not one of"},
      {"Primary=p.tga\nTile=diagonal\n", "Tile 'diagonal'"},
  };
  folder_.Put("small.tga", test_images::Tga(2, 2, false));
  folder_.Put("broken.tga", "not an image at all");
  for (const auto& c : cases) {
    auto resource = Load(8, 8, 0, c.description, kAuto, Qel::Resource::kFailed);
    EXPECT_NE(resource->GetLoadError().Std().find(c.reason), std::string::npos)
        << c.description << ": " << resource->GetLoadError().Std();
  }
  auto withoutOptions =
      std::make_unique<CompressAsciiResource>(Qel::PString("t.convert-tex.txt"), &database_);
  EXPECT_EQ(withoutOptions->Lock(), u32(Qel::Resource::kFailed));
}

TEST_F(CompressAsciiResourceTest, DescriptionKeysAreReadWithoutRegardToCaseAndBlanks) {
  folder_.Put("a.tga", test_images::Tga(64, 64, false, [](u32 x, u32) {
                return test_images::Rgba{u8(x * 4), u8(x * 4), u8(x * 4), 255};
              }));
  auto resource = Load(64, 64, 0,
                       "; a comment\r\n  primary = p.tga \r\n\r\nALPHA=a.tga\r\ntile=none\r\n"
                       "anisotropy=4\r\nnonsense line\r\n",
                       kAuto);
  EXPECT_EQ(resource->GetAlphaKind(), AsciiTextureResource::kAlphaFull);
  EXPECT_FALSE(resource->GetWrap());
  EXPECT_EQ(resource->GetOption("Anisotropy").Std(), "4");
  // The alpha image's grey level became the primary's alpha.
  EXPECT_EQ(resource->GetImage(0)->GetPixels()[4 * 10 + 3], 40);
}

TEST_F(CompressAsciiResourceTest, MipLocksCountAndTheSaveReadsBackWhole) {
  auto resource = Load(96, 48, 2, "Primary=p.tga\n", kAuto);
  ASSERT_TRUE(resource->GetMipLock());
  ASSERT_TRUE(resource->GetMipLock());
  resource->GetMipUnlock();
  const std::unique_ptr<Qel::Bitmap> kept(resource->GetCompressedMip(0, 0));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->GetByteCount(), Qel::TextureMipBytes(Qel::kTextureDXT5, 96, 48));
  EXPECT_EQ(resource->GetCompressedMip(7, 0), nullptr);
  EXPECT_EQ(resource->GetCompressedMip(0, 1), nullptr);

  // The save takes the lock already held and leaves it held.
  const std::string path = folder_.At("t.texture");
  ASSERT_TRUE(resource->SaveTexture(path.c_str(), true));
  EXPECT_EQ(resource->GetMipLockCount(), 1u);
  resource->GetMipUnlock();
  EXPECT_EQ(resource->GetCompressedMip(0, 0), nullptr);

  Qel::MemoryFile memory;
  ASSERT_TRUE(memory.LoadFile(path.c_str()));
  Qel::TextureFileInfo info;
  std::vector<Qel::TextureFileMip> mips;
  Qel::String error;
  ASSERT_TRUE(Qel::ReadTextureFile(memory.GetData(), memory.GetSize(), info, mips, error))
      << error.Std();
  EXPECT_EQ(info.format, u32(Qel::kTextureDXT5));
  EXPECT_EQ(info.flags, Qel::kTextureFlagAlpha);
  EXPECT_EQ(mips.size(), 7u);  // 96x48 down to 1x1
  EXPECT_EQ(folder_.Names(), (std::set<std::string>{"p.tga", "t.convert-tex.txt", "t.texture"}));
}

TEST_F(CompressAsciiResourceTest, ASaveThatCannotWriteFailsAndLeavesNothing) {
  auto resource = Load(64, 64, 0, "Primary=p.tga\n", kAuto);
  folder_.Put("blocker", "a file where a folder would be");
  const std::string path = folder_.At("blocker/t.texture");
  EXPECT_FALSE(resource->SaveTexture(path.c_str(), true));
  EXPECT_EQ(resource->GetMipLockCount(), 0u);
  EXPECT_EQ(folder_.Names(), (std::set<std::string>{"blocker", "p.tga", "t.convert-tex.txt"}));
  // Without a load there is nothing to lock, and nothing is written.
  CompressAsciiResource empty(Qel::PString("t.convert-tex.txt"), &database_);
  EXPECT_FALSE(empty.SaveTexture(folder_.At("u.texture").c_str(), true));
  EXPECT_FALSE(empty.GetCompressError().IsEmpty());
}

}  // namespace
