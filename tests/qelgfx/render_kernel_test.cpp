// Which options bring the null kernel up (and the retry with "-NullRender"), the null display's trace, chunks from hints and templates, and the material manager.
#include "qelgfx/render_kernel.h"

#include <gtest/gtest.h>

#include "qel/os.h"
#include "qel/resource_database.h"
#include "qelgfx/bitmap.h"
#include "qelgfx/geometry_chunk_template.h"
#include "qelgfx/texture.h"
#include "support/scratch_folder.h"

namespace {

using namespace Qel;

std::string Joined(const Display& display) {
  std::string out;
  for (const String& entry : display.GetTrace()) out += entry.Std() + ";";
  return out;
}

TEST(RenderKernelTest, ChunksFromEachHintKindLayOutTheirItems) {
  struct Case {
    u32 bits;
    u32 influences;
    u32 sets;
    u32 weightItem;  // 0: none
    u32 size;
  };
  const Case cases[] = {
      {0, 0, 1, 0, 36},
      {StandardChunkHint::kSoftwareLighting, 0, 3, 0, 52},
      {StandardChunkHint::kWeights | StandardChunkHint::kSoftwareSkinning, 4, 1, 0, 36},
      {StandardChunkHint::kWeights, 4, 1, kItemPackedWeights, 44},
      {StandardChunkHint::kWeights | StandardChunkHint::kFloatWeights, 3, 1, kItemWeight3, 52},
  };
  for (const Case& c : cases) {
    StandardChunkHint hint(2, c.bits);
    hint.influenceCount = c.influences;
    hint.textureSets = c.sets;
    GeometryChunk* chunk = GeometryChunk::Create(4, 2, 6, 2, 0, hint);
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->GetVertexSize(), c.size) << c.bits;
    EXPECT_EQ(chunk->GetItem(kItemTexture0 + c.sets - 1).IsValid(), true);
    EXPECT_EQ(chunk->GetItem(kItemBlendIndices).IsValid(), c.weightItem != 0);
    if (c.weightItem) {
      EXPECT_TRUE(chunk->GetItem(c.weightItem).IsValid());
    }
    EXPECT_EQ(chunk->GetFaceCount(), 2u);
    chunk->ReleaseReference();
  }
  StandardChunkHint hint(2, 0);
  EXPECT_EQ(GeometryChunk::Create(0x10001, 0, 0, 0, 0, hint), nullptr);
  EXPECT_EQ(GeometryChunk::Create(3, 1, 3, 1, GeometryChunk::kPrimitiveLimit, hint), nullptr);
  // File codes and engine primitives map both ways; the flags keep the file's code.
  const u32 codes[][2] = {{0, 5}, {1, 3}, {2, 4}, {4, 0}, {8, 1}, {16, 2}};
  for (const auto& c : codes) {
    u32 primitive = 99;
    ASSERT_TRUE(GeometryChunk::PrimitiveFromFileCode(c[0], primitive));
    EXPECT_EQ(primitive, c[1]);
    GeometryChunk* chunk = GeometryChunk::Create(3, 1, 3, 1, primitive, hint);
    EXPECT_EQ(chunk->GetFlags() & GeometryChunk::kPrimitiveMask, c[0]);
    EXPECT_EQ(chunk->GetPrimitive(), c[1]);
    chunk->ReleaseReference();
  }
  u32 primitive = 7;
  EXPECT_FALSE(GeometryChunk::PrimitiveFromFileCode(3, primitive));
  EXPECT_EQ(primitive, 7u);
}

