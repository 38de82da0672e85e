// TrueType text: font requests and their charsets, advances and their substitutions, and the
// glyph atlas's packing, borders and refusals, over a fake backend; one check that the FreeType
// backend really finds and draws the default face.
#include "scripthost/tt_font.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qelgfx/bitmap.h"
#include "scripthost/glyph_atlas.h"
#include "support/scratch_folder.h"

namespace {

using ScriptHost::FontRequest;
using ScriptHost::GlyphAtlas;
using ScriptHost::GlyphQuad;
using ScriptHost::TTFont;

// A face whose characters are `advance` pixels wide (an 'A' of `wideA`) and a full block of ink.
struct FakeBackend : ScriptHost::FontBackend {
  struct Face : ScriptHost::FontFace {
    Face(FakeBackend* owner, i32 height) : owner(owner), height(height) {}
    ScriptHost::FontMetrics Metrics() const override { return {height, height - 2}; }
    bool Widths(u32 character, ScriptHost::GlyphWidths* out) override {
      out->a = 0;
      out->b = character == 'A' ? owner->wideA : owner->advance;
      out->c = 0;
      ++owner->measured[character];
      return true;
    }
    bool Render(u32, Qel::Surface target) override {
      ++owner->rendered;
      for (i32 i = 0; i < target.width * target.height; ++i) target.pixels[i] = 0x00FFFFFFu;
      return true;
    }
    FakeBackend* owner;
    i32 height;
  };

  std::unique_ptr<ScriptHost::FontFace> Open(const std::string& face, i32 height, u32,
                                             i32 charset) override {
    opens.push_back(face + ":" + std::to_string(height) + ":" + std::to_string(charset));
    if (face == "missing" || (face == "latin" && charset != 1)) return nullptr;
    return std::make_unique<Face>(this, height);
  }

  i32 advance = 10;
  i32 wideA = 10;
  int rendered = 0;
  std::map<u32, int> measured;
  std::vector<std::string> opens;
};

class TTFontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptHost::ResetFontsForTests();
    ScriptHost::SetFontBackend(&backend_);
  }
  void TearDown() override {
    ScriptHost::SetFontBackend(nullptr);
    ScriptHost::ResetFontsForTests();
  }
  static FontRequest Request(const char* face, i32 height, const char* charset = "") {
    FontRequest request;
    request.faceName = face;
    request.height = height;
    request.charsetName = charset;
    return request;
  }

  FakeBackend backend_;
};

TEST_F(TTFontTest, RequestsAreCachedAndFailuresRetryOnceWithTheDefaultCharset) {
  EXPECT_EQ(ScriptHost::CharsetFromName("RuSsIaN"), 204);
  EXPECT_EQ(ScriptHost::CharsetFromName("klingon"), 1);
  EXPECT_EQ(ScriptHost::CharsetFromName(""), 1);

  TTFont* font = ScriptHost::GetFont(Request("swiss", 14));
  ASSERT_NE(font, nullptr);
  EXPECT_EQ(ScriptHost::GetFont(Request("swiss", 14)), font);
  EXPECT_NE(ScriptHost::GetFont(Request("swiss", 15)), font);

  backend_.opens.clear();
  EXPECT_NE(ScriptHost::GetFont(Request("latin", 14, "russian")), nullptr);
  EXPECT_EQ(backend_.opens, (std::vector<std::string>{"latin:14:204", "latin:14:1"}));
  backend_.opens.clear();
  EXPECT_EQ(ScriptHost::GetFont(Request("missing", 14)), nullptr);
  EXPECT_EQ(backend_.opens, std::vector<std::string>{"missing:14:1"}) << "no retry from 1";
  EXPECT_EQ(ScriptHost::GetFont(Request("missing", 14)), nullptr);
  EXPECT_EQ(backend_.opens.size(), 2u) << "a failure is not cached";
}

