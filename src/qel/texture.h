// Textures: a name that resolves to a file through a resource database. Nothing is uploaded; a
// texture whose file does not resolve fails to load, so texture faults stay real. An image file
// is decoded for its size.
#pragma once

#include <vector>

#include "qel/reference_count.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class Bitmap;
class ResourceDatabase;

class Texture : public ReferenceCount {
 public:
  enum LoadResult : u32 { kLoaded = 0, kRefusedName = 1, kNotFound = 2, kBadImage = 3 };

  explicit Texture(const String& name) : name_(name) {}

  // Resolves the name through the database; images (bmp, tga, jpg, png) are decoded for their
  // size, other files only have to exist.
  u32 Load(const ResourceDatabase& database);
  bool IsLoaded() const { return loaded_; }
  const String& GetName() const { return name_; }
  const String& GetPath() const { return path_; }
  u32 GetWidth() const { return width_; }
  u32 GetHeight() const { return height_; }
  // New pixels from a decoded image in a display format; `a` and `b` are the caller's and are
  // traced with it. The texture takes the image's size and counts as loaded.
  bool Update(u32 a, u32 b, const Bitmap& bitmap, u32 format);
  u32 GetDisplayFormat() const { return format_; }
  // 0 a plain texture, 1 a cube map.
  u32 GetKind() const { return kind_; }
  void SetKind(u32 kind) { kind_ = kind; }
  // For textures made in memory rather than loaded.
  void MarkLoaded() { loaded_ = true; }
  void SetSize(u32 width, u32 height) {
    width_ = width;
    height_ = height;
  }

 private:
  String name_;
  String path_;
  bool loaded_ = false;
  u32 width_ = 0;
  u32 height_ = 0;
  u32 format_ = 0;
  u32 kind_ = 0;
};

// The engine's always-present textures (0 is plain white), shared by every material that has no
// texture of its own yet.
class SharedTextureCollection {
 public:
  static constexpr u32 kCount = 4;
  // The texture with one more reference; null past the count.
  static Texture* GetTexture(u32 index);
};

}  // namespace Qel
