#include "scripthost/gso_image.h"

#include <algorithm>
#include <string_view>

#include "qel/file.h"
#include "qel/file_path.h"
#include "scripthost/glyph_atlas.h"
#include "scripthost/gso_soup.h"
#include "scripthost/native_binding.h"
#include "scripthost/script_class_registry.h"
#include "scripthost/tt_font.h"

using GSRuntime::GSContext;
using GSRuntime::GSHandle;
using GSRuntime::GSStack;

namespace {

u64 g_nextSerial = 0;

// The text parameter of the text natives: null or empty raises the parameter error.
bool TextParam(GSStack* stack, u32 index, Qel::String* out) {
  return GSRuntime::GetParam(stack, index, out, false);
}

// Two corners (x1, y1, x2, y2) read from four parameters from `first` on.
struct Corners {
  i32 x1, y1, x2, y2;
  Qel::Point TopLeft() const { return Qel::Point{x1, y1}; }
  i64 Width() const { return i64(x2) - x1; }
  i64 Height() const { return i64(y2) - y1; }
};
Corners ReadCorners(GSStack* stack, u32 first) {
  return Corners{GSRuntime::IntParam(stack, first), GSRuntime::IntParam(stack, first + 1),
                 GSRuntime::IntParam(stack, first + 2), GSRuntime::IntParam(stack, first + 3)};
}

ScriptHost::TTFont* FontFor(const Qel::PString& name, i32 size) {
  ScriptHost::FontRequest request;
  request.height = size;
  request.faceName = name;
  return ScriptHost::GetFont(request);
}

// False, with a script error naming `native`, when pixels of width x height in place of `freed`
// bytes would take the table's images over their cap. A size the bitmap refuses on its own
// passes: it leaves the image without pixels, as it always did.
bool WithinCap(const GSOImageTable* table, u64 freed, i32 width, i32 height, const char* native) {
  if (table == nullptr || !Qel::Bitmap::IsAllowedSize(width, height, Qel::Bitmap::kARGB)) return true;
  const u64 wanted = u64(width) * u64(height) * 4;
  if (table->bytes - freed + wanted <= GSOImageTable::kMaxBytes) return true;
  return GSRuntime::RaiseScriptError(
      "Image.%s> %dx%d would take this script's images over %llu MiB", native, width, height,
      static_cast<unsigned long long>(GSOImageTable::kMaxBytes >> 20));
}

}  // namespace

void GSOImageTable::Purge() {
  for (const auto& entry : images) entry.second->table_ = nullptr;
  images.clear();
  bytes = 0;
}

GSOImage::GSOImage() : serial_(g_nextSerial++) {}

GSOImage::~GSOImage() {
  if (table_ == nullptr) return;
  table_->images.erase({serial_, this});
  table_->bytes -= HeldBytes();
}

u64 GSOImage::HeldBytes() const {
  return bitmap_ != nullptr ? bitmap_->GetByteCount() : 0;
}

bool GSOImage::Affords(i32 width, i32 height, const char* native) const {
  return WithinCap(table_, HeldBytes(), width, height, native);
}

void GSOImage::SetBitmap(std::unique_ptr<Qel::Bitmap> bitmap) {
  if (table_ != nullptr) table_->bytes -= HeldBytes();
  bitmap_ = std::move(bitmap);
  if (table_ != nullptr) table_->bytes += HeldBytes();
}

GSHandle GSOImage::Bind(GSOImage* image, GSContext* owner) {
  const GSHandle reference =
      ScriptHost::BindNewObject(image, ScriptHost::ScriptClassId::kImage, owner);
  if (reference == 0) return 0;
  if (GSOImageTable* table = owner->Table<GSOImageTable>()) {
    image->table_ = table;
    table->images.emplace(image->serial_, image);
    table->bytes += image->HeldBytes();
  }
  return reference;
}

GSHandle GSOImage::New(GSContext* owner) {
  if (owner == nullptr) return 0;
  return Bind(new GSOImage(), owner);
}

GSHandle GSOImage::Load(GSContext* owner, const std::string& folder, const std::string& name) {
  if (owner == nullptr) return 0;
  auto image = std::unique_ptr<GSOImage>(new GSOImage());
  image->bitmap_ = std::make_unique<Qel::Bitmap>();
  Qel::File::Path path(folder.c_str());
  path.AddPath(name.c_str());
  // Names are asked for in lower case; the file on disk may be in any case.
  if (!image->bitmap_->LoadFile(Qel::File::Resolve(path.CStr()).CStr()) ||
      !WithinCap(owner->FindTable<GSOImageTable>(), 0, i32(image->bitmap_->GetWidth()),
                 i32(image->bitmap_->GetHeight()), "Load")) {
    return 0;
  }
  return Bind(image.release(), owner);
}

void GSOImage::ForEachLive(GSContext* owner, const std::function<void(const GSOImage&)>& visit) {
  GSOImageTable* table = owner != nullptr ? owner->FindTable<GSOImageTable>() : nullptr;
  if (table == nullptr) return;
  for (const auto& entry : table->images) visit(*entry.second);
}

