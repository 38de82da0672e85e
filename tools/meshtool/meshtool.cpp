// A developer tool for Kestro meshes (".im", ".pm", ".lm", "lm.txt"): loads a file through the
// resource system as the engine would, with the program's modest display and its material
// plug-ins.
//
//   meshtool info FILE           load code, chunks, vertices, faces, materials, textures (and the
//                                ones that failed), bones and attachments
//   meshtool dump-im FILE        every field of the loaded definition, vertex by vertex
//   meshtool lod-save IN OUT.lm  a level-of-detail mesh (".lm" or "lm.txt") saved as ".lm"
//   meshtool kin-save IN OUT.kin an animation's text form (src/qelgfx/animation_definition.h)
//                                written as a ".kin" file
//
// Exit code 0 when the mesh loads (and is saved), 1 when it does not, 2 for a usage error.
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_indexed_mesh_lod_resource.h"
#include "mesh/mesh_load_result.h"
#include "mesh/qel_get_plugins.h"
#include "qel/memory_file.h"
#include "qel/options.h"
#include "qel/resource_database.h"
#include "qelgfx/animation_definition.h"
#include "qelgfx/display.h"
#include "qelgfx/render_kernel.h"
#include "qelgfx/resource_system.h"
#include "qelgfx/texture.h"

namespace {

void PrintMaterial(const Qel::Material* material) {
  if (!material) {
    std::printf("    material: none\n");
    return;
  }
  std::printf("    material %s (kind %s, flags 0x%x, float %g)\n", material->GetName().CStr(),
              material->GetType().CStr(), material->GetFlags(), material->GetMaterialFloat());
  for (u32 stage = 0; stage < Qel::Material::kMaxTextures; ++stage) {
    if (const Qel::Texture* texture = material->GetTexture(stage)) {
      std::printf("      texture %u: %s\n", stage, texture->GetName().CStr());
    }
  }
}

void PrintSummary(const KestroIndexedMeshDefinition& d) {
  std::printf("chunks %u, vertices %u, faces %u\n", d.GetChunkCount(), d.GetVertexTotal(),
              d.GetFaceTotal());
  for (u32 i = 0; i < d.GetChunkCount(); ++i) {
    const Qel::GeometryChunk* chunk = d.GetChunks().Get(i);
    std::printf("  chunk %u \"%s\": %u vertices, %u indices, %u faces, %u texture sets\n", i,
                d.GetChunkName(i).CStr(), chunk->GetVertexCount(), chunk->GetMaxIndices(),
                chunk->GetFaceCount(), d.GetTextureSetCount(i));
    PrintMaterial(d.GetMaterials().Get(i));
  }
  for (const Qel::PString& failed : d.GetTextureFailures()) {
    std::printf("  texture failed: %s\n", failed.CStr());
  }
  std::printf("bones %u%s\n", d.GetBoneCount(), d.GetRootBone() ? ", skeleton" : "");
  for (const Qel::InfluenceDefinition& bone : d.GetInfluences()) {
    std::printf("  bone %s (parent \"%s\"), %zu chunk entries\n", bone.name.CStr(),
                bone.parentName.CStr(), bone.entries.size());
  }
  std::printf("attachments %zu\n", d.GetAttachments().size());
  for (const KestroAttachment& a : d.GetAttachments()) {
    std::printf("  %s at (%g, %g, %g)\n", a.name.CStr(), a.position.x, a.position.y, a.position.z);
  }
}

void PrintDump(const KestroIndexedMeshDefinition& d) {
  const Qel::Vector3& p = d.GetPosition();
  const Qel::Quaternion& q = d.GetOrientation();
  std::printf("position (%g, %g, %g), orientation (%g, %g, %g, %g)\n", p.x, p.y, p.z, q.x, q.y, q.z,
              q.w);
  std::printf("influences per vertex %u, matrix count %u (limit %u), hardware skinning %s\n",
              d.GetInfluencesPerVertex(), d.GetMatrixCount(), d.GetMatrixLimit(),
              d.IsHardwareSkinned() ? "yes" : "no");
  std::printf("box (%g, %g, %g) - (%g, %g, %g), mip factor %g\n", d.GetBoxMin().x, d.GetBoxMin().y,
              d.GetBoxMin().z, d.GetBoxMax().x, d.GetBoxMax().y, d.GetBoxMax().z, d.GetMipFactor());
  PrintSummary(d);
  for (u32 i = 0; i < d.GetChunkCount(); ++i) {
    Qel::GeometryChunk* chunk = d.GetChunks().Get(i);
    std::printf("chunk %u: flags 0x%x, primitive %u, primitives %u\n", i, chunk->GetFlags(),
                chunk->GetPrimitive(), chunk->GetPrimitiveCount());
    if (const Qel::Material* m = d.GetMaterials().Get(i)) {
      const Qel::DisplayMaterial& dm = m->GetDisplayMaterial();
      std::printf("  diffuse (%g, %g, %g, %g), power %g\n", dm.diffuse.r, dm.diffuse.g,
                  dm.diffuse.b, dm.diffuse.a, dm.power);
    }
    for (u32 v = 0; v < chunk->GetVertexCount(); ++v) {
      std::printf("  vertex %u:", v);
      for (u32 item : {u32(Qel::kItemPosition), u32(Qel::kItemNormal)}) {
        const Qel::VertexItemPtr at = chunk->GetItem(item);
        if (!at.IsValid()) continue;
        const Qel::Vector3 value = at.Get<Qel::Vector3>(v);
        std::printf(" (%g, %g, %g)", value.x, value.y, value.z);
      }
      for (u32 t = 0; t < 8; ++t) {
        const Qel::VertexItemPtr at = chunk->GetItem(Qel::kItemTexture0 + t);
        if (!at.IsValid()) continue;
        const auto uv = at.Get<std::array<f32, 2>>(v);
        std::printf(" uv%u (%g, %g)", t, uv[0], uv[1]);
      }
      for (u32 item :
           {u32(Qel::kItemColour0), u32(Qel::kItemPackedWeights), u32(Qel::kItemBlendIndices)}) {
        const Qel::VertexItemPtr at = chunk->GetItem(item);
        if (at.IsValid()) std::printf(" [%u] 0x%08x", item, at.Get<u32>(v));
      }
      std::printf("\n");
    }
    std::printf("  indices:");
    for (u32 k = 0; k < chunk->GetMaxIndices(); ++k) std::printf(" %u", chunk->GetIndexArray()[k]);
    std::printf("\n");
    if (const std::vector<u32>* neighbours = chunk->GetFaceNeighborArray()) {
      std::printf("  neighbours:");
      for (u32 n : *neighbours) std::printf(" 0x%x", n);
      std::printf("\n");
    }
  }
  for (const Qel::InfluenceDefinition& bone : d.GetInfluences()) {
    for (const Qel::InfluenceChunkEntry& entry : bone.entries) {
      std::printf("bone %s, chunk %u:", bone.name.CStr(), entry.chunk);
      for (const Qel::InfluenceWeight& w : entry.weights) {
        std::printf(" %u:%g", w.vertex, w.weights[0]);
      }
      std::printf("\n");
    }
  }
}

int Run(const char* command, const std::string& path, const char* output) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Declared so that the resources go first, then their database, then the materials' kernel.
  Qel::RenderKernel kernel(nullptr, 1.0f);
  kernel.SetDisplay(Qel::Display::CreateModest());
  Qel::ResourceDatabase database(Qel::PString("meshtool"), folder.c_str());
  Qel::ResourceSystem::SetPluginEntry(&QelGetPlugins);
  Qel::ResourceSystem system;
  system.Init(Qel::Options("-NullRender"));
  Qel::Resource* resource = system.FindResource(Qel::PString(name.c_str()), &database);
  auto* mesh = dynamic_cast<KestroGeometryBaseResource*>(resource);
  if (!mesh) {
    std::fprintf(stderr, "%s: not a mesh resource (.im, .pm, .lm or lm.txt)\n", path.c_str());
    if (resource) resource->ReleaseReference();
    return 2;
  }
  KestroRenderContext context;
  context.display = kernel.GetDisplay();
  context.materialManager = &kernel.GetMaterialManager();
  mesh->SetRenderContext(&context);
  mesh->Lock();
  const u32 code = mesh->GetLastLoadCode();
  std::printf("%s: load code %u %s%s%s\n", path.c_str(), code, MeshLoadResultName(code),
              code ? ": " : "", MeshLoadResultMessage(code));
  for (const Qel::PString& failed : mesh->GetNameList()) {
    std::printf("material failed: %s\n", failed.CStr());
  }
  u32 saved = RES_OK;
  if (output) {
    const auto* lod = dynamic_cast<KestroIndexedMeshLODResource*>(mesh);
    if (!lod)
      std::fprintf(stderr, "%s: not a level-of-detail mesh (.lm or lm.txt)\n", path.c_str());
    if (lod && lod->GetLODDefinition()) {
      saved = lod->GetLODDefinition()->Save(output);
      std::printf("%s: save code %u %s%s%s\n", output, saved, MeshLoadResultName(saved),
                  saved ? ": " : "", MeshLoadResultMessage(saved));
    }
    if (!lod) saved = RES_UNKNOWN;
  } else if (const KestroIndexedMeshDefinition* definition = mesh->GetMeshDefinition()) {
    if (std::strcmp(command, "info") == 0) {
      PrintSummary(*definition);
    } else {
      PrintDump(*definition);
    }
  }
  mesh->Unlock();
  mesh->ReleaseReference();
  return code == RES_OK && saved == RES_OK ? 0 : 1;
}

