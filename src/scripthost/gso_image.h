// The script class "Image": a raster image that scripts clear, resize, draw shapes on in a line
// and a fill colour, copy other images into, and measure and place text on in a TrueType font.
// Images live in a context's table of live images, so that a host can list them (gsrun writes
// them out as PNG files).
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_object.h"
#include "qel/pstring.h"
#include "qelgfx/bitmap.h"

namespace GSRuntime {
class GSStack;
}  // namespace GSRuntime

class GSOImage;

// The context's live images, by creation order, and the pixel bytes they hold. Not an owner: an
// image leaves it when it ends, and a table that ends first tells its images so.
class GSOImageTable : public GSRuntime::GSContextTable {
 public:
  // Each image is capped by the bitmap's own limit; this caps how many of them a script keeps,
  // which would otherwise take the process's memory a few hundred MiB at a time.
  static constexpr u64 kMaxBytes = u64(512) << 20;

  ~GSOImageTable() override { Purge(); }
  void Purge() override;
  std::set<std::pair<u64, GSOImage*>> images;
  u64 bytes = 0;
};

class GSOImage : public GSRuntime::GSObject {
 public:
  static constexpr Qel::PackedColor kInitialLineColor = 0xFFFFFFFFu;
  static constexpr Qel::PackedColor kInitialFillColor = 0x00000000u;

  ~GSOImage() override;

  // A new image without pixels in `owner`; its instance's reference, counted for the caller, or
  // 0 when it cannot be made.
  static GSRuntime::GSHandle New(GSRuntime::GSContext* owner);
  // The image of the file `name` in `folder`; 0 when the file cannot be loaded.
  static GSRuntime::GSHandle Load(GSRuntime::GSContext* owner, const std::string& folder,
                                  const std::string& name);
  // Calls `visit` for each live image of the context, oldest first.
  static void ForEachLive(GSRuntime::GSContext* owner,
                          const std::function<void(const GSOImage&)>& visit);

  const Qel::Bitmap* Bitmap() const { return bitmap_.get(); }
  u32 Revision() const { return revision_; }
  u64 Serial() const { return serial_; }

  void Clear(GSRuntime::GSStack* stack);
  void Resize(GSRuntime::GSStack* stack);
  void GetWidth(GSRuntime::GSStack* stack);
  void GetHeight(GSRuntime::GSStack* stack);
  void SetLineColor(GSRuntime::GSStack* stack);
  void SetFillColor(GSRuntime::GSStack* stack);
  void DrawPoint(GSRuntime::GSStack* stack);
  void DrawRect(GSRuntime::GSStack* stack);
  void DrawLine(GSRuntime::GSStack* stack);
  void DrawCircle(GSRuntime::GSStack* stack);
  void DrawTriangle(GSRuntime::GSStack* stack);
  void DrawImageAt(GSRuntime::GSStack* stack);
  void DrawImageInto(GSRuntime::GSStack* stack);
  void DrawImagePart(GSRuntime::GSStack* stack);
  void SetTextFont(GSRuntime::GSStack* stack);
  void MeasureTextWidth(GSRuntime::GSStack* stack);
  void DrawText(GSRuntime::GSStack* stack);
  void ExportImage(GSRuntime::GSStack* stack);
  void ImportImage(GSRuntime::GSStack* stack);

 private:
  friend class GSOImageTable;
  GSOImage();

  static GSRuntime::GSHandle Bind(GSOImage* image, GSRuntime::GSContext* owner);
  u64 HeldBytes() const;
  // False, with a script error naming `native`, when pixels of width x height in place of this
  // image's would take the context's images over their cap.
  bool Affords(i32 width, i32 height, const char* native) const;
  // Takes `bitmap` (or none) in place of the pixels, keeping the table's count.
  void SetBitmap(std::unique_ptr<Qel::Bitmap> bitmap);
  // Replaces the pixels by a width x height image of the fill colour, or none.
  void ClearTo(i32 width, i32 height);
  // The copy step the three DrawImage natives share.
  void CopyFrom(const GSOImage& source, Qel::Point to, i64 width, i64 height, Qel::Rect sourceRect);
  Qel::Surface Surface() { return bitmap_->GetSurface(); }

  std::unique_ptr<Qel::Bitmap> bitmap_;
  Qel::PackedColor lineColor_ = kInitialLineColor;
  Qel::PackedColor fillColor_ = kInitialFillColor;
  Qel::PString fontName_ = "swiss";
  i32 fontSize_ = 12;
  u32 revision_ = 0;
  u64 serial_ = 0;
  GSOImageTable* table_ = nullptr;
};