void GSOImage::ClearTo(i32 width, i32 height) {
  SetBitmap(nullptr);
  if (width >= 1 && height >= 1) {
    auto bitmap = std::make_unique<Qel::Bitmap>();
    // A refused or failed allocation leaves the image without pixels.
    if (bitmap->Create(u32(width), u32(height), Qel::Bitmap::kARGB)) {
      Qel::ClearSurface(bitmap->GetSurface(), fillColor_);
      SetBitmap(std::move(bitmap));
    }
  }
  ++revision_;
}

void GSOImage::Clear(GSStack* stack) {
  const i32 width = GSRuntime::IntParam(stack, 1);
  const i32 height = GSRuntime::IntParam(stack, 2);
  if (Affords(width, height, "Clear")) ClearTo(width, height);
}

void GSOImage::Resize(GSStack* stack) {
  const i32 width = GSRuntime::IntParam(stack, 1);
  const i32 height = GSRuntime::IntParam(stack, 2);
  const bool scale = GSRuntime::BoolParam(stack, 3);
  if (bitmap_ != nullptr && i32(bitmap_->GetWidth()) == width &&
      i32(bitmap_->GetHeight()) == height) {
    return;
  }
  if (!Affords(width, height, "Resize")) return;
  if (width < 1 || height < 1 || bitmap_ == nullptr) {
    ClearTo(width, height);
    return;
  }
  auto resized = std::make_unique<Qel::Bitmap>();
  if (!resized->Create(u32(width), u32(height), Qel::Bitmap::kARGB)) {
    SetBitmap(nullptr);
    ++revision_;
    return;
  }
  const Qel::ConstSurface source = bitmap_->GetConstSurface();
  const Qel::Rect whole{0, 0, source.width, source.height};
  if (scale) {
    Qel::CopyImageScaled(resized->GetSurface(), Qel::Rect{0, 0, width, height},
                         source, whole);
  } else {
    Qel::CopyImage(resized->GetSurface(), Qel::Point{0, 0}, source,
                   Qel::Rect{0, 0, width, height});
  }
  SetBitmap(std::move(resized));
  ++revision_;
}

void GSOImage::GetWidth(GSStack* stack) {
  stack->PushInt(bitmap_ != nullptr ? i32(bitmap_->GetWidth()) : 0);
}

void GSOImage::GetHeight(GSStack* stack) {
  stack->PushInt(bitmap_ != nullptr ? i32(bitmap_->GetHeight()) : 0);
}

void GSOImage::SetLineColor(GSStack* stack) {
  lineColor_ =
      Qel::ColorFromFloats(GSRuntime::FloatParam(stack, 1), GSRuntime::FloatParam(stack, 2),
                           GSRuntime::FloatParam(stack, 3), GSRuntime::FloatParam(stack, 4));
}

void GSOImage::SetFillColor(GSStack* stack) {
  fillColor_ =
      Qel::ColorFromFloats(GSRuntime::FloatParam(stack, 1), GSRuntime::FloatParam(stack, 2),
                           GSRuntime::FloatParam(stack, 3), GSRuntime::FloatParam(stack, 4));
}

void GSOImage::DrawPoint(GSStack* stack) {
  if (bitmap_ == nullptr) return;
  Qel::BlendPixel(Surface(), GSRuntime::IntParam(stack, 1), GSRuntime::IntParam(stack, 2),
                  lineColor_);
  ++revision_;
}

void GSOImage::DrawRect(GSStack* stack) {
  if (bitmap_ == nullptr) return;
  // Corners far outside are pulled in to just outside any image, so that their difference fits
  // an i32 and an edge that lay outside stays outside.
  const auto corner = [](u32 index, GSStack* from) {
    return std::clamp<i32>(GSRuntime::IntParam(from, index), -1,
                           i32(Qel::Bitmap::kMaxSide) + 1);
  };
  const i32 x1 = corner(1, stack);
  const i32 y1 = corner(2, stack);
  const i32 x2 = corner(3, stack);
  const i32 y2 = corner(4, stack);
  const Qel::Rect rect{x1, y1, x2 - x1, y2 - y1};
  Qel::DrawBox(Surface(), rect, fillColor_, Qel::kDrawFill);
  Qel::DrawBox(Surface(), rect, lineColor_, Qel::kDrawBoxOutline);
  ++revision_;
}

void GSOImage::DrawLine(GSStack* stack) {
  if (bitmap_ == nullptr) return;
  const Qel::Point from{GSRuntime::IntParam(stack, 1), GSRuntime::IntParam(stack, 2)};
  const Qel::Point to{GSRuntime::IntParam(stack, 3), GSRuntime::IntParam(stack, 4)};
  Qel::DrawLine(Surface(), from, to, lineColor_);
  ++revision_;
}

