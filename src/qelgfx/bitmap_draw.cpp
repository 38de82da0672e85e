#include "qelgfx/bitmap_draw.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <vector>

namespace Qel {

namespace {

// A half-open interval [begin, end) of pixel indices, already within the surface.
struct Span {
  i64 begin = 0;
  i64 end = 0;
  bool IsEmpty() const { return begin >= end; }
};

Span ClipSpan(i64 begin, i64 end, i32 limit) {
  return Span{std::max<i64>(begin, 0), std::min<i64>(end, limit)};
}

u32* Row(Surface surface, i64 y) { return surface.pixels + size_t(y) * size_t(surface.width); }

bool IsDrawable(Surface surface) {
  return surface.pixels != nullptr && surface.width > 0 && surface.height > 0;
}

void BlendSpan(Surface surface, i64 y, Span span, PackedColor color) {
  if (y < 0 || y >= surface.height) return;
  span = ClipSpan(span.begin, span.end, surface.width);
  if (span.IsEmpty()) return;
  u32* row = Row(surface, y);
  const u32 alpha = color >> 24;
  if (alpha == 0) return;
  if (alpha == 255) {
    std::fill(row + span.begin, row + span.end, color);
    return;
  }
  for (i64 x = span.begin; x < span.end; ++x) row[x] = BlendOver(row[x], color);
}

u32 Divide255(u32 value) { return (value + 128 + ((value + 128) >> 8)) >> 8; }

// A rectangle as its corners in 64 bits, left <= right and top <= bottom (a negative width or
// height counts from the other corner), so that no i32 coordinate can overflow.
struct Box {
  i64 left = 0;
  i64 top = 0;
  i64 right = 0;
  i64 bottom = 0;

