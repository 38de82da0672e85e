// Single-stream chunks of one packed vertex type, and the form that keeps the normals in a block
// of their own for a packed type without them.
#pragma once

#include <memory>

#include "qelgfx/geometry_chunk.h"
#include "qelgfx/vector3.h"

namespace Qel {

struct PackedVertexPNT {
  static constexpr u32 kTypeId = 18;
  Vector3 position;
  Vector3 normal;
  f32 u, v;
};
static_assert(sizeof(PackedVertexPNT) == 32);

struct PackedVertexPCT {
  static constexpr u32 kTypeId = 19;
  Vector3 position;
  u32 colour;
  f32 u, v;
};
static_assert(sizeof(PackedVertexPCT) == 24);

struct PackedVertexPNTA {
  static constexpr u32 kTypeId = 20;
  Vector3 position;
  Vector3 normal;
  f32 u, v;
  f32 tangent[4];
};
static_assert(sizeof(PackedVertexPNTA) == 48);

template <typename V, typename Base = GeometryChunkSingleStream>
class GeometryChunkTemplate : public Base {
 public:
  GeometryChunkTemplate(u32 vertexCount, u32 primitiveCount, u32 indexCount, u32 faceCount,
                        u32 flags)
      : Base(VertexType::Find(V::kTypeId), vertexCount, primitiveCount, indexCount, faceCount,
             flags) {}

  u32 GetVertexTypeID() const override { return V::kTypeId; }
  u32 GetVertexSize() const override { return u32(sizeof(V)); }
  V* GetVertices() { return reinterpret_cast<V*>(this->GetVertexArray()); }

  GeometryChunk* CreateInstance(u32 vertexCount, u32 indexCount, u32 flags) const override {
    return new GeometryChunkTemplate(vertexCount, indexCount / 3, indexCount, 0, flags);
  }
  GeometryChunk* CreateInstance() const override { return new GeometryChunkTemplate(*this); }

 protected:
  GeometryChunkTemplate(const GeometryChunkTemplate& shared) : Base(shared) {}
};

template <typename V, typename Base = GeometryChunkSingleStream>
class GeometryChunkNmlTemplate : public GeometryChunkTemplate<V, Base> {
 public:
  GeometryChunkNmlTemplate(u32 vertexCount, u32 primitiveCount, u32 indexCount, u32 faceCount,
                           u32 flags)
      : GeometryChunkTemplate<V, Base>(vertexCount, primitiveCount, indexCount, faceCount, flags),
        normals_(std::make_shared<VertexBlock>(size_t(vertexCount) * sizeof(Vector3))) {}

  VertexItemPtr GetItem(u32 item) override {
    if (item != kItemNormal) return GeometryChunkTemplate<V, Base>::GetItem(item);
    if (!normals_ || normals_->records.empty()) return {};
    return {normals_->records.data(), u32(sizeof(Vector3))};
  }

  GeometryChunk* CreateInstance(u32 vertexCount, u32 indexCount, u32 flags) const override {
    return new GeometryChunkNmlTemplate(vertexCount, indexCount / 3, indexCount, 0, flags);
  }
  GeometryChunk* CreateInstance() const override { return new GeometryChunkNmlTemplate(*this); }

  void ResizeVertexArray(Display& display, u32 n) override {
    auto normals = std::make_shared<VertexBlock>(size_t(n) * sizeof(Vector3));
    if (normals_) {
      const size_t keep = std::min(normals_->records.size(), normals->records.size());
      std::copy_n(normals_->records.begin(), keep, normals->records.begin());
    }
    normals_ = std::move(normals);
    GeometryChunkTemplate<V, Base>::ResizeVertexArray(display, n);
  }
  void DuplicateVertexArray(Display& display) override {
    if (normals_) normals_ = std::make_shared<VertexBlock>(*normals_);
    GeometryChunkTemplate<V, Base>::DuplicateVertexArray(display);
  }

 protected:
  GeometryChunkNmlTemplate(const GeometryChunkNmlTemplate& shared)
      : GeometryChunkTemplate<V, Base>(shared), normals_(shared.normals_) {}

 private:
  std::shared_ptr<VertexBlock> normals_;
};

}  // namespace Qel
