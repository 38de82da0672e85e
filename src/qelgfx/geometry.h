// Drawable scene objects. A geometry keeps the matrix each viewport culled it at, for the draw
// that follows; a triangle geometry also answers face-level questions (neighbours, centres,
// normals, corners, materials) and draws itself lit.
#pragma once

#include <utility>
#include <vector>

#include "qel/types.h"
#include "qelgfx/matrix4.h"
#include "qelgfx/render_inputs.h"
#include "qelgfx/vector3.h"

namespace Qel {

class Display;
class Material;
class TriangleGeometry;
class ViewPoint;

// A triangle of a triangle geometry: its number within its chunk.
struct ConstFaceDescriptor {
  const TriangleGeometry* geometry = nullptr;
  u32 face = 0;
  u32 chunk = 0;
};

class Geometry {
 public:
  virtual ~Geometry() = default;
  void StoreMatrix(u32 viewport, const Matrix4& matrix);
  // False for a viewport that never culled it.
  bool GetStoredMatrix(u32 viewport, Matrix4& matrix) const;

 private:
  std::vector<std::pair<u32, Matrix4>> matrices_;
};

class TriangleGeometry : public Geometry {
 public:
  // Draws every chunk at `matrix`; with `lit`, each through its material's lighting.
  virtual void RenderLit(Display& display, const RenderView& view, const Matrix4& matrix,
                         bool lit) = 0;
  // Not culled in the view's frame.
  virtual bool IsStale(const ViewPoint& view) const = 0;
  // The face across edge `edge` (0..2); false when there is none.
  virtual bool GetNeighbourFace(const ConstFaceDescriptor& face, u32 edge,
                                ConstFaceDescriptor& neighbour) const = 0;
  virtual Vector3& GetFaceCentre(const ConstFaceDescriptor& face, Vector3& centre) const = 0;
  virtual Vector3& GetFaceNormal(const ConstFaceDescriptor& face, Vector3& normal) const = 0;
  // Corner k (0..2); false when the face is not there.
  virtual bool GetFaceCorner(const ConstFaceDescriptor& face, u32 k, Vector3& corner) const = 0;
  virtual Material* GetFaceMaterial(const ConstFaceDescriptor& face) const = 0;
};

}  // namespace Qel
