// Hostile mesh files: every prefix and seeded byte flips of valid fixtures, and hand-made cases,
// must end with a load code and allocate nothing far beyond the file's size.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <functional>
#include <random>

#include "mesh/kestro_progressive_mesh_definition.h"
#include "mesh/lod_fixture.h"
#include "mesh/mesh_load_result.h"
#include "qel/pstring.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's hooks (its header comes only with clang).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*,
                                                                          size_t),
                                                         void (*onFree)(const volatile void*));
#define KESTRO_ALLOCATION_HOOKS 1
#endif

namespace {

using fixture::Bytes;
using fixture::MeshSpec;
using fixture::Quad;
using fixture::WriteMesh;

std::atomic<size_t> g_largestAllocation{0};

#ifdef KESTRO_ALLOCATION_HOOKS
void OnMalloc(const volatile void*, size_t size) {
  size_t seen = g_largestAllocation.load();
  while (size > seen && !g_largestAllocation.compare_exchange_weak(seen, size)) {
  }
}
void OnFree(const volatile void*) {}
#endif

enum Kind { kIndexed, kProgressive, kLod };

// Loads as a mesh of that kind; the result is the code, and the largest single allocation must
// stay within a small multiple of the file.
u32 LoadHostile(const std::string& bytes, Kind kind) {
  static fixture::Engine* engine = [] {
    auto* made = new fixture::Engine;
    made->GetDisplay()->SetCapability(29, true);
#ifdef KESTRO_ALLOCATION_HOOKS
    __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
#endif
    return made;
  }();
  std::unique_ptr<KestroIndexedMeshDefinition> definition;
  if (kind == kProgressive) definition = std::make_unique<KestroProgressiveMeshDefinition>();
  if (kind == kLod) definition = std::make_unique<KestroIndexedMeshLODDefinition>();
  if (kind == kIndexed) definition = std::make_unique<KestroIndexedMeshDefinition>();
  g_largestAllocation = 0;
  const u32 code = engine->Load(*definition, bytes);
  definition.reset();
  EXPECT_LE(g_largestAllocation.load(), 16 * bytes.size() + 65536) << code;
  return code;
}

MeshSpec SkinnedSpec() {
  MeshSpec spec;
  spec.infoVersion = 104;
  spec.influences = 2;
  spec.matrices = 2;
  spec.chunks = {Quad(0), Quad(2)};
  spec.chunks[0].geomVersion = 104;
  spec.chunks[0].weights = 2;
  spec.chunks[0].neighbours = {0xFFFFFFFF, 1, 0xFFFFFFFF, 0, 0x10000, 0xFFFFFFFF};
  spec.chunks[1].geomVersion = 201;
  spec.bones = {{"root", "", {{0, {{0, 0.5f}, {1, 1.0f}}}}}, {"arm", "root", {{1, {{2, 1.0f}}}}}};
  spec.attachments = {"a.cab", "p.lamp"};
  return spec;
}

std::string ProgressiveFixture() {
  MeshSpec spec;
  spec.chunks = {Quad(0)};
  spec.attachments = {"a.x"};
  Bytes pmin;  // two pool words, one entry, one group, one level, linked by their counts
  pmin.Begin("PMIN", 101).U32(2).U32(1).U32(1).U32(1).U32(7).U32(8);
  pmin.U32(0).U32(0).U32(0).U32(2).U32(0).U32(1).U32(1).End();
  spec.tail = pmin.out;
  return WriteMesh(spec);
}

// A skeleton of `depth` bones, each the only child of the one before.
std::string NestedSkeleton(u32 depth) {
  MeshSpec spec;
  spec.chunks = {Quad(0)};
  spec.skeleton = fixture::SkeletonChunk(std::vector<std::string>(depth, "b"));
  return WriteMesh(spec);
}

// A level-of-detail mesh as the program saves it from text.
std::string LodFixture() {
  fixture::ResourceScene scene;
  const std::string path = scene.folder.At("car.lm");
  fixture::LockLodText(scene)->GetLODDefinition()->Save(path.c_str());
  return scratch::ReadAll(path);
}

void Patch(std::string& bytes, const char* tag, size_t offset, u32 value) {
  const size_t at = bytes.find(tag);
  ASSERT_NE(std::string::npos, at) << tag;
  std::memcpy(&bytes[at + offset], &value, 4);
}

TEST(HostileMeshTest, PrefixesAndByteFlipsEndWithACode) {
  const std::pair<std::string, Kind> fixtures[] = {{WriteMesh(SkinnedSpec()), kIndexed},
                                                   {ProgressiveFixture(), kProgressive},
                                                   {NestedSkeleton(3), kIndexed},
                                                   {LodFixture(), kLod}};
  std::mt19937 random(25);
  const size_t names = Qel::PStringCache::Size();
  for (const auto& [bytes, kind] : fixtures) {
    ASSERT_EQ(RES_OK, LoadHostile(bytes, kind));
    for (size_t n = 1; n < bytes.size(); ++n) {
      const u32 code = LoadHostile(bytes.substr(0, n), kind);
      ASSERT_TRUE(code == RES_FILE_FORMAT_ERROR || code == RES_FILE_VERSION_ERROR) << n;
    }
    for (int flip = 0; flip < 10000; ++flip) {
      std::string damaged = bytes;
      damaged[random() % damaged.size()] ^= char(1 + random() % 255);
      ASSERT_LE(LoadHostile(damaged, kind), u32(RES_FILE_DATA_ERROR));
    }
  }
  // Flipped names come and go: neither the materials nor the name table keep them all.
  EXPECT_LT(Qel::PStringCache::Size(), names + 8192);
}

TEST(HostileMeshTest, HandMadeCases) {
  struct Case {
    const char* name;
    std::function<std::string()> make;
    u32 code;
    Kind kind = kIndexed;
  };
  const std::string lod = LodFixture();
  auto patched = [&lod](const char* tag, size_t offset, u32 value, Kind kind = kIndexed) {
    return [=, &lod] {
      std::string bytes = kind == kProgressive ? ProgressiveFixture()
                          : kind == kLod       ? lod
                                               : WriteMesh(SkinnedSpec());
      Patch(bytes, tag, offset, value);
      return bytes;
    };
  };
  const Case cases[] = {
      {"chunk count 0xFFFFFFFF", patched("INFO", 40, 0xFFFFFFFF), RES_FILE_FORMAT_ERROR},
      {"T = 1000", patched("GEOM", 36, 1000), RES_FILE_FORMAT_ERROR},
      {"GEOM size -8", patched("GEOM", 4, u32(-8)), RES_FILE_FORMAT_ERROR},
      {"NINF naming chunk 7", patched("NINF", 16, 7u << 16), RES_FILE_FORMAT_ERROR},
      {"NINF naming face 2", patched("NINF", 16, 2), RES_FILE_FORMAT_ERROR},
      {"short NINF", patched("NINF", 4, 8), RES_FILE_FORMAT_ERROR},
      {"weights past the INFL", patched("INFL", 16 + 12 + 8 + 12 + 36 + 4 + 4, 0x7FFFFFFF),
       RES_FILE_FORMAT_ERROR},
      {"bones nested 100,000 deep", [] { return NestedSkeleton(100000); }, RES_FILE_FORMAT_ERROR},
      {"PMIN groups claiming two entries", patched("PMIN", 28 + 8 + 16 + 4, 2, kProgressive),
       RES_FILE_FORMAT_ERROR, kProgressive},
      {"PMIN counts past the chunk", patched("PMIN", 12, 0x40000000, kProgressive),
       RES_FILE_FORMAT_ERROR, kProgressive},
      {"LODM level count 2^31", patched("INFO", 40, 0x7FFFFFFF, kLod), RES_FILE_FORMAT_ERROR, kLod},
      {"named mesh of level 9", patched("INFO", 72, 9, kLod), RES_FILE_FORMAT_ERROR, kLod},
      {"distances 100, 50", patched("MESH", 24, std::bit_cast<u32>(100.0f), kLod),
       RES_FILE_FORMAT_ERROR, kLod},
      {"LCHK chunk 5 of 2", patched("LCHK", 12, 5, kLod), RES_FILE_FORMAT_ERROR, kLod},
      {"LCHK chunk 1 twice", patched("LCHK", 12, 1, kLod), RES_FILE_FORMAT_ERROR, kLod},
      {"LCHK material 99", patched("LCHK", 16, 99, kLod), RES_FILE_FORMAT_ERROR, kLod},
      {"GEOM index past the vertices",
       [&lod] {
         std::string bytes = lod;
         const size_t at = bytes.find(std::string("\0\0\1\0\2\0\0\0\2\0\3\0", 12));
         bytes[at + 10] = 9;
         return bytes;
       },
       RES_FILE_FORMAT_ERROR, kLod},
      // A bone naming itself as parent hangs from the root; the mesh loads.
      {"self-parented bones",
       [] {
         MeshSpec spec = SkinnedSpec();
         spec.bones.push_back({"loop", "loop", {}});
         return WriteMesh(spec);
       },
       RES_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, LoadHostile(c.make(), c.kind)) << c.name;
}

}  // namespace
