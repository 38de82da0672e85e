#include "validation/mesh_data.h"

#include <array>
#include <cstring>
#include <string>

#include "core/app_globals.h"
#include "core/core_statics.h"
#include "core/tcx_dispatcher.h"
#include "core/thread_call.h"
#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_indexed_mesh_lod_instance.h"
#include "qel/resource_database.h"
#include "qelgfx/animation.h"
#include "qelgfx/resource_system.h"
#include "validation/asset_file.h"
#include "validation/container_internal.h"
#include "validation/data_manager.h"
#include "validation/finding_text.h"
#include "validation/text_file_lines.h"

namespace TETLib {

namespace {

const Qel::PString kKeyLoadMesh("$tet_mesh_load_mesh");
const Qel::PString kKeyInitialiseMesh("$tet_mesh_initialise_mesh");
const Qel::PString kKeyFailedMaterial("$tet_mesh_failedmaterial");
const Qel::PString kKeyLoadTexture("$tet_mesh_load_texture");
const Qel::PString kKeyAnimationFailedMesh("$tet_mesh_animationfailedmesh");
const Qel::PString kKeyAnimationFailedSkeleton("$tet_mesh_animationfailedskeleton");
const Qel::PString kKeyAnimationFailedRes("$tet_mesh_animationfailedres");
const Qel::PString kKeyAnimationFailedObserver("$tet_mesh_animationfailedobserver");
const Qel::PString kTypeName("some name");
const Qel::PString kLodTypeName("some lod name");
// The layer and blend values an animation is added with.
constexpr u32 kAnimationLayer = 5;
constexpr std::array<f32, 6> kAnimationBlend = {1.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f};
// Run on the main thread, and wait for it.
constexpr u32 kMainThreadWait = TCXDispatcher::kMainThreadOnly | TCXDispatcher::kExclusionB;
// A texture description is a few short lines.
constexpr u64 kMaxDescriptionBytes = u64(1) << 20;
constexpr size_t kMaxDescriptionLine = 512;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = char(c + ('a' - 'A'));
  }
  return out;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() &&
         Lower(text.substr(text.size() - end.size())) == Lower(end);
}

