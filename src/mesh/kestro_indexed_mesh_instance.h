// A placed copy of an indexed mesh: it shares its definition's chunks and materials until it has
// to change one (copy on write), carries a scale and an opacity, renders its chunks through their
// materials and answers ray tests against its triangles. The base of the skinned and progressive
// instances.
#pragma once

#include <array>
#include <vector>

#include "mesh/kestro_indexed_mesh_definition.h"
#include "qelgfx/geometry.h"
#include "qelgfx/light_target.h"
#include "qelgfx/oriented_box.h"
#include "qelgfx/particle.h"
#include "qelgfx/view_point.h"

namespace Qel {
class Bitmap;
class Display;
class Resource;
}  // namespace Qel

// A triangle of an instance: its face number within its chunk.
using KestroFace = Qel::ConstFaceDescriptor;

class KestroIndexedMeshInstance : public Qel::ParticleStructure,
                                  public Qel::TriangleGeometry,
                                  public Qel::LightTarget {
 public:
  // The segment length the collision tree is asked along a ray.
  static constexpr f32 kTreeRayLength = 5000.0f;

  explicit KestroIndexedMeshInstance(KestroIndexedMeshDefinition* definition);
  ~KestroIndexedMeshInstance() override;

  // Takes the resource (with a reference), the definition's arrays and its skeleton copy.
  virtual void Setup(Qel::Resource* resource);
  // A new placed copy on the same definition.
  virtual KestroIndexedMeshInstance* CreateInstance() const;
  virtual u32 GetID() const { return 17; }

  virtual void SetResource(Qel::Resource* resource);
  Qel::Resource* GetResource() const { return resource_; }
  virtual void MakeChunksUnique();
  virtual void MakeMaterialsUnique();
  // A private copy of chunk i (or material i); out-of-range indices do nothing.
  virtual void CloneChunk(u32 i);
  virtual void CloneMaterial(u32 i);
  virtual bool AddChunk(Qel::GeometryChunk* chunk, Qel::Material* material);
  // Copies the geometry of a compatible chunk (same vertex type, list bits set, not skinned
  // without influences) into a private copy of chunk i.
  virtual bool ReplaceChunkGeometry(Qel::GeometryChunk* chunk, u32 i);
  virtual void SetScale(const Qel::Vector3& scale);
  const Qel::Vector3& GetScale() const { return scale_; }
  bool IsScaled() const { return scaled_; }
  virtual u32 GetTriangleCount() const;
  f32 GetOpacity() const { return opacity_; }
  // Every chunk takes the opacity too.
  virtual void SetOpacity(f32 opacity);

  // Marks the instance (and its skeleton) seen in the view's frame; unless it is fully
  // transparent, asks its materials for the mip level its distance wants and joins the render
  // list at `matrix`.
  void Cull(Qel::ViewPoint& view, const Qel::Matrix4& matrix) override;
  // Draws every chunk with triangles through its material at `matrix` (scaled in place first).
  // A chunk bound to a bone draws at the bone's place, and not at all when the bone is missing or
  // was not culled in the view's frame.
  virtual void Render(Qel::Display& display, const Qel::ViewPoint& view, Qel::Matrix4& matrix);
  void RenderLit(Qel::Display& display, const Qel::RenderView& view, const Qel::Matrix4& matrix,
                 bool lit) override;
  bool IsStale(const Qel::ViewPoint& view) const override {
    return GetLastCulledFrame() != view.GetFrame();
  }
  void UpdateLighting(bool force) override;

  // Whether every texture of the materials that are not loaded has come in; textures that are
  // not loaded are asked to load first.
  static bool TexturesReady(const MaterialArray& materials);
  // What MaterialLoadStatus reports; the mesh resources answer IsAllLoaded in the same terms.
  enum MaterialStatus : u32 { kMaterialsLoaded = 0, kMaterialsLoading = 1, kMaterialsFailed = 5 };
  // kMaterialsLoaded, kMaterialsLoading, or kMaterialsFailed when a texture failed to come.
  static void MaterialLoadStatus(const MaterialArray& materials, u32& code);
  // A ray from `origin` along `direction` (unit): true for a hit in front of the origin nearer
  // than `distance`, which then holds the hit's distance and `face` the triangle.
  virtual bool TestCollisionGeometry(const Qel::Vector3& origin, const Qel::Vector3& direction,
                                     f32& distance, KestroFace& face) const;
  // Corner k (0..2) of face f of chunk c; false when the chunk has no such face.
  bool GetFaceCorner(u32 chunk, u32 face, u32 k, Qel::Vector3& corner) const;
  bool GetFaceCorner(const KestroFace& face, u32 k, Qel::Vector3& corner) const override {
    return GetFaceCorner(face.chunk, face.face, k, corner);
  }
  // The face across edge `edge` (0..2) of a face; false when the chunk keeps no neighbours, the
  // edge has none, or the entry names a face that is not there.
  bool GetNeighbourFace(const KestroFace& face, u32 edge, KestroFace& neighbour) const override;
  // The mean of the face's corners; the origin for a face that is not there.
  Qel::Vector3& GetFaceCentre(const KestroFace& face, Qel::Vector3& centre) const override;
  // The chunk's stored face normal, else the unit normal of the corners ((1, 0, 0) for a
  // degenerate face).
  Qel::Vector3& GetFaceNormal(const KestroFace& face, Qel::Vector3& normal) const override;
  Qel::Material* GetFaceMaterial(const KestroFace& face) const override {
    return materials_.Get(face.chunk);
  }
  // Every vertex of every chunk times `matrix` (a row vector), moved by `offset`, as a 2-D point.
  void CollectProjectedVertices(std::vector<std::array<f32, 2>>& points, const Qel::Matrix& matrix,
                                const Qel::Vector3& offset) const;
  // A texture of material i at `stage` from an image file, or from a decoded image: false for no
  // texture there, an image that does not load or an unknown pixel format. `a` and `b` pass
  // through to the texture's update.
  bool LoadTextureFromFile(u32 a, u32 b, u32 i, u32 stage, const char* path);
  bool SetTextureFromBitmap(u32 a, u32 b, u32 i, u32 stage, const Qel::Bitmap& bitmap);

  KestroIndexedMeshDefinition* GetDefinition() const { return definition_; }
  u32 GetChunkCount() const { return chunkCount_; }
  const ChunkArray& GetChunks() const { return chunks_; }
  const MaterialArray& GetMaterials() const { return materials_; }
  const std::vector<Qel::Particle*>& GetChunkBones() const { return chunkBones_; }
  const Qel::OrientedBox& GetBoundingVolume() const { return boundingVolume_; }
  f32 GetMipFactor() const { return mipFactor_; }
  Qel::Particle* GetSkeleton() const { return skeleton_; }

 protected:
  void InitFromDefinition();
  // Instance-own copies of the chunks flagged for them, their buffers set up when asked.
  void MakePerInstanceCopies(bool setUpBuffers);
  // The skeleton copy as a child, and each chunk's bone found in it by the chunk's name.
  void AttachSkeleton(const Qel::Particle* skeleton);
  void BindChunkBones();
  // The skeleton copy's particle of that name (the copy itself by its own name), or null.
  Qel::Particle* FindSkeletonBone(const Qel::PString& name) const;
  void UpdateBoundingBox();
  // The scale, row by row, into `matrix` when the instance is scaled.
  void ApplyScale(Qel::Matrix4& matrix) const;
  // The first `count` chunks with faces through their materials, with the light list: at
  // `matrix`, or, when `bones` is not empty, at each chunk's bone where the frame culled it.
  void DrawChunks(Qel::Display& display, const Qel::ViewPoint& view, const Qel::Matrix4& matrix,
                  u32 count, const ChunkArray& chunks, const MaterialArray& materials,
                  const std::vector<Qel::Particle*>& bones) const;
  // The preconditions of ReplaceChunkGeometry.
  bool CanReplaceChunkGeometry(const Qel::GeometryChunk* chunk, u32 i) const;
  // Every chunk a private copy.
  void CloneAllChunks();
  // What a copy takes from its source: the particle tree and the lights of its engine parts, then
  // its own fields (the chunk bones are found again by name in the copy's skeleton).
  void CopyInto(KestroIndexedMeshInstance& copy) const;

  KestroIndexedMeshDefinition* definition_;
  Qel::Resource* resource_ = nullptr;
  bool resourceLocked_ = false;
  u32 chunkCount_ = 0;
  ChunkArray chunks_;
  MaterialArray materials_;
  f32 opacity_ = 1.0f;
  std::vector<Qel::Particle*> chunkBones_;
  Qel::Vector3 scale_{1.0f, 1.0f, 1.0f};
  Qel::Vector3 boxMin_;
  Qel::Vector3 boxMax_;
  Qel::OrientedBox box_;
  Qel::OrientedBox boundingVolume_;
  f32 mipFactor_ = 0.0f;
  bool scaled_ = false;
  Qel::Particle* skeleton_ = nullptr;  // a child of this instance
};

// A placed progressive mesh: every copy owns its chunks, and the chunk set never changes.
class KestroProgressiveMeshInstance : public KestroIndexedMeshInstance {
 public:
  using KestroIndexedMeshInstance::KestroIndexedMeshInstance;
  u32 GetID() const override { return 19; }
  KestroIndexedMeshInstance* CreateInstance() const override;
  bool AddChunk(Qel::GeometryChunk*, Qel::Material*) override { return false; }
  bool ReplaceChunkGeometry(Qel::GeometryChunk*, u32) override { return false; }
};
