// Raster drawing on 32-bit 0xAARRGGBB pixels: fills, source-over blending, boxes, lines, circles,
// triangles and copies. Every operation clips to the surface and does work bounded by the part
// of the surface it touches, whatever the coordinates (any i32, including INT_MIN and INT_MAX).
#pragma once

#include "qel/types.h"

namespace Qel {

using PackedColor = u32;

struct Rect {
  i32 x = 0;
  i32 y = 0;
  i32 width = 0;
  i32 height = 0;
};

struct Point {
  i32 x = 0;
  i32 y = 0;
};

// Rows packed, top row first.
struct Surface {
  u32* pixels = nullptr;
  i32 width = 0;
  i32 height = 0;
};
struct ConstSurface {
  const u32* pixels = nullptr;
  i32 width = 0;
  i32 height = 0;
};

// The modes of the shape calls: filled, or the outline of a box, or the outline of a line,
// circle or triangle.
enum DrawMode : i32 { kDrawBoxOutline = 0, kDrawFill = 1, kDrawOutline = 2 };

// Each component x in 0..1 (NaN and below 0 count as 0, above 1 as 1) becomes
// trunc(x * 255 + 0.5).
PackedColor ColorFromFloats(float red, float green, float blue, float alpha);

// `color` over `under`: source-over with straight (not premultiplied) alpha.
PackedColor BlendOver(PackedColor under, PackedColor color);

// Sets every pixel to the colour, without blending.
void ClearSurface(Surface surface, PackedColor color);
void BlendPixel(Surface surface, i32 x, i32 y, PackedColor color);
// A negative width or height counts from the other corner.
void DrawBox(Surface surface, Rect rect, PackedColor color, i32 mode);
void DrawLine(Surface surface, Point from, Point to, PackedColor color);
// Nothing for a negative radius; radius 0 is the centre pixel.
void DrawCircle(Surface surface, Point centre, i32 radius, PackedColor color, i32 mode);
void DrawTriangle(Surface surface, Point a, Point b, Point c, PackedColor color, i32 mode);
// Copies the source rectangle (clipped to the source) unscaled with its top-left corner at `to`,
// replacing the pixels it covers. A source that is the destination itself is read through a
// temporary copy.
void CopyImage(Surface surface, Point to, ConstSurface source, Rect sourceRect);
// Copies the source rectangle scaled (bilinear) into the destination rectangle.
void CopyImageScaled(Surface surface, Rect to, ConstSurface source, Rect sourceRect);

}  // namespace Qel
