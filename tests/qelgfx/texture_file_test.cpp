// Engine bitmaps in their four layouts, and the compiled texture file: what is written reads back,
// and every damaged size, count or level is refused with its offset.
#include "qelgfx/texture_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "qel/file.h"
#include "qel/file_write.h"
#include "qel/resource_database.h"
#include "qelgfx/bitmap.h"
#include "qelgfx/texture.h"
#include "support/scratch_folder.h"
#include "support/test_images.h"

namespace {

using namespace Qel;

std::unique_ptr<Bitmap> Loaded(const std::string& bytes) {
  auto bitmap = std::make_unique<Bitmap>();
  EXPECT_TRUE(bitmap->LoadMemory(bytes.data(), u32(bytes.size()))) << bitmap->GetError().Std();
  return bitmap;
}

TEST(BitmapTest, FilesDecodeToFormatTwoAndConvertToEveryLayout) {
  const auto source = Loaded(test_images::Tga(2, 1, true, [](u32 x, u32) {
    return x == 0 ? test_images::Rgba{255, 0, 0, 10} : test_images::Rgba{0, 0, 255, 200};
  }));
  ASSERT_EQ(source->GetFormat(), u32(Bitmap::kARGB));
  // B, G, R, A in memory: the little-endian word 0xAARRGGBB.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(source->GetPixels()), 8),
            std::string("\x00\x00\xFF\x0A\xFF\x00\x00\xC8", 8));
  const struct {
    u32 format;
    std::string bytes;
  } cases[] = {
      {Bitmap::kGrey, std::string("\x4D\x1D", 2)},
      {Bitmap::kRGB, std::string("\x00\x00\xFF\xFF\x00\x00", 6)},
      {Bitmap::kAlpha, std::string("\x0A\xC8", 2)},
  };
  for (const auto& c : cases) {
    Bitmap target;
    ASSERT_TRUE(target.Create(2, 1, c.format));
    ASSERT_TRUE(target.CopyImage(*source));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(target.GetPixels()), c.bytes.size()),
              c.bytes)
        << c.format;
    // Back to format 2: grey widens to opaque grey, no alpha reads as 255.
    Bitmap back;
    ASSERT_TRUE(back.Create(2, 1, Bitmap::kARGB));
    ASSERT_TRUE(back.CopyImage(target));
    EXPECT_EQ(back.GetPixels()[3], c.format == Bitmap::kAlpha ? 10 : 255);
  }
  Bitmap wrongSize;
  ASSERT_TRUE(wrongSize.Create(1, 1, Bitmap::kARGB));
  EXPECT_FALSE(wrongSize.CopyImage(*source));
  Bitmap refused;
  EXPECT_FALSE(refused.Create(Bitmap::kMaxSide + 1, 1, Bitmap::kARGB));
  EXPECT_FALSE(refused.Create(1, 1, 4));
}

// A 24-bit BMP of 2x2 pixels whose header names `height` and `compression`, rows in file order.
std::string Bmp(i32 height, const u8 (&rows)[2][6], u32 compression = 0) {
  std::string b = "BM";
  const auto put = [&b](u32 v, int bytes) {
    for (int i = 0; i < bytes; ++i) b += char((v >> (8 * i)) & 0xFF);
  };
  put(54 + 16, 4);
  put(0, 4);
  put(54, 4);
  put(40, 4);
  put(2, 4);
  put(u32(height), 4);
  put(1, 2);
  put(24, 2);
  put(compression, 4);
  for (int i = 0; i < 5; ++i) put(0, 4);
  for (const auto& row : rows)
    b += std::string(reinterpret_cast<const char*>(row), 6) + std::string(2, 0);
  return b;
}

TEST(BitmapTest, TopDownAndBottomUpBmpsDecodeAlike) {
  // B, G, R per pixel: a red top row over a blue bottom row.
  const u8 top[6] = {0, 0, 255, 0, 0, 255};
  const u8 bottom[6] = {255, 0, 0, 255, 0, 0};
  const u8 bottomUp[2][6] = {{255, 0, 0, 255, 0, 0}, {0, 0, 255, 0, 0, 255}};
  const u8 topDown[2][6] = {{0, 0, 255, 0, 0, 255}, {255, 0, 0, 255, 0, 0}};
  const auto upright = Loaded(Bmp(2, bottomUp));
  const auto stored = Loaded(Bmp(-2, topDown));
  for (const Bitmap* image : {upright.get(), stored.get()}) {
    ASSERT_EQ(image->GetWidth(), 2u);
    ASSERT_EQ(image->GetHeight(), 2u);
    const u8* p = image->GetPixels();
    for (int x = 0; x < 2; ++x) {
      EXPECT_EQ(std::memcmp(p + 4 * x, top + 3 * x, 3), 0);
      EXPECT_EQ(std::memcmp(p + 8 + 4 * x, bottom + 3 * x, 3), 0);
    }
  }
  // A height that has no positive counterpart is no image size.
  Bitmap refused;
  const std::string extreme = Bmp(i32(0x80000000u), topDown);
  EXPECT_FALSE(refused.LoadMemory(extreme.data(), u32(extreme.size())));
}

