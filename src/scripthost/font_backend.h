// Where fonts come from: a backend opens a face by name at a pixel height and measures and draws
// single characters. The process uses FreeType through fontconfig; tests install a fake.
#pragma once

#include <memory>
#include <string>

#include "qel/types.h"
#include "qelgfx/bitmap_draw.h"

namespace ScriptHost {

struct FontMetrics {
  i32 height = 0;  // the line's cell height in pixels
  i32 ascent = 0;  // from the top of the cell to the baseline
};

// A character's widths: space before the ink (a), the ink (b), space after it (c).
struct GlyphWidths {
  i32 a = 0;
  i32 b = 0;
  i32 c = 0;
};

class FontFace {
 public:
  virtual ~FontFace() = default;
  virtual FontMetrics Metrics() const = 0;
  // False when the face cannot measure the character.
  virtual bool Widths(u32 character, GlyphWidths* out) = 0;
  // Draws the character white on black with the cell's top-left corner at (0, 0): each touched
  // pixel becomes 0x00VVVVVV for its coverage V (the alpha byte is left 0). Ink outside the
  // target is dropped.
  virtual bool Render(u32 character, Qel::Surface target) = 0;
};

class FontBackend {
 public:
  virtual ~FontBackend() = default;
  // A face of that name (empty: the default face) at `height` pixels with the style flags of
  // TTFont; null when none can be made for that charset.
  virtual std::unique_ptr<FontFace> Open(const std::string& face, i32 height, u32 flags,
                                         i32 charset) = 0;
};

// The backend fonts are made with: the FreeType one unless a test installed another.
FontBackend& CurrentFontBackend();
// Installs a backend (null: back to FreeType); the caller keeps it alive while installed.
void SetFontBackend(FontBackend* backend);

}  // namespace ScriptHost
