#include "scripthost/tt_font.h"

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include "core/log_printf.h"

namespace ScriptHost {

namespace {

u32 g_nextFontId = 0;

struct CachedFont {
  FontRequest request;
  std::unique_ptr<TTFont> font;
};

std::vector<CachedFont>& FontCache() {
  static std::vector<CachedFont> cache;
  return cache;
}

constexpr i32 kDefaultCharset = 1;

}  // namespace

bool FontRequest::operator==(const FontRequest& other) const {
  return bold == other.bold && italic == other.italic && underline == other.underline &&
         strikeout == other.strikeout && shadow == other.shadow &&
         antialiased == other.antialiased && height == other.height &&
         charsetName == other.charsetName && faceName == other.faceName;
}

i32 CharsetFromName(std::string_view name) {
  static constexpr std::pair<const char*, i32> kCharsets[] = {
      {"ansi", 0},         {"baltic", 186},   {"big5", 136},   {"default", 1},
      {"easteurope", 238}, {"gb2312", 134},   {"greek", 161},  {"hangul", 129},
      {"arabic", 178},     {"thai", 222},     {"mac", 77},     {"oem", 255},
      {"russian", 204},    {"shiftjis", 128}, {"symbol", 2},   {"turkish", 162},
      {"vietnamese", 163}, {"johab", 130},    {"hebrew", 177},
  };
  for (const auto& [charset, code] : kCharsets) {
    const std::string_view known(charset);
    if (known.size() == name.size() &&
        std::equal(known.begin(), known.end(), name.begin(), [](char a, char b) {
          return a == char(std::tolower(static_cast<unsigned char>(b)));
        })) {
      return code;
    }
  }
  return kDefaultCharset;
}

bool NextUtf8(std::string_view text, size_t* at, u32* character) {
  static constexpr u32 kOffsets[6] = {0x00000000u, 0x00003080u, 0x000E2080u,
                                      0x03C82080u, 0xFA082080u, 0x82082080u};
  if (*at >= text.size()) return false;
  const u8 lead = u8(text[*at]);
  const u32 trailing = lead < 0xC0   ? 0
                       : lead < 0xE0 ? 1
                       : lead < 0xF0 ? 2
                       : lead < 0xF8 ? 3
                       : lead < 0xFC ? 4
                                     : 5;
  if (*at + trailing >= text.size()) return false;
  u32 value = 0;
  for (u32 i = 0; i <= trailing; ++i) {
    value = (value << 6) + u8(text[*at + i]);
  }
  *at += trailing + 1;
  *character = value - kOffsets[trailing];
  return true;
}

TTFont::TTFont() : id_(g_nextFontId++) {}

bool TTFont::Init(const Qel::PString& faceName, i32 height, u32 flags,
                  const Qel::PString& charsetName) {
  height_ = std::clamp(height, kMinHeight, kMaxHeight);
  flags_ = flags;
  face_.reset();
  extraSpacing_ = 0;
  i32 charset = CharsetFromName(charsetName.View());
  const std::string face(faceName.View());
  for (;;) {
    face_ = CurrentFontBackend().Open(face, height_, flags_, charset);
    if (face_ != nullptr) break;
    LogPrintf("TTFont::Init> '%s' CreateFontW failed", face.c_str());
    if (charset == kDefaultCharset) {
      LogPrintf("TTFont::Init> '%s' failed retry", face.c_str());
      return false;
    }
    charset = kDefaultCharset;
    LogPrintf("TTFont::Init> '%s' retrying with DEFAULT_CHARSET", face.c_str());
  }
  const FontMetrics metrics = face_->Metrics();
  if (metrics.height <= 0) {
    LogPrintf("TTFont::Init> '%s' GetTextMetricsW failed", face.c_str());
    face_.reset();
    return false;
  }
  lineHeight_ = metrics.height;
  ascent_ = metrics.ascent;
  shadow_ = 0;
  if ((flags_ & kShadow) != 0) {
    shadow_ = 1;
    lineHeight_ += 1;
  }
  if (HasLineFlags() || !spaceKnown_) {
    spaceAdvance_ = MeasureOne(' ');
    advances_[' '] = spaceAdvance_;
    spaceKnown_ = true;
  }
  return true;
}

i32 TTFont::MeasureOne(u32 character) {
  GlyphWidths widths;
  if (face_ == nullptr || !face_->Widths(character, &widths)) return 0;
  if (HasLineFlags()) {
    widths.b = widths.a + widths.b + widths.c;
    widths.a = 0;
    widths.c = 0;
  }
  if ((flags_ & kItalic) != 0) {
    widths.b += 1;
    widths.c -= 1;
  }
  widths.c += extraSpacing_;
  return widths.a + widths.b + widths.c;
}

u32 TTFont::Substitute(u32 character) const {
  if (character < 0x10000 && std::iswspace(wint_t(character)) != 0) return ' ';
  if (character == 0x2019) return '\'';
  return character;
}

i32 TTFont::CharAdvance(u32 character) {
  if (character < 32 && character != '\t') return 0;
  if (character > 0x10FFFF) return 1;
  character = Substitute(character);
  if (character == ' ' && !HasLineFlags() && spaceKnown_) return spaceAdvance_;
  const auto found = advances_.find(character);
  if (found != advances_.end()) return found->second;
  const i32 advance = MeasureOne(character);
  advances_.emplace(character, advance);
  return advance;
}

i32 TTFont::MeasureText(std::string_view text) {
  i32 total = 0;
  size_t at = 0;
  u32 character = 0;
  while (NextUtf8(text, &at, &character)) total += CharAdvance(character);
  return total;
}

bool TTFont::PrepareGlyph(u32 character, GlyphQuad* out) {
  *out = GlyphQuad();
  if ((character < 32 && character != '\t') || character > 0x10FFFF) return true;
  character = Substitute(character);
  if (character == ' ' && !HasLineFlags()) {
    out->advance = spaceAdvance_;
    return true;
  }
  const i32 advance = CharAdvance(character);
  out->xOffset = 0;
  out->yOffset = -(shadow_ + 1);
  out->advance = advance + shadow_ + 1;
  GlyphAtlas& atlas = GlyphAtlas::Get();
  const u64 key = GlyphKey(character);
  if (atlas.Lookup(key, &out->region)) return true;
  // Refused before any pixel is rendered: a glyph wider or taller than the atlas can hold.
  const i64 width = i64(advance) + shadow_ + 1;
  if (!GlyphAtlas::Fits(width, lineHeight_)) return false;
  Qel::Bitmap glyph;
  if (!RenderGlyph(character, i32(width), &glyph) || !atlas.Insert(glyph, key)) return false;
  return atlas.Lookup(key, &out->region);
}

bool TTFont::RenderGlyph(u32 character, i32 width, Qel::Bitmap* out) {
  if (!out->Create(u32(width), u32(lineHeight_), Qel::Bitmap::kARGB)) return false;
  Qel::Surface surface = out->GetSurface();
  GlyphWidths widths;
  if (face_->Widths(character, &widths)) face_->Render(character, surface);
  const bool shadow = (flags_ & kShadow) != 0;
  const u32 empty = shadow || (flags_ & kAntialiased) != 0 ? 0u : 0x00FFFFFFu;
  // Bottom row first, so that the shadow test reads the row above before it is processed.
  for (i32 y = surface.height - 1; y >= 0; --y) {
    u32* row = surface.pixels + size_t(y) * size_t(surface.width);
    for (i32 x = 0; x < surface.width; ++x) {
      if (row[x] != 0) {
        row[x] |= 0xFF000000u;
        continue;
      }
      const u32 aboveLeft = x > 0 && y > 0 ? row[x - 1 - surface.width] : 0;
      row[x] = shadow && aboveLeft != 0 ? (aboveLeft & 0xFFu) << 24 : empty;
    }
  }
  return true;
}

TTFont* GetFont(const FontRequest& asked) {
  // Keyed as made: every height past the limits makes the same font, and keying by the height
  // asked would cache one copy of it per distinct request.
  FontRequest request = asked;
  request.height = std::clamp(asked.height, TTFont::kMinHeight, TTFont::kMaxHeight);
  std::vector<CachedFont>& cache = FontCache();
  for (const CachedFont& entry : cache) {
    if (entry.request == request) return entry.font.get();
  }
  const u32 flags = (request.bold != 0 ? TTFont::kBold : 0) |
                    (request.underline != 0 ? TTFont::kUnderline : 0) |
                    (request.italic != 0 ? TTFont::kItalic : 0) |
                    (request.strikeout != 0 ? TTFont::kStrikeout : 0) |
                    (request.shadow != 0 ? TTFont::kShadow : 0) |
                    (request.antialiased != 0 ? TTFont::kAntialiased : 0);
  auto font = std::make_unique<TTFont>();
  if (!font->Init(request.faceName, request.height, flags, request.charsetName)) return nullptr;
  cache.push_back(CachedFont{request, std::move(font)});
  return cache.back().font.get();
}

void ResetFontsForTests() {
  FontCache().clear();
  GlyphAtlas::Get().Shutdown();
}

}  // namespace ScriptHost
