// The compressor's images: the uncompressed chain, DXT blocks of every size down to 1 x 1 with the
// byte counts their sizes take, binary alpha only when asked, and refusals.
#include "validation/texture_compress.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "qelgfx/bitmap.h"
#include "qelgfx/texture_file.h"
#include "support/test_images.h"

namespace {

using Qel::Bitmap;

std::unique_ptr<Bitmap> Image(u32 width, u32 height, bool alpha = false,
                              const std::function<test_images::Rgba(u32, u32)>& pixel = nullptr) {
  const std::string bytes = test_images::Tga(width, height, alpha, pixel);
  auto bitmap = std::make_unique<Bitmap>();
  EXPECT_TRUE(bitmap->LoadMemory(bytes.data(), u32(bytes.size())));
  return bitmap;
}

std::string Sizes(const TextureCompress& compress) {
  std::string out;
  for (u32 i = 0; i < compress.GetImageCount(); ++i) {
    out += std::to_string(compress.GetImage(i)->GetWidth()) + "x" +
           std::to_string(compress.GetImage(i)->GetHeight()) + " ";
  }
  return out;
}

TEST(TextureCompressTest, TheEngineFormatsMakeTheWholeChainWhateverTheMipmapFlag) {
  const struct {
    u32 width, height, code, bitmapFormat;
    const char* sizes;
  } cases[] = {
      {1, 1, 1, Bitmap::kARGB, "1x1 "},
      {256, 16, 3, Bitmap::kRGB, "256x16 128x8 64x4 32x2 16x1 8x1 4x1 2x1 1x1 "},
      {6, 3, 5, Bitmap::kGrey, "6x3 3x1 1x1 "},
  };
  for (const auto& c : cases) {
    auto source = Image(c.width, c.height, true);
    TextureCompress compress;
    ASSERT_TRUE(compress.Compress(*source, c.code, false, true, false, false, false)) << c.code;
    EXPECT_EQ(Sizes(compress), c.sizes);
    for (u32 i = 0; i < compress.GetImageCount(); ++i) {
      EXPECT_EQ(compress.GetImage(i)->GetFormat(), c.bitmapFormat);
      EXPECT_FALSE(compress.GetImage(i)->IsAlias());
    }
  }
}

TEST(TextureCompressTest, AnOpaqueTargetForcesTheCallersAlpha) {
  auto source = Image(4, 4, true, [](u32, u32) { return test_images::Rgba{1, 2, 3, 40}; });
  TextureCompress compress;
  ASSERT_TRUE(compress.Compress(*source, 3, false, true, false, false, false));
  EXPECT_EQ(source->GetPixels()[3], 255);
}

TEST(TextureCompressTest, EveryBlockLevelHasTheBytesItsSizeTakes) {
  const u32 sizes[][2] = {{1, 1}, {2, 2}, {4, 4}, {12, 20}, {256, 64}, {3, 5}};
  const struct {
    u32 code, fileFormat;
  } formats[] = {{10, Qel::kTextureDXT1},
                 {11, Qel::kTextureDXT3},
                 {12, Qel::kTextureDXT5},
                 {25, Qel::kTextureDXT1}};
  for (const auto& size : sizes) {
    for (const auto& format : formats) {
      for (const bool mipmaps : {false, true}) {
        auto source = Image(size[0], size[1], true);
        TextureCompress compress;
        ASSERT_TRUE(compress.Compress(*source, format.code, false, false, false, mipmaps, false))
            << size[0] << "x" << size[1] << " " << format.code << ": "
            << compress.GetLastError().Std();
        const u32 levels = mipmaps ? Qel::FullMipCount(size[0], size[1]) : 1;
        ASSERT_EQ(compress.GetImageCount(), levels);
        for (u32 level = 0; level < levels; ++level) {
          const Bitmap& image = *compress.GetImage(level);
          EXPECT_TRUE(image.IsBlock());
          EXPECT_EQ(image.GetWidth(), Qel::MipSide(size[0], level));
          EXPECT_EQ(image.GetHeight(), Qel::MipSide(size[1], level));
          EXPECT_EQ(image.GetByteCount(),
                    Qel::TextureMipBytes(format.fileFormat, image.GetWidth(), image.GetHeight()));
        }
      }
    }
  }
}

// Whether the first block of a DXT1 image uses its three-colour mode with a transparent texel.
bool HasTransparentTexel(const Bitmap& block) {
  const u8* b = block.GetPixels();
  const u16 c0 = u16(b[0] | (b[1] << 8));
  const u16 c1 = u16(b[2] | (b[3] << 8));
  if (c0 > c1) return false;
  for (int i = 0; i < 16; ++i) {
    if (((b[4 + i / 4] >> (2 * (i % 4))) & 3) == 3) return true;
  }
  return false;
}

TEST(TextureCompressTest, BinaryAlphaOnlyWithTheAlphaFlag) {
  auto cut = [](u32 x, u32 y) {
    return test_images::Rgba{u8(x * 60), u8(y * 60), 200, u8(x < 2 ? 0 : 255)};
  };
  for (const bool alpha : {false, true}) {
    auto source = Image(4, 4, true, cut);
    TextureCompress compress;
    ASSERT_TRUE(compress.Compress(*source, 10, alpha, false, false, false, false));
    EXPECT_EQ(HasTransparentTexel(*compress.GetImage(0)), alpha);
  }
}

// An opaque DXT1 never uses the three-colour mode, which reads its fourth colour as transparent
// black: every block's first end point is above its second, or both are one colour that every
// texel takes. Flat areas, gradients and end points in either order are all among the blocks.
TEST(TextureCompressTest, OpaqueDxt1BlocksAreAllFourColourBlocks) {
  auto source = Image(64, 64, false, [](u32 x, u32 y) {
    if (y < 16) return test_images::Rgba{90, 90, 90, 255};
    if (y < 32) return test_images::Rgba{u8(x * 4), u8(255 - x * 4), u8(y * 3), 255};
    return test_images::Rgba{u8((x * 37 + y * 11) % 256), u8((x * y) % 256), u8(x ^ y), 255};
  });
  TextureCompress compress;
  ASSERT_TRUE(compress.Compress(*source, 10, false, false, false, true, false));
  for (u32 level = 0; level < compress.GetImageCount(); ++level) {
    const Bitmap& image = *compress.GetImage(level);
    for (u32 at = 0; at + 8 <= image.GetByteCount(); at += 8) {
      const u8* b = image.GetPixels() + at;
      const u16 c0 = u16(b[0] | (b[1] << 8));
      const u16 c1 = u16(b[2] | (b[3] << 8));
      const bool flat = c0 == c1 && (b[4] | b[5] | b[6] | b[7]) == 0;
      EXPECT_TRUE(c0 > c1 || flat) << "level " << level << " block " << at / 8;
    }
  }
}

// A DXT1 with one-bit alpha: exactly the texels whose alpha is below one half read as
// transparent, in blocks of the three-colour order; blocks without one keep four colours.
TEST(TextureCompressTest, OneBitAlphaDxt1IsTransparentExactlyWhereTheImageIs) {
  // Scattered transparent texels, and the bottom rows transparent throughout.
  const auto clear = [](u32 x, u32 y) { return (x * 7 + y * 3) % 5 == 0 || y >= 48; };
  auto source = Image(64, 64, true, [&](u32 x, u32 y) {
    return test_images::Rgba{u8(x * 4), u8((x * y) % 256), u8(y * 4), u8(clear(x, y) ? 0 : 255)};
  });
  TextureCompress compress;
  ASSERT_TRUE(compress.Compress(*source, 10, true, false, false, false, false));
  const Bitmap& image = *compress.GetImage(0);
  for (u32 by = 0; by < 16; ++by) {
    for (u32 bx = 0; bx < 16; ++bx) {
      const u8* b = image.GetPixels() + (by * 16 + bx) * 8;
      const u16 c0 = u16(b[0] | (b[1] << 8));
      const u16 c1 = u16(b[2] | (b[3] << 8));
      bool any = false;
      for (u32 i = 0; i < 16; ++i) {
        const bool wanted = clear(bx * 4 + i % 4, by * 4 + i / 4);
        const bool got = c0 <= c1 && ((b[4 + i / 4] >> (2 * (i % 4))) & 3) == 3;
        EXPECT_EQ(got, wanted) << "block " << bx << "," << by << " texel " << i;
        any = any || wanted;
      }
      if (!any) {
        EXPECT_TRUE(c0 > c1 || (c0 == c1 && (b[4] | b[5] | b[6] | b[7]) == 0)) << bx << "," << by;
      }
    }
  }
}

TEST(TextureCompressTest, NormalMapsCompressWithTheirMips) {
  auto source = Image(64, 32, false, [](u32 x, u32 y) {
    return test_images::Rgba{u8(128 + (x % 8) * 8), u8(128 + (y % 8) * 8), 255, 255};
  });
  TextureCompress compress;
  ASSERT_TRUE(compress.Compress(*source, 12, false, true, true, true, false));
  EXPECT_EQ(compress.GetImageCount(), Qel::FullMipCount(64, 32));
}

TEST(TextureCompressTest, RefusesOtherSourcesAndCodes) {
  auto source = Image(4, 4);
  TextureCompress compress;
  EXPECT_FALSE(compress.Compress(*source, 7, false, false, false, false, false));
  EXPECT_FALSE(compress.GetLastError().IsEmpty());
  Bitmap grey;
  ASSERT_TRUE(grey.Create(4, 4, Bitmap::kGrey));
  EXPECT_FALSE(compress.Compress(grey, 12, false, false, false, false, false));
  Bitmap block;
  ASSERT_TRUE(block.CreateBlock(4, 4, 16));
  EXPECT_FALSE(compress.Compress(block, 1, false, false, false, false, false));
  EXPECT_EQ(compress.GetImageCount(), 0u);
}

}  // namespace
