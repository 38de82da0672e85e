#include "mesh/kestro_indexed_mesh_instance.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "mesh/geometry_helpers.h"
#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kq_axis_box_tree.h"
#include "qelgfx/bitmap.h"
#include "qelgfx/display.h"
#include "qelgfx/material.h"
#include "qelgfx/std_math.h"
#include "qelgfx/texture.h"
#include "qelgfx/view_point.h"

using Qel::Vector3;

namespace {

// Whether the ray (origin, direction) meets the box in front of its origin.
bool RayMeetsBox(const Qel::OrientedBox& box, const Vector3& origin, const Vector3& direction) {
  f32 nearest = 0.0f;
  f32 farthest = std::numeric_limits<f32>::max();
  const Vector3 offset = origin - box.centre;
  for (int axis = 0; axis < 3; ++axis) {
    const Vector3 row = box.axes.Row(axis);
    const f32 start = row.Dot(offset);
    const f32 step = row.Dot(direction);
    const f32 half = box.halfExtents[axis];
    if (std::fabs(step) < 1e-12f) {
      if (std::fabs(start) > half) return false;
      continue;
    }
    f32 t0 = (-half - start) / step;
    f32 t1 = (half - start) / step;
    if (t0 > t1) std::swap(t0, t1);
    nearest = std::max(nearest, t0);
    farthest = std::min(farthest, t1);
    if (nearest > farthest) return false;
  }
  return true;
}

}  // namespace

KestroIndexedMeshInstance::KestroIndexedMeshInstance(KestroIndexedMeshDefinition* definition)
    : definition_(definition) {}

KestroIndexedMeshInstance::~KestroIndexedMeshInstance() { SetResource(nullptr); }

void KestroIndexedMeshInstance::SetResource(Qel::Resource* resource) {
  // The lock keeps the resource from unloading the definition this instance reads.
  bool locked = false;
  if (resource) {
    resource->AddReference();
    locked = resource->Lock() == Qel::Resource::kLoaded;
  }
  if (resource_) {
    if (resourceLocked_) resource_->Unlock();
    resource_->ReleaseReference();
  }
  resource_ = resource;
  resourceLocked_ = locked;
}

void KestroIndexedMeshInstance::Setup(Qel::Resource* resource) {
  SetResource(resource);
  InitFromDefinition();
  AttachSkeleton(definition_->GetRootBone());
  BindChunkBones();
  definition_->AddAttachmentPoints(*this);
}

void KestroIndexedMeshInstance::InitFromDefinition() {
  chunkCount_ = definition_->GetChunkCount();
  chunks_ = definition_->GetChunks();
  materials_ = definition_->GetMaterials();
  mipFactor_ = definition_->GetMipFactor();
  boxMin_ = definition_->GetBoxMin();
  boxMax_ = definition_->GetBoxMax();
  box_ = definition_->GetOrientedBox();
  for (const KestroAttachment& attachment : definition_->GetAttachments()) {
    const std::string_view name = attachment.name.View();
    if (name.empty() || (name[0] != 'p' && name[0] != 'P')) continue;
    Qel::String first, rest;
    Qel::ReferencePoint::GetSubNames(Qel::String(name), first, rest);
    auto* point = new Qel::ReferencePoint;
    point->SetName(first.ToPString());
    Qel::Quaternion orientation;
    orientation.Set(attachment.orientation);
    point->SetReferenceFrame(attachment.position, orientation);
    Add(point);
  }
  SetName(Qel::PString(definition_->GetFileName().View()));
  UpdateBoundingBox();
  MakePerInstanceCopies(false);
}

void KestroIndexedMeshInstance::MakePerInstanceCopies(bool setUpBuffers) {
  Qel::Display* display = definition_->GetDisplay();
  bool unique = false;
  for (u32 i = 0; i < chunkCount_; ++i) {
    const Qel::GeometryChunk* chunk = chunks_.Get(i);
    if (!chunk || !(chunk->GetFlags() & Qel::GeometryChunk::kPerInstanceCopy)) continue;
    if (!unique) MakeChunksUnique();
    unique = true;
    CloneChunk(i);
    if (setUpBuffers && display) chunks_.Get(i)->InitializeBuffers(*display, true);
  }
}