void GSOImage::DrawCircle(GSStack* stack) {
  if (bitmap_ == nullptr) return;
  const Qel::Point centre{GSRuntime::IntParam(stack, 1), GSRuntime::IntParam(stack, 2)};
  const i32 radius = GSRuntime::IntParam(stack, 3);
  Qel::DrawCircle(Surface(), centre, radius, fillColor_, Qel::kDrawFill);
  Qel::DrawCircle(Surface(), centre, radius, lineColor_, Qel::kDrawOutline);
  ++revision_;
}

void GSOImage::DrawTriangle(GSStack* stack) {
  if (bitmap_ == nullptr) return;
  const Qel::Point a{GSRuntime::IntParam(stack, 1), GSRuntime::IntParam(stack, 2)};
  const Qel::Point b{GSRuntime::IntParam(stack, 3), GSRuntime::IntParam(stack, 4)};
  const Qel::Point c{GSRuntime::IntParam(stack, 5), GSRuntime::IntParam(stack, 6)};
  Qel::DrawTriangle(Surface(), a, b, c, fillColor_, Qel::kDrawFill);
  Qel::DrawTriangle(Surface(), a, b, c, lineColor_, Qel::kDrawOutline);
  ++revision_;
}

void GSOImage::CopyFrom(const GSOImage& source, Qel::Point to, i64 width, i64 height,
                        Qel::Rect sourceRect) {
  if (bitmap_ == nullptr || source.bitmap_ == nullptr) return;
  // Onto itself only at the same size: a different destination size draws nothing.
  if (&source == this && (width != sourceRect.width || height != sourceRect.height)) return;
  Qel::CopyImage(Surface(), to, source.bitmap_->GetConstSurface(), sourceRect);
  ++revision_;
}

void GSOImage::DrawImageAt(GSStack* stack) {
  GSOImage* source = nullptr;
  if (!GSRuntime::GetParam(stack, 3, &source, false)) return;
  const Qel::Point to{GSRuntime::IntParam(stack, 1), GSRuntime::IntParam(stack, 2)};
  const i32 width = source->bitmap_ != nullptr ? i32(source->bitmap_->GetWidth()) : 0;
  const i32 height = source->bitmap_ != nullptr ? i32(source->bitmap_->GetHeight()) : 0;
  CopyFrom(*source, to, width, height, Qel::Rect{0, 0, width, height});
}

void GSOImage::DrawImageInto(GSStack* stack) {
  GSOImage* source = nullptr;
  if (!GSRuntime::GetParam(stack, 5, &source, false)) return;
  const Corners to = ReadCorners(stack, 1);
  const i32 width = source->bitmap_ != nullptr ? i32(source->bitmap_->GetWidth()) : 0;
  const i32 height = source->bitmap_ != nullptr ? i32(source->bitmap_->GetHeight()) : 0;
  CopyFrom(*source, to.TopLeft(), to.Width(), to.Height(), Qel::Rect{0, 0, width, height});
}

void GSOImage::DrawImagePart(GSStack* stack) {
  GSOImage* source = nullptr;
  if (!GSRuntime::GetParam(stack, 5, &source, false)) return;
  const Corners to = ReadCorners(stack, 1);
  const Corners from = ReadCorners(stack, 6);
  // A source rectangle whose corners lie further apart than i32 holds covers the whole source
  // anyway; its size is clamped rather than wrapped.
  const auto clamped = [](i64 extent) {
    return i32(std::clamp<i64>(extent, INT32_MIN, INT32_MAX));
  };
  CopyFrom(*source, to.TopLeft(), to.Width(), to.Height(),
           Qel::Rect{from.x1, from.y1, clamped(from.Width()), clamped(from.Height())});
}

void GSOImage::SetTextFont(GSStack* stack) {
  Qel::PString name;
  if (!GSRuntime::GetParam(stack, 1, &name, false)) return;
  fontName_ = name.Lower();
  fontSize_ = GSRuntime::IntParam(stack, 2);
}

void GSOImage::MeasureTextWidth(GSStack* stack) {
  Qel::String text;
  GSRuntime::GetParam(stack, 1, &text, true);
  ScriptHost::TTFont* font = FontFor(fontName_, fontSize_);
  stack->PushInt(font != nullptr ? font->MeasureText(std::string_view(text.CStr(), text.Length()))
                                 : 0);
}

void GSOImage::DrawText(GSStack* stack) {
  Qel::String text;
  if (!TextParam(stack, 3, &text) || bitmap_ == nullptr) return;
  ScriptHost::TTFont* font = FontFor(fontName_, fontSize_);
  if (font == nullptr) return;
  const std::string_view view(text.CStr(), text.Length());
  size_t at = 0;
  u32 character = 0;
  ScriptHost::GlyphQuad quad;
  while (ScriptHost::NextUtf8(view, &at, &character)) font->PrepareGlyph(character, &quad);
  ScriptHost::GlyphAtlas::Get().EndBatch();
  ++revision_;
}

void GSOImage::ExportImage(GSStack* stack) {
  GSRuntime::PushCounted(stack, GSOSoup::New(GSRuntime::CallingContext(this), Soup(), true));
}

void GSOImage::ImportImage(GSStack* stack) {
  GSOSoup* soup = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &soup, false)) return;
  ++revision_;
}
