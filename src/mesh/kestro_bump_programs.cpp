#include "mesh/kestro_bump_programs.h"

#include <cstring>

#include "qelgfx/program_manager.h"

namespace Qel {

namespace {

// One body of sections over the PNTA vertex; each program names the sections it is built from.
// Registers: v0 position, v1 normal, v4 tangent (xyz, w the binormal's sign), v7 texture
// coordinates 0. Light vectors leave in tangent space, packed into 0..1 for the pixel stage.
constexpr const char kVertexLibrary[] = R"(version 2.0
input v0 position
input v1 normal
input v4 tangent
input v7 texcoord0
state mvp modelViewProjection
state mv modelView
state tex1 texture1
local c4 LightColour
local c5 LightPosition
local c6 SpotParameters
local c7 LightDirection
local c8 LightAmbient
local c9 BasisX
local c10 BasisY
local c11 BasisZ
local c12 GlobalAmbient
local c13 CameraPosition
constant k0 0.5
constant k1 0.05
constant k2 (0, 1, 0, 0)
section Common {
  oPos = mvp * v0
  r10.xyz = cross(v1, v4.xyz) * v4.w
  r11 = c13 - v0
  r12 = normalize(r11)
}
section ParallelLight {
  r0 = -c7
  r1 = normalize(r0 + r12)
  r2 = (dot(v4.xyz, r0), dot(r10, r0), dot(v1, r0))
  r3 = (dot(v4.xyz, r1), dot(r10, r1), dot(v1, r1))
}
section SpotLight {
  r4 = v0 - c5
  r5 = length(r4)
  r0 = -r4 / r5
  r6 = dot(r0, -c7) >= c6.x
  r7 = max(1 - (r5 * c6.y) * (r5 * c6.y), 0)
  r1 = normalize(r0 + r12)
  r2 = (dot(v4.xyz, r0), dot(r10, r0), dot(v1, r0)) * r6 * r7
  r3 = (dot(v4.xyz, r1), dot(r10, r1), dot(v1, r1)) * r6 * r7
}
section OneTex {
  oD0 = r2 * k0 + k0
  oT0 = v7
  oT1 = v7
  oT2 = r3 * k0 + k0
  r8 = sat(r3.z)
  r8 = r8 * r8
  r8 = r8 * r8
  r8 = r8 * r8
  r8 = r8 * r8
  r8 = r8 * r8
  oD1 = r8
}
section Fog {
  oFog = length(r11)
}
section SphereMap {
  r9 = mv * (v1.x, v1.y, v1.z, 0)
  r9.y = -r9.y
  oT3.xy = r9.xy * k0 + k0 + k1 * v7.xy
  oT3.w = k2.y
}
section cubeMap {
  r9 = mv * (v1.x, v1.y, v1.z, 0)
  r13 = normalize(mv * v0)
  oT3 = tex1 * (r13 - 2 * dot(r13, r9) * r9)
}
program KestroBump_ParallelLight (PNTA) = Common, ParallelLight, OneTex, Fog
program KestroBump_SpotLight (PNTA) = Common, SpotLight, OneTex, Fog
program KestroBumpGloss_ParallelLight (PNTA) = Common, ParallelLight, OneTex, Fog, SphereMap
program KestroBumpGloss_SpotLight (PNTA) = Common, SpotLight, OneTex, Fog, SphereMap
program KestroBumpEnv_ParallelLight (PNTA) = Common, ParallelLight, OneTex, Fog, cubeMap
program KestroBumpEnv_SpotLight (PNTA) = Common, SpotLight, OneTex, Fog, cubeMap
)";

// The pixel programs share their lighting lines: t0 base, t1 bump map, t2 half-angle, t3 the
// kind's reflection or gloss map; v0 the light vector, v1 the per-vertex specular.
#define KESTRO_BUMP_LIGHTING                                   \
  "def k0 0.1875 0.1875 0.1875 0.1875\n"                       \
  "tex t0\n"                                                   \
  "tex t1\n"                                                   \
  "texcoord t2\n"                                              \
  "dp3_sat r0, t1_bx2, v0_bx2        ; N.L\n"                  \
  "dp3_sat r1, t1_bx2, t2_bx2        ; N.H\n"                  \
  "mad_sat r0.rgb, r0, c0, c1        ; light on the surface\n" \
  "mul_x2 r0.rgb, r0, t0             ; diffuse\n"              \
  "mul r1, r1, r1\n"                                           \
  "sub_x4_sat r1, r1, k0             ; x4 minus 0.75\n"        \
  "lrp r1, t1.b, r1, v1              ; self-shadowed by the bump z\n"

constexpr const char kBumpParallel[] =
    "version 1.1\nps.1.1\n"
    "def c0 LightDiff 0 0 0 1\ndef c1 LightAmb 0 0 0 1\ndef c2 Specular 0.9 0.9 0.9 "
    "0.75\n" KESTRO_BUMP_LIGHTING
    "mul r1, r1, t1.a                  ; specular from the bump alpha\n"
    "mad r0.rgb, r1, c2, r0\n"
    "+mul r0.a, t0.a, c0.a\n";

constexpr const char kBumpEnvParallel[] =
    "version 1.1\nps.1.1\n"
    "def c0 LightDiff 0 0 0 1\ndef c1 LightAmb 0 0 0 1\ndef c2 Specular 0.9 0.9 0.9 0.75\n"
    "tex t3\n" KESTRO_BUMP_LIGHTING
    "mad r0.rgb, r1, c2, r0\n"
    "lrp r0.rgb, t0.a, t3, r0          ; towards the cube reflection\n"
    "+mov r0.a, c0.a\n";

constexpr const char kBumpEnvSpot[] =
    "version 1.1\nps.1.1\n"
    "def c0 LightDiff 0 0 0 1\ndef c1 LightAmb 0 0 0 1\ndef c2 Specular 0.9 0.9 0.9 "
    "0.75\n" KESTRO_BUMP_LIGHTING
    "mad r0.rgb, r1, c2, r0\n"
    "+mov r0.a, c0.a\n";

constexpr const char kBumpGlossParallel[] =
    "version 1.1\nps.1.1\n"
    "def c0 LightDiff 0 0 0 1\ndef c1 LightAmb 0 0 0 1\ndef c2 Lerp 0 0 1 1\n"
    "def c3 Specular 0.9 0.9 0.9 0.75\ntex t3\n" KESTRO_BUMP_LIGHTING
    "mad r0.rgb, r1, c3, r0\n"
    "lrp r0.rgb, c2, t3, r0            ; towards the gloss\n"
    "+mov r0.a, c0.a\n";

constexpr const char kBumpGlossSpot[] =
    "version 1.1\nps.1.1\n"
    "def c0 LightDiff 0 0 0 1\ndef c1 LightAmb 0 0 0 1\ndef c2 Lerp 0 0 1 1\n"
    "def c3 Specular 0.9 0.9 0.9 0.75\n" KESTRO_BUMP_LIGHTING
    "mad r0.rgb, r1, c3, r0\n"
    "+mov r0.a, c0.a\n";

constexpr const char kBumpRustParallel[] =
    "version 1.1\nps.1.1\n"
    "def c0 LightDiff 0 0 0 1\ndef c1 LightAmb 0 0 0 1\ndef c2 RustColor 0 0 1 1\n"
    "def c3 Specular 0.9 0.9 0.9 0.75\n" KESTRO_BUMP_LIGHTING
    "mul_sat r2.a, 1-t0.a, c2.a        ; how much rust shows\n"
    "lrp r0.rgb, r2.a, c2, r0          ; the base towards the rust colour\n"
    "mul r1, r1, 1-t0.a                ; rust takes the shine\n"
    "mad r0.rgb, r1, c3, r0\n"
    "+mov r0.a, c0.a\n";

#undef KESTRO_BUMP_LIGHTING

struct NamedText {
  const char* name;
  const char* text;
};
constexpr NamedText kTexts[] = {
    {kBumpVertexLibrary, kVertexLibrary},
    {"KestroBumpMat_ParallelLight", kBumpParallel},
    {"KestroBumpEnvMat_ParallelLight", kBumpEnvParallel},
    {"KestroBumpEnvMat_SpotLight", kBumpEnvSpot},
    {"KestroBumpGlossMat_ParallelLight", kBumpGlossParallel},
    {"KestroBumpGlossMat_SpotLight", kBumpGlossSpot},
    {"KestroBumpRustMat_ParallelLight", kBumpRustParallel},
};

// A set's four names in lookup order: parallel vertex, spot vertex, parallel pixel, spot pixel.
struct SetNames {
  const char* names[4];
};
constexpr SetNames kBumpSet = {{"KestroBump_ParallelLight", "KestroBump_SpotLight",
                                "KestroBumpMat_ParallelLight", "KestroBumpMat_ParallelLight"}};
constexpr SetNames kEnvSet = {{"KestroBumpEnv_ParallelLight", "KestroBumpEnv_SpotLight",
                               "KestroBumpEnvMat_ParallelLight", "KestroBumpEnvMat_SpotLight"}};
constexpr SetNames kGlossSet = {{"KestroBumpGloss_ParallelLight", "KestroBumpGloss_SpotLight",
                                 "KestroBumpGlossMat_ParallelLight",
                                 "KestroBumpGlossMat_SpotLight"}};
constexpr SetNames kRustSet = {{"KestroBump_ParallelLight", "KestroBump_SpotLight",
                                "KestroBumpRustMat_ParallelLight",
                                "KestroBumpRustMat_ParallelLight"}};

bool LookUpSet(const VertexProgramManager& vertex, const TextureCombinerManager& pixel,
               const SetNames& set, BumpPrograms& out) {
  return vertex.LookupProgram(kBumpVertexLibrary, set.names[0], out.parallelVertex) == 0 &&
         vertex.LookupProgram(kBumpVertexLibrary, set.names[1], out.spotVertex) == 0 &&
         pixel.LookupProgram(set.names[2], out.parallelPixel) == 0 &&
         pixel.LookupProgram(set.names[3], out.spotPixel) == 0;
}

}  // namespace

