// The FreeType backend: fontconfig picks the file for a face name (DejaVu Sans when none is
// given), and each file is opened as one FreeType face whatever the number of fonts made from
// it; every font gets a size object of its own on that face.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SIZES_H

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "scripthost/font_backend.h"

namespace ScriptHost {

namespace {

constexpr u32 kBold = 0x01;
constexpr u32 kItalic = 0x04;
constexpr u32 kAntialiased = 0x80;
constexpr const char* kDefaultFace = "DejaVu Sans";

class FreeTypeFace : public FontFace {
 public:
  FreeTypeFace(FT_Face face, FT_Size size, u32 flags) : face_(face), size_(size), flags_(flags) {}

  FontMetrics Metrics() const override {
    const FT_Size_Metrics& metrics = size_->metrics;
    const i32 ascent = i32((metrics.ascender + 63) >> 6);
    const i32 descent = i32((-metrics.descender + 63) >> 6);
    return FontMetrics{std::max(1, ascent + descent), ascent};
  }

  bool Widths(u32 character, GlyphWidths* out) override {
    if (!Load(character, FT_LOAD_DEFAULT)) return false;
    const FT_Glyph_Metrics& metrics = face_->glyph->metrics;
    const i32 advance = i32((face_->glyph->advance.x + 32) >> 6);
    out->a = i32(metrics.horiBearingX >> 6);
    out->b = i32((metrics.width + 63) >> 6);
    out->c = advance - out->a - out->b;
    return true;
  }

  bool Render(u32 character, Qel::Surface target) override {
    const bool smooth = (flags_ & kAntialiased) != 0;
    if (!Load(character, FT_LOAD_RENDER | (smooth ? FT_LOAD_TARGET_NORMAL : FT_LOAD_TARGET_MONO))) {
      return false;
    }
    const FT_GlyphSlot slot = face_->glyph;
    const FT_Bitmap& bitmap = slot->bitmap;
    const i64 originX = slot->bitmap_left;
    const i64 originY = i64(Metrics().ascent) - slot->bitmap_top;
    for (u32 row = 0; row < bitmap.rows; ++row) {
      const i64 y = originY + row;
      if (y < 0 || y >= target.height) continue;
      const unsigned char* bits = bitmap.buffer + i64(row) * bitmap.pitch;
      for (u32 column = 0; column < bitmap.width; ++column) {
        const i64 x = originX + column;
        if (x < 0 || x >= target.width) continue;
        u32 value = 0;
        if (bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
          value = (bits[column / 8] & (0x80 >> (column % 8))) != 0 ? 255 : 0;
        } else {
          value = bits[column];
        }
        if (value != 0) target.pixels[y * target.width + x] = value << 16 | value << 8 | value;
      }
    }
    return true;
  }

 private:
  bool Load(u32 character, FT_Int32 loadFlags) {
    if (FT_Activate_Size(size_) != 0) return false;
    return FT_Load_Char(face_, character, loadFlags) == 0;
  }

  FT_Face face_;
  FT_Size size_;
  u32 flags_;
};

class FreeTypeBackend : public FontBackend {
 public:
  std::unique_ptr<FontFace> Open(const std::string& face, i32 height, u32 flags, i32) override {
    if (!Start()) return nullptr;
    const std::pair<std::string, int> file = Match(face.empty() ? kDefaultFace : face, flags);
    if (file.first.empty()) return nullptr;
    FT_Face& shared = faces_[file];
    if (shared == nullptr && FT_New_Face(library_, file.first.c_str(), file.second, &shared) != 0) {
      shared = nullptr;
      faces_.erase(file);
      return nullptr;
    }
    FT_Size size = nullptr;
    if (FT_New_Size(shared, &size) != 0) return nullptr;
    if (FT_Activate_Size(size) != 0 || FT_Set_Pixel_Sizes(shared, 0, FT_UInt(height)) != 0) {
      FT_Done_Size(size);
      return nullptr;
    }
    return std::make_unique<FreeTypeFace>(shared, size, flags);
  }

 private:
  bool Start() {
    if (library_ == nullptr && FT_Init_FreeType(&library_) != 0) library_ = nullptr;
    if (library_ == nullptr) return false;
    if (!configured_) {
      if (FcInit() == FcFalse) return false;
      // Releases fontconfig's own caches when the process ends; every pattern made here is
      // destroyed before then.
      std::atexit(FcFini);
      configured_ = true;
    }
    return true;
  }

  static std::pair<std::string, int> Match(const std::string& face, u32 flags) {
    FcPattern* pattern = FcPatternCreate();
    if (pattern == nullptr) return {};
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(face.c_str()));
    FcPatternAddInteger(pattern, FC_WEIGHT,
                        (flags & kBold) != 0 ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT,
                        (flags & kItalic) != 0 ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    std::pair<std::string, int> found;
    FcChar8* file = nullptr;
    int index = 0;
    if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
      FcPatternGetInteger(match, FC_INDEX, 0, &index);
      found = {reinterpret_cast<const char*>(file), index};
    }
    if (match != nullptr) FcPatternDestroy(match);
    return found;
  }

  FT_Library library_ = nullptr;
  bool configured_ = false;
  // Faces live as long as the process: fonts are never destroyed before it ends.
  std::map<std::pair<std::string, int>, FT_Face> faces_;
};

FontBackend* g_installed = nullptr;

}  // namespace

FontBackend& CurrentFontBackend() {
  // Never destroyed, so that fonts cached until exit never outlive their faces.
  static auto* freeType = new FreeTypeBackend();
  return g_installed != nullptr ? *g_installed : *freeType;
}

void SetFontBackend(FontBackend* backend) { g_installed = backend; }

}  // namespace ScriptHost