TEST_F(TTFontTest, HeightsClampAndGlyphKeysKeepFontsApart) {
  for (const auto& [asked, used] : std::vector<std::pair<i32, i32>>{
           {0, 1}, {-5, 1}, {INT_MIN, 1}, {513, 512}, {INT_MAX, 512}, {12, 12}}) {
    TTFont* font = ScriptHost::GetFont(Request("swiss", asked));
    ASSERT_NE(font, nullptr) << asked;
    EXPECT_EQ(font->GetHeight(), used) << asked;
  }
  // Cached as made, so heights past the limits share one font rather than one each.
  backend_.opens.clear();
  for (i32 asked = 513; asked < 600; ++asked) {
    EXPECT_EQ(ScriptHost::GetFont(Request("swiss", asked)), ScriptHost::GetFont(Request("swiss", 512)))
        << asked;
  }
  EXPECT_TRUE(backend_.opens.empty());
  TTFont* first = ScriptHost::GetFont(Request("a", 12));
  TTFont* second = ScriptHost::GetFont(Request("b", 12));
  // A 20-bit field would let a character above 0xFFFFF reach the next font's keys.
  EXPECT_NE(first->GlyphKey(0x10FFFF), second->GlyphKey(0x0FFFFF));
  EXPECT_EQ(second->GlyphKey('x') >> 32, second->GetId());
}

TEST_F(TTFontTest, AdvancesSubstituteWhiteSpaceAndTheRightQuote) {
  backend_.advance = 7;
  TTFont* font = ScriptHost::GetFont(Request("swiss", 14));
  ASSERT_NE(font, nullptr);
  EXPECT_EQ(font->CharAdvance('\t'), font->CharAdvance(' '));
  EXPECT_EQ(font->CharAdvance(0x2019), 7);
  EXPECT_EQ(backend_.measured.count(0x2019), 0u) << "measured as the apostrophe";
  EXPECT_EQ(font->CharAdvance(0x1F), 0);
  EXPECT_EQ(font->CharAdvance(0x110000), 1);
  EXPECT_EQ(font->MeasureText("ab\xE2\x80\x99"), 21);
  EXPECT_EQ(font->MeasureText("ab\xE2\x80"), 14) << "a cut sequence ends the text";
  EXPECT_EQ(font->MeasureText(""), 0);
  font->CharAdvance('q');
  font->CharAdvance('q');
  EXPECT_EQ(backend_.measured['q'], 1) << "advances are cached";
}