TEST(RenderKernelTest, TemplatesShareDuplicateAndFillCpuBuffers) {
  Display display;
  auto* chunk = new GeometryChunkTemplate<PackedVertexPNT>(3, 1, 3, 1, 0);
  chunk->GetVertices()[2].u = 0.5f;
  const u16 indices[3] = {0, 1, 2};
  std::copy(indices, indices + 3, chunk->GetIndexArray());
  GeometryChunk* copy = chunk->CreateInstance();
  EXPECT_EQ(chunk->GetVertexBlockHolders(), 2);
  EXPECT_EQ(copy->GetVertexTypeID(), 18u);
  EXPECT_EQ(copy->GetItem(kItemTexture0).Get<f32>(2), 0.5f);
  EXPECT_FALSE(copy->GetItem(kItemColour0).IsValid());
  EXPECT_EQ(copy->GetItem(kItemColour0).stride, 0u);

  ASSERT_TRUE(chunk->InitializeBuffers(display, true));
  EXPECT_EQ(Joined(display), "VertexType 18;CreateVertexBuffer 3 32;CreateIndexBuffer 3;");
  StaticBuffer* vertices = chunk->GetStaticVertexBuffer();
  EXPECT_FALSE(vertices->dirty);
  EXPECT_EQ(0, std::memcmp(vertices->bytes.data(), chunk->GetVertexArray(), 96));
  EXPECT_EQ(chunk->GetStaticIndexBuffer()->bytes[4], 2u);

  chunk->DuplicateVertexArray(display);
  chunk->GetVertices()[2].u = 0.25f;
  EXPECT_EQ(copy->GetItem(kItemTexture0).Get<f32>(2), 0.5f);
  EXPECT_EQ(chunk->GetVertexBlockHolders(), 1);
  EXPECT_TRUE(chunk->GetStaticVertexBuffer()->dirty);  // rebuilt without upload
  ASSERT_TRUE(chunk->LoadBuffers(display));
  EXPECT_FALSE(chunk->GetStaticVertexBuffer()->dirty);

  chunk->GetVertices()[2].position = {1, 1, 1};
  chunk->ResizeVertexArray(display, 5);
  EXPECT_EQ(chunk->GetVertices()[2].position, Vector3(1, 1, 1));
  EXPECT_EQ(chunk->GetVertices()[4].position, Vector3());  // grown records are zeroed
  copy->ReleaseReference();
  chunk->ReleaseReference();

  auto* pct = new GeometryChunkNmlTemplate<PackedVertexPCT>(2, 0, 0, 0,
                                                            GeometryChunk::kNoStaticIndexBuffer);
  auto* more = new GeometryChunkNmlTemplate<PackedVertexPCT>(1, 0, 0, 0, 0);
  more->GetItem(kItemNormal).Set(0, Vector3(0, 0, 1));
  EXPECT_EQ(pct->GetItem(kItemNormal).stride, 12u);
  ASSERT_TRUE(pct->AppendChunk(display, *more));
  EXPECT_EQ(pct->GetVertexCount(), 3u);
  EXPECT_EQ(pct->GetItem(kItemNormal).Get<Vector3>(2), Vector3(0, 0, 1));
  ASSERT_TRUE(pct->AppendChunk(display, *pct));  // onto itself
  EXPECT_EQ(pct->GetItem(kItemNormal).Get<Vector3>(5), Vector3(0, 0, 1));
  more->ReleaseReference();
  pct->ReleaseReference();
}

TEST(RenderKernelTest, ProgramsAndCombinersAreHeldByHandle) {
  Display display;
  const u32 vertex = display.RegisterProgram("Vtx", "version 2.0");
  EXPECT_EQ(display.RegisterProgram("Vtx", "version 2.1"), vertex);
  EXPECT_EQ(display.GetProgramText(vertex)->Std(), "version 2.1");
  EXPECT_EQ(display.RegisterProgram(PString(), "x"), 0u);
  EXPECT_EQ(display.LookupProgram("Pixel"), 0u);
  display.UnregisterProgram("Vtx");
  EXPECT_EQ(display.GetProgramText(vertex), nullptr);
  const u32 a = display.CreateCombiner("a");
  const u32 b = display.CreateCombiner("a");
  EXPECT_NE(a, b);
  EXPECT_TRUE(display.ReleaseCombiner(a));
  EXPECT_FALSE(display.ReleaseCombiner(a));
  EXPECT_EQ(display.GetCombinerCount(), 1u);
}

TEST(RenderKernelTest, MaterialsAreFoundByDecoratedName) {
  String name, kind, parts;
  // A request "owner*folder*name" is split in its name part only: folders may hold the token.
  const struct {
    const char* decorated;
    const char* split;  // name|kind|parts, or null when there is no token
  } splits[] = {
      {"a.b.m.tbump.x.y", "a.b|tbump|x.y"},
      {"plain", nullptr},
      {"kuid:1:2*car.m.old/*body.m.onetex", "kuid:1:2*car.m.old/*body|onetex|"},
      {"o*x.m.y*plain", nullptr},
      {"o*f*a.m.b.m.c", "o*f*a|b|m.c"},
  };
  for (const auto& c : splits) {
    const bool found = MaterialManager::SplitDecoratedMaterialName(c.decorated, name, kind, parts);
    EXPECT_EQ(c.split != nullptr, found) << c.decorated;
    if (c.split) {
      EXPECT_EQ(name.Std() + "|" + kind.Std() + "|" + parts.Std(), c.split);
    }
  }
  EXPECT_EQ(Material::VerifyDecoratedName("a", 0).Std(), "a.m.notex");
  EXPECT_EQ(Material::VerifyDecoratedName("a", 2).Std(), "a.m.onetex");
  EXPECT_EQ(Material::VerifyDecoratedName("a.m.x", 2).Std(), "a.m.x");
  EXPECT_EQ(Material::VerifyDecoratedName("*car.m.old*7*a*", 0).Std(), "*car.m.old*7*a*.m.notex");

  RenderKernel kernel(nullptr, 8.0f);
  kernel.SetDisplay(Display::CreateModest());
  MaterialManager& manager = kernel.GetMaterialManager();
  Material* first = nullptr;
  Material* again = nullptr;
  ASSERT_EQ(manager.FindMaterial("body.m.onetex", first), MaterialManager::kFound);
  ASSERT_EQ(manager.FindMaterial("body.m.onetex", again), MaterialManager::kFound);
  EXPECT_EQ(first, again);
  EXPECT_EQ(first->GetType(), PString("onetex"));
  EXPECT_NE(first->GetFactory(), nullptr);
  Material* none = nullptr;
  EXPECT_EQ(manager.FindMaterial("body.m.unknown", none), MaterialManager::kUnknownKind);
  EXPECT_EQ(manager.FindMaterial("body", none), MaterialManager::kUnknownKind);
  EXPECT_EQ(none, nullptr);
  Material* skin = nullptr;
  ASSERT_EQ(manager.FindMaterial("skin.m.onetex", skin), MaterialManager::kFound);
  EXPECT_FALSE(first->Equals(*skin));  // the very same settings under another name
  EXPECT_TRUE(first->Equals(*again));
  skin->ReleaseReference();

  scratch::Folder folder;
  folder.Put("Tex/Body.TGA", std::string("\0\0\2\0\0\0\0\0\0\0\0\0\1\0\1\0\40\0\1\2\3\4", 22));
  ResourceDatabase database("db", folder.path().c_str());
  EXPECT_EQ(first->SetTexture(0, &database, "tex/body.tga", 1.0f), Material::kTextureOk);
  EXPECT_EQ(first->GetTexture(0)->GetWidth(), 1u);
  EXPECT_EQ(first->SetTexture(0, &database, "tex/missing.tga", 1.0f), Material::kTextureNotFound);
  EXPECT_EQ(first->SetTexture(0, &database, "../tex/body.tga", 1.0f), Material::kTextureRefused);
  EXPECT_EQ(first->IsLoaded(), 0u);

  Display& display = *kernel.GetDisplay();
  display.ClearTrace();
  GeometryChunk* chunk = first->CreateGeometryChunk(3, 1, 3, 1, 0, StandardChunkHint(2, 0));
  first->Draw(display, *chunk);
  EXPECT_EQ(Joined(display), "Texture 0 tex/body.tga;Material onetex body.m.onetex;VertexType " +
                                 std::to_string(chunk->GetVertexTypeID()) + ";Draw 0 3 3;");
  chunk->ReleaseReference();
  first->ReleaseReference();
  again->ReleaseReference();
}

}  // namespace

