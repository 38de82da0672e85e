// Material plug-ins make materials of one kind each; the material manager finds a material by
// its decorated name, asking the plug-in of its kind, and following the plug-ins' fallbacks when
// the display cannot draw a kind.
#pragma once

#include <map>
#include <mutex>

#include "qel/pstring.h"
#include "qel/string.h"
#include "qelgfx/material.h"
#include "qelgfx/plugin.h"
#include "qelgfx/uid.h"

namespace Qel {

class Display;
class RenderKernel;
class RenderingCache;

// Constructing a plug-in registers it under its kind name; destroying it withdraws it.
class MaterialPlugin : public PluginType {
 public:
  MaterialPlugin(const PString& kind, const UId& id);
  ~MaterialPlugin() override;

  // Whether the display can draw the kind; when not, the kind to use instead goes to `fallback`.
  virtual bool IsSupported(const Display& display, PString& fallback) const;
  // A new material, or null when the plug-in cannot prepare what its materials need. The
  // material is tied to this plug-in as its factory.
  virtual Material* CreateInstance(MaterialManager* manager, RenderKernel* kernel);

  // The registered plug-in of that kind (case ignored), or null. The built-in kinds "notex" and
  // "onetex" are always there.
  static MaterialPlugin* Find(const PString& kind);
  // How often the preparation succeeded: once for the plug-in's life.
  u32 GetPreparations() const { return preparations_; }

 protected:
  // Makes one material once the plug-in is prepared; null when allocation fails.
  virtual Material* MakeMaterial(MaterialManager* manager) = 0;
  // The shared preparation, run until it succeeds with a kernel that has a display, and again for
  // another kernel, whose caches and programs are its own.
  virtual bool Prepare(RenderKernel& kernel);
  // The cache of that id from the kernel's cache manager, made with `make` when it is missing.
  static RenderingCache* ShareCache(RenderKernel& kernel, u32 id, RenderingCache* (*make)());

 private:
  u64 preparedFor_ = 0;  // the serial of the kernel prepared for
  u32 preparations_ = 0;
};

// The base of plug-ins whose materials draw one texture: supported wherever the display has a
// texture stage, and sharing the mask and chunk caches.
class OneTextureMaterialPlugin : public MaterialPlugin {
 public:
  using MaterialPlugin::MaterialPlugin;
  bool IsSupported(const Display& display, PString& fallback) const override;

 protected:
  Material* MakeMaterial(MaterialManager* manager) override;
  bool Prepare(RenderKernel& kernel) override;
  // Fills the caches the one-texture base keeps.
  bool CreatePluginResources(RenderKernel& kernel);
  // The plug-in's own preparation, after the base's.
  virtual bool PrepareOwnResources(RenderKernel& /*kernel*/) { return true; }

  RenderingCache* alphaMaskCache_ = nullptr;
  RenderingCache* materialChunkCache_ = nullptr;
};

class MaterialManager {
 public:
  enum Status : u32 { kFound = 0, kUnknownKind = 1, kUnsupported = 3 };

  explicit MaterialManager(RenderKernel* kernel) : kernel_(kernel) {}
  ~MaterialManager();
  MaterialManager(const MaterialManager&) = delete;
  MaterialManager& operator=(const MaterialManager&) = delete;

  // Splits at the first ".m." of the name part (after the last '*' of a request
  // "owner*folder*name", so that a folder may hold the token) into the name (with the request's
  // prefix), the kind (up to the next '.') and the remaining parts. False, with all three empty,
  // for a name part without the token.
  static bool SplitDecoratedMaterialName(const String& decorated, String& name, String& kind,
                                         String& parts);

  // The material of that decorated name with one reference for the caller: the one made before
  // (while someone still holds it, once the manager holds many), or a new one from the kind's
  // plug-in (or its fallbacks). kUnknownKind for a name without the token or a kind nobody makes;
  // kUnsupported when the kind and its fallbacks cannot be made.
  u32 FindMaterial(const PString& decoratedName, Material*& out);
  u32 GetMaterialCount() const;
  RenderKernel* GetRenderKernel() const { return kernel_; }

 private:
  RenderKernel* kernel_;
  mutable std::mutex mutex_;
  static constexpr size_t kPruneFloor = 256;
  std::map<PString, Material*> materials_;
  size_t pruneAt_ = kPruneFloor;
};

}  // namespace Qel
