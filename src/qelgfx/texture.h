// Textures: a name that resolves to a file through a resource database. Nothing is uploaded; a
// texture whose file does not resolve fails to load, so texture faults stay real. An image file
// is decoded for its size.
#pragma once

#include <atomic>
#include <vector>

#include "qel/reference_count.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class Bitmap;
class ResourceDatabase;
class Texture;

// What brings a texture's pixels in when the texture is asked to load: a host's background loader.
class TextureLoader : public ReferenceCount {
 public:
  enum Status : u32 { kIdle = 0, kBusy = 1, kFailed = 2 };
  virtual u32 GetStatus() const = 0;
  // Starts (or moves on) the texture's load; the loader marks it loaded or pending.
  virtual void Load(Texture& texture) = 0;
};

class Texture : public ReferenceCount {
 public:
  enum LoadResult : u32 { kLoaded = 0, kRefusedName = 1, kNotFound = 2, kBadImage = 3 };

  explicit Texture(const String& name) : name_(name) {}
  ~Texture() override;

  // Resolves the name through the database; images (bmp, tga, jpg, png) are decoded for their
  // size, compiled ".texture" files are read whole for their size and format, other files only
  // have to exist.
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
  void MarkLoaded() {
    loaded_ = true;
    pending_ = false;
  }

  // Asks a texture that is not loaded to load through its loader; without one nothing changes.
  void RequestLoad();
  // Queued with a loader that has not finished it.
  bool IsPending() const { return pending_; }
  void SetPending(bool pending) { pending_ = pending; }
  TextureLoader* GetLoader() const { return loader_; }
  // Takes a reference of its own; null detaches.
  void SetLoader(TextureLoader* loader);
  // The finest mip level a frame wants (0 the full image); the frame's requests are the
  // smallest level asked for since the last reset.
  void Activate(u32 mipLevel);
  u32 GetWantedMipLevel() const { return wantedMip_.load(); }
  void ResetWantedMipLevel() { wantedMip_.store(kNoMipWanted); }
  static constexpr u32 kNoMipWanted = 0xFFFFFFFF;
  // How soon the resource system should bring it in; larger is sooner.
  void SetResourcePriority(f32 priority) { priority_.store(priority); }
  f32 GetResourcePriority() const { return priority_.load(); }
  // A private texture of the same name, size, format and state, for pixels of one holder's own.
  Texture* Duplicate() const;
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
  bool pending_ = false;
  TextureLoader* loader_ = nullptr;
  // Shared textures are activated by every material that holds them.
  std::atomic<u32> wantedMip_{kNoMipWanted};
  std::atomic<f32> priority_{0.0f};
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
