// The FreeType backend: fontconfig picks the file for a face name (DejaVu Sans when none is
// given), and each file is opened as one FreeType face whatever the number of fonts made from
// it; every font gets a size object of its own on that face.
//
// Both libraries, and the image and XML libraries they bring, are loaded with the first font:
// few commands draw text, and linked they cost every start of the program their symbol binding.
#include <dlfcn.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SIZES_H

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "scripthost/font_backend.h"

namespace ScriptHost {

namespace {

constexpr u32 kBold = 0x01;
constexpr u32 kItalic = 0x04;
constexpr u32 kAntialiased = 0x80;
constexpr const char* kDefaultFace = "DejaVu Sans";

// The functions used of the two libraries, looked up in the libraries' run-time names.
struct FontLibraries {
  decltype(&FT_Init_FreeType) initFreeType = nullptr;
  decltype(&FT_New_Face) newFace = nullptr;
  decltype(&FT_New_Size) newSize = nullptr;
  decltype(&FT_Done_Size) doneSize = nullptr;
  decltype(&FT_Activate_Size) activateSize = nullptr;
  decltype(&FT_Set_Pixel_Sizes) setPixelSizes = nullptr;
  decltype(&FT_Load_Char) loadChar = nullptr;
  decltype(&FcInit) init = nullptr;
  decltype(&FcFini) fini = nullptr;
  decltype(&FcPatternCreate) patternCreate = nullptr;
  decltype(&FcPatternDestroy) patternDestroy = nullptr;
  decltype(&FcPatternAddString) patternAddString = nullptr;
  decltype(&FcPatternAddInteger) patternAddInteger = nullptr;
  decltype(&FcPatternAddBool) patternAddBool = nullptr;
  decltype(&FcPatternGetString) patternGetString = nullptr;
  decltype(&FcPatternGetInteger) patternGetInteger = nullptr;
  decltype(&FcConfigSubstitute) configSubstitute = nullptr;
  decltype(&FcDefaultSubstitute) defaultSubstitute = nullptr;
  decltype(&FcFontMatch) fontMatch = nullptr;
};

template <typename Function>
bool Bind(void* library, const char* name, Function& out) {
  out = library != nullptr ? reinterpret_cast<Function>(dlsym(library, name)) : nullptr;
  return out != nullptr;
}

// Loaded by the first call and kept for the process; null when either library or one of its
// functions is missing, and then no font can be made.
const FontLibraries* Libraries() {
  static std::once_flag once;
  static FontLibraries* loaded = nullptr;
  std::call_once(once, [] {
    void* ft = dlopen("libfreetype.so.6", RTLD_NOW | RTLD_LOCAL);
    void* fc = dlopen("libfontconfig.so.1", RTLD_NOW | RTLD_LOCAL);
    auto* l = new FontLibraries();
    const bool bound =
        Bind(ft, "FT_Init_FreeType", l->initFreeType) && Bind(ft, "FT_New_Face", l->newFace) &&
        Bind(ft, "FT_New_Size", l->newSize) && Bind(ft, "FT_Done_Size", l->doneSize) &&
        Bind(ft, "FT_Activate_Size", l->activateSize) &&
        Bind(ft, "FT_Set_Pixel_Sizes", l->setPixelSizes) && Bind(ft, "FT_Load_Char", l->loadChar) &&
        Bind(fc, "FcInit", l->init) && Bind(fc, "FcFini", l->fini) &&
        Bind(fc, "FcPatternCreate", l->patternCreate) &&
        Bind(fc, "FcPatternDestroy", l->patternDestroy) &&
        Bind(fc, "FcPatternAddString", l->patternAddString) &&
        Bind(fc, "FcPatternAddInteger", l->patternAddInteger) &&
        Bind(fc, "FcPatternAddBool", l->patternAddBool) &&
        Bind(fc, "FcPatternGetString", l->patternGetString) &&
        Bind(fc, "FcPatternGetInteger", l->patternGetInteger) &&
        Bind(fc, "FcConfigSubstitute", l->configSubstitute) &&
        Bind(fc, "FcDefaultSubstitute", l->defaultSubstitute) &&
        Bind(fc, "FcFontMatch", l->fontMatch);
    if (bound) {
      loaded = l;
    } else {
      delete l;
    }
  });
  return loaded;
}

class FreeTypeFace : public FontFace {
 public:
  FreeTypeFace(const FontLibraries& lib, FT_Face face, FT_Size size, u32 flags)
      : lib_(lib), face_(face), size_(size), flags_(flags) {}

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
    if (lib_.activateSize(size_) != 0) return false;
    return lib_.loadChar(face_, character, loadFlags) == 0;
  }

  const FontLibraries& lib_;
  FT_Face face_;
  FT_Size size_;
  u32 flags_;
};

class FreeTypeBackend : public FontBackend {
 public:
  std::unique_ptr<FontFace> Open(const std::string& face, i32 height, u32 flags, i32) override {
    if (!Start()) return nullptr;
    const FontLibraries& lib = *lib_;
    const std::pair<std::string, int> file = Match(lib, face.empty() ? kDefaultFace : face, flags);
    if (file.first.empty()) return nullptr;
    FT_Face& shared = faces_[file];
    if (shared == nullptr && lib.newFace(library_, file.first.c_str(), file.second, &shared) != 0) {
      shared = nullptr;
      faces_.erase(file);
      return nullptr;
    }
    FT_Size size = nullptr;
    if (lib.newSize(shared, &size) != 0) return nullptr;
    if (lib.activateSize(size) != 0 || lib.setPixelSizes(shared, 0, FT_UInt(height)) != 0) {
      lib.doneSize(size);
      return nullptr;
    }
    return std::make_unique<FreeTypeFace>(lib, shared, size, flags);
  }

 private:
  bool Start() {
    if (lib_ == nullptr) lib_ = Libraries();
    if (lib_ == nullptr) return false;
    if (library_ == nullptr && lib_->initFreeType(&library_) != 0) library_ = nullptr;
    if (library_ == nullptr) return false;
    if (!configured_) {
      if (lib_->init() == FcFalse) return false;
      // Releases fontconfig's own caches when the process ends; every pattern made here is
      // destroyed before then.
      std::atexit([] { Libraries()->fini(); });
      configured_ = true;
    }
    return true;
  }

  static std::pair<std::string, int> Match(const FontLibraries& lib, const std::string& face,
                                           u32 flags) {
    FcPattern* pattern = lib.patternCreate();
    if (pattern == nullptr) return {};
    lib.patternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(face.c_str()));
    lib.patternAddInteger(pattern, FC_WEIGHT,
                          (flags & kBold) != 0 ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    lib.patternAddInteger(pattern, FC_SLANT,
                          (flags & kItalic) != 0 ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    lib.patternAddBool(pattern, FC_SCALABLE, FcTrue);
    lib.configSubstitute(nullptr, pattern, FcMatchPattern);
    lib.defaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = lib.fontMatch(nullptr, pattern, &result);
    lib.patternDestroy(pattern);
    std::pair<std::string, int> found;
    FcChar8* file = nullptr;
    int index = 0;
    if (match != nullptr && lib.patternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
      lib.patternGetInteger(match, FC_INDEX, 0, &index);
      found = {reinterpret_cast<const char*>(file), index};
    }
    if (match != nullptr) lib.patternDestroy(match);
    return found;
  }

  const FontLibraries* lib_ = nullptr;
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