const char* GetBumpProgramText(const char* name) {
  for (const NamedText& entry : kTexts) {
    if (std::strcmp(entry.name, name) == 0) return entry.text;
  }
  return nullptr;
}

bool PrepareBumpPrograms(Display& display, BumpKind kind, BumpPrograms sets[2]) {
  if (sets[0].IsComplete() && (kind != BumpKind::kBumpGloss || sets[1].IsComplete())) return true;
  VertexProgramManager::RegisterBuiltInPrograms(kBumpVertexLibrary, kVertexLibrary);
  const SetNames* wanted[2] = {&kBumpSet, nullptr};
  if (kind == BumpKind::kBumpEnv) wanted[0] = &kEnvSet;
  if (kind == BumpKind::kBumpGloss) wanted[0] = &kGlossSet, wanted[1] = &kRustSet;
  for (const SetNames* set : wanted) {
    if (!set) continue;
    for (u32 k = 2; k < 4; ++k) {
      TextureCombinerManager::RegisterBuiltInPrograms(set->names[k],
                                                      GetBumpProgramText(set->names[k]));
    }
  }
  const VertexProgramManager vertex(display);
  const TextureCombinerManager pixel(display);
  for (u32 s = 0; s < 2; ++s) {
    if (wanted[s] && !LookUpSet(vertex, pixel, *wanted[s], sets[s])) {
      sets[0] = sets[1] = BumpPrograms();  // the next creation registers and looks up again
      return false;
    }
  }
  return true;
}

}  // namespace Qel
