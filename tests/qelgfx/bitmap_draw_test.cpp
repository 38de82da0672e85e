// Raster drawing: every shape clips to the image whatever its coordinates, colours clamp, a copy
// of an image onto itself reads a temporary, and the drawing survives a PNG round trip.
#include "qelgfx/bitmap_draw.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "qelgfx/bitmap.h"
#include "support/scratch_folder.h"

namespace {

using Qel::Bitmap;
using Qel::Point;
using Qel::Rect;

constexpr u32 kRed = 0xFFFF0000u;
constexpr u32 kBlue = 0xFF0000FFu;

// A canvas with a one-pixel guard band on each side of its rows and above and below it: drawing
// that strays outside the image shows up in the guard words.
struct Guarded {
  static constexpr u32 kGuard = 0xDEADBEEFu;
  Guarded(i32 w, i32 h)
      : width(w), height(h), words(size_t(w) * size_t(h) + 2 * size_t(w), kGuard) {
    std::fill(words.begin() + w, words.end() - w, 0u);
  }
  Qel::Surface Surface() { return Qel::Surface{words.data() + width, width, height}; }
  bool GuardsIntact() const {
    for (i32 i = 0; i < width; ++i) {
      if (words[size_t(i)] != kGuard || words[words.size() - 1 - size_t(i)] != kGuard) return false;
    }
    return true;
  }
  u32 At(i32 x, i32 y) const {
    return words[size_t(width) + size_t(y) * size_t(width) + size_t(x)];
  }
  i32 width;
  i32 height;
  std::vector<u32> words;
};

TEST(BitmapDrawTest, HostileCoordinatesClipAndStayBounded) {
  const i32 kMin = INT_MIN;
  const i32 kMax = INT_MAX;
  const std::vector<std::pair<const char*, std::function<void(Qel::Surface)>>> cases = {
      {"box fill",
       [&](Qel::Surface s) {
         Qel::DrawBox(s, Rect{kMin, kMin, kMax, kMax}, kRed, 1);
       }},
      {"box outline",
       [&](Qel::Surface s) {
         Qel::DrawBox(s, Rect{kMax, kMax, kMin, kMin}, kRed, 0);
       }},
      {"box far",
       [&](Qel::Surface s) {
         Qel::DrawBox(s, Rect{kMax, 3, kMax, 5}, kRed, 1);
       }},
      {"line",
       [&](Qel::Surface s) {
         Qel::DrawLine(s, Point{kMin, kMin}, Point{kMax, kMax}, kRed);
       }},
      {"line across",
       [&](Qel::Surface s) {
         Qel::DrawLine(s, Point{kMin, 5}, Point{kMax, 5}, kRed);
       }},
      {"line outside",
       [&](Qel::Surface s) {
         Qel::DrawLine(s, Point{kMin, kMin}, Point{kMin, kMax}, kRed);
       }},
      {"circle huge",
       [&](Qel::Surface s) {
         Qel::DrawCircle(s, Point{5, 5}, kMax, kRed, 1);
       }},
      {"circle ring",
       [&](Qel::Surface s) {
         Qel::DrawCircle(s, Point{kMin, kMin}, kMax, kRed, 2);
       }},
      {"circle negative",
       [&](Qel::Surface s) {
         Qel::DrawCircle(s, Point{5, 5}, kMin, kRed, 1);
       }},
      {"triangle",
       [&](Qel::Surface s) {
         Qel::DrawTriangle(s, Point{kMin, kMin}, Point{kMax, 0}, Point{0, kMax}, kRed, 1);
       }},
      {"triangle outline",
       [&](Qel::Surface s) {
         Qel::DrawTriangle(s, Point{kMin, kMax}, Point{kMax, kMin}, Point{kMin, kMin}, kRed, 2);
       }},
      {"pixel", [&](Qel::Surface s) { Qel::BlendPixel(s, kMin, kMax, kRed); }},
  };
  for (const auto& [name, draw] : cases) {
    Guarded canvas(16, 12);
    draw(canvas.Surface());
    EXPECT_TRUE(canvas.GuardsIntact()) << name;
  }
}

// A line that starts or ends outside the image covers exactly the pixels the whole line covers
// inside it, from either end: drawn into a canvas large enough to hold it, the window over the
// small image must match.
TEST(BitmapDrawTest, AClippedLineCoversThePixelsOfTheWholeLine) {
  constexpr i32 kSize = 8;
  constexpr i32 kOffset = 200;
  const std::pair<Point, Point> lines[] = {
      {{-100, 3}, {100, 3}},  {{100, 3}, {-100, 3}},  {{3, -100}, {3, 100}},
      {{3, 100}, {3, -100}},  {{-50, -20}, {60, 30}}, {{60, 30}, {-50, -20}},
      {{-7, -100}, {12, 90}}, {{10, -3}, {-5, 12}},   {{-9, 2}, {4, 5}},
  };
  for (const auto& [from, to] : lines) {
    Guarded small(kSize, kSize);
    Qel::DrawLine(small.Surface(), from, to, kRed);
    Guarded whole(2 * kOffset, 2 * kOffset);
    Qel::DrawLine(whole.Surface(), Point{from.x + kOffset, from.y + kOffset},
                  Point{to.x + kOffset, to.y + kOffset}, kRed);
    for (i32 y = 0; y < kSize; ++y) {
      for (i32 x = 0; x < kSize; ++x) {
        EXPECT_EQ(small.At(x, y), whole.At(x + kOffset, y + kOffset))
            << "(" << from.x << "," << from.y << ")-(" << to.x << "," << to.y << ") at " << x << ","
            << y;
      }
    }
  }
}

TEST(BitmapDrawTest, ShapesCoverTheirPixels) {
  struct Case {
    const char* name;
    std::function<void(Qel::Surface)> draw;
    std::vector<Point> inside;
    std::vector<Point> outside;
  };
  const std::vector<Case> cases = {
      {"box {10,10,10,20}",
       [](Qel::Surface s) {
         Qel::DrawBox(s, Rect{10, 10, 10, 20}, kRed, 1);
       },
       {{10, 10}, {19, 29}},
       {{9, 10}, {20, 10}, {10, 30}}},
      {"box outline",
       [](Qel::Surface s) {
         Qel::DrawBox(s, Rect{2, 2, 5, 5}, kRed, 0);
       },
       {{2, 2}, {6, 6}, {2, 6}, {6, 2}},
       {{3, 3}, {7, 7}}},
      {"box from the other corner",
       [](Qel::Surface s) {
         Qel::DrawBox(s, Rect{8, 8, -4, -4}, kRed, 1);
       },
       {{4, 4}, {7, 7}},
       {{8, 8}, {3, 3}}},
      {"line",
       [](Qel::Surface s) {
         Qel::DrawLine(s, Point{0, 0}, Point{9, 9}, kRed);
       },
       {{0, 0}, {5, 5}, {9, 9}},
       {{5, 6}, {10, 10}}},
      {"disc",
       [](Qel::Surface s) {
         Qel::DrawCircle(s, Point{20, 20}, 5, kRed, 1);
       },
       {{20, 20}, {25, 20}, {20, 15}},
       {{26, 20}, {24, 24}}},
      {"ring",
       [](Qel::Surface s) {
         Qel::DrawCircle(s, Point{20, 20}, 5, kRed, 2);
       },
       {{25, 20}, {15, 20}, {20, 25}},
       {{20, 20}, {22, 21}}},
      {"radius 0",
       [](Qel::Surface s) {
         Qel::DrawCircle(s, Point{3, 3}, 0, kRed, 1);
       },
       {{3, 3}},
       {{4, 3}, {3, 4}}},
      {"triangle",
       [](Qel::Surface s) {
         Qel::DrawTriangle(s, Point{0, 0}, Point{20, 0}, Point{0, 20}, kRed, 1);
       },
       {{1, 1}, {9, 9}, {19, 0}},
       {{15, 15}, {21, 1}}},
  };
  for (const Case& c : cases) {
    Bitmap bitmap;
    ASSERT_TRUE(bitmap.Create(40, 40, Bitmap::kARGB));
    c.draw(bitmap.GetSurface());
    for (const Point p : c.inside)
      EXPECT_EQ(bitmap.GetPixel(p.x, p.y), kRed) << c.name << " " << p.x << "," << p.y;
    for (const Point p : c.outside)
      EXPECT_EQ(bitmap.GetPixel(p.x, p.y), 0u) << c.name << " " << p.x << "," << p.y;
  }
}

TEST(BitmapDrawTest, ColoursClampAndBlendOver) {
  EXPECT_EQ(Qel::ColorFromFloats(1, 0, 0, 1), 0xFFFF0000u);
  EXPECT_EQ(Qel::ColorFromFloats(0.5f, 0.5f, 0.5f, 1), 0xFF808080u);
  // Above 1 saturates rather than wrapping in the byte; below 0 and NaN are 0.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(Qel::ColorFromFloats(2.0f, 256.0f, 1e30f, 1.5f), 0xFFFFFFFFu);
  EXPECT_EQ(Qel::ColorFromFloats(-1.0f, nan, -1e30f, nan), 0x00000000u);
  EXPECT_EQ(Qel::ColorFromFloats(INFINITY, -INFINITY, 0, 1), 0xFFFF0000u);

  EXPECT_EQ(Qel::BlendOver(kBlue, 0x00FF0000u), kBlue) << "transparent changes nothing";
  EXPECT_EQ(Qel::BlendOver(kBlue, kRed), kRed) << "opaque replaces";
  EXPECT_EQ(Qel::BlendOver(kBlue, 0x80FF0000u), 0xFF80007Fu) << "half over opaque";
  EXPECT_EQ(Qel::BlendOver(0u, 0x80FF0000u), 0x80FF0000u) << "over transparent keeps the colour";
}

TEST(BitmapDrawTest, SizesAreCapped) {
  Bitmap bitmap;
  EXPECT_TRUE(bitmap.Create(16384, 1, Bitmap::kARGB));
  for (const auto& [w, h] : std::vector<std::pair<i64, i64>>{{16385, 1},
                                                             {1, 16385},
                                                             {0, 5},
                                                             {5, -1},
                                                             {INT_MIN, INT_MIN},
                                                             {16384, 16384},
                                                             {16384, 4097}}) {
    EXPECT_FALSE(Bitmap::IsAllowedSize(w, h, Bitmap::kARGB)) << w << "x" << h;
    EXPECT_FALSE(bitmap.Create(u32(w), u32(h), Bitmap::kARGB)) << w << "x" << h;
    EXPECT_TRUE(bitmap.IsEmpty());
  }
  EXPECT_TRUE(Bitmap::IsAllowedSize(16384, 4096, Bitmap::kARGB)) << "exactly 256 MiB";
}

TEST(BitmapDrawTest, ACopyOntoItselfReadsTheOriginalPixels) {
  Bitmap bitmap;
  ASSERT_TRUE(bitmap.Create(8, 1, Bitmap::kARGB));
  for (i32 x = 0; x < 8; ++x)
    Qel::DrawBox(bitmap.GetSurface(), Rect{x, 0, 1, 1}, 0xFF000000u | u32(x), 1);
  // Shifted right by 2 within the same row: a forward copy without a temporary smears pixel 0.
  Qel::CopyImage(bitmap.GetSurface(), Point{2, 0}, bitmap.GetConstSurface(), Rect{0, 0, 6, 1});
  for (i32 x = 2; x < 8; ++x) EXPECT_EQ(bitmap.GetPixel(x, 0) & 0xFF, u32(x - 2)) << x;
  Bitmap scaled;
  ASSERT_TRUE(scaled.Create(4, 4, Bitmap::kARGB));
  Qel::ClearSurface(scaled.GetSurface(), kBlue);
  Qel::DrawBox(scaled.GetSurface(), Rect{0, 0, 2, 2}, kRed, 1);
  Qel::CopyImageScaled(scaled.GetSurface(), Rect{0, 0, 4, 4}, scaled.GetConstSurface(),
                       Rect{0, 0, 2, 2});
  EXPECT_EQ(scaled.GetPixel(3, 3), kRed) << "scaled from the original quarter";
}

TEST(BitmapDrawTest, CopiesClipBothSidesAndScale) {
  Bitmap source;
  ASSERT_TRUE(source.Create(4, 4, Bitmap::kARGB));
  Qel::ClearSurface(source.GetSurface(), kBlue);
  Qel::DrawBox(source.GetSurface(), Rect{0, 0, 2, 4}, kRed, 1);
  Guarded canvas(6, 6);
  Qel::CopyImage(canvas.Surface(), Point{4, -2}, source.GetConstSurface(),
                 Rect{-5, -5, INT_MAX, INT_MAX});
  Qel::CopyImage(canvas.Surface(), Point{INT_MIN, INT_MAX}, source.GetConstSurface(),
                 Rect{0, 0, 4, 4});
  Qel::CopyImageScaled(canvas.Surface(), Rect{INT_MIN, INT_MIN, INT_MAX, INT_MAX},
                       source.GetConstSurface(), Rect{0, 0, 4, 4});
  EXPECT_TRUE(canvas.GuardsIntact());

  Bitmap doubled;
  ASSERT_TRUE(doubled.Create(8, 8, Bitmap::kARGB));
  Qel::CopyImageScaled(doubled.GetSurface(), Rect{0, 0, 8, 8}, source.GetConstSurface(),
                       Rect{0, 0, 4, 4});
  EXPECT_EQ(doubled.GetPixel(0, 0), kRed);
  EXPECT_EQ(doubled.GetPixel(2, 7), kRed);
  EXPECT_EQ(doubled.GetPixel(7, 0), kBlue);
  // The seam between the halves mixes them.
  const u32 seam = doubled.GetPixel(4, 4);
  EXPECT_GT(seam & 0xFF, 0u);
  EXPECT_GT((seam >> 16) & 0xFF, 0u);
}

// Drawing works on format 2 words only, in the byte order the other formats convert from, and
// never through a block another bitmap shares.
TEST(BitmapDrawTest, FormatTwoIsTheSurfaceAndDrawingLeavesAliasesAlone) {
  Bitmap grey;
  ASSERT_TRUE(grey.Create(4, 4, Bitmap::kGrey));
  EXPECT_EQ(grey.GetSurface().pixels, nullptr);
  EXPECT_EQ(grey.GetConstSurface().width, 0);

  Bitmap argb;
  ASSERT_TRUE(argb.Create(4, 4, Bitmap::kARGB));
  Qel::ClearSurface(argb.GetSurface(), 0x80112233u);
  const u8* bytes = argb.GetPixels();
  EXPECT_EQ((std::vector<u8>{bytes, bytes + 4}), (std::vector<u8>{0x33, 0x22, 0x11, 0x80}));
  Bitmap rgb;
  ASSERT_TRUE(rgb.Create(4, 4, Bitmap::kRGB));
  ASSERT_TRUE(rgb.CopyImage(argb));
  EXPECT_EQ(rgb.GetPixels()[2], 0x11) << "red stays red";

  std::unique_ptr<Bitmap> alias(argb.Scale(4, 4));
  ASSERT_NE(alias, nullptr);
  ASSERT_TRUE(alias->IsAlias());
  Qel::ClearSurface(alias->GetSurface(), kRed);
  EXPECT_EQ(alias->GetPixel(1, 1), kRed);
  EXPECT_EQ(argb.GetPixel(1, 1), 0x80112233u);
}

TEST(BitmapDrawTest, TheDrawingSurvivesAPngRoundTrip) {
  scratch::Folder folder;
  Bitmap drawing;
  ASSERT_TRUE(drawing.Create(64, 48, Bitmap::kARGB));
  Qel::ClearSurface(drawing.GetSurface(), 0xFF202020u);
  Qel::DrawCircle(drawing.GetSurface(), Point{16, 16}, 10, kRed, 1);
  Qel::DrawTriangle(drawing.GetSurface(), Point{40, 4}, Point{60, 4}, Point{40, 24}, kBlue, 1);
  Qel::DrawLine(drawing.GetSurface(), Point{0, 47}, Point{63, 30}, 0xFF00FF00u);
  const std::string path = folder.At("drawing.png");
  ASSERT_TRUE(drawing.SavePng(path.c_str()));
  Bitmap back;
  ASSERT_TRUE(back.LoadFile(path.c_str()));
  ASSERT_EQ(back.GetWidth(), 64u);
  ASSERT_EQ(back.GetHeight(), 48u);
  for (const Point p : {Point{16, 16}, Point{42, 6}, Point{0, 47}, Point{63, 0}, Point{16, 27}}) {
    EXPECT_EQ(back.GetPixel(p.x, p.y), drawing.GetPixel(p.x, p.y)) << p.x << "," << p.y;
  }
  EXPECT_EQ(back.GetPixel(16, 16), kRed);
  EXPECT_EQ(back.GetPixel(63, 0), 0xFF202020u);
  EXPECT_FALSE(Bitmap().SavePng(path.c_str())) << "nothing to write";
}

}  // namespace
