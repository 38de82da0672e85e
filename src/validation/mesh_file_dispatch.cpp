// The data manager's mesh files: which loader a file of a configuration field goes to, the one
// mesh kept per container, and the performance checks of level-of-detail meshes.
#include <algorithm>
#include <string>

#include "mesh/kestro_indexed_mesh_lod_instance.h"
#include "validation/container.h"
#include "validation/container_internal.h"
#include "validation/data_manager.h"
#include "validation/finding_text.h"
#include "validation/mesh_data.h"
#include "validation/tag_vocabulary.h"

namespace TETLib {

namespace {

const Qel::PString kKeyUnsupportedFormat("$tet_dm_unsupportedformat");
const Qel::PString kKeyAnimationFailed("$tet_dm_animationfailed");
const Qel::PString kKeyNoAttachments("$tet_lm_performance_no_attachments");
const Qel::PString kKeySingleLod("$tet_lm_performance_single_lod");
const Qel::PString kKeyLowPoly("$tet_lm_performance_low_poly");
// The flag of the particle that is the current mesh.
constexpr u32 kCurrentMeshFlag = 0x2;
// Fewer polygons than this at the last level draw as cheaply as a plain mesh.
constexpr u32 kLowPolygonCount = 300;

// The extension after the file name's last '.', lower case; empty when there is none.
std::string Extension(std::string_view path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return {};
  const std::string_view extension = path.substr(dot + 1);
  std::string out;
  out.reserve(extension.size());
  for (char c : extension) {
    // A '.' in a folder name, not in the file's.
    if (c == '/' || c == '\\') return {};
    out += c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
  }
  return out;
}

// Vehicles, their parts and the people in them keep their level-of-detail meshes as they are.
bool SkipsPerformanceCheck(const Container* container) {
  const Container* top = container;
  while (top != nullptr && top->GetParent() != nullptr) top = top->GetParent();
  for (const Container* owner : {container, top}) {
    if (owner == nullptr) continue;
    const Qel::PString kind = owner->GetSoup().GetNamedTag(kTagKind);
    for (const Qel::PString* skipped :
         {&kTagTraincar, &kTagBogey, &kTagInterior, &kTagPantograph, &kTagDrivercharacter}) {
      if (kind == *skipped) return true;
    }
  }
  return false;
}

}  // namespace

bool DataManager::IsMeshFileName(std::string_view path) {
  // As Extension reads it, without making it: asked for every file field of a load.
  const auto extension = [](std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return std::string_view();
    const std::string_view after = name.substr(dot + 1);
    return after.find_first_of("/\\") == std::string_view::npos ? after : std::string_view();
  };
  const auto is = [](std::string_view text, std::string_view lower) {
    return text.size() == lower.size() &&
           std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
             return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b;
           });
  };
  const std::string_view found = extension(path);
  if (is(found, "txt")) return is(extension(path.substr(0, path.size() - 4)), "lm");
  return is(found, "im") || is(found, "lm") || is(found, "pm") || is(found, "kin");
}