namespace {

// Hostile image headers are refused before anything is decoded.
TEST(BitmapTest, RefusesBrokenAndOversizedImages) {
  const std::string tga1x1("\0\0\2\0\0\0\0\0\0\0\0\0\1\0\1\0\40\0\1\2\3\4", 22);
  std::string huge = tga1x1;
  huge[12] = huge[13] = huge[14] = huge[15] = '\xFF';  // 65535 x 65535
  const struct {
    std::string bytes;
    bool ok;
    const char* error;
  } cases[] = {{tga1x1, true, ""},
               {huge, false, "is too large"},
               {"\x89PNG\r\n\x1a\n", false, "is not an image"},
               {"", false, "is not an image"}};
  for (const auto& c : cases) {
    Qel::Bitmap bitmap;
    EXPECT_EQ(bitmap.LoadMemory(c.bytes.data(), u32(c.bytes.size())), c.ok);
    EXPECT_EQ(bitmap.GetError().Std(), c.error);
    EXPECT_EQ(bitmap.GetWidth(), c.ok ? 1u : 0u);
  }
}

TEST(AlphaBlendCacheTest, DepthMapsLinearlyOntoTheBuckets) {
  Qel::AlphaBlendCache cache("blend", 55.0f);
  cache.SetMaxBuckets(200);
  const struct {
    f32 depth;
    u32 bucket;
  } cases[] = {{-5.0f, 0}, {0.2f, 0}, {500.1f, 100}, {999.0f, 199}, {1e9f, 199}};
  for (const auto& c : cases) EXPECT_EQ(cache.GetBucket(c.depth), c.bucket) << c.depth;
  cache.SetDepthScale(2.0f);
  EXPECT_EQ(cache.GetDepthStep(), 500);
  EXPECT_EQ(cache.GetBucket(250.1f), 100u);
}

TEST(OS, OnlyTheNullKernelComesUp) {
  const struct {
    const char* options;
    bool supported;
  } cases[] = {
      {"-render=OpenGL -hidewindow -LogFile=/dev/null", true},
      {"-NullRender -LogStdOut", true},
      {"-render=Direct3D -NullRender", true},
      {"-render=Direct3D", false},
      {"-render=", false},
  };
  for (const auto& c : cases) {
    Qel::OS os("KestroUtil", c.options, nullptr, nullptr);
    EXPECT_EQ(os.Init(), c.supported) << c.options;
    Qel::RenderKernel kernel(nullptr, 8.0f);
    EXPECT_EQ(kernel.Init(&os, nullptr), c.supported) << c.options;
  }
}

TEST(OS, RetryingWithNullRenderSucceeds) {
  Qel::OS os("KestroUtil", "-render=Direct3D", nullptr, nullptr);
  Qel::RenderKernel kernel(nullptr, 8.0f);
  ASSERT_FALSE(os.Init());
  os.GetOptions().ProcessRaw("-NullRender");
  EXPECT_TRUE(os.Init());
  EXPECT_TRUE(kernel.Init(&os, nullptr));
  EXPECT_EQ(kernel.GetOS(), &os);
  EXPECT_FALSE(kernel.Init(nullptr, nullptr));
  EXPECT_FALSE(kernel.IsInitialised());
}

}  // namespace
