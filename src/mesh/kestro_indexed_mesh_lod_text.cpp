// The text description of a level-of-detail mesh ("lm.txt"), in configuration text:
//
//   version 1.0
//   mesh 0            a distance level: the distance from which it is drawn, strictly rising
//   {
//     name "near.im"  an indexed mesh (".im", or "imtxt" text) in the description's folder
//   }
//   mesh collision    a named level after the distance levels: a purpose, once each
//   {
//     name "near.im"  a file already loaded shares its level
//     animated 1
//   }
//   offset 0          multiplier 1   animationCutOff 0   renderCutOff 0   attachmentCutOff 0
//   calcPoint near    center, near or far
//
// The first distance level is the reference: the bounds, attachments and bones come from it, and
// every other level must have as many attachments and bones.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_indexed_mesh_lod_definition.h"
#include "mesh/mesh_load_result.h"
#include "platform/ascii_text.h"
#include "qel/config_parser.h"
#include "qel/resource_database.h"
#include "qelgfx/display.h"

namespace {

// Only the characters of a plain decimal count, so an empty value is numeric too.
bool IsNumeric(std::string_view value) {
  return value.find_first_not_of("1234567890.") == std::string_view::npos;
}

f32 DiagonalSquared(const Qel::Vector3& low, const Qel::Vector3& high) {
  return (high - low).LengthSquared();
}

}  // namespace

u32 KestroIndexedMeshLODDefinition::LoadText(const char* path, Qel::Display* display,
                                             Qel::MaterialManager* manager,
                                             KestroGeometryBaseResource* resource,
                                             u32 defaultColour) {
  if (!manager) return RES_NO_MATERIAL_MANAGER;
  Qel::ConfigParser parser;
  if (parser.ParseFile(path) != Qel::ConfigParser::kParseOk) return RES_FILE_OPEN_ERROR;
  if (!parser.GetData()) return RES_FILE_FORMAT_ERROR;
  fileName_ = path;
  const Qel::PString name = resource ? resource->GetName() : Qel::PString(path);
  return LoadParsedText(*parser.GetData(), parser.GetVersion(), name, display, manager, resource,
                        defaultColour);
}

u32 KestroIndexedMeshLODDefinition::LoadParsedText(const Qel::ConfigData& data, f32 version,
                                                   const Qel::PString& name, Qel::Display* display,
                                                   Qel::MaterialManager* manager,
                                                   KestroGeometryBaseResource* resource,
                                                   u32 defaultColour) {
  if (!manager) return RES_NO_MATERIAL_MANAGER;
  const Qel::String file = fileName_;
  Clear();
  fileName_ = file;
  SetLoadContext(display, manager, resource, defaultColour);
  skinningCapability_ = display && display->GetCapability(kCapabilityMatrixPalette);
  if (std::lround(f64(version) * 100.0) != 100) return RES_FILE_VERSION_ERROR;
  std::vector<const Qel::ConfigData*> meshes;
  for (u32 k = 0; k < data.GetChildCount(); ++k) {
    if (data.GetChild(k).GetKey().EqualsIgnoreCase("mesh")) meshes.push_back(&data.GetChild(k));
  }
  if (meshes.empty()) return RES_FILE_FORMAT_ERROR;
  std::vector<Qel::String> levelFiles;  // the file each level was loaded from
  size_t k = 0;
  for (; k < meshes.size() && IsNumeric(meshes[k]->GetValue().View()); ++k) {
    const f32 distance = std::strtof(meshes[k]->GetValue().CStr(), nullptr);
    const Qel::ConfigData* file = meshes[k]->FindChild("name");
    if (!file) return RES_FILE_FORMAT_ERROR;
    if (!switchDistances_.empty() && !(distance > switchDistances_.back())) {
      return RES_FILE_FORMAT_ERROR;
    }
    if (u32 code = LoadLevelMesh(file->GetValue(), levels_.empty())) return code;
    levelFiles.push_back(file->GetValue());
    switchDistances_.push_back(distance);
  }
  if (switchDistances_.empty()) return RES_FILE_FORMAT_ERROR;
  for (; k < meshes.size(); ++k) {
    Qel::String purpose = meshes[k]->GetValue();
    purpose.ToLower();
    // Distance levels all come before the named ones, and a purpose is named once.
    if (IsNumeric(purpose.View()) || FindNamedLevel(purpose.View()) >= 0) {
      return RES_FILE_FORMAT_ERROR;
    }
    const Qel::ConfigData* file = meshes[k]->FindChild("name");
    if (!file) return RES_FILE_FORMAT_ERROR;
    KestroNamedMesh named{purpose.ToPString(), 0, meshes[k]->GetBool("animated", false)};
    const auto known = std::find(levelFiles.begin(), levelFiles.end(), file->GetValue());
    if (known != levelFiles.end()) {
      named.level = u32(known - levelFiles.begin());
    } else {
      if (u32 code = LoadLevelMesh(file->GetValue(), false)) return code;
      named.level = u32(levelFiles.size());
      levelFiles.push_back(file->GetValue());
    }
    namedMeshes_.push_back(named);
  }
  fileName_ = Qel::String(name);
  offset_ = data.GetFloat("offset", 0.0f);
  multiplier_ = data.GetFloat("multiplier", 1.0f);
  animationCutOff_ = data.GetFloat("animationCutOff", 0.0f);
  renderCutOff_ = data.GetFloat("renderCutOff", 0.0f);
  attachmentCutOff_ = data.GetFloat("attachmentCutOff", 0.0f);
  Qel::String calcPoint = data.GetText("calcPoint", "center");
  calcPoint.ToLower();
  calcPoint_ = calcPoint == "near" ? kCalcNear : calcPoint == "far" ? kCalcFar : kCalcCenter;
  FinishLevels();
  TakeCullMarkers();
  DeleteAllLoadedMeshes();
  return RES_OK;
}