// The decoder would read zeros for the missing pixels, after allocating for all of them: an
// image shorter than its header says, by as little as one byte, is refused before that.
TEST(BitmapTest, AnImageShorterThanItsHeaderSaysIsRefused) {
  const std::string tga = test_images::Tga(4, 2, true);
  // Run-length coded: per row a run of one pixel, then three pixels as they are.
  std::string coded = tga.substr(0, 18);
  coded[2] = 10;
  for (int row = 0; row < 2; ++row) {
    coded += char(0x80) + tga.substr(18 + row * 16, 4) + char(0x02) + tga.substr(22 + row * 16, 12);
  }
  const u8 rows[2][6] = {{255, 0, 0, 255, 0, 0}, {0, 0, 255, 0, 0, 255}};
  std::vector<std::string> wholes = {tga, coded};
  // The decoder reads a compression with its high bit set as none. A BMP whose last row lacks
  // only its padding still holds every pixel.
  for (const u32 compression : {0u, 0x80000000u, 0xFF000000u, 0xFFFFFFFFu}) {
    const std::string bmp = Bmp(2, rows, compression);
    wholes.push_back(bmp.substr(0, bmp.size() - 2));
  }
  std::vector<std::string> cut = {test_images::ClaimingTga(10)};
  for (const std::string& whole : wholes) {
    EXPECT_TRUE(Bitmap().LoadMemory(whole.data(), u32(whole.size()))) << whole.size();
    cut.push_back(whole.substr(0, whole.size() - 1));
  }
  for (const std::string& bytes : cut) {
    Bitmap bitmap;
    EXPECT_FALSE(bitmap.LoadMemory(bytes.data(), u32(bytes.size()))) << bytes.size();
    EXPECT_EQ(bitmap.GetError().Std(), "is cut short: it holds fewer pixels than its header says");
  }
}

// A JPEG whose Huffman table counts name more than 256 codes is no image; the decoder would write
// past its table reading the header alone.
TEST(BitmapTest, AJpegTableOfMoreCodesThanItHoldsIsRefused) {
  const std::string jpeg("\xff\xd8\xff\xc4\x00\xff\x02\xff\xff\xff\x00\xd8", 12);
  Bitmap bitmap;
  EXPECT_FALSE(bitmap.LoadMemory(jpeg.data(), u32(jpeg.size())));
  EXPECT_EQ(bitmap.GetError().Std(), "is not an image");
}

TEST(BitmapTest, ScaleAveragesBoxesAndSharesTheBlockUntilDetached) {
  Bitmap grey;
  ASSERT_TRUE(grey.Create(4, 2, Bitmap::kGrey));
  const u8 levels[8] = {0, 10, 20, 30, 100, 110, 120, 130};
  std::copy(levels, levels + 8, grey.GetMutablePixels());
  const std::unique_ptr<Bitmap> half(grey.Scale(2, 1));
  ASSERT_TRUE(half);
  EXPECT_EQ(half->GetPixels()[0], 55);  // (0 + 10 + 100 + 110) / 4
  EXPECT_EQ(half->GetPixels()[1], 75);
  // Not a power of two, and up: every pixel still covers at least one source pixel.
  const std::unique_ptr<Bitmap> odd(grey.Scale(3, 3));
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->GetPixels()[0], 0);
  EXPECT_EQ(odd->GetPixels()[8], 125);

  const std::unique_ptr<Bitmap> same(grey.Scale(4, 2));
  ASSERT_TRUE(same);
  EXPECT_TRUE(same->IsAlias());
  EXPECT_EQ(same->GetPixels(), grey.GetPixels());
  same->DetachAlias();
  EXPECT_FALSE(same->IsAlias());
  EXPECT_NE(same->GetPixels(), grey.GetPixels());
  same->GetMutablePixels()[0] = 99;
  EXPECT_EQ(grey.GetPixels()[0], 0);

  Bitmap block;
  ASSERT_TRUE(block.CreateBlock(1, 1, 8));
  EXPECT_EQ(block.GetByteCount(), 8u);
  EXPECT_EQ(block.Scale(1, 1), nullptr);
}

