// TrueType text for script images: a TTFont measures characters in one face at one height and
// prepares their glyphs in the glyph atlas; the font cache gives one TTFont per distinct request
// and keeps it until the process ends.
#pragma once

#include <map>
#include <memory>
#include <string_view>

#include "qel/pstring.h"
#include "qel/types.h"
#include "scripthost/font_backend.h"
#include "scripthost/glyph_atlas.h"

namespace ScriptHost {

struct FontRequest {
  u8 bold = 0;
  u8 italic = 0;
  u8 underline = 0;
  u8 strikeout = 0;
  u8 shadow = 0;
  u8 antialiased = 0;
  i32 height = 0;
  Qel::PString charsetName;
  Qel::PString faceName;

  bool operator==(const FontRequest& other) const;
};

// Where PrepareGlyph put a character, and how far the pen moves.
struct GlyphQuad {
  AtlasRegion region;
  i32 xOffset = 0;
  i32 yOffset = 0;
  i32 advance = 0;
};

class TTFont {
 public:
  static constexpr u32 kBold = 0x01;
  static constexpr u32 kUnderline = 0x02;
  static constexpr u32 kItalic = 0x04;
  static constexpr u32 kStrikeout = 0x20;
  static constexpr u32 kShadow = 0x40;
  static constexpr u32 kAntialiased = 0x80;
  // Heights outside this range are clamped into it.
  static constexpr i32 kMinHeight = 1;
  static constexpr i32 kMaxHeight = 512;

  TTFont();
  TTFont(const TTFont&) = delete;
  TTFont& operator=(const TTFont&) = delete;

  bool Init(const Qel::PString& faceName, i32 height, u32 flags, const Qel::PString& charsetName);
  i32 CharAdvance(u32 character);
  i32 MeasureText(std::string_view text);
  // False when the glyph cannot be placed in the atlas (text drawing then skips it).
  bool PrepareGlyph(u32 character, GlyphQuad* out);

  u32 GetId() const { return id_; }
  i32 GetHeight() const { return height_; }
  i32 GetLineHeight() const { return lineHeight_; }
  // The atlas key of a character of this font.
  u64 GlyphKey(u32 character) const { return u64(id_) << 32 | character; }

 private:
  // The substitutions of measuring: white space measures as the space, U+2019 as U+0027.
  u32 Substitute(u32 character) const;
  i32 MeasureOne(u32 character);
  bool RenderGlyph(u32 character, i32 width, Qel::Bitmap* out);
  bool HasLineFlags() const { return (flags_ & (kUnderline | kStrikeout)) != 0; }

  u32 id_;
  std::unique_ptr<FontFace> face_;
  std::map<u32, i32> advances_;
  i32 lineHeight_ = 0;
  i32 shadow_ = 0;
  i32 ascent_ = 0;
  i32 spaceAdvance_ = 0;
  bool spaceKnown_ = false;
  i32 extraSpacing_ = 0;
  i32 height_ = 0;
  u32 flags_ = 0;
};

// The charset a name selects (case-insensitive); 1, the default charset, for any other name.
i32 CharsetFromName(std::string_view name);

// Decodes the next UTF-8 character at `*at`; false at the end or for a sequence that runs past it.
bool NextUtf8(std::string_view text, size_t* at, u32* character);

// The cached font for the request, made on first use; null when it cannot be made (nothing is
// cached then, so a later request tries again).
TTFont* GetFont(const FontRequest& request);
// Drops every cached font and the atlas (tests switching backends).
void ResetFontsForTests();

}  // namespace ScriptHost
