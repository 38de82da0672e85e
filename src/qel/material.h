// Materials: how a chunk is drawn. A material is named by a decorated name,
// "<name>.m.<kind>[.<part>...]", whose kind selects the plug-in that makes it. The built-in kinds
// are "notex" (lit colour, no texture) and "onetex" (one texture); plug-ins add more.
#pragma once

#include <vector>

#include "qel/display_material.h"
#include "qel/geometry_chunk.h"
#include "qel/pstring.h"
#include "qel/reference_count.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class MaterialManager;
class MaterialPlugin;
class ResourceDatabase;
class Texture;

// What ties a made object to the plug-in that made it.
class PluginInstance {
 public:
  virtual ~PluginInstance();
  // Takes a reference to the plug-in; a later Assign gives the earlier one back.
  void Assign(MaterialPlugin* factory);
  MaterialPlugin* GetFactory() const { return factory_; }

 private:
  MaterialPlugin* factory_ = nullptr;
};

class Material : public ReferenceCount, public PluginInstance {
 public:
  // NOLINTNEXTLINE(readability-identifier-naming): the engine's name
  static constexpr const char* DecoratedTypeToken = ".m.";
  static constexpr u32 kMaxTextures = 10;
  enum TextureResult : u32 { kTextureOk = 0, kTextureRefused = 1, kTextureNotFound = 2 };

  explicit Material(MaterialManager* manager);
  ~Material() override;

  // Adds ".m.notex" (no textures) or ".m.onetex" to a name without the token.
  static String VerifyDecoratedName(const String& name, u32 textureCount);
  // A new material of that kind from the manager's plug-ins, or null.
  static Material* CreateInstance(const PString& kind, MaterialManager* manager);

  virtual PString GetType() const { return PString("notex"); }
  // A new material of the same kind with this one's settings.
  virtual Material* Copy() const;
  virtual GeometryChunk* CreateGeometryChunk(u32 vertexCount, u32 primitiveCount, u32 indexCount,
                                             u32 faceCount, u32 primitive,
                                             const StandardChunkHint& hint);
  // Resolves the texture through the database and places it at the stage; kTextureNotFound
  // when the file does not resolve.
  virtual u32 SetTexture(u32 stage, const ResourceDatabase* database, const String& path,
                         f32 amount);
  Texture* GetTexture(u32 stage) const { return stage < kMaxTextures ? textures_[stage] : nullptr; }
  virtual u32 LoadResources() { return 0; }
  // 0 when every texture it holds is loaded.
  virtual u32 IsLoaded() const;
  // Traces the state and the draw.
  virtual void Draw(Display& display, GeometryChunk& chunk);

  const PString& GetName() const { return name_; }
  void SetName(const PString& name) { name_ = name; }
  const PString& GetRequestName() const { return requestName_; }
  void SetRequestName(const PString& name) { requestName_ = name; }
  const PString& GetCreationType() const { return creationType_; }
  void SetCreationType(const PString& kind) { creationType_ = kind; }
  const DisplayMaterial& GetDisplayMaterial() const { return display_; }
  void SetDisplayMaterialProperties(const DisplayMaterial& display) { display_ = display; }
  u32 GetFlags() const { return flags_; }
  void SetFlags(u32 flags) { flags_ = flags; }
  f32 GetMaterialFloat() const { return materialFloat_; }
  void SetMaterialFloat(f32 value) { materialFloat_ = value; }
  void AddProperty(const PString& name, const PString& value);
  void ClearProperties() { properties_.clear(); }
  u32 GetPropertyCount() const { return u32(properties_.size()); }
  // Property k (below the count): its name and value.
  const std::pair<PString, PString>& GetProperty(u32 k) const { return properties_[k]; }
  // The value of the last property of that name; empty when there is none.
  PString GetPropertyString(const PString& name) const;
  MaterialManager* GetManager() const { return manager_; }

 protected:
  void CopySettingsTo(Material& other) const;
  void PlaceTexture(u32 stage, Texture* texture);  // takes over the reference

 private:
  MaterialManager* manager_;
  PString name_;
  PString requestName_;
  PString creationType_;
  DisplayMaterial display_;
  u32 flags_ = 0;
  f32 materialFloat_ = 1.0f;
  std::vector<std::pair<PString, PString>> properties_;
  Texture* textures_[kMaxTextures] = {};
};

class OneTextureMaterial : public Material {
 public:
  // NOLINTNEXTLINE(readability-identifier-naming): the engine's name
  static constexpr const char* UNDECORATED_TYPE = "onetex";

  explicit OneTextureMaterial(MaterialManager* manager);
  PString GetType() const override { return PString(UNDECORATED_TYPE); }
  Material* Copy() const override;
  void Draw(Display& display, GeometryChunk& chunk) override;
};

// A one-texture material with a reflection map at stage 1.
class ReflectiveMaterial : public OneTextureMaterial {
 public:
  using OneTextureMaterial::OneTextureMaterial;
  void Draw(Display& display, GeometryChunk& chunk) override;
};

// What a mesh gets for its materials when there is no material manager: it keeps the settings and
// reports the kind it was asked for.
class NullMaterial : public Material {
 public:
  NullMaterial() : Material(nullptr) {}
  PString GetType() const override { return GetCreationType(); }
  Material* Copy() const override;
  void Draw(Display& display, GeometryChunk& chunk) override;
};

}  // namespace Qel