TEST(TextureFileTest, SizesAndLevelCountsFollowTheFormat) {
  EXPECT_EQ(FullMipCount(256, 256), 9u);
  EXPECT_EQ(FullMipCount(256, 16), 9u);
  EXPECT_EQ(FullMipCount(1, 1), 1u);
  EXPECT_EQ(FullMipCount(100, 30), 7u);
  EXPECT_EQ(MipSide(16, 5), 1u);
  EXPECT_EQ(TextureMipBytes(kTextureDXT1, 1, 1), 8u);
  EXPECT_EQ(TextureMipBytes(kTextureDXT5, 2, 2), 16u);
  EXPECT_EQ(TextureMipBytes(kTextureDXT3, 6, 3), 32u);
  EXPECT_EQ(TextureMipBytes(kTextureRGB, 3, 1), 12u);
  EXPECT_EQ(TextureMipBytes(5, 4, 4), 0u);
}

// A 4 x 2 DXT1 texture with its three levels, as the writer makes it.
std::string WrittenTexture(const scratch::Folder& folder) {
  const std::string path = folder.At("t.texture");
  File file;
  EXPECT_EQ(file.Open(path.c_str(), File::kModeCreate), 0);
  TextureFileInfo info{4, 2, kTextureDXT1, 1, 3, 0};
  const std::string block(8, 'x');
  EXPECT_TRUE(WriteTag(file, "QIRF"));
  EXPECT_TRUE(WriteU32(file, 0));
  EXPECT_TRUE(WriteU32(file, kTextureBodyTag));
  EXPECT_TRUE(WriteTextureInfo(file, info));
  for (u32 level = 0; level < 3; ++level) {
    EXPECT_TRUE(WriteTextureMip(file, level, MipSide(4, level), MipSide(2, level), block.data(), 8));
  }
  file.Close();
  std::string bytes = scratch::ReadAll(path);
  const u32 length = u32(bytes.size() - 8);
  std::memcpy(bytes.data() + 4, &length, 4);
  return bytes;
}

TEST(TextureFileTest, WhatIsWrittenReadsBackAndDamageIsRefused) {
  scratch::Folder folder;
  const std::string good = WrittenTexture(folder);
  TextureFileInfo info;
  std::vector<TextureFileMip> mips;
  String error;
  ASSERT_TRUE(ReadTextureFile(reinterpret_cast<const u8*>(good.data()), u32(good.size()), info,
                              mips, error))
      << error.Std();
  EXPECT_EQ(info.format, u32(kTextureDXT1));
  ASSERT_EQ(mips.size(), 3u);
  EXPECT_EQ(mips[2].width, 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(mips[1].bytes), 8), std::string(8, 'x'));

  auto patched = [&](size_t at, u32 value) {
    std::string bytes = good;
    std::memcpy(bytes.data() + at, &value, 4);
    return bytes;
  };
  constexpr size_t kInfo = 12 + 12;     // TINF fields
  constexpr size_t kMip0 = kInfo + 24;  // the first TMIP chunk
  const struct {
    const char* what;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"container length", good + "x", "container length"},
      {"format", patched(kInfo + 8, 5), "format unknown"},
      {"too many levels", patched(kInfo + 16, 4), "mip count"},
      {"no images", patched(kInfo + 12, 0), "image count"},
      {"wrong level", patched(kMip0 + 12, 1), "not level 0"},
      {"wrong width", patched(kMip0 + 16, 8), "not level 0"},
      {"short bytes", patched(kMip0 + 24, 4), "byte count"},
      {"chunk past the end", patched(kMip0 + 4, 4000), "passes the end"},
      {"cut", good.substr(0, good.size() - 4), "container length"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(ReadTextureFile(reinterpret_cast<const u8*>(c.bytes.data()), u32(c.bytes.size()),
                                 info, mips, error))
        << c.what;
    EXPECT_NE(error.Std().find(c.reason), std::string::npos) << c.what << ": " << error.Std();
  }
}

TEST(TextureFileTest, TheEngineTextureReadsACompiledTextureAndRefusesADamagedOne) {
  scratch::Folder folder;
  folder.Put("good.texture", WrittenTexture(folder));
  folder.Put("bad.texture", WrittenTexture(folder).substr(0, 40));
  ResourceDatabase database(PString("textures"), String(folder.path().c_str()));
  Texture good("good.texture");
  EXPECT_EQ(good.Load(database), u32(Texture::kLoaded));
  EXPECT_EQ(good.GetWidth(), 4u);
  EXPECT_EQ(good.GetDisplayFormat(), u32(kTextureDXT1));
  Texture bad("bad.texture");
  EXPECT_EQ(bad.Load(database), u32(Texture::kBadImage));
}

}  // namespace
