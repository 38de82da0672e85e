// Hostile imtxt through the configuration parser and the geometry reader: every answer it gives
// must stay inside the arrays it reports.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "qel/config_parser.h"
#include "qelgfx/geometry_config_data.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  Qel::ConfigParser parser;
  if (parser.ParseText(std::string_view(reinterpret_cast<const char*>(data), size)) != 0 ||
      !parser.GetData()) {
    return 0;
  }
  Qel::GeometryConfigData mesh;
  if (!mesh.Load(*parser.GetData())) {
    Check(mesh.GetNumChunks() == 0 && mesh.GetBoneCount() == 0);
    return 0;
  }
  Check(mesh.GetMaxVertices() <= size);
  for (u32 c = 0; c < mesh.GetNumChunks(); ++c) {
    const u32 vertices = mesh.GetVertexCount(c);
    std::vector<f32> floats(size_t(vertices) * 4 + 1);
    std::vector<u16> indices(mesh.GetIndexCount(c) + 1);
    std::vector<f32> faces(size_t(mesh.GetFaceCount(c)) * 3 + 1);
    Check(mesh.CopyPositions(c, floats.data(), 12) && mesh.CopyNormals(c, floats.data(), 12));
    for (u32 t = 0; t < mesh.GetTextureSetCount(c); ++t) {
      Check(mesh.CopyTextureSet(c, t, floats.data(), 8));
    }
    Check(mesh.CopyColours(c, floats.data(), 4, 0, true));
    Check(mesh.CopyIndices(c, indices.data()) && mesh.CopyFaceNormals(c, faces.data()));
    for (u32 i = 0; i < mesh.GetIndexCount(c); ++i) Check(indices[i] < vertices);
  }
  for (u32 b = 0; b < mesh.GetBoneCount(); ++b) {
    for (u32 e = 0; e < mesh.GetInfluencedChunkCount(b); ++e) {
      std::vector<Qel::InfluenceWeight> weights(mesh.GetInfluenceWeightCount(b, e) + 1);
      Check(mesh.CopyInfluenceWeights(b, e, weights.data()));
      if (mesh.GetNumChunks() == 0) continue;
      const u32 chunk = mesh.GetInfluenceChunkIndex(b, e);
      Check(chunk < mesh.GetNumChunks());
      for (u32 w = 0; w < mesh.GetInfluenceWeightCount(b, e); ++w) {
        Check(weights[w].vertex < mesh.GetVertexCount(chunk));
      }
    }
  }
  return 0;
}