// A file name as the asset names it: below the asset folder, with '/'.
std::string AssetRelative(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  const Qel::String root = AssetRootFolder();
  if (!root.IsEmpty() && out.starts_with(root.View())) out.erase(0, root.Size());
  return out;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

MeshData::MeshData() = default;

MeshData::~MeshData() = default;

void MeshData::ReportError(const Qel::PString& text) const {
  AddErrorFinding(text, static_cast<const Container*>(container_));
}

bool MeshData::Load(const Qel::PString& path, Container* container) {
  meshPath_ = path;
  container_ = container;
  return RunWorker(&MeshData::MeshWorker);
}

bool LODMeshData::Load(const Qel::PString& path, Container* container) {
  meshPath_ = path;
  container_ = container;
  return LoadOnMainThread(true);
}

bool MeshData::LoadAnimation(const Qel::PString& path) {
  animationPath_ = path;
  return RunWorker(&MeshData::AnimationWorker);
}

bool MeshData::LoadOnMainThread(bool lod) {
  return RunWorker(lod ? &MeshData::LodWorker : &MeshData::MeshWorker);
}

bool MeshData::RunWorker(void (MeshData::*worker)(intptr_t)) {
  u8 result = 0;
  // A process that never named its main thread (a tool, a test) is all main thread: the worker
  // runs here, without a callback object to carry it.
  if (GetMainThreadId() == 0) {
    (this->*worker)(reinterpret_cast<intptr_t>(&result));
  } else {
    const TCXCallback call(this, worker);
    GetDispatcher().Dispatch(reinterpret_cast<intptr_t>(&result), kMainThreadWait, call);
  }
  return result != 0;
}

void MeshData::MeshWorker(intptr_t result) {
  *reinterpret_cast<u8*>(result) = LoadMesh(false) ? 1 : 0;
}

void MeshData::LodWorker(intptr_t result) {
  *reinterpret_cast<u8*>(result) = LoadMesh(true) ? 1 : 0;
}

bool MeshData::LoadMesh(bool lod) {
  DataManager& manager = DataManager::Instance();
  const std::string path = lod ? Lower(meshPath_.View()) : std::string(meshPath_.View());
  Qel::ResourceDatabase* database = manager.GetMeshDatabase();
  Qel::ResourceSystem* system = Qel::ResourceSystem::GetCurrent();
  const KestroRenderContext* context = manager.GetRenderContext();
  Qel::String file;
  const bool exists = database != nullptr && database->FindFile(Qel::String(path), file);
  Qel::Resource* resource = exists && system != nullptr && context != nullptr
                                ? system->FindResource(Qel::PString(path), database)
                                : nullptr;
  if (!lod && dynamic_cast<KestroProgressiveMeshResource*>(resource) != nullptr) {
    resource->ReleaseReference();
    return true;
  }
  auto* mesh = dynamic_cast<KestroGeometryBaseResource*>(resource);
  if (mesh == nullptr) {
    if (resource != nullptr) resource->ReleaseReference();
    if (exists || (container_ != nullptr && !manager.UsesMeshAsset()))
      ReportError(LocalisedFinding(kKeyLoadMesh, AssetRelative(path)));
    return false;
  }
  mesh->SetRenderContext(context);
  // The name resolved to a mesh resource; a lock that fails is a mesh that cannot be set up.
  if (const u32 locked = mesh->Lock(); locked != Qel::Resource::kLoaded) {
    mesh->ReleaseReference();
    ReportError(LocalisedFinding(kKeyInitialiseMesh, locked));
    return false;
  }
  KestroIndexedMeshInstance* instance = mesh->CreateMeshInstance();
  if (lod && instance != nullptr && dynamic_cast<KestroIndexedMeshLODInstance*>(instance) == nullptr) {
    delete instance;
    instance = nullptr;
  }
  KestroIndexedMeshDefinition* definition = mesh->GetMeshDefinition();
  if (instance == nullptr || definition == nullptr) {
    delete instance;
    mesh->Unlock();
    mesh->ReleaseReference();
    ReportError(LocalisedFinding(kKeyInitialiseMesh));
    return false;
  }
  Add(instance);
  Keep(instance, definition);
  mesh->Unlock();
  mesh->ReleaseReference();
  skeleton_ = std::make_unique<Qel::SkeletonModifier>(*instance);
  animator_ = std::make_unique<Qel::Animator>(database, skeleton_.get());
  loaded_ = true;
  CollectAttachments(*definition);
  CollectTextures(*definition);
  CollectChildParticles(*instance);
  return true;
}

void MeshData::Keep(KestroIndexedMeshInstance* instance, KestroIndexedMeshDefinition* definition) {
  meshInstance_ = instance;
  meshDefinition_ = definition;
}

void LODMeshData::Keep(KestroIndexedMeshInstance* instance,
                       KestroIndexedMeshDefinition* definition) {
  lodInstance_ = static_cast<KestroIndexedMeshLODInstance*>(instance);
  lodDefinition_ = definition;
}

void MeshData::CollectAttachments(const KestroIndexedMeshDefinition& definition) {
  attachments_.clear();
  for (const KestroAttachment& point : definition.GetAttachments()) {
    MeshAttachment entry;
    for (u32 row = 0; row < 3; ++row) {
      for (u32 column = 0; column < 3; ++column) {
        entry.matrix[row * 3 + column] = point.orientation.m[row][column];
      }
    }
    entry.matrix[9] = point.position.x;
    entry.matrix[10] = point.position.y;
    entry.matrix[11] = point.position.z;
    const std::string_view name = point.name.View();
    const size_t slash = name.find_last_of('/');
    entry.name = Qel::PString(slash == std::string_view::npos ? name : name.substr(slash + 1));
    attachments_.push_back(entry);
  }
}

void MeshData::CollectTextures(const KestroIndexedMeshDefinition& definition) {
  for (const Qel::PString& failed : definition.GetTextureFailures()) {
    ReportError(LocalisedFinding(kKeyFailedMaterial, AssetRelative(failed.View())));
  }
  std::vector<std::string> lines;
  for (u32 m = 0; m < definition.GetChunkCount(); ++m) {
    for (const Qel::PString& texture : definition.GetMaterialTextures(m)) {
      std::string name = AssetRelative(texture.View());
      if (EndsWith(name, ".texture")) {
        name += ".txt";
      } else if (!EndsWith(name, ".txt")) {
        continue;
      }
      const Qel::String description = FindAssetFile(name);
      if (description.IsEmpty()) continue;
      if (ReadTextFileLines(description.CStr(), kMaxDescriptionBytes, lines) !=
          ReadLinesResult::kOk) {
        continue;
      }
      for (std::string& line : lines) {
        if (line.size() > kMaxDescriptionLine) line.resize(kMaxDescriptionLine);
        if (!line.starts_with("Primary=")) continue;
        const std::string image = FolderOf(name) + Lower(line.substr(8));
        if (FindAssetFile(image).IsEmpty()) ReportError(LocalisedFinding(kKeyLoadTexture, image));
      }
    }
  }
}

void MeshData::CollectChildParticles(const Qel::Particle& instance) {
  childParticles_.clear();
  std::vector<const Qel::Particle*> pending{&instance};
  while (!pending.empty()) {
    const Qel::Particle* particle = pending.back();
    pending.pop_back();
    for (u32 i = particle->GetChildCount(); i-- > 0;) pending.push_back(particle->GetChild(i));
    if (particle == &instance) continue;
    childParticles_.push_back(
        {particle->GetName(), {particle->GetTypeID(), particle->GetFlags(), particle->GetChildCount()}});
  }
}

void MeshData::AnimationWorker(intptr_t result) {
  u8& answer = *reinterpret_cast<u8*>(result);
  answer = 0;
  const Container* owner = container_;
  auto report = [&](const Qel::PString& key) {
    const Qel::PString text = LocalisedFinding(key, AssetRelative(animationPath_.View()));
    if (owner != nullptr) {
      AddErrorFinding(text, owner);
    } else {
      AddErrorFinding(text);
    }
  };
  if (!animator_) {
    report(kKeyAnimationFailedMesh);
    return;
  }
  const Qel::PString name(Lower(animationPath_.View()));
  switch (animator_->Add(nullptr, name, kAnimationLayer, kAnimationBlend)) {
    case Qel::Animator::kAdded:
      break;
    case Qel::Animator::kBoneMissing:
      report(kKeyAnimationFailedSkeleton);
      return;
    case Qel::Animator::kNothingToPlay:
      report(kKeyAnimationFailedObserver);
      return;
    default:
      report(kKeyAnimationFailedRes);
      return;
  }
  // What validation keeps of an animation is its length in frames.
  const std::unique_ptr<Qel::AnimationModifier> modifier(Qel::AnimationModifier::CreateInstance(
      DataManager::Instance().GetMeshDatabase(), name, kAnimationLayer));
  animations_.push_back({name, modifier != nullptr ? modifier->GetFrameCount() : 0});
  answer = 1;
}

u32 MeshData::GetPolygonCount() const {
  const KestroIndexedMeshInstance* instance = GetMeshInstance();
  if (instance == nullptr) return 0;
  u32 total = 0;
  const ChunkArray& chunks = instance->GetChunks();
  for (u32 i = 0; i < instance->GetChunkCount(); ++i) {
    if (const Qel::GeometryChunk* chunk = chunks.Get(i)) total += chunk->GetPrimitiveCount();
  }
  return total;
}

u32 LODMeshData::GetPolygonCount() const { return MeshData::GetPolygonCount(); }

const Qel::PString& MeshData::GetTypeName() const { return kTypeName; }

const Qel::PString& LODMeshData::GetTypeName() const { return kLodTypeName; }

void MeshData::GetBoundingBox(Qel::Vector3& low, Qel::Vector3& high) const {
  const KestroIndexedMeshDefinition* definition = GetMeshDefinition();
  low = definition != nullptr ? definition->GetBoxMin() : Qel::Vector3();
  high = definition != nullptr ? definition->GetBoxMax() : Qel::Vector3();
}

void LODMeshData::GetBoundingBox(Qel::Vector3& low, Qel::Vector3& high) const {
  MeshData::GetBoundingBox(low, high);
}

KestroIndexedMeshInstance* LODMeshData::GetMeshInstance() const { return lodInstance_; }

KestroIndexedMeshDefinition* LODMeshData::GetMeshDefinition() const { return lodDefinition_; }

void MeshData::ForwardToInstance(bool force) {
  if (KestroIndexedMeshInstance* instance = GetMeshInstance()) {
    instance->UpdateLighting(force);
    instance->SetUpdateLighting(true);
  }
}

void LODMeshData::ForwardToInstance(bool force) { MeshData::ForwardToInstance(force); }

}  // namespace TETLib