void KestroIndexedMeshInstance::AttachSkeleton(const Qel::Particle* skeleton) {
  if (!skeleton) return;
  skeleton_ = skeleton->Clone();
  Add(skeleton_);
}

void KestroIndexedMeshInstance::BindChunkBones() {
  chunkBones_.clear();
  if (!skeleton_) return;
  for (u32 i = 0; i < chunkCount_; ++i) {
    const Qel::PString& name = definition_->GetChunkName(i);
    chunkBones_.push_back(name.IsEmpty() ? nullptr : FindSkeletonBone(name));
  }
}

Qel::Particle* KestroIndexedMeshInstance::FindSkeletonBone(const Qel::PString& name) const {
  if (!skeleton_) return nullptr;
  return name == skeleton_->GetName() ? skeleton_ : skeleton_->FindByName(name);
}

void KestroIndexedMeshInstance::CopyInto(KestroIndexedMeshInstance& copy) const {
  // The particles (reference points, attachment points, the skeleton copy) come whole, so the
  // skeleton copy is the copy's child in the source skeleton's place.
  copy.Qel::Particle::InitInstance(*this);
  copy.Qel::LightTarget::InitInstance(*this);
  for (u32 i = 0; skeleton_ && i < GetChildCount(); ++i) {
    if (GetChild(i) == skeleton_) copy.skeleton_ = copy.GetChild(i);
  }
  copy.chunks_ = chunks_;
  copy.chunkCount_ = chunkCount_;
  copy.boxMax_ = boxMax_;
  copy.boxMin_ = boxMin_;
  copy.materials_ = materials_;
  copy.SetResource(resource_);
  copy.opacity_ = opacity_;
  copy.scale_ = scale_;
  copy.scaled_ = scaled_;
  // A copy tests rays against the same box, picks the same mip levels and keeps its chunks on
  // bones of its own skeleton copy, found by name.
  copy.box_ = box_;
  copy.mipFactor_ = mipFactor_;
  copy.UpdateBoundingBox();
  copy.chunkBones_.clear();
  for (Qel::Particle* bone : chunkBones_) {
    copy.chunkBones_.push_back(bone ? copy.FindSkeletonBone(bone->GetName()) : nullptr);
  }
  copy.MakePerInstanceCopies(true);
}

KestroIndexedMeshInstance* KestroIndexedMeshInstance::CreateInstance() const {
  auto* copy = new KestroIndexedMeshInstance(definition_);
  CopyInto(*copy);
  return copy;
}

void KestroIndexedMeshInstance::MakeChunksUnique() {
  if (!chunks_.IsNull()) chunks_ = chunks_.Duplicate();
}

void KestroIndexedMeshInstance::MakeMaterialsUnique() {
  if (!materials_.IsNull()) materials_ = materials_.Duplicate();
}

void KestroIndexedMeshInstance::CloneChunk(u32 i) {
  Qel::GeometryChunk* chunk = i < chunkCount_ ? chunks_.Get(i) : nullptr;
  if (!chunk) return;
  Qel::GeometryChunk* copy = chunk->CreateInstance();
  // The copy's vertices are its own from here on.
  if (Qel::Display* display = definition_->GetDisplay()) copy->DuplicateVertexArray(*display);
  chunks_.Set(i, copy);
}

void KestroIndexedMeshInstance::CloneMaterial(u32 i) {
  Qel::Material* material = i < chunkCount_ ? materials_.Get(i) : nullptr;
  if (material) materials_.Set(i, material->Copy());
}

