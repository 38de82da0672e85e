#include "qelgfx/geometry.h"

namespace Qel {

void Geometry::StoreMatrix(u32 viewport, const Matrix4& matrix) {
  for (auto& [held, stored] : matrices_) {
    if (held == viewport) {
      stored = matrix;
      return;
    }
  }
  matrices_.emplace_back(viewport, matrix);
}

bool Geometry::GetStoredMatrix(u32 viewport, Matrix4& matrix) const {
  for (const auto& [held, stored] : matrices_) {
    if (held == viewport) {
      matrix = stored;
      return true;
    }
  }
  return false;
}

}  // namespace Qel
