#include "validation/data_manager.h"

#include <algorithm>

#include "core/log_printf.h"
#include "core/main_thread_wait.h"
#include "mesh/alpha_blend_cache_unsorted.h"
#include "mesh/kestro_alpha_blend_cache.h"
#include "platform/invariant.h"
#include "pymclient/install_paths.h"
#include "pymclient/resource_db_cache.h"
#include "qel/file.h"
#include "qel/resource_database.h"
#include "qelgfx/render_kernel.h"
#include "qelgfx/resource.h"
#include "qelgfx/resource_system.h"
#include "qelgfx/texture.h"
#include "validation/asset_file.h"
#include "validation/mesh_data.h"
#include "validation/node_arena.h"
#include "validation/tag_vocabulary.h"
#include "validation/text_file_lines.h"

namespace TETLib {

namespace {

constexpr const char* kDefinitionFiles[] = {"inheritance.txt", "kind.txt", "container.txt"};
constexpr const char* kListsFolder = "lists";
constexpr const char* kPersonalDetailsFile = "personalDetails.txt";
// A list is a few hundred short lines; anything near this is not a list.
constexpr u64 kMaxListBytes = u64(64) << 20;

// One material of each kind the product's meshes use, loaded once so that its kind is known.
constexpr const char* kDummyMaterialKinds[] = {
    "m.tbumptex",       "m.tbumpcoltex",   "m.tbumpglosscol", "m.tbumpenv", "m.tgroundonetex",
    "m.tgroundonetexvs", "m.tonetexnoalpha", "m.tbumpgloss",    "m.tglossrust", "m.notex",
    "m.onetex",         "m.nofogtex",      "m.gloss",         "m.reflect"};

// The current asset's folder: every name is looked up below it as the asset's own checks do.
class AssetMeshDatabase : public Qel::ResourceDatabase {
 public:
  AssetMeshDatabase() : Qel::ResourceDatabase(Qel::PString("validation"), Qel::String()) {}
  bool GetFilePath(const Qel::String& name, Qel::String& path) const override {
    if (!IsSafeName(name)) return false;
    const Qel::String found = FindAssetFile(name.View());
    if (found.IsEmpty()) return false;
    path = found;
    return true;
  }
};

// Releases cached resources until none is left unused: a released mesh lets go of its textures.
void PurgeUnusedResources() {
  Qel::ResourceSystem* system = Qel::ResourceSystem::GetCurrent();
  for (u32 round = 0; system != nullptr && round < 8 && system->PurgeUnused() != 0; ++round) {
  }
}

}  // namespace

bool DataManager::CreateInstance(const char* dataFolder) {
  if (instance_ != nullptr || dataFolder == nullptr || *dataFolder == '\0') return false;
  if (!Qel::File::IsFolder(dataFolder)) return false;
  instance_ = new DataManager(dataFolder);
  return true;
}

DataManager* DataManager::instance_ = nullptr;

DataManager& DataManager::FirstInstance() {
  if (instance_ == nullptr) FatalError("DataManager::Instance> datamanger not initialised");
  if (!instance_->initialised_) instance_->InitialiseOnFirstUse();
  return *instance_;
}

void DataManager::DestroyInstance() {
  if (instance_ == nullptr) return;
  if (instance_->PersonalDetailsChanged()) instance_->SavePersonalDetails();
  instance_->Reset();
  delete instance_;
  instance_ = nullptr;
}

DataManager::DataManager(const char* dataFolder)
    : dataFolder_(dataFolder), meshDatabase_(std::make_unique<AssetMeshDatabase>()) {
  if (dataFolder_.View().back() != '/') dataFolder_ += '/';
}

DataManager::~DataManager() {
  meshes_.clear();
  currentMesh_ = nullptr;
  UnregisterKestroBumpVertexType();
  ReleaseAssetResourceDatabase();
  PurgeUnusedResources();
}

void DataManager::InitialiseOnFirstUse() {
  initialised_ = true;
  if (Qel::File::IsFolder(dataFolder_.CStr())) LoadPersonalDetails();
}

void DataManager::Reset() {
  PurgeResources();
  ReleaseAssetResourceDatabase();
  nameRegistry_.clear();
  keyRegistry_.clear();
  listed_.clear();
  listedFilter_ = {};
  loadedObjects_.clear();
  sharedObjects_.clear();
  lists_.clear();
  listIndex_.clear();
  definitions_.Clear();
}

bool DataManager::SetEngineContext(EngineContext& context) {
  context_ = context;
  // The scene's one parallel light, reaching every mesh.
  Qel::Light light;
  light.type = Qel::Light::kParallel;
  light.ambient = {0.1f, 0.1f, 0.1f, 1.0f};
  light.diffuse = {0.7f, 0.7f, 0.7f, 1.0f};
  light.radius = 100000.0f;
  lights_.assign(1, light);
  return context.renderKernel != nullptr;
}

const KestroRenderContext* DataManager::GetRenderContext() {
  Qel::RenderKernel* kernel = context_.renderKernel;
  if (kernel == nullptr || kernel->GetDisplay() == nullptr) return nullptr;
  renderContext_.display = kernel->GetDisplay();
  renderContext_.materialManager = &kernel->GetMaterialManager();
  return &renderContext_;
}

void DataManager::RegisterByKey(const Qel::PString& key, const void* object,
                                const Qel::PString& name) {
  KESTRO_ASSERT(GetValidationMutex().IsLockedByCurrentThread());
  keyRegistry_[key].push_back({object, name});
  MarkListed(object);
  OnRegistered();
}

void DataManager::RegisterByName(const Qel::PString& listName, const void* object,
                                 const Qel::PString& name) {
  KESTRO_ASSERT(GetValidationMutex().IsLockedByCurrentThread());
  nameRegistry_[listName].push_back({object, name});
  MarkListed(object);
  OnRegistered();
}

void DataManager::AddLoadedObject(const void* object) {
  if (std::find(loadedObjects_.begin(), loadedObjects_.end(), object) == loadedObjects_.end()) {
    loadedObjects_.push_back(object);
  }
  MarkListed(object);
  OnLoadedObjectsChanged();
}

void DataManager::AddSharedObject(const void* object) {
  sharedObjects_.push_back(object);
  MarkListed(object);
  OnSharedObjectsChanged();
}

bool DataManager::IsRegisteredName(const Qel::PString& value,
                                   const Qel::PString& registryName) const {
  const auto list = nameRegistry_.find(registryName);
  if (list != nameRegistry_.end() &&
      std::any_of(list->second.begin(), list->second.end(),
                  [&](const RegisteredObject& entry) { return entry.name == value; })) {
    return true;
  }
  for (const auto& [owner, mesh] : meshes_) {
    for (const MeshAttachment& point : mesh->GetAttachments()) {
      if (point.name == value) return true;
    }
  }
  return false;
}

void DataManager::Unregister(const void* object) {
  // Most tags and containers were never listed: nothing to look through.
  if (!MayBeListed(object) || listed_.erase(object) == 0) return;
  if (listed_.empty()) listedFilter_ = {};
  // Every list: an object that stayed in one would be found there after it is gone.
  for (Registry* registry : {&keyRegistry_, &nameRegistry_}) {
    for (auto& [key, list] : *registry) {
      std::erase_if(list, [&](const RegisteredObject& entry) { return entry.object == object; });
    }
  }
  std::erase(loadedObjects_, object);
  std::erase(sharedObjects_, object);
}

void DataManager::UnregisterAllIn(const NodeArena& arena) {
  if (listed_.empty()) return;
  const auto owned = [&](const void* object) { return arena.Owns(object); };
  if (std::erase_if(listed_, owned) == 0) return;
  if (listed_.empty()) listedFilter_ = {};
  for (Registry* registry : {&keyRegistry_, &nameRegistry_}) {
    for (auto& [key, list] : *registry) {
      std::erase_if(list, [&](const RegisteredObject& entry) { return owned(entry.object); });
    }
  }
  std::erase_if(loadedObjects_, owned);
  std::erase_if(sharedObjects_, owned);
}

void DataManager::ClearNamedRegistry(const Qel::PString& listName) {
  if (nameRegistry_.empty()) return;
  const auto list = nameRegistry_.find(listName);
  if (list != nameRegistry_.end()) list->second.clear();
}

bool DataManager::LoadDefinitions() {
  if (definitionsLoaded_) return true;
  definitionsLoaded_ = true;
  definitions_.Clear();
  definitions_.EnsureContainer();
  const MPRef<ACSChunk>& merged = definitions_.GetRoot();
  for (const char* name : kDefinitionFiles) {
    const Qel::String path = dataFolder_ + name;
    Soup file;
    if (!Qel::File::Exists(path.CStr()) || !file.LoadFile(nullptr, path.CStr(), "txt")) continue;
    if (file.IsNull()) continue;
    // The entry itself moves over, shared with the file's soup; a same-named one goes first.
    ForEachChild(file.GetRoot().Get(), [&](const Qel::PString& entry, const MPRef<ACSChunk>& node) {
      definitions_.RemoveNamedTag(entry);
      merged->AddChild(entry, node);
    });
  }
  if (definitions_.CountTags() == 0) return false;
  return LoadLists();
}

bool DataManager::LoadLists() {
  // Each list read again is read into the place of the old one.
  listIndex_.clear();
  const Qel::String folder = dataFolder_ + kListsFolder;
  Qel::File::Find find(folder.CStr(), "*");
  bool ok = true;
  std::vector<std::string> lines;
  while (find.Next()) {
    const Qel::String& name = find.GetName();
    if (name == "." || name == ".." || find.IsFolder()) continue;
    const Qel::String path = folder + "/" + name;
    if (ReadTextFileLines(path.CStr(), kMaxListBytes, lines) != ReadLinesResult::kOk) {
      LogPrintf("DataManager::LoadLists> Unable to read '%s'", path.CStr());
      ok = false;
      continue;
    }
    std::vector<Qel::PString> list;
    list.reserve(lines.size());
    for (const std::string& line : lines) list.emplace_back(line);
    lists_[name.ToPString()] = std::move(list);
  }
  return ok;
}

const std::vector<Qel::PString>* DataManager::GetList(const Qel::PString& name) const {
  const auto found = lists_.find(name);
  return found == lists_.end() ? nullptr : &found->second;
}

namespace {

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

bool DataManager::ListHolds(const std::vector<Qel::PString>& list, std::string_view text) const {
  auto [index, made] = listIndex_.try_emplace(&list);
  if (made) {
    index->second.reserve(list.size());
    for (const Qel::PString& entry : list) index->second.insert(AsciiLower(entry.View()));
  }
  return index->second.count(AsciiLower(text)) != 0;
}

Qel::String DataManager::PersonalDetailsPath() const { return dataFolder_ + kPersonalDetailsFile; }

void DataManager::LoadPersonalDetails() {
  const Qel::String path = PersonalDetailsPath();
  Soup soup;
  if (!Qel::File::Exists(path.CStr()) || !soup.LoadFile(nullptr, path.CStr(), "txt")) return;
  details_.author = soup.GetNamedTag(kTagAuthor);
  details_.email = soup.GetNamedTag(kTagEmail);
  details_.organisation = soup.GetNamedTag(kTagOrganisation);
  details_.website = soup.GetNamedTag(kTagWebsite);
  details_.license = soup.GetNamedTag(kTagLicense);
  details_.isInputBoxOn = soup.GetNamedTagAsInt(kTagIsinputboxon, 0) != 0;
  savedDetails_ = details_;
}

bool DataManager::SavePersonalDetails() {
  Soup soup;
  soup.EnsureContainer();
  soup.SetNamedTag(kTagAuthor, details_.author);
  soup.SetNamedTag(kTagOrganisation, details_.organisation);
  soup.SetNamedTag(kTagEmail, details_.email);
  soup.SetNamedTag(kTagWebsite, details_.website);
  soup.SetNamedTag(kTagLicense, details_.license);
  soup.SetNamedInt(kTagIsinputboxon, details_.isInputBoxOn ? 1 : 0);
  if (!soup.SaveFile(nullptr, PersonalDetailsPath().CStr(), "txt")) {
    LogPrintf("DataManager::SavePersonalDetails> Unable to write '%s'",
              PersonalDetailsPath().CStr());
    return false;
  }
  savedDetails_ = details_;
  return true;
}

void DataManager::PurgeResources() {
  meshes_.clear();
  currentMesh_ = nullptr;
  CollectResourceGarbage();
  // Also off the main thread and in tools: the next asset's names must not meet this one's files.
  PurgeUnusedResources();
}

bool DataManager::OpenAssetResourceDatabase(const Qel::PString& assetName,
                                            const Qel::String& assetFolder) {
  KESTRO_ASSERT(GetValidationMutex().IsLockedByCurrentThread());
  ReleaseAssetResourceDatabase();
  assetName_ = assetName;
  assetFolder_ = assetFolder;
  assetDatabase_ = AcquireResourceDatabase(assetName, Qel::File::Path(assetFolder));
  return assetDatabase_ != nullptr;
}

void DataManager::ReleaseAssetResourceDatabase() {
  ReleaseResourceDatabase(assetDatabase_);
  assetDatabase_ = nullptr;
}

void DataManager::RegisterKestroBumpVertexType() {
  if (vertexTypeRegistered_) return;
  if (Qel::RenderKernel* kernel = context_.renderKernel) {
    Qel::RenderingCacheManager& caches = kernel->GetRenderingCacheManager();
    if (caches.FindCache(Qel::AlphaBlendCache::AlphaBlendCacheID) == nullptr) {
      caches.AddCache(new Qel::KestroAlphaBlendCache());
    }
    if (caches.FindCache(Qel::AlphaBlendCacheUnsorted::kCacheId) == nullptr) {
      caches.AddCache(new Qel::AlphaBlendCacheUnsorted());
    }
  }
  vertexTypeRegistered_ = true;
  Qel::ResourceSystem* system = context_.resourceSystem;
  if (system == nullptr) return;
  for (const char* kind : kDummyMaterialKinds) {
    const Qel::PString name(std::string("KestroDummyLoad.") + kind);
    Qel::Resource* material = system->FindResource(name, nullptr);
    if (material != nullptr && material->Lock() == Qel::Resource::kLoaded) {
      dummyMaterials_.push_back(material);
      continue;
    }
    if (material != nullptr) material->ReleaseReference();
    LogPrintf("DataManager::RegisterKestroBumpVertexType> Unable to load '%s'", kind);
  }
  if (Qel::Texture* shared = Qel::SharedTextureCollection::GetTexture(0)) {
    shared->ReleaseReference();
  } else {
    LogPrintf("DataManager::RegisterKestroBumpVertexType> SharedTextureCollection failed");
  }
}

void DataManager::UnregisterKestroBumpVertexType() {
  if (!vertexTypeRegistered_) return;
  for (Qel::Resource* material : dummyMaterials_) {
    material->Unlock();
    material->ReleaseReference();
  }
  dummyMaterials_.clear();
  vertexTypeRegistered_ = false;
}

}  // namespace TETLib
