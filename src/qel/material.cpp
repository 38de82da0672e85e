#include "qel/material.h"

#include "qel/material_manager.h"
#include "qel/resource_database.h"
#include "qel/texture.h"

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
  if (name.Find(DecoratedTypeToken) != String::npos) return name;
  return name + (textureCount == 0 ? ".m.notex" : ".m.onetex");
}

Material* Material::CreateInstance(const PString& kind, MaterialManager* manager) {
  MaterialPlugin* plugin = MaterialPlugin::Find(kind);
  if (!plugin) return nullptr;
  return plugin->CreateInstance(manager, manager ? manager->GetRenderKernel() : nullptr);
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
                         f32 /*amount*/) {
  if (stage >= kMaxTextures || !database) return kTextureRefused;
  auto* texture = new Texture(path);
  const u32 result = texture->Load(*database);
  if (result != Texture::kLoaded) {
    texture->ReleaseReference();
    return result == Texture::kRefusedName ? kTextureRefused : kTextureNotFound;
  }
  PlaceTexture(stage, texture);
  return kTextureOk;
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
  chunk.AssignVertexType(display);
  chunk.TraceInfluenceMatrices(display);
  display.DrawIndexedPrimitive(chunk.GetPrimitive(), chunk.GetVertexCount(), chunk.GetMaxIndices());
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