bool KestroIndexedMeshInstance::AddChunk(Qel::GeometryChunk* chunk, Qel::Material* material) {
  if (!chunk || !material || chunks_.IsNull() ||
      (chunk->GetFlags() & Qel::GeometryChunk::kSkinnedWithoutInfluence)) {
    return false;
  }
  if (chunk->GetFlags() & Qel::GeometryChunk::kPerInstanceCopy) {
    chunk = chunk->CreateInstance();
    if (Qel::Display* display = definition_->GetDisplay()) chunk->InitializeBuffers(*display, true);
  } else {
    chunk->AddReference();
  }
  material->AddReference();
  MakeChunksUnique();
  MakeMaterialsUnique();
  chunks_.Resize(chunkCount_);
  materials_.Resize(chunkCount_);
  chunks_.Append(chunk);
  materials_.Append(material);
  ++chunkCount_;
  if (!chunkBones_.empty()) chunkBones_.push_back(nullptr);
  return true;
}

bool KestroIndexedMeshInstance::CanReplaceChunkGeometry(const Qel::GeometryChunk* chunk,
                                                        u32 i) const {
  const Qel::GeometryChunk* current = i < chunkCount_ ? chunks_.Get(i) : nullptr;
  return chunk && current && definition_->GetDisplay() &&
         !(chunk->GetFlags() & Qel::GeometryChunk::kSkinnedWithoutInfluence) &&
         (chunk->GetFlags() & Qel::GeometryChunk::kCompatible) &&
         (current->GetFlags() & Qel::GeometryChunk::kCompatible) &&
         chunk->GetVertexType() == current->GetVertexType();
}

bool KestroIndexedMeshInstance::ReplaceChunkGeometry(Qel::GeometryChunk* chunk, u32 i) {
  if (!CanReplaceChunkGeometry(chunk, i)) return false;
  MakeChunksUnique();
  CloneChunk(i);
  return chunks_.Get(i)->CopyGeometry(*definition_->GetDisplay(), *chunk);
}

void KestroIndexedMeshInstance::SetScale(const Qel::Vector3& scale) {
  scale_ = scale;
  scaled_ = !(scale.x == 1.0f && scale.y == 1.0f && scale.z == 1.0f);
  UpdateBoundingBox();
}

void KestroIndexedMeshInstance::UpdateBoundingBox() {
  boundingVolume_ = box_;
  if (scaled_) {
    boundingVolume_.halfExtents =
        Vector3(box_.halfExtents.x * scale_.x, box_.halfExtents.y * scale_.y,
                box_.halfExtents.z * scale_.z);
  }
}

u32 KestroIndexedMeshInstance::GetTriangleCount() const {
  u32 total = 0;
  for (u32 i = 0; i < chunkCount_; ++i) {
    if (const Qel::GeometryChunk* chunk = chunks_.Get(i)) total += chunk->GetFaceCount();
  }
  return total;
}

void KestroIndexedMeshInstance::Cull(Qel::ViewPoint& view, const Qel::Matrix4& matrix) {
  Qel::Particle::Cull(view, matrix);
  if (!(opacity_ > 0.0f)) return;
  const u32 level = Qel::ViewPoint::CalcWantedMipLevelsForCull(view, *this, mipFactor_);
  for (u32 i = 0; i < materials_.Count(); ++i) {
    if (Qel::Material* material = materials_.Get(i)) material->Activate(level);
  }
  view.Add(this, matrix);
  StoreMatrix(view.GetViewport(), matrix);
}

void KestroIndexedMeshInstance::Render(Qel::Display& display, const Qel::ViewPoint& view,
                                       Qel::Matrix4& matrix) {
  ApplyScale(matrix);
  UpdateLighting(false);
  DrawChunks(display, view, matrix, chunkCount_, chunks_, materials_, chunkBones_);
}

void KestroIndexedMeshInstance::ApplyScale(Qel::Matrix4& matrix) const {
  if (!scaled_) return;
  const f32 factors[3] = {scale_.x, scale_.y, scale_.z};
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) matrix.m[row][column] *= factors[row];
  }
}