  static Box Of(Rect rect) {
    Box box{rect.x, rect.y, i64(rect.x) + rect.width, i64(rect.y) + rect.height};
    if (box.right < box.left) std::swap(box.left, box.right);
    if (box.bottom < box.top) std::swap(box.top, box.bottom);
    return box;
  }
  Box ClippedTo(i32 width, i32 height) const {
    return Box{std::max<i64>(left, 0), std::max<i64>(top, 0), std::min<i64>(right, width),
               std::min<i64>(bottom, height)};
  }
  bool IsEmpty() const { return left >= right || top >= bottom; }
};

// A private copy of `height` rows of `width` pixels, for a copy whose source is its target.
std::vector<u32> CopyRows(const u32* pixels, i64 pitch, i64 width, i64 height) {
  std::vector<u32> rows(size_t(width) * size_t(height));
  for (i64 y = 0; y < height; ++y) {
    std::memcpy(rows.data() + size_t(y) * size_t(width), pixels + size_t(y) * size_t(pitch),
                size_t(width) * 4);
  }
  return rows;
}

}  // namespace

PackedColor ColorFromFloats(float red, float green, float blue, float alpha) {
  const auto byte = [](float value) -> u32 {
    // Written so that NaN fails the test and counts as 0.
    if (!(value > 0.0f)) return 0;
    if (value >= 1.0f) return 255;
    return u32(value * 255.0f + 0.5f);
  };
  return byte(alpha) << 24 | byte(red) << 16 | byte(green) << 8 | byte(blue);
}

PackedColor BlendOver(PackedColor under, PackedColor color) {
  const u32 alpha = color >> 24;
  if (alpha == 255) return color;
  if (alpha == 0) return under;
  const u32 underAlpha = under >> 24;
  // out alpha = a + ua (1 - a); colours weighted by their share of it.
  const u32 underShare = Divide255(underAlpha * (255 - alpha));
  const u32 outAlpha = alpha + underShare;
  u32 result = outAlpha << 24;
  for (int shift = 0; shift <= 16; shift += 8) {
    const u32 top = (color >> shift) & 0xFF;
    const u32 bottom = (under >> shift) & 0xFF;
    const u32 mixed = (top * alpha + bottom * underShare + outAlpha / 2) / outAlpha;
    result |= std::min<u32>(mixed, 255) << shift;
  }
  return result;
}

void ClearSurface(Surface surface, PackedColor color) {
  if (!IsDrawable(surface)) return;
  // The C library's wide fill is the vectorised 32-bit fill, as fast as memset.
  static_assert(sizeof(wchar_t) == sizeof(u32));
  std::wmemset(reinterpret_cast<wchar_t*>(surface.pixels), static_cast<wchar_t>(color),
               size_t(surface.width) * size_t(surface.height));
}

void BlendPixel(Surface surface, i32 x, i32 y, PackedColor color) {
  if (!IsDrawable(surface) || x < 0 || y < 0 || x >= surface.width || y >= surface.height) return;
  u32& pixel = Row(surface, y)[x];
  pixel = BlendOver(pixel, color);
}

void DrawBox(Surface surface, Rect rect, PackedColor color, i32 mode) {
  if (!IsDrawable(surface)) return;
  const Box box = Box::Of(rect);
  if (box.IsEmpty()) return;
  const Span row{box.left, box.right};
  if (mode == kDrawFill) {
    const Box inside = box.ClippedTo(surface.width, surface.height);
    for (i64 y = inside.top; y < inside.bottom; ++y) BlendSpan(surface, y, row, color);
    return;
  }
  BlendSpan(surface, box.top, row, color);
  if (box.bottom - 1 > box.top) BlendSpan(surface, box.bottom - 1, row, color);
  const i64 y0 = std::max<i64>(box.top + 1, 0);
  const i64 y1 = std::min<i64>(box.bottom - 1, surface.height);
  for (i64 y = y0; y < y1; ++y) {
    BlendSpan(surface, y, Span{box.left, box.left + 1}, color);
    if (box.right - 1 > box.left) BlendSpan(surface, y, Span{box.right - 1, box.right}, color);
  }
}

void DrawLine(Surface surface, Point from, Point to, PackedColor color) {
  if (!IsDrawable(surface)) return;
  // The line's pixels are its steps along the longer axis, each rounded. Clipping the segment to
  // the surface (widened by half a pixel) only bounds which of those steps are walked, so a line
  // partly outside covers exactly the pixels of the whole line that fall inside, whatever the end
  // points.
  const double x0 = from.x;
  const double y0 = from.y;
  const double dx = double(to.x) - x0;
  const double dy = double(to.y) - y0;
  double t0 = 0.0;
  double t1 = 1.0;
  const auto clip = [&](double p, double q) {
    if (p == 0.0) return q >= 0.0;
    const double r = q / p;
    if (p < 0.0) {
      if (r > t1) return false;
      t0 = std::max(t0, r);
    } else {
      if (r < t0) return false;
      t1 = std::min(t1, r);
    }
    return true;
  };
  const double minX = -0.5;
  const double maxX = surface.width - 0.5;
  const double minY = -0.5;
  const double maxY = surface.height - 0.5;
  if (!clip(-dx, x0 - minX) || !clip(dx, maxX - x0) || !clip(-dy, y0 - minY) ||
      !clip(dy, maxY - y0)) {
    return;
  }
  const i64 count = i64(std::max(std::fabs(dx), std::fabs(dy)));
  // One step either side of the clipped part covers the rounding at its ends.
  const i64 first = std::max<i64>(i64(std::floor(t0 * double(count))) - 1, 0);
  const i64 last = std::min<i64>(i64(std::ceil(t1 * double(count))) + 1, count);
  for (i64 i = first; i <= last; ++i) {
    const double t = count == 0 ? 0.0 : double(i) / double(count);
    const i64 x = std::llround(x0 + dx * t);
    const i64 y = std::llround(y0 + dy * t);
    if (x >= 0 && y >= 0 && x < surface.width && y < surface.height) {
      BlendPixel(surface, i32(x), i32(y), color);
    }
  }
}

void DrawCircle(Surface surface, Point centre, i32 radius, PackedColor color, i32 mode) {
  if (!IsDrawable(surface) || radius < 0) return;
  const i64 r = radius;
  const i64 y0 = std::max<i64>(i64(centre.y) - r, 0);
  const i64 y1 = std::min<i64>(i64(centre.y) + r + 1, surface.height);
  // The half-width of the disc of radius `of` at a row dy from the centre; -1 outside it.
  const auto halfWidth = [](i64 of, i64 dy) -> i64 {
    if (of < 0 || dy * dy > of * of) return -1;
    return i64(std::floor(std::sqrt(double(of * of - dy * dy)) + 0.5));
  };
  for (i64 y = y0; y < y1; ++y) {
    const i64 dy = y - centre.y;
    const i64 outer = halfWidth(r, dy);
    if (outer < 0) continue;
    const i64 left = i64(centre.x) - outer;
    const i64 right = i64(centre.x) + outer + 1;
    if (mode == kDrawFill) {
      BlendSpan(surface, y, Span{left, right}, color);
      continue;
    }
    // The ring between this disc and the next smaller one, so that neighbouring rows join.
    const i64 inner = std::max(halfWidth(r - 1, dy),
                               std::max(halfWidth(r - 1, dy + 1), halfWidth(r - 1, dy - 1)));
    if (inner < 0 || inner >= outer) {
      BlendSpan(surface, y, Span{left, right}, color);
      continue;
    }
    BlendSpan(surface, y, Span{left, i64(centre.x) - inner}, color);
    BlendSpan(surface, y, Span{i64(centre.x) + inner + 1, right}, color);
  }
}

void DrawTriangle(Surface surface, Point a, Point b, Point c, PackedColor color, i32 mode) {
  if (!IsDrawable(surface)) return;
  if (mode != kDrawFill) {
    DrawLine(surface, a, b, color);
    DrawLine(surface, b, c, color);
    DrawLine(surface, c, a, color);
    return;
  }
  const Point corners[3] = {a, b, c};
  const i64 top = std::min({i64(a.y), i64(b.y), i64(c.y)});
  const i64 bottom = std::max({i64(a.y), i64(b.y), i64(c.y)});
  const i64 y0 = std::max<i64>(top, 0);
  const i64 y1 = std::min<i64>(bottom + 1, surface.height);
  for (i64 y = y0; y < y1; ++y) {
    // The row's span is where it crosses the three edges; a pixel row covers y .. y + 1.
    double low = 0.0;
    double high = 0.0;
    bool any = false;
    for (int e = 0; e < 3; ++e) {
      const Point p = corners[e];
      const Point q = corners[(e + 1) % 3];
      double ya = p.y;
      double yb = q.y;
      double xa = p.x;
      double xb = q.x;
      if (ya > yb) {
        std::swap(ya, yb);
        std::swap(xa, xb);
      }
      const double rowY = std::clamp(double(y), ya, yb);
      if (double(y) < ya - 0.5 || double(y) > yb + 0.5) continue;
      const double x = yb == ya ? xa : xa + (xb - xa) * (rowY - ya) / (yb - ya);
      const double left = yb == ya ? std::min(xa, xb) : x;
      const double right = yb == ya ? std::max(xa, xb) : x;
      low = any ? std::min(low, left) : left;
      high = any ? std::max(high, right) : right;
      any = true;
    }
    if (!any) continue;
    const double clampedLow = std::clamp(std::round(low), -1.0, double(surface.width));
    const double clampedHigh = std::clamp(std::round(high) + 1.0, -1.0, double(surface.width));
    BlendSpan(surface, y, Span{i64(clampedLow), i64(clampedHigh)}, color);
  }
}

void CopyImage(Surface surface, Point to, ConstSurface source, Rect sourceRect) {
  const Box asked = Box::Of(sourceRect);
  const Box from = asked.ClippedTo(source.width, source.height);
  if (!IsDrawable(surface) || source.pixels == nullptr || from.IsEmpty()) return;
  // Where the clipped source lands, and how much of that lies on the surface.
  const i64 dx0 = i64(to.x) + (from.left - asked.left);
  const i64 dy0 = i64(to.y) + (from.top - asked.top);
  const Box onto =
      Box{dx0, dy0, dx0 + (from.right - from.left), dy0 + (from.bottom - from.top)}.ClippedTo(
          surface.width, surface.height);
  if (onto.IsEmpty()) return;
  const i64 width = from.right - from.left;
  std::vector<u32> temporary;
  const u32* pixels = source.pixels + size_t(from.top) * size_t(source.width) + size_t(from.left);
  i64 pitch = source.width;
  if (source.pixels == surface.pixels) {
    // Overlapping rows would read pixels this copy has already written.
    temporary = CopyRows(pixels, pitch, width, from.bottom - from.top);
    pixels = temporary.data();
    pitch = width;
  }
  for (i64 y = onto.top; y < onto.bottom; ++y) {
    std::memcpy(Row(surface, y) + onto.left,
                pixels + size_t(y - dy0) * size_t(pitch) + size_t(onto.left - dx0),
                size_t(onto.right - onto.left) * 4);
  }
}

void CopyImageScaled(Surface surface, Rect to, ConstSurface source, Rect sourceRect) {
  const Box from = Box::Of(sourceRect).ClippedTo(source.width, source.height);
  const Box target = Box::Of(to);
  const Box onto = target.ClippedTo(surface.width, surface.height);
  if (!IsDrawable(surface) || source.pixels == nullptr || from.IsEmpty() || onto.IsEmpty()) return;
  const i64 sw = from.right - from.left;
  const i64 sh = from.bottom - from.top;
  std::vector<u32> temporary;
  const u32* pixels = source.pixels + size_t(from.top) * size_t(source.width) + size_t(from.left);
  i64 pitch = source.width;
  if (source.pixels == surface.pixels) {
    temporary = CopyRows(pixels, pitch, sw, sh);
    pixels = temporary.data();
    pitch = sw;
  }
  // Per column: the two source columns and the weight (0..256) of the second, sampled at the
  // destination pixel's centre.
  const double scaleX = double(sw) / double(target.right - target.left);
  const double scaleY = double(sh) / double(target.bottom - target.top);
  struct Tap {
    i32 first;
    i32 second;
    u32 weight;
  };
  const auto tap = [](double at, i64 size) {
    const double clamped = std::clamp(at, 0.0, double(size - 1));
    const i32 first = i32(clamped);
    const i32 second = std::min<i32>(first + 1, i32(size - 1));
    return Tap{first, second, u32((clamped - first) * 256.0 + 0.5)};
  };
  std::vector<Tap> columns(size_t(onto.right - onto.left));
  for (i64 x = onto.left; x < onto.right; ++x) {
    columns[size_t(x - onto.left)] = tap((double(x - target.left) + 0.5) * scaleX - 0.5, sw);
  }
  const auto mix = [](u32 p, u32 q, u32 w) {
    const u32 rb = ((p & 0x00FF00FFu) * (256 - w) + (q & 0x00FF00FFu) * w) >> 8;
    const u32 ag = ((p >> 8) & 0x00FF00FFu) * (256 - w) + ((q >> 8) & 0x00FF00FFu) * w;
    return (rb & 0x00FF00FFu) | (ag & 0xFF00FF00u);
  };
  for (i64 y = onto.top; y < onto.bottom; ++y) {
    const Tap row = tap((double(y - target.top) + 0.5) * scaleY - 0.5, sh);
    const u32* upper = pixels + size_t(row.first) * size_t(pitch);
    const u32* lower = pixels + size_t(row.second) * size_t(pitch);
    u32* out = Row(surface, y);
    for (i64 x = onto.left; x < onto.right; ++x) {
      const Tap& column = columns[size_t(x - onto.left)];
      const u32 a = mix(upper[column.first], upper[column.second], column.weight);
      const u32 b = mix(lower[column.first], lower[column.second], column.weight);
      out[x] = mix(a, b, row.weight);
    }
  }
}

}  // namespace Qel