MeshData* DataManager::LoadMeshFile(const Qel::PString& path, Container* container) {
  // Names keep their '/'; a '\' of a configuration written elsewhere stands for one.
  std::string name(path.View());
  bool changed = false;
  for (char& c : name) {
    if (c == '\\') {
      c = '/';
      changed = true;
    }
  }
  const Qel::PString file = changed ? Qel::PString(name) : path;
  const std::string extension = Extension(name);
  const bool lodText = extension == "txt" && Extension(name.substr(0, name.size() - 4)) == "lm";
  if (extension == "im" || extension == "lm" || lodText) {
    std::unique_ptr<MeshData> mesh;
    if (extension == "im") {
      mesh = std::make_unique<MeshData>();
    } else {
      mesh = std::make_unique<LODMeshData>();
    }
    if (!mesh->Load(file, container)) {
      meshProblemReported_ = true;
      return nullptr;
    }
    auto* lod = dynamic_cast<LODMeshData*>(mesh.get());
    MeshData* installed = InstallMesh(std::move(mesh), container);
    if (extension == "lm" && !SkipsPerformanceCheck(container)) {
      CheckLodPerformance(*lod, container, file);
    }
    return installed;
  }
  if (extension == "pm") {
    meshProblemReported_ = true;
    const Qel::PString text = LocalisedFinding(kKeyUnsupportedFormat, name);
    if (WholeBuild(buildNumber_) < 290) {
      AddWarningFinding(text, static_cast<const Container*>(container));
    } else {
      AddErrorFinding(text, static_cast<const Container*>(container));
    }
    MeshData probe;
    probe.Load(file, container);
    return nullptr;
  }
  if (extension == "kin") {
    if (currentMesh_ != nullptr && currentMesh_->IsLoaded()) {
      currentMesh_->LoadAnimation(file);
    } else if (!meshProblemReported_ && !usesMeshAsset_) {
      meshProblemReported_ = true;
      AddErrorFinding(LocalisedFinding(kKeyAnimationFailed, name),
                      static_cast<const Container*>(container));
    }
  }
  return nullptr;
}

MeshData* DataManager::InstallMesh(std::unique_ptr<MeshData> mesh, Container* container) {
  if (currentMesh_ != nullptr) currentMesh_->SetFlags(currentMesh_->GetFlags() & ~kCurrentMeshFlag);
  MeshData* installed = mesh.get();
  // The container's earlier mesh goes; it may have been the current one.
  meshes_[container] = std::move(mesh);
  currentMesh_ = installed;
  installed->SetFlags(installed->GetFlags() | kCurrentMeshFlag);
  OnLoadedObjectsChanged();
  OnSharedObjectsChanged();
  OnMeshInstalled(container);
  if (KestroIndexedMeshInstance* instance = installed->GetMeshInstance()) {
    instance->SetLightSource(&lights_);
    instance->SetUpdateLighting(true);
  }
  return installed;
}

void DataManager::CheckLodPerformance(LODMeshData& mesh, Container* container,
                                      const Qel::PString& path) {
  const Container* owner = container;
  if (mesh.CountAttachments() == 0 && mesh.GetAnimations().empty()) {
    AddWarningFinding(LocalisedFinding(kKeyNoAttachments, path), owner);
  }
  KestroIndexedMeshLODInstance* instance = mesh.GetLODInstance();
  if (instance == nullptr) return;
  const u32 levels = instance->GetObjectLOD().GetLevelCount();
  if (levels == 1) AddWarningFinding(LocalisedFinding(kKeySingleLod, path), owner);
  if (levels > 0) instance->SetLODLevel(levels - 1);
  if (mesh.GetPolygonCount() < kLowPolygonCount) {
    AddWarningFinding(LocalisedFinding(kKeyLowPoly, path), owner);
  }
}

MeshData* DataManager::GetMeshOf(const Container* container) const {
  const auto found = meshes_.find(container);
  return found == meshes_.end() ? nullptr : found->second.get();
}

void DataManager::RemoveMeshOf(const Container* container) {
  const auto found = meshes_.find(container);
  if (found == meshes_.end()) return;
  if (found->second.get() == currentMesh_) currentMesh_ = nullptr;
  meshes_.erase(found);
  OnLoadedObjectsChanged();
  OnSharedObjectsChanged();
}

bool DataManager::LoadMeshPoints(const Qel::String& path, std::vector<Qel::PString>& names,
                                 const Qel::String& animation) {
  names.clear();
  MeshData mesh;
  if (!mesh.Load(Qel::PString(path.View()), nullptr)) return false;
  if (!animation.IsEmpty()) mesh.LoadAnimation(Qel::PString(animation.View()));
  for (const MeshAttachment& point : mesh.GetAttachments()) names.push_back(point.name);
  return true;
}

}  // namespace TETLib