void KestroIndexedMeshInstance::DrawChunks(Qel::Display& display, const Qel::ViewPoint& view,
                                           const Qel::Matrix4& matrix, u32 count,
                                           const ChunkArray& chunks, const MaterialArray& materials,
                                           const std::vector<Qel::Particle*>& bones) const {
  const Qel::RenderView renderView = view.GetRenderView();
  for (u32 i = 0; i < count; ++i) {
    Qel::GeometryChunk* chunk = chunks.Get(i);
    Qel::Material* material = materials.Get(i);
    if (!chunk || !material || chunk->GetFaceCount() == 0) continue;
    const Qel::Matrix4* world = &matrix;
    if (!bones.empty()) {
      const Qel::Particle* bone = i < bones.size() ? bones[i] : nullptr;
      // A bone the frame did not reach has no place to draw at.
      if (!bone || bone->GetLastCulledFrame() != view.GetFrame()) continue;
      world = &bone->GetWorldMatrix();
    }
    material->RenderChunk(display, renderView, {chunk, world, &GetLightList()});
  }
}

void KestroIndexedMeshInstance::RenderLit(Qel::Display& display, const Qel::RenderView& view,
                                          const Qel::Matrix4& matrix, bool lit) {
  for (u32 i = 0; i < chunkCount_; ++i) {
    Qel::GeometryChunk* chunk = chunks_.Get(i);
    if (!chunk || chunk->GetFaceCount() == 0) continue;
    display.SetWorldTransform(matrix);
    const u32 program = chunk->GetVertexProgram(display);
    const Qel::Material* material = materials_.Get(i);
    if (lit && material) {
      material->SetLightingState(display, view, *chunk, program, &GetLightList(), opacity_, true);
    }
    chunk->RenderGeometry(display, program);
  }
}

void KestroIndexedMeshInstance::UpdateLighting(bool force) {
  if (!IsLightingDirty() && !force) return;
  CalculateLighting(chunkCount_, chunks_.Data(), materials_.Data());
  ClearLightingDirty();
}

bool KestroIndexedMeshInstance::TexturesReady(const MaterialArray& materials) {
  bool ready = true;
  std::vector<Qel::Texture*> list;
  for (u32 i = 0; i < materials.Count(); ++i) {
    const Qel::Material* material = materials.Get(i);
    if (!material || material->GetLoadState() == Qel::Material::kLoadStateLoaded) continue;
    list.clear();
    material->GetTextureList(list);
    for (Qel::Texture* texture : list) {
      if (texture->IsLoaded()) continue;
      texture->RequestLoad();
      if (texture->IsPending()) ready = false;
    }
  }
  return ready;
}

void KestroIndexedMeshInstance::MaterialLoadStatus(const MaterialArray& materials, u32& code) {
  code = kMaterialsLoaded;
  std::vector<Qel::Texture*> list;
  for (u32 i = 0; i < materials.Count(); ++i) {
    const Qel::Material* material = materials.Get(i);
    const u32 state = material ? material->GetLoadState() : Qel::Material::kLoadStateLoaded;
    if (state == Qel::Material::kLoadStateLoaded) continue;
    if (state != Qel::Material::kLoadStateFailed) {
      code = kMaterialsLoading;
      return;
    }
    list.clear();
    material->GetTextureList(list);
    // A failed material whose textures are still on their way may yet come in.
    code = kMaterialsFailed;
    for (const Qel::Texture* texture : list) {
      if (texture->IsLoaded()) continue;
      const Qel::TextureLoader* loader = texture->GetLoader();
      if (texture->IsPending() || (loader && loader->GetStatus() == Qel::TextureLoader::kBusy)) {
        code = kMaterialsLoading;
      }
      return;
    }
    return;
  }
}