int SaveAnimation(const char* input, const char* output) {
  Qel::MemoryFile memory;
  if (!memory.LoadFile(input)) {
    std::fprintf(stderr, "%s: cannot be read\n", input);
    return 1;
  }
  const std::string text(reinterpret_cast<const char*>(memory.GetData()), memory.GetSize());
  Qel::AnimationDefinition definition;
  Qel::String error;
  if (!definition.ReadText(text.c_str(), error)) {
    std::fprintf(stderr, "%s: %s\n", input, error.CStr());
    return 1;
  }
  if (!definition.Write(output)) {
    std::fprintf(stderr, "%s: cannot be written\n", output);
    return 1;
  }
  std::printf("%s: %u frames, %zu bones\n", output, definition.GetFrameCount(),
              definition.GetTracks().size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "kin-save") == 0) return SaveAnimation(argv[2], argv[3]);
  const bool save = argc == 4 && std::strcmp(argv[1], "lod-save") == 0;
  if (!save &&
      (argc != 3 || (std::strcmp(argv[1], "info") != 0 && std::strcmp(argv[1], "dump-im") != 0))) {
    std::fputs("usage: meshtool info FILE | meshtool dump-im FILE | meshtool lod-save IN OUT.lm | "
               "meshtool kin-save IN OUT.kin\n",
               stderr);
    return 2;
  }
  return Run(argv[1], argv[2], save ? argv[3] : nullptr);
}
