#include "qelgfx/material.h"

#include "qel/resource_database.h"
#include "qelgfx/material_manager.h"
#include "qelgfx/texture.h"

namespace Qel {

PluginInstance::~PluginInstance() { Assign(nullptr); }

void PluginInstance::Assign(MaterialPlugin* factory) {
  if (factory) factory->AddReference();
  if (factory_) factory_->Release();
  factory_ = factory;
}

Material::Material(MaterialManager* manager) : manager_(manager) {}

Material::~Material() {
  for (Texture*& texture : textures_) ReleaseAndClear(texture);
}

String Material::VerifyDecoratedName(const String& name, u32 textureCount) {
  String plain, kind, parts;
  if (MaterialManager::SplitDecoratedMaterialName(name, plain, kind, parts)) return name;
  return name + (textureCount == 0 ? ".m.notex" : ".m.onetex");
}

Material* Material::CreateInstance(const PString& kind, MaterialManager* manager) {
  MaterialPlugin* plugin = MaterialPlugin::Find(kind);
  if (!plugin) return nullptr;
  return plugin->CreateInstance(manager, manager ? manager->GetRenderKernel() : nullptr);
}

bool Material::MakeGeometryChunkFlags(u32 vertexCount, u32 primitive, u32& flags) {
  if (vertexCount > 0x10000 || primitive >= GeometryChunk::kPrimitiveLimit) return false;
  flags = GeometryChunk::FileCodeFromPrimitive(primitive);
  return true;
}

Material* Material::Copy() const {
  Material* copy = new Material(manager_);
  CopySettingsTo(*copy);
  return copy;
}

void Material::CopySettingsTo(Material& other) const {
  other.name_ = name_;
  other.requestName_ = requestName_;
  other.creationType_ = creationType_;
  other.display_ = display_;
  other.flags_ = flags_;
  other.materialFloat_ = materialFloat_;
  other.properties_ = properties_;
  other.definitions_ = definitions_;
  other.priority_ = priority_;
  for (u32 stage = 0; stage < kMaxTextures; ++stage) {
    if (textures_[stage]) textures_[stage]->AddReference();
    other.PlaceTexture(stage, textures_[stage]);
  }
}

void Material::PlaceTexture(u32 stage, Texture* texture) {
  if (stage >= kMaxTextures) {
    ReleaseAndClear(texture);
    return;
  }
  ReleaseAndClear(textures_[stage]);
  textures_[stage] = texture;
}

GeometryChunk* Material::CreateGeometryChunk(u32 vertexCount, u32 primitiveCount, u32 indexCount,
                                             u32 faceCount, u32 primitive,
                                             const StandardChunkHint& hint) {
  return GeometryChunk::Create(vertexCount, primitiveCount, indexCount, faceCount, primitive, hint);
}

u32 Material::SetTexture(u32 stage, const ResourceDatabase* database, const String& path,
                         f32 amount) {
  if (!database) return kTextureRefused;
  auto* texture = new Texture(path);
  const u32 loaded = texture->Load(*database);
  const u32 result = loaded != Texture::kLoaded
                         ? (loaded == Texture::kRefusedName ? kTextureRefused : kTextureNotFound)
                         : SetTexture(stage, texture, amount);
  texture->ReleaseReference();
  return result;
}

u32 Material::SetTexture(u32 index, Texture* texture, f32 value) {
  if (!texture) return kTextureMissing;
  if (index >= kMaxTextures) return kTextureRefused;
  texture->AddReference();
  PlaceTexture(index, texture);
  texture->SetResourcePriority(priority_);
  SetTextureDefinition(index, texture->GetName(), value);
  return kTextureOk;
}

void Material::GetTextureList(std::vector<Texture*>& list) const {
  for (Texture* texture : textures_) {
    if (texture) list.push_back(texture);
  }
}

u32 Material::GetLoadState() const {
  std::vector<Texture*> list;
  GetTextureList(list);
  u32 state = kLoadStateLoaded;
  for (const Texture* texture : list) {
    if (texture->IsLoaded()) continue;
    const TextureLoader* loader = texture->GetLoader();
    if (texture->IsPending() || (loader && loader->GetStatus() == TextureLoader::kBusy)) {
      state = kLoadStateLoading;
    } else {
      return kLoadStateFailed;
    }
  }
  return state;
}

void Material::Activate(u32 mipLevel) {
  std::vector<Texture*> list;
  GetTextureList(list);
  for (Texture* texture : list) texture->Activate(mipLevel);
}

void Material::SetResourcePriority(f32 priority) {
  priority_ = priority;
  std::vector<Texture*> list;
  GetTextureList(list);
  for (Texture* texture : list) texture->SetResourcePriority(priority);
}

void Material::SetTextureDefinition(u32 index, const String& name, f32 value) {
  for (TextureDefinition& definition : definitions_) {
    if (definition.index == index) {
      definition.name = name;
      definition.value = value;
      return;
    }
  }
  definitions_.push_back({index, name, value});
}

const Material::TextureDefinition* Material::GetTextureDefinition(u32 index) const {
  for (const TextureDefinition& definition : definitions_) {
    if (definition.index == index) return &definition;
  }
  return nullptr;
}

bool Material::DuplicateTexture(u32 index) {
  if (index >= kMaxTextures || !textures_[index]) return false;
  PlaceTexture(index, textures_[index]->Duplicate());
  return true;
}

bool Material::Equals(const Material& other) const {
  // The names, the scalar and the properties count as settings: two materials taken for one
  // must write back the same.
  if (GetType() != other.GetType() || name_ != other.name_ || requestName_ != other.requestName_ ||
      !(display_ == other.display_) || flags_ != other.flags_ ||
      materialFloat_ != other.materialFloat_ || properties_ != other.properties_) {
    return false;
  }
  for (u32 stage = 0; stage < kMaxTextures; ++stage) {
    if (textures_[stage] != other.textures_[stage]) return false;
  }
  return true;
}

void Material::SetLightingState(Display& display, f32 opacity) const {
  display.SetLighting(display_, opacity);
}

void Material::SetLightingState(Display& display, const RenderView& /*view*/,
                                const GeometryChunk& /*chunk*/, u32 vertexProgram,
                                const LightList* lights, f32 opacity, bool lit) const {
  display.Trace(String::Format("LightingState %u lights %u program %u", lit ? 1u : 0u,
                               lights ? u32(lights->size()) : 0u, vertexProgram));
  display.SetLighting(display_, opacity);
}

void Material::DrawLit(Display& display, const ChunkDraw& draw, const PrimitiveRange* range) {
  const u32 program = draw.chunk->GetVertexProgram(display);
  SetLightingState(display, GetOpacity() * draw.chunk->GetOpacity());
  if (draw.world) display.SetWorldTransform(*draw.world);
  if (range) {
    draw.chunk->RenderPrimitives(display, *range);
  } else {
    draw.chunk->RenderGeometry(display, program);
  }
}

void Material::RenderChunk(Display& display, const RenderView& /*view*/, const ChunkDraw& draw) {
  if (!draw.chunk) return;
  SetDisplayState(display);
  DrawLit(display, draw, nullptr);
  ClearDisplayState(display);
}

void Material::RenderNumChunks(Display& display, const RenderView& /*view*/, const ChunkDraw* draws,
                               u32 count) {
  SetDisplayState(display);
  for (u32 i = 0; i < count; ++i) {
    if (draws[i].chunk) DrawLit(display, draws[i], nullptr);
  }
  ClearDisplayState(display);
}

void Material::RenderPrimitives(Display& display, const RenderView& /*view*/, const ChunkDraw& draw,
                                const PrimitiveRange& range) {
  if (!draw.chunk) return;
  SetDisplayState(display);
  DrawLit(display, draw, &range);
  ClearDisplayState(display);
}

u32 Material::IsLoaded() const {
  for (const Texture* texture : textures_) {
    if (texture && !texture->IsLoaded()) return 1;
  }
  return 0;
}

void Material::AddProperty(const PString& name, const PString& value) {
  properties_.emplace_back(name, value);
}

PString Material::GetPropertyString(const PString& name) const {
  for (auto it = properties_.rbegin(); it != properties_.rend(); ++it) {
    if (it->first == name) return it->second;
  }
  return PString();
}

void Material::Draw(Display& display, GeometryChunk& chunk) {
  display.Trace(String::Format("Material %s %s", GetType().CStr(), name_.CStr()));
  chunk.RenderGeometry(display);
}

OneTextureMaterial::OneTextureMaterial(MaterialManager* manager) : Material(manager) {
  PlaceTexture(0, SharedTextureCollection::GetTexture(0));
}

Material* OneTextureMaterial::Copy() const {
  Material* copy = new OneTextureMaterial(GetManager());
  CopySettingsTo(*copy);
  return copy;
}

void OneTextureMaterial::Draw(Display& display, GeometryChunk& chunk) {
  display.SetTexture(0, GetTexture(0));
  Material::Draw(display, chunk);
}

void OneTextureMaterial::SetDisplayState(Display& display) {
  display.SetTexture(0, GetTexture(0));
  if (combiner_) display.BindCombiner(combiner_);
}

void OneTextureMaterial::ClearDisplayState(Display& display) {
  if (combiner_) display.BindCombiner(0);
}

void ReflectiveMaterial::ChangeTexGen(Display& display, bool vertexProgramBound) {
  if (!vertexProgramBound) display.SetTextureCoordGen(1, 0, 1);
}

void ReflectiveMaterial::SetSphericalTexureCoordinates(GeometryChunk& chunk, const Matrix4* world) {
  const VertexItemPtr normals = chunk.GetItem(kItemNormal);
  const VertexItemPtr coordinates = chunk.GetItem(kItemTexture0 + 1);
  if (!normals.IsValid() || !coordinates.IsValid()) return;
  const Matrix turn = world ? world->Rotation() : Matrix::Identity();
  for (u32 v = 0; v < chunk.GetVertexCount(); ++v) {
    Vector3 n = turn.Transform(normals.Get<Vector3>(v));
    n.Normalise();
    const f32 uv[2] = {n.x * 0.5f + 0.5f, -n.y * 0.5f + 0.5f};
    coordinates.Set(v, uv);
  }
}

void ReflectiveMaterial::Draw(Display& display, GeometryChunk& chunk) {
  display.SetTexture(1, GetTexture(1));
  OneTextureMaterial::Draw(display, chunk);
}

Material* NullMaterial::Copy() const {
  Material* copy = new NullMaterial();
  CopySettingsTo(*copy);
  return copy;
}

void NullMaterial::Draw(Display& /*display*/, GeometryChunk& /*chunk*/) {}

}  // namespace Qel