bool KestroIndexedMeshInstance::GetFaceCorner(u32 c, u32 face, u32 k, Vector3& corner) const {
  Qel::GeometryChunk* chunk = chunks_.Get(c);
  if (!chunk || k > 2 || !chunk->GetIndexArray()) return false;
  u32 at = 0;
  switch (chunk->GetFlags() & Qel::GeometryChunk::kPrimitiveMask) {
    case 4:  // list
      at = 3 * face + k;
      break;
    case 8:  // strip: odd faces swap their last two corners to keep the winding
      at = (face & 1) && k > 0 ? face + 3 - k : face + k;
      break;
    case 16:  // fan
      at = k == 0 ? 0 : face + k;
      break;
    default:
      return false;
  }
  if (at >= chunk->GetMaxIndices()) return false;
  const u32 vertex = chunk->GetIndexArray()[at];
  const Qel::VertexItemPtr positions = chunk->GetItem(Qel::kItemPosition);
  if (!positions.IsValid() || vertex >= chunk->GetVertexCount()) return false;
  corner = positions.Get<Vector3>(vertex);
  return true;
}

bool KestroIndexedMeshInstance::GetNeighbourFace(const KestroFace& face, u32 edge,
                                                 KestroFace& neighbour) const {
  const Qel::GeometryChunk* chunk = chunks_.Get(face.chunk);
  const std::vector<u32>* entries = chunk ? chunk->GetFaceNeighborArray() : nullptr;
  const size_t at = size_t(face.face) * 3 + edge;
  if (!entries || edge > 2 || at >= entries->size() || (*entries)[at] == 0xFFFFFFFF) return false;
  const u32 entry = (*entries)[at];
  const Qel::GeometryChunk* other = chunks_.Get(entry >> 16);
  if (!other || (entry & 0xFFFF) >= other->GetFaceCount()) return false;
  neighbour = {this, entry & 0xFFFF, entry >> 16};
  return true;
}

Vector3& KestroIndexedMeshInstance::GetFaceCentre(const KestroFace& face, Vector3& centre) const {
  Vector3 corners[3];
  centre = Vector3();
  for (u32 k = 0; k < 3; ++k) {
    if (!GetFaceCorner(face.chunk, face.face, k, corners[k])) return centre;
  }
  const f32 third = 0.33333334f;
  centre = Vector3((corners[0].x + corners[1].x + corners[2].x) * third,
                   (corners[0].y + corners[1].y + corners[2].y) * third,
                   (corners[0].z + corners[1].z + corners[2].z) * third);
  return centre;
}

Vector3& KestroIndexedMeshInstance::GetFaceNormal(const KestroFace& face, Vector3& normal) const {
  Qel::GeometryChunk* chunk = chunks_.Get(face.chunk);
  if (chunk && chunk->GetFaceNormalArray() && face.face < chunk->GetFaceCount()) {
    const f32* stored = chunk->GetFaceNormalArray() + size_t(face.face) * 3;
    normal = Vector3(stored[0], stored[1], stored[2]);
    return normal;
  }
  Vector3 corners[3];
  for (u32 k = 0; k < 3; ++k) {
    if (!GetFaceCorner(face.chunk, face.face, k, corners[k])) return normal = Vector3(1, 0, 0);
  }
  normal = (corners[1] - corners[0]).Cross(corners[2] - corners[0]);
  if (normal.LengthSquared() < 1e-9f) return normal = Vector3(1, 0, 0);
  Qel::StdMath::FastNormalise(normal);
  return normal;
}

void KestroIndexedMeshInstance::CollectProjectedVertices(std::vector<std::array<f32, 2>>& points,
                                                         const Qel::Matrix& matrix,
                                                         const Vector3& offset) const {
  for (u32 c = 0; c < chunkCount_; ++c) {
    Qel::GeometryChunk* chunk = chunks_.Get(c);
    const Qel::VertexItemPtr positions =
        chunk ? chunk->GetItem(Qel::kItemPosition) : Qel::VertexItemPtr();
    for (u32 v = 0; positions.IsValid() && v < chunk->GetVertexCount(); ++v) {
      const Vector3 p = positions.Get<Vector3>(v);
      const Vector3 projected = matrix.Row(0) * p.x + matrix.Row(1) * p.y + matrix.Row(2) * p.z;
      points.push_back({projected.x + offset.x, projected.y + offset.y});
    }
  }
}