TEST_F(TTFontTest, GlyphsFillRowsOfTheAtlasAndWrapAt512) {
  backend_.advance = 20;  // glyphs of 21 x 14 with their spacing column, 23 x 16 with the border
  TTFont* font = ScriptHost::GetFont(Request("swiss", 14));
  ASSERT_NE(font, nullptr);
  GlyphAtlas& atlas = GlyphAtlas::Get();
  const float texel = 1.0f / 512.0f;
  GlyphQuad quad;
  const int perRow = 512 / 23;  // 22
  for (int i = 0; i <= perRow; ++i) {
    ASSERT_TRUE(font->PrepareGlyph(u32(0x100 + i), &quad)) << i;
    if (i < perRow) {
      EXPECT_FLOAT_EQ(quad.region.x, float(i * 23 + 1) * texel) << i;
      EXPECT_FLOAT_EQ(quad.region.y, 1 * texel) << i;
    }
  }
  EXPECT_FLOAT_EQ(quad.region.x, 1 * texel) << "the 23rd starts the next row";
  EXPECT_FLOAT_EQ(quad.region.y, 17 * texel) << "at y + 16";
  EXPECT_FLOAT_EQ(quad.region.width, 21 * texel);
  EXPECT_FLOAT_EQ(quad.region.height, 14 * texel);
  EXPECT_EQ(quad.advance, 21);
  EXPECT_EQ(quad.yOffset, -1);
  // The border repeats the glyph's edge; beyond it the texture is untouched.
  const Qel::Bitmap& texture = atlas.Texture();
  EXPECT_EQ(texture.GetPixel(1, 1), 0xFFFFFFFFu);
  EXPECT_EQ(texture.GetPixel(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(texture.GetPixel(22, 15), 0xFFFFFFFFu);
  EXPECT_EQ(texture.GetPixel(511, 40), 0u);
  const int rendered = backend_.rendered;
  ASSERT_TRUE(font->PrepareGlyph(0x100, &quad));
  EXPECT_EQ(backend_.rendered, rendered) << "a placed glyph is not rendered again";

  scratch::Folder folder;
  ASSERT_TRUE(texture.SavePng(folder.At("atlas.png").c_str()));
  Qel::Bitmap back;
  ASSERT_TRUE(back.LoadFile(folder.At("atlas.png").c_str()));
  EXPECT_EQ(back.GetWidth(), 512u);
  EXPECT_EQ(back.GetPixel(1, 17), 0xFFFFFFFFu) << "the wrapped glyph in the file";
  EXPECT_EQ(back.GetPixel(30, 20), 0u);
}

TEST_F(TTFontTest, AGlyphThatCannotFitIsRefusedBeforeRendering) {
  backend_.wideA = 600;
  TTFont* font = ScriptHost::GetFont(Request("swiss", 14));
  ASSERT_NE(font, nullptr);
  GlyphQuad quad;
  EXPECT_FALSE(font->PrepareGlyph('A', &quad));
  EXPECT_EQ(backend_.rendered, 0);
  EXPECT_EQ(GlyphAtlas::Get().Count(), 0u);
  TTFont* tall = ScriptHost::GetFont(Request("swiss", 511));
  ASSERT_NE(tall, nullptr);
  EXPECT_FALSE(tall->PrepareGlyph('b', &quad)) << "511 + 2 rows do not fit";
  EXPECT_EQ(backend_.rendered, 0);
  Qel::Bitmap wide;
  ASSERT_TRUE(wide.Create(511, 1, Qel::Bitmap::kARGB));
  EXPECT_FALSE(GlyphAtlas::Get().Insert(wide, 1));
}

TEST_F(TTFontTest, AFullAtlasRefusesWhileGlyphsAreInUseAndStartsAfreshAfterTheBatch) {
  GlyphAtlas& atlas = GlyphAtlas::Get();
  Qel::Bitmap block;
  ASSERT_TRUE(block.Create(254, 254, Qel::Bitmap::kARGB));
  ScriptHost::AtlasRegion region;
  for (u64 key = 0; key < 4; ++key) ASSERT_TRUE(atlas.Insert(block, key)) << key;
  ASSERT_TRUE(atlas.Lookup(3, &region));
  EXPECT_FALSE(atlas.Insert(block, 4)) << "used since the last batch end";
  EXPECT_TRUE(atlas.Lookup(0, &region)) << "nothing was dropped";
  atlas.EndBatch();
  ASSERT_TRUE(atlas.Insert(block, 4));
  EXPECT_EQ(atlas.Count(), 1u);
  EXPECT_TRUE(atlas.Lookup(4, &region));
  EXPECT_FLOAT_EQ(region.x, 1.0f / 512.0f);
  EXPECT_FALSE(atlas.Lookup(0, &region));
  EXPECT_EQ(region.width, 0.0f);
}

TEST(FreeTypeFontTest, TheDefaultFaceMeasuresAndDrawsText) {
  ScriptHost::ResetFontsForTests();
  FontRequest request;
  request.height = 24;
  TTFont* font = ScriptHost::GetFont(request);
  ASSERT_NE(font, nullptr) << "fontconfig finds the default face";
  EXPECT_GT(font->MeasureText("WWW"), font->MeasureText("iii"));
  FontRequest small = request;
  small.height = 12;
  TTFont* smaller = ScriptHost::GetFont(small);
  ASSERT_NE(smaller, nullptr);
  EXPECT_LT(smaller->MeasureText("WWW"), font->MeasureText("WWW")) << "sizes of one face differ";
  GlyphQuad quad;
  ASSERT_TRUE(font->PrepareGlyph('W', &quad));
  const Qel::Bitmap& texture = GlyphAtlas::Get().Texture();
  int ink = 0;
  for (i32 y = 0; y < 40; ++y) {
    for (i32 x = 0; x < 40; ++x) ink += (texture.GetPixel(x, y) >> 24) == 255 ? 1 : 0;
  }
  EXPECT_GT(ink, 20);
  ScriptHost::ResetFontsForTests();
}

}  // namespace
