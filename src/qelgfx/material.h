// Materials: how a chunk is drawn. A material is named by a decorated name,
// "<name>.m.<kind>[.<part>...]", whose kind selects the plug-in that makes it. The built-in kinds
// are "notex" (lit colour, no texture) and "onetex" (one texture); plug-ins add more.
#pragma once

#include <vector>

#include "qel/pstring.h"
#include "qel/reference_count.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/display_material.h"
#include "qelgfx/geometry_chunk.h"
#include "qelgfx/render_inputs.h"

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
  enum TextureResult : u32 {
    kTextureOk = 0,
    kTextureRefused = 1,
    kTextureNotFound = 2,
    kTextureMissing = 3,  // no texture was given
  };

  // The load state the resource system reads: every texture in, one that failed to come (not
  // loaded, not pending, no loader at work), or still loading.
  enum LoadState : u32 { kLoadStateLoaded = 0, kLoadStateLoading = 1, kLoadStateFailed = 4 };
  // What a texture index was set from, kept so a host can load it again.
  struct TextureDefinition {
    u32 index = 0;
    String name;
    f32 value = 0.0f;
  };

  explicit Material(MaterialManager* manager);
  ~Material() override;

  // Adds ".m.notex" (no textures) or ".m.onetex" to a name whose name part (after the last
  // '*') has no token.
  static String VerifyDecoratedName(const String& name, u32 textureCount);
  // The flags of a new chunk of the primitive; false for more vertices than 16-bit indices reach
  // or a primitive the engine lacks.
  static bool MakeGeometryChunkFlags(u32 vertexCount, u32 primitive, u32& flags);
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
  u32 SetTexture(u32 stage, const ResourceDatabase* database, const String& path, f32 amount);
  // Places the texture (with a reference of its own) at the index; kinds with textures beyond
  // the engine's stages take their own indices, and `value` is the kind's setting for it.
  virtual u32 SetTexture(u32 index, Texture* texture, f32 value);
  virtual Texture* GetTexture(u32 stage) const {
    return stage < kMaxTextures ? textures_[stage] : nullptr;
  }
  // Same kind, names and settings (colours, flags, scalar, properties), and the very same
  // textures.
  virtual bool Equals(const Material& other) const;
  virtual u32 LoadResources() { return 0; }
  // Every texture the material draws with: the kind's own, then the stages.
  virtual void GetTextureList(std::vector<Texture*>& list) const;
  u32 GetLoadState() const;
  // A frame's mip request, handed to every texture of the list.
  virtual void Activate(u32 mipLevel);
  // Kept for textures set later and handed to every texture of the list.
  virtual void SetResourcePriority(f32 priority);
  f32 GetResourcePriority() const { return priority_; }
  void SetTextureDefinition(u32 index, const String& name, f32 value);
  // Null for an index never set.
  const TextureDefinition* GetTextureDefinition(u32 index) const;
  // The texture at the index becomes a private copy, so that pixels changed through this
  // material reach no other holder; false when there is no texture there.
  virtual bool DuplicateTexture(u32 index);
  // 0 when every texture it holds is loaded.
  virtual u32 IsLoaded() const;
  // Traces the state and the draw.
  virtual void Draw(Display& display, GeometryChunk& chunk);

  // Pass by pass drawing. The display state is set around one chunk or a run of chunks; between
  // them each chunk takes its lighting, world transform and draw. Nothing is drawn for a
  // missing chunk.
  virtual void SetDisplayState(Display& /*display*/) {}
  virtual void ClearDisplayState(Display& /*display*/) {}
  virtual void Bind(Display& display, u32 /*pass*/) { SetDisplayState(display); }
  virtual void Unbind(Display& display, u32 /*pass*/) { ClearDisplayState(display); }
  virtual void RenderChunk(Display& display, const RenderView& view, const ChunkDraw& draw);
  virtual void RenderNumChunks(Display& display, const RenderView& view, const ChunkDraw* draws,
                               u32 count);
  virtual void RenderPrimitives(Display& display, const RenderView& view, const ChunkDraw& draw,
                                const PrimitiveRange& range);
  // Whether the material's chunks are sorted as transparent (1) or not (0).
  virtual void CacheAlphaHint() { alphaHint_ = display_.diffuse.a < 1.0f ? 1 : 0; }
  u32 GetAlphaHint() const { return alphaHint_; }
  f32 GetOpacity() const { return display_.diffuse.a; }
  void SetLightingState(Display& display, f32 opacity) const;
  // The lighting of one chunk seen from a view, lit by a list, drawn with a vertex program.
  void SetLightingState(Display& display, const RenderView& view, const GeometryChunk& chunk,
                        u32 vertexProgram, const LightList* lights, f32 opacity, bool lit) const;

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
  void SetAlphaHint(u32 hint) { alphaHint_ = hint; }
  // Lighting, world transform and the draw of one chunk, in the whole or a range.
  void DrawLit(Display& display, const ChunkDraw& draw, const PrimitiveRange* range);

 private:
  MaterialManager* manager_;
  PString name_;
  PString requestName_;
  PString creationType_;
  DisplayMaterial display_;
  u32 flags_ = 0;
  f32 materialFloat_ = 1.0f;
  u32 alphaHint_ = 0;
  std::vector<std::pair<PString, PString>> properties_;
  std::vector<TextureDefinition> definitions_;
  f32 priority_ = 0.0f;
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
  // Stage 0 takes the texture; the combiner, when there is one, is bound.
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  u32 GetCombiner() const { return combiner_; }
  void SetCombiner(u32 handle) { combiner_ = handle; }

 private:
  u32 combiner_ = 0;
};

// A one-texture material with a reflection map at stage 1.
class ReflectiveMaterial : public OneTextureMaterial {
 public:
  using OneTextureMaterial::OneTextureMaterial;
  void Draw(Display& display, GeometryChunk& chunk) override;
  // Texture coordinates of stage 1 generated by the display (no vertex program bound).
  static void ChangeTexGen(Display& display, bool vertexProgramBound);
  // Sphere-map coordinates into the chunk's second texture set, from its normals turned by the
  // world's rotation; nothing for a chunk without both.
  // NOLINTNEXTLINE(readability-identifier-naming): the engine's spelling
  static void SetSphericalTexureCoordinates(GeometryChunk& chunk, const Matrix4* world);
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
