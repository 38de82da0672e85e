#include "qelgfx/material_manager.h"

#include <algorithm>
#include <vector>

#include "qelgfx/render_kernel.h"

namespace Qel {

namespace {

// Id of the built-in kinds; the engine registers them itself.
constexpr const char* kNoTextureId = "6D41E1C0-0001-4E4F-5445-580000000001";
constexpr const char* kOneTextureId = "6D41E1C0-0002-4F4E-4554-455800000002";
// Fallback chains are short; a longer one has a loop in it.
constexpr u32 kMaxFallbacks = 16;

struct Registry {
  std::mutex mutex;
  std::vector<MaterialPlugin*> plugins;
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

class NoTextureMaterialPlugin : public MaterialPlugin {
 public:
  NoTextureMaterialPlugin() : MaterialPlugin("notex", UId(kNoTextureId)) {}

 protected:
  Material* MakeMaterial(MaterialManager* manager) override { return new Material(manager); }
};

void RegisterBuiltIns() {
  // Made once and kept for the process, as the engine's own plug-ins are.
  static const bool done = [] {
    new NoTextureMaterialPlugin();
    new OneTextureMaterialPlugin(PString(OneTextureMaterial::UNDECORATED_TYPE), UId(kOneTextureId));
    return true;
  }();
  (void)done;
}

}  // namespace

MaterialPlugin::MaterialPlugin(const PString& kind, const UId& id) : PluginType(id, kind) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  registry.plugins.push_back(this);
}

MaterialPlugin::~MaterialPlugin() {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  registry.plugins.erase(std::remove(registry.plugins.begin(), registry.plugins.end(), this),
                         registry.plugins.end());
}

MaterialPlugin* MaterialPlugin::Find(const PString& kind) {
  RegisterBuiltIns();
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  for (MaterialPlugin* plugin : registry.plugins) {
    if (plugin->GetName().EqualsIgnoreCase(kind)) return plugin;
  }
  return nullptr;
}

bool MaterialPlugin::IsSupported(const Display& /*display*/, PString& /*fallback*/) const {
  return true;
}

bool MaterialPlugin::Prepare(RenderKernel& /*kernel*/) { return true; }

Material* MaterialPlugin::CreateInstance(MaterialManager* manager, RenderKernel* kernel) {
  if (!kernel || !kernel->GetDisplay()) return nullptr;
  if (preparedFor_ != kernel->GetSerial()) {
    if (!Prepare(*kernel)) return nullptr;
    preparedFor_ = kernel->GetSerial();
    ++preparations_;
  }
  Material* material = MakeMaterial(manager);
  // Only a material that exists takes the plug-in as its factory.
  if (material) material->Assign(this);
  return material;
}

RenderingCache* MaterialPlugin::ShareCache(RenderKernel& kernel, u32 id,
                                           RenderingCache* (*make)()) {
  RenderingCacheManager& caches = kernel.GetRenderingCacheManager();
  if (RenderingCache* found = caches.FindCache(id)) return found;
  return caches.AddCache(make()) ? caches.FindCache(id) : nullptr;
}

bool OneTextureMaterialPlugin::IsSupported(const Display& display, PString& fallback) const {
  if (display.GetTextureStageCount() >= 1) return true;
  fallback = "notex";
  return false;
}

Material* OneTextureMaterialPlugin::MakeMaterial(MaterialManager* manager) {
  return new OneTextureMaterial(manager);
}

bool OneTextureMaterialPlugin::CreatePluginResources(RenderKernel& kernel) {
  alphaMaskCache_ = ShareCache(kernel, AlphaMaskCache::AlphaMaskCacheID,
                               [] { return static_cast<RenderingCache*>(new AlphaMaskCache); });
  materialChunkCache_ = ShareCache(kernel, MaterialChunkCache::MaterialChunkCacheID, [] {
    return static_cast<RenderingCache*>(new MaterialChunkCache);
  });
  return alphaMaskCache_ && materialChunkCache_;
}

bool OneTextureMaterialPlugin::Prepare(RenderKernel& kernel) {
  return CreatePluginResources(kernel) && PrepareOwnResources(kernel);
}

MaterialManager::~MaterialManager() {
  for (auto& [name, material] : materials_) material->ReleaseReference();
}

bool MaterialManager::SplitDecoratedMaterialName(const String& decorated, String& name,
                                                 String& kind, String& parts) {
  name.Clear();
  kind.Clear();
  parts.Clear();
  const size_t star = decorated.FindLastChar('*');
  const size_t token =
      decorated.Find(Material::DecoratedTypeToken, star == String::npos ? 0 : star);
  if (token == String::npos) return false;
  name = decorated.SubString(0, token);
  const size_t kindStart = token + 3;
  const size_t dot = decorated.FindChar('.', kindStart);
  kind = decorated.SubString(kindStart, dot == String::npos ? String::npos : dot - kindStart);
  if (dot != String::npos) parts = decorated.SubString(dot + 1);
  return true;
}

u32 MaterialManager::FindMaterial(const PString& decoratedName, Material*& out) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto known = materials_.find(decoratedName);
  if (known != materials_.end()) {
    known->second->AddReference();
    out = known->second;
    return kFound;
  }
  String name;
  String kind;
  String parts;
  if (!SplitDecoratedMaterialName(String(decoratedName), name, kind, parts)) return kUnknownKind;
  MaterialPlugin* plugin = MaterialPlugin::Find(PString(kind.View()));
  if (!plugin) return kUnknownKind;
  Display* display = kernel_ ? kernel_->GetDisplay() : nullptr;
  for (u32 step = 0; display; ++step) {
    PString fallback;
    if (plugin->IsSupported(*display, fallback)) break;
    plugin = step < kMaxFallbacks ? MaterialPlugin::Find(fallback) : nullptr;
    if (!plugin) return kUnsupported;
  }
  Material* material = plugin->CreateInstance(this, kernel_);
  if (!material) return kUnsupported;
  material->SetName(decoratedName);
  material->SetCreationType(PString(kind.View()));
  if (materials_.size() >= pruneAt_) {
    // Materials only the manager still holds are let go before the map grows further, so that a
    // stream of meshes with ever new material names (damaged files, say) cannot grow it, and the
    // names it holds, without bound. Once per doubling of the map.
    std::erase_if(materials_, [](const auto& entry) {
      if (entry.second->GetReferenceCount() != 1) return false;
      entry.second->ReleaseReference();
      return true;
    });
    pruneAt_ = std::max<size_t>(kPruneFloor, 2 * materials_.size());
  }
  materials_[decoratedName] = material;  // the manager's reference
  material->AddReference();
  out = material;
  return kFound;
}

u32 MaterialManager::GetMaterialCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return u32(materials_.size());
}

}  // namespace Qel
