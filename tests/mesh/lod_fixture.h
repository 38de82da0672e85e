// Level-of-detail meshes for the tests: five skinned indexed meshes in a scene's folder and the
// text that makes them three distance levels, a "collision" level and an animated one.
#pragma once

#include <string>

#include "mesh/kestro_indexed_mesh_lod_resource.h"
#include "mesh/mesh_fixture.h"

namespace fixture {

// Two quads at x and x + 2, moved by the bones "b.root" and "b.arm"; two attachments, one marked
// for the attachment cut-off. With `skeleton`, those bones as a skeleton, without influences and
// attachments.
inline std::string LodLevelMesh(f32 x, bool skeleton = false) {
  MeshSpec spec;
  spec.infoVersion = 104;
  spec.influences = 2;
  spec.matrices = 2;
  spec.chunks = {Quad(x), Quad(x + 2)};
  spec.chunks[0].weights = 2;
  spec.chunks[0].geomVersion = 104;
  spec.chunks[0].textures = {"Maps/Body.TGA"};
  spec.chunks[0].neighbours = {0xFFFFFFFF, 1, 0xFFFFFFFF, 0, 0xFFFFFFFF, 0xFFFFFFFF};
  spec.bones = {{"b.root", "", {{0, {{0, 0.5f}, {1, 1.0f}}}}},
                {"b.arm", "b.root", {{1, {{2, 1.0f}}}}}};
  spec.attachments = {"a.cab", "a.lamp:CULL"};
  if (!skeleton) return WriteMesh(spec);
  spec.bones.clear();
  spec.attachments.clear();
  spec.skeleton = SkeletonChunk({"b.root", "b.arm"}, {0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.5f});
  return WriteMesh(spec);
}

inline const char* kLodText =
    "version 1.0\n"
    "mesh 0\n{\n  name \"near.im\"\n}\n"
    "mesh 50\n{\n  name \"mid.im\"\n}\n"
    "mesh 200\n{\n  name \"far.im\"\n}\n"
    "mesh collision\n{\n  name \"box.im\"\n}\n"
    "mesh Shadow\n{\n  name \"near.im\"\n  animated 1\n}\n";

// The level meshes and "car.lm.txt" (the text above and `settings`) in the scene's folder; the
// locked resource.
inline KestroIndexedMeshLODResource* LockLodText(ResourceScene& scene,
                                                 const std::string& settings = "",
                                                 const std::string& text = kLodText,
                                                 bool skeleton = false) {
  const char* names[] = {"near.im", "mid.im", "far.im", "box.im"};
  for (int k = 0; k < 4; ++k) scene.folder.Put(names[k], LodLevelMesh(f32(10 * k), skeleton));
  return static_cast<KestroIndexedMeshLODResource*>(scene.Lock("car.lm.txt", text + settings));
}

}  // namespace fixture