bool KestroIndexedMeshInstance::LoadTextureFromFile(u32 a, u32 b, u32 i, u32 stage,
                                                    const char* path) {
  Qel::Bitmap bitmap;
  return bitmap.LoadFile(path) && SetTextureFromBitmap(a, b, i, stage, bitmap);
}

bool KestroIndexedMeshInstance::SetTextureFromBitmap(u32 a, u32 b, u32 i, u32 stage,
                                                     const Qel::Bitmap& bitmap) {
  const Qel::Material* material = i < chunkCount_ ? materials_.Get(i) : nullptr;
  Qel::Texture* texture = material ? material->GetTexture(stage) : nullptr;
  if (!texture) return false;
  // The image's pixel format (its channel count) to the display format the texture takes.
  static constexpr u32 kDisplayFormats[] = {0, 5, 1, 3, 8};
  const u32 format = bitmap.GetSourceChannels();
  if (format < 1 || format > 4) return false;
  return texture->Update(a, b, bitmap, kDisplayFormats[format]);
}

void KestroIndexedMeshInstance::SetOpacity(f32 opacity) {
  opacity_ = opacity;
  Qel::Display* display = definition_->GetDisplay();
  for (u32 i = 0; display && i < chunkCount_; ++i) {
    if (Qel::GeometryChunk* chunk = chunks_.Get(i)) chunk->SetOpacity(*display, opacity);
  }
}

bool KestroIndexedMeshInstance::TestCollisionGeometry(const Vector3& origin,
                                                      const Vector3& direction, f32& distance,
                                                      KestroFace& face) const {
  Vector3 start = origin;
  Vector3 along = direction;
  if (scaled_) {
    if (scale_.x == 0.0f || scale_.y == 0.0f || scale_.z == 0.0f) return false;
    start = Vector3(start.x / scale_.x, start.y / scale_.y, start.z / scale_.z);
    along = Vector3(along.x / scale_.x, along.y / scale_.y, along.z / scale_.z);
    along.Normalise();
  }
  if (!RayMeetsBox(box_, start, along)) return false;
  const auto* resource = dynamic_cast<const KestroIndexedMeshResource*>(resource_);
  KestroIndexedMeshDefinition* owner = resource ? resource->GetMeshDefinition() : nullptr;
  if (KQAxisBoxTree* tree = owner ? owner->GetCollisionTree() : nullptr) {
    KQAxisBoxHit hit;
    if (!tree->FindFirstHit(start, start + along * kTreeRayLength, hit)) return false;
    if (hit.t * kTreeRayLength >= distance) return false;
    distance = hit.t * kTreeRayLength;
    face = {this, 0, 0};
    return true;
  }
  bool found = false;
  for (u32 c = 0; c < chunkCount_; ++c) {
    const Qel::Material* material = materials_.Get(c);
    const bool twoSided = material && (material->GetFlags() & 1);
    const Qel::GeometryChunk* chunk = chunks_.Get(c);
    const u32 faces = chunk ? chunk->GetFaceCount() : 0;
    for (u32 f = 0; f < faces; ++f) {
      Vector3 corners[3];
      if (!GetFaceCorner(c, f, 0, corners[0]) || !GetFaceCorner(c, f, 1, corners[1]) ||
          !GetFaceCorner(c, f, 2, corners[2])) {
        break;
      }
      f32 t = std::numeric_limits<f32>::max();
      // Hits behind the origin are not hits.
      if (IntersectRayTriangle(twoSided, start, along, corners[0], corners[1], corners[2], t) &&
          t >= 0.0f && t < distance) {
        distance = t;
        face = {this, f, c};
        found = true;
      }
    }
  }
  return found;
}

KestroIndexedMeshInstance* KestroProgressiveMeshInstance::CreateInstance() const {
  auto* copy = new KestroProgressiveMeshInstance(definition_);
  CopyInto(*copy);
  copy->CloneAllChunks();
  return copy;
}

void KestroIndexedMeshInstance::CloneAllChunks() {
  MakeChunksUnique();
  for (u32 i = 0; i < chunkCount_; ++i) CloneChunk(i);
}