u32 KestroIndexedMeshLODDefinition::LoadLevelMesh(const Qel::String& name, bool reference) {
  // The levels lie in the description's folder: a name that would leave it is not opened.
  if (name.IsEmpty() || !Qel::ResourceDatabase::IsSafeName(name)) return RES_FILE_OPEN_ERROR;
  auto* mesh = new KestroIndexedMeshDefinition(settings_);
  loadedMeshes_.PushBack(mesh);
  Qel::String path;
  if (const Qel::ResourceDatabase* database = resource_ ? resource_->GetDatabase() : nullptr) {
    const Qel::String inFolder = MeshFolderOf(resource_->GetName().View()) + name;
    if (!database->FindFile(inFolder, path) && !database->GetFilePath(inFolder, path)) {
      return RES_FILE_OPEN_ERROR;
    }
  } else {
    path = MeshFolderOf(fileName_.View()) + name;
  }
  mesh->SetFileName(path);
  u32 code = RES_OK;
  if (EndsWithIgnoreCase(path.View(), ".imtxt")) {
    code = mesh->LoadFromText(path.CStr(), display_, manager_, resource_, defaultColour_);
  } else if (!mesh->GetMemoryFile().LoadFile(path.CStr())) {
    code = RES_FILE_OPEN_ERROR;
  } else {
    code = mesh->Load(display_, manager_, resource_, 0, defaultColour_);
  }
  // The materials wait for their textures here now, whatever the outcome.
  for (KestroPendingMaterial& pending : mesh->TakePendingMaterials()) {
    RememberTextures(pending.material, pending.textures);
    pendingMaterials_.push_back(std::move(pending));
  }
  if (code != RES_OK) return code;

  if (reference) {
    position_ = mesh->GetPosition();
    orientation_ = mesh->GetOrientation();
    boxMin_ = mesh->GetBoxMin();
    boxMax_ = mesh->GetBoxMax();
    orientedBox_ = mesh->GetOrientedBox();
    mipFactor_ = mesh->GetMipFactor();
    attachments_ = mesh->GetAttachments();
    influences_ = mesh->GetInfluences();
    for (Qel::InfluenceDefinition& bone : influences_) bone.entries.clear();
    if (const Qel::ParticleBone* root = mesh->GetRootBone()) {
      rootBone_.reset(static_cast<Qel::ParticleBone*>(root->Clone()));
      if (influences_.empty()) RecordBoneTree(*rootBone_, Qel::PString());
    }
  } else {
    if (mesh->GetAttachments().size() != attachments_.size() ||
        mesh->GetBoneCount() != influences_.size()) {
      return RES_FILE_FORMAT_ERROR;
    }
    if (DiagonalSquared(mesh->GetBoxMin(), mesh->GetBoxMax()) > DiagonalSquared(boxMin_, boxMax_)) {
      boxMin_ = mesh->GetBoxMin();
      boxMax_ = mesh->GetBoxMax();
      orientedBox_ = mesh->GetOrientedBox();
    }
  }
  KestroLODLevel& level = levels_.emplace_back();
  level.chunkCount = mesh->GetChunkCount();
  level.vertexTotal = mesh->GetVertexTotal();
  level.faceTotal = mesh->GetFaceTotal();
  level.hardwareSkinning = mesh->IsHardwareSkinned();
  level.chunks = mesh->GetChunks();
  level.materials = mesh->GetMaterials();
  for (u32 i = 0; i < level.chunkCount; ++i) {
    level.chunkInfo.push_back({mesh->GetChunkName(i), 0.0f, mesh->GetMostInfluences(i)});
  }
  if (!influences_.empty()) MergeBoneInfluences(*mesh, level);
  return RES_OK;
}

void KestroIndexedMeshLODDefinition::MergeBoneInfluences(const KestroIndexedMeshDefinition& mesh,
                                                         KestroLODLevel& level) {
  level.boneEntries.assign(influences_.size(), {});
  for (size_t b = 0; b < influences_.size(); ++b) {
    for (const Qel::InfluenceDefinition& bone : mesh.GetInfluences()) {
      if (bone.name != influences_[b].name) continue;
      // Entries naming no chunk of the level are dropped, as the binary reader drops them.
      for (const Qel::InfluenceChunkEntry& entry : bone.entries) {
        if (entry.chunk < level.chunkCount && !entry.weights.empty()) {
          level.boneEntries[b].push_back(entry);
        }
      }
      break;
    }
  }
}

void KestroIndexedMeshLODDefinition::RecordBoneTree(const Qel::Particle& node,
                                                    const Qel::PString& parent) {
  const bool bone = dynamic_cast<const Qel::ParticleBone*>(&node) != nullptr;
  if (bone) {
    Qel::InfluenceDefinition record;
    record.name = Qel::String(node.GetName());
    record.parentName = Qel::String(parent);
    record.position = node.GetPosition();
    record.orientation = Qel::Matrix::FromQuaternion(node.GetOrientation());
    boneTree_.push_back(std::move(record));
  }
  for (u32 c = 0; c < node.GetChildCount(); ++c) {
    RecordBoneTree(*node.GetChild(c), bone ? node.GetName() : parent);
  }
}
